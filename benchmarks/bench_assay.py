"""Footprints on the simulated assay of benchmarks/assay.py: the area under
the ROC curve of bound against unbound sites in peaks, for the observed
signal, for corlap's paths from reads (a bias model trained by ``train
--bam``, ``correct``, ``footprints --regions peaks``), for the footprint
occupancy score on the observed counts and for the correction with the
simulation's true bias; with the wall times of train, correct and
footprints.

    python benchmarks/bench_assay.py [--small] [--work DIR] [--variant hard|easy]
        [--paths default,DWM10-uniform,...]

Each path runs through the command line, as a user's would.  The
occupancy score (Neph et al. 2012) is ``(C + 1) / L + (C + 1) / R``, C, L
and R the insertions counted over the site and over each flank of 30
bases; lower is more protected, so its negative ranks.  Figures are taken
on a shared machine: compare the rows of one run, not runs.
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import assay  # noqa: E402

FLANK = 30
# Bias models tried: name -> train options after --bam (the README's line
# is "default": train --bam with its default background).
PATHS = {
    "default": ["--type", "DWM", "--length", "10"],
    "DWM10-uniform": ["--type", "DWM", "--length", "10", "--background", "10000"],
    "PWM10-uniform": ["--type", "PWM", "--length", "10", "--background", "10000"],
    "DWM10-local": ["--type", "DWM", "--length", "10", "--background-near", "50"],
    "PWM16-uniform": ["--type", "PWM", "--length", "16", "--background", "10000"],
    "PWM16-local": ["--type", "PWM", "--length", "16", "--background-near", "50"],
    "DWM16-local": ["--type", "DWM", "--length", "16", "--background-near", "50"],
}


def corlap(*args) -> float:
    """Run a corlap command; its wall time."""
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "corlap", *map(str, args), "-q"], check=True)
    return time.perf_counter() - started


def table(path: pathlib.Path) -> dict[str, np.ndarray]:
    columns = np.genfromtxt(path, delimiter="\t", names=True, dtype=None, encoding="utf-8",
                            missing_values="", filling_values=np.nan, comments=None)
    return {name: columns[name] for name in columns.dtype.names}


def footprints(signal: pathlib.Path, found: assay.Assay, out: pathlib.Path
               ) -> tuple[dict[str, np.ndarray], float]:
    seconds = corlap("footprints", "--signal", signal, "--sites", found.motif_bed,
                     "--regions", found.peaks_bed, "--table", out, "--flank", FLANK)
    return table(out), seconds


def occupancy(counts: dict[str, np.ndarray], found: assay.Assay) -> np.ndarray:
    """The negative occupancy score of every site, from the columns of the
    observed signal's table (means times widths: insertion counts)."""
    width = np.array([end - start for _, start, end, *_ in found.sites], float)
    centre = counts["centre"] * width
    left, right = counts["flank_left"] * FLANK, counts["flank_right"] * FLANK
    with np.errstate(divide="ignore", invalid="ignore"):
        score = (centre + 1) / left + (centre + 1) / right
    return -np.where(np.isnan(score), np.inf, score)


def run(work: pathlib.Path, config: assay.Config, paths=("default",), say=print,
        truth: bool = True) -> dict[str, dict[str, float]]:
    """The assay simulated in ``work`` and every path scored: name ->
    {"auc": ..., and the seconds of each step}; ``truth``: the correction
    with the true bias too."""
    started = time.perf_counter()
    found = assay.simulate(work, config)
    say(f"[{config.variant}] simulated in {time.perf_counter() - started:.0f} s: "
        f"{sum(found.lengths.values()):,} bp, {len(found.sites)} sites")
    kinds = found.kinds()
    in_peaks = kinds != "outside"
    bound = kinds[in_peaks] == "bound"

    def auc(score):
        return assay.roc_auc(np.asarray(score, float)[in_peaks], bound)

    results = {}
    observed = work / "observed.bw"
    for k, name in enumerate(paths):
        model = work / f"{name}.npz"
        corrected = work / f"{name}.bw"
        train = corlap("train", "-f", found.fasta, "--bam", found.bam, "--exclude", "chrM",
                       *PATHS[name], "-o", model)
        # The observed track, which no model changes, with the first path.
        correct = corlap("correct", "--bam", found.bam, "-f", found.fasta, "--exclude", "chrM",
                         "-m", model, "--corrected", corrected,
                         *(("--observed", observed) if k == 0 else ()))
        if k == 0:
            counts, _ = footprints(observed, found, work / "observed.tsv")
            results["observed, footprint"] = {"auc": auc(counts["footprint"])}
            results["observed, difference"] = {"auc": auc(counts["difference"])}
            results["occupancy score, observed"] = {"auc": auc(occupancy(counts, found))}
        columns, seconds = footprints(corrected, found, work / f"{name}.tsv")
        results[f"corrected, {name}"] = {"auc": auc(columns["footprint"]), "train": train,
                                         "correct": correct, "footprints": seconds}
    if truth:
        signal = work / "true.bw"
        assay.true_correction(found, signal)
        columns, _ = footprints(signal, found, work / "true.tsv")
        results["corrected, true bias"] = {"auc": auc(columns["footprint"])}
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="the test's size")
    parser.add_argument("--work", help="keep the files here (default: a temporary directory)")
    parser.add_argument("--variant", choices=("hard", "easy"), action="append")
    parser.add_argument("--paths", default=",".join(PATHS))
    args = parser.parse_args()
    variants = args.variant or ["hard", "easy"]
    every = {}
    with tempfile.TemporaryDirectory(prefix="corlap-assay-") as scratch:
        for variant in variants:
            config = assay.Config(variant=variant, **(assay.SMALL if args.small else {}))
            work = pathlib.Path(args.work or scratch) / variant
            every[variant] = run(work, config, args.paths.split(","))
    rows = list(next(iter(every.values())))
    print("| AUC, bound against unbound sites in peaks | " + " | ".join(variants) + " |")
    print("|---|" + "---|" * len(variants))
    for row in rows:
        print(f"| {row} | " + " | ".join(f"{every[v][row]['auc']:.3f}" for v in variants) + " |")
    for variant in variants:
        for row, figures in every[variant].items():
            if "train" in figures:
                print(f"[{variant}] {row}: train {figures['train']:.1f} s, correct "
                      f"{figures['correct']:.1f} s, footprints {figures['footprints']:.1f} s")


if __name__ == "__main__":
    main()
