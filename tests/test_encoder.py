"""The native encoder of a chunk's scores: bigWig blocks byte for byte as the
NumPy encoder it replaced made them, and bedGraph text that reads back as
the very float64 scores; and the numerical libraries' threads, one while
tasks run."""
import os
import subprocess
import sys

import numpy as np
import pytest

from corlap import _bigwig, _encoder, _threads
from corlap._engine import encode_bedgraph


def numpy_level_one(layout, stored, missing, run_edges, reduction):
    """The first zoom level as the NumPy encoder computed it: statistics of
    each scored piece by ``reduceat``, the pieces of a bin then merged."""
    n = len(stored)
    cuts = layout.pieces(reduction, run_edges)
    if not n or not len(cuts):
        return np.zeros(0, dtype=_bigwig._RECORDS)
    values = stored.astype(np.float64)
    keep = ~missing[cuts]
    ends = np.append(cuts[1:], n)
    interval = np.searchsorted(layout.seg, cuts, side="right") - 1
    positions = layout.starts[interval] + cuts - layout.seg[interval]
    records = np.empty(int(keep.sum()), dtype=_bigwig._RECORDS)
    records["group"], records["bin"] = interval[keep], positions[keep] // reduction
    records["start"], records["end"] = positions[keep], (positions + ends - cuts)[keep]
    records["count"] = (ends - cuts)[keep]
    records["min"] = np.minimum.reduceat(stored, cuts)[keep]
    records["max"] = np.maximum.reduceat(stored, cuts)[keep]
    records["sum"] = np.add.reduceat(values, cuts)[keep]
    records["squares"] = np.add.reduceat(np.square(values), cuts)[keep]
    return _bigwig._group(records)


def numpy_streams(intervals, reductions, items_per_slot):
    """The data stream's blocks and the first zoom level's records of the
    NumPy encoder."""
    layout = _bigwig._Layout(*zip(*[(c, s, len(v), a, b) for c, s, v, a, b in intervals]))
    stored = np.concatenate([v for _, _, v, _, _ in intervals]).astype(np.float32)
    missing = np.isnan(stored)
    edges = _bigwig._edges(missing)
    run_edges = edges[(edges > 0) & (edges < len(stored))]
    data = _bigwig._sections(layout, stored, missing, run_edges, items_per_slot, 0)
    _, head_end, _, tail_start = layout.limits(items_per_slot)
    # Sections in the parts at open edges are handed over, not encoded.
    interval = np.repeat(np.arange(len(intervals)), data.counts)
    body = (data.bounds[:, 1] >= head_end[interval]) & (data.bounds[:, 1] < tail_start[interval])
    return (blocks(data, body),
            numpy_level_one(layout, stored, missing, run_edges, reductions[0]).tobytes())


def blocks(stream, keep=None):
    ends = np.cumsum(stream.bounds[:, 3]).tolist()
    data = bytes(stream.data)
    found = [(tuple(bounds), data[end - size:end])
             for bounds, end, size in zip(stream.bounds.tolist(), ends, stream.bounds[:, 3])]
    return [block for block, kept in zip(found, keep if keep is not None else found) if kept]


def scores(rng, length):
    """Normal scores with NaN runs, lone NaNs, repeats, both zeros and
    infinities, as some tracks hold."""
    values = rng.normal(size=length) * 4
    values[rng.random(length) < 0.2] = np.nan
    for start in rng.integers(0, max(1, length - 200), 3):
        values[start:start + int(rng.integers(1, 200))] = np.nan
    special = rng.integers(0, length, 6)
    values[special] = [0.0, -0.0, np.inf, 1e-300, 3e38, -1e-40]
    values[length // 3:length // 3 + 70] = 0.1
    return values


@pytest.mark.parametrize("items_per_slot, reductions, seed", [
    (16, (4, 16, 64), 1),          # many sections and bins cut by chunk edges
    (1024, (128, 512), 2),         # the file's own layout
    (64, (1000, 4000), 3),         # bins of 1000: sums of more than 128 terms
])
def test_native_blocks_equal_the_numpy_encoder(items_per_slot, reductions, seed):
    rng = np.random.default_rng(seed)
    lengths = [3000, 1, 1, 517, 2500]      # one-position chromosomes between others
    intervals = []
    for chrom, length in enumerate(lengths):
        values = scores(rng, length)
        cuts = sorted({0, length, *rng.integers(1, max(2, length), 4).tolist()})
        for start, end in zip(cuts, cuts[1:]):
            intervals.append((chrom, start, values[start:end], start > 0, end < length))
    for first in range(0, len(intervals), 5):     # batches of several intervals
        batch = intervals[first:first + 5]
        got = _bigwig.encode(batch, reductions=reductions, items_per_slot=items_per_slot)
        want_data, want_records = numpy_streams(batch, reductions, items_per_slot)
        assert blocks(got.streams[0]) == want_data
        *_, records = _encoder.encode_batch(
            [v for _, _, v, _, _ in batch], [c for c, *_ in batch], [s for _, s, *_ in batch],
            [0] * len(batch), [0] * len(batch), items_per_slot, reductions[0])
        assert records.tobytes() == want_records


@pytest.mark.parametrize("first, second", [(0.0, -0.0), (-0.0, 0.0)])
def test_zoom_ties_of_the_two_zeros_go_numpys_way(first, second):
    """Bins whose minimum, or maximum, is both zeros: within one piece, and
    across pieces that a missing value cuts."""
    values = np.array([first, second, 1.0, 2.0, -1.0, first, -2.0, second,
                       first, np.nan, second, 3.0, -3.0, first, np.nan, second])
    *_, records = _encoder.encode_batch([values], [0], [0], [0], [0], 16, 4)
    assert records.tobytes() == numpy_streams([(0, 0, values, False, False)], (4,), 16)[1]


@pytest.mark.parametrize("special", [
    [0.0, -0.0, 1.0, -2.5, 1e16, 1e-5, 1e-4, 123456789012345.6, 1234567890123456.0,
     5e-324, 1.7976931348623157e308, -np.inf, np.inf, 0.1, 1 / 3, 2.0 ** 60, 1e22],
])
def test_bedgraph_text_is_repr_and_reads_back_exactly(special):
    rng = np.random.default_rng(4)
    values = np.concatenate((special, rng.normal(size=3000) * 10.0 ** rng.integers(-30, 30, 3000),
                             [7.5] * 4, [np.nan] * 3, [-0.0, 0.0, 0.0], [np.nan]))
    values[rng.random(len(values)) < 0.05] = np.nan
    text = encode_bedgraph("chr_x", 1000, values)
    want = []
    for k in np.flatnonzero(~np.isnan(values)).tolist():
        if want and want[-1][2] == 1000 + k and \
                np.float64(want[-1][3]).tobytes() == values[k].tobytes():
            want[-1][2] += 1
        else:
            want.append(["chr_x", 1000 + k, 1001 + k, float(values[k])])
    assert text.decode() == "".join(f"{c}\t{s}\t{e}\t{v!r}\n" for c, s, e, v in want)
    # Every line parses back to the float64 it came from.
    back = np.full(len(values), np.nan)
    for line in text.decode().splitlines():
        _, start, end, value = line.split("\t")
        back[int(start) - 1000:int(end) - 1000] = float(value)
    kept = ~np.isnan(values)
    assert np.array_equal(np.isnan(back), ~kept) and back[kept].tobytes() == values[kept].tobytes()


def test_library_threads_are_one_while_tasks_run_then_as_before(monkeypatch):
    from threadpoolctl import threadpool_info

    def threads():
        return [pool["num_threads"] for pool in threadpool_info()]
    monkeypatch.delenv("OPENBLAS_NUM_THREADS", raising=False)
    monkeypatch.setenv("OMP_NUM_THREADS", "3")
    before = threads()
    assert before, "NumPy loads a BLAS library"
    with _threads.one_thread():
        with _threads.one_thread():         # two tasks at once in one process
            assert set(threads()) == {1}
        assert set(threads()) == {1}
        # Processes started meanwhile (the command's forkserver) get one.
        with _threads.one_thread_in_children():
            seen = subprocess.run(
                [sys.executable, "-c", "import os; print(os.environ['OPENBLAS_NUM_THREADS'], "
                 "os.environ['OMP_NUM_THREADS'])"], capture_output=True, text=True, check=True)
    assert seen.stdout.split() == ["1", "1"]
    assert threads() == before
    assert os.environ["OMP_NUM_THREADS"] == "3" and "OPENBLAS_NUM_THREADS" not in os.environ
