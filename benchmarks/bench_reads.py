"""From aligned reads: training on their insertions, and the corrected
signal, against the floors they build on.

1. Training (``reads.train_from_reads``, DWM length 10, every insertion of
   10 million reads on a 100 Mbp genome) against pysam merely iterating
   over the same reads with the same filters, the floor of any Python
   tool (target: within 1.5x).
2. The corrected signal (``correct.write_correction``, DWM length 10,
   window 101, 2 worker processes, 1 Mbp chunks) of 20 million reads on
   the 100 Mbp genome against ``tracks.write_tracks`` of both strands on
   the same genome and workers (target: within 2x), writing the corrected
   track alone and all three tracks.  Beside them, the floor that reading
   the reads through pysam sets: the time of iterating over them with the
   filters, shared by the workers.

Each job runs in a process of its own, so that its figures are its own:
wall time from the job's start (workers already up), and the peak
resident memory of its process and of each worker.  Reads are mapped
50-base fragments of both strands, 5 % of them duplicates and 3 % of MAPQ
0, whose insertions gather in open regions.

Sizes: BENCH_READS_MBP (genome, default 100), BENCH_READS_TRAIN_MILLIONS
(reads of step 1, default 10), BENCH_READS_CORRECT_MILLIONS (reads of
step 2, default 20).  The genome and the BAM files are kept in
BENCH_READS_DIR when set (made once, reused), else in a temporary
directory.
"""
from __future__ import annotations

import concurrent.futures
import json
import multiprocessing
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
MBP = float(os.environ.get("BENCH_READS_MBP", "100"))
TRAIN_MILLIONS = float(os.environ.get("BENCH_READS_TRAIN_MILLIONS", "10"))
CORRECT_MILLIONS = float(os.environ.get("BENCH_READS_CORRECT_MILLIONS", "20"))
CHROMOSOMES = 5
CHUNK = 1_000_000
WORKERS = 2
READ_LENGTH = 50
RUNS = 3                # each time is the best of this many runs


def verdict(ok: bool) -> str:
    return "met" if ok else "NOT met"


# --- inputs ------------------------------------------------------------------

def make_genome(directory: pathlib.Path) -> tuple[pathlib.Path, dict[str, int]]:
    fasta = directory / f"genome-{MBP:g}.fa"
    size = int(MBP * 1_000_000 / CHROMOSOMES)
    lengths = {f"chr{k + 1}": size for k in range(CHROMOSOMES)}
    if fasta.exists():
        return fasta, lengths
    rng = np.random.default_rng(30)
    partial = fasta.with_suffix(".partial")
    with open(partial, "w") as stream:
        for name in lengths:
            text = bytearray(np.frombuffer(b"ACGT", dtype=np.uint8)[
                rng.integers(0, 4, size)].tobytes())
            for start in rng.integers(0, size - 5_000, 3):      # N runs
                run = int(rng.integers(100, 5_000))
                text[start:start + run] = b"N" * run
            stream.write(f">{name}\n")
            for at in range(0, size, 60):
                stream.write(text[at:at + 60].decode() + "\n")
    partial.rename(fasta)
    return fasta, lengths


def make_reads(directory: pathlib.Path, lengths: dict[str, int], millions: float) -> pathlib.Path:
    """A sorted, indexed BAM of that many reads."""
    import pysam

    bam = directory / f"reads-{MBP:g}-{millions:g}M.bam"
    if bam.exists() and pathlib.Path(f"{bam}.bai").exists():
        return bam
    rng = np.random.default_rng(int(millions * 1000))
    total = int(millions * 1_000_000)
    genome = sum(lengths.values())
    # Open regions of 2 kbp every 20 kbp take 80 % of the insertions.
    opened = rng.random(total) < 0.8
    points = np.where(opened,
                      (rng.integers(0, genome // 20_000, total) * 20_000
                       + rng.integers(0, 2_000, total)),
                      rng.integers(0, genome, total))
    points.sort()
    ends = np.cumsum(list(lengths.values()))
    header = {"HD": {"VN": "1.6", "SO": "coordinate"},
              "SQ": [{"SN": name, "LN": length} for name, length in lengths.items()]}
    reverse = rng.random(total) < 0.5
    duplicate = rng.random(total) < 0.05
    unmapped_quality = rng.random(total) < 0.03
    sequence = "ACGT" * (READ_LENGTH // 4) + "A" * (READ_LENGTH % 4)
    qualities = pysam.qualitystring_to_array("I" * READ_LENGTH)
    partial = bam.with_suffix(".partial")
    with pysam.AlignmentFile(str(partial), "wb", header=header) as out:
        chrom, offset = 0, 0
        for k, point in enumerate(points.tolist()):
            while point >= ends[chrom]:
                offset = int(ends[chrom])
                chrom += 1
            start = min(point - offset, lengths[f"chr{chrom + 1}"] - READ_LENGTH)
            read = pysam.AlignedSegment(out.header)
            read.query_name = f"frag{k:09d}"
            read.flag = (0x10 if reverse[k] else 0) | (0x400 if duplicate[k] else 0)
            read.reference_id = chrom
            read.reference_start = start
            read.mapping_quality = 0 if unmapped_quality[k] else 60
            read.cigartuples = ((0, READ_LENGTH),)
            read.query_sequence = sequence
            read.query_qualities = qualities
            out.write(read)
    partial.rename(bam)
    pysam.index(str(bam))
    return bam


def make_model(directory: pathlib.Path, fasta, bam) -> pathlib.Path:
    from corlap import reads
    from corlap.models import save_model

    path = directory / f"dwm10-{MBP:g}.npz"
    if not path.exists():
        model, _ = reads.train_from_reads(fasta, bam, "DWM", 10, max_sites=200_000)
        save_model(model, path)
    return path


# --- jobs (each in a process of its own) ---------------------------------------

def job_iterate(fasta, bam) -> dict:
    """pysam over every read of the FASTA's sequences with the filters of
    corlap.reads, and nothing else."""
    import pysam

    from corlap.utils.fasta import open_fasta

    with open_fasta(fasta) as genome:
        names = genome.references
    left_out = 0x4 | 0x100 | 0x200 | 0x400 | 0x800
    started = time.perf_counter()
    taken = 0
    with pysam.AlignmentFile(bam) as handle:
        for name in names:
            for read in handle.fetch(name):
                if read.flag & left_out or read.mapping_quality < 30:
                    continue
                taken += 1
    return {"seconds": time.perf_counter() - started, "taken": taken}


def job_train(fasta, bam) -> dict:
    from corlap import reads

    started = time.perf_counter()
    insertions = reads.read_insertions(bam, fasta)
    read_only = time.perf_counter() - started
    started = time.perf_counter()
    _, summary = reads.train_from_reads(fasta, bam, "DWM", 10)
    return {"seconds": time.perf_counter() - started, "reading": read_only,
            "taken": insertions.total + insertions.off, "line": summary.line()}


def _import_library(_):
    import corlap.correct  # noqa: F401


def _pool():
    pool = concurrent.futures.ProcessPoolExecutor(
        WORKERS, mp_context=multiprocessing.get_context("forkserver"))
    list(pool.map(_import_library, range(2 * WORKERS)))      # workers up
    return pool


def job_score(fasta, model, out) -> dict:
    from corlap import tracks

    with _pool() as pool:
        started = time.perf_counter()
        tracks.write_tracks(fasta, model, forward=pathlib.Path(out) / "f.bw",
                            reverse=pathlib.Path(out) / "r.bw", executor=pool,
                            chunk_size=CHUNK, max_in_flight=2 * WORKERS + 1)
        return {"seconds": time.perf_counter() - started}


def job_correct(fasta, bam, model, outputs, out) -> dict:
    from corlap import correct

    paths = {name: pathlib.Path(out) / f"{name}.bw" for name in outputs.split(",")}
    with _pool() as pool:
        started = time.perf_counter()
        correct.write_correction(fasta, bam, model, executor=pool, chunk_size=CHUNK,
                                 max_in_flight=2 * WORKERS + 1, **paths)
        return {"seconds": time.perf_counter() - started}


JOBS = {"iterate": job_iterate, "train": job_train, "score": job_score,
        "correct": job_correct}


def run_job(name: str, *args) -> tuple[dict, str]:
    """The job in a new interpreter: its result and its processes' peaks."""
    sys.path.insert(0, str(HERE))
    from bench_tracks import PeakMemory

    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_READS_DIR")) as out:
        # The jobs that write take a new directory as their last argument.
        arguments = [str(a) for a in args] + ([out] if name in ("score", "correct") else [])
        process = subprocess.Popen([sys.executable, __file__, "--job", name, *arguments],
                                   stdout=subprocess.PIPE, text=True)
        with PeakMemory([process.pid]) as memory:
            output, _ = process.communicate()
        if process.returncode != 0:
            raise SystemExit(f"job {name} failed")
    return json.loads(output.splitlines()[-1]), memory.describe(process.pid)


def best(name: str, *args) -> tuple[dict, str]:
    runs = [run_job(name, *args) for _ in range(RUNS)]
    return min(runs, key=lambda run: run[0]["seconds"])


def main() -> int:
    kept = os.environ.get("BENCH_READS_DIR")
    directory = pathlib.Path(kept or tempfile.mkdtemp(prefix="bench-reads-"))
    directory.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    fasta, lengths = make_genome(directory)
    train_bam = make_reads(directory, lengths, TRAIN_MILLIONS)
    correct_bam = make_reads(directory, lengths, CORRECT_MILLIONS)
    model = make_model(directory, fasta, train_bam)
    print(f"inputs ready in {time.perf_counter() - started:.0f} s: {MBP:g} Mbp, "
          f"{TRAIN_MILLIONS:g} M and {CORRECT_MILLIONS:g} M reads")
    try:
        iterate, iterate_memory = best("iterate", fasta, train_bam)
        train, train_memory = best("train", fasta, train_bam)
        ratio = train["seconds"] / iterate["seconds"]
        print(f"1. training on {TRAIN_MILLIONS:g} M reads ({train['taken']} taken):")
        print(f"   pysam iterating with the filters {iterate['seconds']:6.2f} s   "
              f"({iterate['taken']} taken; peak {iterate_memory})")
        print(f"   train_from_reads, DWM 10         {train['seconds']:6.2f} s   "
              f"(reading the insertions alone {train['reading']:.2f} s; peak {train_memory})")
        print(f"   -> {ratio:4.2f}x the iteration  (target <= 1.5x: {verdict(ratio <= 1.5)})")
        print(f"   {train['line']}")

        score, score_memory = best("score", fasta, model)
        floor, _ = best("iterate", fasta, correct_bam)
        print(f"2. {MBP:g} Mbp, {CORRECT_MILLIONS:g} M reads, DWM 10, {WORKERS} workers:")
        print(f"   write_tracks, both strands       {score['seconds']:6.2f} s   "
              f"(peak {score_memory})")
        print(f"   pysam iterating over these reads with the filters {floor['seconds']:.2f} s, "
              f"over {WORKERS} workers {floor['seconds'] / WORKERS:.2f} s: "
              f"{floor['seconds'] / WORKERS / score['seconds']:.2f}x write_tracks")
        for outputs in ("corrected", "observed,expected,corrected"):
            run, run_memory = best("correct", fasta, correct_bam, model, outputs)
            ratio = run["seconds"] / score["seconds"]
            print(f"   write_correction, {outputs:<27s} {run['seconds']:6.2f} s   "
                  f"-> {ratio:4.2f}x write_tracks  (target <= 2x: {verdict(ratio <= 2)}; "
                  f"peak {run_memory})")
    finally:
        if not kept:
            import shutil
            shutil.rmtree(directory, ignore_errors=True)
    return 0


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--job":
        result = JOBS[sys.argv[2]](*sys.argv[3:])
        print(json.dumps(result))
        sys.exit(0)
    sys.exit(main())
