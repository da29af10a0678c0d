"""Genome-scale scoring: bias tracks of whole genomes or of regions, on both
strands, computed in chunks on any ``concurrent.futures.Executor``.

Coordinates.  For a model of window length ``L`` let ``F = L // 2``.

- The forward track's value at position ``p`` is the score of the window
  of bases ``p - F`` to ``p - F + L - 1``: ``score_sequence`` of the whole
  chromosome's codes, at index ``p``.
- The reverse track's value at ``p`` is the score of the reverse-complement
  window whose centre falls on ``p`` (bases ``p - (L - 1 - F)`` to
  ``p + F``): ``score_sequence`` of the chromosome's reverse complement,
  read backwards.
- A position without a complete window of bases A, C, G and T has no value.

How.  The positions to score are cut into chunks of at most ``chunk_size``
bases, and the chunks into tasks: neighbouring chunks (up to four while
many remain) and small sequences packed together up to a chunk's worth.
A task travels as coordinates only: it opens the FASTA file itself and
fetches each interval's bases plus ``F`` bases of flank on each side (every
window centred in the interval lies inside that range on both strands), so
each value is computed from exactly the bases the whole-chromosome call
would use, and is bit-identical to it whatever the chunk size, the number
of workers, the executor or the regions.  Each worker process keeps one
model object, loaded once from the model file's bytes and reused task
after task (keyed by the file's SHA-256), so whatever the model caches
between calls stays valid.

Outputs.  A task also encodes its values for the outputs (bigWig blocks
and zoom records, or bedGraph text).  The calling process alone writes the
output files, in genome order, from the results it takes: a worker on its
machine writes a task's bigWig blocks to a new file of that attempt alone
in the run's private directory, which the calling process copies from in
the kernel; other workers send the blocks back.  A task attempt that runs
twice, dies halfway or finishes after its result was taken writes only to
its own file, which nobody reads then, so it cannot change a byte of the
output; and the same inputs and chunk size give the same bytes whatever
ran the tasks.  Workers of this machine also share the dinucleotide
memo's table in the run's directory.
"""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import dataclasses
import functools
import io
import os
import sys
import threading
import uuid
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

import numpy as np
# Every task opens the FASTA file through pysam.  Importing it with this
# module (which the CLI's forkserver preloads) keeps that import out of each
# worker's first task.
import pysam  # noqa: F401

from corlap import _bigwig, _encoder, _runs, _threads, models
from corlap.bed import BgzfWriter
from corlap._output import commit, discard, discard_beside, open_beside, sweep_beside
from corlap.utils._scoring_loader import scoring
from corlap.utils.fasta import open_fasta
from corlap.utils.sequences import GenomicSequence

__all__ = ["DEFAULT_CHUNK_SIZE", "OUTPUT_FORMATS", "STRANDS", "Interval", "ModelRef",
           "ScoredInterval", "output_format", "check_output", "plan_chunks",
           "merge_regions", "score_intervals", "write_tracks", "InlineExecutor"]

DEFAULT_CHUNK_SIZE = 1_000_000
# The environment variable users may set for a directory where processes
# share the table of dinucleotide window scores (the tracks layer sets its
# own through the extension's private settings instead).
MEMO_DIR_VARIABLE = "CORLAP_DWM_MEMO_DIR"
STRANDS = ("forward", "reverse")
# Chunks one task of write_tracks scores at most, one after the other.
_MOST_CHUNKS_PER_TASK = 4
# File-name extension (lower case) -> output format.
OUTPUT_FORMATS = {".bw": "bigwig", ".bigwig": "bigwig",
                  ".bedgraph": "bedgraph", ".bg": "bedgraph",
                  ".bedgraph.gz": "bedgraph", ".bg.gz": "bedgraph"}
# bedGraph written BGZF-compressed, which tabix can index.
_BGZF_EXTENSIONS = (".bedgraph.gz", ".bg.gz")
# The output name of standard output: bedGraph, written as it is made.
STDOUT = "-"


@dataclasses.dataclass(frozen=True, slots=True)
class Interval:
    """Positions ``start`` to ``end`` (0-based, half-open) of ``chrom``.
    Also serves as the region object of ``GenomicSequence``."""
    chrom: str
    start: int
    end: int


@dataclasses.dataclass(frozen=True, slots=True)
class ScoredInterval:
    """The values of one interval: float64 arrays of ``end - start``
    entries, NaN where a position has no value; None for a strand that was
    not asked for."""
    chrom: str
    start: int
    end: int
    forward: np.ndarray | None
    reverse: np.ndarray | None


@dataclasses.dataclass(frozen=True)
class ModelRef:
    """A model as tasks carry it: the SHA-256 of its model file's bytes,
    and either the path of that file (which every worker must be able to
    read, like the FASTA file) or the bytes themselves.  A worker process
    rebuilds the model once per digest and keeps it."""
    digest: str
    path: str | None = None
    contents: bytes | None = None

    @classmethod
    def of(cls, model) -> "ModelRef":
        """From a model file's path (checked by loading it once here) or
        from a prepared model object (carried as bytes)."""
        if isinstance(model, ModelRef):
            return model
        if isinstance(model, (str, os.PathLike)):
            path = os.path.abspath(os.fspath(model))
            with open(path, "rb") as stream:
                contents = stream.read()
            models.load_model(io.BytesIO(contents), name=os.fspath(model))
            return cls(models.digest(contents), path=path)
        contents = models.model_bytes(model)
        return cls(models.digest(contents), contents=contents)

    def load(self):
        """The model, rebuilt from the bytes (checked against the digest)."""
        contents = self.contents
        if contents is None:
            with open(self.path, "rb") as stream:
                contents = stream.read()
            if models.digest(contents) != self.digest:
                raise RuntimeError(f"model file {self.path!r} changed during the run")
        return models.load_model(io.BytesIO(contents), name=self.path)


@dataclasses.dataclass(frozen=True)
class _Task:
    fasta: str
    model: ModelRef
    # (chromosome, its number in bigWig files, intervals): the intervals
    # are (start, end, open start, open end), an open edge being a chunk
    # edge where another interval of the run goes on.
    pieces: tuple[tuple[str, int, tuple[tuple[int, int, bool, bool], ...]], ...]
    # (strand, encoding) pairs; encoding is "array", "bigwig" or "bedgraph".
    outputs: tuple[tuple[str, str], ...]
    deflate_level: int = 0
    # Positions encoded together at most (a worker frees each batch's
    # values before it scores the next).
    batch_size: int = DEFAULT_CHUNK_SIZE
    # A private directory of the run on the calling process's machine, and
    # that machine's identity.  A worker of that machine shares its table of
    # dinucleotide scores there and writes its bigWig blocks to a file of
    # its own attempt there; others send the blocks back.
    scratch: str | None = None
    machine: str | None = None

    @property
    def positions(self) -> int:
        return sum(end - start for _, _, intervals in self.pieces
                   for start, end, _, _ in intervals)


# --- output paths -----------------------------------------------------------

def output_format(path) -> str:
    """"bigwig" or "bedgraph", from the file name's extension (``-``,
    standard output, is bedGraph); ValueError for any other extension."""
    if os.fspath(path) == STDOUT:
        return "bedgraph"
    name = os.path.basename(os.fspath(path)).lower()
    extension = next((compressed for compressed in _BGZF_EXTENSIONS
                      if name.endswith(compressed)), os.path.splitext(name)[1])
    if extension not in OUTPUT_FORMATS:
        raise ValueError(f"output {os.fspath(path)!r} has an unknown extension "
                         f"{extension or '(none)'!r}; use .bw or .bigwig for bigWig, "
                         f".bedgraph or .bg for bedGraph, .bedgraph.gz or .bg.gz for "
                         f"BGZF-compressed bedGraph")
    return OUTPUT_FORMATS[extension]


def check_output(path, extensions: Iterable[str] | None = None) -> None:
    """ValueError unless ``path`` can be written: its directory exists, it
    is not a directory itself, and (when ``extensions`` is given) its
    extension is one of them."""
    path = os.fspath(path)
    if path == STDOUT:
        return
    if os.path.isdir(path):
        raise ValueError(f"output {path!r} is a directory")
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise ValueError(f"output {path!r}: directory {os.path.dirname(path) or '.'!r} "
                         f"does not exist")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise ValueError(f"output {path!r}: directory {os.path.dirname(path) or '.'!r} "
                         f"is not writable")
    if extensions is not None:
        extension = os.path.splitext(path)[1].lower()
        if extension not in extensions:
            raise ValueError(f"output {path!r} has an unknown extension "
                             f"{extension or '(none)'!r}; expected "
                             f"{' or '.join(sorted(extensions))}")


# --- planning ---------------------------------------------------------------

def merge_regions(regions: Iterable, lengths: dict[str, int]) -> dict[str, list[tuple[int, int]]]:
    """Regions (objects with chrom, start and end) per chromosome, with ends
    past the chromosome's end clipped, overlapping or touching regions
    merged, and empty ones dropped.  KeyError for an unknown chromosome."""
    by_chrom: dict[str, list[tuple[int, int]]] = collections.defaultdict(list)
    for region in regions:
        if region.chrom not in lengths:
            raise KeyError(f"unknown sequence {region.chrom!r}")
        start, end = max(int(region.start), 0), min(int(region.end), lengths[region.chrom])
        if start < end:
            by_chrom[region.chrom].append((start, end))
    merged: dict[str, list[tuple[int, int]]] = {}
    for chrom, spans in by_chrom.items():
        spans.sort()
        out = [spans[0]]
        for start, end in spans[1:]:
            if start <= out[-1][1]:
                out[-1] = (out[-1][0], max(out[-1][1], end))
            else:
                out.append((start, end))
        merged[chrom] = out
    return merged


def plan_chunks(lengths: dict[str, int], regions: Iterable | None = None,
                chunk_size: int = DEFAULT_CHUNK_SIZE) -> list[tuple[str, tuple[tuple[int, int], ...]]]:
    """The chunks of a run, in genome order (chromosomes in ``lengths``
    order, then by position): each is a chromosome and intervals of it
    holding at most ``chunk_size`` positions in all.  Without ``regions``
    every position of every chromosome is covered; with them, only the
    merged regions, small ones packed together into one chunk."""
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, got {chunk_size}")
    spans_of = (merge_regions(regions, lengths) if regions is not None
                else {chrom: [(0, length)] for chrom, length in lengths.items() if length})
    chunks = []
    for chrom in lengths:
        pieces: list[tuple[int, int]] = []
        filled = 0
        for start, end in spans_of.get(chrom, ()):
            while start < end:
                take = min(end - start, chunk_size - filled)
                pieces.append((start, start + take))
                filled += take
                start += take
                if filled == chunk_size:
                    chunks.append((chrom, tuple(pieces)))
                    pieces, filled = [], 0
        if pieces:
            chunks.append((chrom, tuple(pieces)))
    return chunks


# --- the work of one task (runs in a worker) --------------------------------

_cache_lock = threading.Lock()
_models: dict[str, Any] = {}
_MODELS_KEPT = 4


def _model(ref: ModelRef):
    """This process's model object for ``ref``: loaded on first use, then the
    same object for every later chunk."""
    with _cache_lock:
        model = _models.get(ref.digest)
        if model is None:
            model = ref.load()
            while len(_models) >= _MODELS_KEPT:
                del _models[next(iter(_models))]
            _models[ref.digest] = model
        return model


class WorkerHandles:
    """Files a worker opens for its tasks, kept open per process and thread
    (a pysam handle is neither fork- nor thread-safe) and reopened when the
    file changed.  ``opener(path, *args)`` opens one."""

    def __init__(self, opener):
        self._opener = opener
        self._lock = threading.Lock()
        self._held: dict[tuple, tuple[tuple, Any]] = {}

    def get(self, path: str, *args):
        stat = os.stat(path)
        identity = (stat.st_ino, stat.st_size, stat.st_mtime_ns)
        key = (os.getpid(), threading.get_ident(), path)
        with self._lock:
            held = self._held.get(key)
        if held is not None and held[0] == identity:
            return held[1]
        handle = self._opener(path, *args)
        with self._lock:
            old = self._held.pop(key, None)
            self._held[key] = (identity, handle)
        if old is not None:
            old[1].close()
        return handle

    def close_mine(self) -> None:
        """Close the files this process opened."""
        with self._lock:
            mine = [key for key in self._held if key[0] == os.getpid()]
            held = [self._held.pop(key)[1] for key in mine]
        for handle in held:
            handle.close()


_fastas = WorkerHandles(open_fasta)


def _fasta(path: str):
    """An open FASTA object of this process and thread."""
    return _fastas.get(path)


def _close_files() -> None:
    """Close the FASTA files this process opened for tasks."""
    _fastas.close_mine()


def _window_length(model) -> int:
    return int(model.pssm.shape[1]) if type(model).__name__ == "NucleotideMatrix" \
        else int(model.length)


def _score_interval(model, fasta, chrom: str, start: int, end: int,
                    strands: Sequence[str]) -> dict[str, np.ndarray]:
    """Float64 values of positions start..end-1 of chrom for each strand.
    Scored through the extension's private entry point, which gives the
    bits of ``score_sequence`` but lets go of the interpreter lock over the
    loop, so that threads of one worker (Dask's) score at the same time."""
    length = _window_length(model)
    flank = length // 2  # F >= L - 1 - F: enough on both sides, both strands
    chrom_length = fasta.get_length(chrom)
    fetch_start, fetch_end = max(start - flank, 0), min(end + flank, chrom_length)
    region = GenomicSequence(Interval(chrom, fetch_start, fetch_end)).from_fasta(fasta)
    values = {}
    for strand in strands:
        if strand == "forward":
            scores = scoring.score(model, region.sequence)
            values[strand] = scores[start - fetch_start:end - fetch_start]
        else:
            # revcomp index k is genome position fetch_end - 1 - k.
            scores = scoring.score(model, region.revcomp)[::-1]
            values[strand] = np.ascontiguousarray(
                scores[start - fetch_start:end - fetch_start])
    return values


def _encode_bedgraph(chrom: str, start: int, values: np.ndarray) -> bytes:
    """bedGraph lines; neighbouring positions holding the very same float64
    bits share a line; values as ``repr`` writes them, which reads back as
    the same float64."""
    return _encoder.bedgraph(chrom.encode(), start, values)


@contextlib.contextmanager
def task_memory():
    """Meanwhile, the NumPy arrays this thread makes reuse the memory of
    large ones freed (in the extension; nothing else in the process is
    touched): the chunks of a task make arrays of the same sizes over and
    over, and where the C library hands such blocks straight back to the
    system (Dask's workers ask it to), each chunk would pay for fresh
    zeroed pages again."""
    previous = scoring.task_memory_enter()
    try:
        yield
    finally:
        scoring.task_memory_leave(previous)


_memo_users = 0
_memo_saved: tuple | None = None


@contextlib.contextmanager
def _shared_memo(directory: str | None):
    """Dinucleotide scoring shares its memo's table through ``directory``
    (a directory of this machine; None: not at all) meanwhile, set through
    the extension's private settings (nothing process-wide such as the
    environment changes).  Tasks may run in several threads at once: the
    first one in saves the settings, the last one out puts them back, which
    also lets go of the table, so that no worker holds a run's file mapped
    once its tasks are done."""
    global _memo_users, _memo_saved
    if directory is None:
        yield
        return
    with _cache_lock:
        if _memo_users == 0:
            _memo_saved = scoring.memo_settings(directory=directory)
        _memo_users += 1
    try:
        yield
    finally:
        with _cache_lock:
            _memo_users -= 1
            if _memo_users == 0:
                scoring.memo_settings(directory=_memo_saved[0])


def _local_scratch(task: _Task) -> str | None:
    """The run's directory when this worker is on the calling process's
    machine and sees it; else None."""
    if task.scratch is None or task.machine != _runs.machine_identity():
        return None
    return task.scratch if os.path.isdir(task.scratch) else None


class TaskEncoder:
    """Collects a task's values interval by interval and encodes them for
    its outputs: kept as arrays, as bedGraph text, or as bigWig batches of
    up to ``task.batch_size`` positions (each batch's values are freed once
    it is encoded)."""

    def __init__(self, task: _Task):
        self._task = task
        self._encodings = dict(task.outputs)
        names = [name for name, _ in task.outputs]
        self._arrays = {name: [] for name in names if self._encodings[name] == "array"}
        self._texts = {name: [] for name in names if self._encodings[name] == "bedgraph"}
        self._batches = {name: [] for name in names if self._encodings[name] == "bigwig"}
        self._waiting = {name: [] for name in self._batches}
        self._held = 0

    def add(self, chrom: str, number: int, start: int, end: int, open_start: bool,
            open_end: bool, values: dict[str, np.ndarray]) -> None:
        """The float64 values (NaN: none) of positions start..end-1 of each
        output, for an interval of the task's plan."""
        for name in self._arrays:
            self._arrays[name].append(values[name])
        for name in self._texts:
            self._texts[name].append(_encode_bedgraph(chrom, start, values[name]))
        for name in self._waiting:
            self._waiting[name].append((number, start, values[name], open_start, open_end))
        self._held += end - start
        if self._held >= self._task.batch_size:
            self._encode_waiting()

    def _encode_waiting(self) -> None:
        for name, intervals in self._waiting.items():
            if intervals:
                self._batches[name].append(
                    _bigwig.encode(intervals, deflate_level=self._task.deflate_level))
                intervals.clear()
        self._held = 0

    def result(self) -> dict[str, Any]:
        """{"array": {output: [values per interval]}}, {"bedgraph":
        {output: text}} and {"bigwig": {output: [batches]}, "source":
        attempt file or None}, for the encodings asked for."""
        self._encode_waiting()
        result: dict[str, Any] = {}
        if self._arrays:
            result["array"] = self._arrays
        if self._texts:
            result["bedgraph"] = {name: b"".join(parts) for name, parts in self._texts.items()}
        if self._batches:
            result["bigwig"] = self._batches
            result["source"] = None
            scratch = _local_scratch(self._task)
            if scratch is not None:
                # A file of this attempt alone: whatever another attempt of
                # the task does, the calling process copies only from the
                # file of the attempt whose result it took.
                source = os.path.join(scratch, f"attempt-{uuid.uuid4().hex}")
                try:
                    _bigwig.write_attempt(source, [batch for batches in self._batches.values()
                                                   for batch in batches])
                    result["source"] = source
                except OSError:
                    # No room for it there: the blocks travel back instead.
                    with contextlib.suppress(OSError):
                        os.unlink(source)
        return result


def task_intervals(task: _Task) -> Iterator[tuple[str, int, int, int, bool, bool]]:
    """(chrom, number, start, end, open start, open end) of every interval
    of the task, in genome order."""
    for chrom, number, intervals in task.pieces:
        for start, end, open_start, open_end in intervals:
            yield chrom, number, start, end, open_start, open_end


def score_task(task: _Task) -> dict[str, Any]:
    """Score one task's intervals and encode them for its outputs (see
    ``TaskEncoder.result``)."""
    model = _model(task.model)
    fasta = _fasta(task.fasta)
    strands = [strand for strand, _ in task.outputs]
    encoder = TaskEncoder(task)
    with task_memory(), _threads.one_thread():
        with _shared_memo(_local_scratch(task)):
            for chrom, number, start, end, open_start, open_end in task_intervals(task):
                values = _score_interval(model, fasta, chrom, start, end, strands)
                encoder.add(chrom, number, start, end, open_start, open_end, values)
                del values      # before the next interval's are made
        return encoder.result()


def ignore_interrupts() -> None:
    """Process-pool initializer for pools of your own: Ctrl-C goes to the
    main process, which stops the run and the workers; workers do not print
    tracebacks.  (The command line's workers use ``_runs.guard_worker``.)"""
    import signal
    signal.signal(signal.SIGINT, signal.SIG_IGN)


# --- running tasks on an executor -------------------------------------------

class InlineExecutor(concurrent.futures.Executor):
    """Runs each task in the calling thread when it is submitted."""

    def submit(self, fn, /, *args, **kwargs):
        future: concurrent.futures.Future = concurrent.futures.Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except BaseException as error:  # noqa: BLE001 - handed to the caller
            future.set_exception(error)
        return future


def _genome(fasta_path) -> dict[str, int]:
    with open_fasta(fasta_path) as fasta:
        return dict(zip(fasta.references, fasta.lengths))


def _edges_open(chunks: list) -> list[tuple[str, tuple[tuple[int, int, bool, bool], ...]]]:
    """The chunks with each interval's edges marked open where the
    neighbouring interval of the plan goes on from there (a chunk edge
    inside a region)."""
    flat = [(chrom, start, end) for chrom, intervals in chunks for start, end in intervals]
    marked, at = [], 0
    for chrom, intervals in chunks:
        spans = []
        for start, end in intervals:
            before = flat[at - 1] if at else None
            after = flat[at + 1] if at + 1 < len(flat) else None
            spans.append((start, end,
                          before is not None and before[0] == chrom and before[2] == start,
                          after is not None and after[0] == chrom and after[1] == end))
            at += 1
        marked.append((chrom, tuple(spans)))
    return marked


def _grouped(chunks: list, max_in_flight: int, most: int, chunk_size: int) -> Iterator[tuple]:
    """The chunks as tasks, in genome order, each a tuple of chunks.  A task
    holds up to ``most`` chunks' worth of positions (``chunk_size`` each)
    while many remain: every task costs its executor some time, a Dask
    scheduler milliseconds, and small sequences (scaffolds) are packed
    together until they fill that.  Towards the end tasks hold less, the
    last ones a chunk's worth, so that the workers finish together."""
    sizes = [sum(end - start for start, end, *_ in intervals) for _, intervals in chunks]
    remaining = sum(sizes)
    at = 0
    while at < len(chunks):
        ahead = max(0, -(-remaining // chunk_size) - 1)
        budget = chunk_size * max(1, min(most, ahead // max(1, max_in_flight)))
        task, filled = [chunks[at]], sizes[at]
        at += 1
        while at < len(chunks) and filled + sizes[at] <= budget:
            task.append(chunks[at])
            filled += sizes[at]
            at += 1
        remaining -= filled
        yield tuple(task)


def _pieces(task_chunks, numbers: dict[str, int]) -> tuple:
    """A task's chunks as (chromosome, number, intervals), neighbouring
    chunks of one chromosome joined."""
    pieces: list = []
    for chrom, intervals in task_chunks:
        if pieces and pieces[-1][0] == chrom:
            pieces[-1] = (chrom, pieces[-1][1], pieces[-1][2] + intervals)
        else:
            pieces.append((chrom, numbers.get(chrom, 0), intervals))
    return tuple(pieces)


def _run(function, make_task, chunks, outputs, executor, max_in_flight: int, *,
         numbers: dict[str, int] | None = None, deflate_level: int = 0,
         chunk_size: int = DEFAULT_CHUNK_SIZE, chunks_per_task: int = 1,
         scratch: str | None = None) -> Iterator[tuple[_Task, dict[str, Any]]]:
    """Submit ``function`` on the tasks of the chunks (made by
    ``make_task``, see ``write_outputs``), at most ``max_in_flight`` at a
    time, and yield each task with its result, in genome order."""
    executor = executor if executor is not None else InlineExecutor()
    pending: collections.deque = collections.deque()
    todo = _grouped(_edges_open(list(chunks)), max_in_flight, chunks_per_task, chunk_size)
    machine = _runs.machine_identity() if scratch is not None else None

    def submit_next() -> None:
        for task_chunks in todo:
            task = make_task(_pieces(task_chunks, numbers or {}), outputs, deflate_level,
                             chunk_size, scratch, machine)
            pending.append((task, executor.submit(function, task)))
            return

    try:
        for _ in range(max(1, max_in_flight)):
            submit_next()
        while pending:
            task, future = pending.popleft()
            result = future.result()
            submit_next()
            yield task, result
    finally:
        for _, future in pending:
            future.cancel()
        if isinstance(executor, InlineExecutor):
            _close_files()


@contextlib.contextmanager
def _scratch(executor) -> Iterator[str | None]:
    """The run's private directory on this machine, for the workers that
    run here (none for tasks run in this thread)."""
    if executor is None or isinstance(executor, InlineExecutor):
        yield None
        return
    with _runs.run_directory() as directory:
        yield directory


def score_intervals(fasta, model, *, strands: Sequence[str] = STRANDS, regions=None,
                    executor: concurrent.futures.Executor | None = None,
                    chunk_size: int = DEFAULT_CHUNK_SIZE,
                    max_in_flight: int = 8) -> Iterator[ScoredInterval]:
    """Score a genome (or only ``regions``) and yield its values interval
    by interval, in genome order.

    ``fasta`` is a FASTA path every worker can open; ``model`` a model
    file's path or a prepared model; ``regions`` objects with chrom, start
    and end (clipped and merged), or None for every position; ``executor``
    any ``concurrent.futures.Executor`` (None: in this thread).
    """
    unknown = set(strands) - set(STRANDS)
    if unknown or not strands:
        raise ValueError(f"strands must be among {STRANDS}, got {tuple(strands)}")
    fasta_path = os.fspath(fasta)
    chunks = plan_chunks(_genome(fasta_path), regions, chunk_size)
    outputs = tuple((strand, "array") for strand in strands)
    with _scratch(executor) as scratch:
        make_task = functools.partial(_Task, fasta_path, ModelRef.of(model))
        for task, result in _run(score_task, make_task, chunks, outputs, executor,
                                 max_in_flight, chunk_size=chunk_size, scratch=scratch):
            arrays = result["array"]
            k = 0
            for chrom, _, intervals in task.pieces:
                for start, end, _, _ in intervals:
                    yield ScoredInterval(chrom, start, end,
                                         arrays["forward"][k] if "forward" in arrays else None,
                                         arrays["reverse"][k] if "reverse" in arrays else None)
                    k += 1


# --- writers (run in the calling process) -----------------------------------

@contextlib.contextmanager
def _naming(path: str) -> Iterator[None]:
    """I/O errors meanwhile name the output ``path``, not the hidden
    temporary beside it (and writes through a descriptor name no file)."""
    try:
        yield
    except OSError as error:
        if error.filename == path or error.errno is None:
            raise
        raise OSError(error.errno, error.strerror or os.strerror(error.errno), path) from error


class _BigWigWriter:
    encoding = "bigwig"

    def __init__(self, path: str, lengths: dict[str, int], deflate_level: int):
        # The temporary stays open (and with it its lock) until the run
        # ends: another run takes only temporaries nobody holds for left
        # behind.
        self.temporary, self._held = open_beside(path)
        self.path = path
        # Every chromosome of the FASTA, in its order (bigWig cannot hold
        # a sequence of length 0).
        try:
            self._file: _bigwig.BigWigWriter | None = _bigwig.BigWigWriter(
                self.temporary, [(chrom, length) for chrom, length in lengths.items() if length],
                deflate_level=deflate_level)
        except BaseException:
            self._held.close()
            discard(self.temporary)
            raise

    def write(self, result: dict[str, Any], name: str) -> None:
        for batch in result["bigwig"][name]:
            self._file.add(batch, result["source"])

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None

    def abandon(self) -> None:
        if self._file is not None:
            self._file.abandon()
            self._file = None

    def release(self) -> None:
        self._held.close()


class _BedGraphWriter:
    encoding = "bedgraph"

    def __init__(self, path: str, lengths: dict[str, int], deflate_level: int):
        self.path = path
        if path == STDOUT:
            # Written as it comes: nothing to rename, nothing to take back.
            self.temporary, self._file = None, open(1, "wb", 1 << 20, closefd=False)
        else:
            self.temporary, self._file = open_beside(path, 1 << 20)
        if path.lower().endswith(_BGZF_EXTENSIONS):
            self._file = BgzfWriter(self._file)

    def write(self, result: dict[str, Any], name: str) -> None:
        self._file.write(result["bedgraph"][name])

    def close(self) -> None:
        if isinstance(self._file, BgzfWriter):
            self._file.finish()
        self._file.flush()

    def abandon(self) -> None:
        pass

    def release(self) -> None:
        if self.temporary is None:
            # Standard output stays open; what can no longer reach it is lost.
            with contextlib.suppress(OSError):
                self._file.close()
            return
        self._file.close()


def write_tracks(fasta, model, *, forward=None, reverse=None, regions=None,
                 executor: concurrent.futures.Executor | None = None,
                 chunk_size: int = DEFAULT_CHUNK_SIZE, max_in_flight: int = 8,
                 progress: bool = False, deflate_level: int = 0) -> None:
    """Score a genome (or only ``regions``) and write the forward and/or
    reverse track to files: ``.bw``/``.bigwig`` as bigWig, ``.bedgraph``
    or ``.bg`` as bedGraph, ``.bedgraph.gz`` or ``.bg.gz`` as BGZF-compressed
    bedGraph; ``-`` writes bedGraph to standard output as it is made.

    Each file is written to a temporary file beside it and renamed into
    place only when every output is complete; on any failure or interrupt
    the temporary files are removed and existing files are left untouched
    (what went to standard output stays there).
    Arguments as for ``score_intervals``; ``progress`` shows a tqdm bar on
    stderr; ``deflate_level`` (0 to 9) is the zlib level of the bigWig
    blocks: 0 stores them, which makes files about 7 % larger than any
    other level (scores hardly compress) and costs a twentieth of the time.
    """
    if not (isinstance(deflate_level, int) and 0 <= deflate_level <= 9):
        raise ValueError(f"deflate_level must be an integer from 0 to 9, got {deflate_level!r}")
    targets = [(strand, os.fspath(path)) for strand, path in
               (("forward", forward), ("reverse", reverse)) if path is not None]
    if not targets:
        raise ValueError("give at least one of forward and reverse")
    if len(targets) == 2 and os.path.abspath(targets[0][1]) == os.path.abspath(targets[1][1]):
        raise ValueError(f"forward and reverse are the same file {targets[0][1]!r}")
    formats = {}
    for strand, path in targets:
        formats[strand] = output_format(path)
        check_output(path)
    fasta_path = os.fspath(fasta)
    lengths = _genome(fasta_path)
    ref = ModelRef.of(model)
    chunks = plan_chunks(lengths, regions, chunk_size)
    write_outputs(score_task, functools.partial(_Task, fasta_path, ref), lengths, chunks,
                  targets, executor=executor, chunk_size=chunk_size,
                  max_in_flight=max_in_flight, progress=progress,
                  deflate_level=deflate_level)


def write_outputs(function, make_task, lengths: dict[str, int], chunks, targets, *,
                  executor=None, chunk_size: int = DEFAULT_CHUNK_SIZE, max_in_flight: int = 8,
                  progress: bool = False, deflate_level: int = 0) -> None:
    """Runs ``function`` on the tasks of ``chunks`` and writes its outputs
    to files, in genome order.  ``make_task(pieces, outputs, deflate_level,
    batch_size, scratch, machine)`` makes a task (a ``_Task`` or a subclass
    of it); ``function(task)`` returns what ``TaskEncoder.result`` does for
    the outputs named in ``targets``, (name, path) pairs whose paths were
    checked.  Each file appears whole when every output is complete, or
    not at all."""
    formats = {name: output_format(path) for name, path in targets}
    total = sum(end - start for _, intervals in chunks for start, end in intervals)

    writers: dict[str, _BigWigWriter | _BedGraphWriter] = {}
    bar = None
    for _, path in targets:
        sweep_beside(path)
    try:
        for name, path in targets:
            kind = _BigWigWriter if formats[name] == "bigwig" else _BedGraphWriter
            writers[name] = kind(path, lengths, deflate_level)
        if progress:
            from tqdm import tqdm
            bar = tqdm(total=total, unit="bp", unit_scale=True, file=sys.stderr,
                       desc="scoring", dynamic_ncols=True)
        outputs = tuple((name, writers[name].encoding) for name, _ in targets)
        numbers = {chrom: k for k, chrom in enumerate(c for c, n in lengths.items() if n)}
        # Tasks of several chunks for bigWig files only: bedGraph text takes
        # 30 or more bytes a value, all of which travels back.
        per_task = (_MOST_CHUNKS_PER_TASK if executor is not None
                    and set(formats.values()) == {"bigwig"} else 1)
        with _scratch(executor) as scratch:
            for task, result in _run(function, make_task, chunks, outputs, executor,
                                     max_in_flight, numbers=numbers,
                                     deflate_level=deflate_level, chunk_size=chunk_size,
                                     chunks_per_task=per_task, scratch=scratch):
                try:
                    for name, writer in writers.items():
                        with _naming(writer.path):
                            writer.write(result, name)
                finally:
                    if result.get("source"):
                        discard(result["source"])
                if bar is not None:
                    bar.update(task.positions)
        for writer in writers.values():
            with _naming(writer.path):
                writer.close()
        for writer in writers.values():
            if writer.temporary is not None:
                with _naming(writer.path):
                    commit(writer.temporary, writer.path)
    except BaseException:
        for writer in writers.values():
            try:
                writer.abandon()
            finally:
                if writer.temporary is not None:
                    discard(writer.temporary)
        # Also a temporary made when the interrupt came, before its writer
        # was recorded.
        for _, path in targets:
            discard_beside(path)
        raise
    finally:
        for writer in writers.values():
            writer.release()
        if bar is not None:
            bar.close()
