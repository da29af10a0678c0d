"""BED files of sites and regions, checked line by line against a genome.

The first three columns and the strand (column 6) are read: 0-based,
half-open ``chrom start end``; a strand of ``.`` or a missing sixth column
means ``+``.  Sites may also take column 10, a narrowPeak summit.  Blank
lines and ``#``, ``track`` and ``browser`` lines are skipped.  ``-`` is
standard input; a file compressed with gzip or bgzip is read as text,
whatever its name.  Every error names the file and the line.
"""

from __future__ import annotations

import collections
import concurrent.futures
import dataclasses
import functools
import gzip
import io
import os
import struct
import zlib
from collections.abc import Iterator, Mapping

import numpy as np

try:
    import deflate
except ImportError:         # a broken install: BGZF output says so, the rest runs
    deflate = None

# Members are deflated by libdeflate alone: zlib (and zlib-ng, which some
# systems put in its place) makes other bytes of the same text.
DEFLATE_MISSING = ("BGZF output (.bedgraph.gz, .bg.gz) needs the deflate package "
                   "(libdeflate): pip install 'deflate>=0.7'")

__all__ = ["ANCHORS", "STDIN", "DEFLATE_MISSING", "BedError", "BgzfWriter", "Blacklist", "Site",
           "bed_name", "open_bed", "read_bed", "read_sites", "site_position"]

STDIN = "-"
# Which base of a BED interval is its site.
ANCHORS = ("start", "center", "summit")
_NAMES_SHOWN = 5
_GZIP_MAGIC = b"\x1f\x8b"
_ANCHOR_CHOICES = ("--anchor start (the BED start), center (the interval's centre on its "
                   "strand) or summit (start + column 10, as narrowPeak has it)")


class BedError(ValueError):
    """A BED line that is malformed or does not fit the genome."""


@dataclasses.dataclass(frozen=True, slots=True)
class Site:
    """One BED line: ``chrom``, ``start``, ``end`` (0-based, half-open),
    ``strand`` ("+" or "-") and the line number it came from."""
    chrom: str
    start: int
    end: int
    strand: str = "+"
    line: int = 0


def bed_name(path) -> str:
    """``path`` as messages name it."""
    path = os.fspath(path)
    return "standard input" if path == STDIN else path


class _Prefixed(io.RawIOBase):
    """The bytes read to tell the compression, then the rest of the stream
    (standard input cannot be rewound).  Closing it closes the stream."""

    def __init__(self, head: bytes, stream):
        super().__init__()
        self._head, self._stream = head, stream

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if self._head:
            size = min(len(buffer), len(self._head))
            buffer[:size] = self._head[:size]
            self._head = self._head[size:]
            return size
        return self._stream.readinto1(buffer)

    def close(self) -> None:
        try:
            super().close()
        finally:
            self._stream.close()


class _Gzip(gzip.GzipFile):
    """A gzip stream that closes the stream it reads from."""

    def close(self) -> None:
        under = self.fileobj
        try:
            super().close()
        finally:
            if under is not None:
                under.close()


def open_bed(path) -> io.BufferedIOBase:
    """The BED file at ``path`` (``-``: standard input) as a binary stream
    of its text, decompressed when its first bytes are gzip's (bgzip is
    gzip too).  Closing it leaves standard input open.  A missing or
    unreadable file raises the OSError of ``open``."""
    path = os.fspath(path)
    if path == STDIN:
        source = open(0, "rb", closefd=False)
    else:
        source = open(path, "rb")
    try:
        head = source.read(2)
    except BaseException:
        source.close()
        raise
    stream = io.BufferedReader(_Prefixed(head, source))
    return _Gzip(fileobj=stream, mode="rb") if head == _GZIP_MAGIC else stream


class BgzfWriter:
    """Writes BGZF, the blocked gzip of bgzip that tabix indexes, to a
    binary stream: gzip members of at most 65,280 bytes of text each, the
    size of the member in its header, and the empty end-of-file member
    last (``finish``).  Any gzip reader reads it as one text.

    Members are deflated by libdeflate (the ``deflate`` package; without
    it ImportError) at ``level`` (0 to 12): level 1 by default, which on
    score tracks is several times faster than zlib's level 6 and still
    makes smaller files, the same bytes wherever it runs.  ``threads`` threads beside the caller deflate a
    run of members at a time, written in order; members are cut every
    65,280 bytes of the whole text, so the bytes do not depend on how it
    was handed over.  ``close`` without ``finish`` drops what is not
    written yet."""

    _BLOCK = 0xff00
    _RUN = 16 * _BLOCK          # text per task of the threads
    _END = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")

    def __init__(self, stream, level: int = 1, threads: int | None = None):
        if deflate is None:
            raise ImportError(DEFLATE_MISSING)
        self._stream, self._level = stream, level
        self._threads = threads or min(4, os.cpu_count() or 1)
        self._pool: concurrent.futures.ThreadPoolExecutor | None = None
        self._runs: collections.deque = collections.deque()
        self._pending = bytearray()

    def write(self, data) -> int:
        view = memoryview(data if isinstance(data, bytes) else bytes(data)).cast("B")
        if self._pending:
            room = self._RUN - len(self._pending)
            self._pending += view[:room]
            view = view[room:]
            if len(self._pending) < self._RUN:
                return len(data)
            self._submit(bytes(self._pending))
            self._pending.clear()
        whole = len(view) - len(view) % self._RUN
        for at in range(0, whole, self._RUN):
            self._submit(view[at:at + self._RUN])
        self._pending += view[whole:]
        return len(data)

    def _submit(self, text) -> None:
        if self._pool is None:
            self._pool = concurrent.futures.ThreadPoolExecutor(
                self._threads, thread_name_prefix="bgzf")
        while len(self._runs) >= 2 * self._threads:
            self._stream.write(self._runs.popleft().result())
        self._runs.append(self._pool.submit(_bgzf_members, text, self._BLOCK, self._level))

    def finish(self) -> None:
        """Write what is pending and the end-of-file member, and flush."""
        if self._pending:
            self._submit(bytes(self._pending))
            self._pending.clear()
        while self._runs:
            self._stream.write(self._runs.popleft().result())
        self._stream.write(self._END)
        self._stream.flush()

    def flush(self) -> None:
        self._stream.flush()

    def close(self) -> None:
        if self._pool is not None:
            self._pool.shutdown(cancel_futures=True)
            self._pool = None
        self._runs.clear()
        self._stream.close()


def _bgzf_members(text, block: int, level: int) -> bytes:
    """The BGZF members of ``text``, cut every ``block`` bytes."""
    members = []
    for at in range(0, len(text), block):
        data = text[at:at + block]
        body, check = deflate.deflate_compress(data, level), deflate.crc32(data)
        # ID1 ID2 CM FLG MTIME XFL OS XLEN, then the subfield "BC" holding
        # the member's size less one.
        members += (struct.pack("<4BI2BH2BHH", 31, 139, 8, 4, 0, 0, 255, 6, 66, 67, 2,
                                len(body) + 25), body,
                    struct.pack("<II", check, len(data)))
    return b"".join(members)


def _records(path, opened=None) -> Iterator[tuple[int, list[str]]]:
    """(line number, columns) of every line of the BED file that is not
    blank or a header.  Decompression errors are BedError; read errors
    name the file."""
    name = bed_name(path)
    stream = opened if opened is not None else open_bed(path)
    number = 0
    try:
        with stream:
            try:
                for number, raw in enumerate(stream, start=1):
                    try:
                        line = raw.decode("utf-8").rstrip("\r\n")
                    except UnicodeDecodeError:
                        raise BedError(f"{name}, line {number}: not a text line") from None
                    if not line.strip() or line.startswith(("#", "track", "browser")):
                        continue
                    yield number, line.split("\t") if "\t" in line else line.split()
            except (gzip.BadGzipFile, EOFError, zlib.error) as error:
                where = f", after line {number}" if number else ""
                raise BedError(f"{name}{where}: not a valid gzip file ({error})") from None
    except OSError as error:
        if error.filename is None and error.errno is not None:
            raise OSError(error.errno, error.strerror or os.strerror(error.errno),
                          name) from None
        raise


def read_bed(path, lengths: Mapping[str, int]) -> list[Site]:
    """The intervals of the BED file at ``path`` (``-``: standard input),
    in file order.

    ``lengths`` maps every sequence name of the genome to its length.  A
    line with fewer than three columns, coordinates that are not integers,
    a negative start, an end before its start, an unknown sequence name, a
    start at or past the end of its sequence, or a strand other than +, -
    or . raises BedError naming the file and the line.  A missing or
    unreadable file raises the OSError of ``open``.
    """
    name = bed_name(path)
    return [_parse(name, number, fields, lengths) for number, fields in _records(path)]


@dataclasses.dataclass(frozen=True)
class Blacklist:
    """Regions to leave out (``--blacklist``): ``intervals`` (chrom, start,
    end), sorted and merged where they overlap or touch."""
    intervals: tuple[tuple[str, int, int], ...] = ()

    @classmethod
    def read(cls, path, lengths: Mapping[str, int]) -> "Blacklist":
        """The intervals of the BED file at ``path`` on the sequences of
        ``lengths``, clipped to them.  Blacklists are made for a whole
        assembly: lines on other sequences are left out, unless none is on
        these (BedError: the file is of another assembly or naming)."""
        name = bed_name(path)
        by_chrom: dict[str, list[tuple[int, int]]] = {}
        others = []
        for number, fields in _records(path):
            site = _parse(name, number, fields, _AnyLength(lengths))
            if site.chrom not in lengths:
                others.append(site.chrom)
            elif site.start < lengths[site.chrom] and site.end > site.start:
                by_chrom.setdefault(site.chrom, []).append(
                    (site.start, min(site.end, lengths[site.chrom])))
        if others and not by_chrom:
            shown = ", ".join(repr(chrom) for chrom in list(dict.fromkeys(others))[:_NAMES_SHOWN])
            raise BedError(f"{name}: none of its sequences ({shown}) is in the FASTA file")
        intervals = []
        for chrom in lengths:
            merged: list[list[int]] = []
            for start, end in sorted(by_chrom.get(chrom, ())):
                if merged and start <= merged[-1][1]:
                    merged[-1][1] = max(merged[-1][1], end)
                else:
                    merged.append([start, end])
            intervals += [(chrom, start, end) for start, end in merged]
        return cls(tuple(intervals))

    @functools.cached_property
    def _by_chrom(self) -> dict[str, tuple]:
        found: dict[str, list] = {}
        for chrom, start, end in self.intervals:
            found.setdefault(chrom, []).append((start, end))
        return {chrom: tuple(np.array(column, dtype=np.int64) for column in zip(*spans))
                for chrom, spans in found.items()}

    def overlaps(self, chrom: str, starts, ends):
        """Whether each interval ``starts[k]..ends[k]-1`` of ``chrom``
        (arrays) overlaps a blacklisted one: a bool array."""
        starts = np.asarray(starts, dtype=np.int64)
        if chrom not in self._by_chrom:
            return np.zeros(len(starts), dtype=bool)
        firsts, lasts = self._by_chrom[chrom]
        # The first blacklisted interval ending after the start: it overlaps
        # when it begins before the end.
        k = np.searchsorted(lasts, starts, side="right")
        inside = k < len(firsts)
        found = np.zeros(len(starts), dtype=bool)
        found[inside] = firsts[k[inside]] < np.asarray(ends, dtype=np.int64)[inside]
        return found


class _AnyLength(dict):
    """Sequence lengths in which every name is known (those of other
    sequences without a limit)."""

    def __init__(self, lengths: Mapping[str, int]):
        super().__init__(lengths)

    def __contains__(self, name) -> bool:
        return True

    def __missing__(self, name) -> int:
        return 2 ** 62


def read_sites(path, lengths: Mapping[str, int], anchor: str | None = None
               ) -> Iterator[Site]:
    """The sites of the BED file at ``path`` (``-``: standard input), in
    file order, each a 1-base Site at the interval's anchor (see
    ``site_position``) with the interval's strand and line.

    The file is opened now (OSError as for ``read_bed``) and read as the
    sites are taken, so that a file of millions of sites is never held.
    Without ``anchor`` every line must be 1 base wide; the first that is
    not raises BedError naming it and the choices.
    """
    if anchor is not None and anchor not in ANCHORS:
        raise ValueError(f"anchor must be one of {', '.join(ANCHORS)}, got {anchor!r}")
    name = bed_name(path)
    stream = open_bed(path)

    def sites() -> Iterator[Site]:
        for number, fields in _records(path, stream):
            site = _parse(name, number, fields, lengths)
            position = site_position(site, anchor, fields, name)
            yield Site(site.chrom, position, position + 1, site.strand, number)
    return sites()


def site_position(site: Site, anchor: str | None, fields: list[str] | None = None,
                  name: str = "BED") -> int:
    """The base of ``site`` (a whole BED interval) that is its site.

    - ``start``: the BED start.
    - ``center``: the interval's centre in its own orientation: for a
      width ``w``, ``start + w // 2`` on ``+`` and ``end - 1 - w // 2`` on
      ``-``, so that an interval of exactly the window length is exactly
      the window, read on its strand.
    - ``summit``: ``start`` plus column 10 of ``fields`` (narrowPeak's
      summit offset); a missing summit (-1) is an error.
    - None: the start of an interval 1 base wide; a wider one is an error.
    """
    width = site.end - site.start

    def refuse(what: str) -> BedError:
        return BedError(f"{name}, line {site.line}: {what}")

    if anchor is None:
        if width != 1:
            raise refuse(f"the interval is {width} bases wide; say which base is the site "
                         f"with {_ANCHOR_CHOICES}")
        return site.start
    if anchor == "start":
        return site.start
    if anchor == "center":
        if width == 0:
            raise refuse("an interval of 0 bases has no centre")
        return site.start + width // 2 if site.strand == "+" else site.end - 1 - width // 2
    if anchor != "summit":
        raise ValueError(f"anchor must be one of {', '.join(ANCHORS)}, got {anchor!r}")
    if fields is None or len(fields) < 10:
        raise refuse(f"no summit: column 10 is missing (found {len(fields or ())} columns)")
    try:
        offset = int(fields[9])
    except ValueError:
        raise refuse(f"the summit (column 10) must be an integer, found {fields[9]!r}") \
            from None
    if offset == -1:
        raise refuse("no summit: column 10 is -1")
    if not 0 <= offset < width:
        raise refuse(f"the summit offset {offset} lies outside the interval of "
                     f"{width} bases")
    return site.start + offset


def _parse(path: str, number: int, fields: list[str], lengths: Mapping[str, int]) -> Site:
    def refuse(what: str) -> BedError:
        return BedError(f"{path}, line {number}: {what}")

    if len(fields) < 3:
        raise refuse(f"expected at least 3 columns (chrom, start, end), found {len(fields)}")
    chrom = fields[0]
    try:
        start, end = int(fields[1]), int(fields[2])
    except ValueError:
        raise refuse(f"start and end must be integers, found {fields[1]!r} and "
                     f"{fields[2]!r}") from None
    if start < 0:
        raise refuse(f"start {start} is negative")
    if end < start:
        raise refuse(f"end {end} is before start {start}")
    if chrom not in lengths:
        names = list(lengths)
        shown = ", ".join(names[:_NAMES_SHOWN])
        more = f" and {len(names) - _NAMES_SHOWN} more" if len(names) > _NAMES_SHOWN else ""
        raise refuse(f"unknown sequence {chrom!r} (the FASTA holds {shown}{more})")
    if start >= lengths[chrom]:
        raise refuse(f"start {start} is outside {chrom}, which has {lengths[chrom]} bases")
    strand = fields[5].strip() if len(fields) >= 6 else "."
    if strand not in ("+", "-", "."):
        raise refuse(f"strand must be +, - or ., found {strand!r}")
    return Site(chrom, start, end, "-" if strand == "-" else "+", number)
