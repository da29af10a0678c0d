"""bigWig files as corlap writes them (workers encode pieces, the calling
process assembles the file), read back with pyBigWig: every value as its
float32, no value where there is none, zoom levels that summarise the
values exactly, and indexes any reader can search."""
import os
import struct

import numpy as np
import pyBigWig
import pytest

from corlap import _bigwig

REDUCTIONS = (8, 32, 128, 512, 2048)


def random_values(rng, length):
    """Normal scores with missing runs, isolated missing positions and
    stretches of one repeated value."""
    values = rng.normal(size=length) * 3
    values[rng.random(length) < 0.005] = np.nan
    for start in rng.integers(0, max(1, length - 300), 3):
        values[start:start + int(rng.integers(1, 300))] = np.nan
    start = int(rng.integers(0, max(1, length - 100)))
    values[start:start + 100] = 1.25
    return values


def write(path, chroms, values, pieces, *, level=0, items_per_slot=_bigwig.ITEMS_PER_SLOT,
          block_size=_bigwig.INDEX_BLOCK_SIZE, through_files=False, per_batch=1):
    """Writes ``values`` (chrom -> float64 array) cut into chunks at the
    positions ``pieces`` gives for each chromosome, ``per_batch`` chunks
    encoded together.  With ``through_files``, each batch's blocks go
    through a file of their own first, as a worker hands them over."""
    path.write_bytes(b"")
    writer = _bigwig.BigWigWriter(str(path), chroms, reductions=REDUCTIONS,
                                  index_block_size=block_size,
                                  items_per_slot=items_per_slot, deflate_level=level)
    chunks = []
    for number, (chrom, length) in enumerate(chroms):
        cuts = sorted({0, *pieces(length), length})
        for start, end in zip(cuts, cuts[1:]):
            chunks.append((number, start, values[chrom][start:end], start > 0, end < length))
    for k in range(0, len(chunks), per_batch):
        batch = _bigwig.encode(chunks[k:k + per_batch], reductions=REDUCTIONS,
                               items_per_slot=items_per_slot, deflate_level=level)
        source = None
        if through_files:
            source = str(path.parent / f"attempt-{path.stem}-{k}")
            _bigwig.write_attempt(source, [batch])
        writer.add(batch, source)
        if source:
            os.unlink(source)
    writer.close()
    assert [p.name for p in path.parent.iterdir() if p.name.startswith(path.name)] == [path.name]


def read_back(path, chroms):
    with_file = pyBigWig.open(str(path))
    try:
        assert with_file.chroms() == dict(chroms)
        got = {}
        for chrom, length in chroms:
            array = np.full(length, np.nan, dtype=np.float32)
            for start, end, value in with_file.intervals(chrom) or ():
                assert np.isnan(array[start:end]).all(), "intervals overlap"
                array[start:end] = value
            got[chrom] = array
        return got, with_file.header()
    finally:
        with_file.close()


def assert_values(got, values):
    for chrom, want in values.items():
        want = want.astype(np.float32)
        assert np.array_equal(np.isnan(got[chrom]), np.isnan(want)), chrom
        kept = ~np.isnan(want)
        assert np.array_equal(got[chrom][kept].view(np.uint32), want[kept].view(np.uint32))


@pytest.mark.parametrize("level, items_per_slot, block_size, through_files", [
    (0, _bigwig.ITEMS_PER_SLOT, _bigwig.INDEX_BLOCK_SIZE, False),
    (6, _bigwig.ITEMS_PER_SLOT, _bigwig.INDEX_BLOCK_SIZE, True),
    # Small blocks and nodes: several levels in every tree.
    (0, 7, 3, True),
    (1, 16, 4, False),
])
def test_values_round_trip(tmp_path, level, items_per_slot, block_size, through_files):
    rng = np.random.default_rng(level + items_per_slot)
    chroms = [("chr1", 20_011), ("chrM", 17), ("scaffold_9", 5_000), ("chr2", 9_999)]
    values = {chrom: random_values(rng, length) for chrom, length in chroms}
    values["scaffold_9"][:] = np.nan                # a sequence without values
    path = tmp_path / "t.bw"
    write(path, chroms, values, lambda n: sorted(rng.integers(0, n, 4).tolist()),
          level=level, items_per_slot=items_per_slot, block_size=block_size,
          through_files=through_files)
    got, header = read_back(path, chroms)
    assert_values(got, values)
    kept = np.concatenate([v[~np.isnan(v)] for v in values.values()]).astype(np.float32)
    assert header["nBasesCovered"] == len(kept)
    assert header["minVal"] == int(kept.min()) and header["maxVal"] == int(kept.max())
    assert header["nLevels"] >= 3
    raw = path.read_bytes()
    assert struct.unpack_from("<I", raw, 0)[0] == struct.unpack_from("<I", raw, len(raw) - 4)[0]
    # Blocks are compressed exactly when a deflate level was given.
    assert (struct.unpack_from("<I", raw, 52)[0] > 0) == (level > 0)


@pytest.mark.parametrize("width", [32, 128, 2048, 8192])
def test_zoom_levels_summarise_aligned_bins_exactly(tmp_path, width):
    """Statistics of bins aligned to a zoom level come from its records
    alone; minimum, maximum and coverage must then be exact."""
    rng = np.random.default_rng(width)
    chroms = [("a", 60_000), ("b", 33_333)]
    values = {chrom: random_values(rng, length) for chrom, length in chroms}
    path = tmp_path / "z.bw"
    # Chunk edges cut bins in two: the writer merges both sides.
    write(path, chroms, values, lambda n: sorted(rng.integers(0, n, 6).tolist()))
    with_file = pyBigWig.open(str(path))
    try:
        for chrom, length in chroms:
            bins = length // width
            end = bins * width
            stored = values[chrom][:end].astype(np.float32).astype(np.float64).reshape(bins, width)
            present = ~np.isnan(stored)
            for kind, want in (("min", np.where(present, stored, np.inf).min(axis=1)),
                               ("max", np.where(present, stored, -np.inf).max(axis=1)),
                               ("coverage", present.mean(axis=1))):
                got = np.array(with_file.stats(chrom, 0, end, type=kind, nBins=bins),
                               dtype=np.float64)
                want = np.where(present.any(axis=1), want, np.nan)   # empty bins: no value
                assert np.array_equal(np.isnan(got), np.isnan(want)), (chrom, kind)
                assert np.allclose(got[~np.isnan(got)], want[~np.isnan(want)],
                                   rtol=1e-6, atol=0), (chrom, kind)
            mean = np.array(with_file.stats(chrom, 0, end, type="mean", nBins=bins),
                            dtype=np.float64)
            with np.errstate(invalid="ignore"):
                want = np.where(present, stored, 0).sum(axis=1) / present.sum(axis=1)
            assert np.allclose(mean, want, rtol=1e-5, atol=1e-5, equal_nan=True)
    finally:
        with_file.close()


def search_chrom_tree(raw, name):
    """(number, length) of ``name`` by descending the chromosome B+ tree
    the way a reader that searches by key does: in each node, the last
    child whose first key is not above the name."""
    tree = struct.unpack_from("<Q", raw, 8)[0]
    magic, _, key_size, _, _, _ = struct.unpack_from("<IIIIQQ", raw, tree)
    assert magic == 0x78CA8C91
    key = name.encode().ljust(key_size, b"\0")
    node = tree + 32
    while True:
        leaf, _, count = struct.unpack_from("<BBH", raw, node)
        items = [raw[node + 4 + k * (key_size + 8):node + 4 + (k + 1) * (key_size + 8)]
                 for k in range(count)]
        keys = [item[:key_size] for item in items]
        assert keys == sorted(keys)
        if leaf:
            for item in items:
                if item[:key_size] == key:
                    return struct.unpack_from("<II", item, key_size)
            return None
        chosen = max(k for k in range(count) if k == 0 or keys[k] <= key)
        node = struct.unpack_from("<Q", items[chosen], key_size)[0]


def test_many_sequences_in_a_searchable_tree(tmp_path):
    rng = np.random.default_rng(5)
    # More sequences than a node holds, names of any length and order.
    names = [f"s{k}" if k % 3 else f"contig_{k:05d}_x" for k in rng.permutation(700)]
    chroms = [(name, int(rng.integers(1, 400))) for name in names]
    values = {chrom: random_values(rng, length) for chrom, length in chroms}
    path = tmp_path / "many.bw"
    write(path, chroms, values, lambda n: [n // 2])
    got, _ = read_back(path, chroms)
    assert_values(got, values)
    raw = path.read_bytes()
    for number, (name, length) in enumerate(chroms):
        assert search_chrom_tree(raw, name) == (number, length)
    assert search_chrom_tree(raw, "absent") is None


def test_a_file_without_any_value(tmp_path):
    chroms = [("x", 1000), ("y", 5)]
    values = {chrom: np.full(length, np.nan) for chrom, length in chroms}
    path = tmp_path / "none.bw"
    write(path, chroms, values, lambda n: [n // 3])
    got, header = read_back(path, chroms)
    assert all(np.isnan(array).all() for array in got.values())
    assert header["nBasesCovered"] == 0 and header["nLevels"] == 0


@pytest.mark.parametrize("level", [0, 6])
def test_chunk_edges_do_not_show_in_the_file(tmp_path, level):
    """The same values cut into chunks of any size give the same blocks and
    records (only the last bits of zoom sums may differ); for one chunk
    size, the same bytes however the chunks are batched and whichever way
    the blocks travel."""
    rng = np.random.default_rng(level)
    chroms = [("chr1", 9_000), ("chrM", 17), ("chr2", 2_500)]
    values = {chrom: random_values(rng, length) for chrom, length in chroms}
    sizes = {}
    for chunk in (7, 100, 1_000_000):
        def cuts(n):
            return range(chunk, n, chunk)
        files = []
        for per_batch, through_files in ((1, False), (5, True), (3, False)):
            path = tmp_path / f"c{chunk}-{per_batch}.bw"
            write(path, chroms, values, cuts, level=level, items_per_slot=64,
                  per_batch=per_batch, through_files=through_files)
            files.append(path.read_bytes())
        assert files[0] == files[1] == files[2], chunk
        got, _ = read_back(tmp_path / f"c{chunk}-1.bw", chroms)
        assert_values(got, values)
        sizes[chunk] = len(files[0])
        with pyBigWig.open(str(tmp_path / f"c{chunk}-1.bw")) as reader:
            sizes[chunk, "levels"] = reader.header()["nLevels"]
    assert sizes[7] == sizes[100] == sizes[1_000_000]
    assert sizes[7, "levels"] == sizes[1_000_000, "levels"] >= 3


@pytest.mark.parametrize("mask", [
    "", "1", "0", "0000", "1111", "0110", "1001", "1010101", "0101010",
    "1100111000011", "0" * 50 + "1" + "0" * 50,
])
def test_runs_of_scored_positions(mask):
    present = np.array([c == "1" for c in mask], dtype=bool)
    want, at = [], 0
    while at < len(mask):
        if mask[at] == "1":
            end = mask.find("0", at)
            end = len(mask) if end < 0 else end
            want.append((at, end))
            at = end
        else:
            at += 1
    assert _bigwig.runs(present) == want
