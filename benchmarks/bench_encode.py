"""Tracks at the speed of their kernels: what the encoding of the outputs
costs beside the scoring, as ratios measured in one run.

1. PWM length 10, both strands to bigWig, 50 Mbp in 4 chromosomes, 1
   worker: the machine's busy CPU (from /proc/stat: every process, the
   calling one and the workers alike) beyond start-up (the same command on
   a 20 kbp genome), against the kernels' CPU in one process (fetch, code
   and score both strands, chunk by chunk).  Target: within 2x.
   Beside it, the CPU of the command's own processes, polled from /proc:
   what a shared machine still lets one measure (a little short of the
   busy CPU of a quiet machine: the kernel's writeback and each process's
   last moments go uncounted).
2. One strand of 6 Mbp, PWM length 10, 2 workers: the wall time of
   ``.bedgraph`` and of ``.bedgraph.gz`` against ``.bw``.  Targets: within
   3x and 5x.
3. The encoding alone, in one process: CPU per value of a 1 Mbp chunk to
   bigWig streams and to bedGraph text.

/proc/stat counts the whole machine: on a shared machine the busy CPU
holds the others' work too (the start-up run's figure shows how much).
BENCH_ENCODE_BASELINE=DIR runs every command a second time with DIR first
on PYTHONPATH (an install of another corlap, e.g. ``pip install --target
DIR`` of the main branch), for figures of both side by side.  Each figure
is the best of BENCH_RUNS runs (default 3).
"""
from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

from corlap import tracks
from corlap.bed import Site
from corlap.models import load_model, save_model
from corlap.training import train_model
from corlap.utils.fasta import open_fasta

RUNS = int(os.environ.get("BENCH_RUNS", "3"))
BASELINE = os.environ.get("BENCH_ENCODE_BASELINE")
CHUNK = 1_000_000
TICK = os.sysconf("SC_CLK_TCK")


def write_genome(path: pathlib.Path, sizes) -> dict[str, int]:
    rng = np.random.default_rng(7)
    alphabet = np.frombuffer(b"ACGT", dtype=np.uint8)
    with open(path, "wb") as stream:
        for k, size in enumerate(sizes):
            stream.write(f">chr{k + 1}\n".encode())
            text = alphabet[rng.integers(0, 4, size)].tobytes()
            stream.write(b"\n".join(text[at:at + 60] for at in range(0, size, 60)) + b"\n")
    open_fasta(path).close()
    return {f"chr{k + 1}": size for k, size in enumerate(sizes)}


def pwm(directory: pathlib.Path, fasta, lengths) -> pathlib.Path:
    rng = np.random.default_rng(8)
    chrom = next(iter(lengths))
    sites = [Site(chrom, int(p), int(p) + 1, "+-"[int(rng.integers(2))])
             for p in rng.integers(100, lengths[chrom] - 100, 2_000)]
    model, _ = train_model(fasta, sites, "PWM", 10, background=2_000, seed=1)
    save_model(model, directory / "pwm10.npz")
    return directory / "pwm10.npz"


def busy_seconds() -> float:
    with open("/proc/stat") as stream:
        user, nice, system, _idle, _iowait, irq, softirq = map(int, stream.readline().split()[1:8])
    return (user + nice + system + irq + softirq) / TICK


def tree_cpu(root: int, seconds: dict, stop: threading.Event) -> None:
    """CPU seconds of every process of the tree under ``root``, as last
    seen in /proc (polled every 20 ms: a process's last moments are lost)."""
    while not stop.is_set():
        stack = [root]
        while stack:
            pid = stack.pop()
            try:
                with open(f"/proc/{pid}/task/{pid}/children") as stream:
                    stack.extend(int(child) for child in stream.read().split())
                with open(f"/proc/{pid}/stat") as stream:
                    fields = stream.read().rsplit(")", 1)[1].split()
                seconds[pid] = (int(fields[11]) + int(fields[12])) / TICK
            except (OSError, ValueError, IndexError):
                continue
        stop.wait(0.02)


def command(args, baseline=None) -> tuple[float, float, float]:
    """Wall time, the machine's busy CPU and the CPU of the command's own
    processes (its workers among them) of one ``corlap`` command."""
    env = dict(os.environ)
    if baseline:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [baseline, env.get("PYTHONPATH")]))
    busy, started = busy_seconds(), time.perf_counter()
    process = subprocess.Popen([sys.executable, "-m", "corlap", *map(str, args)], env=env)
    seconds: dict[int, float] = {}
    stop = threading.Event()
    poller = threading.Thread(target=tree_cpu, args=(process.pid, seconds, stop))
    poller.start()
    process.wait()
    stop.set()
    poller.join()
    if process.returncode:
        raise SystemExit(f"corlap {' '.join(map(str, args))} failed")
    return time.perf_counter() - started, busy_seconds() - busy, sum(seconds.values())


ENCODING = """
import time, numpy as np
from corlap import _bigwig, _engine
rng = np.random.default_rng(1)
table = rng.normal(size=(10, 4))
codes = rng.integers(0, 4, 1_000_010)
values = sum(table[k][codes[k:k + 1_000_000]] for k in range(10))
values[rng.integers(0, 1_000_000, 50)] = np.nan
def cost(encode, runs):
    best = float("inf")
    for _ in range(runs):
        started = time.process_time()
        encode()
        best = min(best, time.process_time() - started)
    return best / 1e-3    # ns per value of 1e6
print(cost(lambda: _bigwig.encode([(0, 1_000_000, values, True, True)]), 9),
      cost(lambda: _engine.encode_bedgraph("chr1", 1_000_000, values), 3))
"""


def encoding_ns(baseline=None) -> list[float]:
    env = dict(os.environ)
    if baseline:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [baseline, env.get("PYTHONPATH")]))
    out = subprocess.run([sys.executable, "-c", ENCODING], check=True, env=env,
                         capture_output=True, text=True).stdout
    return [float(word) for word in out.split()]


def kernels_cpu(fasta, model_path, lengths) -> float:
    """CPU of the scoring alone, in this process: each chunk fetched, coded
    and scored on both strands, as a task does before encoding."""
    model = load_model(model_path)
    started = time.process_time()
    with open_fasta(fasta) as genome:
        for chrom, length in lengths.items():
            for start in range(0, length, CHUNK):
                tracks.interval_scores(model, genome, chrom, start, min(length, start + CHUNK),
                                       ("forward", "reverse"))
    return time.process_time() - started


def best(measure, runs=RUNS):
    return min((measure() for _ in range(runs)), key=lambda found: found[0])


def main() -> int:
    versions = [("this tree", None)] + ([("baseline", BASELINE)] if BASELINE else [])
    with tempfile.TemporaryDirectory() as tmp:
        directory = pathlib.Path(tmp)
        big = write_genome(directory / "big.fa", [12_500_000] * 4)
        tiny = write_genome(directory / "tiny.fa", [20_000])
        six = write_genome(directory / "six.fa", [6_000_000])
        model = pwm(directory, directory / "big.fa", big)
        out = directory / "out"
        out.mkdir()
        kernels = min(kernels_cpu(directory / "big.fa", model, big) for _ in range(RUNS))
        print(f"1. PWM 10, both strands to bigWig, {sum(big.values()) / 1e6:.0f} Mbp, 1 worker; "
              f"kernels in one process: {kernels:.2f} CPU-s")
        for label, path in versions:
            def score(fasta):
                return command(["score", "-f", fasta, "-m", model, "-p", 1, "-q",
                                "--forward", out / "f.bw", "--reverse", out / "r.bw"], path)
            start_wall, start_busy, start_own = best(lambda: score(directory / "tiny.fa"))
            wall, busy, own = best(lambda: score(directory / "big.fa"))
            beyond, own_beyond = busy - start_busy, own - start_own
            print(f"   {label}: {wall:.2f} s; start-up {start_wall:.2f} s. Beyond start-up: "
                  f"machine busy {beyond:.2f} CPU-s = {beyond / kernels:.2f}x the kernels "
                  f"(target <= 2x: {'met' if beyond <= 2 * kernels else 'NOT MET'}); the "
                  f"command's processes {own_beyond:.2f} CPU-s = {own_beyond / kernels:.2f}x")
        print("2. one strand of 6 Mbp, PWM 10, 2 workers")
        for label, path in versions:
            times = {}
            for name in ("f.bw", "f.bedgraph", "f.bedgraph.gz"):
                times[name], *_ = best(lambda: command(
                    ["score", "-f", directory / "six.fa", "-m", model, "-p", 2, "-q",
                     "--forward", out / name], path))
            bw = times["f.bw"]
            print(f"   {label}: .bw {bw:.2f} s, .bedgraph {times['f.bedgraph']:.2f} s "
                  f"({times['f.bedgraph'] / bw:.2f}x, target <= 3x), .bedgraph.gz "
                  f"{times['f.bedgraph.gz']:.2f} s ({times['f.bedgraph.gz'] / bw:.2f}x, "
                  f"target <= 5x)")
    print("3. encoding a 1 Mbp chunk in one process, CPU per value")
    for label, path in versions:
        bigwig, bedgraph = encoding_ns(path)
        print(f"   {label}: bigWig streams {bigwig:.1f} ns, bedGraph text {bedgraph:.0f} ns")
    return 0


if __name__ == "__main__":
    sys.exit(main())
