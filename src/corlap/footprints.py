"""Footprints: where a signal track (the corrected insertions of
corlap.correct, for example) dips over a site between two flanks; for
every motif of a sites file, and between conditions.

Definitions.  A mean over some positions is the sum of the signal's
values present there (a position without a value is left out), added one
by one from 0.0 in ascending position order, over how many there are; a
mean over no value has none, and neither has anything computed from it.

- A site (BED6) has ``centre``, the mean over its own bases
  ``[start, end)``; ``flank_left`` and ``flank_right``, the means over the
  ``F`` bases either side, as the site reads: on ``-`` the left flank is
  ``[end, end + F)``; ``difference = (flank_left + flank_right) / 2 -
  centre``; and ``footprint = difference / spread``, ``spread`` being the
  standard deviation of the values over the centre and both flanks
  together (about their common mean, over their number), 0 when that is 0
  (every value equal).  High: less signal over the site than around it,
  by more than the signal's own scatter there.  A difference grows with
  the depth of the site's peak, so deep sites would outrank well protected
  ones; the footprint is the same for the signal multiplied by any factor.
  A site of no base (start = end) has none of these.
- Motifs: the name column names a site's motif (no name column: one motif,
  ``.``); a motif's width is the lower median of its sites' widths (sites
  of no base left out).
- The background: ``N`` positions drawn uniformly (from the seed) within
  the regions, or, without regions, over the positions where the (first)
  signal has a value; the same positions serve every motif and condition.
  For a motif of width ``w``, each is the centre of ``[c - w // 2, c - w //
  2 + w)``, scored as a ``+`` site.  A site's ``p_value`` is ``(1 + k) / (1
  + n)``, ``k`` of the ``n`` background scores of its motif's width being
  at least its footprint; it is ``bound`` when ``p_value <= alpha``.  This
  is a test of each site on its own, not corrected for testing many.
- Conditions (two signals or more): each signal's means (so its
  differences, spreads and profile) are multiplied by its depth factor,
  the first signal's sum of absolute values over the regions (without
  regions, over the whole signal) over its own.  A site's ``change`` is its
  footprint in a condition less that in the first.  Per motif, the mean
  change of its sites (those with a footprint in every condition) is
  tested against the changes of the background positions at its width by
  Welch's t test (two-sided; Student's t with Welch's degrees of freedom),
  and the p-values of the motifs adjusted by Benjamini-Hochberg.
- The profile: the mean signal at each offset ``-(F + 50)`` to ``F + 50``
  from a site's centre (``start + w // 2`` on ``+``, ``end - 1 - w // 2``
  on ``-``), offsets counted along the site's strand, per motif, over its
  bound, its unbound and all its sites with a footprint.
- The track: at every position ``p``, the difference of the centre
  ``[p - h, p + h]`` and the flanks of ``F`` bases on either side.

How.  The BED file is split some megabytes at a time by the native module
(standard input is kept in a temporary file): first for the motifs and
their widths, which the backgrounds need, then in blocks of up to
``_BLOCK`` sites, in its order (a file of one block is split once).  For a
block, the windows of its sites (and, with the first, of the background)
are sorted in genome order and read from the bigWig with one call per run
of nearby windows, on worker threads; each site's means are summed over
its own window as defined, so a value is the same bits whatever the
blocks, the runs or the workers.  Sums over many sites (the motifs' means,
the profile) are exact (in units of 2**-60, as 128-bit integers), so they
do not depend on the order of the BED file's lines either.  The table is
written block by block, in the BED file's order.  The track runs on the
engine (corlap._engine), chunk by chunk: a task reads each interval and
``h + F`` positions either side of it in one call, so every sum is over
the same values, in the same order, whatever the chunks, the workers or
the executor.
"""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import dataclasses
import gzip
import math
import os
import shutil
import tempfile
import threading
import zlib
from collections.abc import Iterator

import numpy as np

from corlap import _engine, _footprints, _output, bed
from corlap._lifecycle import held
from corlap._output import discard, open_beside, temporary_beside

__all__ = ["DEFAULT_ALPHA", "DEFAULT_BACKGROUND", "DEFAULT_FLANK", "DEFAULT_HALF_WIDTH",
           "DEFAULT_PLOT_MOTIFS", "PROFILE_MARGIN", "SCORE_COLUMNS", "TABLE_COLUMNS",
           "FootprintError", "SiteSummary", "condition_names", "motifs_columns", "open_signal",
           "read_regions", "signal_lengths", "score_sites", "site_scores", "table_columns",
           "write_sites",
           "track_interval", "write_track"]

DEFAULT_FLANK = 30
DEFAULT_HALF_WIDTH = 10
DEFAULT_BACKGROUND = 10_000
DEFAULT_ALPHA = 0.05
# Positions beyond the flanks that the profile shows on either side.
PROFILE_MARGIN = 50
BED_COLUMNS = ("chrom", "start", "end", "name", "score", "strand")
# The scores site_scores gives, the first ranking the sites.
SCORE_COLUMNS = ("footprint", "difference")
# The score whose change between conditions is tested: the difference, once
# the depth factors have made the signals comparable.  (The footprint, a
# difference over the values' own scatter, grows with a library's depth
# where the signal is counts: at bound sites, a deeper library's footprints
# are higher though no binding changed.)
CHANGE_SCORE = "difference"
# A condition's columns in the site table.
CONDITION_COLUMNS = SCORE_COLUMNS + ("centre", "flank_left", "flank_right", "p_value", "bound")
TABLE_COLUMNS = BED_COLUMNS + CONDITION_COLUMNS
DEFAULT_PLOT_MOTIFS = 12
PLOT_FORMATS = (".png", ".pdf", ".svg")
# Sites held at a time, in the BED file's order: the signal is read once
# per block, so a block as large as most runs' sites reads it once.
_BLOCK = 1 << 20
# Bytes of the BED file split at a time.
_CHUNK = 1 << 22
# Windows of sites nearer than this are read in one call.
_GAP = 256
# Positions of the genome as one number: the sequence's index above these bits.
_POSITION_BITS = 42
# Positions read by one task of the reading threads, about.
_READ_PIECE = 1 << 22
# Positions of the signal read at a time for the depth factors.
_DEPTH_PIECE = 1 << 22
# Exact sums are in units of 2**-_FIXED_BITS (corlap._footprints).
_FIXED_BITS = 60
# Rounds of background draws, each of N positions, before a signal with
# values at too few positions is taken as it is.
_DRAW_ROUNDS = 20
_NAMES_SHOWN = 5
_BIGWIG_MAGIC = (0x888FFC26).to_bytes(4, "little")


class FootprintError(ValueError):
    """Input that cannot give footprints: a file that is not a bigWig, no
    sites, sites on sequences the signal lacks."""


# --- the signal ---------------------------------------------------------------

def open_signal(path):
    """The bigWig file at ``path``, opened with pyBigWig; FootprintError
    when it is not one."""
    import pyBigWig

    path = os.fspath(path)
    if not os.path.isfile(path):
        # pyBigWig would take a URL, and say nothing useful of a missing file.
        raise FootprintError(f"signal {path!r}: no such file")
    with open(path, "rb") as stream:
        magic = stream.read(4)
    # Checked here: the library says what it thinks of other files on
    # stderr, and opens bigBed files too.
    if magic != _BIGWIG_MAGIC:
        raise FootprintError(f"signal {path!r} is not a bigWig file")
    try:
        handle = pyBigWig.open(path)
    except RuntimeError:
        handle = None
    if handle is None:
        raise FootprintError(f"signal {path!r} is not a readable bigWig file")
    return handle


def signal_lengths(path) -> dict[str, int]:
    """The sequences of the bigWig file at ``path`` and their lengths, in
    the file's order."""
    handle = open_signal(path)
    try:
        return dict(handle.chroms())
    finally:
        handle.close()


# --- sites ---------------------------------------------------------------------

@dataclasses.dataclass
class SiteSummary:
    """What a run of ``score_sites`` did (counts over all conditions: a site
    is scored when it has a footprint in every one)."""
    read: int = 0
    scored: int = 0
    no_centre: int = 0          # no value over the site's own bases (in some condition)
    no_flank: int = 0           # a value over the site, none over a flank
    zero_width: int = 0         # start = end: no base to score
    bound: int = 0              # bound in the first condition
    alpha: float = DEFAULT_ALPHA
    background: int = 0         # background scores the p-values count (the fewest of a motif)
    drawn: int = 0              # background positions drawn
    motifs: int = 0
    names: tuple[str, ...] = ()
    factors: tuple[float, ...] = ()
    bound_of: tuple[int, ...] = ()      # per condition
    in_regions: int = 0         # sites that overlap --regions
    warnings: list[str] = dataclasses.field(default_factory=list)

    def line(self) -> str:
        unscored = self.read - self.scored
        why = [f"{n:,} {what}" for n, what in
               ((self.zero_width, "zero-width (start = end)"),
                (self.no_centre, "with no value over the site"),
                (self.no_flank, "with a flank without a value")) if n]
        of = f" of {self.motifs:,} motifs" if self.motifs > 1 else ""
        if len(self.names) > 1:
            bound = ("bound " + ", ".join(f"{name} {n:,}" for name, n in
                                          zip(self.names, self.bound_of))
                     + f" (p <= {self.alpha:g}); depth factors " +
                     ", ".join(f"{name} {factor:.6g}" for name, factor in
                               zip(self.names, self.factors)))
        else:
            bound = f"{self.bound:,} bound (p <= {self.alpha:g})"
        return (f"{self.read:,} sites{of} read, {self.scored:,} scored, {unscored:,} without a "
                f"score{' (' + ', '.join(why) + ')' if why else ''}; {bound}; background of "
                f"{self.background:,} scores ({self.drawn:,} positions drawn)")


def site_score(difference: np.ndarray, spread: np.ndarray) -> np.ndarray:
    """The footprint of sites from their difference and spread (see the
    module's notes); NaN where the difference is NaN."""
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(spread > 0, difference / spread, np.where(np.isnan(difference),
                                                                  np.nan, 0.0))


def site_scores(centre, left, right, n_centre, n_left, n_right, spread
                ) -> dict[str, np.ndarray]:
    """The per-site scores of sites (and background positions) from the
    means over the centre and the flanks (float64, NaN: none), the numbers
    of values they are over and the spread of those values, in
    SCORE_COLUMNS order.  The first, ``footprint``, ranks the sites against
    the background, gives ``p_value`` and ``bound``, and is what ``change``
    compares."""
    difference = (left + right) / 2 - centre
    return {"footprint": site_score(difference, spread), "difference": difference}


def table_columns(names) -> tuple[str, ...]:
    """The site table's header for conditions ``names``: one condition
    keeps the plain column names."""
    names = tuple(names)
    if len(names) == 1:
        return BED_COLUMNS + CONDITION_COLUMNS
    return (BED_COLUMNS + tuple(f"{column}_{name}" for name in names
                                for column in CONDITION_COLUMNS) + _change_columns(names))


def _change_columns(names, stem: str = "change") -> tuple[str, ...]:
    return (stem,) if len(names) == 2 else tuple(f"{stem}_{name}" for name in names[1:])


def motifs_columns(names) -> tuple[str, ...]:
    """The motifs table's header for conditions ``names``."""
    names = tuple(names)
    if len(names) == 1:
        return ("motif", "sites", "scored", "bound", "mean_footprint")
    columns = ["motif", "sites", "scored"]
    for name in names:
        columns += [f"bound_{name}", f"mean_footprint_{name}"]
    for name in names[1:]:
        suffix = "" if len(names) == 2 else f"_{name}"
        columns += [f"change{suffix}", f"statistic{suffix}", f"p_value_change{suffix}",
                    f"q_value_change{suffix}"]
    return tuple(columns)


def _rows_of(path, source: str, lengths, checked: bool) -> Iterator[tuple[int, list[str]]]:
    """(line number, columns) of the BED lines, each checked against the
    signal's sequences unless ``checked`` (read through once already)."""
    name = bed.bed_name(path)
    for number, fields in bed._records(path, bed.open_bed(source)):
        if not checked:
            _check_sequence(name, number, fields, lengths)
            bed._parse(name, number, fields, lengths)
        yield number, fields


def _check_sequence(name: str, number: int, fields: list[str], lengths) -> None:
    """BedError naming the line when its sequence is not the signal's."""
    if fields[0] not in lengths and len(fields) >= 3:
        raise bed.BedError(f"{name}, line {number}: sequence {fields[0]!r} is not in "
                           f"the signal (which holds {_shown(list(lengths))})")


def read_regions(path, lengths: dict[str, int]) -> list[bed.Site]:
    """The intervals of the BED file at ``path``, checked against the
    signal's sequences."""
    name = bed.bed_name(path)
    return [bed._parse(name, number, fields, lengths)
            for number, fields in _rows_of(path, path, lengths, False)]


@contextlib.contextmanager
def _rereadable(path) -> Iterator[str]:
    """A path the BED file can be read from twice: standard input is kept
    in a temporary file meanwhile."""
    if os.fspath(path) != bed.STDIN:
        yield os.fspath(path)
        return
    with tempfile.NamedTemporaryFile(prefix="corlap-sites-") as copy:
        with open(0, "rb", closefd=False) as stdin:
            shutil.copyfileobj(stdin, copy)
        copy.flush()
        yield copy.name


@dataclasses.dataclass
class _Lines:
    """BED lines read at once, as _footprints.split_bed found them."""
    data: bytes
    fields: np.ndarray          # per line: begin and end of its first six fields and itself
    columns: np.ndarray         # its number of fields
    chroms: np.ndarray          # index of the sequence in the signal's order
    starts: np.ndarray
    ends: np.ndarray
    minus: np.ndarray
    motifs: np.ndarray          # index of the name column (none: ".") in ``motif_of``


def _lines(path, source, lengths: dict[str, int], motif_of: dict[bytes, int]
           ) -> Iterator[_Lines]:
    """The sites of the BED file, some megabytes of it at a time, each line
    checked as bed.read_bed checks it (and its sequence against the
    signal's): the first wrong line raises BedError naming it.  Motif names
    new to ``motif_of`` are added to it."""
    name = bed.bed_name(path)
    chrom_of = {chrom.encode(): k for k, chrom in enumerate(lengths)}
    ends_of = np.array(list(lengths.values()) + [0], np.int64)
    number = 1
    try:
        with bed.open_bed(source) as stream:
            while True:
                try:
                    data = stream.read(_CHUNK)
                    if data and not data.endswith(b"\n"):
                        data += stream.readline()
                except (gzip.BadGzipFile, EOFError, zlib.error) as error:
                    where = f", after line {number - 1}" if number > 1 else ""
                    raise bed.BedError(f"{name}{where}: not a valid gzip file ({error})") \
                        from None
                if not data:
                    return
                room = data.count(b"\n") + 1
                numbers, columns, starts, ends, strands, flags, chroms, motifs = (
                    np.empty(room, np.int64) for _ in range(8))
                fields = np.empty((room, 14), np.int64)
                n = _footprints.split_bed(data, number, chrom_of, motif_of, numbers, fields,
                                          columns, starts, ends, strands, flags, chroms, motifs)
                number += data.count(b"\n")
                fields, columns, starts, ends, strands, flags, numbers, chroms, motifs = (
                    array[:n] for array in (fields, columns, starts, ends, strands, flags,
                                            numbers, chroms, motifs))
                suspect = ((flags != 0) | (chroms < 0) | (columns < 3) | (ends < starts)
                           | (starts >= ends_of[chroms]))
                dropped = []
                for r in np.flatnonzero(suspect).tolist():
                    fixed = _line_by_line(name, int(numbers[r]), data, int(fields[r, 12]),
                                          int(fields[r, 13]), lengths)
                    if fixed is None:
                        dropped.append(r)
                        continue
                    fields[r, :12], columns[r], starts[r], ends[r], strands[r], chroms[r] = fixed
                    motif = data[fields[r, 6]:fields[r, 7]] if columns[r] > 3 else b"."
                    motifs[r] = motif_of.setdefault(motif, len(motif_of))
                if dropped:
                    kept = np.setdiff1d(np.arange(n), dropped)
                    fields, columns, starts, ends, strands, chroms, motifs = (
                        np.ascontiguousarray(array[kept]) for array in
                        (fields, columns, starts, ends, strands, chroms, motifs))
                yield _Lines(data, np.ascontiguousarray(fields), np.ascontiguousarray(columns),
                             chroms, starts, ends, (strands == 1).astype(np.int64), motifs)
    except OSError as error:
        if error.filename is None and error.errno is not None:
            raise OSError(error.errno, error.strerror or os.strerror(error.errno),
                          name) from None
        raise


def _line_by_line(name: str, number: int, data: bytes, begin: int, end: int, lengths):
    """A line the fast path left to Python (not ASCII, coordinates or strand
    written otherwise, or wrong): None for a line that is no site, its
    (field offsets, fields, start, end, strand code, sequence index) when
    it is right; BedError naming it when not."""
    raw = data[begin:end]
    try:
        line = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise bed.BedError(f"{name}, line {number}: not a text line") from None
    if not line.strip() or line.startswith(("#", "track", "browser")):
        return None
    tabs = "\t" in line
    fields = line.split("\t") if tabs else line.split()
    _check_sequence(name, number, fields, lengths)
    site = bed._parse(name, number, fields, lengths)
    offsets, at = [0] * 12, 0
    for k, field in enumerate(fields[:6]):
        text = field.encode()
        first = at if tabs else raw.find(text, at)
        offsets[2 * k], offsets[2 * k + 1] = begin + first, begin + first + len(text)
        at = first + len(text) + tabs
    strand = 3 if len(fields) < 6 else "+-.".index(fields[5].strip())
    return offsets, len(fields), site.start, site.end, strand, list(lengths).index(site.chrom)


@dataclasses.dataclass
class _Block:
    """Sites of the BED file, in its order: some _Lines."""
    parts: list[_Lines]
    chroms: np.ndarray
    starts: np.ndarray
    ends: np.ndarray
    minus: np.ndarray
    motifs: np.ndarray          # index of the motif in name order


def _blocks(lines: Iterator[_Lines], rank: np.ndarray, size: int) -> Iterator[_Block]:
    """The lines in blocks of ``size`` sites or more, motifs numbered by
    ``rank`` (from their index in the dict of names)."""
    parts: list[_Lines] = []
    held = 0

    def block() -> _Block:
        made = _Block(parts, *(np.concatenate([getattr(part, column) for part in parts])
                               for column in ("chroms", "starts", "ends", "minus")),
                      rank[np.concatenate([part.motifs for part in parts])])
        # The parts keep what the table's rows are written from.
        none = np.empty(0, np.int64)
        for part in parts:
            part.chroms = part.starts = part.ends = part.minus = part.motifs = none
        return made

    for part in lines:
        parts.append(part)
        held += len(part.starts)
        if held >= size:
            yield block()
            parts, held = [], 0
    if parts:
        yield block()


def _centres(starts: np.ndarray, ends: np.ndarray, minus: np.ndarray) -> np.ndarray:
    half = (ends - starts) // 2
    return np.where(minus != 0, ends - 1 - half, starts + half)


def _keys(chroms: np.ndarray, positions: np.ndarray) -> np.ndarray:
    """Positions of the genome as one sortable number (sequences in the
    signal's order)."""
    return (chroms << _POSITION_BITS) | positions


class _Reader:
    """A bigWig file read by ``workers`` threads (pyBigWig lets other
    threads run while it decompresses), each with a handle of its own."""

    def __init__(self, path: str, workers: int = 1):
        self.path, self.workers = path, max(1, workers)
        self.handle = open_signal(path)
        self.names = list(self.handle.chroms())
        self._local = threading.local()
        self._opened: list = []
        self._pool = (concurrent.futures.ThreadPoolExecutor(self.workers)
                      if self.workers > 1 else None)

    def _mine(self):
        handle = getattr(self._local, "handle", None)
        if handle is None:
            handle = self._local.handle = open_signal(self.path)
            self._opened.append(handle)
        return handle

    def _read(self, spans) -> list[np.ndarray]:
        values = self._mine().values
        return [values(self.names[c], a, b, numpy=True) for c, a, b in spans]

    def read(self, spans: list[tuple[int, int, int]]) -> Iterator[np.ndarray]:
        """The values of each (sequence index, start, end) span, in order."""
        if self._pool is None or len(spans) < 2 * self.workers:
            values = self.handle.values
            for c, a, b in spans:
                yield values(self.names[c], a, b, numpy=True)
            return
        # Pieces of about the same number of positions, in order, a few
        # read at a time.
        sizes = np.cumsum([b - a for _, a, b in spans])
        pieces = max(4 * self.workers, int(sizes[-1] // _READ_PIECE))
        cuts = np.searchsorted(sizes, sizes[-1] * np.arange(1, pieces) / pieces)
        bounds = [0, *sorted(set(cuts.tolist())), len(spans)]
        for part in self.map(self._read, [spans[x:y] for x, y in zip(bounds[:-1], bounds[1:])
                                          if x < y]):
            yield from part

    def map(self, function, items) -> Iterator:
        """``function`` of each item, in order, on the reading threads when
        there are several (for native calls that let other threads run): a
        few at a time, so that results wait little to be taken."""
        items = list(items)
        if self._pool is None:
            yield from map(function, items)
            return
        pending: collections.deque = collections.deque()
        for item in items:
            pending.append(self._pool.submit(function, item))
            if len(pending) > self.workers:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()

    def close(self) -> None:
        if self._pool is not None:
            self._pool.shutdown()
        for handle in [self.handle, *self._opened]:
            handle.close()


@dataclasses.dataclass(frozen=True)
class _WindowPlan:
    """Where the windows of one block lie in the array read for them, the
    same for every signal read over them (see _plan_windows)."""
    spans: list            # (chrom index, start, end) read, in genome order
    into: list             # where each span's values go
    size: int              # positions read in all
    at: np.ndarray         # each window's first position in the array
    lo: np.ndarray         # each window's start, clipped to its sequence
    width: np.ndarray      # each window's positions, clipped


def _read_windows(reader: _Reader, ends_of: np.ndarray, chroms, lows, highs, span: int):
    """The signal over windows ``[lows, highs)`` of sequences ``chroms``
    (clipped to them) as the kernels take it, (values, at, lo, size)."""
    return _fill_windows(reader, _plan_windows(ends_of, chroms, lows, highs, span))


def _fill_windows(reader: _Reader, plan: _WindowPlan):
    """The signal of ``reader`` over the windows of ``plan``: (values, at,
    lo, size)."""
    values = np.empty(plan.size, np.float32)
    for into, array in zip(plan.into, reader.read(plan.spans)):
        values[into:into + len(array)] = array
    return values, plan.at, plan.lo, plan.width


def _plan_windows(ends_of: np.ndarray, chroms, lows, highs, span: int) -> _WindowPlan:
    """How to read windows ``[lows, highs)`` of sequences ``chroms``: in
    genome order, one call per run of windows less than _GAP apart, cut
    after ``span`` positions (a run of overlapping windows goes on)."""
    n = len(lows)
    lo = np.minimum(np.maximum(lows, 0), ends_of[chroms])
    hi = np.maximum(np.minimum(highs, ends_of[chroms]), lo)
    at = np.zeros(n, np.int64)
    if not n:
        return _WindowPlan([], [], 0, at, lo, hi - lo)
    first = _keys(chroms, lo)
    order = np.argsort(first, kind="stable")
    first, last = first[order], _keys(chroms[order], hi[order])
    reach = np.maximum.accumulate(last)
    starts = np.flatnonzero(np.concatenate(([True], first[1:] > reach[:-1] + _GAP)))
    bounds = np.append(starts, n)
    if (reach[bounds[1:] - 1] - first[starts]).max() > span:
        # Cut runs longer than ``span`` where a window begins past the cut.
        cuts: list[int] = []
        for a, b in zip(bounds[:-1].tolist(), bounds[1:].tolist()):
            cuts.append(a)
            if reach[b - 1] - first[a] <= span:
                continue
            begin = first[a]
            for k in range(a + 1, b):
                if first[k] - begin > span:
                    cuts.append(k)
                    begin = first[k]
        starts = np.array(cuts, np.int64)
    span_lo = first[starts]
    span_hi = np.maximum.reduceat(last, starts)
    mask = (1 << _POSITION_BITS) - 1
    spans = [(a >> _POSITION_BITS, a & mask, b & mask)
             for a, b in zip(span_lo.tolist(), span_hi.tolist()) if b > a]
    offsets = np.concatenate(([0], np.cumsum(span_hi - span_lo)))
    which = np.repeat(np.arange(len(starts)), np.diff(np.append(starts, n)))
    at[order] = offsets[which] + (first - span_lo[which])
    # Spans of no position are not read, and take no room.
    return _WindowPlan(spans, offsets[:-1][span_hi > span_lo].tolist(), int(offsets[-1]),
                       at, lo, hi - lo)


def _reaches(starts, ends, minus, flank: int, reach: int | None):
    """The windows (lows, highs) sites need: the site and its flanks, and
    ``reach`` positions either side of its centre when given."""
    lows, highs = starts - flank, ends + flank
    if reach is not None:
        centres = _centres(starts, ends, minus)
        lows, highs = np.minimum(lows, centres - reach), np.maximum(highs, centres + reach + 1)
    return lows, highs


def _means(windows, starts, ends, minus, flank: int, factor: float):
    """(means, counts, spread) of sites over their windows: means and counts
    in rows centre, left, right, the means and spread times ``factor``; a
    site of no base has no flank means."""
    means = np.empty(3 * len(starts))
    counts = np.empty(3 * len(starts), np.int64)
    spread = np.empty(len(starts))
    _footprints.sites(*windows, starts, ends, minus, flank, means, counts, spread)
    means = means.reshape(3, -1)
    means[1:, starts == ends] = np.nan
    if factor != 1.0:
        means *= factor
        spread *= factor
    return means, counts.reshape(3, -1), spread


def _part(windows, a: int, b: int):
    """Windows a..b-1 of those read together."""
    values, at, lo, size = windows
    return values, at[a:b], lo[a:b], size[a:b]


def _median_low(counts: collections.Counter) -> int:
    """The lower median of the values counted."""
    wanted, seen = (counts.total() - 1) // 2, 0
    for value in sorted(counts):
        seen += counts[value]
        if seen > wanted:
            return value
    raise ValueError("no values")


def _spans(lengths: dict[str, int], regions) -> list[tuple[int, int, int]]:
    """(sequence index, start, end) of the regions (merged by
    _engine.merge_regions) in their order, or of every sequence whole."""
    chrom_of = {chrom: k for k, chrom in enumerate(lengths)}
    if regions is not None:
        return [(chrom_of[chrom], a, b) for chrom, pieces in regions.items() for a, b in pieces]
    return [(chrom_of[chrom], 0, length) for chrom, length in lengths.items() if length]


def _merged(merged, lengths) -> tuple[np.ndarray, np.ndarray]:
    """Merged regions (of _engine.merge_regions) as sorted (first, last) keys."""
    pieces = np.array(sorted(_spans(lengths, merged)), np.int64).reshape(-1, 3)
    return _keys(pieces[:, 0], pieces[:, 1]), _keys(pieces[:, 0], pieces[:, 2])


def _draw_centres(reader: _Reader, lengths: dict[str, int], count: int, seed: int, regions,
                  span: int):
    """(sequence indices, centres, positions drawn) of the background (see
    the module's notes); ``regions`` merged (by _engine.merge_regions)."""
    rng = np.random.default_rng(seed)
    spans = _spans(lengths, regions)
    sizes = np.array([b - a for _, a, b in spans], dtype=np.int64)
    if not len(spans) or sizes.sum() == 0:
        raise FootprintError("no position to draw the background from")
    firsts = np.concatenate(([0], np.cumsum(sizes)))
    span_chroms = np.array([chrom for chrom, _, _ in spans], np.int64)
    span_starts = np.array([a for _, a, _ in spans], np.int64)
    ends_of = np.array(list(lengths.values()), np.int64)
    chroms, centres, drawn, kept = [], [], 0, 0
    for _ in range(1 if regions is not None else _DRAW_ROUNDS):
        picks = rng.integers(0, int(firsts[-1]), count)
        which = np.searchsorted(firsts, picks, side="right") - 1
        at = span_starts[which] + picks - firsts[which]
        on = span_chroms[which]
        drawn += count
        if regions is None:
            # Only positions where the signal has a value are drawn from.
            values, where, _, size = _read_windows(reader, ends_of, on, at, at + 1, span)
            has = (size > 0) & ~np.isnan(values[np.minimum(where, max(len(values) - 1, 0))]
                                         if len(values) else np.zeros(count, bool))
            take = np.flatnonzero(has)[:count - kept]
            kept += len(take)
            at, on = at[take], on[take]
        chroms.append(on)
        centres.append(at)
        if regions is not None or kept == count:
            break
    return np.concatenate(chroms), np.concatenate(centres), drawn


def _depth(reader: _Reader, lengths: dict[str, int], regions) -> tuple[float, bool]:
    """The sum of the signal's absolute values over the regions (merged by
    _engine.merge_regions),
    or over every sequence, what makes conditions comparable, and whether
    any value is negative.  Each region
    (or piece of a sequence) is summed on its own and the sums added in
    genome order, so the total does not depend on the workers."""
    pieces = [(c, piece, min(piece + _DEPTH_PIECE, b))
              for c, a, b in sorted(_spans(lengths, regions))
              for piece in range(a, b, _DEPTH_PIECE)]
    total, negative = 0.0, False
    at = 0
    while at < len(pieces):
        # A bounded run of pieces at a time: memory stays small.
        run, size = [], 0
        while at < len(pieces) and (not run or size < _DEPTH_PIECE * 4):
            run.append(pieces[at])
            size += pieces[at][2] - pieces[at][1]
            at += 1
        for values in reader.read(run):
            total += float(np.nansum(np.abs(values, dtype=np.float64)))
            negative = negative or bool((values < 0).any())
    return total, negative


def p_values(background: np.ndarray, footprint: np.ndarray) -> np.ndarray:
    """``(1 + k) / (1 + n)``, ``k`` of the ``n`` sorted background scores
    at least ``footprint`` (NaN stays NaN)."""
    n = len(background)
    if not n:
        return np.full(len(footprint), np.nan)
    at_least = n - np.searchsorted(background, footprint, side="left")
    return np.where(np.isnan(footprint), np.nan, (1 + at_least) / (1 + n))


def q_values(p: np.ndarray) -> np.ndarray:
    """Benjamini-Hochberg adjusted p-values of ``p`` (NaN: left out)."""
    q = np.full(len(p), np.nan)
    kept = np.flatnonzero(~np.isnan(p))
    if not len(kept):
        return q
    order = kept[np.argsort(p[kept], kind="stable")]
    ranked = p[order] * len(kept) / np.arange(1, len(kept) + 1)
    q[order] = np.minimum(np.minimum.accumulate(ranked[::-1])[::-1], 1.0)
    return q


def _t_sf(t: float, df: float) -> float:
    """P(T >= t) of Student's t with ``df`` degrees of freedom (t >= 0)."""
    if t == math.inf:
        return 0.0
    x = df / (df + t * t)
    return 0.5 * _incomplete_beta(df / 2, 0.5, x)


def _incomplete_beta(a: float, b: float, x: float) -> float:
    """The regularised incomplete beta function I_x(a, b), by its continued
    fraction (Lentz's method)."""
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    front = math.exp(math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b)
                     + a * math.log(x) + b * math.log1p(-x))
    if x > (a + 1) / (a + b + 2):
        return 1.0 - _incomplete_beta(b, a, 1.0 - x)
    tiny = 1e-300
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    f = d
    for m in range(1, 500):
        for numerator in (m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m)),
                          -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1))):
            d = 1.0 + numerator * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + numerator / c
            c = c if abs(c) > tiny else tiny
            f *= c * d
        if abs(c * d - 1.0) < 1e-15:
            break
    return front * f / a


def welch(mean_a: float, var_a: float, n_a: int, mean_b: float, var_b: float, n_b: int
          ) -> tuple[float, float]:
    """Welch's t statistic of mean a against mean b and its two-sided
    p-value (NaN, NaN when either group has fewer than 2 values)."""
    if n_a < 2 or n_b < 2:
        return math.nan, math.nan
    se2 = var_a / n_a + var_b / n_b
    difference = mean_a - mean_b
    if se2 <= 0.0:
        return (0.0, 1.0) if difference == 0.0 else (math.copysign(math.inf, difference), 0.0)
    t = difference / math.sqrt(se2)
    df = se2 * se2 / ((var_a / n_a) ** 2 / (n_a - 1) + (var_b / n_b) ** 2 / (n_b - 1))
    return t, min(1.0, 2.0 * _t_sf(abs(t), df))


class _ExactSums:
    """Sums per row, exact whatever the order values come in (see
    _footprints.fixed_sums)."""

    def __init__(self, rows: int):
        self.sums = np.zeros((rows, 2), np.int64)
        self.counts = np.zeros(rows, np.int64)

    def add(self, rows: np.ndarray, values: np.ndarray) -> None:
        try:
            _footprints.fixed_sums(np.ascontiguousarray(rows, np.int64),
                                   np.ascontiguousarray(values, np.float64), self.sums,
                                   self.counts)
        except OverflowError:
            raise FootprintError("a score of 2**36 or more: the signal's values are too "
                                 "large to sum") from None

    def integers(self) -> list[int]:
        """Each row's sum in units of 2**-_FIXED_BITS."""
        return [int(lo) % (1 << 64) + (int(hi) << 64) for lo, hi in self.sums.tolist()]

    def means(self) -> np.ndarray:
        return np.array([_fixed_mean(s, n) for s, n in zip(self.integers(),
                                                           self.counts.tolist())])


def _fixed_mean(total: int, count: int) -> float:
    return total / (count << _FIXED_BITS) if count else math.nan


def _number(value: float) -> str:
    return "" if value != value else repr(value)


def condition_names(signals) -> tuple[str, ...]:
    """The default names of conditions: the signal files' names without
    their extension."""
    return tuple(os.path.splitext(os.path.basename(os.fspath(path)))[0] for path in signals)


def _check_names(names, signals) -> tuple[str, ...]:
    names = tuple(names) if names is not None else condition_names(signals)
    if len(names) != len(signals):
        raise FootprintError(f"{len(names)} names for {len(signals)} signals")
    for name in names:
        if not name or any(c.isspace() or c == "#" for c in name):
            raise FootprintError(f"condition name {name!r}: use a word without spaces or #")
    if len(set(names)) < len(names):
        raise FootprintError(f"each condition needs a name of its own, got {' '.join(names)} "
                             f"(--names)")
    return names


def score_sites(signal, sites, table=None, *, profile=None, plot=None, motifs_table=None,
                plot_changes=None, regions=None, names=None, flank: int = DEFAULT_FLANK,
                background: int = DEFAULT_BACKGROUND, seed: int = 0,
                alpha: float = DEFAULT_ALPHA, plot_motifs: int = DEFAULT_PLOT_MOTIFS,
                chunk_size: int = _engine.DEFAULT_CHUNK_SIZE, workers: int = 1,
                depth="signal") -> tuple[SiteSummary, list]:
    """Score the sites of the BED file ``sites`` (``-``: standard input)
    against the bigWig ``signal`` (a path, or a list of paths: one per
    condition, named by ``names``) and write the outputs asked for, each to
    a temporary beside its target.  Returns the summary and the
    temporaries, in the order table, profile, plot, motifs table, plot of
    changes (None for one not asked for): the caller commits or discards
    them.  ``workers`` threads read the signal.  ``depth``: where the
    conditions' depth factors come from: "signal" (each signal's absolute
    values), "none" (every factor 1: signals made comparable already) or a
    list of bigWig files, one per signal (their absolute values: the
    observed tracks of corrected signals, for example).  Raises
    FootprintError or bed.BedError for bad input."""
    signals = ([os.fspath(signal)] if isinstance(signal, (str, os.PathLike))
               else [os.fspath(path) for path in signal])
    if not signals:
        raise FootprintError("no signal")
    if not (isinstance(flank, int) and flank >= 1):
        raise FootprintError(f"the flank must be at least 1 base, got {flank!r}")
    if not (isinstance(background, int) and background >= 1):
        raise FootprintError(f"the background must be at least 1 position, got {background!r}")
    if not (isinstance(plot_motifs, int) and plot_motifs >= 1):
        raise FootprintError(f"the plot needs at least 1 motif, got {plot_motifs!r}")
    for picture in (plot, plot_changes):
        if picture is not None and (os.path.splitext(os.fspath(picture))[1].lower()
                                    not in PLOT_FORMATS):
            raise FootprintError(f"plot {os.fspath(picture)!r}: use one of "
                                 f"{', '.join(PLOT_FORMATS)}")
    if plot_changes is not None and len(signals) < 2:
        raise FootprintError("the plot of changes needs two signals or more")
    names = _check_names(names, signals)
    if not (depth in ("signal", "none") or (not isinstance(depth, str)
                                              and len(depth) == len(signals))):
        raise FootprintError(f"depth: 'signal', 'none' or one track per signal, got {depth!r}")
    summary = SiteSummary(alpha=alpha, names=names)
    handles: list[_Reader] = []
    temporaries: list[str | None] = [None] * 5
    try:
        for path in signals:
            handles.append(_Reader(path, workers))
        lengths = dict(handles[0].handle.chroms())
        for path, handle in zip(signals[1:], handles[1:]):
            if dict(handle.handle.chroms()) != lengths:
                raise FootprintError(f"signals {signals[0]!r} and {path!r} hold different "
                                     f"sequences")
        _score_all(handles, signals, names, lengths, sites, summary, temporaries, depth=depth,
                   table=table, profile=profile, plot=plot, motifs_table=motifs_table,
                   plot_changes=plot_changes, regions=regions, flank=flank,
                   background=background, seed=seed, alpha=alpha, plot_motifs=plot_motifs,
                   span=max(int(chunk_size), 1))
        return summary, temporaries
    except BaseException:
        discard_all(temporaries)
        raise
    finally:
        for handle in handles:
            handle.close()


def _background(windows, centres, widths, flank: int, factor: float, k: int, scores_of,
                ranked) -> None:
    """Condition ``k``'s background scores at each width (in the order
    drawn, the score that changes compare: ``scores_of``; the footprints
    sorted, without NaN: ``ranked``)."""
    plus = np.zeros(len(centres), np.int64)
    for j, width in enumerate(widths.tolist()):
        starts = centres - width // 2
        means, counts, spread = _means(windows, starts, starts + width, plus, flank, factor)
        scores = site_scores(*means, *counts, spread)
        scores_of[j, k] = scores[CHANGE_SCORE]
        footprint = scores["footprint"]
        ranked[j, k] = np.sort(footprint[~np.isnan(footprint)])


def _check_background(summary, ranked, motif_names, width_of, regions) -> None:
    if not any(len(values) for values in ranked.values()):
        raise FootprintError("no background position has a footprint score: the signal "
                             "has too few values" + (" within the regions" if regions
                                                     else ""))
    summary.background = min(len(values) for values in ranked.values())
    conditions = max(k for _, k in ranked) + 1
    empty = [motif for motif, j in zip(motif_names, width_of.tolist())
             if j >= 0 and any(not len(ranked[j, k]) for k in range(conditions))]
    if empty:
        summary.warnings.append(
            f"{len(empty):,} motif{'s' if len(empty) > 1 else ''} ({_shown(empty)}) "
            f"without a background: no background position has a score at "
            f"{'their' if len(empty) > 1 else 'its'} width, so "
            f"{'their' if len(empty) > 1 else 'its'} sites have no p-value")


def _score_all(handles, signals, names, lengths, sites, summary, temporaries, *, depth, table,
               profile, plot, motifs_table, plot_changes, regions, flank, background, seed,
               alpha, plot_motifs, span) -> None:
    conditions = len(handles)
    ends_of = np.array(list(lengths.values()), np.int64)
    if regions is not None:
        try:
            regions = _engine.merge_regions(regions, lengths)
        except KeyError as error:
            raise FootprintError(f"regions: {error.args[0]}, not in the signal") from None
    with _rereadable(sites) as source:
        named: dict[bytes, int] = {}
        widths: list[collections.Counter] = []
        no_strand = 0
        # A file of one block is split once: its lines are kept for the scoring.
        kept: list[_Lines] | None = []
        for part in _lines(sites, source, lengths, named):
            if kept is not None:
                kept.append(part)
                if sum(len(held.starts) for held in kept) > _BLOCK:
                    kept = None
            widths += [collections.Counter() for _ in range(len(named) - len(widths))]
            pairs, counts = np.unique((part.motifs << 32) | (part.ends - part.starts),
                                      return_counts=True)
            for pair, count in zip(pairs.tolist(), counts.tolist()):
                widths[pair >> 32][pair & 0xFFFFFFFF] += count
            no_strand += int((part.columns < 6).sum())
        summary.read = sum(counter.total() for counter in widths)
        if not summary.read:
            raise FootprintError(f"{bed.bed_name(sites)}: no sites")
        # Sites of no base get no score, and give the background none of
        # their width.
        summary.zero_width = sum(counter.pop(0, 0) for counter in widths)
        if summary.zero_width == summary.read:
            raise FootprintError(f"{bed.bed_name(sites)}: every site is 0 bases wide "
                                 f"(start = end): nothing to score")
        if no_strand:
            summary.warnings.append(
                f"{bed.bed_name(sites)}: {no_strand:,} of {summary.read:,} lines have no strand "
                f"(column 6); their sites are read as +")
        if regions is None:
            summary.warnings.append(
                "no --regions: the background is drawn over every position of the signal "
                "with a value, genome-wide, not where the sites lie (give the peaks)")
        # Motifs in the order of their names as text.
        by_text = sorted(named, key=lambda m: m.decode())
        motif_names = [m.decode() for m in by_text]
        rank = np.empty(len(named), np.int64)
        rank[[named[m] for m in by_text]] = np.arange(len(named))
        motifs = summary.motifs = len(motif_names)
        # A motif of sites of no base only has no width (-1), nor background.
        motif_width = np.array([_median_low(widths[named[m]]) if widths[named[m]] else -1
                                for m in by_text], np.int64)
        del widths
        distinct = np.unique(motif_width[motif_width > 0])
        width_of = np.where(motif_width > 0, np.searchsorted(distinct, motif_width), -1)
        factors = [1.0] * conditions
        if conditions > 1 and depth != "none":
            tracks = signals if depth == "signal" else [os.fspath(path) for path in depth]
            depths, negative = [], []
            for path, handle in zip(tracks, handles):
                reader = handle if depth == "signal" else _Reader(path, handle.workers)
                try:
                    if depth != "signal" and dict(reader.handle.chroms()) != lengths:
                        raise FootprintError(f"depth track {path!r} and signal "
                                             f"{signals[0]!r} hold different sequences")
                    total, below = _depth(reader, lengths, regions)
                finally:
                    if reader is not handle:
                        reader.close()
                if not total > 0:
                    raise FootprintError(f"signal {path!r} has no value other than 0"
                                         + (" within the regions" if regions else ""))
                depths.append(total)
                if below:
                    negative.append(path)
            factors = [depths[0] / total for total in depths]
            if negative and depth == "signal":
                summary.warnings.append(
                    f"{_shown(negative)} {'has' if len(negative) == 1 else 'have'} negative "
                    f"values (a corrected signal?): depth factors from absolute values follow "
                    f"the noise more than the depth; correct with --normalise cpm and give "
                    f"--depth none, or give the observed tracks with --depth-from")
        summary.factors = tuple(factors)

        # The background: the same positions for every motif and condition,
        # scored at each motif width.
        bg_chroms, bg_centres, summary.drawn = _draw_centres(handles[0], lengths, background,
                                                             seed, regions, span)
        # Read with the first block's sites; one read of the widest windows
        # serves every width.
        bg_lows = bg_centres - int((distinct // 2).max()) - flank
        bg_highs = bg_centres + int((distinct - distinct // 2).max()) + flank
        scores_of: dict[tuple[int, int], np.ndarray] = {}
        ranked: dict[tuple[int, int], np.ndarray] = {}

        reach = flank + PROFILE_MARGIN if profile is not None or plot is not None else None
        cells = motifs * 2 * (2 * reach + 1) if reach is not None else 0
        profile_sums = [np.zeros((cells, 2), np.int64) for _ in handles]
        profile_counts = [np.zeros(cells, np.int64) for _ in handles]
        sites_of = np.zeros(motifs, np.int64)
        scored_of = np.zeros(motifs, np.int64)
        bound_of = np.zeros((conditions, motifs), np.int64)
        footprint_sums = [_ExactSums(motifs) for _ in handles]
        change_sums = [_ExactSums(motifs) for _ in handles[1:]]
        change_squares = [_ExactSums(motifs) for _ in handles[1:]]
        region_keys = _merged(regions, lengths) if regions is not None else None
        stream = None
        if table is not None:
            temporaries[0], stream = open_beside(os.fspath(table), 1 << 20)
            stream.write(("\t".join(table_columns(names)) + "\n").encode())
        # Each condition's columns (the bound call an integer), then the changes.
        kinds = ("f" * len(SCORE_COLUMNS) + "ffffi") * conditions + "f" * (conditions - 1)
        lines = iter(kept) if kept is not None else _lines(sites, source, lengths, named)
        del kept
        for block in _blocks(lines, rank, _BLOCK):
            n = len(block.starts)
            # Only the profile needs the sites' centres.
            centres = (_centres(block.starts, block.ends, block.minus) if reach is not None
                       else None)
            width_index = width_of[block.motifs]
            groups = [(j, np.flatnonzero(width_index == j)) for j in np.unique(width_index)
                      if j >= 0]
            empty = block.starts == block.ends
            # The table's values, a row per site (format_rows takes rows of parts).
            values = np.empty((n, len(kinds))) if stream is not None else None
            column = 0
            footprints_of, compared, no_centre = [], [], np.zeros(n, bool)
            lows, highs = _reaches(block.starts, block.ends, block.minus, flank, reach)
            chroms = block.chroms
            if not ranked:
                lows, highs = np.concatenate((lows, bg_lows)), np.concatenate((highs, bg_highs))
                chroms = np.concatenate((chroms, bg_chroms))
            plan = _plan_windows(ends_of, chroms, lows, highs, span)
            for k, handle in enumerate(handles):
                windows = _fill_windows(handle, plan)
                if len(chroms) > n:
                    _background(_part(windows, n, len(chroms)), bg_centres, distinct, flank,
                                factors[k], k, scores_of, ranked)
                    if k == conditions - 1:
                        _check_background(summary, ranked, motif_names, width_of, regions)
                windows = _part(windows, 0, n)
                means, counts, spread = _means(windows, block.starts, block.ends, block.minus,
                                               flank, factors[k])
                scores = site_scores(*means, *counts, spread)
                footprint = scores["footprint"]
                p = np.full(n, np.nan)
                for j, members in groups:
                    p[members] = p_values(ranked[j, k], footprint[members])
                bound = p <= alpha
                bound_of[k] += np.bincount(block.motifs[bound], minlength=motifs)
                no_centre |= np.isnan(means[0])
                footprints_of.append(footprint)
                compared.append(scores[CHANGE_SCORE])
                if reach is not None:
                    rows = np.where(np.isnan(footprint), -1, block.motifs * 2 + bound)
                    try:
                        _footprints.profile(*windows, centres, block.minus, rows, reach,
                                            factors[k], profile_sums[k], profile_counts[k])
                    except OverflowError:
                        raise FootprintError(f"signal {signals[k]!r} holds a value of 2**36 "
                                             f"or more, too large to sum") from None
                if stream is not None:
                    for array in ([scores[c] for c in SCORE_COLUMNS]
                                  + [means[0], means[1], means[2], p,
                                     np.where(np.isnan(p), np.nan, bound)]):
                        values[:, column] = array
                        column += 1
            scored = ~np.any(np.isnan(footprints_of), axis=0)
            rows = np.where(scored, block.motifs, -1)
            summary.scored += int(scored.sum())
            no_centre &= ~empty
            summary.no_centre += int(no_centre.sum())
            summary.no_flank += int((~scored).sum() - no_centre.sum() - empty.sum())
            sites_of += np.bincount(block.motifs, minlength=motifs)
            scored_of += np.bincount(block.motifs[scored], minlength=motifs)
            for k, footprint in enumerate(footprints_of):
                footprint_sums[k].add(rows, footprint)
            for k, score in enumerate(compared[1:]):
                change = score - compared[0]
                change_sums[k].add(rows, change)
                change_squares[k].add(rows, change * change)
                if stream is not None:
                    values[:, column] = change
                    column += 1
            if region_keys is not None and not summary.in_regions:
                # Only whether any site lies in the regions is said.
                summary.in_regions += _overlapping(region_keys, block)
            if stream is not None:
                firsts = np.cumsum([0] + [len(part.columns) for part in block.parts])
                for text in handles[0].map(
                        lambda k: _footprints.format_rows(
                            block.parts[k].data, block.parts[k].fields, block.parts[k].columns,
                            values[firsts[k]:firsts[k + 1]], kinds),
                        range(len(block.parts))):
                    stream.write(text)
            # Nothing of this block stays while the next one is read.
            del block, values, windows, means, counts, spread, scores, footprint, p, bound
            del footprints_of, compared, rows, scored, no_centre, empty, lows, highs, chroms
        if stream is not None:
            stream.close()
    summary.bound_of = tuple(int(n) for n in bound_of.sum(axis=1))
    summary.bound = summary.bound_of[0]
    if region_keys is not None and not summary.in_regions:
        summary.warnings.append("no site lies in --regions: the background is drawn away "
                                "from every site")
    changes = _changes(motif_names, scored_of, change_sums, change_squares, scores_of,
                       width_of, conditions)
    if motifs_table is not None:
        temporaries[3] = _write_motifs(os.fspath(motifs_table), names, motif_names, sites_of,
                                       scored_of, bound_of, footprint_sums, changes)
    if reach is not None:
        if profile is not None:
            temporaries[1] = _write_profile(os.fspath(profile), signals, names, motif_names,
                                            reach, profile_sums, profile_counts, bound_of,
                                            scored_of)
        if plot is not None:
            temporaries[2] = _draw_profile(os.fspath(plot), signals, names, motif_names, reach,
                                           profile_sums, profile_counts, bound_of,
                                           motif_width, flank, plot_motifs)
    if plot_changes is not None:
        temporaries[4] = _draw_changes(os.fspath(plot_changes), signals, names, motif_names,
                                       changes)


def _shown(names: list[str]) -> str:
    return ", ".join(names[:_NAMES_SHOWN]) + (f" and {len(names) - _NAMES_SHOWN} more"
                                              if len(names) > _NAMES_SHOWN else "")


def _overlapping(region_keys, block: _Block) -> int:
    """How many of the block's sites overlap the merged regions (a site of
    no width: holds the position of its start)."""
    firsts, lasts = region_keys
    if not len(firsts):
        return 0
    start = _keys(block.chroms, block.starts)
    end = _keys(block.chroms, np.maximum(block.ends, block.starts + 1))
    j = np.searchsorted(firsts, end, side="left") - 1
    return int(((j >= 0) & (lasts[np.maximum(j, 0)] > start)).sum())


@dataclasses.dataclass
class _Change:
    """Per motif, one condition against the first."""
    change: np.ndarray
    statistic: np.ndarray
    p_value: np.ndarray
    q_value: np.ndarray


def _changes(motif_names, scored_of, change_sums, change_squares, scores_of, width_of,
             conditions) -> list[_Change]:
    """Per condition after the first: each motif's mean change of its sites'
    footprints against the changes of the background (the same positions in
    both conditions, scored at the motif's width), by Welch's t test."""
    found = []
    for k in range(1, conditions):
        sums = change_sums[k - 1].integers()
        squares = change_squares[k - 1].integers()
        null = {}
        for j in np.unique(width_of[width_of >= 0]).tolist():
            differences = scores_of[j, k] - scores_of[j, 0]
            differences = differences[~np.isnan(differences)]
            null[j] = ((float(np.mean(differences)), float(np.var(differences, ddof=1)),
                        len(differences)) if len(differences) > 1 else (math.nan, math.nan, 0))
        change, statistic, p = (np.full(len(motif_names), np.nan) for _ in range(3))
        for m, (total, square, n) in enumerate(zip(sums, squares, scored_of.tolist())):
            if not n:
                continue
            change[m] = _fixed_mean(total, n)
            if n < 2:
                continue
            # The variance from the exact sums, in integers until the last step.
            spread = square * n * (1 << _FIXED_BITS) - total * total
            variance = max(spread, 0) / (n * (n - 1) << (2 * _FIXED_BITS))
            statistic[m], p[m] = welch(change[m], variance, n, *null[int(width_of[m])])
        found.append(_Change(change, statistic, p, q_values(p)))
    return found


def _write_motifs(path, names, motif_names, sites_of, scored_of, bound_of, footprint_sums,
                  changes) -> str:
    means = [sums.means() for sums in footprint_sums]
    temporary, stream = open_beside(path)
    try:
        with stream:
            lines = ["\t".join(motifs_columns(names)) + "\n"]
            for m, motif in enumerate(motif_names):
                fields = [motif, str(sites_of[m]), str(scored_of[m])]
                for k in range(len(names)):
                    fields += [str(bound_of[k, m]), _number(float(means[k][m]))]
                for found in changes:
                    fields += [_number(float(found.change[m])),
                               _number(float(found.statistic[m])),
                               _number(float(found.p_value[m])),
                               _number(float(found.q_value[m]))]
                lines.append("\t".join(fields) + "\n")
            stream.write("".join(lines).encode())
    except BaseException:
        discard(temporary)
        raise
    return temporary


def _profile_of(sums: np.ndarray, counts: np.ndarray, motifs: int, reach: int):
    """(means, counts), each motifs x (all, bound, unbound) x offsets, of
    the exact sums of the profile kernel."""
    width = 2 * reach + 1
    totals = (sums[:, 1].astype(np.float64) * 2.0 ** 64
              + sums[:, 0].view(np.uint64).astype(np.float64)).reshape(motifs, 2, width)
    counts = counts.reshape(motifs, 2, width)
    # "all" adds the exact sums of the other two before rounding them.
    exact_all = sums.reshape(motifs, 2, width, 2)
    low = exact_all[:, 0, :, 0].view(np.uint64).astype(object) + \
        exact_all[:, 1, :, 0].view(np.uint64).astype(object)
    high = exact_all[:, 0, :, 1].astype(object) + exact_all[:, 1, :, 1].astype(object)
    all_total = (high * (1 << 64) + low).astype(np.float64)
    totals = np.stack([all_total, totals[:, 1], totals[:, 0]], axis=1)
    counts = np.stack([counts[:, 0] + counts[:, 1], counts[:, 1], counts[:, 0]], axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        means = np.where(counts > 0, totals / 2.0 ** _FIXED_BITS / np.maximum(counts, 1),
                         np.nan)
    return means, counts


def _write_profile(path: str, signals, names, motif_names, reach: int, sums, counts,
                   bound_of, scored_of) -> str:
    motifs = len(motif_names)
    tables = [_profile_of(s, c, motifs, reach) for s, c in zip(sums, counts)]
    suffixes = [""] if len(names) == 1 else [f"_{name}" for name in names]
    header = ["motif", "offset"]
    for suffix in suffixes:
        header += [f"all{suffix}", f"bound{suffix}", f"unbound{suffix}", f"all_values{suffix}",
                   f"bound_values{suffix}", f"unbound_values{suffix}"]
    temporary, stream = open_beside(path)
    try:
        with stream:
            lines = [f"# signal{'s' if len(signals) > 1 else ''}: "
                     + ", ".join(f"{name} {os.path.basename(signal)}"
                                 for name, signal in zip(names, signals)) + "\n"]
            for m, motif in enumerate(motif_names):
                lines.append(f"# motif {motif}: " + "; ".join(
                    f"{name + ' ' if len(names) > 1 else ''}{bound_of[k, m]} bound"
                    for k, name in enumerate(names)) + f" of {scored_of[m]} scored sites\n")
            lines.append("\t".join(header) + "\n")
            for m, motif in enumerate(motif_names):
                for j in range(2 * reach + 1):
                    fields = [motif, str(j - reach)]
                    for means, count in tables:
                        fields += [_number(float(means[m, g, j])) for g in range(3)]
                        fields += [str(count[m, g, j]) for g in range(3)]
                    lines.append("\t".join(fields) + "\n")
            stream.write("".join(lines).encode())
    except BaseException:
        discard(temporary)
        raise
    return temporary


def _signal_title(signals, names) -> str:
    return ", ".join(os.path.basename(signal) if len(signals) == 1 else
                     f"{name} ({os.path.basename(signal)})"
                     for name, signal in zip(names, signals))


def _save(figure, path: str) -> str:
    temporary = temporary_beside(path)
    try:
        figure.savefig(temporary, format=os.path.splitext(path)[1][1:].lower(), dpi=120,
                       metadata={"Software": None} if path.lower().endswith(".png") else None)
    except BaseException:
        discard(temporary)
        raise
    return temporary


def _draw_profile(path: str, signals, names, motif_names, reach: int, sums, counts, bound_of,
                  motif_width, flank: int, plot_motifs: int) -> str:
    """The profile of the motifs with the most bound sites, one panel each,
    drawn to a temporary beside ``path``; ImportError without matplotlib."""
    from matplotlib.figure import Figure

    motifs = len(motif_names)
    tables = [_profile_of(s, c, motifs, reach) for s, c in zip(sums, counts)]
    shown = sorted(range(motifs), key=lambda m: (-int(bound_of[:, m].sum()), motif_names[m]))
    shown = shown[:plot_motifs]
    columns = min(3, len(shown))
    rows = -(-len(shown) // columns)
    figure = Figure(figsize=(5.2 * columns, 3.4 * rows + 0.6), layout="constrained")
    offsets = np.arange(-reach, reach + 1)
    colours = ["tab:blue", "tab:red", "tab:green", "tab:purple", "tab:orange", "tab:brown"]
    for panel, m in enumerate(shown):
        axes = figure.add_subplot(rows, columns, panel + 1)
        width = int(motif_width[m])
        axes.axvspan(-(width // 2) - 0.5, width - 1 - width // 2 + 0.5, color="grey",
                     alpha=0.2)
        for k, (name, (means, count)) in enumerate(zip(names, tables)):
            colour = colours[k % len(colours)]
            label = f"{name} " if len(names) > 1 else ""
            axes.plot(offsets, means[m, 0], color=colour if len(names) > 1 else "black",
                      lw=1.6, label=f"{label}all ({int(count[m, 0].max()):,})")
            axes.plot(offsets, means[m, 1], color=colour if len(names) > 1 else "tab:red",
                      lw=1.1, ls="--", label=f"{label}bound ({int(bound_of[k, m]):,})")
            axes.plot(offsets, means[m, 2], color=colour if len(names) > 1 else "tab:blue",
                      lw=1.1, ls=":", label=f"{label}unbound ({int(count[m, 2].max()):,})")
        axes.set_title(f"{motif_names[m]} ({width} bp)", fontsize=10)
        axes.legend(fontsize=7, loc="best")
        if panel % columns == 0:
            axes.set_ylabel("mean signal")
        if panel >= (rows - 1) * columns:
            axes.set_xlabel("bp from the site's centre, along its strand")
    figure.suptitle(f"Footprints in {_signal_title(signals, names)} (flanks of {flank} bp)")
    return _save(figure, path)


def _draw_changes(path: str, signals, names, motif_names, changes, labelled: int = 10) -> str:
    """The volcano plot: per motif, its change against -log10 of its
    p-value; the most changed named."""
    from matplotlib.figure import Figure

    figure = Figure(figsize=(7.5, 5.5), layout="constrained")
    axes = figure.add_subplot()
    colours = ["tab:red", "tab:blue", "tab:green", "tab:purple", "tab:orange"]
    for k, found in enumerate(changes):
        kept = np.flatnonzero(~np.isnan(found.p_value))
        height = -np.log10(np.maximum(found.p_value[kept], 1e-300))
        significant = found.q_value[kept] <= 0.05
        colour = colours[k % len(colours)]
        label = f"{names[k + 1]} against {names[0]}"
        axes.scatter(found.change[kept][~significant], height[~significant], s=12,
                     color="grey", alpha=0.6)
        axes.scatter(found.change[kept][significant], height[significant], s=16,
                     color=colour, label=f"{label}: q <= 0.05")
        order = kept[np.lexsort((-np.abs(found.change[kept]), found.p_value[kept]))]
        for m in order[:labelled].tolist():
            axes.annotate(motif_names[m], (found.change[m],
                                           -math.log10(max(found.p_value[m], 1e-300))),
                          fontsize=7, xytext=(3, 3), textcoords="offset points")
    axes.axvline(0.0, color="black", lw=0.6)
    axes.set_xlabel(f"change of the mean {CHANGE_SCORE} (after the depth factors)")
    axes.set_ylabel("-log10 p-value of the change")
    axes.set_title(f"Changes of binding per motif: {_signal_title(signals, names)}",
                   fontsize=10)
    axes.legend(loc="best", fontsize=8)
    return _save(figure, path)


def write_sites(signal, sites, table=None, **options) -> SiteSummary:
    """``score_sites`` with its files put in place: they appear whole, or
    none of them does."""
    summary, temporaries = score_sites(signal, sites, table, **options)
    try:
        commit_all(temporaries, (table, options.get("profile"), options.get("plot"),
                                 options.get("motifs_table"), options.get("plot_changes")))
    except BaseException:
        discard_all(temporaries)
        raise
    return summary


# --- the genome-wide track ------------------------------------------------------

def track_interval(handle, chrom: str, start: int, end: int, length: int, half_width: int,
                   flank: int, out: np.ndarray | None = None) -> np.ndarray:
    """The footprint track's float64 values (NaN: none) of positions
    ``start..end-1`` of ``chrom`` (of ``length`` bases), from an open
    bigWig: one read of the interval and ``half_width + flank`` positions
    either side.  Made in ``out`` when given."""
    lo, hi = max(start - half_width - flank, 0), min(end + half_width + flank, length)
    values = handle.values(chrom, lo, hi, numpy=True).astype(np.float32, copy=False)
    out = np.empty(end - start) if out is None else out
    _footprints.track(values, lo, start, end, half_width, flank, out)
    return out


@dataclasses.dataclass(frozen=True)
class _TrackJob:
    signal: str
    half_width: int = DEFAULT_HALF_WIDTH
    flank: int = DEFAULT_FLANK


def footprint_task(task: _engine.Task, context: _engine.WorkerContext) -> _engine.TaskResult:
    """The footprint track of one task's intervals (``task.job`` a
    _TrackJob), encoded for its output."""
    job = task.job
    handle = context.keep(("signal", job.signal), lambda: open_signal(job.signal),
                          lambda opened: opened.close())
    lengths = context.keep(("signal lengths", job.signal), handle.chroms)
    encoder = _engine.Encoder(task)
    for span in task.spans():
        values = track_interval(handle, span.chrom, span.start, span.end, lengths[span.chrom],
                                job.half_width, job.flank,
                                context.array("footprint", span.end - span.start))
        encoder.add(span, {"footprint": values})
    return encoder.result()


def write_track(signal, path, *, regions=None, half_width: int = DEFAULT_HALF_WIDTH,
                flank: int = DEFAULT_FLANK, executor: concurrent.futures.Executor | None = None,
                chunk_size: int = _engine.DEFAULT_CHUNK_SIZE, max_in_flight: int = 8,
                progress: bool = False, deflate_level: int = 0, companions=()) -> None:
    """Write the footprint track of the bigWig ``signal`` (or of its
    ``regions``) to ``path`` (bigWig or bedGraph, named as for
    ``tracks.write_tracks``, which also says what the other arguments
    do); the file appears whole or not at all, in one set with the
    finished ``companions`` (see _engine.write_outputs)."""
    if not (isinstance(half_width, int) and half_width >= 0):
        raise FootprintError(f"the half width must be 0 or more, got {half_width!r}")
    if not (isinstance(flank, int) and flank >= 1):
        raise FootprintError(f"the flank must be at least 1 base, got {flank!r}")
    path = os.fspath(path)
    _engine.output_format(path)
    _engine.check_output(path)
    signal_path = os.path.abspath(os.fspath(signal))
    lengths = signal_lengths(signal_path)
    chunks = _engine.plan_chunks(lengths, regions, chunk_size)
    _engine.write_outputs(footprint_task, _TrackJob(signal_path, half_width, flank), lengths,
                          chunks, [("footprint", path)], executor=executor,
                          chunk_size=chunk_size, max_in_flight=max_in_flight,
                          progress=progress, deflate_level=deflate_level,
                          companions=companions)


def commit_all(temporaries, targets) -> None:
    """Put the finished temporaries in place of their targets (None: not
    asked for), as one set (see _output.commit_all)."""
    _output.commit_all([(temporary, os.fspath(target))
                        for temporary, target in zip(temporaries, targets)
                        if temporary is not None], held)


def discard_all(temporaries) -> None:
    for temporary in temporaries:
        if temporary is not None:
            discard(temporary)
