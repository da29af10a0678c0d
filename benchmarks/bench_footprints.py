"""``corlap footprints`` against what it builds on, as same-run ratios.

1. The footprint track of a 100 Mbp genome (half width 10, flanks of 30)
   against ``corlap score`` of the same genome with a PWM of length 10,
   forward strand (and both strands), to bigWig in 1 Mbp chunks, all in
   this one process.  The signal is that very score track.  Target: the footprint
   track within 1x the time of the scores.
2. The table of 1,000,000 sites (12 bp wide, random strands, background of
   10,000) against reading each site's window (the site and its flanks)
   with pyBigWig, one call per site, in one process.  Target: within 3x.

Each figure is the best of BENCH_RUNS runs (default 2).  BENCH_FOOTPRINTS_MBP
and BENCH_FOOTPRINTS_SITES change the genome size and the number of sites.
"""
from __future__ import annotations

import os
import pathlib
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
os.environ.setdefault("BENCH_TRACKS_MBP", os.environ.get("BENCH_FOOTPRINTS_MBP", "100"))
from bench_tracks import make_genome  # noqa: E402

from corlap import footprints, tracks  # noqa: E402
from corlap.bed import Site  # noqa: E402
from corlap.models import save_model  # noqa: E402
from corlap.training import train_model  # noqa: E402

RUNS = int(os.environ.get("BENCH_RUNS", "2"))
SITES = int(os.environ.get("BENCH_FOOTPRINTS_SITES", "1000000"))
FLANK, WIDTH = footprints.DEFAULT_FLANK, 12


def best(function) -> tuple[float, float]:
    """The least wall and the least CPU seconds (of this process, which
    does all the work) of RUNS runs: a shared machine's load stretches the
    first much more than the second."""
    walls, cpus = [], []
    for _ in range(RUNS):
        wall, cpu = time.perf_counter(), time.process_time()
        function()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return min(walls), min(cpus)


def ratio(label: str, ours, theirs, target: float) -> None:
    print(f"{label}: {ours[0]:.2f} s against {theirs[0]:.2f} s, {ours[0] / theirs[0]:.2f}x "
          f"wall; {ours[1]:.2f} s against {theirs[1]:.2f} s, {ours[1] / theirs[1]:.2f}x CPU "
          f"(target <= {target:g}x)")


def pwm10(directory, fasta, lengths) -> pathlib.Path:
    rng = np.random.default_rng(21)
    names = list(lengths)
    sites = [Site(names[int(rng.integers(len(names)))], int(p), int(p) + 1,
                  "+-"[int(rng.integers(2))])
             for p in rng.integers(1_000, min(lengths.values()) - 1_000, 2_000)]
    model, _ = train_model(fasta, sites, "PWM", 10, background=5_000, seed=2)
    save_model(model, directory / "pwm10.npz")
    return directory / "pwm10.npz"


def write_sites_bed(path, lengths) -> list[tuple[str, int, int]]:
    rng = np.random.default_rng(5)
    names = list(lengths)
    chroms = rng.integers(len(names), size=SITES)
    windows = []
    with open(path, "w") as stream:
        for k, (c, u, strand) in enumerate(zip(chroms.tolist(), rng.random(SITES).tolist(),
                                               rng.integers(2, size=SITES).tolist())):
            chrom = names[c]
            start = int(u * (lengths[chrom] - WIDTH))
            stream.write(f"{chrom}\t{start}\t{start + WIDTH}\tsite{k}\t0\t{'+-'[strand]}\n")
            windows.append((chrom, start, start + WIDTH))
    return windows


def read_windows(signal, windows, lengths) -> None:
    import pyBigWig

    handle = pyBigWig.open(str(signal))
    for chrom, start, end in windows:
        handle.values(chrom, max(start - FLANK, 0), min(end + FLANK, lengths[chrom]),
                      numpy=True)
    handle.close()


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        directory = pathlib.Path(tmp)
        fasta, lengths = make_genome(directory)
        model = pwm10(directory, fasta, lengths)
        signal = directory / "signal.bw"
        tracks.write_tracks(fasta, model, forward=signal)
        total = sum(lengths.values())
        print(f"genome: {total / 1e6:.1f} Mbp; signal: the forward score track of a PWM of "
              f"length 10; everything in this one process")

        scored = best(lambda: tracks.write_tracks(fasta, model, forward=directory / "f.bw"))
        track = best(lambda: footprints.write_track(signal, directory / "fp.bw"))
        ratio("1. footprint track against score (PWM 10, one strand)", track, scored, 1)
        both = best(lambda: tracks.write_tracks(fasta, model, forward=directory / "f.bw",
                                                reverse=directory / "r.bw"))
        ratio("   footprint track against score (PWM 10, both strands)", track, both, 1)

        bed = directory / "sites.bed"
        windows = write_sites_bed(bed, lengths)
        baseline = best(lambda: read_windows(signal, windows, lengths))
        table = best(lambda: footprints.write_sites(signal, bed, directory / "sites.tsv"))
        ratio(f"2. table of {SITES:,} sites against reading their windows with pyBigWig",
              table, baseline, 3)


if __name__ == "__main__":
    main()
