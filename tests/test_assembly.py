"""How write_tracks assembles its output files from tasks that may run
anywhere, twice, or die half way: the files depend on the genome, the model
and the chunk size only, never on what ran the tasks, and every zoom record
summarises exactly the values beneath it whatever the chunk size."""

import concurrent.futures
import multiprocessing
import os
import resource
import signal
import time

import numpy as np
import pytest

from conftest import write_fasta
from corlap import tracks
from corlap.__main__ import main
from test_bigwig_readers import (assert_same_bits, check_zoom_records, read_pybigtools,
                                 read_pybigwig, whole_sequence_values, zoom_records)


def read_bedgraph(path, lengths):
    """chrom -> float64 values; lines in genome order, never overlapping."""
    with open(path) as stream:
        parts = stream.read().split()
    assert len(parts) % 4 == 0
    order = {chrom: k for k, chrom in enumerate(lengths)}
    chroms = np.array([order[chrom] for chrom in parts[0::4]], dtype=np.int64)
    starts = np.array(parts[1::4], dtype=np.int64)
    ends = np.array(parts[2::4], dtype=np.int64)
    numbers = np.array([float(text) for text in parts[3::4]])
    assert (starts < ends).all() and not np.isnan(numbers).any()
    later = (chroms[1:] > chroms[:-1]) | ((chroms[1:] == chroms[:-1]) & (starts[1:] >= ends[:-1]))
    assert later.all(), "lines out of order or overlapping"
    # Every position each line covers, line after line.
    spans = ends - starts
    positions = (np.arange(spans.sum()) - np.repeat(np.cumsum(spans) - spans, spans)
                 + np.repeat(starts, spans))
    owners, filled = np.repeat(chroms, spans), np.repeat(numbers, spans)
    values = {}
    for chrom, length in lengths.items():
        # Lines are in genome order, so each sequence's are together.
        first, end = np.searchsorted(owners, [order[chrom], order[chrom] + 1])
        array = np.full(length, np.nan)
        array[positions[first:end]] = filled[first:end]
        values[chrom] = array
    return values


def assert_float64_bits(got, want):
    missing = np.isnan(want)
    assert np.array_equal(np.isnan(got), missing)
    assert np.array_equal(got[~missing].view(np.uint64), want[~missing].view(np.uint64))


def check_values(directory, names, expected, lengths):
    """The files (forward, reverse) hold the whole-sequence values: bigWig
    as float32 (through both readers), bedGraph as float64."""
    for strand, name in enumerate(names):
        if tracks.output_format(name) == "bigwig":
            for got in (read_pybigwig(directory / name), read_pybigtools(directory / name)):
                assert got.keys() == {c for c, n in lengths.items() if n}
                for chrom in got:
                    assert_same_bits(got[chrom], expected[chrom][strand].astype(np.float32))
        else:
            got = read_bedgraph(directory / name, lengths)
            for chrom in lengths:
                assert_float64_bits(got[chrom], expected[chrom][strand])


def file_bytes(directory):
    return {path.name: path.read_bytes() for path in sorted(directory.iterdir())}


# --- executors that repeat or lose attempts ------------------------------------

class TwiceExecutor(concurrent.futures.Executor):
    """Every task runs twice, one attempt after the other, in a pool of
    threads (as a scheduler that lost track of the first attempt would do):
    both attempts leave their side effects, the second one's result is
    returned."""

    def __init__(self):
        self._pool = concurrent.futures.ThreadPoolExecutor(2)

    def submit(self, fn, /, *args, **kwargs):
        def twice():
            fn(*args, **kwargs)
            return fn(*args, **kwargs)
        return self._pool.submit(twice)

    def shutdown(self, wait=True, **options):
        self._pool.shutdown(wait)


class DyingFirstAttemptExecutor(concurrent.futures.Executor):
    """Every third task's first attempt runs in a forked child that dies
    without handing back a result; then the task runs again here.

    ``limit`` decides how the child dies: "beside" lets it write only a
    little past the largest file of the output directory and "small" only
    the first 3 kB of any file (so its writes stop half way, EFBIG), None
    lets it finish everything but its result."""

    def __init__(self, limit, directory):
        self.limit, self.directory, self.count, self.children = limit, directory, 0, 0

    def _file_size_limit(self):
        if self.limit == "small":
            return 3_000
        sizes = [os.path.getsize(path) for path in self.directory.iterdir()]
        return max(sizes, default=0) + 1_500

    def submit(self, fn, /, *args, **kwargs):
        self.count += 1
        if self.count % 3 == 1:
            self._die_once(fn, args, kwargs)
        return tracks.InlineExecutor().submit(fn, *args, **kwargs)

    def _die_once(self, fn, args, kwargs):
        limit = None if self.limit is None else self._file_size_limit()
        pid = os.fork()
        if pid == 0:
            try:
                if limit is not None:
                    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                    resource.setrlimit(resource.RLIMIT_FSIZE,
                                       (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
                fn(*args, **kwargs)
            finally:
                os._exit(17)
        deadline = time.monotonic() + 60
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                pytest.fail("a first attempt hung")
            time.sleep(0.005)
        assert os.waitstatus_to_exitcode(status) == 17
        self.children += 1


OUTPUTS = [("f.bw", "r.bg", 0), ("f.bw", "r.bw", 6)]   # forward, reverse, deflate level


def clean_run(directory, fasta, model, forward, reverse, deflate_level, chunk_size):
    directory.mkdir()
    tracks.write_tracks(fasta, model, forward=directory / forward,
                        reverse=directory / reverse, chunk_size=chunk_size,
                        deflate_level=deflate_level)
    return file_bytes(directory)


@pytest.mark.parametrize("forward,reverse,deflate_level", OUTPUTS)
@pytest.mark.parametrize("how", ["twice", "lost result", "beside", "small"])
def test_repeated_and_dying_attempts_leave_no_trace(how, forward, reverse, deflate_level,
                                                    tmp_path, genome_fasta, genome_records,
                                                    model_files):
    model = model_files["DWM"]
    want = clean_run(tmp_path / "clean", genome_fasta, model, forward, reverse,
                     deflate_level, 2_000)
    out = tmp_path / "out"
    out.mkdir()
    if how == "twice":
        executor = TwiceExecutor()
    else:
        executor = DyingFirstAttemptExecutor(None if how == "lost result" else how, out)
    try:
        tracks.write_tracks(genome_fasta, model, forward=out / forward, reverse=out / reverse,
                            executor=executor, chunk_size=2_000, max_in_flight=3,
                            deflate_level=deflate_level)
    finally:
        executor.shutdown()
    if how != "twice":
        assert executor.children >= 3
    got = file_bytes(out)
    assert got.keys() == want.keys()
    for name in want:
        assert got[name] == want[name], name
    lengths = {chrom: len(text) for chrom, text in genome_records.items()}
    check_values(out, (forward, reverse),
                 whole_sequence_values(model, genome_records), lengths)


# --- the same bytes whatever runs the tasks ---------------------------------------

@pytest.fixture(scope="module")
def process_pool():
    pool = concurrent.futures.ProcessPoolExecutor(
        2, mp_context=multiprocessing.get_context("forkserver"))
    try:
        yield pool
    finally:
        pool.shutdown(cancel_futures=True)


ENGINES = [("cli", 1), ("cli", 2), ("pool", 1), ("pool", 8), ("dask", 8)]
# The command line stores bigWig blocks uncompressed.
ENGINE_RUNS = [(*engine, *outputs) for engine in ENGINES for outputs in OUTPUTS
               if engine[0] != "cli" or outputs[2] == 0]


@pytest.mark.parametrize("engine,number,forward,reverse,deflate_level", ENGINE_RUNS)
def test_same_bytes_whatever_runs_the_tasks(engine, number, forward, reverse, deflate_level,
                                            request, tmp_path, genome_fasta, model_files):
    model = model_files["PWM"]
    chunk_size = 2_500
    want = clean_run(tmp_path / "clean", genome_fasta, model, forward, reverse,
                     deflate_level, chunk_size)
    out = tmp_path / "out"
    out.mkdir()
    if engine == "cli":
        assert main(["score", "--fasta", str(genome_fasta), "--model", str(model),
                     "--forward", str(out / forward), "--reverse", str(out / reverse),
                     "--workers", str(number), "--chunk-size", str(chunk_size),
                     "--quiet"]) == 0
    elif engine == "pool":
        tracks.write_tracks(genome_fasta, model, forward=out / forward, reverse=out / reverse,
                            executor=request.getfixturevalue("process_pool"),
                            chunk_size=chunk_size, max_in_flight=number,
                            deflate_level=deflate_level)
    else:
        from distributed import Client
        with Client(request.getfixturevalue("dask_cluster"), set_as_default=False) as client:
            tracks.write_tracks(genome_fasta, model, forward=out / forward,
                                reverse=out / reverse, executor=client.get_executor(),
                                chunk_size=chunk_size, max_in_flight=number,
                                deflate_level=deflate_level)
    got = file_bytes(out)
    assert got.keys() == want.keys()
    for name in want:
        assert got[name] == want[name], name


# --- zoom records whatever the chunk size -------------------------------------------

@pytest.fixture(scope="module")
def small_genome(tmp_path_factory, lambda_text):
    """9.5 kbp: a run of N, lower case, IUPAC letters and a sequence
    shorter than any window."""
    records = {
        "chr1": lambda_text[:3_000] + "N" * 40 + lambda_text[3_000:5_000].lower()
                + lambda_text[5_000:7_000],
        "chr2": lambda_text[7_000:8_200] + "RYK" + lambda_text[8_200:9_500],
        "chr3": "ACGTA",
    }
    directory = tmp_path_factory.mktemp("small")
    write_fasta(directory / "small.fa", records)
    return directory / "small.fa", records


ZOOM_CHUNK_SIZES = [7, 130, 1_000_000]


@pytest.fixture(scope="module")
def zoom_run(small_genome, model_files, tmp_path_factory):
    """(kind, chunk size) -> directory holding f.bw and r.bw, written on
    first use."""
    fasta, _ = small_genome
    made = {}

    def run(kind, chunk_size):
        if (kind, chunk_size) not in made:
            directory = tmp_path_factory.mktemp(f"zoom-{kind}-{chunk_size}")
            tracks.write_tracks(fasta, model_files[kind], forward=directory / "f.bw",
                                reverse=directory / "r.bw", chunk_size=chunk_size)
            made[kind, chunk_size] = directory
        return made[kind, chunk_size]
    return run


@pytest.mark.parametrize("kind", ["PWM", "DWM"])
@pytest.mark.parametrize("chunk_size", ZOOM_CHUNK_SIZES)
def test_zoom_records_exact_at_any_chunk_size(kind, chunk_size, zoom_run, small_genome,
                                              model_files):
    fasta, records = small_genome
    expected = whole_sequence_values(model_files[kind], records)
    lengths = {chrom: len(text) for chrom, text in records.items()}
    directory = zoom_run(kind, chunk_size)
    check_values(directory, ("f.bw", "r.bw"), expected, lengths)
    for name in ("f.bw", "r.bw"):
        counts = check_zoom_records(directory / name, read_pybigwig(directory / name))
        assert len(counts) >= 3


@pytest.mark.parametrize("kind", ["PWM", "DWM"])
def test_zoom_levels_and_size_do_not_depend_on_the_chunk_size(kind, zoom_run):
    for name in ("f.bw", "r.bw"):
        counts = {chunk_size: {reduction: sum(len(rows) for rows in by_chrom.values())
                               for reduction, by_chrom in
                               zoom_records(zoom_run(kind, chunk_size) / name).items()}
                  for chunk_size in ZOOM_CHUNK_SIZES}
        assert counts[7] == counts[130] == counts[1_000_000], name
        sizes = {chunk_size: os.path.getsize(zoom_run(kind, chunk_size) / name)
                 for chunk_size in ZOOM_CHUNK_SIZES}
        assert sizes[7] <= 1.01 * sizes[1_000_000], (name, sizes)


# --- thousands of scaffolds -----------------------------------------------------------

@pytest.fixture(scope="module")
def scaffolds(tmp_path_factory, lambda_text):
    """3,000 scaffolds of 1 to 900 bases (lengths spread evenly on a log
    scale, as in draft assemblies), some in lower case, one all N."""
    rng = np.random.default_rng(11)
    lengths = np.round(np.exp(rng.uniform(0, np.log(900), 3_000))).astype(int)
    lengths[:2] = (1, 900)
    records = {}
    for k, length in enumerate(lengths.tolist()):
        at = int(rng.integers(0, len(lambda_text) - length))
        text = lambda_text[at:at + length]
        records[f"scaffold_{k}"] = text.lower() if k % 7 == 3 else text
    records["scaffold_1500"] = "N" * 300
    directory = tmp_path_factory.mktemp("scaffolds")
    write_fasta(directory / "scaffolds.fa", records)
    return directory / "scaffolds.fa", records


@pytest.mark.parametrize("kind,forward,reverse", [("PWM", "f.bw", "r.bg"),
                                                  ("DWM", "f.bg", "r.bw")])
def test_scaffolds_exact(kind, forward, reverse, scaffolds, model_files, tmp_path):
    fasta, records = scaffolds
    window = 9 if kind == "PWM" else 6
    assert sum(len(text) < window for text in records.values()) > 50
    tracks.write_tracks(fasta, model_files[kind], forward=tmp_path / forward,
                        reverse=tmp_path / reverse, chunk_size=1_000)
    lengths = {chrom: len(text) for chrom, text in records.items()}
    check_values(tmp_path, (forward, reverse), whole_sequence_values(model_files[kind], records),
                 lengths)


# --- a worker killed mid-run ------------------------------------------------------------

class KillingExecutor(concurrent.futures.Executor):
    """Passes tasks on to ``inner``; at the ``at``-th submission (results
    have come back by then) calls ``kill``."""

    def __init__(self, inner, at, kill):
        self.inner, self.at, self.kill, self.count = inner, at, kill, 0

    def submit(self, fn, /, *args, **kwargs):
        self.count += 1
        if self.count == self.at:
            self.kill()
        return self.inner.submit(fn, *args, **kwargs)


@pytest.mark.filterwarnings("ignore:Port .* is already in use")
def test_worker_killed_mid_run(tmp_path, lambda_text, model_files):
    distributed = pytest.importorskip("distributed")
    records = {f"copy{k}": lambda_text for k in range(4)}
    write_fasta(tmp_path / "copies.fa", records)
    out = tmp_path / "out"
    out.mkdir()
    model = model_files["DWM"]
    killed = []
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=50) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        pids = sorted(client.run(os.getpid).values())

        def kill():
            os.kill(pids[0], signal.SIGKILL)
            killed.append(pids[0])
        executor = KillingExecutor(client.get_executor(), at=8, kill=kill)
        try:
            tracks.write_tracks(tmp_path / "copies.fa", model, forward=out / "f.bw",
                                reverse=out / "r.bg", executor=executor, chunk_size=3_000,
                                max_in_flight=4)
        except Exception:       # noqa: BLE001 - failing is allowed, leaving output is not
            assert killed
            assert list(out.iterdir()) == []
            return
    assert killed
    assert sorted(p.name for p in out.iterdir()) == ["f.bw", "r.bg"]
    one = whole_sequence_values(model, {"copy": lambda_text})["copy"]
    lengths = {chrom: len(text) for chrom, text in records.items()}
    check_values(out, ("f.bw", "r.bg"), {chrom: one for chrom in records}, lengths)
    check_zoom_records(out / "f.bw", read_pybigwig(out / "f.bw"))
