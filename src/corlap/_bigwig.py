"""bigWig files written in steps, so that the costly ones run in the
workers and the calling process only indexes.

1. ``encode`` (in a worker) turns the values of one interval into a
   ``Piece``: the data blocks (fixed-step sections of at most
   ``items_per_slot`` values, as float32), the blocks of every zoom level
   (deflated when a level is given), and the interval's summary.  Missing
   values (NaN) are simply not stored.
2. ``place`` (in a worker of the calling process's machine, or else in the
   calling process) appends the blocks to the output file and to one file
   per zoom level beside it, under a lock, and keeps only their offsets.
3. ``BigWigWriter`` (in the calling process) takes the pieces in genome
   order, holding one small index entry per block, and at ``close``
   writes the indexes, copies the zoom levels in and writes the header.

File layout (little-endian): header, zoom headers, total summary,
chromosome B+ tree, data (block count, then blocks, in the order they were
appended; the index alone follows the genome), data R-tree, and per zoom
level its record count, blocks and R-tree, then the magic number again at
the very end.

Zoom levels.  Level ``k`` summarises the values in bins of
``ZOOM_REDUCTIONS[k]`` bases (multiples of the reduction, so each bin of a
level is four bins of the level below).  A record covers the scored
positions of one bin within one interval: its start and end are the first
and one past the last scored position, and it holds their count, minimum,
maximum, sum and sum of squares (of the stored float32 values, summed in
float64, stored as float32).  Where a chunk edge cuts a bin, the bin has one
record on each side; the records never overlap.  Levels that would not be
smaller than the one below are left out.
"""

from __future__ import annotations

import dataclasses
import errno
import fcntl
import functools
import os
import struct
import zlib
from collections.abc import Sequence

import numpy as np

__all__ = ["ITEMS_PER_SLOT", "INDEX_BLOCK_SIZE", "ZOOM_REDUCTIONS", "Blocks", "Piece",
           "encode", "place", "runs", "BigWigWriter"]

BIGWIG_MAGIC = 0x888FFC26
CHROM_TREE_MAGIC = 0x78CA8C91
INDEX_MAGIC = 0x2468ACE0
VERSION = 4
ITEMS_PER_SLOT = 1024       # values per data block, records per zoom block
INDEX_BLOCK_SIZE = 256      # children per node of both trees
ZOOM_REDUCTIONS = tuple(128 * 4 ** k for k in range(9))   # 128 bp to 8 Mbp
_FIXED_STEP = 3

_HEADER = struct.Struct("<IHHQQQHHQQIQ")
_ZOOM_HEADER = struct.Struct("<IIQQ")
_SUMMARY = struct.Struct("<Qdddd")
_TREE_HEADER = struct.Struct("<IIIIQQ")
_INDEX_HEADER = struct.Struct("<IIQIIIIQII")
_ZOOM_RECORD = np.dtype([("chrom", "<u4"), ("start", "<u4"), ("end", "<u4"), ("count", "<u4"),
                         ("min", "<f4"), ("max", "<f4"), ("sum", "<f4"), ("squares", "<f4")])
_LEAF_ITEM = np.dtype([("start_chrom", "<u4"), ("start", "<u4"), ("end_chrom", "<u4"),
                       ("end", "<u4"), ("offset", "<u8"), ("size", "<u8")])
_BRANCH_ITEM = np.dtype([("start_chrom", "<u4"), ("start", "<u4"), ("end_chrom", "<u4"),
                         ("end", "<u4"), ("child", "<u8")])
_NODE_HEAD = np.dtype([("leaf", "u1"), ("reserved", "u1"), ("count", "<u2")])


@dataclasses.dataclass(frozen=True)
class Blocks:
    """The blocks back to back, as they go into the file, in one or more
    buffers (bytes or contiguous arrays); per block its first position,
    one past its last position and its size in the file (int64, shape
    (n, 3)); the largest uncompressed block, in bytes; the number of values
    or records in all."""
    data: tuple
    bounds: np.ndarray
    largest: int
    items: int

    @property
    def size(self) -> int:
        """Bytes of the blocks as written."""
        return int(self.bounds[:, 2].sum())


@dataclasses.dataclass(frozen=True)
class Piece:
    """One interval's data blocks, zoom blocks per level, and summary
    (count, minimum, maximum, sum, sum of squares)."""
    chrom: int
    values: Blocks
    zooms: tuple[Blocks, ...]
    summary: tuple[int, float, float, float, float]
    # Where the blocks went when they were appended to the files already:
    # the data's offset in the bigWig file, then each zoom level's in its
    # file.  None while they travel in ``data``.
    placed: tuple[int, ...] | None = None


def place(piece: Piece, path: str, zoom_paths: Sequence[str], *,
          alone: bool = False) -> Piece:
    """Appends the piece's data blocks to the bigWig file ``path`` and each
    zoom level's to its file (a writer's ``path`` and ``zoom_paths``), and
    returns it with where they went in place of the bytes.  Any process of
    the machine may do this while others do the same; OSError when the
    files cannot be locked.  ``alone``: the writer itself, which goes on
    without the lock where the file system has no locks (no worker can
    have appended there then)."""
    parts = (piece.values, *piece.zooms)
    offsets = tuple(_append_blocks(target, blocks, alone)
                    for target, blocks in zip((path, *zoom_paths), parts))
    emptied = [dataclasses.replace(blocks, data=()) for blocks in parts]
    return dataclasses.replace(piece, values=emptied[0], zooms=tuple(emptied[1:]),
                               placed=offsets)


_NO_LOCKS = {errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EINVAL, errno.ENOSYS}


def _append_blocks(path: str, blocks: Blocks, alone: bool = False) -> int:
    """Appends the blocks at the end of the file ``path``, holding an
    exclusive lock on it meanwhile (so that appends never interleave, at any
    size), and returns the offset they start at."""
    if not blocks.size:
        return 0
    descriptor = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX)
        except OSError as error:
            if not (alone and error.errno in _NO_LOCKS):
                raise
        offset = os.lseek(descriptor, 0, os.SEEK_END)
        for buffer in blocks.data:
            view = memoryview(buffer.reshape(-1).view(np.uint8) if isinstance(buffer, np.ndarray)
                              else buffer)
            while view:
                view = view[os.write(descriptor, view):]
        return offset
    finally:
        os.close(descriptor)      # and with it the lock


def _copy_into(source: int, count: int, target) -> None:
    """Appends the first ``count`` bytes of the file ``source`` to the open
    file object ``target`` (positioned at its end)."""
    target.flush()
    destination, offset = target.fileno(), 0
    while offset < count:
        try:
            sent = os.sendfile(destination, source, offset, count - offset)
        except OSError as error:
            if error.errno not in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
                raise
            sent = os.write(destination, os.pread(source, min(count - offset, 1 << 22), offset))
        if sent == 0:
            raise OSError(errno.EIO, "zoom data cut short")
        offset += sent
    target.seek(0, os.SEEK_END)


def _pack(tables: list[np.ndarray], firsts, ends, items: int, level: int) -> Blocks:
    """Blocks from contiguous tables whose rows are the blocks' bytes (one
    block size per table); compressed one by one unless ``level`` is 0."""
    if not tables:
        return Blocks((), np.zeros((0, 3), dtype=np.int64), 0, 0)
    sizes = np.concatenate([np.full(len(table), table.nbytes // len(table)) for table in tables])
    if level:
        parts = [zlib.compress(row, level) for table in tables
                 for row in table.view(np.uint8).reshape(len(table), -1)]
        data, written = (b"".join(parts),), np.array([len(part) for part in parts])
    else:
        data, written = tuple(tables), sizes
    bounds = np.column_stack((firsts, ends, written)).astype(np.int64)
    return Blocks(data, bounds, int(sizes.max()), items)


def _edges(missing: np.ndarray) -> np.ndarray:
    """first, last + 1, first, last + 1, ... of the runs of False."""
    # Missing positions are few in most intervals: work from their list.
    gone = np.flatnonzero(missing)
    if not len(gone):
        return np.array([0, len(missing)] if len(missing) else [], dtype=np.intp)
    breaks = np.flatnonzero(np.diff(gone) != 1)
    # Runs of present positions lie between runs of missing ones.
    firsts = np.concatenate(([0], gone[breaks] + 1, [gone[-1] + 1]))
    ends = np.concatenate(([gone[0]], gone[breaks + 1], [len(missing)]))
    keep = firsts < ends
    return np.column_stack((firsts[keep], ends[keep])).ravel()


def runs(present: np.ndarray) -> list[tuple[int, int]]:
    """(first, last + 1) of each run of True."""
    edges = _edges(~present)
    return list(zip(edges[0::2].tolist(), edges[1::2].tolist()))


@functools.lru_cache(maxsize=8)
def _section_type(items: int) -> np.dtype:
    """A fixed-step section of ``items`` float32 values, header first."""
    return np.dtype([("chrom", "<u4"), ("start", "<u4"), ("end", "<u4"), ("step", "<u4"),
                     ("span", "<u4"), ("type", "u1"), ("reserved", "u1"), ("count", "<u2"),
                     ("values", "<f4", (items,))])


def _sections(chrom: int, start: int, values: np.ndarray, edges: np.ndarray,
              items_per_slot: int, level: int) -> Blocks:
    """The data blocks: each run of scored positions in sections of at most
    ``items_per_slot`` values (stored as float32)."""
    tables, firsts, ends = [], [], []
    for first, end in zip(edges[0::2].tolist(), edges[1::2].tolist()):
        for at, count in ((first, (end - first) // items_per_slot * items_per_slot),
                          (first + (end - first) // items_per_slot * items_per_slot,
                           (end - first) % items_per_slot)):
            if not count:
                continue
            slot = min(count, items_per_slot)
            table = np.zeros(count // slot, dtype=_section_type(slot))
            table["chrom"] = chrom
            table["start"] = start + at + slot * np.arange(len(table))
            table["end"] = table["start"] + slot
            table["step"] = table["span"] = 1
            table["type"] = _FIXED_STEP
            table["count"] = slot
            table["values"] = values[at:at + count].reshape(len(table), slot)
            tables.append(table)
            firsts.append(table["start"])
            ends.append(table["end"])
    if not tables:
        return _pack([], [], [], 0, level)
    return _pack(tables, np.concatenate(firsts), np.concatenate(ends),
                 int((edges[1::2] - edges[0::2]).sum()), level)


def _level_one(start: int, values: np.ndarray, edges: np.ndarray, reduction: int):
    """Records (as a dict of arrays) of the first zoom level: one per bin
    of ``reduction`` bases holding a scored position.  ``edges`` are the
    (first, last + 1) pairs of the runs of scored positions, flattened;
    ``values`` are float64."""
    # Cut the values at every bin boundary and every run edge: each piece
    # is then wholly scored or wholly missing, and lies in one bin.
    cuts = np.arange(-start % reduction, len(values), reduction)
    if len(edges) == 2 and edges[0] == 0 and edges[1] == len(values):
        if not len(cuts) or cuts[0]:
            cuts = np.concatenate(([0], cuts))
    else:
        cuts = np.concatenate((cuts, edges[edges < len(values)]))
        cuts.sort()
        cuts = cuts[np.concatenate(([True], np.diff(cuts) != 0))]
    ends = np.append(cuts[1:], len(values))
    keep = ~np.isnan(values[cuts])
    records = {
        "bin": (start + cuts[keep]) // reduction,
        "start": start + cuts[keep],
        "end": start + ends[keep],
        "count": (ends - cuts)[keep],
        "min": np.minimum.reduceat(values, cuts)[keep],
        "max": np.maximum.reduceat(values, cuts)[keep],
        "sum": np.add.reduceat(values, cuts)[keep],
        "squares": np.add.reduceat(np.square(values), cuts)[keep],
    }
    # Pieces of one bin (cut by missing values) make one record.
    return _fold(records, 1) if np.any(np.diff(records["bin"]) == 0) else records


def _fold(records: dict[str, np.ndarray], factor: int) -> dict[str, np.ndarray]:
    """The next zoom level: groups of ``factor`` neighbouring bins merged."""
    group = records["bin"] // factor
    firsts = np.concatenate(([0], np.flatnonzero(np.diff(group)) + 1))
    lasts = np.concatenate((firsts[1:], [len(group)])) - 1
    return {
        "bin": group[firsts],
        "start": records["start"][firsts],
        "end": records["end"][lasts],
        "count": np.add.reduceat(records["count"], firsts),
        "min": np.minimum.reduceat(records["min"], firsts),
        "max": np.maximum.reduceat(records["max"], firsts),
        "sum": np.add.reduceat(records["sum"], firsts),
        "squares": np.add.reduceat(records["squares"], firsts),
    }


def _zoom_blocks(chrom: int, records: dict[str, np.ndarray], items_per_slot: int,
                 level: int) -> Blocks:
    table = np.empty(len(records["bin"]), dtype=_ZOOM_RECORD)
    table["chrom"] = chrom
    for field in ("start", "end", "count", "min", "max", "sum", "squares"):
        table[field] = records[field]
    # Full blocks as rows of one table, the last one as a table of its own.
    full = len(table) // items_per_slot * items_per_slot
    tables = [table[:full].reshape(-1, items_per_slot), table[full:].reshape(1, -1)]
    firsts = np.arange(0, len(table), items_per_slot)
    lasts = np.minimum(firsts + items_per_slot, len(table))
    return _pack([part for part in tables if part.size], table["start"][firsts],
                 table["end"][lasts - 1], len(table), level)


def _as_stored(value) -> float:
    return float(np.float32(value))


def encode(chrom: int, start: int, values: np.ndarray, *,
           reductions: Sequence[int] = ZOOM_REDUCTIONS,
           items_per_slot: int = ITEMS_PER_SLOT, deflate_level: int = 0) -> Piece:
    """The blocks of positions ``start``, ``start + 1``, ... holding
    ``values`` (NaN: no value) on sequence number ``chrom``.  Each
    reduction must be a multiple of the one before it.  ``deflate_level``
    0 leaves the blocks uncompressed (then the whole file must be)."""
    values = np.asarray(values, dtype=np.float64)
    edges = _edges(np.isnan(values))
    data = _sections(chrom, start, values, edges, items_per_slot, deflate_level)
    if not data.items:
        empty = _pack([], [], [], 0, deflate_level)
        return Piece(chrom, data, tuple(empty for _ in reductions),
                     (0, np.inf, -np.inf, 0.0, 0.0))
    # Summaries are of the values as stored; minimum and maximum of the
    # float64 values round to those of the float32 ones.
    if not reductions:
        kept = values[~np.isnan(values)]
        return Piece(chrom, data, (), (len(kept), _as_stored(kept.min()), _as_stored(kept.max()),
                                       float(kept.sum()), float(np.square(kept).sum())))
    zooms = []
    records = _level_one(start, values, edges, reductions[0])
    summary = (int(records["count"].sum()), _as_stored(records["min"].min()),
               _as_stored(records["max"].max()), float(records["sum"].sum()),
               float(records["squares"].sum()))
    for k, reduction in enumerate(reductions):
        if k:
            records = _fold(records, reduction // reductions[k - 1])
        zooms.append(_zoom_blocks(chrom, records, items_per_slot, deflate_level))
    return Piece(chrom, data, tuple(zooms), summary)


# --- the file ----------------------------------------------------------------

def _nodes(items: np.ndarray, item_dtype, block_size: int, leaf: bool) -> np.ndarray:
    """Nodes of ``block_size`` slots (unused ones zero) holding ``items``."""
    count = max(1, -(-len(items) // block_size))
    nodes = np.zeros(count, dtype=[("head", _NODE_HEAD), ("items", item_dtype, (block_size,))])
    nodes["head"]["leaf"] = leaf
    slots = np.arange(len(items))
    nodes["items"][slots // block_size, slots % block_size] = items
    filled = np.minimum(block_size, len(items) - np.arange(count) * block_size)
    nodes["head"]["count"] = np.maximum(filled, 0)
    return nodes


def _r_tree(entries: np.ndarray, block_size: int, items_per_slot: int, start: int,
            end_of_data: int) -> bytes:
    """An R-tree over blocks (a leaf item per block, in order); ``start``
    is the file offset where it will be written."""
    leaves = _nodes(entries, _LEAF_ITEM, block_size, True)
    levels = [leaves]
    while len(levels[-1]) > 1:
        below = levels[-1]
        items = np.zeros(len(below), dtype=_BRANCH_ITEM)
        counts = below["head"]["count"].astype(np.int64)
        firsts, lasts = below["items"][:, 0], below["items"][np.arange(len(below)), counts - 1]
        for field in ("start_chrom", "start"):
            items[field] = firsts[field]
        for field in ("end_chrom", "end"):
            items[field] = lasts[field]
        levels.append(_nodes(items, _BRANCH_ITEM, block_size, False))
    _link(levels, start + _INDEX_HEADER.size)
    if len(entries):
        bounds = (int(entries["start_chrom"][0]), int(entries["start"][0]),
                  int(entries["end_chrom"][-1]), int(entries["end"][-1]))
    else:
        bounds = (0, 0, 0, 0)
    header = _INDEX_HEADER.pack(INDEX_MAGIC, block_size, len(entries), *bounds, end_of_data,
                                items_per_slot, 0)
    return header + b"".join(level.tobytes() for level in reversed(levels))


def _chrom_tree(chroms: Sequence[tuple[str, int]], block_size: int, start: int) -> bytes:
    """The B+ tree from sequence name to (number, length), to be written at
    file offset ``start``: keys sorted as bytes, numbers in the order
    given."""
    keys = [name.encode() for name, _ in chroms]
    key_size = max((len(key) for key in keys), default=1) or 1
    block_size = max(1, min(block_size, len(keys)))
    order = sorted(range(len(keys)), key=lambda k: keys[k].ljust(key_size, b"\0"))
    leaf = np.dtype([("key", f"S{key_size}"), ("id", "<u4"), ("size", "<u4")])
    branch = np.dtype([("key", f"S{key_size}"), ("child", "<u8")])
    items = np.zeros(len(keys), dtype=leaf)
    items["key"] = [keys[k] for k in order]
    items["id"] = order
    items["size"] = [chroms[k][1] for k in order]
    levels = [_nodes(items, leaf, block_size, True)]
    while len(levels[-1]) > 1:
        below = levels[-1]
        upper = np.zeros(len(below), dtype=branch)
        upper["key"] = below["items"][:, 0]["key"]
        levels.append(_nodes(upper, branch, block_size, False))
    _link(levels, start + _TREE_HEADER.size)
    header = _TREE_HEADER.pack(CHROM_TREE_MAGIC, block_size, key_size, 8, len(keys), 0)
    return header + b"".join(level.tobytes() for level in reversed(levels))


def _link(levels: list[np.ndarray], start: int) -> None:
    """Fill in the child offsets of a tree whose levels (leaves first) are
    written root first from file offset ``start``."""
    offsets, at = [], start
    for level in reversed(levels):
        offsets.append(at)
        at += level.nbytes
    offsets.reverse()
    for k in range(1, len(levels)):
        below = levels[k - 1]
        slots = np.arange(len(below))
        block_size = levels[k]["items"].shape[1]
        levels[k]["items"]["child"][slots // block_size, slots % block_size] = (
            offsets[k - 1] + below.dtype.itemsize * slots.astype(np.uint64))


class BigWigWriter:
    """Writes the bigWig file ``path`` (an existing empty file) from pieces
    handed over in genome order (sequence numbers are positions in
    ``chroms``; lengths must be >= 1).  The blocks of a piece may already
    have been appended by ``place``, by any process of this machine, to
    ``path`` and ``zoom_paths`` (files beside ``path`` where the zoom levels
    wait until the data is complete); the writer appends the others.  Only
    the order of the index follows the genome: blocks lie in the file in
    the order they were appended.  ``reductions`` are those the pieces
    were encoded with, and ``compressed`` whether with a deflate level
    above 0."""

    def __init__(self, path: str, chroms: Sequence[tuple[str, int]], *,
                 reductions: Sequence[int] = ZOOM_REDUCTIONS,
                 index_block_size: int = INDEX_BLOCK_SIZE,
                 items_per_slot: int = ITEMS_PER_SLOT, compressed: bool = False):
        self._compressed = compressed
        self._reductions = tuple(reductions)
        self._block_size = index_block_size
        self._items_per_slot = items_per_slot
        self.path = path
        self.zoom_paths = tuple(f"{path}.zoom{k}" for k in range(len(self._reductions)))
        self._created: list[str] = []
        # Opened without truncation: ext4 flushes a file truncated to zero
        # to disk when it is closed.
        self._file = open(path, "r+b", buffering=1 << 20)
        try:
            for zoom_path in self.zoom_paths:
                os.close(os.open(zoom_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
                self._created.append(zoom_path)
            self._summary_at = _HEADER.size + _ZOOM_HEADER.size * len(self._reductions)
            self._tree_at = self._summary_at + _SUMMARY.size
            self._file.write(b"\0" * self._tree_at
                             + _chrom_tree(chroms, index_block_size, self._tree_at))
            self._data_at = self._file.tell()
            self._file.write(b"\0" * 8)   # the number of blocks, written at close
            self._file.flush()             # before anyone appends
        except BaseException:
            self._close_files()
            raise
        self._entries: list[np.ndarray] = []
        levels = len(self._reductions)
        self._zoom_entries: list[list[np.ndarray]] = [[] for _ in range(levels)]
        self._zoom_sizes = [0] * levels
        self._zoom_records = [0] * levels
        self._largest = [0] * (1 + levels)
        self._summary = [0, np.inf, -np.inf, 0.0, 0.0]

    def add(self, piece: Piece) -> None:
        """Index one interval's blocks (after every earlier piece's),
        appending them first unless they are already in the files."""
        if piece.placed is None:
            piece = place(piece, self.path, self.zoom_paths, alone=True)
        data_at, *zooms_at = piece.placed
        self._entries.append(_placed(piece.chrom, piece.values, data_at))
        self._largest[0] = max(self._largest[0], piece.values.largest)
        for k, (blocks, at) in enumerate(zip(piece.zooms, zooms_at)):
            self._zoom_entries[k].append(_placed(piece.chrom, blocks, at))
            self._zoom_sizes[k] += blocks.size
            self._zoom_records[k] += blocks.items
            self._largest[1 + k] = max(self._largest[1 + k], blocks.largest)
        count, low, high, total, squares = piece.summary
        if count:
            summary = self._summary
            summary[0] += count
            summary[1], summary[2] = min(summary[1], low), max(summary[2], high)
            summary[3] += total
            summary[4] += squares

    def close(self) -> None:
        """Write the indexes, the zoom levels and the header, and close."""
        if self._file is None:
            return
        try:
            self._finish()
        finally:
            self._close_files()

    def abandon(self) -> None:
        """Close without finishing the file (it is to be deleted)."""
        self._close_files()

    def _close_files(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None
        for zoom_path in self._created:
            try:
                os.unlink(zoom_path)
            except FileNotFoundError:
                pass
        self._created = []

    def _finish(self) -> None:
        out = self._file
        entries = _concatenate(self._entries)
        index_at = out.seek(0, os.SEEK_END)     # every piece is in
        out.write(_r_tree(entries, self._block_size, self._items_per_slot, index_at, index_at))
        largest = self._largest[0]
        zooms = []
        for k, reduction in enumerate(self._reductions):
            records = self._zoom_records[k]
            # A level no smaller than the one below it is of no use, and
            # neither is any coarser one.
            if not records or (zooms and records >= self._zoom_records[k - 1]):
                break
            data_at = out.tell()
            out.write(struct.pack("<I", records))
            zoom_entries = _concatenate(self._zoom_entries[k])
            zoom_entries["offset"] += data_at + 4
            source = os.open(self.zoom_paths[k], os.O_RDONLY)
            try:
                _copy_into(source, self._zoom_sizes[k], out)
            finally:
                os.close(source)
            zoom_index_at = out.tell()
            out.write(_r_tree(zoom_entries, self._block_size, self._items_per_slot,
                              zoom_index_at, zoom_index_at))
            zooms.append((reduction, data_at, zoom_index_at))
            largest = max(largest, self._largest[1 + k])
        out.write(struct.pack("<I", BIGWIG_MAGIC))
        out.seek(0)
        out.write(_HEADER.pack(BIGWIG_MAGIC, VERSION, len(zooms), self._tree_at, self._data_at,
                               index_at, 0, 0, 0, self._summary_at,
                               largest if self._compressed else 0, 0))
        for reduction, data_at, zoom_index_at in zooms:
            out.write(_ZOOM_HEADER.pack(reduction, 0, data_at, zoom_index_at))
        count, low, high, total, squares = self._summary
        out.seek(self._summary_at)
        out.write(_SUMMARY.pack(count, low, high, total, squares) if count
                  else _SUMMARY.pack(0, 0.0, 0.0, 0.0, 0.0))
        out.seek(self._data_at)
        out.write(struct.pack("<Q", len(entries)))


def _placed(chrom: int, blocks: Blocks, at: int) -> np.ndarray:
    """Leaf items of ``blocks`` written from file offset ``at`` on."""
    entries = np.zeros(len(blocks.bounds), dtype=_LEAF_ITEM)
    entries["start_chrom"] = entries["end_chrom"] = chrom
    entries["start"], entries["end"] = blocks.bounds[:, 0], blocks.bounds[:, 1]
    sizes = blocks.bounds[:, 2]
    entries["size"] = sizes
    entries["offset"] = at + np.cumsum(sizes) - sizes
    return entries


def _concatenate(entries: list[np.ndarray]) -> np.ndarray:
    return np.concatenate(entries) if entries else np.zeros(0, dtype=_LEAF_ITEM)
