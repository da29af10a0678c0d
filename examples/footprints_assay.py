"""Worked example: from aligned reads to footprints at the sites of a motif.

1. Simulates an accessibility assay as examples/reads_correction.py does,
   on a random genome where a motif is planted every 400 bases, on either
   strand.  The motif has degenerate positions (G or C, A or T) and the
   enzyme dislikes G and C, so that some sites draw far fewer insertions
   than others whatever binds there.  A factor binds half the sites (drawn
   at random) and protects their bases.
2. ``reads.train_from_reads`` fits a DWM of length 8 on the insertions and
   ``correct.write_correction`` writes the observed and corrected signal.
3. ``footprints.write_sites`` scores the sites on both signals; the area
   under the ROC curve of ``footprint`` says how well each tells the bound
   sites from the others.  The profile of the corrected signal around the
   bound and the unbound sites is drawn to ./footprints.png.

Run it with `python examples/footprints_assay.py`.  The files of the run go
to ./footprints-demo/.
"""

from __future__ import annotations

import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from reads_correction import BASES, SHIFT, insertion_weights, write_reads  # noqa: E402

WORK = pathlib.Path.cwd() / "footprints-demo"
PLOT = pathlib.Path.cwd() / "footprints.png"
CHROM = "chrSim"
# S: G or C, W: A or T, drawn per site.
MOTIF = "TGSSWSGSWSCA"
SPACING = 400


def simulate(rng, length: int, depth: float):
    """(genome text, sites as (start, end, strand, bound), insertions per
    position of + and of -)."""
    codes = rng.integers(0, 4, length)
    sites = []
    for start in range(SPACING // 2, length - SPACING // 2, SPACING):
        motif = [("GC" if b == "S" else "AT")[rng.integers(2)] if b in "SW" else b
                 for b in MOTIF]
        strand = "+-"[rng.integers(2)]
        site = np.array(["ACGT".index(b) for b in motif])
        codes[start:start + len(MOTIF)] = site if strand == "+" else (3 - site)[::-1]
        sites.append((start, start + len(MOTIF), strand, bool(rng.integers(2))))
    # The enzyme's preference: log2 weights per base over the 6 bases around
    # the insertion, read 5' to 3' on its strand; G and C well below A and T.
    preference = rng.normal(0.0, 0.3, (4, 6)) + np.array([[0.3], [-0.7], [-0.7], [0.3]])
    plus, minus = insertion_weights(codes, preference)
    scale = depth / np.mean(plus + minus)
    access = np.ones(length)
    for start, end, _, bound in sites:
        if bound:
            access[start:end] = 0.05
    text = BASES[codes].tobytes().decode()
    return (text, sites, rng.poisson(scale * plus * access),
            rng.poisson(scale * minus * access))


def roc_auc(scores: np.ndarray, positive: np.ndarray) -> float:
    """The area under the ROC curve: the chance that a positive scores
    above a negative, ties counting half."""
    pos, neg = scores[positive], scores[~positive]
    above = (pos[:, None] > neg[None, :]).sum() + 0.5 * (pos[:, None] == neg[None, :]).sum()
    return float(above / (len(pos) * len(neg)))


def run(work: pathlib.Path, *, length: int = 120_000, depth: float = 10.0, seed: int = 11,
        plot: pathlib.Path | None = None, say=print) -> dict[str, float]:
    """The whole example in ``work``; returns the ROC AUC of ``footprint``
    on the observed and on the corrected signal."""
    from corlap import correct, footprints, reads
    from corlap.models import save_model

    work.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    text, sites, counts_plus, counts_minus = simulate(rng, length, depth)
    fasta = work / "genome.fa"
    with open(fasta, "w") as stream:
        stream.write(f">{CHROM}\n")
        for at in range(0, length, 60):
            stream.write(text[at:at + 60] + "\n")
    bed = work / "motif.bed"
    with open(bed, "w") as stream:
        for k, (start, end, strand, _) in enumerate(sites):
            stream.write(f"{CHROM}\t{start}\t{end}\t{MOTIF}\t0\t{strand}\n")
    bam = work / "reads.bam"
    written = write_reads(bam, counts_plus, counts_minus, rng, chrom=CHROM)
    say(f"simulated {written} reads, {len(sites)} motif sites, "
        f"{sum(bound for *_, bound in sites)} bound")

    started = time.perf_counter()
    model, _ = reads.train_from_reads(fasta, bam, "DWM", 8, shift=SHIFT)
    save_model(model, work / "model.npz")
    signals = {name: work / f"{name}.bw" for name in ("observed", "corrected")}
    correct.write_correction(fasta, bam, work / "model.npz", shift=SHIFT, window=101,
                             **signals)
    say(f"trained and corrected in {time.perf_counter() - started:.2f} s")

    bound = np.array([b for *_, b in sites])
    areas = {}
    for name, signal in signals.items():
        table = work / f"sites_{name}.tsv"
        summary = footprints.write_sites(
            signal, bed, table, plot=plot if name == "corrected" else None)
        columns = np.genfromtxt(table, delimiter="\t", names=True, dtype=None,
                                encoding="utf-8", missing_values="", filling_values=np.nan)
        score = columns["footprint"].astype(float)
        # A site without a score ranks lowest.
        areas[name] = roc_auc(np.where(np.isnan(score), -np.inf, score), bound)
        say(f"{name}: {summary.line()}; ROC AUC of footprint {areas[name]:.3f}")
    return areas


def main() -> None:
    run(WORK, plot=PLOT)
    print(f"plot written to {PLOT}")


if __name__ == "__main__":
    main()
