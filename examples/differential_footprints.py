"""Worked example: which factors gain or lose binding between two conditions.

1. Simulates an accessibility assay of two conditions on one random
   genome: peaks of open chromatin, in each of them sites of six motifs
   (written to ./differential-demo/motifs.jaspar), an enzyme that prefers
   some bases to others around its insertions.  A factor binds a share of
   its motif's sites and protects their bases: the same share in both
   conditions, except that GAIN1 is bound at 15 % of its sites in ctrl and
   85 % in treated, and LOSS1 the other way round.  The treated library
   is 1.6 times as deep, with noise of its own.
2. As the README's lines do: ``corlap train`` fits the enzyme's bias on the
   ctrl reads, ``corlap correct`` takes it out of each condition's reads,
   ``corlap scan`` finds the motifs' sites in the peaks, and ``corlap
   footprints`` compares the two corrected signals, motif by motif.
3. Prints the motifs table, and draws the volcano plot of the changes to
   ./differential_footprints.png (and the profiles to
   ./differential_profiles.png).

Run it with `python examples/differential_footprints.py`.
"""

from __future__ import annotations

import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from reads_correction import BASES, insertion_weights, write_reads  # noqa: E402

WORK = pathlib.Path.cwd() / "differential-demo"
PLOT = pathlib.Path.cwd() / "differential_footprints.png"
PROFILES = pathlib.Path.cwd() / "differential_profiles.png"
CHROM, LENGTH = "chrSim", 240_000
PEAK, SPACING = 500, 1_200
# The share of its sites a factor binds, in ctrl and treated.
MOTIFS = {"GAIN1": (0.15, 0.85), "LOSS1": (0.85, 0.15), "SAME1": (0.5, 0.5),
          "SAME2": (0.5, 0.5), "SAME3": (0.3, 0.3), "SAME4": (0.7, 0.7)}
DEPTHS = {"ctrl": 6.0, "treated": 9.6}


def simulate(rng):
    """(genome codes, motif consensus codes, peaks, planted sites as (start,
    end, motif), insertions of each condition per strand)."""
    codes = rng.integers(0, 4, LENGTH)
    consensus = {name: rng.integers(0, 4, int(rng.integers(10, 15))) for name in MOTIFS}
    peaks = [(a, a + PEAK) for a in range(SPACING, LENGTH - SPACING, SPACING)]
    access = np.full(LENGTH, 0.05)
    planted = []
    for k, (a, b) in enumerate(peaks):
        access[a:b] = rng.lognormal(0.0, 0.4)
        for j, offset in enumerate((90, 250, 390)):
            name = list(MOTIFS)[(3 * k + j) % len(MOTIFS)]
            site = consensus[name]
            start = a + offset + int(rng.integers(-20, 20))
            strand = "+-"[int(rng.integers(2))]
            codes[start:start + len(site)] = site if strand == "+" else (3 - site)[::-1]
            planted.append((start, start + len(site), name))
    # The enzyme's preference: log2 weights per base over the 6 bases around
    # the insertion, read 5' to 3' on its strand.
    preference = rng.normal(0.0, 0.5, (4, 6))
    plus, minus = insertion_weights(codes, preference)
    insertions = {}
    for condition, (name, depth) in enumerate(DEPTHS.items()):
        protected = np.ones(LENGTH)
        for start, end, motif in planted:
            if rng.random() < MOTIFS[motif][condition]:
                protected[start:end] = rng.uniform(0.05, 0.3)
        scale = depth / np.mean(plus + minus)
        insertions[name] = (rng.poisson(scale * plus * access * protected),
                            rng.poisson(scale * minus * access * protected))
    return codes, consensus, peaks, insertions


def write_inputs(work: pathlib.Path, rng) -> None:
    codes, consensus, peaks, insertions = simulate(rng)
    text = BASES[codes].tobytes().decode()
    with open(work / "genome.fa", "w") as stream:
        stream.write(f">{CHROM}\n")
        for at in range(0, LENGTH, 60):
            stream.write(text[at:at + 60] + "\n")
    (work / "peaks.bed").write_text("".join(f"{CHROM}\t{a}\t{b}\n" for a, b in peaks))
    with open(work / "motifs.jaspar", "w") as stream:
        for k, (name, site) in enumerate(consensus.items()):
            # Counts of 20 sites, most of them the consensus.
            counts = np.ones((4, len(site)), np.int64)
            counts[site, np.arange(len(site))] += 16
            stream.write(f">SIM{k + 1:03d}.1 {name}\n")
            for base, row in zip("ACGT", counts):
                stream.write(f"{base} [ {' '.join(map(str, row))} ]\n")
    for name, (plus, minus) in insertions.items():
        write_reads(work / f"{name}.bam", plus, minus, rng, chrom=CHROM)


def corlap(*args) -> None:
    from corlap.__main__ import main

    code = main([str(arg) for arg in args])
    if code:
        raise SystemExit(code)


def run(work: pathlib.Path, *, seed: int = 4, plot: pathlib.Path = PLOT,
        profiles: pathlib.Path = PROFILES) -> dict[str, dict[str, str]]:
    """The whole example in ``work``; returns the motifs table, by motif."""
    work.mkdir(parents=True, exist_ok=True)
    write_inputs(work, np.random.default_rng(seed))
    corlap("train", "-f", work / "genome.fa", "--bam", work / "ctrl.bam", "--type", "DWM",
           "--length", "8", "-o", work / "enzyme.npz", "-q")
    for name in DEPTHS:
        corlap("correct", "--bam", work / f"{name}.bam", "-f", work / "genome.fa", "-m",
               work / "enzyme.npz", "--corrected", work / f"{name}.bw", "--normalise", "cpm",
               "-p", "2", "-q")
    corlap("scan", "--motifs", work / "motifs.jaspar", "-f", work / "genome.fa", "--regions",
           work / "peaks.bed", "-o", work / "sites.bed", "--p-value", "1e-5", "-q")
    corlap("footprints", "--signal", work / "ctrl.bw", work / "treated.bw", "--sites",
           work / "sites.bed", "--regions", work / "peaks.bed", "--table", work / "sites.tsv",
           "--motifs-table", work / "motifs.tsv", "--plot", profiles, "--plot-changes", plot,
           "--depth", "none", "-p", "2")
    lines = (work / "motifs.tsv").read_text().splitlines()
    header = lines[0].split("\t")
    return {row[0]: dict(zip(header, row)) for row in (line.split("\t") for line in lines[1:])}


def main() -> None:
    table = run(WORK)
    shown = ("motif", "sites", "bound_ctrl", "bound_treated", "change", "p_value_change",
             "q_value_change")
    print("\t".join(shown))
    for row in sorted(table.values(), key=lambda row: float(row["p_value_change"])):
        print("\t".join(row[c] if c in ("motif", "sites") or c.startswith("bound")
                        else f"{float(row[c]):.3g}" for c in shown))
    print(f"volcano plot written to {PLOT}, profiles to {PROFILES}")


if __name__ == "__main__":
    main()
