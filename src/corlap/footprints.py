"""Footprints: where a signal track (the corrected insertions of
corlap.correct, for example) dips over a site between two flanks.

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
- The background: ``N`` positions drawn uniformly (from the seed) within
  the regions, or, without regions, over the positions where the signal
  has a value.  Each is the centre of an interval of the sites' median
  width (for width ``w``, ``[c - w // 2, c - w // 2 + w)``), scored as a
  ``+`` site.  A site's ``p_value`` is ``(1 + k) / (1 + n)``, ``k`` of the
  ``n`` background scores being at least its footprint; it is ``bound``
  when ``p_value <= alpha``.  This is a test of each site on its own, not
  corrected for testing many.
- The profile: the mean signal at each offset ``-(F + 50)`` to ``F + 50``
  from a site's centre (``start + w // 2`` on ``+``, ``end - 1 - w // 2``
  on ``-``), offsets counted along the site's strand, over the bound and
  over the unbound sites (sites in input order); sites without a footprint
  are in neither.
- The track: at every position ``p``, the difference of the centre
  ``[p - h, p + h]`` and the flanks of ``F`` bases on either side.

How.  Sites are read twice from the BED file (standard input is kept in
a temporary file): first for their number and widths, which the
background needs, then in batches whose windows are read from the bigWig
with one call each and scored in the native kernel, the table written as
it goes: memory does not grow with the number of sites.  The track runs on
the engine (corlap._engine), chunk by chunk: a task reads each interval
and ``h + F`` positions either side of it in one call, so every sum is
over the same values, in the same order, whatever the chunks, the workers
or the executor.
"""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import dataclasses
import os
import shutil
import tempfile
from collections.abc import Iterator

import numpy as np

from corlap import _engine, _footprints, bed
from corlap._output import commit, discard, open_beside, temporary_beside

__all__ = ["DEFAULT_ALPHA", "DEFAULT_BACKGROUND", "DEFAULT_FLANK", "DEFAULT_HALF_WIDTH",
           "PROFILE_MARGIN", "TABLE_COLUMNS", "FootprintError", "SiteSummary",
           "open_signal", "read_regions", "signal_lengths", "score_sites", "write_sites",
           "track_interval", "write_track"]

DEFAULT_FLANK = 30
DEFAULT_HALF_WIDTH = 10
DEFAULT_BACKGROUND = 10_000
DEFAULT_ALPHA = 0.05
# Positions beyond the flanks that the profile shows on either side.
PROFILE_MARGIN = 50
TABLE_COLUMNS = ("chrom", "start", "end", "name", "score", "strand", "footprint", "difference",
                 "centre", "flank_left", "flank_right", "p_value", "bound")
PLOT_FORMATS = (".png", ".pdf", ".svg")
# Sites scored per call of the kernel.
_BATCH = 4096
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


def _windows(handle, lengths: dict[str, int], chroms, starts: np.ndarray, ends: np.ndarray):
    """The signal of each window ``[starts[k], ends[k])`` (clipped to its
    sequence) as the kernels take it: (values, offsets, lo)."""
    arrays = []
    lo = np.empty(len(chroms), dtype=np.int64)
    offsets = np.zeros(len(chroms) + 1, dtype=np.int64)
    values = handle.values
    at = 0
    for k, (chrom, a, b) in enumerate(zip(chroms, starts.tolist(), ends.tolist())):
        a, b = max(a, 0), min(b, lengths[chrom])
        lo[k] = a
        if a < b:
            window = values(chrom, a, b, numpy=True)
            arrays.append(window)
            at += b - a
        offsets[k + 1] = at
    flat = (np.concatenate(arrays) if arrays else np.empty(0, np.float32)).astype(
        np.float32, copy=False)
    return flat, offsets, lo


def site_score(difference: np.ndarray, spread: np.ndarray) -> np.ndarray:
    """The footprint of sites from their difference and spread (see the
    module's notes); NaN where the difference is NaN."""
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(spread > 0, difference / spread, np.where(np.isnan(difference),
                                                                  np.nan, 0.0))


def _score(handle, lengths, chroms, starts, ends, minus, flank: int, reach: int | None):
    """(footprint, difference, centre, left, right, windows) of a batch of
    sites; the
    windows also reach ``reach`` positions either side of each site's
    centre when given."""
    lows, highs = starts - flank, ends + flank
    if reach is not None:
        centres = _centres(starts, ends, minus)
        lows, highs = np.minimum(lows, centres - reach), np.maximum(highs, centres + reach + 1)
    windows = _windows(handle, lengths, chroms, lows, highs)
    columns = [np.empty(len(chroms)) for _ in range(5)]
    _footprints.sites(*windows, starts, ends, minus, flank, columns[1], columns[2], columns[3],
                      columns[0], columns[4])
    return (site_score(columns[0], columns[4]), *columns[:4], windows)


def _median_low(counts: collections.Counter) -> int:
    """The lower median of the values counted."""
    wanted, seen = (counts.total() - 1) // 2, 0
    for value in sorted(counts):
        seen += counts[value]
        if seen > wanted:
            return value
    raise ValueError("no values")


def _centres(starts: np.ndarray, ends: np.ndarray, minus: np.ndarray) -> np.ndarray:
    half = (ends - starts) // 2
    return np.where(minus != 0, ends - 1 - half, starts + half)


# --- sites --------------------------------------------------------------------

@dataclasses.dataclass
class SiteSummary:
    """What a run of ``score_sites`` did."""
    read: int = 0
    scored: int = 0
    no_centre: int = 0          # no value over the site's own bases
    no_flank: int = 0           # a value over the site, none over a flank
    zero_width: int = 0         # start = end: no base to score
    bound: int = 0
    alpha: float = DEFAULT_ALPHA
    background: int = 0         # background scores the p-values count
    drawn: int = 0              # background positions drawn

    def line(self) -> str:
        unscored = self.read - self.scored
        why = [f"{n:,} {what}" for n, what in
               ((self.zero_width, "zero-width (start = end)"),
                (self.no_centre, "with no value over the site"),
                (self.no_flank, "with a flank without a value")) if n]
        return (f"{self.read:,} sites read, {self.scored:,} scored, {unscored:,} without a "
                f"score{' (' + ', '.join(why) + ')' if why else ''}; {self.bound:,} bound "
                f"(p <= {self.alpha:g}); background of {self.background:,} scores "
                f"({self.drawn:,} positions drawn)")


def _site_rows(path, stream, lengths: dict[str, int], checked: bool = False
               ) -> Iterator[tuple]:
    """(chrom, start, end, name, score, strand) of every site of the BED
    stream, checked against the signal's sequences (``checked``: the file
    was read through once already and every line passed)."""
    name = bed.bed_name(path)
    for number, fields in bed._records(path, stream):
        chrom = fields[0]
        if not checked:
            if chrom not in lengths and len(fields) >= 3:
                names = list(lengths)
                shown = ", ".join(names[:_NAMES_SHOWN])
                more = (f" and {len(names) - _NAMES_SHOWN} more" if len(names) > _NAMES_SHOWN
                        else "")
                raise bed.BedError(f"{name}, line {number}: sequence {chrom!r} is not in "
                                   f"the signal (which holds {shown}{more})")
            site = bed._parse(name, number, fields, lengths)
            yield site.chrom, site.start, site.end, site.strand
            continue
        yield (chrom, int(fields[1]), int(fields[2]),
               fields[3] if len(fields) > 3 else ".", fields[4] if len(fields) > 4 else "0",
               "-" if len(fields) > 5 and fields[5].strip() == "-" else "+")


def read_regions(path, lengths: dict[str, int]) -> list[bed.Site]:
    """The intervals of the BED file at ``path``, checked against the
    signal's sequences."""
    return [bed.Site(chrom, start, end, strand) for chrom, start, end, strand
            in _site_rows(path, bed.open_bed(path), lengths)]


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


def _batches(path, source: str, lengths, checked: bool) -> Iterator[list[tuple]]:
    batch: list[tuple] = []
    for row in _site_rows(path, bed.open_bed(source), lengths, checked):
        batch.append(row)
        if len(batch) == _BATCH:
            yield batch
            batch = []
    if batch:
        yield batch


def _arrays(batch: list[tuple]):
    chroms = [row[0] for row in batch]
    starts = np.fromiter((row[1] for row in batch), np.int64, len(batch))
    ends = np.fromiter((row[2] for row in batch), np.int64, len(batch))
    minus = np.fromiter((row[5] == "-" for row in batch), np.int64, len(batch))
    return chroms, starts, ends, minus


def draw_background(handle, lengths: dict[str, int], width: int, count: int, seed: int,
                    regions, flank: int) -> tuple[np.ndarray, int]:
    """The sorted background scores (see the module's notes) and the number
    of positions drawn."""
    rng = np.random.default_rng(seed)
    if regions is not None:
        spans = [(chrom, a, b) for chrom, pieces in _engine.merge_regions(regions, lengths).items()
                 for a, b in pieces]
    else:
        spans = [(chrom, 0, length) for chrom, length in lengths.items() if length]
    sizes = np.array([b - a for _, a, b in spans], dtype=np.int64)
    if not len(spans) or sizes.sum() == 0:
        raise FootprintError("no position to draw the background from")
    firsts = np.concatenate(([0], np.cumsum(sizes)))
    scores, drawn, kept = [], 0, 0
    for _ in range(1 if regions is not None else _DRAW_ROUNDS):
        picks = rng.integers(0, int(firsts[-1]), count)
        which = np.searchsorted(firsts, picks, side="right") - 1
        centres = np.array([spans[k][1] for k in which.tolist()], np.int64) + picks - firsts[which]
        chroms = [spans[k][0] for k in which.tolist()]
        starts = centres - width // 2
        ends = starts + width
        footprint, *_, (values, offsets, lo) = _score(
            handle, lengths, chroms, starts, ends, np.zeros(count, np.int64), flank, None)
        drawn += count
        if regions is None:
            # Only positions where the signal has a value are drawn from.
            has = ~np.isnan(values[offsets[:-1] + centres - lo].astype(np.float64))
            take = np.flatnonzero(has)[:count - kept]
            kept += len(take)
            footprint = footprint[take]
        scores.append(footprint[~np.isnan(footprint)])
        if regions is not None or kept == count:
            break
    background = np.sort(np.concatenate(scores))
    if not len(background):
        raise FootprintError("no background position has a footprint score: the signal "
                             "has too few values" + (" within the regions" if regions else ""))
    return background, drawn


def p_values(background: np.ndarray, footprint: np.ndarray) -> np.ndarray:
    """``(1 + k) / (1 + n)``, ``k`` of the ``n`` sorted background scores
    at least ``footprint`` (NaN stays NaN)."""
    n = len(background)
    at_least = n - np.searchsorted(background, footprint, side="left")
    return np.where(np.isnan(footprint), np.nan, (1 + at_least) / (1 + n))


def _number(value: float) -> str:
    return "" if value != value else repr(value)


def score_sites(signal, sites, table=None, *, profile=None, plot=None, regions=None,
                flank: int = DEFAULT_FLANK, background: int = DEFAULT_BACKGROUND,
                seed: int = 0, alpha: float = DEFAULT_ALPHA) -> tuple[SiteSummary, list[str]]:
    """Score the sites of the BED file ``sites`` (``-``: standard input)
    against the bigWig ``signal`` and write the table, the profile and the
    plot asked for, each to a temporary beside its target.  Returns the
    summary and the temporaries, in the order table, profile, plot (None
    for one not asked for): the caller commits or discards them.  Raises
    FootprintError or bed.BedError for bad input."""
    if not (isinstance(flank, int) and flank >= 1):
        raise FootprintError(f"the flank must be at least 1 base, got {flank!r}")
    if not (isinstance(background, int) and background >= 1):
        raise FootprintError(f"the background must be at least 1 position, got {background!r}")
    if plot is not None and os.path.splitext(os.fspath(plot))[1].lower() not in PLOT_FORMATS:
        raise FootprintError(f"plot {os.fspath(plot)!r}: use one of {', '.join(PLOT_FORMATS)}")
    summary = SiteSummary(alpha=alpha)
    handle = open_signal(signal)
    temporaries: list[str | None] = [None, None, None]
    try:
        lengths = dict(handle.chroms())
        with _rereadable(sites) as source:
            widths: collections.Counter = collections.Counter()
            for batch in _batches(sites, source, lengths, False):
                widths.update(row[2] - row[1] for row in batch)
            summary.read = widths.total()
            if not summary.read:
                raise FootprintError(f"{bed.bed_name(sites)}: no sites")
            # Sites of no base get no score, and give the background none
            # of their width.
            summary.zero_width = widths.pop(0, 0)
            if not widths:
                raise FootprintError(f"{bed.bed_name(sites)}: every site is 0 bases wide "
                                     f"(start = end): nothing to score")
            width = _median_low(widths)
            scores, summary.drawn = draw_background(handle, lengths, width, background, seed,
                                                    regions, flank)
            summary.background = len(scores)
            reach = flank + PROFILE_MARGIN if profile is not None or plot is not None else None
            sums = np.zeros((2, 2 * reach + 1)) if reach is not None else None
            counts = np.zeros((2, 2 * reach + 1), np.int64) if reach is not None else None
            stream = None
            if table is not None:
                temporaries[0], stream = open_beside(os.fspath(table), 1 << 20)
            if stream is not None:
                stream.write(("\t".join(TABLE_COLUMNS) + "\n").encode())
            for batch in _batches(sites, source, lengths, True):
                chroms, starts, ends, minus = _arrays(batch)
                footprint, difference, centre, left, right, windows = _score(
                    handle, lengths, chroms, starts, ends, minus, flank, reach)
                empty = starts == ends
                left[empty] = right[empty] = np.nan
                p = p_values(scores, footprint)
                bound = p <= alpha
                scored = ~np.isnan(footprint)
                summary.scored += int(scored.sum())
                summary.bound += int(bound.sum())
                no_centre = int(np.isnan(centre).sum()) - int(empty.sum())
                summary.no_centre += no_centre
                summary.no_flank += int((~scored).sum()) - no_centre - int(empty.sum())
                if reach is not None:
                    groups = np.where(scored, bound.astype(np.int64), -1)
                    _footprints.profile(*windows, _centres(starts, ends, minus), minus, groups,
                                        reach, sums, counts)
                if stream is not None:
                    stream.write("".join(
                        f"{row[0]}\t{row[1]}\t{row[2]}\t{row[3]}\t{row[4]}\t{row[5]}\t"
                        f"{_number(f)}\t{_number(d)}\t{_number(c)}\t{_number(a)}\t"
                        f"{_number(b)}\t{_number(q)}\t{'' if q != q else int(q <= alpha)}\n"
                        for row, f, d, c, a, b, q in zip(batch, footprint.tolist(),
                                                         difference.tolist(), centre.tolist(),
                                                         left.tolist(), right.tolist(),
                                                         p.tolist())).encode())
            if stream is not None:
                stream.close()
        if reach is not None:
            sites_of = (summary.scored - summary.bound, summary.bound)
            if profile is not None:
                temporaries[1] = _write_profile(os.fspath(profile), reach, sums, counts,
                                                sites_of)
            if plot is not None:
                temporaries[2] = _draw_profile(os.fspath(plot), reach, sums, counts, sites_of,
                                               width, flank)
        return summary, temporaries
    except BaseException:
        for temporary in temporaries:
            if temporary is not None:
                discard(temporary)
        raise
    finally:
        handle.close()


def write_sites(signal, sites, table=None, **options) -> SiteSummary:
    """``score_sites`` with its files put in place: they appear whole, or
    none of them does."""
    summary, temporaries = score_sites(signal, sites, table, **options)
    try:
        commit_all(temporaries, (table, options.get("profile"), options.get("plot")))
    except BaseException:
        discard_all(temporaries)
        raise
    return summary


def _means(sums: np.ndarray, counts: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(counts > 0, sums / np.maximum(counts, 1), np.nan)


def _write_profile(path: str, reach: int, sums, counts, sites_of) -> str:
    means = _means(sums, counts)
    temporary, stream = open_beside(path)
    try:
        with stream:
            lines = [f"# sites: {sites_of[1]} bound, {sites_of[0]} unbound\n",
                     "offset\tbound\tunbound\tbound_values\tunbound_values\n"]
            for k in range(2 * reach + 1):
                lines.append(f"{k - reach}\t{_number(float(means[1, k]))}\t"
                             f"{_number(float(means[0, k]))}\t{counts[1, k]}\t{counts[0, k]}\n")
            stream.write("".join(lines).encode())
    except BaseException:
        discard(temporary)
        raise
    return temporary


def _draw_profile(path: str, reach: int, sums, counts, sites_of, width: int, flank: int) -> str:
    """The profile drawn to a temporary beside ``path``; ImportError without
    matplotlib."""
    from matplotlib.figure import Figure

    means = _means(sums, counts)
    offsets = np.arange(-reach, reach + 1)
    figure = Figure(figsize=(8, 4.5), layout="constrained")
    axes = figure.add_subplot()
    axes.axvspan(-(width // 2) - 0.5, width - 1 - width // 2 + 0.5, color="grey", alpha=0.25,
                 label=f"site ({width} bp, median)")
    axes.plot(offsets, means[1], color="tab:red", lw=1.4, label=f"bound ({sites_of[1]:,} sites)")
    axes.plot(offsets, means[0], color="tab:blue", lw=1.4,
              label=f"unbound ({sites_of[0]:,} sites)")
    axes.set_xlabel("position from the site's centre, along its strand (bp)")
    axes.set_ylabel("mean signal")
    axes.set_title(f"Footprints: mean signal around the sites (flanks of {flank} bp)")
    axes.legend(loc="best")
    temporary = temporary_beside(path)
    try:
        figure.savefig(temporary, format=os.path.splitext(path)[1][1:].lower(), dpi=120,
                       metadata={"Software": None} if path.lower().endswith(".png") else None)
    except BaseException:
        discard(temporary)
        raise
    return temporary


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
                progress: bool = False, deflate_level: int = 0) -> None:
    """Write the footprint track of the bigWig ``signal`` (or of its
    ``regions``) to ``path`` (bigWig or bedGraph, named as for
    ``tracks.write_tracks``, which also says what the other arguments
    do); the file appears whole or not at all."""
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
                          progress=progress, deflate_level=deflate_level)


def commit_all(temporaries, targets) -> None:
    """Put the finished temporaries in place of their targets (None: not
    asked for)."""
    for temporary, target in zip(temporaries, targets):
        if temporary is not None:
            commit(temporary, os.fspath(target))


def discard_all(temporaries) -> None:
    for temporary in temporaries:
        if temporary is not None:
            discard(temporary)
