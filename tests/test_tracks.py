"""Genome-scale scoring (corlap.tracks and ``corlap score``): every value
written equals, bit for bit, ``score_sequence`` of the whole chromosome
(forward) or of its reverse complement read backwards (reverse), whatever
the chunk size, the number of workers, the engine and the regions; and a
failed or interrupted run leaves earlier output untouched."""

import concurrent.futures
import contextlib
import dataclasses
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyBigWig
import pytest

from conftest import reverse_complement
from corlap import _bigwig, _engine, tracks
from corlap.__main__ import main
from corlap.models import load_model
from corlap.utils.sequences import nuc_to_num


@pytest.fixture(scope="session")
def expected(model_files, genome_records):
    """kind -> chrom -> (forward, reverse) values, from one score_sequence
    call on the whole chromosome and one on its reverse complement."""
    values = {}
    for kind, path in model_files.items():
        model = load_model(path)
        values[kind] = {
            chrom: (model.score_sequence(nuc_to_num(text)),
                    model.score_sequence(nuc_to_num(reverse_complement(text)))[::-1])
            for chrom, text in genome_records.items()}
    return values


def assert_bits_equal(got, want):
    """Same length, NaN at the same places, the same bits elsewhere."""
    got, want = np.asarray(got), np.asarray(want)
    assert got.shape == want.shape
    missing = np.isnan(want)
    assert np.array_equal(np.isnan(got), missing)
    assert np.array_equal(got[~missing].view(np.uint64 if got.itemsize == 8 else np.uint32),
                          want[~missing].view(np.uint64 if want.itemsize == 8 else np.uint32))


def read_bigwig(path, lengths):
    """chrom -> float32 values (NaN where the file holds none)."""
    with_file = pyBigWig.open(str(path))
    try:
        assert with_file.chroms() == {c: n for c, n in lengths.items() if n}
        values = {}
        for chrom, length in lengths.items():
            array = np.full(length, np.nan, dtype=np.float32)
            for start, end, value in with_file.intervals(chrom) or ():
                array[start:end] = value
            values[chrom] = array
        return values
    finally:
        with_file.close()


def read_bedgraph(path, lengths):
    """chrom -> float64 values; lines must be in order and never overlap."""
    values = {chrom: np.full(length, np.nan) for chrom, length in lengths.items()}
    last = None
    order = list(lengths)
    for line in pathlib.Path(path).read_text().splitlines():
        chrom, start, end, value = line.split("\t")
        start, end, value = int(start), int(end), float(value)
        assert start < end and not np.isnan(value)
        if last is not None:
            assert (order.index(chrom), start) >= (order.index(last[0]), last[1])
        values[chrom][start:end] = value
        last = (chrom, end)
    return values


def expected_track(expected, kind, strand, chrom, dtype=np.float64):
    return expected[kind][chrom][0 if strand == "forward" else 1].astype(dtype)


@pytest.fixture(scope="session")
def lengths(genome_records):
    return {chrom: len(text) for chrom, text in genome_records.items()}


# --- the library: values per interval ----------------------------------------

@pytest.mark.parametrize("kind", ["PWM", "DWM"])
@pytest.mark.parametrize("chunk_size", [5, 4_999, 1_000_000])
def test_score_intervals_equal_whole_chromosome(kind, chunk_size, genome_fasta, model_files,
                                                expected, lengths):
    """Chunks smaller than the window (5 < 6, 9), uneven ones and one
    chunk per chromosome all give the whole-chromosome values."""
    got = {chrom: ([], []) for chrom in lengths}
    for scored in tracks.score_intervals(genome_fasta, model_files[kind],
                                         chunk_size=chunk_size):
        assert scored.end - scored.start <= chunk_size
        got[scored.chrom][0].append(scored.forward)
        got[scored.chrom][1].append(scored.reverse)
    for chrom in lengths:
        assert_bits_equal(np.concatenate(got[chrom][0]), expected_track(expected, kind, "forward", chrom))
        assert_bits_equal(np.concatenate(got[chrom][1]), expected_track(expected, kind, "reverse", chrom))


def test_score_intervals_one_strand_and_model_object(genome_fasta, model_files, expected):
    model = load_model(model_files["DWM"])
    pieces = list(tracks.score_intervals(genome_fasta, model, strands=["reverse"],
                                         chunk_size=7_000))
    assert all(p.forward is None for p in pieces)
    chrA = np.concatenate([p.reverse for p in pieces if p.chrom == "chrA"])
    assert_bits_equal(chrA, expected_track(expected, "DWM", "reverse", "chrA"))


@pytest.mark.parametrize("threads", [0, 2])
def test_one_model_object_per_thread_and_run_scores_every_chunk(threads, genome_fasta,
                                                                model_files, monkeypatch):
    """The model file is read and rebuilt once per thread that runs tasks
    (the calling one, or each of a pool's); every later chunk of the run
    reuses the same model object (so what the model memoises stays valid)."""
    loads = []
    real_load = tracks.ModelRef.load
    monkeypatch.setattr(tracks.ModelRef, "load",
                        lambda self: loads.append(1) or real_load(self))
    scored_by = set()
    real_score = tracks.interval_scores
    monkeypatch.setattr(tracks, "interval_scores",
                        lambda model, *a: scored_by.add(id(model)) or real_score(model, *a))
    with contextlib.ExitStack() as stack:
        executor = (stack.enter_context(concurrent.futures.ThreadPoolExecutor(threads))
                    if threads else None)
        chunks = list(tracks.score_intervals(genome_fasta, model_files["DWM"],
                                             chunk_size=3_000, executor=executor))
    assert len(chunks) > 10
    assert 1 <= len(loads) <= max(1, threads) and len(scored_by) == len(loads)


def test_plan_chunks_merges_clips_and_packs():
    lengths = {"a": 100, "b": 50}
    regions = [tracks.Interval("b", 40, 80), tracks.Interval("a", 10, 20),
               tracks.Interval("a", 15, 30), tracks.Interval("a", 30, 32),
               tracks.Interval("a", 60, 61), tracks.Interval("a", 5, 5)]
    assert tracks.plan_chunks(lengths, regions, 12) == [
        ("a", ((10, 22),)), ("a", ((22, 32), (60, 61))), ("b", ((40, 50),))]
    assert tracks.plan_chunks(lengths, None, 60) == [
        ("a", ((0, 60),)), ("a", ((60, 100),)), ("b", ((0, 50),))]


@pytest.mark.parametrize("in_flight", [1, 5])
def test_tasks_group_neighbouring_chunks_and_end_alone(in_flight):
    lengths = {"a": 1_000, "b": 7, "c": 3, "d": 455}
    chunks = tracks.plan_chunks(lengths, None, 10)
    tasks = list(_engine._grouped(chunks, in_flight, 4, 10))
    # Every chunk once, in order.
    assert [chunk for task in tasks for chunk in task] == chunks
    sizes = [sum(end - start for _, intervals in task for start, end in intervals)
             for task in tasks]
    assert max(sizes) == 40 and all(size <= 40 for size in sizes)
    # Sizes shrink towards the end; the last tasks hold a chunk's worth.
    assert all(size <= 10 for size in sizes[1 - 2 * in_flight:])
    assert len(tasks) < len(chunks) / 2
    # The short sequences b and c share a task with their neighbours.
    holding_b = next(task for task in tasks if any(chrom == "b" for chrom, _ in task))
    assert {chrom for chrom, _ in holding_b} > {"b"}
    ungrouped = list(_engine._grouped(chunks, in_flight, 1, 10))
    assert all(sum(end - start for _, intervals in task for start, end in intervals) <= 10
               for task in ungrouped)
    assert [chunk for task in ungrouped for chunk in task] == chunks


def test_scaffolds_are_packed_into_tasks_of_a_chunk_size():
    lengths = {f"scaffold_{k}": 1 + (k * 37) % 900 for k in range(3_000)}
    chunks = tracks.plan_chunks(lengths, None, 100_000)
    tasks = list(_engine._grouped(chunks, 3, 1, 100_000))
    assert [chunk for task in tasks for chunk in task] == chunks
    assert len(tasks) <= -(-sum(lengths.values()) // 100_000) + 1
    assert all(sum(end - start for _, intervals in task for start, end in intervals) <= 100_000
               for task in tasks)


@dataclasses.dataclass(frozen=True)
class RampJob:
    period: int


def ramp_task(task, context):
    """Values p % period at each position p, made in one array the context
    reuses for every span."""
    encoder = _engine.Encoder(task)
    for span in task.spans():
        values = context.array("ramp", span.end - span.start)
        values[:] = np.arange(span.start, span.end) % task.job.period
        encoder.add(span, {"ramp": values})
    return encoder.result(extra=task.positions)


def test_a_task_without_fasta_runs_on_the_engine(tmp_path):
    """A task of another kind plugs into the engine: its values reach the
    file although it makes every span's in the same array (spans waiting
    for their batch to fill are the encoder's copies), and what else it
    hands back reaches on_result."""
    lengths = {"a": 5_000, "b": 300}
    regions = [tracks.Interval("a", 10, 40), tracks.Interval("a", 100, 4_000),
               tracks.Interval("b", 0, 300)]
    extras = []
    _engine.write_outputs(ramp_task, RampJob(7), lengths,
                          _engine.plan_chunks(lengths, regions, 1_000),
                          [("ramp", str(tmp_path / "ramp.bw"))],
                          on_result=lambda task, result: extras.append(result.extra))
    got = read_bigwig(tmp_path / "ramp.bw", lengths)
    for chrom, length in lengths.items():
        want = np.full(length, np.nan, dtype=np.float32)
        for region in regions:
            if region.chrom == chrom:
                want[region.start:region.end] = np.arange(region.start, region.end) % 7
        assert_bits_equal(got[chrom], want)
    assert sum(extras) == 30 + 3_900 + 300


# --- the command line: files read back -----------------------------------------

RUNS = [  # kind, workers, chunk size, forward file, reverse file
    ("PWM", 1, 4, "f.bw", "r.bedgraph"),
    ("PWM", 2, 7_777, "f.bg", "r.bigwig"),
    ("DWM", 1, 1_000_000, "f.bedgraph", "r.bw"),
    ("DWM", 2, 5, "f.bw", "r.bg"),
    ("DWM", 2, 2_500, "f.bw", "r.bedgraph"),
    ("DWM", 2, 500, "f.bw", "r.bigwig"),        # bigWig only: tasks of several chunks
]


def check_outputs(directory, kind, forward, reverse, expected, lengths, inside=None):
    """Every file's values equal the whole-chromosome values (at the
    positions in ``inside``, chrom -> boolean mask; none elsewhere)."""
    for strand, name in (("forward", forward), ("reverse", reverse)):
        if name is None:
            continue
        bigwig = tracks.output_format(name) == "bigwig"
        got = (read_bigwig if bigwig else read_bedgraph)(directory / name, lengths)
        for chrom in lengths:
            want = expected_track(expected, kind, strand, chrom,
                                  np.float32 if bigwig else np.float64)
            if inside is not None:
                want = np.where(inside[chrom], want, np.nan).astype(want.dtype)
            assert_bits_equal(got[chrom], want)


@pytest.mark.parametrize("kind,workers,chunk_size,forward,reverse", RUNS)
def test_cli_score_matches_whole_chromosome(kind, workers, chunk_size, forward, reverse,
                                            tmp_path, genome_fasta, model_files, expected,
                                            lengths):
    status = main(["score", "--fasta", str(genome_fasta), "--model", str(model_files[kind]),
                   "--forward", str(tmp_path / forward), "--reverse", str(tmp_path / reverse),
                   "--workers", str(workers), "--chunk-size", str(chunk_size), "--quiet"])
    assert status == 0
    check_outputs(tmp_path, kind, forward, reverse, expected, lengths)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([forward, reverse])


REGIONS_BED = ("chrA\t19990\t20100\n"       # across the N run
               "chrA\t50\t60\n"
               "chrA\t55\t70\t.\t0\t-\n"    # overlaps the one before
               "chrA\t29990\t99999\n"       # past the end: clipped
               "chrC\t0\t3\n"                # at the start: no complete window
               "chrC\t100\t101\n"
               "chrS\t1\t4\n")


def regions_mask(lengths):
    inside = {chrom: np.zeros(length, dtype=bool) for chrom, length in lengths.items()}
    for line in REGIONS_BED.splitlines():
        chrom, start, end = line.split("\t")[:3]
        inside[chrom][int(start):min(int(end), lengths[chrom])] = True
    return inside


@pytest.mark.parametrize("kind,workers,chunk_size", [("PWM", 2, 3), ("DWM", 1, 40)])
def test_cli_regions(kind, workers, chunk_size, tmp_path, genome_fasta, model_files,
                     expected, lengths):
    (tmp_path / "regions.bed").write_text(REGIONS_BED)
    status = main(["score", "--fasta", str(genome_fasta), "--model", str(model_files[kind]),
                   "--forward", str(tmp_path / "f.bw"), "--reverse", str(tmp_path / "r.bg"),
                   "--regions", str(tmp_path / "regions.bed"), "--workers", str(workers),
                   "--chunk-size", str(chunk_size), "--quiet"])
    assert status == 0
    check_outputs(tmp_path, kind, "f.bw", "r.bg", expected, lengths, regions_mask(lengths))


def test_cli_one_strand_only(tmp_path, genome_fasta, model_files, expected, lengths):
    assert main(["score", "--fasta", str(genome_fasta), "--model", str(model_files["PWM"]),
                 "--reverse", str(tmp_path / "r.bw"), "--quiet", "--workers", "1"]) == 0
    check_outputs(tmp_path, "PWM", None, "r.bw", expected, lengths)
    assert [p.name for p in tmp_path.iterdir()] == ["r.bw"]


# --- Dask ----------------------------------------------------------------------

def test_dask_executor_library(dask_cluster, tmp_path, genome_fasta, model_files, expected,
                               lengths):
    from distributed import Client

    with Client(dask_cluster, set_as_default=False) as client:
        tracks.write_tracks(genome_fasta, model_files["DWM"], forward=tmp_path / "f.bg",
                            reverse=tmp_path / "r.bw", executor=client.get_executor(),
                            chunk_size=6_000)
    check_outputs(tmp_path, "DWM", "f.bg", "r.bw", expected, lengths)


def test_dask_scheduler_cli_with_regions(dask_cluster, tmp_path, genome_fasta, model_files,
                                         expected, lengths):
    (tmp_path / "regions.bed").write_text(REGIONS_BED)
    status = main(["score", "--fasta", str(genome_fasta), "--model", str(model_files["PWM"]),
                   "--forward", str(tmp_path / "f.bw"), "--reverse", str(tmp_path / "r.bg"),
                   "--regions", str(tmp_path / "regions.bed"), "--chunk-size", "7",
                   "--scheduler", dask_cluster.scheduler_address, "--quiet"])
    assert status == 0
    check_outputs(tmp_path, "PWM", "f.bw", "r.bg", expected, lengths, regions_mask(lengths))


# --- nothing lost ----------------------------------------------------------------

class FailingExecutor(concurrent.futures.Executor):
    """Runs tasks inline and fails the run at the given task."""

    def __init__(self, fail_at):
        self.fail_at, self.submitted = fail_at, 0

    def submit(self, fn, /, *args, **kwargs):
        self.submitted += 1
        if self.submitted == self.fail_at:
            raise RuntimeError("worker lost")
        return tracks.InlineExecutor().submit(fn, *args, **kwargs)


@pytest.mark.parametrize("error", [RuntimeError, KeyboardInterrupt])
def test_failed_run_leaves_earlier_output_untouched(error, tmp_path, genome_fasta,
                                                    model_files, monkeypatch):
    (tmp_path / "f.bw").write_bytes(b"earlier forward")
    executor = FailingExecutor(fail_at=5)
    if error is KeyboardInterrupt:
        real = tracks.score_task
        calls = []

        def interrupted(task, context):
            calls.append(1)
            if len(calls) == 3:
                raise KeyboardInterrupt
            return real(task, context)
        monkeypatch.setattr(tracks, "score_task", interrupted)
        executor = tracks.InlineExecutor()
    with pytest.raises(error):
        tracks.write_tracks(genome_fasta, model_files["PWM"], forward=tmp_path / "f.bw",
                            reverse=tmp_path / "r.bg", executor=executor, chunk_size=1000)
    assert (tmp_path / "f.bw").read_bytes() == b"earlier forward"
    assert [p.name for p in tmp_path.iterdir()] == ["f.bw"]


def big_genome(directory, lambda_text, copies):
    from conftest import write_fasta
    write_fasta(directory / "big.fa", {f"chr{k}": lambda_text for k in range(copies)})
    return directory / "big.fa"


def test_ctrl_c_leaves_no_partial_file(tmp_path, lambda_text, model_files):
    """SIGINT in the middle of a multi-process run: exit status 130, the
    earlier output untouched, no temporary file left."""
    fasta = big_genome(tmp_path, lambda_text, 60)
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "f.bw").write_bytes(b"earlier forward")
    process = subprocess.Popen(
        [sys.executable, "-m", "corlap", "score", "--fasta", str(fasta),
         "--model", str(model_files["DWM"]), "--forward", str(tmp_path / "out" / "f.bw"),
         "--reverse", str(tmp_path / "out" / "r.bg"), "--workers", "2",
         "--chunk-size", "20000"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and len(list((tmp_path / "out").iterdir())) < 3:
        time.sleep(0.05)
    time.sleep(0.3)
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 130, stderr
    assert "interrupted" in stderr and "Traceback" not in stderr
    assert (tmp_path / "out" / "f.bw").read_bytes() == b"earlier forward"
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["f.bw"]


def test_successful_run_replaces_earlier_output(tmp_path, genome_fasta, model_files):
    (tmp_path / "f.bg").write_text("old\n")
    tracks.write_tracks(genome_fasta, model_files["PWM"], forward=tmp_path / "f.bg")
    assert (tmp_path / "f.bg").read_text().startswith("chrA\t4\t5\t")
    mode = os.stat(tmp_path / "f.bg").st_mode & 0o777
    umask = os.umask(0)
    os.umask(umask)
    assert mode == 0o666 & ~umask


def test_progress_bar_on_request(tmp_path, genome_fasta, model_files, capsys):
    tracks.write_tracks(genome_fasta, model_files["PWM"], forward=tmp_path / "f.bw",
                        chunk_size=10_000, progress=True)
    err = capsys.readouterr().err
    assert "scoring" in err and "100%" in err


def test_unwritable_output_directory_refused(tmp_path, monkeypatch):
    monkeypatch.setattr(tracks.os, "access", lambda path, mode: False)
    with pytest.raises(ValueError, match="not writable"):
        tracks.check_output(tmp_path / "f.bw")


def watched_run_directories(monkeypatch) -> list:
    """The run directories made from now on, listed as they are made."""
    made = []
    real = _engine._runs.run_directory

    @contextlib.contextmanager
    def watched_directory():
        with real() as directory:
            made.append(directory)
            yield directory
    monkeypatch.setattr(_engine._runs, "run_directory", watched_directory)
    return made


def test_run_directory_shared_by_workers_is_removed(tmp_path, genome_fasta, model_files,
                                                    expected, lengths, monkeypatch):
    """Workers that can see the run's directory share the dinucleotide
    memo's table there and hand their bigWig blocks over in files of their
    own attempts; the directory goes away with the run, whether it succeeds
    or fails."""
    made = watched_run_directories(monkeypatch)
    monkeypatch.delenv(tracks.MEMO_DIR_VARIABLE, raising=False)
    seen, sources = [], []
    real_task = tracks.score_task

    def watched(task, context):
        result = real_task(task, context)
        seen.append(sorted(os.listdir(task.scratch)))
        sources.append(result.attempt)
        return result
    monkeypatch.setattr(tracks, "score_task", watched)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        tracks.write_tracks(genome_fasta, model_files["DWM"], forward=tmp_path / "f.bw",
                            reverse=tmp_path / "r.bw", executor=pool, chunk_size=6_000)
    assert any(name.startswith("dwm-memo-") for names in seen for name in names)
    assert sources and all(source is not None for source in sources)
    assert len(made) == 1 and not os.path.exists(made[0])
    assert tracks.MEMO_DIR_VARIABLE not in os.environ
    for strand in ("forward", "reverse"):
        got = read_bigwig(tmp_path / ("f.bw" if strand == "forward" else "r.bw"), lengths)
        for chrom in lengths:
            assert_bits_equal(got[chrom], expected_track(expected, "DWM", strand, chrom,
                                                         np.float32))
    with pytest.raises(RuntimeError):
        tracks.write_tracks(genome_fasta, model_files["DWM"], forward=tmp_path / "g.bw",
                            executor=FailingExecutor(fail_at=3), chunk_size=6_000)
    assert len(made) == 2 and not os.path.exists(made[1])
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.bw", "r.bw"]


def test_blocks_travel_back_when_a_worker_cannot_write_them(tmp_path, genome_fasta,
                                                            model_files, monkeypatch):
    """A worker that cannot write its attempt's file (here every other
    time, after part of it) sends the blocks back; the file is byte for
    byte the one of a run where every worker could."""
    import errno
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        tracks.write_tracks(genome_fasta, model_files["PWM"], forward=tmp_path / "clean.bw",
                            executor=pool, chunk_size=5_000)
    real = _bigwig.write_attempt
    calls = []

    def full(path, batches):
        calls.append(path)
        if len(calls) % 2:
            with open(path, "wb") as stream:
                stream.write(b"partial")
            raise OSError(errno.ENOSPC, "No space left on device")
        return real(path, batches)
    monkeypatch.setattr(_bigwig, "write_attempt", full)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        tracks.write_tracks(genome_fasta, model_files["PWM"], forward=tmp_path / "f.bw",
                            executor=pool, chunk_size=5_000)
    assert len(calls) > 2
    assert (tmp_path / "f.bw").read_bytes() == (tmp_path / "clean.bw").read_bytes()


@pytest.mark.parametrize("fault", ["cut short", "gone"])
@pytest.mark.parametrize("output", ["f.bw", "f.bedgraph"])
def test_a_damaged_attempt_file_fails_the_run(fault, output, tmp_path, genome_fasta,
                                              model_files, monkeypatch):
    """An attempt's file that lost bytes or vanished after its task ended
    fails the run, naming the file, before anything is copied from it:
    bigWig blocks and bedGraph text alike."""
    module, name = ((_bigwig, "write_attempt") if output.endswith(".bw")
                    else (_engine, "_append_texts"))
    real = getattr(module, name)

    def damaged(path, *args):
        written = real(path, *args)
        if fault == "gone":
            os.unlink(path)
        else:
            os.truncate(path, os.path.getsize(path) - 1)
        return written
    monkeypatch.setattr(module, name, damaged)
    with concurrent.futures.ThreadPoolExecutor(2) as pool, \
            pytest.raises(_engine.AttemptError, match="attempt") as raised:
        tracks.write_tracks(genome_fasta, model_files["PWM"], forward=tmp_path / output,
                            executor=pool, chunk_size=5_000)
    assert "attempt-" in raised.value.filename
    assert list(tmp_path.iterdir()) == []


def test_memo_directory_in_force_is_that_of_a_running_task(tmp_path):
    """Tasks of two runs in one process: the shared memo's directory in
    force is always one of a run with a task still running, and the
    settings come back when the last task leaves."""
    from corlap.utils._scoring_loader import scoring
    before = scoring.memo_settings()
    sharing = tracks._MemoSharing()
    first = sharing.enter(str(tmp_path / "first"))
    second = sharing.enter(str(tmp_path / "second"))
    assert scoring.memo_settings()[0] == str(tmp_path / "second")
    sharing.leave(second)
    assert scoring.memo_settings()[0] == str(tmp_path / "first")
    again = sharing.enter(str(tmp_path / "third"))
    sharing.leave(first)
    assert scoring.memo_settings()[0] == str(tmp_path / "third")
    sharing.leave(again)
    assert scoring.memo_settings() == before


def held_files(markers):
    """The files this worker process has open or mapped whose paths hold
    one of ``markers`` (after a pause, so that every worker of a pool takes
    some of these calls)."""
    time.sleep(0.2)
    found = set()
    for descriptor in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            found.add(os.readlink(f"/proc/self/fd/{descriptor}"))
    with open("/proc/self/maps") as stream:
        found.update(line.split(None, 5)[-1].strip() for line in stream
                     if len(line.split(None, 5)) == 6)
    return sorted(path for path in found if any(marker in path for marker in markers))


@contextlib.contextmanager
def long_lived_workers(engine):
    """(executor, held): two workers kept across runs, and ``held(markers)``,
    what any of them holds of ``held_files``."""
    if engine == "pool":
        import multiprocessing
        context = multiprocessing.get_context("forkserver")
        with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
            yield pool, lambda markers: sorted(
                set().union(*pool.map(held_files, [markers] * 4)))
        return
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=40) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        yield client.get_executor(), lambda markers: sorted(
            set().union(*client.run(held_files, markers).values()))


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc to see files")
@pytest.mark.parametrize("engine", ["pool", "dask"])
def test_long_lived_workers_hold_nothing_of_finished_runs(engine, tmp_path, genome_fasta,
                                                          model_files, monkeypatch):
    """Three runs on workers kept alive (a process pool, a Dask cluster):
    after each, no worker still has the FASTA file open or a file of the
    run mapped (a deleted memo table in /dev/shm keeps its memory while
    mapped), and the run's directory is gone."""
    made = watched_run_directories(monkeypatch)
    markers = ("corlap-run-", os.fspath(genome_fasta))
    with long_lived_workers(engine) as (executor, held):
        for run in range(3):
            tracks.write_tracks(genome_fasta, model_files["DWM"], forward=tmp_path / f"{run}.bw",
                                executor=executor, chunk_size=4_000)
            assert len(made) == run + 1 and not os.path.exists(made[-1])
            assert held(markers) == []
