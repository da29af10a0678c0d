"""Dinucleotide model speed.

1. score_sequence, window length 12, on 1 Mbp of random sequence, with the
   reuse of repeated windows switched off: ns per window, and the ratio to the floor, the time of the window's 8 * L pow and
   2 * L log2 calls alone (benchmarks/dinuc_floor.cpp, compiled here with
   g++ -O2 -ffp-contract=off).  Target: within 1.5x of the floor.
2. The same windows scored by the plain Python loops (on a short sequence,
   scaled per window), to show the gain.
3. The pair-table step of prepare_mat at length 20: the plain item-by-item
   Python loop against the whole native prepare_mat.  Target: >= 50x.
4. Genome scale: scoring reuses the scores of windows already seen (kept
   between calls while the tables stay the same).  On genome-like sequences
   (see genome_like) the wall time is compared with the floor for every
   window and with the scorer with reuse switched off (CORLAP_DWM_MEMO_MIB=0):
   - 20 Mbp at length 10 (target: >= 12x faster than the floor),
   - 100 Mbp at length 12 (target: >= 4x),
   - 10,000 calls on 1 kbp regions of one 20 Mbp sequence, length 10
     (target: >= 5x),
   - where reuse cannot pay, 100 kbp at length 12 and 300 kbp at length 16
     (target: within 3 % of the scorer without reuse).
   Each timed run with reuse starts from an empty memo (best of two).  The
   floor and the scorer without reuse are timed on a part of each sequence
   and scaled per window.

   `python benchmarks/bench_dinuc.py --genome` runs only this part.
"""
import os
import math
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

from corlap.utils.sequences import DiNucleotideMatrix

HERE = pathlib.Path(__file__).resolve().parent
MEMO = "CORLAP_DWM_MEMO_MIB"  # MiB kept for reuse of repeated windows; "0": none


def best_time(function, repeats):
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def trained_model(length, rng):
    model = DiNucleotideMatrix(length)
    for _ in range(300):
        model.add_sequence(rng.integers(0, 4, length))
        model.add_background(rng.integers(0, 4, length))
    model.prepare_mat()
    return model


def floor_ns_per_window(length, windows):
    with tempfile.TemporaryDirectory() as tmp:
        binary = pathlib.Path(tmp) / "dinuc_floor"
        subprocess.run(["g++", "-O2", "-ffp-contract=off", "-o", str(binary),
                        str(HERE / "dinuc_floor.cpp")], check=True)
        out = subprocess.run([str(binary), str(length), str(windows), "5"], check=True,
                             capture_output=True, text=True).stdout
    return float(out.split()[0])


def python_scores(model, codes):
    """The scoring loops as plain Python."""
    length = int(model.length)
    centre = int(length / 2)
    sides = [(model.bg_pwm_log.tolist(), model.bg_dwm_log.tolist()),
             (model.bias_pwm_log.tolist(), model.bias_dwm_log.tolist())]
    scores = [math.nan] * len(codes)
    for i in range(len(codes) - length + 1):
        sums = [0.0, 0.0]
        unknown = False
        for m in range(length):
            sm = codes[i + m]
            if sm > 3:
                unknown = True
                continue
            for k, (pwm, dwm) in enumerate(sides):
                normaliser = 0.0
                for a in range(4):
                    prod_log = 0.0
                    for n in range(length):
                        if n != m:
                            prod_log = prod_log + (dwm[codes[i + n]][a][n][m] - pwm[a][m])
                    normaliser = normaliser + math.pow(2.0, pwm[a][m] + prod_log)
                cond_log = 0.0
                for n in range(length):
                    if n != m:
                        cond_log = cond_log + (dwm[codes[i + n]][sm][n][m] - pwm[sm][m])
                sums[k] = sums[k] + ((cond_log + pwm[sm][m]) - math.log2(normaliser))
        if not unknown:
            scores[i + centre] = sums[1] - sums[0]
    return scores


def python_pair_tables(model):
    """The pair-table step as plain item-by-item Python."""
    length = model.length
    pseudo_bias = model.no_bias if model.no_bias > 16 else 16
    pseudo_bg = model.no_bg if model.no_bg > 16 else 16
    for m in range(length):
        for n in range(length):
            for sm in range(5):
                for sn in range(5):
                    model.bias_dwm[sm, sn, m, n] = (
                        model.counts[sm, sn, m, n]
                        + pseudo_bias * model.bias_pwm[sn, n] * model.bias_pwm[sm, m]
                    ) / float(model.no_bias + pseudo_bias)
                    model.bg_dwm[sm, sn, m, n] = (
                        model.bg_counts[sm, sn, m, n]
                        + pseudo_bg * model.bg_pwm[sn, n] * model.bg_pwm[sm, m]
                    ) / float(model.no_bg + pseudo_bg)


def numpy_steps(model):
    """The whole-array steps of prepare_mat (everything but the pair tables)."""
    length = model.length
    for counts, total, pwm in (("counts", "no_bias", "bias_pwm"),
                               ("bg_counts", "no_bg", "bg_pwm")):
        cm = np.sum(getattr(model, counts), axis=(0, 2)) / float(length)
        setattr(model, total, np.mean(np.sum(cm[:4, :], axis=0)))
        setattr(model, pwm, np.true_divide(cm + 1, getattr(model, total) + 4))
    model.pssm = np.log2(np.true_divide(model.bias_pwm, model.bg_pwm))
    model.bias_pwm_log = np.log2(model.bias_pwm)
    model.bg_pwm_log = np.log2(model.bg_pwm)
    model.bias_dwm_log = np.log2(model.bias_dwm)
    model.bg_dwm_log = np.log2(model.bg_dwm)


def verdict(met):
    return "target met" if met else "TARGET NOT MET"


def per_window_scores():
    # The arithmetic of each window: reuse off, or repeated runs would be
    # served from the memo.
    os.environ[MEMO] = "0"
    rng = np.random.default_rng(2024)
    length = 12
    model = trained_model(length, rng)
    genome = rng.integers(0, 4, 1_000_000)
    windows = genome.size - length + 1

    seconds = best_time(lambda: model.score_sequence(genome), 5)
    native_ns = seconds * 1e9 / windows
    floor_ns = floor_ns_per_window(length, 200_000)
    floor_ratio = native_ns / floor_ns

    short = genome[:150].tolist()
    python_seconds = best_time(lambda: python_scores(model, short), 2)
    python_ns = python_seconds * 1e9 / (len(short) - length + 1)
    assert np.array_equal(np.array(python_scores(model, short)),
                          model.score_sequence(genome[:150]), equal_nan=True)

    pair_model = trained_model(20, rng)
    items_seconds = best_time(lambda: python_pair_tables(pair_model), 3)
    native_seconds = best_time(pair_model.prepare_mat, 30)
    numpy_seconds = best_time(lambda: numpy_steps(pair_model), 30)
    pair_ratio = items_seconds / native_seconds
    pair_only = max(native_seconds - numpy_seconds, 1e-7)

    print(f"score_sequence, length {length}, {genome.size:,} bp")
    print(f"  native:            {native_ns:9.1f} ns/window")
    print(f"  floor (pow+log2):  {floor_ns:9.1f} ns/window "
          f"({8 * length} pow + {2 * length} log2)")
    print(f"  ratio to floor:    {floor_ratio:9.2f}x  (target <= 1.5x: "
          f"{verdict(floor_ratio <= 1.5)})")
    print(f"  plain Python:      {python_ns:9.0f} ns/window "
          f"-> native is {python_ns / native_ns:,.0f}x faster")
    print("prepare_mat pair tables, length 20")
    print(f"  item-by-item Python: {items_seconds * 1e3:8.2f} ms")
    print(f"  whole native prepare_mat: {native_seconds * 1e3:8.3f} ms")
    print(f"  ratio to whole prepare_mat: {pair_ratio:6.0f}x  (target >= 50x: "
          f"{verdict(pair_ratio >= 50)})")
    print(f"  native pair step alone (prepare_mat minus its NumPy steps): "
          f"~{pair_only * 1e3:.3f} ms, ~{items_seconds / pair_only:.0f}x")
    os.environ.pop(MEMO, None)


# ---------------------------------------------------------------------------
# Genome scale.


def genome_like(rng, size, families=6, repeat_share=0.4, divergence=0.12):
    """A genome-like code sequence of `size` bases.

    - Uniform random bases (A, T, C, G = 0, 1, 2, 3).
    - `families` repeat families, random units of 300 to 6,000 bases.  Copies
      cover `repeat_share` of the sequence: each copy is a random stretch of
      a random family (at least 100 bases) at a random place, each base
      replaced by a random one with probability `divergence`.
    - One poly-A run of 2,000 bases in the middle.
    - A few N codes (4): 20 runs of 100 and 200 single ones.
    """
    codes = rng.integers(0, 4, size, dtype=np.int64)
    units = [rng.integers(0, 4, rng.integers(300, 6001), dtype=np.int64)
             for _ in range(families)]
    covered = 0
    while covered < repeat_share * size:
        unit = units[rng.integers(families)]
        piece = rng.integers(100, len(unit) + 1)
        first = rng.integers(0, len(unit) - piece + 1)
        copy = unit[first:first + piece].copy()
        mutated = rng.random(piece) < divergence
        copy[mutated] = rng.integers(0, 4, mutated.sum())
        at = rng.integers(0, size - piece)
        codes[at:at + piece] = copy
        covered += piece
    codes[size // 2:size // 2 + 2000] = 0
    for at in rng.integers(0, size - 100, 20):
        codes[at:at + 100] = 4
    codes[rng.integers(0, size, 200)] = 4
    return codes


def timed(function, budget=None):
    """Seconds of one call; budget "0" switches reuse off, None leaves it on.
    A scoring call with reuse off also frees the memo, so the next call with
    reuse starts empty."""
    if budget is None:
        os.environ.pop(MEMO, None)
    else:
        os.environ[MEMO] = budget
    try:
        start = time.perf_counter()
        function()
        return time.perf_counter() - start
    finally:
        os.environ.pop(MEMO, None)


def cold(model, function):
    """Seconds of `function` with reuse, from an empty memo."""
    timed(lambda: model.score_sequence(np.zeros(model.length, dtype=np.int64)), "0")
    return timed(function)


def plain_ns_per_window(model, genome, windows):
    part = genome[:windows]
    return min(timed(lambda: model.score_sequence(part), "0") for _ in range(2)) \
        * 1e9 / (windows - model.length + 1)


def long_sequence(rng, floors, length, size, target):
    model = trained_model(length, rng)
    genome = genome_like(rng, size)
    windows = size - length + 1
    seconds = min(cold(model, lambda: model.score_sequence(genome)) for _ in range(2))
    plain_ns = plain_ns_per_window(model, genome, 100_000 if length < 12 else 60_000)
    memo_ns = seconds * 1e9 / windows
    ratio = floors[length] / memo_ns
    print(f"  {size / 1e6:5.0f} Mbp, length {length}: {memo_ns:7.1f} ns/window; "
          f"floor {floors[length]:6.0f}, no reuse {plain_ns:6.0f} -> "
          f"{ratio:5.1f}x faster than the floor, {plain_ns / memo_ns:5.1f}x than no reuse "
          f"(target >= {target}x: {verdict(ratio >= target)})")


def many_regions(rng, floors, length=10, size=20_000_000, calls=10_000, region=1_000):
    model = trained_model(length, rng)
    genome = genome_like(rng, size)
    starts = rng.integers(0, size - region, calls)
    regions = [genome[s:s + region] for s in starts]

    def score_all():
        for codes in regions:
            model.score_sequence(codes)

    seconds = min(cold(model, score_all) for _ in range(2))
    windows = calls * (region - length + 1)
    sample = regions[:300]
    plain = min(timed(lambda: [model.score_sequence(c) for c in sample], "0")
                for _ in range(2)) / len(sample) * calls
    floor_seconds = floors[length] * windows * 1e-9
    ratio = floor_seconds / seconds
    print(f"  {calls:,} calls on {region:,} bp regions of {size / 1e6:.0f} Mbp, length "
          f"{length}: {seconds:6.2f} s; floor {floor_seconds:6.2f} s, no reuse {plain:6.2f} s "
          f"-> {ratio:5.1f}x faster than the floor, {plain / seconds:5.1f}x than no reuse "
          f"(target >= 5x: {verdict(ratio >= 5)})")


def no_gain(rng, length, size, repeats=5):
    model = trained_model(length, rng)
    genome = genome_like(rng, size)
    memo = plain = math.inf
    for _ in range(repeats):
        plain = min(plain, timed(lambda: model.score_sequence(genome), "0"))
        memo = min(memo, timed(lambda: model.score_sequence(genome)))
    change = memo / plain - 1
    print(f"  {size / 1e3:5.0f} kbp, length {length}: reuse {memo * 1e3:7.1f} ms, without "
          f"{plain * 1e3:7.1f} ms -> {change * 100:+5.1f} % "
          f"(target within 3 %: {verdict(change <= 0.03)})")


def genome_scale():
    rng = np.random.default_rng(7)
    floors = {length: floor_ns_per_window(length, 100_000) for length in (10, 12, 16)}
    print("genome scale, reuse of windows already seen (each run from an empty memo)")
    long_sequence(rng, floors, 10, 20_000_000, 12)
    long_sequence(rng, floors, 12, 100_000_000, 4)
    many_regions(rng, floors)
    no_gain(rng, 12, 100_000)
    no_gain(rng, 16, 300_000)


def main():
    if "--genome" not in sys.argv[1:]:
        per_window_scores()
    genome_scale()
    return 0


if __name__ == "__main__":
    sys.exit(main())
