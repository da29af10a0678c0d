"""``corlap footprints`` against what it builds on, as same-run ratios.

1. The footprint track of a 100 Mbp genome (half width 10, flanks of 30)
   against ``corlap score`` of the same genome with a PWM of length 10,
   forward strand (and both strands), to bigWig in 1 Mbp chunks, all in
   this one process.  The signal is that very score track.  Target: the footprint
   track within 1x the time of the scores.
2. Every motif: 1,000,000 sites of 100 motifs (12 to 20 bp wide, random
   strands) in 30,000 regions of 500 bp, the site table, the motifs table
   and a background of 10,000 positions per motif, on 2 workers, against
   one pass of pyBigWig reading the regions' values (one
   ``values(chrom, start, end, numpy=True)`` per region) in one process.
   Target: within 3x.  The signal has a value at every position of a
   60 Mbp genome.
3. 10,000,000 sites of 500 motifs over the same regions, with two
   conditions: wall time and peak memory (of the run's own process, as
   ``ru_maxrss`` of a child process).

Each figure is the best of BENCH_RUNS runs (default 2).  BENCH_FOOTPRINTS_MBP
(part 1), BENCH_FOOTPRINTS_SITES and BENCH_FOOTPRINTS_MANY (parts 2 and 3,
0 leaves a part out) change the sizes; BENCH_FOOTPRINTS_PARTS (default
"123") chooses the parts.
"""
from __future__ import annotations

import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
os.environ.setdefault("BENCH_TRACKS_MBP", os.environ.get("BENCH_FOOTPRINTS_MBP", "100"))

RUNS = int(os.environ.get("BENCH_RUNS", "2"))
SITES = int(os.environ.get("BENCH_FOOTPRINTS_SITES", "1000000"))
MANY = int(os.environ.get("BENCH_FOOTPRINTS_MANY", "10000000"))
PARTS = os.environ.get("BENCH_FOOTPRINTS_PARTS", "123")
REGIONS, REGION_WIDTH, CHROMS, CHROM_LENGTH = 30_000, 500, 30, 2_000_000


def best(function) -> tuple[float, float]:
    """The least wall and the least CPU seconds (of this process and its
    finished children) of RUNS runs: a shared machine's load stretches the
    first much more than the second."""
    walls, cpus = [], []
    for _ in range(RUNS):
        wall, cpu = time.perf_counter(), _cpu()
        function()
        walls.append(time.perf_counter() - wall)
        cpus.append(_cpu() - cpu)
    return min(walls), min(cpus)


def _cpu() -> float:
    own, children = (resource.getrusage(who) for who in (resource.RUSAGE_SELF,
                                                         resource.RUSAGE_CHILDREN))
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def ratio(label: str, ours, theirs, target: float) -> None:
    print(f"{label}: {ours[0]:.2f} s against {theirs[0]:.2f} s, {ours[0] / theirs[0]:.2f}x "
          f"wall; {ours[1]:.2f} s against {theirs[1]:.2f} s CPU (target <= {target:g}x wall)",
          flush=True)


def track_part(directory: pathlib.Path) -> None:
    from bench_tracks import make_genome

    from corlap import footprints, tracks
    from corlap.bed import Site
    from corlap.models import save_model
    from corlap.training import train_model

    fasta, lengths = make_genome(directory)
    rng = np.random.default_rng(21)
    names = list(lengths)
    sites = [Site(names[int(rng.integers(len(names)))], int(p), int(p) + 1,
                  "+-"[int(rng.integers(2))])
             for p in rng.integers(1_000, min(lengths.values()) - 1_000, 2_000)]
    model, _ = train_model(fasta, sites, "PWM", 10, background=5_000, seed=2)
    save_model(model, directory / "pwm10.npz")
    model = directory / "pwm10.npz"
    signal = directory / "score.bw"
    tracks.write_tracks(fasta, model, forward=signal)
    print(f"genome: {sum(lengths.values()) / 1e6:.1f} Mbp; signal: the forward score track "
          f"of a PWM of length 10; everything in this one process", flush=True)
    scored = best(lambda: tracks.write_tracks(fasta, model, forward=directory / "f.bw"))
    track = best(lambda: footprints.write_track(signal, directory / "fp.bw"))
    ratio("1. footprint track against score (PWM 10, one strand)", track, scored, 1)
    both = best(lambda: tracks.write_tracks(fasta, model, forward=directory / "f.bw",
                                            reverse=directory / "r.bw"))
    ratio("   footprint track against score (PWM 10, both strands)", track, both, 1)


def write_signal(path: pathlib.Path, seed: int, depth: float) -> None:
    """Counts at every position of the genome, deeper in the regions."""
    import pyBigWig

    rng = np.random.default_rng(seed)
    handle = pyBigWig.open(str(path), "w")
    handle.addHeader([(f"chr{c + 1}", CHROM_LENGTH) for c in range(CHROMS)], maxZooms=0)
    for c in range(CHROMS):
        values = rng.poisson(depth * 0.2, CHROM_LENGTH).astype(np.float64)
        handle.addEntries(f"chr{c + 1}", 0, values=values, span=1, step=1)
    handle.close()


def write_regions(path: pathlib.Path) -> list[tuple[str, int, int]]:
    rng = np.random.default_rng(3)
    per = REGIONS // CHROMS
    regions = []
    for c in range(CHROMS):
        # Evenly spread, jittered: regions never overlap.
        starts = np.arange(per) * (CHROM_LENGTH // per) + rng.integers(0, 1_000, per)
        regions += [(f"chr{c + 1}", int(a), int(a) + REGION_WIDTH) for a in starts]
    path.write_text("".join(f"{c}\t{a}\t{b}\n" for c, a, b in regions))
    return regions


def write_sites(path: pathlib.Path, regions, count: int, motifs: int) -> None:
    """Sites in random order within the regions, in pieces (memory stays
    small)."""
    rng = np.random.default_rng(5)
    widths = 12 + np.arange(motifs) % 9
    chroms = np.array([c for c, _, _ in regions])
    starts = np.array([a for _, a, _ in regions])
    with open(path, "w") as stream:
        for done in range(0, count, 1_000_000):
            n = min(1_000_000, count - done)
            which = rng.integers(len(regions), size=n)
            motif = rng.integers(motifs, size=n)
            start = starts[which] + rng.integers(0, REGION_WIDTH - 20, n)
            end = start + widths[motif]
            strand = np.where(rng.integers(2, size=n) == 1, "+", "-")
            stream.write("".join(f"{c}\t{a}\t{b}\tmotif{m}\t0\t{s}\n" for c, a, b, m, s in
                                 zip(chroms[which].tolist(), start.tolist(), end.tolist(),
                                     motif.tolist(), strand.tolist())))


def read_regions_once(signal, regions) -> None:
    import pyBigWig

    handle = pyBigWig.open(str(signal))
    for chrom, start, end in regions:
        handle.values(chrom, start, end, numpy=True)
    handle.close()


def corlap(*args: str) -> tuple[float, int]:
    """Wall seconds and peak resident memory (KiB) of one ``corlap``
    command run in its own process."""
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-c",
                           "import resource, sys; from corlap.__main__ import main; "
                           "code = main(sys.argv[1:]); "
                           "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, "
                           "file=sys.stderr); sys.exit(code)", *args],
                          capture_output=True, text=True)
    wall = time.perf_counter() - started
    if done.returncode:
        raise SystemExit(done.stderr)
    return wall, int(done.stderr.strip().splitlines()[-1])


def motifs_part(directory: pathlib.Path) -> None:
    from corlap import footprints

    signal = directory / "ctrl.bw"
    write_signal(signal, 1, 10.0)
    regions = write_regions(directory / "regions.bed")
    print(f"genome: {CHROMS * CHROM_LENGTH / 1e6:.0f} Mbp with a value at every position; "
          f"{REGIONS:,} regions of {REGION_WIDTH} bp", flush=True)
    if SITES:
        bed = directory / "sites.bed"
        write_sites(bed, regions, SITES, 100)
        baseline = best(lambda: read_regions_once(signal, regions))
        args = ["footprints", "--signal", str(signal), "--sites", str(bed), "--regions",
                str(directory / "regions.bed"), "--table", str(directory / "sites.tsv"),
                "--motifs-table", str(directory / "motifs.tsv"), "-q"]
        for workers in ("1", "2"):
            ours = best(lambda: corlap(*args, "-p", workers))
            ratio(f"2. {SITES:,} sites of 100 motifs, table and motifs table, {workers} "
                  f"worker{'s' if workers != '1' else ''}, against one pyBigWig pass over the "
                  f"regions", ours, baseline, 3)
        del footprints
    if MANY:
        write_signal(directory / "treated.bw", 2, 14.0)
        bed = directory / "many.bed"
        write_sites(bed, regions, MANY, 500)
        wall, peak = corlap("footprints", "--signal", str(signal), str(directory / "treated.bw"),
                            "--sites", str(bed), "--regions", str(directory / "regions.bed"),
                            "--table", str(directory / "many.tsv"), "--motifs-table",
                            str(directory / "many-motifs.tsv"), "-p", "2", "-q")
        print(f"3. {MANY:,} sites of 500 motifs, two conditions, 2 workers: {wall:.1f} s, "
              f"peak memory {peak / 1024:.0f} MiB", flush=True)


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        directory = pathlib.Path(tmp)
        if "1" in PARTS:
            track_part(directory)
        if "2" in PARTS or "3" in PARTS:
            global SITES, MANY
            SITES = SITES if "2" in PARTS else 0
            MANY = MANY if "3" in PARTS else 0
            motifs_part(directory)


if __name__ == "__main__":
    main()
