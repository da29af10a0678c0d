"""Worked example: from aligned reads to a bias-corrected insertion signal.

1. Simulates an accessibility assay on a random genome of 100 kbp: an
   enzyme with a planted sequence preference inserts into open regions,
   where bound proteins protect 20 bp footprints, and hardly anywhere
   else.  Each insertion becomes a read (both strands) whose 5' end,
   shifted by +4 / -5, falls on it; a few duplicates are mixed in.  The
   reads are written with pysam to a sorted, indexed BAM file.
2. ``reads.train_from_reads`` fits a DWM of length 8 on the insertions.
3. ``correct.write_correction`` writes the observed, expected and
   corrected signal as bigWig files.
4. Reads them back with pyBigWig and plots them around a footprint, and
   their averages over all footprints.

Run it with `python examples/reads_correction.py`.  Everything it writes
goes to the current directory: the files of the run in ./reads-demo/ and
the plot in ./reads_correction.png.
"""

from __future__ import annotations

import pathlib
import time

import numpy as np

WORK = pathlib.Path.cwd() / "reads-demo"
PLOT = pathlib.Path.cwd() / "reads_correction.png"
CHROM, LENGTH = "chrSim", 100_000
SHIFT = (4, -5)
FOOTPRINT = 20
SHOWN = 150          # bases on each side of the footprint plotted
BASES = np.frombuffer(b"ACGT", dtype=np.uint8)


def insertion_weights(codes: np.ndarray, preference: np.ndarray):
    """The enzyme's relative rate of insertion at each position of the +
    and of the - strand, from log2 weights per base (rows A, C, G, T) over
    the 6 bases around the insertion, read 5' to 3' on its strand."""
    length = len(codes)
    steps = np.arange(6)
    starts = np.arange(length - 5)
    windows = codes[starts[:, None] + steps]
    plus, minus = np.zeros(length), np.zeros(length)
    plus[3:3 + len(starts)] = 2.0 ** preference[windows, steps].sum(axis=1)
    minus[2:2 + len(starts)] = 2.0 ** preference[3 - windows[:, ::-1], steps].sum(axis=1)
    return plus, minus


def simulate(rng) -> tuple[str, list[int], np.ndarray, np.ndarray]:
    """The genome, the footprints' starts, and the insertions per position
    of the + and the - strand."""
    codes = rng.integers(0, 4, LENGTH)
    text = BASES[codes].tobytes().decode()
    # The enzyme's preference: log2 weights per base over the 6 bases around
    # the insertion, read 5' to 3' on the strand it inserts on.
    preference = rng.normal(0.0, 0.7, (4, 6))
    plus, minus = insertion_weights(codes, preference)
    access = np.full(LENGTH, 0.02)
    footprints = []
    for start in range(10_000, LENGTH - 10_000, 16_000):
        access[start:start + 1_500] = 1.0
        for fp in range(start + 200, start + 1_400, 300):
            access[fp:fp + FOOTPRINT] = 0.1
            footprints.append(fp)
    return text, footprints, rng.poisson(12.0 * plus * access), rng.poisson(12.0 * minus * access)


def write_reads(path: pathlib.Path, counts_plus, counts_minus, rng, chrom: str = CHROM) -> int:
    """Reads of 50 bases whose shifted 5' ends fall on the insertions, plus
    a duplicate of every 20th read; sorted and indexed.  Returns the
    number of reads written."""
    import pysam

    span = 50
    length = len(counts_plus)
    plus = np.repeat(np.arange(length), counts_plus) - SHIFT[0]
    minus = np.repeat(np.arange(length), counts_minus) + 1 - SHIFT[1] - span
    starts = np.concatenate((plus, minus))
    reverse = np.concatenate((np.zeros(len(plus), bool), np.ones(len(minus), bool)))
    fits = (starts >= 0) & (starts + span <= length)
    starts, reverse = starts[fits], reverse[fits]
    order = np.argsort(starts, kind="stable")
    header = {"HD": {"VN": "1.6", "SO": "coordinate"}, "SQ": [{"SN": chrom, "LN": length}]}
    written = 0
    with pysam.AlignmentFile(str(path), "wb", header=header) as out:
        for k, at in enumerate(order):
            for duplicate in ((False, True) if k % 20 == 0 else (False,)):
                read = pysam.AlignedSegment(out.header)
                read.query_name = f"read{k}"
                read.flag = (0x10 if reverse[at] else 0) | (0x400 if duplicate else 0)
                read.reference_id = 0
                read.reference_start = int(starts[at])
                read.mapping_quality = 60
                read.cigarstring = f"{span}M"
                read.query_sequence = "N" * span
                out.write(read)
                written += 1
    pysam.index(str(path))
    return written


def plot(paths: dict[str, pathlib.Path], footprints: list[int]) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import pyBigWig

    tracks = {}
    for name, path in paths.items():
        with_file = pyBigWig.open(str(path))
        tracks[name] = np.array(with_file.values(CHROM, 0, LENGTH), dtype=np.float64)
        with_file.close()
    centre = footprints[len(footprints) // 2]
    shown = np.arange(centre - SHOWN, centre + FOOTPRINT + SHOWN)
    offsets = np.arange(-SHOWN, FOOTPRINT + SHOWN)
    colours = {"observed": "tab:blue", "expected": "tab:orange", "corrected": "tab:green"}

    fig, axes = plt.subplots(4, 1, figsize=(12, 10), sharex=True)
    for ax, name in zip(axes, ("observed", "expected", "corrected")):
        ax.bar(offsets, tracks[name][shown], width=1.0, color=colours[name], label=name)
        ax.axvspan(0, FOOTPRINT, color="grey", alpha=0.25, label="footprint")
        ax.axhline(0, color="black", lw=0.6)
        ax.set_ylabel("insertions")
        ax.legend(loc="upper right")
    ax = axes[3]
    for name in ("observed", "expected", "corrected"):
        mean = np.nanmean([tracks[name][fp + offsets] for fp in footprints], axis=0)
        ax.plot(offsets, mean, color=colours[name], lw=1.2, label=f"{name}, mean")
    ax.axvspan(0, FOOTPRINT, color="grey", alpha=0.25)
    ax.axhline(0, color="black", lw=0.6)
    ax.set_ylabel(f"mean of {len(footprints)}")
    ax.set_xlabel(f"position from the footprint's start ({CHROM}:{centre} in the panels above)")
    ax.legend(loc="upper right")
    fig.suptitle("Insertions observed, expected from the enzyme's preference, and corrected")
    fig.tight_layout()
    fig.savefig(PLOT, dpi=110)
    plt.close(fig)


def main() -> None:
    from corlap import correct, reads
    from corlap.models import save_model

    WORK.mkdir(exist_ok=True)
    rng = np.random.default_rng(7)
    text, footprints, counts_plus, counts_minus = simulate(rng)
    fasta = WORK / "genome.fa"
    with open(fasta, "w") as stream:
        stream.write(f">{CHROM}\n")
        for at in range(0, LENGTH, 60):
            stream.write(text[at:at + 60] + "\n")
    bam = WORK / "reads.bam"
    written = write_reads(bam, counts_plus, counts_minus, rng)
    print(f"simulated {written} reads of {len(footprints)} footprints into {bam}")

    started = time.perf_counter()
    model, summary = reads.train_from_reads(fasta, bam, "DWM", 8, shift=SHIFT)
    save_model(model, WORK / "model.npz")
    print(f"trained in {time.perf_counter() - started:.2f} s: {summary.line()}")

    paths = {name: WORK / f"{name}.bw" for name in correct.OUTPUTS}
    started = time.perf_counter()
    correct.write_correction(fasta, bam, WORK / "model.npz", shift=SHIFT, window=101,
                             **paths)
    print(f"corrected in {time.perf_counter() - started:.2f} s: "
          f"{', '.join(str(path) for path in paths.values())}")
    plot(paths, footprints)
    print(f"plot written to {PLOT}")


if __name__ == "__main__":
    main()
