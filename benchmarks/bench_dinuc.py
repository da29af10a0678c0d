"""Dinucleotide model speed.

1. score_sequence, window length 12, on 1 Mbp of random sequence: ns per
   window, and the ratio to the floor, the time of the window's 8 * L pow and
   2 * L log2 calls alone (benchmarks/dinuc_floor.cpp, compiled here with
   g++ -O2 -ffp-contract=off).  Target: within 1.5x of the floor.
2. The same windows scored by the plain Python loops (on a short sequence,
   scaled per window), to show the gain.
3. The pair-table step of prepare_mat at length 20: the plain item-by-item
   Python loop against the whole native prepare_mat.  Target: >= 50x.
"""
import math
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

from corlap.utils.sequences import DiNucleotideMatrix

HERE = pathlib.Path(__file__).resolve().parent


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


def main():
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
