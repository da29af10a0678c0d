"""nuc_to_num against a NumPy lookup-table conversion, timed in one run.

Two regimes: many calls on 1 kbp texts (the cost per call counts) and one
call on a 10 Mbp text (memory-bound).  Prints time per call and the ratio
baseline / nuc_to_num (above 1 means nuc_to_num is faster).
"""

import random
import time

import numpy as np

from corlap.utils.sequences import nuc_to_num

TABLE = np.full(256, 4, dtype=np.int64)
for letters, code in (("Aa", 0), ("Tt", 1), ("Cc", 2), ("Gg", 3)):
    for letter in letters:
        TABLE[ord(letter)] = code


def numpy_lookup(text):
    return TABLE[np.frombuffer(text.encode("latin-1"), np.uint8)]


def best_time(function, texts, repeats):
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        for text in texts:
            function(text)
        best = min(best, time.perf_counter() - started)
    return best / len(texts)


def main():
    rng = random.Random(1)
    small = ["".join(rng.choices("ACGTN", weights=[30, 30, 20, 20, 1], k=1000))
             for _ in range(2000)]
    large = ["".join(rng.choices("ACGTacgtN", k=10_000_000))]
    for text in small[:10] + large:
        assert np.array_equal(nuc_to_num(text), numpy_lookup(text))

    print(f"{'regime':<22}{'nuc_to_num':>14}{'numpy lookup':>16}{'ratio':>9}")
    ratios = {}
    for label, texts, repeats in (("2000 x 1 kbp", small, 7), ("1 x 10 Mbp", large, 7)):
        ours = best_time(nuc_to_num, texts, repeats)
        base = best_time(numpy_lookup, texts, repeats)
        ratios[label] = base / ours
        print(f"{label:<22}{ours * 1e6:>11.2f} us{base * 1e6:>13.2f} us{base / ours:>8.2f}x")
    for label, ratio in ratios.items():
        verdict = "faster" if ratio > 1 else "SLOWER"
        print(f"nuc_to_num is {ratio:.2f}x {verdict} than the NumPy lookup ({label})")


if __name__ == "__main__":
    main()
