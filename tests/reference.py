"""Plain Python references for the tests: the nucleotide code rule and the
models' loops written out literally, in Python floats, in the stated order."""

import math

import numpy as np

CODE = {"A": 0, "a": 0, "T": 1, "t": 1, "C": 2, "c": 2, "G": 3, "g": 3}
PAIRED = {"A": "T", "a": "t", "T": "A", "t": "a", "C": "G", "c": "g", "G": "C", "g": "c"}


def codes(text):
    """Code of every character of a text."""
    return [CODE.get(ch, 4) for ch in text]


def reverse_complement_codes(text):
    """Codes of the other strand, read by reversing the text letter by letter."""
    return codes("".join(PAIRED.get(ch, "N") for ch in reversed(text)))


def gc_count(text):
    return sum(1 for ch in text if ch in ("G", "g", "C", "c"))


def same_bits(a, b):
    """Equal shape, NaN at the same places, identical bits everywhere else."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    if a.shape != b.shape or not np.array_equal(np.isnan(a), np.isnan(b)):
        return False
    keep = ~np.isnan(a)
    return np.array_equal(a[keep].view(np.uint64), b[keep].view(np.uint64))


def mono_scores(pssm, sequence):
    """Window sums of a position table by the plain double loop; windows
    holding a code outside 0..3 stay NaN."""
    table = np.asarray(pssm).tolist()
    values = [int(c) for c in sequence]
    window = np.asarray(pssm).shape[1]
    out = [math.nan] * len(values)
    if window == 0:
        return np.array(out)
    for start in range(len(values) - window + 1):
        if any(not 0 <= c <= 3 for c in values[start:start + window]):
            continue
        score = 0.0
        for m in range(window):
            score += table[values[start + m]][m]
        out[start + window // 2] = score
    return np.array(out)


def dinuc_counts(length, sequences_and_amounts):
    """Pair table and total of amounts; sequences with an N code are skipped."""
    table = [[[[0.0] * length for _ in range(length)] for _ in range(5)] for _ in range(5)]
    total = 0
    for seq_codes, amount in sequences_and_amounts:
        if 4 in list(seq_codes[:length]):
            continue
        for m in range(length):
            for n in range(length):
                table[seq_codes[m]][seq_codes[n]][m][n] += amount
        total += amount
    return table, total


def dinuc_prepare(length, counts):
    """Per-position tables through the NumPy steps, pair table item by item."""
    counts_array = np.array(counts, dtype=np.float64).reshape(5, 5, length, length)
    cm = np.sum(counts_array, axis=(0, 2)) / float(length)
    total = np.mean(np.sum(cm[:4, :], axis=0))
    pwm = np.true_divide(cm + 1, total + 4)
    pseudo = total if total > 16 else 16
    denominator = float(total + pseudo)
    p = pwm.tolist()
    dwm = [[[[(counts[sm][sn][m][n] + pseudo * p[sn][n] * p[sm][m]) / denominator
              for n in range(length)] for m in range(length)]
            for sn in range(5)] for sm in range(5)]
    return total, pwm, np.array(dwm, dtype=np.float64).reshape(5, 5, length, length)


def pow2(x):
    try:
        return math.pow(2.0, x)
    except OverflowError:
        return math.inf


def log2(x):
    try:
        return math.log2(x)
    except ValueError:
        return -math.inf if x == 0 else math.nan


def dinuc_scores(length, seq_codes, bias_pwm, bg_pwm, bias_dwm, bg_dwm):
    """The dinucleotide window scores by the literal loops."""
    scores = [math.nan] * len(seq_codes)
    centre = int(length / 2)
    sides = [(np.asarray(bg_pwm).tolist(), np.asarray(bg_dwm).tolist()),
             (np.asarray(bias_pwm).tolist(), np.asarray(bias_dwm).tolist())]
    for i in range(len(seq_codes) - length + 1):
        sums = [0.0, 0.0]
        unknown = False
        for m in range(length):
            sm = seq_codes[i + m]
            if sm > 3:
                unknown = True
                continue
            for k, (pwm, dwm) in enumerate(sides):
                normaliser = 0.0
                for a in range(4):
                    prod_log = 0.0
                    for n in range(length):
                        if n != m:
                            prod_log = prod_log + (dwm[seq_codes[i + n]][a][n][m] - pwm[a][m])
                    normaliser = normaliser + pow2(pwm[a][m] + prod_log)
                cond_log = 0.0
                for n in range(length):
                    if n != m:
                        cond_log = cond_log + (dwm[seq_codes[i + n]][sm][n][m] - pwm[sm][m])
                sums[k] = sums[k] + ((cond_log + pwm[sm][m]) - log2(normaliser))
        if not unknown:
            scores[i + centre] = sums[1] - sums[0]
    return np.array(scores, dtype=np.float64)
