"""Insertion sites from aligned reads, and bias models trained on them.

In accessibility assays an enzyme cuts or inserts into DNA, and the 5' end
of every read marks one insertion.  A read is taken when it is mapped,
primary (neither secondary nor supplementary), not QC-failed, not a
duplicate, has a mapping quality of at least ``min_mapq`` and lies on a
sequence of the FASTA file that is not excluded; both mates of a pair
count, each for its own 5' end.  With ``shift = (PLUS, MINUS)`` its
insertion is at

- ``reference_start + PLUS`` on ``+`` for a forward read,
- ``reference_end - 1 + MINUS`` on ``-`` for a reverse read,

so that ``(0, 0)`` gives the raw 5' ends.  Insertions that fall off their
sequence are skipped and counted.  ``ReadFilters`` adds the filters users
choose (all off by default): properly paired reads only, a range of
fragment lengths, and a blacklist of regions whose insertions are left out.

Reads come from a coordinate-sorted, indexed BAM file, or a CRAM file
whose reference is the FASTA file.  pysam opens and checks them; they are
then read by the extension (corlap._alignments) through htslib's own index
and iterator, in the copy of htslib that pysam loaded, keeping of each read
the two numbers needed and letting other threads run meanwhile.
Everything after that (positions, filters by range, counting) runs in
NumPy over whole sequences or chunks.
"""

from __future__ import annotations

import array
import contextlib
import dataclasses
import functools
import os
from collections.abc import Iterable

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from corlap._alignments import BamReader, check_index
from corlap.bed import Blacklist
from corlap.training import DEFAULT_BACKGROUND, NoUsableSites, TrainingSummary, train_model
from corlap.training import check_length
from corlap.utils.fasta import import_pysam, open_fasta, pysam_unavailable
from corlap.utils.sequences import nuc_to_num

__all__ = ["DEFAULT_MIN_MAPQ", "DEFAULT_NEAR", "DEFAULT_SHIFT", "HELD_OUT", "NO_FILTERS",
           "Insertions", "ReadFilters", "ReadsError", "ReadsTrainingSummary",
           "count_insertions", "open_reads", "placement_gain", "read_insertions",
           "region_insertions", "train_from_reads"]

DEFAULT_SHIFT = (4, -5)
DEFAULT_MIN_MAPQ = 30
# Unmapped, secondary, QC-failed, duplicate, supplementary.
_LEFT_OUT = 0x4 | 0x100 | 0x200 | 0x400 | 0x800
_REVERSE = 0x10
_PAIRED = 0x1
_PROPER_PAIR = 0x2
_NAMES_SHOWN = 5
# Sequences looked at for a CRAM file's first read: each costs an index
# look-up, and a file without reads on the first few is rare.
_PROBED = 8
# Bases of a sequence whose site windows are gathered at once while
# counting: small enough that the windows of a dense chunk stay in memory,
# large enough that the per-chunk NumPy calls cost nothing next to them.
_COUNT_SPAN = 4_000_000
# Site windows gathered at once at most (a dense span is taken in batches).
_COUNT_BATCH = 1_000_000
# Positions per block of the pair counts (see _PairCounter).
_BLOCK = 4
# How long the index's trial load may take (seconds, plus one per this many
# bytes of index) before it counts as hung: a damaged index can send
# htslib's reader round a loop, where a whole genome's loads in well under
# a second.
_INDEX_SECONDS = 30.0
_INDEX_BYTES_PER_SECOND = 10_000_000
# The indexes that loaded in a child: (reads file, reference, index) -> the
# index's (device, inode, size, modification time) then.
_LOADED: dict[tuple, tuple[int, int, int, int]] = {}


class ReadsError(ValueError):
    """A reads file that cannot be used; the message (one line) names it."""


@dataclasses.dataclass(frozen=True)
class ReadFilters:
    """The filters a user chooses, beyond the fixed rules and ``min_mapq``;
    each is off by default.

    - ``proper_pairs``: only reads flagged as properly paired (0x2).
    - ``fragment_length = (MIN, MAX)``: a paired read (0x1) is left out
      unless the absolute value of its template length is from MIN to MAX
      (a mate unmapped or on another sequence has length 0); unpaired reads
      are kept.
    - ``blacklist``: insertions inside it are left out, and training takes
      no window that overlaps it.
    """
    proper_pairs: bool = False
    fragment_length: tuple[int, int] | None = None
    blacklist: Blacklist | None = None

    def __post_init__(self):
        if self.fragment_length is not None:
            try:
                low, high = (int(value) for value in self.fragment_length)
            except (TypeError, ValueError):
                raise ValueError(f"fragment_length must be two integers (MIN, MAX), got "
                                 f"{self.fragment_length!r}") from None
            if not 0 <= low <= high:
                raise ValueError(f"fragment length range {low}..{high}: MIN must be from 0 "
                                 f"to MAX")
            object.__setattr__(self, "fragment_length", (low, high))

    def pairs(self) -> tuple[int, int, int] | None:
        """(flags required, fragment MIN, fragment MAX or -1) for the
        reader, or None when neither pair filter is on."""
        if not self.proper_pairs and self.fragment_length is None:
            return None
        low, high = self.fragment_length or (0, -1)
        return (_PROPER_PAIR if self.proper_pairs else 0, low, high)

    def takes(self, flag: int, template_length: int) -> bool:
        """The pair filters' rule for one read (as the reader applies it)."""
        if self.proper_pairs and not flag & _PROPER_PAIR:
            return False
        if self.fragment_length is None or not flag & _PAIRED:
            return True
        low, high = self.fragment_length
        return low <= abs(template_length) <= high

    def outside(self, chrom: str, positions: np.ndarray) -> np.ndarray:
        """The insertions of ``positions`` (on ``chrom``) not in the
        blacklist."""
        if self.blacklist is None:
            return positions
        return positions[~self.blacklist.overlaps(chrom, positions, positions + 1)]


NO_FILTERS = ReadFilters()


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def _names(names: Iterable[str]) -> str:
    names = list(names)
    shown = ", ".join(repr(name) for name in names[:_NAMES_SHOWN])
    more = f" and {len(names) - _NAMES_SHOWN} more" if len(names) > _NAMES_SHOWN else ""
    return shown + more


# --- opening ----------------------------------------------------------------

def _is_cram(path: str) -> bool:
    with open(path, "rb") as stream:
        return stream.read(4) == b"CRAM"


def _open(path: str, fasta: str | None):
    """A pysam handle of ``path`` (no checks beyond pysam's own), htslib's
    warnings held back (corlap gives its own, once)."""
    pysam = import_pysam()
    before = pysam.set_verbosity(0)
    try:
        if _is_cram(path):
            return pysam.AlignmentFile(path, "rc", reference_filename=fasta)
        return pysam.AlignmentFile(path, "rb")
    finally:
        pysam.set_verbosity(before)


def _open_for_regions(path: str, fasta: str | None, shown: str | None = None, *,
                      indexed: bool = True) -> BamReader:
    """A reader of ``path`` by region (a CRAM file against ``fasta``), its
    index found beside it as htslib finds it; ``shown`` is the path errors
    name (the user's, where ``path`` was made absolute)."""
    import_pysam()      # its htslib is the one read through
    try:
        return BamReader(path, reference=fasta if _is_cram(path) else None, indexed=indexed)
    except ImportError as error:     # pysam's htslib, found when the first reader opens
        raise pysam_unavailable(error) from None
    except OSError as error:
        raise _cannot_read(path, error, shown) from None


def index_of(path) -> str | None:
    """The index htslib reads for the reads file at ``path``, as it looks
    for one beside it: ``.csi`` before ``.bai`` (``.crai`` for CRAM), each
    after the whole name and then in place of its extension.  None when
    there is none."""
    path = os.fspath(path)
    try:
        # Not a pipe, which would wait for a writer and lose what it read.
        cram = os.path.isfile(path) and _is_cram(path)
    except OSError:
        return None
    stem = os.path.splitext(path)[0]
    kinds = (".crai",) if cram else (".csi", ".bai")
    for kind in kinds:
        for candidate in (path + kind, stem + kind):
            if os.path.isfile(candidate):
                return candidate
    return None


def stale_index(path) -> str | None:
    """The index of ``path`` when it is older than the file (as htslib
    compares them, by the second), else None.  A file rewritten and not
    indexed again is read by an index of its former self."""
    path = os.fspath(path)
    index = index_of(path)
    if index is None:
        return None
    try:
        return index if int(os.stat(index).st_mtime) < int(os.stat(path).st_mtime) else None
    except OSError:
        return None


def _cannot_read(path: str, error: BaseException, shown: str | None = None) -> ReadsError:
    """The error of a reads file that fails while it is read, naming a
    stale index as the likely cause."""
    stale = stale_index(path)
    if stale is not None and shown:
        # The index's name beside the file as the user named it.
        base = path if stale.startswith(path) else os.path.splitext(path)[0]
        stale = (shown if base == path else os.path.splitext(shown)[0]) + stale[len(base):]
    hint = (f"; its index {stale} is older than the file, and likely not of it: index it "
            f"again (samtools index {shown or path})" if stale else "")
    return ReadsError(f"{shown or path}: cannot read it ({_first_line(error)}){hint}")


def open_reads(path, fasta=None, lengths: dict[str, int] | None = None):
    """Open the BAM or CRAM file at ``path`` for reading by region, checked.

    ``fasta`` is the FASTA file, which a CRAM file needs as its reference;
    ``lengths`` maps the FASTA's sequence names to their lengths (read from
    ``fasta`` when not given).  Raises ReadsError naming the file when it is
    ``-`` (standard input has no index), missing, neither BAM nor CRAM, a
    CRAM without ``fasta``, not coordinate-sorted, has sequence names that
    are not UTF-8, has no index (or a damaged one: the index is loaded in
    a child process first, so that one that crashes htslib ends only the
    child), has a sequence of the FASTA's name with another length, has
    none of the FASTA's sequences, or is a CRAM whose first reads do not
    decode.  Raises PysamUnavailable when pysam cannot be loaded.  Returns
    a ``pysam.AlignmentFile``; close it when done.
    """
    path = os.fspath(path)
    if path == "-":
        raise ReadsError("reads cannot come from standard input ('-'): a reads file must be "
                         "a path, since its index is found beside it")
    if not os.path.exists(path):
        raise ReadsError(f"reads file not found: {path!r}")
    if os.path.isdir(path):
        raise ReadsError(f"reads file {path!r} is a directory")
    if not os.path.isfile(path):
        raise ReadsError(f"reads file {path!r} is not a regular file (a pipe?): a reads file "
                         f"must be a path, since its index is found beside it")
    try:
        cram = _is_cram(path)
    except OSError as error:
        raise ReadsError(f"cannot read reads file {path!r}: {error.strerror or error}") from None
    if cram and fasta is None:
        raise ReadsError(f"{path}: a CRAM file is read against its reference; give the "
                         f"FASTA file it was made with")
    fasta = os.fspath(fasta) if fasta is not None else None
    reference = fasta if cram else None
    import_pysam()      # its htslib is the one read through
    # The header first, by a reader that loads no index.
    try:
        probe = BamReader(path, reference=reference, indexed=False)
    except ImportError as error:
        raise pysam_unavailable(error) from None
    except OSError as error:
        if _first_line(error) == "SAM text":
            raise ReadsError(f"{path}: not a BAM or CRAM file (SAM text cannot be read by "
                             f"region: samtools sort -o READS.bam {path} && samtools index "
                             f"READS.bam)") from None
        reason = _first_line(error)
        if reason == "not a BAM or CRAM file":     # another format htslib knows
            reason = "empty" if os.path.getsize(path) == 0 else ""
        raise ReadsError(f"{path}: not a BAM or CRAM file"
                         f"{f' ({reason})' if reason else ''}") from None
    with probe:
        names, file_lengths = _check_header(probe, path)
    _check_index(path, reference, cram)
    lengths = _check_sequences(path, fasta, lengths, names, file_lengths)
    try:
        handle = _open(path, fasta)
    except (ValueError, OSError) as error:
        raise ReadsError(f"{path}: not a BAM or CRAM file ({_first_line(error)})") from None
    try:
        if cram and fasta is not None:
            _decode_first(handle, path, fasta, probe.header,
                          [name for name in names if name in lengths])
    except BaseException:
        handle.close()
        raise
    return handle


def _check_header(reader: BamReader, path: str) -> tuple[list[str], list[int]]:
    """The names and lengths of the file's sequences, its header checked.
    The text is read as bytes: comments and programs may be in any
    encoding; only the names must be UTF-8, as FASTA names and outputs
    hold them."""
    order = _header_field(reader.header, b"@HD", b"SO")
    if order is not None and order != "coordinate":
        raise ReadsError(f"{path}: not sorted by coordinate (its header says SO:{order}); "
                         f"sort and index it: samtools sort -o SORTED.bam {path} && "
                         f"samtools index SORTED.bam")
    names = list(reader.references)
    for name in names:
        try:
            name.encode("utf-8")
        except UnicodeEncodeError:
            shown = name.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
            raise ReadsError(f"{path}: sequence name {shown!r} of its header is not UTF-8 "
                             f"text; rename it in the header (samtools reheader)") from None
    if not names:
        raise ReadsError(f"{path}: its header names no sequence")
    return names, list(reader.lengths)


def _header_field(text: bytes, kind: bytes, tag: bytes, name: bytes | None = None) -> str | None:
    """The value of ``tag`` on the first header line of ``kind`` (of the
    sequence ``name``, for @SQ), decoded leniently; None when absent."""
    for line in text.split(b"\n"):
        fields = line.rstrip(b"\r").split(b"\t")
        if fields[0] != kind or (name is not None and b"SN:" + name not in fields[1:]):
            continue
        for field in fields[1:]:
            if field.startswith(tag + b":"):
                return field[len(tag) + 1:].decode("utf-8", "replace")
        return None
    return None


def _check_index(path: str, reference: str | None, cram: bool) -> None:
    """The index htslib would read, loaded once in a child process: a
    damaged one can crash htslib's reader, and would take the process.
    An index that loaded is not loaded again while it is unchanged (a run
    checks its reads file more than once)."""
    index = index_of(path)
    try:
        found = os.stat(index) if index else None
    except OSError:
        found = None
    size = found.st_size if found else 0
    key = (os.path.abspath(path), reference, index and os.path.abspath(index))
    seen = (found.st_dev, found.st_ino, found.st_size, found.st_mtime_ns) if found else None
    if seen is not None and _LOADED.get(key) == seen:
        return
    try:
        timeout = _INDEX_SECONDS + size / _INDEX_BYTES_PER_SECOND
        outcome, signal_number = check_index(path, reference=reference, timeout=timeout)
    except OSError as error:    # no fork: too many processes, no memory
        raise ReadsError(f"{path}: cannot check its index ({error.strerror or error})") \
            from None
    if outcome == "loaded":
        if seen is not None:
            _LOADED[key] = seen
        return
    if outcome == "not reads":
        raise ReadsError(f"{path}: not a BAM or CRAM file (htslib cannot open it)")
    if outcome == "no index":
        kind = ".crai" if cram else ".bai or .csi"
        raise ReadsError(f"{path}: no index ({kind}) found, or none that htslib can read "
                         f"(damaged, or not of this file); index it: samtools index {path}")
    how = (f"crashed on it ({_signal_name(signal_number)})" if signal_number else
           f"did not finish it in {timeout:.0f} s" if outcome == "hung" else "failed on it")
    raise ReadsError(f"{path}: its index{f' {index}' if index else ''} is damaged: htslib's "
                     f"reader {how}; rebuild it (samtools index {path})")


def _signal_name(number: int) -> str:
    import signal

    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


def _check_sequences(path: str, fasta: str | None, lengths, names: list[str],
                     file_lengths: list[int]) -> dict[str, int]:
    """The FASTA's lengths, the file's sequences checked against them."""
    if lengths is None:
        if fasta is None:
            return dict(zip(names, file_lengths))
        with open_fasta(fasta) as genome:
            lengths = dict(zip(genome.references, genome.lengths))
    for name, length in zip(names, file_lengths):
        if name in lengths and lengths[name] != length:
            raise ReadsError(f"{path}: sequence {name!r} has {length} bases, but "
                             f"{lengths[name]} in the FASTA file"
                             f"{f' {fasta}' if fasta else ''}: reads aligned to another "
                             f"assembly")
    if not set(names) & set(lengths):
        raise ReadsError(f"{path}: none of its sequences ({_names(names)}) is in the FASTA "
                         f"file{f' {fasta}' if fasta else ''} ({_names(lengths)})")
    return lengths


def _decode_first(handle, path: str, fasta: str, header: bytes, names: list[str]) -> None:
    """A CRAM file's reads decode only against the reference they were
    made with (unless it carries its own).  Decoding the first read of the
    first sequence that has any finds a wrong FASTA file, or a damaged
    file, now, not in the middle of a run; the checksum of the sequence
    in the header tells which of the two it is."""
    for name in names[:_PROBED]:
        try:
            if next(handle.fetch(name), None) is not None:
                return
        except (OSError, ValueError) as error:
            reason = _first_line(error)
            same = _same_sequence(header, fasta, name)
            if same is False:
                raise ReadsError(f"{path}: its reads cannot be decoded against the FASTA file "
                                 f"{fasta}, whose {name!r} is not the sequence the file was "
                                 f"made with (the checksums differ); a CRAM file is read "
                                 f"against the reference it was made with") from None
            if same is True:
                raise ReadsError(f"{path}: damaged: its reads on {name!r} cannot be decoded "
                                 f"({reason}), against the right reference (the checksums "
                                 f"agree)") from None
            raise ReadsError(f"{path}: its reads on {name!r} cannot be decoded ({reason}): "
                             f"the file is damaged, or the FASTA file {fasta} is not its "
                             f"reference (its header holds no checksum to tell)") from None


def _same_sequence(header: bytes, fasta: str, name: str) -> bool | None:
    """Whether sequence ``name`` of ``fasta`` has the MD5 checksum the CRAM
    header gives it (of its bases in capitals, as the format defines it);
    None when the header gives none."""
    import hashlib

    expected = _header_field(header, b"@SQ", b"M5", name.encode("utf-8"))
    if expected is None:
        return None
    with open_fasta(fasta) as genome:
        if name not in genome.references:
            return False
        digest = hashlib.md5(usedforsecurity=False)
        length = genome.get_length(name)
        for start in range(0, length, 1 << 24):
            digest.update(genome.fetch(name, start, min(start + (1 << 24), length))
                          .upper().encode("ascii", "replace"))
    return digest.hexdigest() == expected.lower()


# --- insertions -------------------------------------------------------------

def _read_ends(reads, min_mapq: int, path: str, filters: ReadFilters = NO_FILTERS
               ) -> tuple[np.ndarray, np.ndarray, int]:
    """The reference starts of the forward reads and the reference ends of
    the reverse reads taken from the iterator ``reads``, and the number of
    reads the filters left out."""
    starts = array.array("q")
    ends = array.array("q")
    take_start, take_end = starts.append, ends.append
    left_out = 0
    paired = filters.pairs() is not None
    try:
        # The loop every read goes through: as little as the filters need
        # (the count costs only the reads left out).
        for read in reads:
            flag = read.flag
            if flag & _LEFT_OUT or read.mapping_quality < min_mapq or (
                    paired and not filters.takes(flag, read.template_length)):
                left_out += 1
                continue
            if flag & _REVERSE:
                end = read.reference_end
                if end is not None:     # no CIGAR: no 5' end to place
                    take_end(end)
                else:
                    left_out += 1
            else:
                take_start(read.reference_start)
    except OSError as error:
        raise _cannot_read(path, error) from None
    return (np.frombuffer(starts, dtype=np.int64), np.frombuffer(ends, dtype=np.int64),
            left_out)


def _fetch_ends(handle, chrom: str, first: int | None, last: int | None, min_mapq: int,
                path: str, filters: ReadFilters = NO_FILTERS
                ) -> tuple[np.ndarray, np.ndarray, int]:
    """``_read_ends`` of the reads of ``handle`` (a BamReader or a pysam
    handle) overlapping first..last-1 of ``chrom`` (None: the whole
    sequence)."""
    if isinstance(handle, BamReader):
        try:
            found = handle.ends(chrom, 0 if first is None else first,
                                2 ** 62 if last is None else last, min_mapq,
                                filters.pairs())
        except OSError as error:
            raise _cannot_read(os.fsdecode(handle.filename), error, path) from None
        return _arrays(found)
    reads = handle.fetch(chrom) if first is None else handle.fetch(chrom, first, last)
    return _read_ends(reads, min_mapq, path, filters)


def _arrays(found) -> tuple[np.ndarray, np.ndarray, int]:
    starts, ends, left_out = found
    return np.frombuffer(starts, np.int64), np.frombuffer(ends, np.int64), left_out


def _shift(shift) -> tuple[int, int]:
    try:
        plus, minus = (int(value) for value in shift)
    except (TypeError, ValueError):
        raise ValueError(f"shift must be two integers (PLUS, MINUS), got {shift!r}") from None
    return plus, minus


def region_insertions(handle, chrom: str, start: int, end: int, chrom_length: int, *,
                      shift=DEFAULT_SHIFT, min_mapq: int = DEFAULT_MIN_MAPQ,
                      path: str = "", filters: ReadFilters = NO_FILTERS
                      ) -> tuple[np.ndarray, np.ndarray]:
    """The insertions of the reads of ``handle`` (opened by ``open_reads``,
    or a BamReader) whose positions lie in ``start..end-1`` of ``chrom``: int64 positions of
    the ``+`` and of the ``-`` insertions, each in the order read.  A chunk
    sees exactly the insertions the whole sequence has in its range."""
    plus, minus = _shift(shift)
    start, end = max(int(start), 0), min(int(end), int(chrom_length))
    if start >= end or chrom not in handle.references:
        return np.empty(0, np.int64), np.empty(0, np.int64)
    # A + insertion in the range comes from a read starting in
    # [start - PLUS, end - PLUS), a - one from a read ending in
    # (start - MINUS, end - MINUS]: both overlap the span fetched.
    first = max(min(start - plus, start - minus), 0)
    last = min(max(end - plus, end - minus), int(chrom_length))
    if first >= last:
        return np.empty(0, np.int64), np.empty(0, np.int64)
    starts, ends, _ = _fetch_ends(handle, chrom, first, last, min_mapq,
                                  path or handle.filename.decode(errors="replace"), filters)
    forward = starts + plus
    reverse = ends + (minus - 1)
    return (filters.outside(chrom, forward[(forward >= start) & (forward < end)]),
            filters.outside(chrom, reverse[(reverse >= start) & (reverse < end)]))


@dataclasses.dataclass
class Insertions:
    """The insertions of a reads file: per sequence of the FASTA that has
    any (in the FASTA's order), int64 positions of ``+`` and of ``-``
    insertions; ``off`` counts those that fell off their sequence, and
    ``left_out`` the reads of those sequences that the filters left out
    (flags, mapping quality, pairs, no alignment to place), ``blacklisted``
    the insertions in the blacklist."""
    positions: dict[str, tuple[np.ndarray, np.ndarray]]
    off: int = 0
    left_out: int = 0
    blacklisted: int = 0

    @property
    def total(self) -> int:
        return sum(len(plus) + len(minus) for plus, minus in self.positions.values())


def read_insertions(path, fasta, *, shift=DEFAULT_SHIFT, min_mapq: int = DEFAULT_MIN_MAPQ,
                    exclude: Iterable[str] = (), filters: ReadFilters = NO_FILTERS
                    ) -> Insertions:
    """Every insertion of the reads file at ``path`` on the sequences of
    ``fasta`` that ``exclude`` does not name (see the module's rules)."""
    plus_shift, minus_shift = _shift(shift)
    path, fasta = os.fspath(path), os.fspath(fasta)
    with open_fasta(fasta) as genome:
        lengths = dict(zip(genome.references, genome.lengths))
    excluded = set(exclude)
    insertions = Insertions({})
    with _closing(open_reads(path, fasta, lengths)) as checked, \
            _closing(_open_for_regions(path, fasta)) as handle:
        present = set(checked.references)
        wanted = [chrom for chrom in lengths if chrom not in excluded and chrom in present]
        # By a stale index, the whole file is read by the index as a
        # correction reads it, to the same reads or the same error.
        try:
            found = handle.ends_each(wanted, min_mapq, stale_index(path) is None,
                                     filters.pairs())
        except OSError as error:
            raise _cannot_read(path, error) from None
        for k, chrom in enumerate(wanted):
            length = lengths[chrom]
            starts, ends, left_out = _arrays(found[k])
            found[k] = None     # its bytes go with the arrays made of them
            insertions.left_out += left_out
            forward = starts + plus_shift
            reverse = ends + (minus_shift - 1)
            on_forward = (forward >= 0) & (forward < length)
            on_reverse = (reverse >= 0) & (reverse < length)
            insertions.off += int(len(forward) - np.count_nonzero(on_forward)
                                  + len(reverse) - np.count_nonzero(on_reverse))
            forward, reverse = forward[on_forward], reverse[on_reverse]
            kept = filters.outside(chrom, forward), filters.outside(chrom, reverse)
            insertions.blacklisted += len(forward) + len(reverse) - len(kept[0]) - len(kept[1])
            if len(kept[0]) or len(kept[1]):
                insertions.positions[chrom] = kept
    return insertions


def count_insertions(path, fasta, *, shift=DEFAULT_SHIFT, min_mapq: int = DEFAULT_MIN_MAPQ,
                     exclude: Iterable[str] = (), filters: ReadFilters = NO_FILTERS) -> int:
    """How many insertions ``read_insertions`` finds, read one sequence at
    a time (memory for one sequence's reads only)."""
    plus_shift, minus_shift = _shift(shift)
    path, fasta = os.fspath(path), os.fspath(fasta)
    with open_fasta(fasta) as genome:
        lengths = dict(zip(genome.references, genome.lengths))
    excluded = set(exclude)
    total = 0
    with _closing(_open_for_regions(path, fasta)) as handle:
        present = set(handle.references)
        for chrom, length in lengths.items():
            if chrom in excluded or chrom not in present:
                continue
            starts, ends, _ = _fetch_ends(handle, chrom, None, None, min_mapq, path, filters)
            for positions in (starts + plus_shift, ends + (minus_shift - 1)):
                total += len(filters.outside(chrom, positions[(positions >= 0)
                                                              & (positions < length)]))
    return total


@contextlib.contextmanager
def _closing(handle):
    """``handle``, closed at the end; a failure to close (pysam's, after a
    read error) does not replace the error that ended the block."""
    try:
        yield handle
    except BaseException:
        with contextlib.suppress(OSError):
            handle.close()
        raise
    handle.close()


def _sample(insertions: Insertions, count: int, seed: int) -> Insertions:
    """``count`` of the insertions drawn uniformly without replacement."""
    rng = np.random.default_rng(seed)
    chosen = np.sort(rng.choice(insertions.total, size=count, replace=False))
    sampled, at = {}, 0
    for chrom, pair in insertions.positions.items():
        parts = []
        for positions in pair:
            k = np.searchsorted(chosen, [at, at + len(positions)])
            parts.append(positions[chosen[k[0]:k[1]] - at])
            at += len(positions)
        sampled[chrom] = (parts[0], parts[1])
    return Insertions(sampled, insertions.off, insertions.left_out, insertions.blacklisted)


# --- counting site windows --------------------------------------------------

# The complement of each code (A=0 and T=1, C=2 and G=3; 4 stays 4).
_COMPLEMENT = np.array([1, 0, 3, 2, 4], dtype=np.uint8)


@functools.cache
def _lookup() -> np.ndarray:
    # nuc_to_num's code of every byte: a chunk's text then converts by one
    # table lookup into uint8, an eighth of the int64 codes' memory.
    return np.asarray(nuc_to_num("".join(map(chr, range(256)))), dtype=np.uint8)


def _codes(text: str) -> np.ndarray:
    """The codes ``nuc_to_num`` gives, as uint8."""
    try:
        raw = np.frombuffer(text.encode("latin-1"), dtype=np.uint8)
    except UnicodeEncodeError:
        return np.asarray(nuc_to_num(text), dtype=np.uint8)
    return _lookup()[raw]


class _PositionCounter:
    """Mononucleotide counts of windows (rows of codes 0..3)."""

    def __init__(self, length: int):
        self.length = length
        self.table = np.zeros(4 * length, dtype=np.int64)
        self._offsets = np.arange(length, dtype=np.int64) * 4

    def add(self, windows: np.ndarray) -> None:
        self.table += np.bincount((windows + self._offsets).ravel(),
                                  minlength=4 * self.length)

    def into(self, model, background: bool = False) -> None:
        counts = self.table.reshape(self.length, 4).T.astype(np.float64)
        (model.bg_counts if background else model.counts)[:4, :] += counts


class _PairCounter:
    """Dinucleotide counts of windows (rows of codes 0..3): table
    ``[a, b, m, n]`` counts the windows with code ``a`` at ``m`` and ``b``
    at ``n``, every ordered pair of positions (the diagonal included), as
    ``add_sequence`` counts them.

    A window's positions are cut into blocks of ``_BLOCK``; each block's
    codes make one number, and every pair of blocks one histogram over the
    windows.  That costs a pass per pair of blocks instead of one per pair
    of positions; the pair counts are sums over those histograms, exact in
    integers."""

    def __init__(self, length: int):
        self.length = length
        self.blocks = [(k, min(k + _BLOCK, length)) for k in range(0, length, _BLOCK)]
        self.histograms: dict[tuple[int, int], np.ndarray] = {}

    @staticmethod
    def _keys(windows: np.ndarray, first: int, last: int) -> np.ndarray:
        keys = np.zeros(len(windows), dtype=np.int64)
        for m in range(first, last):
            keys = keys * 4 + windows[:, m]
        return keys

    def add(self, windows: np.ndarray) -> None:
        keys = [self._keys(windows, first, last) for first, last in self.blocks]
        for i, (first_i, last_i) in enumerate(self.blocks):
            for j in range(i, len(self.blocks)):
                if i == j:
                    joint, size = keys[i], 4 ** (last_i - first_i)
                else:
                    width = 4 ** (self.blocks[j][1] - self.blocks[j][0])
                    joint = keys[i] * width + keys[j]
                    size = 4 ** (last_i - first_i) * width
                counts = np.bincount(joint, minlength=size)
                held = self.histograms.get((i, j))
                self.histograms[(i, j)] = counts if held is None else held + counts

    def into(self, model, background: bool = False) -> None:
        table = np.zeros((4, 4, self.length, self.length), dtype=np.int64)
        for (i, j), histogram in self.histograms.items():
            in_i = range(*self.blocks[i])
            if i == j:
                codes = histogram.reshape([4] * len(in_i))
                for x, m in enumerate(in_i):
                    for y, n in enumerate(in_i):
                        table[:, :, m, n] += _marginal(codes, x, y)
                continue
            in_j = range(*self.blocks[j])
            # One axis per position: block i's, then block j's.
            codes = histogram.reshape([4] * (len(in_i) + len(in_j)))
            for x, m in enumerate(in_i):
                for y, n in enumerate(in_j, start=len(in_i)):
                    pair = _marginal(codes, x, y)
                    table[:, :, m, n] += pair
                    table[:, :, n, m] += pair.T
        (model.bg_counts if background else model.counts)[:4, :4, :, :] += \
            table.astype(np.float64)


def _marginal(codes: np.ndarray, x: int, y: int) -> np.ndarray:
    """[a, b]: the windows of the histogram ``codes`` (one axis per
    position) with code a on axis x and b on axis y."""
    others = tuple(k for k in range(codes.ndim) if k not in (x, y))
    if x == y:
        return np.diag(codes.sum(axis=others))
    pair = codes.sum(axis=others)
    return pair if x < y else pair.T


def _count_windows(model, model_type: str, fasta, lengths: dict[str, int],
                   insertions: Insertions, length: int, background: bool = False
                   ) -> tuple[int, int, int]:
    """Count the window of every insertion into ``model`` as
    ``add_sequence`` (``add_background`` with ``background``) once per
    site would; (counted, off their sequence, holding a base other than A,
    C, G, T) as ``train_model`` tells them."""
    centre = length // 2
    counter = _PositionCounter(length) if model_type == "PWM" else _PairCounter(length)
    counted = off = with_n = 0
    for chrom, (plus, minus) in insertions.positions.items():
        chrom_length = lengths[chrom]
        # Every window by its first base; a - window is read backwards.
        firsts = [plus - centre, minus - (length - 1 - centre)]
        inside = [(f >= 0) & (f + length <= chrom_length) for f in firsts]
        off += sum(len(f) - int(np.count_nonzero(k)) for f, k in zip(firsts, inside))
        firsts = [np.sort(f[k]) for f, k in zip(firsts, inside)]
        for span in range(0, chrom_length, _COUNT_SPAN):
            ranges = [np.searchsorted(f, [span, span + _COUNT_SPAN]) for f in firsts]
            if all(a == b for a, b in ranges):
                continue
            end = min(span + _COUNT_SPAN + length - 1, chrom_length)
            codes = _codes(fasta.fetch(chrom, span, end))
            if len(codes) != end - span:
                raise ValueError(f"FASTA file {fasta.path!r}: {chrom} gave {len(codes)} "
                                 f"bases for {end - span}")
            unknown = np.concatenate(([0], np.cumsum(codes > 3, dtype=np.int64)))
            # The windows of a strand as rows of a view: a - window is a
            # forward window of the span's reverse complement.
            views = (sliding_window_view(codes, length),
                     sliding_window_view(_COMPLEMENT[codes[::-1]], length))
            for strand, (f, (a, b)) in enumerate(zip(firsts, ranges)):
                local = f[a:b] - span
                counted += len(local)
                clean = unknown[local + length] == unknown[local]
                with_n += len(local) - int(np.count_nonzero(clean))
                local = local[clean]
                if strand == 1:
                    local = len(codes) - length - local
                for at in range(0, len(local), _COUNT_BATCH):
                    counter.add(views[strand][local[at:at + _COUNT_BATCH]])
    clean_total = counted - with_n
    if clean_total:
        counter.into(model, background)
        # add_sequence grows the total by 1.0 per window it counts.
        if background:
            model.no_bg = model.no_bg + float(clean_total)
        else:
            model.no_bias = model.no_bias + float(clean_total)
    return counted, off, with_n


# --- training ---------------------------------------------------------------

def _away_from(insertions: Insertions, blacklist: Blacklist | None, length: int) -> Insertions:
    """The insertions whose windows (of ``length``) do not overlap the
    blacklist; ``blacklisted`` counts the others too."""
    if blacklist is None:
        return insertions
    centre = length // 2
    kept, dropped = {}, 0
    for chrom, (plus, minus) in insertions.positions.items():
        pair = []
        for positions, first in ((plus, plus - centre), (minus, minus - (length - 1 - centre))):
            overlapping = blacklist.overlaps(chrom, first, first + length)
            dropped += int(np.count_nonzero(overlapping))
            pair.append(positions[~overlapping])
        if len(pair[0]) or len(pair[1]):
            kept[chrom] = (pair[0], pair[1])
    return Insertions(kept, insertions.off, insertions.left_out,
                      insertions.blacklisted + dropped)


# Insertions held out of training by default (train --bam), and the half
# width of the neighbourhood in which the model places them: the
# correction's default window.
HELD_OUT = 5_000
# Each held-out insertion is scored apart (about 0.2 ms): at most this many.
HELD_OUT_LIMIT = 100_000
PLACEMENT_HALF = 50
# train --bam's background by default: insertions moved by up to this many
# bases, the half width of the correction's default window.
DEFAULT_NEAR = 50


def _hold_out(insertions: Insertions, count: int, seed: int
              ) -> tuple[Insertions, list[tuple[str, int, int]]]:
    """The insertions without ``count`` of them drawn uniformly (at most a
    tenth of them, and HELD_OUT_LIMIT), and those drawn as (chrom, strand:
    0 for +, position)."""
    count = min(count, insertions.total // 10, HELD_OUT_LIMIT)
    rng = np.random.default_rng([seed, 2])
    chosen = np.sort(rng.choice(insertions.total, size=count, replace=False))
    kept, held, at = {}, [], 0
    for chrom, pair in insertions.positions.items():
        parts = []
        for strand, positions in enumerate(pair):
            k = np.searchsorted(chosen, [at, at + len(positions)])
            picked = chosen[k[0]:k[1]] - at
            held.extend((chrom, strand, position) for position in positions[picked].tolist())
            keep = np.ones(len(positions), bool)
            keep[picked] = False
            parts.append(positions[keep])
            at += len(positions)
        kept[chrom] = (parts[0], parts[1])
    return dataclasses.replace(insertions, positions=kept), held


def placement_gain(model, fasta, held, half: int = PLACEMENT_HALF) -> tuple[float, int]:
    """How well a prepared ``model`` places insertions: the mean over
    ``held`` (chrom, strand, position) of ``log2(w(p) / mean(w(q)))``, ``q``
    the positions within ``half`` of ``p`` that have a weight on the
    insertion's strand: the bits by which the model's share of a local
    count (the correction's) gives the insertion's own position more
    probability than an even share would.  0 for no bias, higher is better,
    comparable between models of any type and length.  Returns (bits,
    insertions placed); an insertion whose window holds N is left out."""
    from corlap import tracks

    total, used = 0.0, 0
    for chrom, strand, position in held:
        lo, hi = max(position - half, 0), min(position + half + 1, fasta.get_length(chrom))
        name = tracks.STRANDS[strand]
        scores = tracks.interval_scores(model, fasta, chrom, lo, hi, (name,))[name]
        present = scores[~np.isnan(scores)]
        if np.isnan(scores[position - lo]):
            continue
        total += scores[position - lo] - np.log2(np.mean(np.exp2(present)))
        used += 1
    return (total / used if used else float("nan")), used


def _near(insertions: Insertions, low: int, high: int, seed: int) -> Insertions:
    """Each insertion moved by an offset drawn uniformly from low..high
    bases either way, on its own strand: windows that share the
    insertions' accessibility and composition, as the correction's local
    counts do.  An offset of at least the window's length keeps the
    insertion's own bases, which the enzyme chose, out of its background
    window."""
    rng = np.random.default_rng([seed, 1])
    moved = {}
    for chrom, pair in insertions.positions.items():
        parts = []
        for positions in pair:
            offsets = rng.integers(low, high + 1, len(positions))
            parts.append(positions + np.where(rng.random(len(positions)) < 0.5, -offsets,
                                              offsets))
        moved[chrom] = (parts[0], parts[1])
    return Insertions(moved)


@dataclasses.dataclass
class ReadsTrainingSummary(TrainingSummary):
    """What ``train_from_reads`` counted: the training summary of the site
    windows, plus the insertions they came from."""
    insertions: int = 0           # insertions on their sequence
    insertions_off: int = 0       # insertions that fell off their sequence
    sampled: int | None = None    # insertions kept by max_sites (None: all)
    reads_left_out: int = 0       # reads the filters left out
    # Insertions inside the blacklist, or whose window overlaps it.
    insertions_blacklisted: int = 0
    held_out: int = 0             # insertions kept out of training
    placed: int = 0               # of those, placed by the model (no N in reach)
    placement: float = float("nan")   # bits per insertion placed (placement_gain)

    def line(self) -> str:
        parts = [f"{self.insertions} insertions read",
                 f"{self.reads_left_out} reads left out by the filters"]
        if self.insertions_off:
            parts.append(f"{self.insertions_off} skipped (off their sequence)")
        if self.insertions_blacklisted:
            parts.append(f"{self.insertions_blacklisted} left out by the blacklist (inside "
                         f"it, or their window overlaps it)")
        if self.sampled is not None:
            parts.append(f"{self.sampled} sampled")
        held = ""
        if self.held_out:
            held = (f"; {self.held_out} insertions held out: placed {self.placement:.4f} bits "
                    f"per insertion better than by no bias, within {PLACEMENT_HALF} bases "
                    f"({self.placed} placed)")
        return "; ".join(parts) + "; " + super().line() + held


def train_from_reads(fasta, bam, model_type: str, length: int, *,
                     max_sites: int | None = None, seed: int = 0,
                     background: int = DEFAULT_BACKGROUND, background_sites=None,
                     shift=DEFAULT_SHIFT, min_mapq: int = DEFAULT_MIN_MAPQ,
                     exclude: Iterable[str] = (), require_sites: bool = False,
                     filters: ReadFilters = NO_FILTERS, near: int | None = None,
                     held_out: int = 0):
    """A prepared model trained on the insertions of the reads file
    ``bam``, with a ReadsTrainingSummary; as ``train_model`` with each
    insertion as a site of its strand.

    ``max_sites`` keeps that many insertions drawn uniformly (from NumPy's
    default generator seeded with ``seed``); the background and
    ``require_sites`` are ``train_model``'s; ``filters`` choose the reads
    and, with a blacklist, leave out the insertions whose window overlaps
    it, and background windows that do.  With ``near``, the background is
    instead one window per insertion counted, moved by ``min(length,
    near)`` to ``near`` bases either way on its strand (from ``seed``), and
    ``background`` and ``background_sites`` are not used.  ``held_out``
    insertions (at most a tenth, and 100,000) are drawn first and kept out
    of training; the summary says how well the model places them
    (``placement_gain``).  The counts equal ``add_sequence`` called once
    per site, bit for bit: they are integers summed exactly, in any order.
    """
    if model_type not in ("PWM", "DWM"):
        raise ValueError(f"unknown model type {model_type!r}: use PWM or DWM")
    if length < 1:
        raise ValueError(f"window length must be at least 1, got {length}")
    if max_sites is not None and max_sites < 0:
        raise ValueError(f"max_sites must not be negative, got {max_sites}")
    check_length(model_type, length)
    if near is not None and not (isinstance(near, int) and near >= 1):
        raise ValueError(f"near must be a positive integer, got {near!r}")
    fasta_path = os.fspath(fasta)
    insertions = read_insertions(bam, fasta_path, shift=shift, min_mapq=min_mapq,
                                 exclude=exclude, filters=filters)
    away = _away_from(insertions, filters.blacklist, length)
    summary = ReadsTrainingSummary(insertions=away.total,
                                   insertions_off=insertions.off,
                                   reads_left_out=insertions.left_out,
                                   insertions_blacklisted=away.blacklisted)
    insertions = away
    if require_sites and insertions.total == 0:
        raise NoUsableSites(summary.unusable())
    held: list[tuple[str, int, int]] = []
    if held_out:
        insertions, held = _hold_out(insertions, held_out, seed)
        summary.held_out = len(held)
    if max_sites is not None and max_sites < insertions.total:
        insertions = _sample(insertions, max_sites, seed)
        summary.sampled = max_sites
    # The background, drawn or given, counted as train_model counts it;
    # the model is prepared again once the sites are in.
    model, background_summary = train_model(
        fasta_path, [], model_type, length,
        background=0 if near is not None else background,
        background_sites=None if near is not None else background_sites, seed=seed,
        exclude=exclude, blacklist=filters.blacklist)
    for field in ("background", "background_off", "background_with_n", "excluded",
                  "blacklisted"):
        setattr(summary, field, getattr(background_summary, field))
    with open_fasta(fasta_path) as genome:
        lengths = dict(zip(genome.references, genome.lengths))
        summary.sites, summary.sites_off, summary.sites_with_n = _count_windows(
            model, model_type, genome, lengths, insertions, length)
        if near is not None:
            # Background windows that overlap the blacklist are left out,
            # as drawn ones are.
            moved = _away_from(_near(insertions, min(length, near), near, seed),
                               filters.blacklist, length)
            summary.blacklisted += moved.blacklisted
            summary.background, summary.background_off, summary.background_with_n = \
                _count_windows(model, model_type, genome, lengths, moved, length, True)
    if require_sites:
        reason = summary.unusable(background_wanted=background_sites is not None
                                  or background > 0 or near is not None)
        if reason is not None:
            raise NoUsableSites(reason)
    model.prepare_mat()
    if held:
        with open_fasta(fasta_path) as genome:
            summary.placement, summary.placed = placement_gain(model, genome, held)
    return model, summary


# Public names of the reading steps the correction's tasks (another module)
# take on their own.
def open_for_regions(path: str, fasta: str | None, shown: str | None = None):
    """A reader of ``path`` by region for a task (see ``open_reads``, which
    checks the file first); errors name ``shown`` (the path as the user
    gave it), else ``path``."""
    return _open_for_regions(path, fasta, shown)


def check_shift(shift) -> tuple[int, int]:
    """``shift`` as (plus, minus) integers; ValueError otherwise."""
    return _shift(shift)
