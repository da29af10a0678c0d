"""What the command line says: version, help, the summary lines and
--quiet, a scheduler that is not there, indexer failures in one line,
Ctrl-C whenever it comes; and ``corlap inspect``, whose figures are
computed here again from the model's tables."""

import importlib.metadata
import math
import os
import re
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import read_plain_fasta, write_fasta, LAMBDA_FASTA, group_members
from corlap.__main__ import build_parser, main
from corlap.models import save_model
from corlap.utils.sequences import SequenceMatrix, nuc_to_num


def corlap(*args, timeout=120):
    return subprocess.run([sys.executable, "-m", "corlap", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


# --- version and help ----------------------------------------------------------------

def test_version_is_the_installed_distributions():
    done = corlap("--version")
    assert done.returncode == 0
    assert done.stdout == f"corlap {importlib.metadata.version('corlap')}\n"


def subcommands():
    parser = build_parser()
    commands = next(action for action in parser._actions if action.dest == "command")
    return parser, commands.choices


@pytest.mark.parametrize("command", ["train", "score", "footprints", "inspect"])
def test_each_command_helps_every_option_and_ends_with_examples(command):
    _, choices = subcommands()
    undocumented = [action.dest for action in choices[command]._actions
                    if not action.help]
    assert undocumented == []
    done = corlap(command, "--help")
    assert done.returncode == 0
    examples = done.stdout.split("examples:\n", 1)[1].split("\n\n")[0]
    runs = [line for line in examples.splitlines() if line.startswith("  corlap ")
            or "| corlap " in line]
    assert 2 <= len(runs) <= 3, examples
    for status in ("0 ", "1 ", "2 ", "128+N"):
        assert f"\n  {status}" in done.stdout


def test_main_help_documents_exit_codes():
    done = corlap("--help")
    codes = re.findall(r"^  (\d+(?:\+N)?) ", done.stdout, flags=re.MULTILINE)
    assert codes == ["0", "1", "2", "128+N"]
    assert "130 for Ctrl-C" in done.stdout


# --- summary lines ---------------------------------------------------------------------

def test_summary_lines_on_a_non_terminal_and_none_when_quiet(tmp_path, genome_fasta,
                                                              genome_dir, genome_records):
    train = ["train", "-f", genome_fasta, "--sites", genome_dir / "sites.bed", "--type",
             "pwm", "--length", 7, "--background", 500, "-o", tmp_path / "m.npz"]
    (tmp_path / "r.bed").write_text("chrA\t100\t200\nchrA\t150\t260\nchrC\t0\t9999\n")
    score = ["score", "-f", genome_fasta, "-m", tmp_path / "m.npz", "-p", 1,
             "--forward", tmp_path / "f.bw", "--reverse", tmp_path / "r.bg",
             "--regions", tmp_path / "r.bed"]
    trained = corlap(*train)
    sites = (genome_dir / "sites.bed").read_text().count("\n")
    assert trained.returncode == 0
    line = trained.stderr.splitlines()
    assert len(line) == 1 and line[0].startswith("corlap train: ")
    counted = re.search(r"(\d+) site windows counted; (\d+) sites skipped \(window runs "
                        r"off the chromosome\); (\d+) sites skipped \(window holds",
                        line[0])
    assert sum(map(int, counted.groups())) == sites
    # The random draws that hold the N run or the IUPAC letters are told apart.
    background = re.search(r"background: (\d+) windows counted(?:, (\d+) windows skipped "
                           r"\(hold a base other than A, C, G, T\))?;", line[0])
    assert int(background.group(1)) + int(background.group(2) or 0) == 500
    scored = corlap(*score)
    assert scored.returncode == 0
    # 160 bases of chrA (100..260) and all 3,502 of chrC.
    match = re.fullmatch(r"corlap score: 3,662 positions scored; (.*) and (.*) written in "
                         r"(\d+\.\d) s\n", scored.stderr)
    assert match and match.groups()[:2] == (str(tmp_path / "f.bw"), str(tmp_path / "r.bg"))
    assert len(genome_records["chrC"]) == 3502
    for args in (train, score):
        quiet = corlap(*args, "--quiet")
        assert (quiet.returncode, quiet.stderr, quiet.stdout) == (0, "", "")


def test_a_refused_scheduler_port_fails_at_once(tmp_path, genome_fasta, model_files):
    pytest.importorskip("distributed")
    with socket.socket() as probe:       # a loopback port nobody listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    started = time.monotonic()
    done = corlap("score", "-f", genome_fasta, "-m", model_files["PWM"],
                  "--forward", tmp_path / "f.bw", "--scheduler", f"tcp://127.0.0.1:{port}")
    assert time.monotonic() - started < 5
    assert done.returncode == 2
    assert done.stderr.splitlines() == [
        f"corlap score: connecting to tcp://127.0.0.1:{port}",
        f"corlap score: error: cannot reach the Dask scheduler at 'tcp://127.0.0.1:{port}': "
        f"Connection refused"]
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("text,said", [
    ("chrA\t10\t20\nchrA\t30\t40\n", 'Format error, unexpected "c" at line 1'),
    (">a\nACGT\nACGTAC\nAC\n", "Different line length in sequence 'a' at line 3"),
])
def test_a_file_the_indexer_refuses_gives_one_line(text, said, tmp_path, genome_dir):
    (tmp_path / "x.bed").write_text(text)
    done = corlap("train", "-f", tmp_path / "x.bed", "--sites", genome_dir / "sites.bed",
                  "--type", "PWM", "--length", 5, "-o", tmp_path / "m.npz")
    assert done.returncode == 2
    assert done.stderr == (f"corlap train: error: FASTA file '{tmp_path / 'x.bed'}' cannot "
                           f"be indexed: {said}\n")
    assert sorted(os.listdir(tmp_path)) == ["x.bed"]


# --- Ctrl-C ------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def long_genome(tmp_path_factory):
    """60 copies of lambda: a run of the DWM lasts seconds."""
    from corlap.utils.fasta import open_fasta

    path = tmp_path_factory.mktemp("long") / "long.fa"
    text = read_plain_fasta(LAMBDA_FASTA)
    write_fasta(path, {f"c{k}": text for k in range(60)})
    open_fasta(path).close()
    return path


def handles_sigterm(process, out):
    """The process has its own handler of SIGTERM: corlap's, as Python
    installs none."""
    try:
        with open(f"/proc/{process.pid}/status") as status:
            caught = next(line for line in status if line.startswith("SigCgt:"))
    except (OSError, StopIteration):
        return False
    return bool(int(caught.split()[1], 16) >> (signal.SIGTERM - 1) & 1)


# Moments of a run, told by what can be seen of it rather than by a delay,
# which a busy machine would stretch.
MOMENTS = {
    "started": handles_sigterm,
    "pool starting": lambda process, out: len(group_members(process.pid)) >= 3,
    "writing": lambda process, out: any(name.startswith(".") for name in os.listdir(out)),
}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="processes from /proc")
@pytest.mark.parametrize("moment", MOMENTS)
def test_ctrl_c_whenever_it_comes(moment, tmp_path, long_genome, model_files):
    out = tmp_path / "out"
    out.mkdir()
    (out / "f.bw").write_bytes(b"earlier")
    process = subprocess.Popen(
        [sys.executable, "-m", "corlap", "score", "-f", str(long_genome),
         "-m", str(model_files["DWM"]), "--forward", str(out / "f.bw"),
         "--reverse", str(out / "r.bg.gz"), "-p", "2", "--chunk-size", "50000"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while not MOMENTS[moment](process, out) and process.poll() is None:
            assert time.monotonic() < deadline, moment
            time.sleep(0.01)
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=30)
        assert process.returncode == 130, stderr
        assert stderr == "corlap score: interrupted; no output written\n"
        assert os.listdir(out) == ["f.bw"] and (out / "f.bw").read_bytes() == b"earlier"
        deadline = time.monotonic() + 10
        while group_members(process.pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert group_members(process.pid) == []
    finally:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        process.wait()


# --- inspect -------------------------------------------------------------------------------

BASES = "ACGT"
CODE_ROW = {"A": 0, "T": 1, "C": 2, "G": 3}


def trained(kind, length, rng):
    """A model of random sequences, with a C at the centre of most."""
    model = SequenceMatrix.create(length, kind)
    for _ in range(60):
        text = "".join(rng.choice(list(BASES), length))
        if rng.random() < 0.8:
            text = text[:length // 2] + "C" + text[length // 2 + 1:]
        model.add_sequence(nuc_to_num(text))
    for _ in range(150):
        model.add_background(nuc_to_num("".join(rng.choice(list(BASES), length))))
    model.prepare_mat()
    return model


def report_rows(text):
    """position -> (bits, probabilities of A, C, G, T) from the report."""
    rows = {}
    for line in text.splitlines():
        fields = line.split()
        if len(fields) == 7 and fields[0].isdigit():
            rows[int(fields[0])] = (float(fields[2]), [float(f) for f in fields[3:]])
    return rows


@pytest.mark.parametrize("kind,length", [("PWM", 7), ("DWM", 6)])
def test_inspect_figures_equal_the_models_tables(kind, length, tmp_path, capsys):
    model = trained(kind, length, np.random.default_rng(length))
    save_model(model, tmp_path / "m.npz")
    assert main(["inspect", str(tmp_path / "m.npz"), "--plot", str(tmp_path / "m.png")]) == 0
    out = capsys.readouterr().out
    assert f"type        {kind}\n" in out and f"length      {length} " in out
    assert "sites       60 windows counted" in out
    assert "background  150 windows counted" in out
    rows = report_rows(out)
    assert sorted(rows) == list(range(1, length + 1))
    total = 0.0
    for position in range(length):
        p = [model.bias_pwm[CODE_ROW[base], position] for base in BASES]
        q = [model.bg_pwm[CODE_ROW[base], position] for base in BASES]
        bits = sum(a * math.log2(a / b) for a, b in zip(p, q))
        total += bits
        shown_bits, shown_p = rows[position + 1]
        assert shown_bits == pytest.approx(bits, abs=6e-4)
        assert shown_p == pytest.approx(p, abs=6e-4)
    centre = rows[length // 2 + 1]
    assert centre[1][1] > 0.7 and centre[0] == max(bits for bits, _ in rows.values())
    assert float(re.search(r"total\s+(\S+)", out).group(1)) == pytest.approx(total, abs=6e-4)
    if kind == "DWM":
        pairs = out.split("most dependent pairs")[1].splitlines()[1:]
        first, second, shown = pairs[0].split()
        m, n = int(first) - 1, int(second) - 1
        joint = [[model.bias_dwm[CODE_ROW[a], CODE_ROW[b], m, n] for b in BASES]
                 for a in BASES]
        rows_sum = [sum(row) for row in joint]
        columns_sum = [sum(row[k] for row in joint) for k in range(4)]
        information = sum(joint[a][b] * math.log2(joint[a][b] / (rows_sum[a] * columns_sum[b]))
                          for a in range(4) for b in range(4))
        assert float(shown) == pytest.approx(information, abs=6e-4)
        assert len(pairs) == 5
    else:
        assert "pairs" not in out
    data = (tmp_path / "m.png").read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 5000
    assert sorted(os.listdir(tmp_path)) == ["m.npz", "m.png"]


@pytest.mark.parametrize("name,words", [("m.txt", ["m.txt", "extension"]),
                                        ("no/m.png", ["does not exist"])])
def test_inspect_refuses_a_plot_it_cannot_write(name, words, tmp_path, model_files, capsys):
    assert main(["inspect", str(model_files["PWM"]), "--plot", str(tmp_path / name)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and all(word in err for word in words)


def test_inspect_of_a_file_that_is_no_model(tmp_path, capsys):
    (tmp_path / "x.npz").write_bytes(b"not a model")
    assert main(["inspect", str(tmp_path / "x.npz")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "x.npz: not a corlap model file" in err
