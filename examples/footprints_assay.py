"""Worked example: from aligned reads to footprints, on a simulated assay
made as hard as real data (benchmarks/assay.py, at a small size).

1. Simulates a genome whose composition varies, with runs of N; peaks of
   varied depth with nucleosomes around a free core; an enzyme with a
   16-base preference of its own that dislikes G and C (the ``hard``
   variant); a GC-rich motif planted in peaks, bound at half of those
   sites with a protection of 0.15 to 0.95, and outside peaks; paired
   reads with duplicates and misplaced reads of low mapping quality.
2. Runs the README's lines: ``corlap train --bam`` with its defaults,
   ``corlap correct``, ``corlap footprints --regions peaks.bed``.
3. Prints the area under the ROC curve, bound sites against unbound ones
   in peaks, for the observed signal, the footprint occupancy score on
   the observed counts, the corrected signal and the correction with the
   simulation's true bias, and draws the corrected signal's profile
   around the bound and unbound sites to ./footprints.png.

Run it with `python examples/footprints_assay.py` (about a minute).  The
files of the run go to ./footprints-demo/.
"""

from __future__ import annotations

import pathlib
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "benchmarks"))
import assay  # noqa: E402
import bench_assay  # noqa: E402

WORK = pathlib.Path.cwd() / "footprints-demo"
PLOT = pathlib.Path.cwd() / "footprints.png"


def main() -> None:
    config = assay.Config(variant="hard", **assay.SMALL)
    results = bench_assay.run(WORK, config, ("default",))
    for name, figures in results.items():
        print(f"ROC AUC {figures['auc']:.3f}  {name}")
    subprocess.run([sys.executable, "-m", "corlap", "footprints", "--signal",
                    str(WORK / "default.bw"), "--sites", str(WORK / "motif.bed"), "--regions",
                    str(WORK / "peaks.bed"), "--plot", str(PLOT)], check=True)
    print(f"plot written to {PLOT}")


if __name__ == "__main__":
    main()
