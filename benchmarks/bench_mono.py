"""Mononucleotide window scoring against NumPy and Biopython.

Scores a 2 Mbp random sequence with a 20-column log-odds table three ways:

  corlap    NucleotideMatrix.score_sequence
  numpy     sliding_window_view + fancy indexing + sum
  biopython Bio.motifs PositionSpecificScoringMatrix.calculate (skipped when
            Biopython is not installed)

checks that the three agree where all are defined, and prints the speed-up of
corlap over each (best of several runs; target: at least 10x).
"""

import statistics
import sys
import time

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

from corlap.utils.sequences import NucleotideMatrix, nuc_to_num

SEQUENCE_LENGTH = 2_000_000
WINDOW = 20
TARGET = 10.0
REPEATS = 7


def best_time(function, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def make_model(rng):
    model = NucleotideMatrix(WINDOW)
    for _ in range(200):
        site = rng.choice(4, size=WINDOW, p=[0.4, 0.1, 0.1, 0.4])
        model.add_sequence(site)
    for _ in range(200):
        model.add_background(rng.integers(0, 4, WINDOW))
    model.prepare_mat()
    return model


def numpy_scores(pssm, codes):
    windows = sliding_window_view(codes, pssm.shape[1])
    return pssm[windows, np.arange(pssm.shape[1])].sum(axis=1)


def main():
    rng = np.random.default_rng(20240611)
    model = make_model(rng)
    text = "".join(rng.choice(list("ACGT"), size=SEQUENCE_LENGTH))
    codes = nuc_to_num(text)
    pssm = model.pssm
    centre = WINDOW // 2
    n_windows = SEQUENCE_LENGTH - WINDOW + 1

    ours = model.score_sequence(codes)
    reference = numpy_scores(pssm, codes)
    numpy_agree = bool(np.allclose(ours[centre:centre + n_windows], reference)
                       and np.isnan(ours[:centre]).all()
                       and np.isnan(ours[centre + n_windows:]).all())
    print(f"numpy agrees with corlap: {numpy_agree}")
    agree = numpy_agree

    results = []
    corlap_best, corlap_median = best_time(lambda: model.score_sequence(codes))
    numpy_best, numpy_median = best_time(lambda: numpy_scores(pssm, codes), repeats=3)
    results.append(("numpy sliding_window_view", numpy_best, numpy_median))

    try:
        from Bio.motifs.matrix import PositionSpecificScoringMatrix
    except ImportError as error:
        print(f"biopython: skipped (cannot import Bio.motifs: {error})")
    else:
        # Biopython orders the letters A, C, G, T; our rows are A, T, C, G.
        rows = {"A": 0, "C": 2, "G": 3, "T": 1}
        bio_pssm = PositionSpecificScoringMatrix(
            "ACGT", {letter: list(pssm[row]) for letter, row in rows.items()})
        data = text.encode("ascii")
        bio = bio_pssm.calculate(data)
        # Biopython keeps float32 scores: compare at that precision.
        bio_agree = np.allclose(ours[centre:centre + n_windows], bio, rtol=1e-5, atol=1e-4)
        print(f"biopython agrees with corlap: {bool(bio_agree)}")
        agree &= bio_agree
        bio_best, bio_median = best_time(lambda: bio_pssm.calculate(data), repeats=3)
        results.append(("biopython PSSM.calculate", bio_best, bio_median))

    print(f"scoring {SEQUENCE_LENGTH:,} bp with a {WINDOW}-column table")
    print(f"  corlap score_sequence       best {corlap_best * 1e3:8.2f} ms  "
          f"median {corlap_median * 1e3:8.2f} ms")
    met_all = agree
    for name, best, median in results:
        ratio = best / corlap_best
        met = ratio >= TARGET
        met_all &= met
        print(f"  {name:27s} best {best * 1e3:8.2f} ms  median {median * 1e3:8.2f} ms"
              f"  -> corlap {ratio:6.1f}x faster "
              f"({'target met' if met else 'TARGET NOT MET'}: >= {TARGET:.0f}x)")
    print("all agree:", "yes" if agree else "NO")
    print("mono benchmark:", "all targets met" if met_all else "some targets NOT met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
