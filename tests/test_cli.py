"""The command line as a user meets it: ``corlap`` and ``python -m corlap``
run train then score; each bad input exits with status 2 and one line
naming the file, the line and what is wrong, without a traceback."""

import gzip
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import time

import numpy as np
import pyBigWig
import pytest

from corlap.__main__ import main
from corlap.models import load_model

CONSOLE_SCRIPT = pathlib.Path(sys.executable).parent / "corlap"


def run(*args, env=None, timeout=120):
    return subprocess.run([sys.executable, "-m", "corlap", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **(env or {})})


@pytest.mark.skipif(not CONSOLE_SCRIPT.exists(), reason="corlap is not installed as a script")
def test_console_script_train_then_score(tmp_path, genome_fasta, genome_dir):
    """The README's run: train a DWM, score both strands to bigWig."""
    script = [str(CONSOLE_SCRIPT)]
    trained = subprocess.run(
        script + ["train", "--fasta", str(genome_fasta), "--sites",
                  str(genome_dir / "sites.bed"), "--type", "DWM", "--length", "8",
                  "--out", str(tmp_path / "m.npz"), "--background", "300", "--seed", "3"],
        capture_output=True, text=True, timeout=120)
    assert trained.returncode == 0, trained.stderr
    assert "site windows counted" in trained.stderr and "m.npz" in trained.stderr
    scored = subprocess.run(
        script + ["score", "--fasta", str(genome_fasta), "--model", str(tmp_path / "m.npz"),
                  "--forward", str(tmp_path / "f.bw"), "--reverse", str(tmp_path / "r.bw"),
                  "--workers", "2"], capture_output=True, text=True, timeout=120)
    assert scored.returncode == 0, scored.stderr
    # Not a terminal: no progress bar, only the summary line.
    assert scored.stderr.startswith("corlap score: 48,560 positions scored; ")
    assert len(scored.stderr.splitlines()) == 1
    model = load_model(tmp_path / "m.npz")
    assert model.length == 8
    bigwig = pyBigWig.open(str(tmp_path / "f.bw"))
    assert bigwig.chroms("chrB") == 15_003
    assert np.isfinite(bigwig.stats("chrB", type="mean")[0])
    bigwig.close()


def test_python_m_corlap_help():
    result = run("--help")
    assert result.returncode == 0 and "train" in result.stdout and "score" in result.stdout


def test_train_seed_and_background_bed(tmp_path, genome_fasta, genome_dir):
    common = ["train", "--fasta", str(genome_fasta), "--sites", str(genome_dir / "sites.bed"),
              "--type", "PWM", "--length", "10"]
    assert main(common + ["--out", str(tmp_path / "a.npz"), "--background", "200"]) == 0
    assert main(common + ["--out", str(tmp_path / "b.npz"), "--background", "200",
                          "--seed", "0"]) == 0
    assert (tmp_path / "a.npz").read_bytes() == (tmp_path / "b.npz").read_bytes()
    assert main(common + ["--out", str(tmp_path / "c.npz"), "--background-bed",
                          str(genome_dir / "sites.bed")]) == 0
    model = load_model(tmp_path / "c.npz")
    assert model.counts.tobytes() == model.bg_counts.tobytes()


# --- bad input ------------------------------------------------------------------

@pytest.fixture
def files(tmp_path, genome_fasta, genome_dir, model_files):
    """Paths of good inputs, and a helper writing a BED file."""
    def bed(text, name="x.bed"):
        (tmp_path / name).write_text(text)
        return str(tmp_path / name)
    return {"fasta": str(genome_fasta), "sites": str(genome_dir / "sites.bed"),
            "model": str(model_files["PWM"]), "dir": tmp_path, "bed": bed}


def train_args(files, **change):
    args = {"--fasta": files["fasta"], "--sites": files["sites"], "--type": "PWM",
            "--length": "6", "--out": str(files["dir"] / "m.npz")}
    args.update(change)
    return ["train"] + [item for key, value in args.items() for item in (key, value)]


def score_args(files, **change):
    args = {"--fasta": files["fasta"], "--model": files["model"],
            "--forward": str(files["dir"] / "f.bw"), "--workers": "1"}
    args.update(change)
    return ["score"] + [item for key, value in args.items() if value is not None
                        for item in (key, value)] + ["--quiet"]


def gzip_fasta(files):
    target = files["dir"] / "plain.fa.gz"
    with open(files["fasta"], "rb") as source, gzip.open(target, "wb") as sink:
        shutil.copyfileobj(source, sink)
    return str(target)


BAD = {
    "missing fasta": (lambda f: train_args(f, **{"--fasta": str(f["dir"] / "no.fa")}),
                      ["no.fa", "not found"]),
    "fasta is a directory": (lambda f: score_args(f, **{"--fasta": str(f["dir"])}),
                             ["is a directory"]),
    "plain gzip fasta": (lambda f: score_args(f, **{"--fasta": gzip_fasta(f)}),
                         ["plain.fa.gz", "bgzip"]),
    "missing sites": (lambda f: train_args(f, **{"--sites": str(f["dir"] / "no.bed")}),
                      ["no.bed", "No such file"]),
    "missing background bed": (lambda f: train_args(
        f, **{"--background-bed": str(f["dir"] / "bg.bed")}), ["bg.bed", "No such file"]),
    "missing model": (lambda f: score_args(f, **{"--model": str(f["dir"] / "no.npz")}),
                      ["no.npz", "No such file"]),
    "model is a pickle": (lambda f: score_args(f, **{"--model": f["bed"]("junk", "p.npz")}),
                          ["p.npz", "not a corlap model file"]),
    "missing regions": (lambda f: score_args(f, **{"--regions": str(f["dir"] / "r.bed")}),
                        ["r.bed", "No such file"]),
    "bed too few columns": (lambda f: train_args(f, **{"--sites": f["bed"]("chrA\t5\t6\nchrA\t7\n")}),
                            ["x.bed, line 2", "3 columns"]),
    "bed not integers": (lambda f: score_args(f, **{"--regions": f["bed"]("# c\nchrA\tfive\t6\n")}),
                         ["x.bed, line 2", "integers"]),
    "bed negative start": (lambda f: train_args(f, **{"--sites": f["bed"]("chrA\t-1\t6\n")}),
                           ["line 1", "negative"]),
    "bed end before start": (lambda f: train_args(f, **{"--sites": f["bed"]("chrA\t9\t6\n")}),
                             ["line 1", "before start"]),
    "bed bad strand": (lambda f: train_args(f, **{"--sites": f["bed"]("chrA\t5\t6\tn\t0\tx\n")}),
                       ["line 1", "strand"]),
    "bed unknown chromosome": (lambda f: train_args(f, **{"--sites": f["bed"]("chrA\t5\t6\nchr9\t1\t2\n")}),
                               ["x.bed, line 2", "unknown sequence 'chr9'", "chrA, chrB"]),
    "bed start outside chromosome": (lambda f: score_args(f, **{"--regions": f["bed"]("chrS\t5\t9\n")}),
                                     ["x.bed, line 1", "outside chrS", "5 bases"]),
    "length zero": (lambda f: train_args(f, **{"--length": "0"}), ["--length", "at least 1"]),
    "length not a number": (lambda f: train_args(f, **{"--length": "ten"}), ["--length"]),
    "unknown type": (lambda f: train_args(f, **{"--type": "XWM"}), ["--type", "XWM"]),
    "model output directory missing": (lambda f: train_args(f, **{"--out": str(f["dir"] / "no" / "m.npz")}),
                                       ["m.npz", "does not exist"]),
    "model output is a directory": (lambda f: train_args(f, **{"--out": str(f["dir"])}),
                                    ["is a directory"]),
    "model output extension": (lambda f: train_args(f, **{"--out": str(f["dir"] / "m.pkl")}),
                               ["m.pkl", "extension", ".npz"]),
    "track directory missing": (lambda f: score_args(f, **{"--forward": str(f["dir"] / "no" / "f.bw")}),
                                ["f.bw", "does not exist"]),
    "track is a directory": (lambda f: score_args(f, **{"--reverse": str(f["dir"])}),
                             ["is a directory"]),
    "track extension": (lambda f: score_args(f, **{"--forward": str(f["dir"] / "f.wig")}),
                        ["f.wig", "unknown extension", ".bw"]),
    "no track": (lambda f: score_args(f, **{"--forward": None}), ["--forward", "--reverse"]),
    "same track twice": (lambda f: score_args(f, **{"--reverse": str(f["dir"] / "f.bw")}),
                         ["same file"]),
    "workers zero": (lambda f: score_args(f, **{"--workers": "0"}), ["--workers"]),
    "chunk size zero": (lambda f: score_args(f, **{"--chunk-size": "0"}), ["--chunk-size"]),
}


def status_of(args):
    """main's exit status, argparse's usage errors (SystemExit) included."""
    try:
        return main(args)
    except SystemExit as stop:
        return stop.code


@pytest.mark.parametrize("case", sorted(BAD))
def test_bad_input_exits_2_with_one_line(case, files, capsys):
    make_args, words = BAD[case]
    status = status_of(make_args(files))
    err = capsys.readouterr().err
    assert status == 2, err
    assert "Traceback" not in err
    message = err.strip().splitlines()[-1]
    for word in words:
        assert word in message, message
    assert not any(p.name in ("m.npz", "f.bw") or p.name.endswith(".tmp")
                   for p in files["dir"].iterdir())


def test_bad_input_in_a_subprocess_has_no_traceback(files):
    result = run(*train_args(files, **{"--sites": files["bed"]("chrA\t1\nchrA\t2\t3\n")}))
    assert result.returncode == 2
    assert result.stderr.strip() == (
        f"corlap train: error: {files['dir'] / 'x.bed'}, line 1: expected at least 3 "
        f"columns (chrom, start, end), found 2")


def test_unreachable_scheduler_reported_quickly(files):
    with socket.socket() as probe:       # a loopback port nobody listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    started = time.monotonic()
    result = run(*score_args(files, **{"--workers": None, "--scheduler": f"tcp://127.0.0.1:{port}"}),
                 env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "3s"})
    assert time.monotonic() - started < 60
    assert result.returncode == 2, result.stderr
    lines = result.stderr.strip().splitlines()
    assert lines[-1].startswith("corlap score: error: cannot reach the Dask scheduler at "
                                f"'tcp://127.0.0.1:{port}'")
    assert "Traceback" not in result.stderr
    assert not (files["dir"] / "f.bw").exists()
