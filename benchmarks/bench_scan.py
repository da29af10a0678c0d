"""``corlap scan`` against MOODS, as same-run ratios.

50 JASPAR-style motifs of our own (lengths 6 to 21, written to a JASPAR
file) over a 20 Mbp genome (GC 41 %, a few N runs, motif instances
planted), both strands, p = 1e-4, the background given (the same four
numbers for both):

1. ``scan.write_sites`` in this one process (reading the FASTA, thresholds,
   scanning, writing the BED file) against ``MOODS.scan.scan_dna`` with all
   100 matrices (both strands) at once and the same thresholds, on the
   sequences already in memory (its reading and thresholds not counted).
   Target: within 1x.  The hits must be the same.
2. The same job on 2 worker processes against 1.  Target: at least 1.6x.

Each figure is the best of BENCH_RUNS runs (default 2).  BENCH_SCAN_MBP
changes the genome size.  Needs MOODS-python for 1.
"""
from __future__ import annotations

import os
import pathlib
import sys
import tempfile
import time

import numpy as np

from corlap import _lifecycle, motifs, scan

RUNS = int(os.environ.get("BENCH_RUNS", "2"))
MBP = float(os.environ.get("BENCH_SCAN_MBP", "20"))
MOTIFS = 50
P_VALUE = 1e-4
BACKGROUND = (0.295, 0.205, 0.205, 0.295)


def make_motifs(path: pathlib.Path, rng) -> list[motifs.Motif]:
    """Motifs shaped as those of a database: a core of telling columns and
    weaker ones at the edges, counts of a few dozen sites."""
    with open(path, "w") as stream:
        for k in range(MOTIFS):
            length = int(rng.integers(6, 22))
            sites = int(rng.integers(20, 400))
            edge = np.minimum(np.arange(length), np.arange(length)[::-1])
            strength = np.where(edge < 2, 0.8, rng.choice([0.1, 0.3, 1.0], length))
            rows = [rng.multinomial(sites, rng.dirichlet(np.full(4, s))) for s in strength]
            counts = np.array(rows).T
            stream.write(f">MB{k:04d}.1 factor{k}\n")
            for base, row in zip("ACGT", counts):
                stream.write(f"{base} [ {' '.join(str(int(c)) for c in row)} ]\n")
    return motifs.read_motifs([path])


def make_genome(path: pathlib.Path, rng, found) -> list[str]:
    chromosomes = 4
    size = int(MBP * 1_000_000 / chromosomes)
    texts = []
    with open(path, "w") as stream:
        for k in range(chromosomes):
            codes = rng.choice(4, size, p=BACKGROUND).astype(np.uint8)
            # Instances of the motifs, about one per 2 kbp.
            for at in rng.integers(0, size - 30, size // 2000):
                motif = found[int(rng.integers(len(found)))]
                p = motif.counts / motif.counts.sum(axis=1, keepdims=True)
                codes[at:at + motif.length] = [rng.choice(4, p=row) for row in p]
            text = bytearray(np.frombuffer(b"ACGT", dtype=np.uint8)[codes].tobytes())
            for at in rng.integers(0, size - 5_000, 3):
                text[at:at + int(rng.integers(100, 5_000))] = b"N" * 5_000
            text = bytes(text[:size])
            texts.append(text.decode())
            stream.write(f">chr{k + 1}\n")
            for at in range(0, len(text), 60):
                stream.write(text[at:at + 60].decode() + "\n")
    return texts


def moods_hits(texts, prepared) -> int:
    import MOODS.scan

    matrices, thresholds = [], []
    for scores in prepared:
        if scores.threshold is None:
            continue
        for table in (scores.table, motifs.reverse_complement(scores.table)):
            matrices.append([list(map(float, row)) for row in table.T])
            thresholds.append(scores.threshold)
    hits = 0
    for text in texts:
        results = MOODS.scan.scan_dna(text, matrices, list(BACKGROUND), thresholds, 7)
        hits += sum(len(found) for found in results)
    return hits


def main() -> None:
    rng = np.random.default_rng(36)
    with tempfile.TemporaryDirectory() as tmp:
        directory = pathlib.Path(tmp)
        found = make_motifs(directory / "motifs.jaspar", rng)
        texts = make_genome(directory / "genome.fa", rng, found)
        fasta, out = directory / "genome.fa", directory / "sites.bed"
        scan.genome_lengths(fasta)  # the index, made once
        print(f"genome: {MBP:g} Mbp; {MOTIFS} motifs of lengths "
              f"{min(m.length for m in found)} to {max(m.length for m in found)}, both "
              f"strands, p = {P_VALUE:g}; on a shared machine")

        def ours(executor=None):
            return scan.write_sites(fasta, [directory / "motifs.jaspar"], out,
                                    background=BACKGROUND, p_value=P_VALUE,
                                    executor=executor).hits

        try:
            import MOODS.scan  # noqa: F401
        except ImportError:
            moods = None
            print("   MOODS-python is not installed: no comparison")
        else:
            prepared = scan.prepare_motifs(found, np.array(BACKGROUND), p_value=P_VALUE)
            moods = lambda: moods_hits(texts, prepared)  # noqa: E731
        # Both take turns, run by run, so that a change in the machine's
        # load falls on both alike; CPU seconds of this process as well
        # (it does all the work), which the load stretches far less.
        walls: dict[str, list[float]] = {"ours": [], "moods": []}
        cpus: dict[str, list[float]] = {"ours": [], "moods": []}
        counts = {}
        for _ in range(RUNS):
            for name, function in (("ours", ours), ("moods", moods)):
                if function is None:
                    continue
                wall, cpu = time.perf_counter(), time.process_time()
                counts[name] = function()
                walls[name].append(time.perf_counter() - wall)
                cpus[name].append(time.process_time() - cpu)
        one, hits = min(walls["ours"]), counts["ours"]
        print(f"1. corlap scan, one process: {one:.2f} s ({min(cpus['ours']):.2f} s CPU), "
              f"{hits:,} hits, {hits / one:,.0f} hits/s, {MBP / one:.1f} Mbp/s")
        if moods is not None:
            theirs = min(walls["moods"])
            print(f"   MOODS scan_dna, all matrices at once: {theirs:.2f} s "
                  f"({min(cpus['moods']):.2f} s CPU), {counts['moods']:,} hits, "
                  f"{counts['moods'] / theirs:,.0f} hits/s")
            print(f"   ratio corlap / MOODS: {one / theirs:.2f}x wall, "
                  f"{min(cpus['ours']) / min(cpus['moods']):.2f}x CPU (target <= 1x); hits "
                  f"differing: {abs(hits - counts['moods'])} (scores equal to the threshold "
                  f"in other last bits)")

        # The pools take turns, run by run, so that a change in the machine's
        # load falls on both alike.
        _lifecycle.start_forkserver()
        pools = {workers: _lifecycle.WorkerPool(workers) for workers in (1, 2)}
        try:
            for pool in pools.values():
                ours(pool)  # workers started and warm
            times: dict[int, list[float]] = {1: [], 2: []}
            for _ in range(RUNS):
                for workers, pool in pools.items():
                    times[workers].append(best_of_one(lambda: ours(pool)))
        finally:
            for pool in pools.values():
                pool.stop()
        one_worker, two_workers = min(times[1]), min(times[2])
        print(f"2. 1 worker process: {one_worker:.2f} s; 2: {two_workers:.2f} s; "
              f"{one_worker / two_workers:.2f}x (target >= 1.6x); load average "
              f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


def best_of_one(function) -> float:
    wall = time.perf_counter()
    function()
    return time.perf_counter() - wall


if __name__ == "__main__":
    sys.exit(main())
