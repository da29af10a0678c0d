"""Worked example: sequence-bias models on the phage lambda genome.

Trains a mononucleotide (PWM) and a dinucleotide (DWM) bias model on 12 bp
windows centred on the GATC sites of the genome, against random background
windows, then scores both strands of a region with each model, prints the
strongest-scoring positions and writes a plot of the score tracks to
./lambda_phage_scores.png (the current directory).

Run it with `make demo`, or `python examples/lambda_phage_bias.py [fasta]`.
"""

from __future__ import annotations

import dataclasses
import pathlib
import random
import sys
import time

import numpy as np

from corlap.utils.fasta import open_fasta
from corlap.utils.sequences import (
    GenomicSequence, SequenceMatrix, get_gc_content, nuc_to_num)

HERE = pathlib.Path(__file__).resolve().parent
GENOME = HERE.parent / "tests" / "data" / "lambda_phage.fa"
PLOT = pathlib.Path.cwd() / "lambda_phage_scores.png"   # the current directory

MOTIF = "GATC"          # the sites the bias set is centred on
WINDOW = 12             # model window length (even: the score sits at start + 6)
BACKGROUND = 4000       # number of random background windows
REGION = (0, 20000)     # region scored on both strands (0-based, half-open)
PLOT_SPAN = (2000, 3400)  # the part of the region drawn in the plot


@dataclasses.dataclass(frozen=True)
class Region:
    """Anything with chrom, start and end will do; 0-based, half-open."""
    chrom: str
    start: int
    end: int


def motif_sites(text: str, motif: str) -> list[int]:
    """Start positions of every occurrence of motif in text."""
    sites, at = [], text.find(motif)
    while at != -1:
        sites.append(at)
        at = text.find(motif, at + 1)
    return sites


def train(fasta, chrom: str, genome_length: int, sites: list[int]):
    pwm = SequenceMatrix.create(WINDOW, "PWM")
    dwm = SequenceMatrix.create(WINDOW, "DWM")
    offset = (WINDOW - len(MOTIF)) // 2
    for site in sites:
        start = site - offset
        if start < 0 or start + WINDOW > genome_length:
            continue
        window = GenomicSequence(Region(chrom, start, start + WINDOW)).from_fasta(fasta)
        pwm.add_sequence(window.sequence)
        dwm.add_sequence(window.sequence)
    rng = random.Random(2026)
    for _ in range(BACKGROUND):
        start = rng.randrange(genome_length - WINDOW)
        window = GenomicSequence(Region(chrom, start, start + WINDOW)).from_fasta(fasta)
        pwm.add_background(window.sequence)
        dwm.add_background(window.sequence)
    pwm.prepare_mat()
    dwm.prepare_mat()
    return pwm, dwm


def both_strands(model, region: GenomicSequence) -> tuple[np.ndarray, np.ndarray]:
    """Scores of the forward strand and of the reverse strand, the latter
    flipped back to forward coordinates (the reverse-complement window is then
    centred one base to the left for an even window)."""
    forward = model.score_sequence(region.sequence)
    reverse = model.score_sequence(region.revcomp)[::-1]
    return forward, reverse


def strongest(scores: np.ndarray, count: int) -> list[int]:
    order = np.argsort(np.where(np.isnan(scores), -np.inf, scores))[::-1]
    return sorted(int(i) for i in order[:count])


def plot(path, positions, tracks, sites):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    keep = (positions >= PLOT_SPAN[0]) & (positions < PLOT_SPAN[1])
    shown_sites = [s for s in sites if PLOT_SPAN[0] <= s < PLOT_SPAN[1]]
    fig, axes = plt.subplots(len(tracks), 1, figsize=(12, 7), sharex=True)
    for ax, (title, forward, reverse) in zip(axes, tracks):
        ax.plot(positions[keep], forward[keep], lw=0.9, color="tab:blue",
                label="forward strand")
        ax.plot(positions[keep], reverse[keep], lw=0.9, color="tab:orange", alpha=0.8,
                label="reverse strand")
        top = np.nanmax(np.concatenate([forward[keep], reverse[keep]]))
        ax.plot(shown_sites, [top * 1.08] * len(shown_sites), "v", color="tab:red",
                markersize=6, label=f"{MOTIF} site")
        ax.axhline(0, color="black", lw=0.6)
        ax.set_title(title, fontsize=11)
        ax.set_ylabel("score (log2 ratio)")
        ax.grid(alpha=0.3)
        ax.legend(loc="lower right", fontsize=9, ncol=3, framealpha=0.9)
    axes[-1].set_xlabel("position on the phage lambda genome (bp)")
    fig.suptitle(f"Bias-model scores along lambda {PLOT_SPAN[0]}-{PLOT_SPAN[1]}: "
                 f"models trained on {WINDOW} bp windows around {MOTIF} sites",
                 fontsize=12)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main(genome: pathlib.Path = GENOME) -> None:
    started = time.perf_counter()
    fasta = open_fasta(genome)
    chrom = fasta.references[0]
    length = fasta.get_length(chrom)
    text = fasta.fetch(chrom, 0, length)
    codes = nuc_to_num(text)
    print(f"genome {chrom}: {length} bp, "
          f"{int(np.count_nonzero(codes == 4))} unknown bases")

    sites = motif_sites(text, MOTIF)
    print(f"bias set: {len(sites)} {MOTIF} sites, {WINDOW} bp windows; "
          f"background: {BACKGROUND} random windows")
    pwm, dwm = train(fasta, chrom, length, sites)

    start, end = REGION
    region = GenomicSequence(Region(chrom, start, end)).from_fasta(fasta)
    fasta.close()
    gc = get_gc_content([Region(chrom, start, end)], genome)
    gc_all = get_gc_content([Region(chrom, 0, length)], genome)
    print(f"region {start}-{end}: GC content {gc:.3f} (whole genome {gc_all:.3f})")

    positions = np.arange(start, end)
    region_sites = [s for s in sites if start <= s < end]
    centre = WINDOW // 2
    site_centres = {s - (WINDOW - len(MOTIF)) // 2 + centre - start for s in region_sites}
    tracks = []
    for label, model in (("PWM (mononucleotide)", pwm), ("DWM (dinucleotide)", dwm)):
        forward, reverse = both_strands(model, region)
        tracks.append((label, forward, reverse))
        top = strongest(forward, 10)
        hits = sum(1 for i in top if i in site_centres)
        print(f"{label}: forward-strand top 10 at {[start + i for i in top]}; "
              f"{hits} of them centred on a {MOTIF} site")
    (_, pwm_fwd, _), (_, dwm_fwd, _) = tracks
    scored = ~np.isnan(pwm_fwd) & ~np.isnan(dwm_fwd)
    r = np.corrcoef(pwm_fwd[scored], dwm_fwd[scored])[0, 1]
    print(f"PWM and DWM forward tracks: Pearson r = {r:.3f} over {int(scored.sum())} windows; "
          f"mean score at sites PWM {np.nanmean(pwm_fwd[sorted(site_centres)]):.2f}, "
          f"DWM {np.nanmean(dwm_fwd[sorted(site_centres)]):.2f}; "
          f"elsewhere PWM {np.nanmean(np.delete(pwm_fwd, sorted(site_centres))):.2f}, "
          f"DWM {np.nanmean(np.delete(dwm_fwd, sorted(site_centres))):.2f}")

    plot(PLOT, positions, tracks, region_sites)
    print(f"plot written to {PLOT}")
    print(f"done in {time.perf_counter() - started:.2f} s")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else GENOME)
