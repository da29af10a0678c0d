"""Bias-corrected insertion signal (corlap.correct) on the simulation of
test_reads: observed equals the simulated counts, expected and corrected
equal a plain NumPy reading of the formulas, values never depend on the
chunks, the executor or the regions, and on the simulation the correction
takes out the planted bias and brings out the footprints."""

import concurrent.futures
import multiprocessing
import os

import numpy as np
import pyBigWig
import pytest

from conftest import reverse_complement
from corlap import _alignments, correct, reads, tracks
from corlap.models import load_model, save_model
from corlap.utils.sequences import nuc_to_num
from test_reads import EXCLUDED, FOOTPRINT, simulate
from test_tracks import held_files

MODEL_LENGTH = 6
COUNTED = ("chr1", "chr2")
REGIONS = [tracks.Interval("chr1", 0, 300),            # the sequence's start
           tracks.Interval("chr1", 1_900, 4_100),      # an open region and its edges
           tracks.Interval("chr1", 69_850, 70_000),    # the sequence's end
           tracks.Interval("chr2", 12_900, 13_400),    # an N run in an open region
           tracks.Interval("chr2", 30_000, 30_050),
           tracks.Interval("chr2", 30_040, 30_100),    # overlaps the one before
           tracks.Interval(EXCLUDED, 0, 100)]          # left out


@pytest.fixture(scope="module")
def sim(tmp_path_factory):
    simulation = simulate(tmp_path_factory.mktemp("correct"))
    model, _ = reads.train_from_reads(simulation.fasta, simulation.bam, "DWM", MODEL_LENGTH,
                                      background=20_000, exclude=[EXCLUDED])
    simulation.model = simulation.directory / "model.npz"
    save_model(model, simulation.model)
    return simulation


@pytest.fixture(scope="module")
def pool():
    with concurrent.futures.ProcessPoolExecutor(
            2, mp_context=multiprocessing.get_context("forkserver")) as executor:
        yield executor


def numpy_tracks(sim, window, strands=(0, 1)):
    """chrom -> (observed, expected, corrected) of the ``strands`` (0: +,
    1: -), straight from the formulas: scores of whole sequences, plain
    sums over every offset of the window."""
    model = load_model(sim.model)
    half = window // 2
    out = {}
    for chrom in COUNTED:
        text = sim.genome[chrom]
        scores = (model.score_sequence(nuc_to_num(text)),
                  model.score_sequence(nuc_to_num(reverse_complement(text)))[::-1])
        n = len(text)
        expected = np.zeros(n)
        weighted = np.zeros(n, dtype=bool)
        for strand in strands:
            score, obs = scores[strand], sim.counts[chrom][strand]
            has = ~np.isnan(score)
            weight = np.where(has, 2.0 ** np.where(has, score, 0.0), 0.0)
            count = np.where(has, obs, 0).astype(float)
            local_count, local_weight = np.zeros(n), np.zeros(n)
            for k in range(-half, half + 1):        # q = p + k
                lo, hi = max(0, -k), min(n, n - k)
                local_count[lo:hi] += count[lo + k:hi + k]
                local_weight[lo:hi] += weight[lo + k:hi + k]
            share = np.zeros(n)
            np.divide(local_count * weight, local_weight, out=share, where=local_count > 0)
            expected += np.where(has, share, 0.0)
            weighted |= has
        observed = sum(sim.counts[chrom][strand] for strand in strands).astype(float)
        expected[~weighted] = np.nan
        out[chrom] = (observed, expected, observed - expected)
    return out


def collect(sim, **options):
    """chrom -> (observed, expected, corrected) of correction_intervals,
    NaN where no interval covers a position."""
    got = {chrom: tuple(np.full(length, np.nan) for _ in range(3))
           for chrom, length in sim.lengths.items()}
    for interval in correct.correction_intervals(sim.fasta, sim.bam, sim.model,
                                                 exclude=[EXCLUDED], **options):
        assert interval.end - interval.start <= options.get("chunk_size", 10**9)
        for k, name in enumerate(correct.OUTPUTS):
            if getattr(interval, name) is not None:
                got[interval.chrom][k][interval.start:interval.end] = getattr(interval, name)
    return got


def inside_regions(sim):
    mask = {chrom: np.zeros(length, dtype=bool) for chrom, length in sim.lengths.items()}
    for region in REGIONS:
        if region.chrom != EXCLUDED:
            mask[region.chrom][region.start:region.end] = True
    return mask


def assert_bits_equal(got, want):
    assert got.shape == want.shape and got.dtype == want.dtype
    assert np.array_equal(np.isnan(got), np.isnan(want))
    bits = np.uint64 if got.itemsize == 8 else np.uint32
    assert np.array_equal(got[~np.isnan(got)].view(bits), want[~np.isnan(want)].view(bits))


def read_track(path, lengths):
    """chrom -> values of a bigWig (float32) or bedGraph (float64) file,
    NaN where it holds none."""
    if path.suffix == ".bw":
        with_file = pyBigWig.open(str(path))
        assert with_file.chroms() == lengths
        values = {chrom: np.full(length, np.nan, dtype=np.float32)
                  for chrom, length in lengths.items()}
        for chrom in lengths:
            for start, end, value in with_file.intervals(chrom) or ():
                values[chrom][start:end] = value
        with_file.close()
        return values
    values = {chrom: np.full(length, np.nan) for chrom, length in lengths.items()}
    for line in path.read_text().splitlines():
        chrom, start, end, value = line.split("\t")
        assert np.isnan(values[chrom][int(start):int(end)]).all()     # no overlaps
        values[chrom][int(start):int(end)] = float(value)
    return values


def assert_close(got, want):
    assert np.array_equal(np.isnan(got), np.isnan(want))
    np.testing.assert_allclose(got[~np.isnan(want)], want[~np.isnan(want)],
                               rtol=1e-12, atol=1e-12)


# --- values ----------------------------------------------------------------------

@pytest.mark.parametrize("window,chunk_size", [(101, 1_000_000), (101, 9_999), (10, 25_000),
                                               (1, 1_000_000)])
def test_values_follow_the_formulas(sim, window, chunk_size):
    got = collect(sim, window=window, chunk_size=chunk_size)
    want = numpy_tracks(sim, window)
    for chrom in COUNTED:
        np.testing.assert_array_equal(got[chrom][0], want[chrom][0])     # exact counts
        assert_close(got[chrom][1], want[chrom][1])
        assert_close(got[chrom][2], want[chrom][2])
    assert all(np.isnan(track).all() for track in got[EXCLUDED])
    if window == 1:
        # Alone in its window, each weighted insertion is expected where it is.
        for chrom in COUNTED:
            has = ~np.isnan(got[chrom][1])
            assert np.allclose(got[chrom][2][has], 0.0)


def test_observed_equals_the_simulated_counts(sim):
    got = collect(sim, outputs=["observed"])
    for chrom in COUNTED:
        np.testing.assert_array_equal(got[chrom][0],
                                      sim.counts[chrom][0] + sim.counts[chrom][1])


@pytest.mark.parametrize("window,chunk_size,engine", [(101, 7, "inline"), (101, 100, "pool"),
                                                      (10, 3, "pool"), (10, 9, "inline")])
def test_chunks_smaller_than_the_window_and_workers_change_nothing(sim, pool, window,
                                                                   chunk_size, engine):
    """Regions cut in chunks smaller than W, on 1 or 2 processes: the
    whole-genome values, bit for bit, in the regions and none elsewhere."""
    whole = collect(sim, window=window)
    got = collect(sim, window=window, chunk_size=chunk_size, regions=REGIONS,
                  executor=pool if engine == "pool" else tracks.InlineExecutor(),
                  max_in_flight=3)
    want = numpy_tracks(sim, window)
    mask = inside_regions(sim)
    for chrom in COUNTED:
        for k in range(3):
            assert_bits_equal(got[chrom][k][mask[chrom]], whole[chrom][k][mask[chrom]])
            assert np.isnan(got[chrom][k][~mask[chrom]]).all()
            assert_close(got[chrom][k][mask[chrom]], want[chrom][k][mask[chrom]])


# The order-fixed sums of the library's first implementation, in NumPy: the
# extension's kernel must give their bits.
def window_sums(values: np.ndarray, first: int, start: int, end: int,
                 half: int) -> np.ndarray:
    """For p in start..end-1, the sum of the float64 values at positions
    p - half to p + half; ``values[k]`` is position ``first + k``, positions
    outside count 0.  Each sum is a block's suffix plus the next block's
    prefix (blocks of 2 * half + 1 positions from position 0), added in an
    order fixed by the positions alone."""
    span = 2 * half + 1
    base = ((start - half) // span) * span
    top = ((end - 1 + half) // span + 1) * span
    padded = np.zeros(top - base)
    lo, hi = max(first, base), min(first + len(values), top)
    padded[lo - base:hi - base] = values[lo - first:hi - first]
    # Running sums within each block, from its start and from its end.
    blocks = np.cumsum(padded.reshape(-1, span), axis=1)
    suffix = np.cumsum(padded[::-1].reshape(-1, span), axis=1).ravel()[::-1]
    # A window starting on a block's first position is that block alone:
    # its partner, the next block's prefix ending on the block's last
    # position, counts 0 (adding 0.0 changes no sum).
    blocks[:, -1] = 0.0
    prefix = blocks.ravel()
    left = start - half - base
    return suffix[left:left + end - start] + prefix[left + span - 1:left + span - 1 + end - start]


def window_counts(counts: np.ndarray, first: int, start: int, end: int,
                   half: int) -> np.ndarray:
    """As ``_window_sums`` for integer counts, which sum exactly in any
    order."""
    padded = np.zeros(end - start + 2 * half, dtype=np.int64)
    lo, hi = max(first, start - half), min(first + len(counts), end + half)
    padded[lo - (start - half):hi - (start - half)] = counts[lo - first:hi - first]
    running = np.concatenate(([0], np.cumsum(padded)))
    return running[2 * half + 1:] - running[:-(2 * half + 1)]


def numpy_interval(scores, insertions, lo, start, end, half):
    """The three tracks of start..end-1 from the scores (NaN: none) and the
    insertion positions of each strand over lo..lo+len-1."""
    hi = lo + len(scores[0])
    inner = slice(start - lo, end - lo)
    observed, expected = np.zeros(end - start), np.zeros(end - start)
    weighted = np.zeros(end - start, dtype=bool)
    for score, positions in zip(scores, insertions):
        has_weight = ~np.isnan(score)
        counts = np.bincount(positions - lo, minlength=hi - lo)
        observed += counts[inner]
        weights = np.where(has_weight, np.exp2(score), 0.0)
        local_count = window_counts(np.where(has_weight, counts, 0), lo, start, end, half)
        local_weight = window_sums(weights, lo, start, end, half)
        with np.errstate(divide="ignore", invalid="ignore"):
            share = np.where(local_count > 0, local_count * weights[inner] / local_weight, 0.0)
        here = has_weight[inner]
        expected += np.where(here, share, 0.0)
        weighted |= here
    expected[~weighted] = np.nan
    return observed, expected, observed - expected


@pytest.mark.parametrize("half", [0, 1, 5, 50])
@pytest.mark.parametrize("integers", [False, True])
def test_window_sums_equal_plain_sums(half, integers):
    """Windows reaching past the values at either end, inside them, and a
    single position, with values spread over six orders of magnitude."""
    rng = np.random.default_rng(half)
    values = rng.random(600) * 10.0 ** rng.integers(-3, 4, 600)
    first = 1_000
    summed = window_sums
    if integers:
        values, summed = rng.integers(0, 50, 600), window_counts
    for start, end in [(1_000, 1_600), (1_003, 1_004), (1_250, 1_411), (1_599, 1_600),
                       (1_020, 1_580)]:
        got = summed(values, first, start, end, half)
        assert len(got) == end - start
        for p in range(start, end):
            lo, hi = max(p - half, first), min(p + half + 1, first + len(values))
            want = values[lo - first:hi - first].sum()
            if integers:
                assert got[p - start] == want
            else:
                assert got[p - start] == pytest.approx(want, rel=1e-13)


@pytest.mark.parametrize("half", [0, 1, 7, 50])
def test_kernel_gives_the_bits_of_the_numpy_formulas(half):
    """Intervals at the chromosome's start (lo = 0), inside it and of one
    position; scores with runs of NaN, a strand without any weight, dense
    and empty insertions."""
    rng = np.random.default_rng(half + 11)
    for lo, start, end, hi in [(0, 0, 900, 900 + half), (5_000, 5_000 + half, 6_000, 6_000 + half),
                               (123, 123 + half, 124 + half, 124 + 2 * half),
                               (0, 0, 1, 1 + half)]:
        scores = []
        for strand in range(2):
            score = rng.normal(0.0, 3.0, hi - lo)
            for at in rng.integers(0, hi - lo, 4):
                score[at:at + rng.integers(1, 3 * half + 3)] = np.nan
            scores.append(score)
        if lo == 123:
            scores[1][:] = np.nan
        insertions = [np.sort(rng.integers(lo, hi, rng.integers(0, 3 * (hi - lo))))
                      for _ in range(2)]
        want = numpy_interval(scores, insertions, lo, start, end, half)
        got = [np.full(end - start, -1.0) for _ in range(3)]
        _alignments.correct_interval(*(np.exp2(score) for score in scores), *insertions,
                                     lo, start, end, half, *got)
        for g, w in zip(got, want):
            assert_bits_equal(g, w)


def test_kernel_refuses_what_does_not_fit():
    weights, out = np.ones(10), [np.empty(4) for _ in range(3)]
    inside, outside = np.array([3]), np.array([10])
    with pytest.raises(ValueError, match="outside"):
        _alignments.correct_interval(weights, weights, inside, outside, 0, 2, 6, 2, *out)
    with pytest.raises(ValueError, match="sizes"):
        _alignments.correct_interval(weights, weights[:9], inside, inside, 0, 2, 6, 2, *out)
    with pytest.raises(TypeError, match="float64"):
        _alignments.correct_interval(weights.astype(np.float32), weights, inside, inside,
                                     0, 2, 6, 2, *out)


# --- files -------------------------------------------------------------------------

@pytest.mark.parametrize("engine", ["inline", "pool"])
def test_written_tracks_hold_the_values(sim, pool, tmp_path, engine):
    paths = {"observed": tmp_path / "observed.bw", "expected": tmp_path / "expected.bedgraph",
             "corrected": tmp_path / "corrected.bw"}
    correct.write_correction(sim.fasta, sim.bam, sim.model, regions=REGIONS, window=31,
                             chunk_size=500, exclude=[EXCLUDED],
                             executor=pool if engine == "pool" else None, **paths)
    want = collect(sim, window=31, regions=REGIONS)
    for k, name in enumerate(correct.OUTPUTS):
        got = read_track(paths[name], sim.lengths)
        for chrom in sim.lengths:
            values = want[chrom][k].astype(got[chrom].dtype)
            assert_bits_equal(got[chrom], values)
    if engine == "pool":
        # The pool outlives the run: its workers hold no file of it.
        markers = (os.fspath(sim.bam), os.fspath(sim.fasta))
        assert set().union(*pool.map(held_files, [markers] * 4)) == set()


def test_per_strand_tracks_per_million_follow_the_formulas(sim, tmp_path):
    """Each strand's tracks beside each output, and every value per million
    insertions counted."""
    paths = {name: tmp_path / f"{name}.bg" for name in correct.OUTPUTS}
    counted = correct.write_correction(sim.fasta, sim.bam, sim.model, window=31,
                                       chunk_size=20_000, exclude=[EXCLUDED],
                                       per_strand=True, normalise="cpm", **paths)
    assert counted == sum(int(c.sum()) for chrom in COUNTED for c in sim.counts[chrom])
    for strand, word in [((0, 1), None), ((0,), "plus"), ((1,), "minus")]:
        want = numpy_tracks(sim, 31, strand)
        for k, name in enumerate(correct.OUTPUTS):
            got = read_track(tmp_path / (f"{name}.{word}.bg" if word else f"{name}.bg"),
                             sim.lengths)
            for chrom in COUNTED:
                assert_close(got[chrom], want[chrom][k] * (1e6 / counted))


def test_bad_input_writes_nothing(sim, tmp_path):
    out = tmp_path / "corrected.bw"
    with pytest.raises(reads.ReadsError, match="not sorted by coordinate"):
        correct.write_correction(sim.fasta, sim.unsorted, sim.model, corrected=out)
    with pytest.raises(ValueError, match="same file"):
        correct.write_correction(sim.fasta, sim.bam, sim.model, observed=out, corrected=out)
    with pytest.raises(ValueError, match="at least one"):
        correct.write_correction(sim.fasta, sim.bam, sim.model)
    with pytest.raises(ValueError, match="window"):
        correct.write_correction(sim.fasta, sim.bam, sim.model, corrected=out, window=0)
    assert list(tmp_path.iterdir()) == []


# --- what the correction is for ------------------------------------------------------

def test_correction_removes_the_bias_and_shows_the_footprints(sim, capsys):
    """In open regions away from footprints, the observed signal follows
    the planted bias; the corrected one hardly does.  Footprints (20 bp
    protected) against 20 bp on either side, in units of the track's own
    spread in open regions, stand out more after correction."""
    got = collect(sim)
    figures = {}
    for k, name in ((0, "observed"), (2, "corrected")):
        values, bias, inside, flanks = [], [], [], []
        for chrom in COUNTED:
            track = got[chrom][k]
            away = sim.open[chrom].copy()
            for fp_chrom, fp in sim.footprints:
                if fp_chrom == chrom:
                    away[fp - 5:fp + FOOTPRINT + 5] = False
                    inside.append(track[fp:fp + FOOTPRINT])
                    flanks.append(track[fp - FOOTPRINT:fp])
                    flanks.append(track[fp + FOOTPRINT:fp + 2 * FOOTPRINT])
            away &= ~np.isnan(track)
            values.append(track[away])
            bias.append(sim.weights[chrom][0][away] + sim.weights[chrom][1][away])
        values, bias = np.concatenate(values), np.concatenate(bias)
        depth = np.nanmean(np.concatenate(flanks)) - np.nanmean(np.concatenate(inside))
        figures[name] = (np.corrcoef(values, bias)[0, 1], depth / values.std())
    with capsys.disabled():
        print(f"\ncorrelation with the planted bias: observed {figures['observed'][0]:.3f}, "
              f"corrected {figures['corrected'][0]:.3f}; footprint depth in spreads: "
              f"observed {figures['observed'][1]:.2f}, corrected {figures['corrected'][1]:.2f}")
    assert figures["observed"][0] > 0.5
    assert abs(figures["corrected"][0]) < 0.25 * figures["observed"][0]
    assert figures["corrected"][1] > 1.25 * figures["observed"][1]
