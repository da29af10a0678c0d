"""bigWig files assembled by one process from blocks encoded anywhere.

1. ``encode`` (in a worker) turns the values of a batch of intervals into
   a ``Batch`` per strand: for each stream (the data, then each zoom level)
   the blocks of the intervals back to back with their bounds, and the
   partial parts at chunk edges; and each interval's summary.
2. ``BigWigWriter`` (in the calling process alone) takes the batches in
   genome order.  It merges the partial parts on either side of a chunk
   edge, copies the blocks into the file (from the file a task attempt
   wrote them to, in the kernel, or from bytes it was sent) and keeps one
   index entry per block; at ``close`` it writes the indexes, copies the
   zoom levels in and writes the header.

Blocks follow the chromosome, not the chunks.  A data block is one
fixed-step section: a run of scored positions (stored as float32) within
one region and one stretch of ``items_per_slot`` positions aligned to the
chromosome.  A zoom record of level ``k`` summarises the scored positions
of one region within one bin of ``ZOOM_REDUCTIONS[k]`` bases (aligned to
the chromosome; each bin is four bins of the level below): its start and
end are the first and one past the last scored position, and it holds
their count, minimum, maximum, sum and sum of squares of the stored
float32 values (sums taken in float64, stored as float32).  A zoom block
holds the records of one region within ``items_per_slot`` neighbouring
bins.  Where a chunk edge cuts such a stretch (an "open" edge: the next
chunk goes on from there), the worker hands the stretch's part over as
values or records, and the writer merges both sides into the one block a
single chunk would have given.  So the file holds the same blocks and
records whatever the chunk size (only the last bits of zoom sums may
differ), and for a given chunk size the same bytes whatever ran the tasks.

File layout (little-endian): header, zoom headers, total summary,
chromosome B+ tree, data (block count, then the blocks in genome order),
data R-tree, and per zoom level its record count, blocks and R-tree, then
the magic number again at the very end.  Levels that would not be smaller
than the one below are left out.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import os
import struct
import threading
import zlib
from collections.abc import Sequence

import numpy as np

from corlap import _encoder

__all__ = ["ITEMS_PER_SLOT", "INDEX_BLOCK_SIZE", "ZOOM_REDUCTIONS", "Stream", "Batch",
           "encode", "runs", "write_attempt", "write_all", "copy_range", "BigWigWriter"]

BIGWIG_MAGIC = 0x888FFC26
CHROM_TREE_MAGIC = 0x78CA8C91
INDEX_MAGIC = 0x2468ACE0
VERSION = 4
ITEMS_PER_SLOT = 1024       # values per data block, records per zoom block
INDEX_BLOCK_SIZE = 256      # children per node of both trees
ZOOM_REDUCTIONS = tuple(128 * 4 ** k for k in range(9))   # 128 bp to 8 Mbp
_FIXED_STEP = 3
_SECTION_WORDS = 6          # a fixed-step section's header, in 32-bit words

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
# Zoom records while they are built and merged: which interval of the
# batch (or the chromosome number), bin, and the statistics in float64.
_FIELDS = ("start", "end", "count", "min", "max", "sum", "squares")
_RECORDS = np.dtype([("group", "<i8"), ("bin", "<i8"), ("start", "<i8"), ("end", "<i8"),
                     ("count", "<i8"), ("min", "<f8"), ("max", "<f8"), ("sum", "<f8"),
                     ("squares", "<f8")])


@dataclasses.dataclass
class Stream:
    """The blocks of one stream (the data, or one zoom level) of a batch.

    ``bounds``: per block its chromosome number, first position, end and
    size in the file (int64, shape (n, 4)), in genome order; ``counts``:
    blocks per interval of the batch; ``partials``: interval index -> (head,
    tail), the parts at the interval's open edges (None where there is
    none); ``data``: the blocks' bytes back to back (None once they were
    written to an attempt file, from ``offset`` on); ``largest``: the
    largest uncompressed block, in bytes; ``items``: values or records per
    block."""
    bounds: np.ndarray
    counts: np.ndarray
    partials: dict
    data: object
    largest: int
    items: np.ndarray
    offset: int = 0

    @property
    def size(self) -> int:
        return int(self.bounds[:, 3].sum())


@dataclasses.dataclass
class Batch:
    """A batch's streams (data first, then each zoom level) and, per
    interval, count, minimum, maximum, sum and sum of squares of its
    stored values (float64, shape (m, 5))."""
    streams: list
    summaries: np.ndarray


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


# --- encoding (in the workers) ------------------------------------------------

class _Layout:
    """The intervals of a batch laid end to end: ``seg[i]`` is where
    interval ``i`` starts in the concatenated values."""

    def __init__(self, chroms, starts, lengths, open_start, open_end):
        self.chroms = np.asarray(chroms, dtype=np.int64)
        self.starts = np.asarray(starts, dtype=np.int64)
        self.lengths = np.asarray(lengths, dtype=np.int64)
        self.ends = self.starts + self.lengths
        self.open_start = np.asarray(open_start, dtype=bool)
        self.open_end = np.asarray(open_end, dtype=bool)
        self.seg = np.concatenate(([0], np.cumsum(self.lengths))).astype(np.int64)

    def limits(self, span: int):
        """Per interval: whether it has a head part and where it ends, whether
        it has a tail part and where it starts.  A part at an open edge is
        the stretch of ``span`` aligned positions the edge cuts."""
        if len(self.starts) == 1:
            # One interval (tiny chunks make many such batches): the same
            # in plain integers, without a dozen array operations.
            start, end = int(self.starts[0]), int(self.ends[0])
            has_head = bool(self.open_start[0]) and start % span != 0
            head_end = min(end, -(-start // span) * span) if has_head else start
            tail_start = max(head_end, end // span * span) \
                if bool(self.open_end[0]) and end % span != 0 else end
            return (np.array([has_head]), np.array([head_end]),
                    np.array([tail_start < end]), np.array([tail_start]))
        starts, ends = self.starts, self.ends
        head = self.open_start & (starts % span != 0)
        head_end = np.where(head, np.minimum(ends, -(-starts // span) * span), starts)
        tail = self.open_end & (ends % span != 0)
        tail_start = np.where(tail, np.maximum(head_end, ends // span * span), ends)
        tail &= tail_start < ends
        return head, head_end, tail, tail_start

    def multiples(self, size: int) -> np.ndarray:
        """Indices (into the concatenated values) of positions that are
        multiples of ``size``."""
        first = (-self.starts) % size
        count = np.maximum(0, -(-(self.lengths - first) // size))
        base = np.repeat(self.seg[:-1] + first, count)
        within = np.arange(int(count.sum())) - np.repeat(np.cumsum(count) - count, count)
        return base + within * size

    def pieces(self, size: int, run_edges: np.ndarray) -> np.ndarray:
        """Where pieces start: every interval start, multiple of ``size``
        and run edge; each piece is then wholly scored or wholly missing and
        lies in one interval and one stretch of ``size`` positions."""
        starts = self.seg[:-1][self.lengths > 0]
        # Three sorted lists: merged by a sort that finds the sorted runs,
        # then each index kept once.
        cuts = np.sort(np.concatenate((starts, self.multiples(size), run_edges)), kind="stable")
        return cuts[np.concatenate(([True], cuts[1:] != cuts[:-1]))] if len(cuts) else cuts


def _data_partials(layout: _Layout, stored: np.ndarray, limits, items_per_slot: int) -> dict:
    """The data stream's parts at open edges: interval index -> (head,
    tail), each None or (chrom, slot, first position, stored values)."""
    head, head_end, tail, tail_start = limits
    partials = {}
    for i in np.flatnonzero(head | tail).tolist():
        first, start = int(layout.seg[i]), int(layout.starts[i])
        parts = [None, None]
        if head[i]:
            stop = int(head_end[i])
            parts[0] = (int(layout.chroms[i]), start // items_per_slot, start,
                        stored[first:first + stop - start])
        if tail[i]:
            at = int(tail_start[i])
            parts[1] = (int(layout.chroms[i]), at // items_per_slot, at,
                        stored[first + at - start:int(layout.seg[i + 1])])
        partials[i] = tuple(parts)
    return partials


def _data_stream(layout: _Layout, words: np.ndarray, sections: np.ndarray, partials: dict,
                 deflate_level: int) -> Stream:
    """The data stream from its sections laid out back to back in
    ``words``; ``sections`` holds each one's interval, position and count."""
    interval, positions, counts = sections[:, 0], sections[:, 1], sections[:, 2]
    raw_sizes = 4 * (_SECTION_WORDS + counts)
    data, sizes = _compressed(words.view(np.uint8), raw_sizes, deflate_level)
    bounds = np.column_stack((layout.chroms[interval], positions, positions + counts, sizes))
    return Stream(bounds.astype(np.int64).reshape(-1, 4),
                  np.bincount(interval, minlength=len(layout.starts)), partials, data,
                  int(raw_sizes.max()) if len(raw_sizes) else 0, counts)


def _sections(layout: _Layout, stored: np.ndarray, missing: np.ndarray, run_edges,
              items_per_slot: int, deflate_level: int) -> Stream:
    """The data stream of intervals without open edges: fixed-step
    sections of the scored pieces.  (The writer encodes the parts merged
    across a chunk edge with it.)"""
    n = len(stored)
    cuts = layout.pieces(items_per_slot, run_edges)
    counts = np.diff(np.append(cuts, n))
    keep = ~missing[cuts] if n else np.zeros(0, dtype=bool)
    cuts, counts = cuts[keep], counts[keep]
    interval = np.searchsorted(layout.seg, cuts, side="right") - 1
    positions = layout.starts[interval] + cuts - layout.seg[interval]
    words_of = _SECTION_WORDS + counts
    at = np.cumsum(words_of) - words_of
    words = np.empty(int(words_of.sum()), dtype="<u4")
    chroms = layout.chroms[interval]
    words[at] = chroms
    words[at + 1] = positions
    words[at + 2] = positions + counts
    words[at + 3] = 1
    words[at + 4] = 1
    words[at + 5] = _FIXED_STEP | (counts << 16)
    _fill_sections(words.view("<f4"), at + _SECTION_WORDS, stored, cuts, counts,
                   items_per_slot)
    return _data_stream(layout, words, np.column_stack((interval, positions, counts)), {},
                        deflate_level)


def _fill_sections(slots: np.ndarray, firsts: np.ndarray, stored: np.ndarray,
                   cuts: np.ndarray, counts: np.ndarray, full: int) -> None:
    """Copies the values of each section (``counts[k]`` of them from
    ``stored[cuts[k]]`` on) to ``slots[firsts[k]]`` on.  Most sections are
    full and follow each other in both arrays: each stretch of those is
    copied as one block of rows, the others value by value."""
    if not len(counts):
        return
    is_full = counts == full
    # Stretches of full sections whose values lie back to back.
    joined = np.zeros(len(counts), dtype=bool)
    joined[1:] = is_full[1:] & is_full[:-1] & (cuts[1:] == cuts[:-1] + full)
    starts = np.flatnonzero(is_full & ~joined)
    breaks = np.flatnonzero(~joined)
    ends = np.append(breaks, len(counts))[np.searchsorted(breaks, starts, side="right")]
    row = full + _SECTION_WORDS
    for first, end in zip(starts.tolist(), ends.tolist()):
        rows = end - first
        # Rows of a header and its values, the first header included.
        at = int(firsts[first]) - _SECTION_WORDS
        slots[at:at + rows * row].reshape(rows, row)[:, _SECTION_WORDS:] = \
            stored[cuts[first]:cuts[first] + rows * full].reshape(rows, full)
    rest = ~is_full
    if rest.any():
        counts, cuts, firsts = counts[rest], cuts[rest], firsts[rest]
        within = np.arange(int(counts.sum())) - np.repeat(np.cumsum(counts) - counts, counts)
        slots[np.repeat(firsts, counts) + within] = stored[np.repeat(cuts, counts) + within]


def _compressed(raw: np.ndarray, sizes: np.ndarray, level: int):
    """The blocks' bytes (``raw``, blocks of ``sizes`` bytes back to back)
    deflated one by one at ``level``, with their sizes; as they are for
    level 0."""
    if not level or not len(sizes):
        return raw, sizes
    ends = np.cumsum(sizes).tolist()
    parts = [zlib.compress(raw[a:b], level) for a, b in zip([0] + ends[:-1], ends)]
    return b"".join(parts), np.array([len(part) for part in parts], dtype=np.int64)


def _group(records: np.ndarray) -> np.ndarray:
    """Records of equal group and bin (neighbours) merged into one."""
    if len(records) < 2:
        return records
    new = np.ones(len(records), dtype=bool)
    new[1:] = (records["group"][1:] != records["group"][:-1]) | \
              (records["bin"][1:] != records["bin"][:-1])
    if new.all():
        return records
    firsts = np.flatnonzero(new)
    lasts = np.append(firsts[1:], len(records)) - 1
    merged = np.empty(len(firsts), dtype=_RECORDS)
    merged["group"], merged["bin"] = records["group"][firsts], records["bin"][firsts]
    merged["start"], merged["end"] = records["start"][firsts], records["end"][lasts]
    merged["count"] = np.add.reduceat(records["count"], firsts)
    merged["min"] = np.minimum.reduceat(records["min"], firsts)
    merged["max"] = np.maximum.reduceat(records["max"], firsts)
    merged["sum"] = np.add.reduceat(records["sum"], firsts)
    merged["squares"] = np.add.reduceat(records["squares"], firsts)
    return merged


def _fold(records: np.ndarray, factor: int) -> np.ndarray:
    """The next zoom level: groups of ``factor`` neighbouring bins merged."""
    folded = records.copy()
    folded["bin"] //= factor
    return _group(folded)


def _zoom_table(records: np.ndarray, chroms) -> np.ndarray:
    table = np.empty(len(records), dtype=_ZOOM_RECORD)
    table["chrom"] = chroms
    for field in _FIELDS:
        table[field] = records[field]
    return table


def _zoom_stream(layout: _Layout, records: np.ndarray, reduction: int, items_per_slot: int,
                 deflate_level: int) -> Stream:
    """A zoom level's stream: records of a region within ``items_per_slot``
    neighbouring bins make a block."""
    interval = records["group"]
    head, head_end, tail, tail_start = layout.limits(reduction * items_per_slot)
    body = (records["start"] >= head_end[interval]) & (records["start"] < tail_start[interval])
    partials = {}
    for i in np.flatnonzero(head | tail).tolist():
        mine = records[interval == i]
        chrom = int(layout.chroms[i])
        parts = [None, None]
        if head[i]:
            part = mine[mine["start"] < head_end[i]]
            if len(part):
                parts[0] = (chrom, int(layout.starts[i]) // (reduction * items_per_slot), part)
        if tail[i]:
            part = mine[mine["start"] >= tail_start[i]]
            if len(part):
                parts[1] = (chrom, int(tail_start[i]) // (reduction * items_per_slot), part)
        if parts != [None, None]:
            partials[i] = tuple(parts)
    kept = records[body]
    return _zoom_blocks(kept, layout.chroms[kept["group"]], len(layout.starts), partials,
                        items_per_slot, deflate_level)


def _zoom_blocks(records: np.ndarray, chroms, intervals: int, partials: dict,
                 items_per_slot: int, deflate_level: int) -> Stream:
    table = _zoom_table(records, chroms)
    if not len(records):
        return Stream(np.zeros((0, 4), dtype=np.int64), np.zeros(intervals, dtype=np.int64),
                      partials, b"", 0, np.zeros(0, dtype=np.int64))
    new = np.ones(len(records), dtype=bool)
    new[1:] = (records["group"][1:] != records["group"][:-1]) | \
              (records["bin"][1:] // items_per_slot != records["bin"][:-1] // items_per_slot)
    firsts = np.flatnonzero(new)
    lasts = np.append(firsts[1:], len(records)) - 1
    raw_sizes = (lasts - firsts + 1) * _ZOOM_RECORD.itemsize
    data, sizes = _compressed(table.view(np.uint8), raw_sizes, deflate_level)
    bounds = np.column_stack((table["chrom"][firsts], table["start"][firsts],
                              table["end"][lasts], sizes)).astype(np.int64)
    counts = np.bincount(records["group"][firsts], minlength=intervals)
    return Stream(bounds.reshape(-1, 4), counts, partials, data,
                  int(raw_sizes.max()) if len(raw_sizes) else 0, lasts - firsts + 1)


def encode(intervals: Sequence, *, reductions: Sequence[int] = ZOOM_REDUCTIONS,
           items_per_slot: int = ITEMS_PER_SLOT, deflate_level: int = 0) -> Batch:
    """The streams of a batch of intervals, each ``(chrom, start, values,
    open_start, open_end)``: sequence number, first position, float64
    values (NaN: no value) and whether the interval's start and end are
    open (a chunk edge where another interval of the run goes on).
    Intervals are in genome order; each reduction must be a multiple of the
    one before it.  ``deflate_level`` 0 leaves the blocks uncompressed (then
    the whole file must be)."""
    layout = _Layout([c for c, *_ in intervals], [s for _, s, *_ in intervals],
                     [len(v) for _, _, v, *_ in intervals],
                     [o for *_, o, _ in intervals], [o for *_, o in intervals])
    limits = layout.limits(items_per_slot)
    # One native pass: the values as stored (float32; everything the file
    # says is of them), the sections between the open edges' parts, and
    # the first zoom level.
    stored, words, sections, level_one = _encoder.encode_batch(
        [np.asarray(v, dtype=np.float64) for _, _, v, *_ in intervals], layout.chroms,
        layout.starts, limits[1], limits[3], items_per_slot, reductions[0] if reductions else 0)
    streams = [_data_stream(layout, words, sections,
                            _data_partials(layout, stored, limits, items_per_slot),
                            deflate_level)]
    summaries = np.zeros((len(intervals), 5))
    summaries[:, 1], summaries[:, 2] = np.inf, -np.inf
    if reductions:
        records = level_one.view(_RECORDS)
        if len(records):
            firsts = np.flatnonzero(np.diff(records["group"], prepend=-1) != 0)
            owners = records["group"][firsts]
            summaries[owners, 0] = np.add.reduceat(records["count"], firsts)
            summaries[owners, 1] = np.minimum.reduceat(records["min"], firsts)
            summaries[owners, 2] = np.maximum.reduceat(records["max"], firsts)
            summaries[owners, 3] = np.add.reduceat(records["sum"], firsts)
            summaries[owners, 4] = np.add.reduceat(records["squares"], firsts)
        for k, reduction in enumerate(reductions):
            if k:
                records = _fold(records, reduction // reductions[k - 1])
            streams.append(_zoom_stream(layout, records, reduction, items_per_slot,
                                        deflate_level))
    else:
        values = stored.astype(np.float64)
        for i in range(len(intervals)):
            part = values[layout.seg[i]:layout.seg[i + 1]]
            part = part[~np.isnan(part)]
            if len(part):
                summaries[i] = (len(part), part.min(), part.max(), part.sum(),
                                np.square(part).sum())
    return Batch(streams, summaries)


def write_attempt(path: str, batches: Sequence[Batch]) -> None:
    """Writes the blocks of ``batches`` to the new file ``path`` (one task
    attempt's own file) and, once all are there, leaves in each stream
    where its blocks are in place of their bytes."""
    streams = [stream for batch in batches for stream in batch.streams]
    offsets = []
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    try:
        at = 0
        for stream in streams:
            offsets.append(at)
            if stream.size:
                at = write_all(descriptor, at, stream.data)
    finally:
        os.close(descriptor)
    for stream, offset in zip(streams, offsets):
        stream.offset, stream.data = offset, None


# --- trees -----------------------------------------------------------------------

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


# --- the file (in the calling process) ----------------------------------------

class _Entries:
    """Index entries of a stream, in a growing array: a few dozen bytes
    per block, whatever the number of sequences."""

    def __init__(self):
        self._array = np.zeros(1024, dtype=_LEAF_ITEM)
        self.count = 0

    def add(self, bounds: np.ndarray, at: int) -> None:
        """Entries of blocks with these bounds written from offset ``at``."""
        n = len(bounds)
        if self.count + n > len(self._array):
            grown = np.zeros(max(2 * len(self._array), self.count + n), dtype=_LEAF_ITEM)
            grown[:self.count] = self._array[:self.count]
            self._array = grown
        new = self._array[self.count:self.count + n]
        new["start_chrom"] = new["end_chrom"] = bounds[:, 0]
        new["start"], new["end"], new["size"] = bounds[:, 1], bounds[:, 2], bounds[:, 3]
        new["offset"] = at + np.cumsum(bounds[:, 3]) - bounds[:, 3]
        self.count += n

    def array(self) -> np.ndarray:
        return self._array[:self.count]


def write_all(descriptor: int, at: int, data) -> int:
    """Writes all of ``data`` to the file ``descriptor`` from offset ``at``;
    the offset after it."""
    view = memoryview(data).cast("B")
    while view:
        written = os.pwrite(descriptor, view, at)
        view, at = view[written:], at + written
    return at


# Copies go through a buffer of 4 MiB per thread.  The kernel's own copies
# between two files (copy_file_range across file systems, sendfile) splice
# a page at a time, and from /dev/shm to ext4 they took 2 to 4 times the
# CPU of reading and writing 4 MiB at a time, which lets the file system
# take large folios.
_COPY_BUFFER = 1 << 22
_copy_buffers = threading.local()


def copy_range(source: int, offset: int, count: int, target: int, at: int) -> None:
    """Copies ``count`` bytes of the file ``source`` from ``offset`` to the
    file ``target`` at ``at``."""
    buffer = getattr(_copy_buffers, "buffer", None)
    if buffer is None:
        buffer = _copy_buffers.buffer = memoryview(bytearray(_COPY_BUFFER))
    while count > 0:
        got = os.preadv(source, [buffer[:min(count, _COPY_BUFFER)]], offset)
        if got == 0:
            raise OSError(errno.EIO, "blocks of a task cut short")
        done = 0
        while done < got:
            done += os.pwrite(target, buffer[done:got], at + done)
        offset, at, count = offset + got, at + got, count - got


class _Flusher:
    """Writes a file's data to disk in a thread of its own while the run
    goes on, every 64 MB written, so that the flush before the
    rename finds little left to do."""

    EVERY = 64 << 20

    def __init__(self, descriptor: int):
        self._descriptor = descriptor
        self._pending = 0
        self._thread: threading.Thread | None = None
        self._error: OSError | None = None

    def wrote(self, count: int) -> None:
        self._pending += count
        if self._pending >= self.EVERY and (self._thread is None
                                            or not self._thread.is_alive()):
            self._pending = 0
            self._thread = threading.Thread(target=self._flush, daemon=True)
            self._thread.start()

    def _flush(self) -> None:
        try:
            os.fdatasync(self._descriptor)
        except OSError as error:
            self._error = error

    def finish(self) -> None:
        """Waits for a flush under way; raises the error one met."""
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        if self._error is not None:
            raise self._error


class BigWigWriter:
    """Writes the bigWig file ``path`` (an existing empty file) from the
    batches of its chunks handed over in genome order (sequence numbers
    are positions in ``chroms``; lengths must be >= 1).  Zoom levels wait
    in files ``path.zoomK`` beside it until the data is complete.
    ``reductions`` and ``items_per_slot`` are those the batches were
    encoded with, ``deflate_level`` the level."""

    def __init__(self, path: str, chroms: Sequence[tuple[str, int]], *,
                 reductions: Sequence[int] = ZOOM_REDUCTIONS,
                 index_block_size: int = INDEX_BLOCK_SIZE,
                 items_per_slot: int = ITEMS_PER_SLOT, deflate_level: int = 0):
        self._deflate_level = deflate_level
        self._reductions = tuple(reductions)
        self._block_size = index_block_size
        self._items_per_slot = items_per_slot
        self.path = path
        self.zoom_paths = tuple(f"{path}.zoom{k}" for k in range(len(self._reductions)))
        self._descriptors: list[int] = []
        self._created: list[str] = []
        self._flusher: _Flusher | None = None
        try:
            # Opened without truncation: ext4 flushes a file truncated to
            # zero to disk when it is closed.
            self._descriptors.append(os.open(path, os.O_RDWR | os.O_CLOEXEC))
            for zoom_path in self.zoom_paths:
                self._descriptors.append(os.open(
                    zoom_path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600))
                self._created.append(zoom_path)
            self._summary_at = _HEADER.size + _ZOOM_HEADER.size * len(self._reductions)
            self._tree_at = self._summary_at + _SUMMARY.size
            self._data_at = write_all(
                self._descriptors[0], 0,
                b"\0" * self._tree_at + _chrom_tree(chroms, index_block_size, self._tree_at))
        except BaseException:
            self._close_files()
            raise
        self._flusher = _Flusher(self._descriptors[0])
        streams = 1 + len(self._reductions)
        # Where each stream's next block goes: the data after its block count.
        self._at = [self._data_at + 8] + [0] * len(self._reductions)
        self._entries = [_Entries() for _ in range(streams)]
        self._records = [0] * streams
        self._largest = [0] * streams
        self._pending: list[list | None] = [None] * streams
        self._summary = [0, np.inf, -np.inf, 0.0, 0.0]

    # Batches ------------------------------------------------------------------

    def add(self, batch: Batch, source: str | None = None) -> None:
        """Takes one batch (after every earlier one): its blocks are in its
        streams' ``data``, or in the file ``source`` where ``write_attempt``
        put them."""
        descriptor = os.open(source, os.O_RDONLY | os.O_CLOEXEC) if source else None
        try:
            for k, stream in enumerate(batch.streams):
                self._add_stream(k, stream, descriptor)
        finally:
            if descriptor is not None:
                os.close(descriptor)
        counted = batch.summaries[batch.summaries[:, 0] > 0]
        summary = self._summary
        for count, low, high, total, squares in counted.tolist():
            summary[0] += int(count)
            summary[1], summary[2] = min(summary[1], low), max(summary[2], high)
            summary[3] += total
            summary[4] += squares

    def _add_stream(self, k: int, stream: Stream, source: int | None) -> None:
        self._largest[k] = max(self._largest[k], stream.largest)
        ends = np.concatenate(([0], np.cumsum(stream.bounds[:, 3])))
        if not stream.partials:
            self._blocks(k, stream, ends, 0, len(stream.bounds), source)
            return
        firsts = np.concatenate(([0], np.cumsum(stream.counts))).tolist()
        done = 0
        for i in sorted(stream.partials):
            head, tail = stream.partials[i]
            self._blocks(k, stream, ends, done, firsts[i], source)
            if head is not None:
                self._partial(k, head)
            self._blocks(k, stream, ends, firsts[i], firsts[i + 1], source)
            if tail is not None:
                self._partial(k, tail)
            done = firsts[i + 1]
        self._blocks(k, stream, ends, done, len(stream.bounds), source)

    def _blocks(self, k: int, stream: Stream, ends: np.ndarray, first: int, last: int,
                source: int | None) -> None:
        """Blocks ``first`` to ``last - 1`` of the stream, after any part
        still waiting for its other side (there is none then)."""
        if last <= first:
            return
        self._flush(k)
        begin, count = int(ends[first]), int(ends[last] - ends[first])
        target, at = self._descriptors[k], self._at[k]
        if stream.data is None:
            copy_range(source, stream.offset + begin, count, target, at)
        else:
            write_all(target, at, memoryview(stream.data).cast("B")[begin:begin + count])
        bounds = stream.bounds[first:last]
        self._entries[k].add(bounds, at)
        self._at[k] = at + count
        if k == 0:
            self._flusher.wrote(count)
        self._records[k] += int(stream.items[first:last].sum())

    def _partial(self, k: int, part) -> None:
        pending = self._pending[k]
        if pending is not None and pending[0][:2] == part[:2]:
            pending.append(part)
            return
        self._flush(k)
        self._pending[k] = [part]

    def _flush(self, k: int) -> None:
        """Encodes and writes the part waiting in stream ``k`` with
        whatever joined it from the other side of its chunk edge."""
        pending = self._pending[k]
        if pending is None:
            return
        self._pending[k] = None
        chrom = pending[0][0]
        if k == 0:
            values = np.concatenate([part[3] for part in pending])
            missing = np.isnan(values)
            edges = _edges(missing)
            stream = _sections(_Layout([chrom], [pending[0][2]], [len(values)], [False], [False]),
                               values, missing, edges[(edges > 0) & (edges < len(values))],
                               self._items_per_slot, self._deflate_level)
        else:
            records = np.empty(sum(len(part[2]) for part in pending), dtype=_RECORDS)
            at = 0
            for part in pending:
                records[at:at + len(part[2])] = part[2]
                at += len(part[2])
            records["group"] = 0
            records = _group(records)
            stream = _zoom_blocks(records, chrom, 1, {}, self._items_per_slot,
                                  self._deflate_level)
        self._largest[k] = max(self._largest[k], stream.largest)
        ends = np.concatenate(([0], np.cumsum(stream.bounds[:, 3])))
        self._blocks(k, stream, ends, 0, len(stream.bounds), None)

    # Finishing ----------------------------------------------------------------

    def close(self) -> None:
        """Write the indexes, the zoom levels and the header, and close."""
        if not self._descriptors:
            return
        try:
            self._finish()
        finally:
            self._close_files()

    def abandon(self) -> None:
        """Close without finishing the file (it is to be deleted)."""
        self._close_files()

    def _close_files(self) -> None:
        if self._flusher is not None:
            # Never close a descriptor a flush is still using.
            with contextlib.suppress(OSError):
                self._flusher.finish()
            self._flusher = None
        for descriptor in self._descriptors:
            os.close(descriptor)
        self._descriptors = []
        for zoom_path in self._created:
            try:
                os.unlink(zoom_path)
            except FileNotFoundError:
                pass
        self._created = []

    def _finish(self) -> None:
        for k in range(len(self._pending)):
            self._flush(k)
        self._flusher.finish()
        out = self._descriptors[0]
        entries = self._entries[0].array()
        index_at = self._at[0]
        at = write_all(out, index_at, _r_tree(entries, self._block_size, self._items_per_slot,
                                               index_at, index_at))
        largest = self._largest[0]
        zooms = []
        for k, reduction in enumerate(self._reductions, start=1):
            records = self._records[k]
            # A level no smaller than the one below it is of no use, and
            # neither is any coarser one.
            if not records or (zooms and records >= self._records[k - 1]):
                break
            data_at = at
            at = write_all(out, at, struct.pack("<I", records))
            zoom_entries = self._entries[k].array().copy()
            zoom_entries["offset"] += at
            copy_range(self._descriptors[k], 0, self._at[k], out, at)
            at += self._at[k]
            zoom_index_at = at
            at = write_all(out, at, _r_tree(zoom_entries, self._block_size,
                                             self._items_per_slot, zoom_index_at, zoom_index_at))
            zooms.append((reduction, data_at, zoom_index_at))
            largest = max(largest, self._largest[k])
        write_all(out, at, struct.pack("<I", BIGWIG_MAGIC))
        head = _HEADER.pack(BIGWIG_MAGIC, VERSION, len(zooms), self._tree_at, self._data_at,
                            index_at, 0, 0, 0, self._summary_at,
                            largest if self._deflate_level else 0, 0)
        head += b"".join(_ZOOM_HEADER.pack(reduction, 0, data_at, zoom_index_at)
                         for reduction, data_at, zoom_index_at in zooms)
        write_all(out, 0, head)
        count, low, high, total, squares = self._summary
        write_all(out, self._summary_at, _SUMMARY.pack(count, low, high, total, squares)
                   if count else _SUMMARY.pack(0, 0.0, 0.0, 0.0, 0.0))
        write_all(out, self._data_at, struct.pack("<Q", len(entries)))
