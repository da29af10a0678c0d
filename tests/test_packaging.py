"""The installed package as users get it: type stubs that agree with the
compiled module and type-check ordinary use, and an sdist that holds the
whole build."""

import pathlib
import subprocess
import sys
import tarfile
import textwrap

import pytest

import corlap.utils.sequences as seq

ROOT = pathlib.Path(__file__).resolve().parent.parent
INSTALLED = "site-packages" in pathlib.Path(seq.__file__).parts

needs_install = pytest.mark.skipif(
    not INSTALLED, reason="type checkers see the stubs of an installed wheel only")


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=cwd, timeout=600)


@needs_install
def test_stubs_agree_with_the_runtime_module(tmp_path):
    result = mypy("mypy.stubtest", "corlap.utils.sequences", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_install
def test_stubs_type_check_ordinary_use_and_catch_misuse(tmp_path):
    """mypy --strict over scripts as users write them."""
    good = tmp_path / "good.py"
    good.write_text(textwrap.dedent("""
        import dataclasses
        import pathlib
        import numpy as np
        from numpy.typing import NDArray
        from corlap.utils.fasta import open_fasta
        from corlap.utils.sequences import (
            DiNucleotideMatrix, GenomicSequence, NucleotideMatrix, SequenceMatrix,
            get_gc_content, nuc_to_num)

        @dataclasses.dataclass
        class Region:
            chrom: str
            start: int
            end: int

        class Letters:
            def fetch(self, chrom: str, start: int, end: int) -> str:
                return "A" * (end - start)

        scores: NDArray[np.float64] = SequenceMatrix.create(12, "DWM").score_sequence(
            nuc_to_num("ACGT" * 4))
        model = SequenceMatrix.create(4, "DWM")
        model.add_sequence(nuc_to_num("ACGT"), amount=2.0)
        model.add_background(nuc_to_num("TTGA"))
        model.prepare_mat()
        log_table = model.bias_dwm_log
        pwm: NucleotideMatrix = SequenceMatrix.create(4, "PWM")
        pwm_scores = pwm.score_sequence(nuc_to_num("ACGTAC"))
        pair_model = DiNucleotideMatrix(3)
        region = GenomicSequence(Region("chr1", 0, 9)).from_fasta(open_fasta("x.fa"))
        codes = region.revcomp
        made_up = GenomicSequence(Region("chr1", 0, 9)).from_fasta(Letters())
        fraction: float = get_gc_content([Region("chr1", 0, 9)], "x.fa")
        fraction = get_gc_content([Region("chr1", 0, 9)], pathlib.Path("x.fa"))
    """))
    result = mypy("mypy", "--strict", str(good), cwd=tmp_path)
    assert result.returncode == 0, result.stdout

    misuse = {
        "create": 'SequenceMatrix.create(12, "pwm")',
        "add_sequence": 'NucleotideMatrix(3).add_sequence("ACGT")',
        "get_gc_content": 'get_gc_content([], open_fasta("x.fa"))',
        "from_fasta": "GenomicSequence(None).from_fasta(object())",
        "bias_dwm_log": 'SequenceMatrix.create(3, "PWM").bias_dwm_log',
    }
    for name, line in misuse.items():
        bad = tmp_path / f"bad_{name}.py"
        bad.write_text(textwrap.dedent("""
            from corlap.utils.fasta import open_fasta
            from corlap.utils.sequences import (
                GenomicSequence, NucleotideMatrix, SequenceMatrix, get_gc_content)
        """) + line + "\n")
        result = mypy("mypy", "--strict", str(bad), cwd=tmp_path)
        assert result.returncode == 1 and name in result.stdout, (line, result.stdout)


def test_sdist_holds_every_build_input():
    sdists = sorted((ROOT / "dist").glob("corlap-*.tar.gz"))
    if not sdists:
        pytest.skip("no sdist built (make sdist-check builds one)")
    with tarfile.open(sdists[-1]) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    tracked = subprocess.run(["git", "ls-files", "src", "meson.build", "meson.options",
                              "pyproject.toml"], capture_output=True, text=True, cwd=ROOT)
    if tracked.returncode != 0:
        pytest.skip("not a git checkout")
    inputs = tracked.stdout.split()
    if max((ROOT / name).stat().st_mtime for name in inputs) > sdists[-1].stat().st_mtime:
        pytest.skip("the sdist in dist/ is older than the sources (make sdist-check rebuilds it)")
    missing = set(inputs) - names
    assert not missing
