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

3. Reading through htslib (``reads.read_insertions``, the extension's
   reader on htslib's index and iterator), each against a baseline in
   the same run:
   - 6 M reads on 3 x 40 Mbp against the previous decoder of corlap's
     own (the install of BENCH_READS_BASELINE_PYTHON, by default
     a virtual environment of the previous release; skipped when it does not exist)
     (target: within 1.1x);
   - 20,000 scaffolds of 1 kbp with 20 reads each against a plain pysam
     loop (a fetch per scaffold, the filters, the positions kept)
     (target: no slower); beside it, reading the file from end to end
     (what read_insertions does here) against a query per scaffold;
   - ``correct`` (corrected track, 2 workers) over a chromosome of
     BENCH_READS_LONG_MBP (default 130) with BENCH_READS_LONG_MILLIONS
     reads (default 2), indexed by a .csi against the same run with a
     .bai (target: within 1.2x).
   BENCH_READS_PARTS=1,2,3 chooses the parts run (default all).

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
import shutil
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
RUNS = int(os.environ.get("BENCH_RUNS", "3"))    # each time is the best of this many runs
PARTS = set(os.environ.get("BENCH_READS_PARTS", "1,2,3").split(","))
BASELINE_PYTHON = os.environ.get("BENCH_READS_BASELINE_PYTHON", "")
LONG_MBP = float(os.environ.get("BENCH_READS_LONG_MBP", "130"))
LONG_MILLIONS = float(os.environ.get("BENCH_READS_LONG_MILLIONS", "2"))
SCAFFOLDS = 20_000


def verdict(ok: bool) -> str:
    return "met" if ok else "NOT met"


# --- inputs ------------------------------------------------------------------

def make_genome(directory: pathlib.Path, lengths: dict[str, int] | None = None,
                name: str = f"genome-{MBP:g}") -> tuple[pathlib.Path, dict[str, int]]:
    fasta = directory / f"{name}.fa"
    if lengths is None:
        size = int(MBP * 1_000_000 / CHROMOSOMES)
        lengths = {f"chr{k + 1}": size for k in range(CHROMOSOMES)}
    if fasta.exists():
        return fasta, lengths
    rng = np.random.default_rng(30)
    partial = fasta.with_suffix(".partial")
    with open(partial, "w") as stream:
        for name, size in lengths.items():
            text = bytearray(np.frombuffer(b"ACGT", dtype=np.uint8)[
                rng.integers(0, 4, size)].tobytes())
            for start in rng.integers(0, size - 5_000, 3 if size > 10_000 else 0):  # N runs
                run = int(rng.integers(100, 5_000))
                text[start:start + run] = b"N" * run
            stream.write(f">{name}\n")
            for at in range(0, size, 60):
                stream.write(text[at:at + 60].decode() + "\n")
    partial.rename(fasta)
    return fasta, lengths


def make_reads(directory: pathlib.Path, lengths: dict[str, int], millions: float,
               name: str | None = None, points=None) -> pathlib.Path:
    """A sorted, indexed BAM of that many reads (or of reads at ``points``,
    offsets into the sequences laid end to end)."""
    import pysam

    bam = directory / (name or f"reads-{MBP:g}-{millions:g}M.bam")
    if bam.exists() and pathlib.Path(f"{bam}.bai").exists():
        return bam
    rng = np.random.default_rng(int(millions * 1000))
    total = int(millions * 1_000_000) if points is None else len(points)
    genome = sum(lengths.values())
    if points is None:
        # Open regions of 2 kbp every 20 kbp take 80 % of the insertions.
        opened = rng.random(total) < 0.8
        points = np.where(opened,
                          (rng.integers(0, genome // 20_000, total) * 20_000
                           + rng.integers(0, 2_000, total)),
                          rng.integers(0, genome, total))
    points = np.sort(points)
    ends = np.cumsum(list(lengths.values()))
    header = {"HD": {"VN": "1.6", "SO": "coordinate"},
              "SQ": [{"SN": name, "LN": length} for name, length in lengths.items()]}
    reverse = rng.random(total) < 0.5
    duplicate = rng.random(total) < 0.05
    unmapped_quality = rng.random(total) < 0.03
    sequence = "ACGT" * (READ_LENGTH // 4) + "A" * (READ_LENGTH % 4)
    qualities = pysam.qualitystring_to_array("I" * READ_LENGTH)
    partial = bam.with_suffix(".partial")
    names_lengths = list(lengths.values())
    with pysam.AlignmentFile(str(partial), "wb", header=header) as out:
        chrom, offset = 0, 0
        for k, point in enumerate(points.tolist()):
            while point >= ends[chrom]:
                offset = int(ends[chrom])
                chrom += 1
            start = min(point - offset, names_lengths[chrom] - READ_LENGTH)
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


def make_model(directory: pathlib.Path, fasta, bam, name: str = f"dwm10-{MBP:g}") -> pathlib.Path:
    from corlap import reads
    from corlap.models import save_model

    path = directory / f"{name}.npz"
    if not path.exists():
        model, _ = reads.train_from_reads(fasta, bam, "DWM", 10, max_sites=200_000)
        save_model(model, path)
    return path


# --- jobs (each in a process of its own) ---------------------------------------

# The flags corlap.reads leaves out: unmapped, secondary, failing QC,
# duplicate, supplementary (and MAPQ below 30).
LEFT_OUT = 0x4 | 0x100 | 0x200 | 0x400 | 0x800


def _sequence_names(fasta) -> list[str]:
    from corlap.utils.fasta import open_fasta

    with open_fasta(fasta) as genome:
        return list(genome.references)


def job_iterate(fasta, bam) -> dict:
    """pysam over every read of the FASTA's sequences with the filters of
    corlap.reads, and nothing else."""
    import pysam

    names = _sequence_names(fasta)
    left_out = LEFT_OUT
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


def job_insertions(fasta, bam) -> dict:
    """read_insertions alone, in whichever corlap the interpreter has."""
    import resource

    from corlap import reads

    def cpu():
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return usage.ru_utime + usage.ru_stime

    started, used = time.perf_counter(), cpu()
    insertions = reads.read_insertions(bam, fasta)
    return {"seconds": time.perf_counter() - started, "cpu": cpu() - used,
            "taken": insertions.total}


def job_pysam_loop(fasta, bam) -> dict:
    """A plain pysam loop making what read_insertions makes: a fetch per
    sequence, the filters, the 5' ends kept in arrays."""
    import array

    import pysam

    names = _sequence_names(fasta)
    left_out = LEFT_OUT
    started = time.perf_counter()
    taken = 0
    with pysam.AlignmentFile(bam) as handle:
        for name in names:
            starts, ends = array.array("q"), array.array("q")
            for read in handle.fetch(name):
                if read.flag & left_out or read.mapping_quality < 30:
                    continue
                if read.flag & 0x10:
                    ends.append(read.reference_end)
                else:
                    starts.append(read.reference_start)
            taken += len(starts) + len(ends)
    return {"seconds": time.perf_counter() - started, "taken": taken}


def job_query_each(fasta, bam) -> dict:
    """The reader's two ways over every sequence: a query per sequence,
    and the file read from end to end (ends_each, as read_insertions)."""
    from corlap._alignments import BamReader

    names = _sequence_names(fasta)
    with BamReader(bam) as reader:
        started = time.perf_counter()
        queried = [reader.ends(name, 0, 2 ** 62, 30) for name in names]
        per_query = time.perf_counter() - started
        started = time.perf_counter()
        streamed = reader.ends_each(names, 30)
        stream = time.perf_counter() - started
    assert queried == streamed
    return {"seconds": stream, "per_query": per_query}


def job_chunk_queries(bai_bam, csi_bam) -> dict:
    """The reads queries of a correction by 1 Mbp chunks with their flanks,
    through a .bai and through a .csi: CPU seconds of each, best of 3."""
    import resource

    from corlap._alignments import BamReader

    def cpu():
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return usage.ru_utime + usage.ru_stime

    times = {}
    for _ in range(3):
        for label, path in (("bai", bai_bam), ("csi", csi_bam)):
            with BamReader(path) as reader:
                name, length = reader.references[0], reader.lengths[0]
                used = cpu()
                for start in range(0, length, CHUNK):
                    reader.ends(name, max(start - 60, 0), start + CHUNK + 60, 30)
                times[label] = min(times.get(label, float("inf")), cpu() - used)
    return {"seconds": times["csi"], "bai": times["bai"], "csi": times["csi"]}


JOBS = {"iterate": job_iterate, "train": job_train, "score": job_score,
        "correct": job_correct, "insertions": job_insertions, "pysam_loop": job_pysam_loop,
        "query_each": job_query_each, "chunk_queries": job_chunk_queries}


def run_job(name: str, *args, python: str = sys.executable) -> tuple[dict, str]:
    """The job in a new interpreter: its result and its processes' peaks."""
    sys.path.insert(0, str(HERE))
    from bench_tracks import PeakMemory

    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_READS_DIR")) as out:
        # The jobs that write take a new directory as their last argument.
        arguments = [str(a) for a in args] + ([out] if name in ("score", "correct") else [])
        process = subprocess.Popen([python, __file__, "--job", name, *arguments],
                                   stdout=subprocess.PIPE, text=True)
        with PeakMemory([process.pid]) as memory:
            output, _ = process.communicate()
        if process.returncode != 0:
            raise SystemExit(f"job {name} failed")
    return json.loads(output.splitlines()[-1]), memory.describe(process.pid)


def best(name: str, *args, python: str = sys.executable) -> tuple[dict, str]:
    runs = [run_job(name, *args, python=python) for _ in range(RUNS)]
    return min(runs, key=lambda run: run[0]["seconds"])


def best_in_turns(*jobs) -> list[tuple[dict, str]]:
    """The best of RUNS runs of each job, (name, args, python), taken in
    turns so that all meet the same moods of a shared machine."""
    runs = [[] for _ in jobs]
    for _ in range(RUNS):
        for kept, (name, args, python) in zip(runs, jobs):
            kept.append(run_job(name, *args, python=python))
    return [min(kept, key=lambda run: run[0]["seconds"]) for kept in runs]


def reading(directory: pathlib.Path) -> None:
    """Part 3: reading through htslib against its baselines."""
    here = sys.executable
    # 6 M reads on 3 x 40 Mbp, against the previous decoder.
    fasta, lengths = make_genome(directory, {f"chr{k + 1}": 40_000_000 for k in range(3)},
                                 "genome-3x40")
    bam = make_reads(directory, lengths, 6, "reads-3x40-6M.bam")
    if os.path.exists(BASELINE_PYTHON):
        (ours, _), (theirs, _) = best_in_turns(("insertions", (fasta, bam), here),
                                               ("insertions", (fasta, bam), BASELINE_PYTHON))
        assert ours["taken"] == theirs["taken"], (ours, theirs)
        ratio = ours["seconds"] / theirs["seconds"]
        print(f"3. read_insertions, 6 M reads on 3 x 40 Mbp ({ours['taken']} insertions): "
              f"htslib {ours['seconds']:.2f} s, previous decoder {theirs['seconds']:.2f} s "
              f"-> {ratio:4.2f}x  (target <= 1.1x: {verdict(ratio <= 1.1)}); CPU "
              f"{ours['cpu']:.2f} s against {theirs['cpu']:.2f} s "
              f"-> {ours['cpu'] / theirs['cpu']:4.2f}x")
    else:
        print(f"3. no baseline interpreter at {BASELINE_PYTHON}: the previous decoder "
              f"is not measured")
    # 20,000 scaffolds of 20 reads, against a plain pysam loop.
    fasta, lengths = make_genome(directory, {f"scaffold_{k}": 1_000 for k in range(SCAFFOLDS)},
                                 "scaffolds")
    rng = np.random.default_rng(4)
    points = (np.repeat(np.arange(SCAFFOLDS) * 1_000, 20)
              + rng.integers(0, 1_000 - READ_LENGTH, 20 * SCAFFOLDS))
    bam = make_reads(directory, lengths, 0, "reads-scaffolds.bam", points=points)
    (ours, _), (loop, _), (ways, _) = best_in_turns(
        ("insertions", (fasta, bam), here), ("pysam_loop", (fasta, bam), here),
        ("query_each", (fasta, bam), here))
    ratio = ours["seconds"] / loop["seconds"]
    print(f"   read_insertions, {SCAFFOLDS:,} scaffolds of 20 reads: {ours['seconds']:.2f} s, "
          f"pysam loop {loop['seconds']:.2f} s -> {ratio:4.2f}x  "
          f"(target <= 1x: {verdict(ratio <= 1)})")
    print(f"   reading them end to end {ways['seconds']:.3f} s, a query per scaffold "
          f"{ways['per_query']:.3f} s -> {ways['seconds'] / ways['per_query']:4.2f}x")
    # correct over a long chromosome, .csi against .bai.
    fasta, lengths = make_genome(directory, {"chrL": int(LONG_MBP * 1_000_000)},
                                 f"long-{LONG_MBP:g}")
    bam = make_reads(directory, lengths, LONG_MILLIONS, f"long-{LONG_MBP:g}-{LONG_MILLIONS:g}M.bam")
    model = make_model(directory, fasta, bam, f"dwm10-long-{LONG_MBP:g}")
    csi_dir = directory / "csi"
    csi_dir.mkdir(exist_ok=True)
    csi = csi_dir / bam.name
    if not pathlib.Path(f"{csi}.csi").exists():
        import pysam
        shutil.copyfile(bam, csi)
        pysam.index("-c", str(csi))
    (with_bai, _), (with_csi, _) = best_in_turns(
        ("correct", (fasta, bam, model, "corrected"), here),
        ("correct", (fasta, csi, model, "corrected"), here))
    ratio = with_csi["seconds"] / with_bai["seconds"]
    print(f"   correct over {LONG_MBP:g} Mbp, {LONG_MILLIONS:g} M reads: .csi "
          f"{with_csi['seconds']:.2f} s, .bai {with_bai['seconds']:.2f} s -> {ratio:4.2f}x  "
          f"(target <= 1.2x: {verdict(ratio <= 1.2)})")
    queries, _ = run_job("chunk_queries", bam, csi)
    print(f"   its reads queries alone (1 Mbp chunks): .csi {queries['csi']:.3f} s CPU, .bai "
          f"{queries['bai']:.3f} s -> {queries['csi'] / queries['bai']:4.2f}x")


def main() -> int:
    kept = os.environ.get("BENCH_READS_DIR")
    directory = pathlib.Path(kept or tempfile.mkdtemp(prefix="bench-reads-"))
    directory.mkdir(parents=True, exist_ok=True)
    try:
        if PARTS & {"1", "2"}:
            training_and_correction(directory)
        if "3" in PARTS:
            reading(directory)
    finally:
        if not kept:
            shutil.rmtree(directory, ignore_errors=True)
    return 0


def training_and_correction(directory: pathlib.Path) -> None:
    """Parts 1 and 2."""
    started = time.perf_counter()
    fasta, lengths = make_genome(directory)
    train_bam = make_reads(directory, lengths, TRAIN_MILLIONS)
    correct_bam = make_reads(directory, lengths, CORRECT_MILLIONS)
    model = make_model(directory, fasta, train_bam)
    print(f"inputs ready in {time.perf_counter() - started:.0f} s: {MBP:g} Mbp, "
          f"{TRAIN_MILLIONS:g} M and {CORRECT_MILLIONS:g} M reads")
    if "1" in PARTS:
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
    if "2" in PARTS:
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


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--job":
        result = JOBS[sys.argv[2]](*sys.argv[3:])
        print(json.dumps(result))
        sys.exit(0)
    sys.exit(main())
