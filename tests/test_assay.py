"""The simulated assay of benchmarks/assay.py at a small size: the README's
path from reads (train --bam with its defaults, correct, footprints within
the peaks) tells bound sites from unbound ones in peaks better than the
footprint occupancy score on the observed counts and than the observed
signal, whether the enzyme dislikes the motif's bases or likes them."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "benchmarks"))
import assay  # noqa: E402
import bench_assay  # noqa: E402


@pytest.mark.parametrize("variant", ["hard", "easy"])
def test_default_path_beats_the_observed_counts(tmp_path, variant):
    results = bench_assay.run(tmp_path, assay.Config(variant=variant, **assay.TEST),
                              say=lambda line: None, truth=False)
    auc = {name: figures["auc"] for name, figures in results.items()}
    print(variant, auc)
    assert auc["corrected, default"] > auc["occupancy score, observed"]
    assert auc["corrected, default"] > auc["observed, footprint"]
