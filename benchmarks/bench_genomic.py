"""Speed of GenomicSequence.from_fasta and get_gc_content, as ratios against
baselines timed in the same run.

Data: the phage lambda genome of tests/data, cut into 1 kbp pieces that are
shuffled with a fixed seed and joined again, so the text has the base
composition of real DNA (lower-case and N included) without repeating with a
short period.

1. from_fasta on a 10 Mbp region (text served by an in-memory FASTA object, so
   both sides start from the same str) against nuc_to_num followed by a NumPy
   reverse complement (complement lookup, then a reversed copy).  Target:
   baseline / from_fasta >= 2.
2. get_gc_content over 10,000 regions of 200 bp of a ~4.9 Mbp FASTA file
   (4 records, written to a temporary directory) against the fetch calls
   alone, made in a Python loop through one object of the same open_fasta.
   Target: get_gc_content / fetch loop <= 1.25.
"""

import pathlib
import random
import statistics
import sys
import tempfile
import time

import numpy as np

from corlap.utils import sequences
from corlap.utils.fasta import open_fasta

DATA = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "lambda_phage.fa"
REPEATS = 7


def lambda_text():
    lines = DATA.read_text().splitlines()
    return "".join(line.strip() for line in lines[1:])


def shuffled_genome(length, rng):
    genome = lambda_text()
    pieces = [genome[i:i + 1000] for i in range(0, len(genome), 1000)]
    out = []
    size = 0
    while size < length:
        rng.shuffle(pieces)
        out.extend(pieces)
        size += len(genome)
    return "".join(out)[:length]


class Region:
    __slots__ = ("chrom", "start", "end")

    def __init__(self, chrom, start, end):
        self.chrom, self.start, self.end = chrom, start, end


class TextSource:
    """A FASTA object whose only record is held in memory."""

    def __init__(self, text):
        self.text = text

    def fetch(self, chrom, start, end):
        return self.text[start:end]


def best_times(candidates):
    """Times each callable REPEATS times, interleaved; best and median."""
    samples = {name: [] for name in candidates}
    for _ in range(REPEATS):
        for name, run in candidates.items():
            t0 = time.perf_counter()
            run()
            samples[name].append(time.perf_counter() - t0)
    return {name: (min(s), statistics.median(s)) for name, s in samples.items()}


def bench_from_fasta(rng):
    length = 10_000_000
    text = shuffled_genome(length, rng)
    source = TextSource(text)
    region = Region("chrS", 0, length)
    complement = np.array([1, 0, 3, 2, 4], dtype=np.int64)

    def ours():
        return sequences.GenomicSequence(region).from_fasta(source)

    def baseline():
        forward = sequences.nuc_to_num(text)
        return forward, complement[forward][::-1].copy()

    filled = ours()
    forward, reverse = baseline()
    assert np.array_equal(filled.sequence, forward)
    assert np.array_equal(filled.revcomp, reverse)
    del filled, forward, reverse

    times = best_times({"from_fasta": ours, "nuc_to_num + numpy revcomp": baseline})
    ratio = times["nuc_to_num + numpy revcomp"][0] / times["from_fasta"][0]
    print_times("from_fasta, 10 Mbp region", times)
    print(f"  speed-up (best/best): {ratio:.2f}x   target >= 2x: "
          f"{'MET' if ratio >= 2 else 'NOT MET'}")
    return ratio >= 2


def print_times(title, times):
    print(title)
    for name, (best, median) in times.items():
        print(f"  {name:30s} best {best * 1e3:8.2f} ms   median {median * 1e3:8.2f} ms")


def write_fasta(path, records):
    with open(path, "w") as out:
        for name, text in records:
            out.write(f">{name}\n")
            for i in range(0, len(text), 60):
                out.write(text[i:i + 60] + "\n")


def bench_gc_content(rng):
    genome = shuffled_genome(4 * 1_212_550, rng)
    records = [(f"chr{k + 1}", genome[k * 1_212_550:(k + 1) * 1_212_550]) for k in range(4)]
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "shuffled_lambda.fa"
        write_fasta(path, records)
        regions = []
        for _ in range(10_000):
            name, text = records[rng.randrange(len(records))]
            start = rng.randrange(len(text) - 200)
            regions.append(Region(name, start, start + 200))

        by_name = dict(records)
        expected_gc = sum(
            sum(ch in "GgCc" for ch in by_name[r.chrom][r.start:r.end]) for r in regions)
        got = sequences.get_gc_content(regions, str(path))  # also builds the index
        assert got == expected_gc / float(200 * len(regions)), (got, expected_gc)

        fasta = open_fasta(str(path))

        def fetch_only():
            for region in regions:
                fasta.fetch(region.chrom, region.start, region.end)

        def ours():
            return sequences.get_gc_content(regions, str(path))

        times = best_times({"get_gc_content": ours, "fetch calls alone": fetch_only})
        fasta.close()
    ratio = times["get_gc_content"][0] / times["fetch calls alone"][0]
    median_ratio = times["get_gc_content"][1] / times["fetch calls alone"][1]
    print_times("get_gc_content, 10,000 regions of 200 bp, 4.85 Mbp FASTA file", times)
    print(f"  time ratio (best/best): {ratio:.3f}   (median/median: {median_ratio:.3f})   "
          f"target <= 1.25: {'MET' if ratio <= 1.25 else 'NOT MET'}")
    return ratio <= 1.25


def main():
    rng = random.Random(20240611)
    met = [bench_from_fasta(rng), bench_gc_content(rng)]
    print("all targets met" if all(met) else "some target NOT met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
