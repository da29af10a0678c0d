"""Worked example of the command line: bias tracks of the phage lambda genome.

1. Writes a BED file of the genome's GATC sites on both strands (the site
   is the motif's centre, so the window is centred on it either way).
2. ``corlap train`` fits a DWM of length 12 on them against 10,000 random
   background windows.
3. ``corlap score`` writes the forward and the reverse track as bigWig.
4. Reads both bigWig files back with pyBigWig and plots a stretch of them.

Run it with `make demo`, or `python examples/lambda_tracks.py [fasta]`.
Everything it writes goes to the current directory: the files of the run
in ./lambda-demo/ and the plot in ./lambda_phage_tracks.png.
"""

from __future__ import annotations

import pathlib
import shutil
import subprocess
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
GENOME = HERE.parent / "tests" / "data" / "lambda_phage.fa"
WORK = pathlib.Path.cwd() / "lambda-demo"
PLOT = pathlib.Path.cwd() / "lambda_phage_tracks.png"
MOTIF = "GATC"
PLOT_SPAN = (2000, 3400)


def corlap(*args: str) -> None:
    """Run the corlap command line (the console script when installed)."""
    script = shutil.which("corlap", path=str(pathlib.Path(sys.executable).parent))
    command = [script] if script else [sys.executable, "-m", "corlap"]
    print("$ corlap " + " ".join(args), flush=True)
    subprocess.run(command + list(args), check=True)


def write_sites(fasta: pathlib.Path, bed: pathlib.Path) -> tuple[str, list[int]]:
    from corlap.utils.fasta import open_fasta

    with open_fasta(fasta) as genome:
        chrom = genome.references[0]
        text = genome.fetch(chrom, 0, genome.get_length(chrom))
    # GATC is its own reverse complement: each site serves both strands.
    centres, at = [], text.find(MOTIF)
    while at != -1:
        centres.append(at + len(MOTIF) // 2)
        at = text.find(MOTIF, at + 1)
    with open(bed, "w") as stream:
        for k, centre in enumerate(centres):
            stream.write(f"{chrom}\t{centre}\t{centre + 1}\tGATC_{k}\t0\t{'+-'[k % 2]}\n")
    return chrom, centres


def plot(forward_path, reverse_path, chrom, centres) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import pyBigWig

    start, end = PLOT_SPAN
    positions = np.arange(start, end)
    tracks = {}
    for label, path in (("forward strand", forward_path), ("reverse strand", reverse_path)):
        with_file = pyBigWig.open(str(path))
        tracks[label] = np.array(with_file.values(chrom, start, end), dtype=np.float64)
        with_file.close()
    shown = [c for c in centres if start <= c < end]
    fig, axes = plt.subplots(2, 1, figsize=(12, 6), sharex=True, sharey=True)
    for ax, (label, values), colour in zip(axes, tracks.items(), ("tab:blue", "tab:orange")):
        ax.plot(positions, values, lw=0.9, color=colour, label=label)
        top = np.nanmax(values)
        ax.plot(shown, [top * 1.1] * len(shown), "v", color="tab:red", markersize=6,
                label=f"{MOTIF} site")
        ax.axhline(0, color="black", lw=0.6)
        ax.set_ylabel("DWM score (log2 ratio)")
        ax.grid(alpha=0.3)
        ax.legend(loc="lower right", fontsize=9, ncol=2, framealpha=0.9)
    axes[0].set_title(f"lambda {start}-{end}: DWM (12 bp) trained on {MOTIF} sites, "
                      f"read back from the bigWig tracks written by corlap score")
    axes[-1].set_xlabel("position on the phage lambda genome (bp)")
    fig.tight_layout()
    fig.savefig(PLOT, dpi=120)
    plt.close(fig)


def main(fasta: pathlib.Path = GENOME) -> None:
    started = time.perf_counter()
    WORK.mkdir(exist_ok=True)
    genome = WORK / "lambda_phage.fa"
    shutil.copyfile(fasta, genome)          # its index is written beside it
    bed = WORK / "gatc_sites.bed"
    chrom, centres = write_sites(genome, bed)
    print(f"{len(centres)} {MOTIF} sites written to {bed}")

    model = WORK / "gatc_dwm12.npz"
    corlap("train", "--fasta", str(genome), "--sites", str(bed), "--type", "DWM",
           "--length", "12", "--out", str(model), "--seed", "1")
    forward, reverse = WORK / "forward.bw", WORK / "reverse.bw"
    corlap("score", "--fasta", str(genome), "--model", str(model), "--forward", str(forward),
           "--reverse", str(reverse), "--workers", "2", "--chunk-size", "10000")

    plot(forward, reverse, chrom, centres)
    print(f"tracks written to {forward} and {reverse}")
    print(f"plot written to {PLOT}")
    print(f"done in {time.perf_counter() - started:.2f} s")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else GENOME)
