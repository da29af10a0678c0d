"""The engine of whole-genome runs: it plans chunks, runs tasks on any
``concurrent.futures.Executor``, takes what each task attempt hands back and
writes the outputs, in genome order, from the calling process alone.

A user of the engine (``tracks`` scores sequences, ``correct`` reads
alignments; any task that makes float64 values per position can join)
brings two things:

- a *job*: a small frozen, picklable object with what every task of the
  run needs beyond its coordinates (file paths, a model reference,
  parameters);
- a *task function* ``function(task, context) -> TaskResult``, defined at
  module level so that it pickles by name.  It walks ``task.spans()``,
  makes the values of each span and hands them to an ``Encoder``, whose
  ``result()`` it returns.  What it keeps across chunks (a model, open
  files, reusable arrays) it asks of the ``WorkerContext``: those live as
  long as the context, one per thread, and are closed when it is released.

Then ``plan_chunks`` cuts the genome (or regions) into chunks,
``write_outputs`` writes bigWig or bedGraph files from them (and hands
whatever else the tasks return to ``on_result``, in genome order), and
``array_intervals`` yields the values interval by interval instead.

A task over a bigWig signal, for example, needs no FASTA file::

    @dataclasses.dataclass(frozen=True)
    class SmoothJob:
        signal: str

    def smooth_task(task, context):
        signal = context.keep(("signal", task.job.signal),
                              lambda: pyBigWig.open(task.job.signal), lambda f: f.close())
        encoder = Encoder(task)
        for span in task.spans():
            values = context.array("values", span.end - span.start)
            values[:] = signal.values(span.chrom, span.start, span.end, numpy=True)
            encoder.add(span, {"smoothed": values})
        return encoder.result()

    write_outputs(smooth_task, SmoothJob(path), lengths, plan_chunks(lengths),
                  [("smoothed", "smoothed.bw")], executor=pool)

Where a chunk is planned, scored, encoded and written::

    plan_chunks -> run_tasks (groups chunks into Tasks, submits them)
      -> run_task in a worker (a WorkerContext, the task function)
      -> Encoder (arrays, bedGraph text or bigWig batches) -> TaskResult
      -> write_outputs (checks the attempt file, feeds the writers)

Contexts.  A run in the calling thread (no executor, or an
``InlineExecutor``) keeps one context for the whole run.  A worker thread
of any other executor (a process pool, a Dask worker, threads) keeps one
per run from task to task of that run, and releases it when the run ends:
a worker of this machine sees the run's directory go (within a twentieth
of a second), a worker that cannot see it (on another machine) releases
it after a second without a task of the run, and any worker releases it
at once when its thread takes a task of another run.  So a long-lived worker holds no open file, no memo
mapping and no array of a finished run, and a later run never sees
anything of an earlier one.

Attempts.  A worker on the calling process's machine writes a task's
bigWig blocks to a new file of that attempt alone in the run's private
directory, and the result names the file and the bytes it must hold; the
calling process checks that before it copies from it.  Other workers send
the blocks back as bytes.  A task attempt that runs twice, dies halfway or
finishes after its result was taken writes only to its own file, which
nobody reads then, so it cannot change a byte of the output.
"""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import dataclasses
import errno
import os
import sys
import threading
import time
import uuid
from collections.abc import Callable, Iterable, Iterator
from typing import Any, NamedTuple

import numpy as np

from corlap import _bigwig, _encoder, _runs, _threads
from corlap._lifecycle import held
from corlap._output import (commit_all, discard, discard_beside, naming, open_beside,
                             sweep_beside)
from corlap.bed import BgzfWriter

__all__ = ["BGZF_EXTENSIONS", "DEFAULT_CHUNK_SIZE", "OUTPUT_FORMATS", "STDOUT", "Task", "Span",
           "TaskResult", "AttemptError", "WorkerContext", "Encoder", "InlineExecutor", "output_extension",
           "output_format",
           "check_output", "merge_regions", "plan_chunks", "run_task", "run_tasks",
           "array_intervals", "write_outputs", "encode_bedgraph"]

DEFAULT_CHUNK_SIZE = 1_000_000
# Chunks one task of write_outputs holds at most, one after the other.
_MOST_CHUNKS_PER_TASK = 4
# File-name extension (lower case) -> output format.
OUTPUT_FORMATS = {".bw": "bigwig", ".bigwig": "bigwig",
                  ".bedgraph": "bedgraph", ".bg": "bedgraph",
                  ".bedgraph.gz": "bedgraph", ".bg.gz": "bedgraph"}
# bedGraph written BGZF-compressed, which tabix can index.
BGZF_EXTENSIONS = (".bedgraph.gz", ".bg.gz")
# The output name of standard output: bedGraph, written as it is made.
STDOUT = "-"


# --- output paths -----------------------------------------------------------

def output_extension(path) -> str:
    """The extension of an output's name as written: a BGZF one whole
    (``.bedgraph.gz``), else the last."""
    path = os.fspath(path)
    lower = path.lower()
    compressed = next((extension for extension in BGZF_EXTENSIONS
                       if lower.endswith(extension)), None)
    return path[len(path) - len(compressed):] if compressed else os.path.splitext(path)[1]


def output_format(path) -> str:
    """"bigwig" or "bedgraph", from the file name's extension (``-``,
    standard output, is bedGraph); ValueError for any other extension."""
    if os.fspath(path) == STDOUT:
        return "bedgraph"
    name = os.path.basename(os.fspath(path))
    extension = output_extension(name).lower()
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


# --- tasks ------------------------------------------------------------------

class Span(NamedTuple):
    """One interval of a task: positions ``start..end-1`` of ``chrom``
    (sequence ``number`` in bigWig files); an open edge is a chunk edge
    where another interval of the run goes on."""
    chrom: str
    number: int
    start: int
    end: int
    open_start: bool
    open_end: bool


@dataclasses.dataclass(frozen=True)
class Task:
    """One task as it travels to a worker: coordinates, never sequences."""
    # What every task of the run needs beyond its coordinates (the user's
    # frozen, picklable object).
    job: Any
    # (chromosome, its number in bigWig files, intervals): the intervals
    # are (start, end, open start, open end).
    pieces: tuple[tuple[str, int, tuple[tuple[int, int, bool, bool], ...]], ...]
    # (output name, encoding) pairs; encoding is "array", "bigwig" or
    # "bedgraph".
    outputs: tuple[tuple[str, str], ...]
    deflate_level: int = 0
    # Positions encoded together at most (a worker frees each batch's
    # values before it makes the next).
    batch_size: int = DEFAULT_CHUNK_SIZE
    # A private directory of the run on the calling process's machine, and
    # that machine's identity: a worker of that machine writes its bigWig
    # blocks to a file of its own attempt there; others send them back.
    scratch: str | None = None
    machine: str | None = None
    # The run's identity: the tasks of one run share a worker context.
    run: str = ""

    @property
    def positions(self) -> int:
        return sum(end - start for _, _, intervals in self.pieces
                   for start, end, _, _ in intervals)

    def spans(self) -> Iterator[Span]:
        """Every interval of the task, in genome order."""
        for chrom, number, intervals in self.pieces:
            for start, end, open_start, open_end in intervals:
                yield Span(chrom, number, start, end, open_start, open_end)

    def local_directory(self) -> str | None:
        """The run's directory when this worker is on the calling process's
        machine and sees it; else None."""
        if self.scratch is None or self.machine != _runs.machine_identity():
            return None
        return self.scratch if os.path.isdir(self.scratch) else None


class AttemptError(OSError):
    """A task attempt's file is missing or does not hold what its result
    says: that attempt failed (its output would be wrong)."""


@dataclasses.dataclass(frozen=True, slots=True)
class TaskResult:
    """What a task hands back, per output name: the values of each span
    (``arrays``), bedGraph text (``texts``) or bigWig batches
    (``batches``).  The batches' blocks and the texts travel one way or
    the other: as bytes inside them, or in the file ``attempt`` of that
    task attempt, which then holds exactly ``attempt_size`` bytes.  ``extra``: anything
    else the task function hands back (small and picklable, such as rows
    of a table), which the run's ``on_result`` takes in genome order."""
    arrays: dict[str, list[np.ndarray]] = dataclasses.field(default_factory=dict)
    texts: dict[str, bytes] = dataclasses.field(default_factory=dict)
    batches: dict[str, list] = dataclasses.field(default_factory=dict)
    attempt: str | None = None
    attempt_size: int = 0
    extra: Any = None
    # Texts that travel in the attempt's file, after the blocks: name ->
    # (offset, size) there, in place of their bytes in ``texts``.
    texts_in_attempt: dict[str, tuple[int, int]] = dataclasses.field(default_factory=dict)

    def check_attempt(self) -> None:
        """AttemptError unless the attempt's file (if any) is there and
        holds all its blocks, checked before anything is copied from it."""
        if self.attempt is None:
            return
        try:
            size = os.stat(self.attempt).st_size
        except FileNotFoundError:
            raise AttemptError(errno.ENOENT, "a task attempt's file is missing",
                               self.attempt) from None
        if size != self.attempt_size:
            raise AttemptError(errno.EIO, f"a task attempt's file holds {size} bytes, "
                               f"not {self.attempt_size}", self.attempt)


class WorkerContext:
    """What one thread keeps across the chunks of a run: models, open files,
    settings in force and reusable arrays.  Not shared between threads.
    Everything it holds is dropped, and every file closed, by ``release``
    (or on leaving a ``with`` block).

    ``directory`` is the run's private directory when this worker sees it
    (else None): a task may share files of the run there."""

    def __init__(self, directory: str | None = None):
        self.directory = directory
        self._kept: dict[Any, Any] = {}
        self._closers: list[tuple[Callable[[Any], None], Any]] = []
        self._arrays: dict[Any, np.ndarray] = {}

    def keep(self, key, make: Callable[[], Any], close: Callable[[Any], None] | None = None):
        """The object kept under ``key``: ``make()`` on first use, the same
        object afterwards; ``close(it)`` runs when the context is released
        (in the reverse order of making)."""
        try:
            return self._kept[key]
        except KeyError:
            pass
        value = make()
        self._kept[key] = value
        if close is not None:
            self._closers.append((close, value))
        return value

    def array(self, key, size: int, dtype=np.float64) -> np.ndarray:
        """An array of ``size`` elements, its contents undefined, made over
        the same memory as the last one of this key whenever that is large
        enough: it is valid until the next call with the same key.  Chunks
        need arrays of the same sizes over and over; taking fresh ones each
        time costs fresh pages where the C library hands freed blocks
        straight back to the system (as Dask's workers ask it to)."""
        held = self._arrays.get(key)
        if held is None or len(held) < size or held.dtype != dtype:
            held = np.empty(size, dtype=dtype)
            self._arrays[key] = held
        return held[:size]

    def release(self) -> None:
        """Close what was kept and drop every object and array."""
        closers, self._closers = self._closers, []
        self._kept.clear()
        self._arrays.clear()
        failure = None
        for close, value in reversed(closers):
            try:
                close(value)
            except BaseException as error:  # noqa: BLE001 - the rest is still closed
                failure = failure or error
        if failure is not None:
            raise failure

    def __enter__(self) -> "WorkerContext":
        return self

    def __exit__(self, *exc) -> None:
        self.release()


# A context a worker keeps between the tasks of a run is released after this
# long without one where the worker cannot see the run's directory (on
# another machine); where it can, the directory is looked for this often,
# and the context released when it has gone.
_IDLE_SECONDS = 1.0
_WATCH_SECONDS = 0.05


class _KeptContexts:
    """The worker contexts this process's threads keep between the tasks of
    a run: one per thread, held here only while its thread runs no task,
    so that the watcher (a thread that runs while any is kept) never
    touches one in use."""

    def __init__(self):
        self._lock = threading.Lock()
        # thread -> (run, context, idle since)
        self._kept: dict[int, tuple[str, WorkerContext, float]] = {}
        self._watcher: threading.Thread | None = None

    def take(self, task: Task) -> WorkerContext:
        """This thread's context for the task's run: the one it kept, or a
        new one (releasing the context of another run)."""
        with self._lock:
            kept = self._kept.pop(threading.get_ident(), None)
        if kept is not None:
            if kept[0] == task.run:
                return kept[1]
            kept[1].release()
        return WorkerContext(task.local_directory())

    def give_back(self, task: Task, context: WorkerContext) -> None:
        """Keep the context for the run's next task in this thread, unless
        the run has ended already."""
        if _run_ended(context):
            context.release()
            return
        with self._lock:
            self._kept[threading.get_ident()] = (task.run, context, time.monotonic())
            if self._watcher is None:
                self._watcher = threading.Thread(target=self._watch, daemon=True,
                                                 name="corlap-contexts")
                self._watcher.start()

    def release_run(self, run: str) -> None:
        """Release the kept contexts of ``run`` now (its tasks are done)."""
        with self._lock:
            ended = [ident for ident, (kept_run, _, _) in self._kept.items() if kept_run == run]
            contexts = [self._kept.pop(ident)[1] for ident in ended]
        for context in contexts:
            context.release()

    def _watch(self) -> None:
        while True:
            time.sleep(_WATCH_SECONDS)
            now = time.monotonic()
            with self._lock:
                ended = [ident for ident, (_, context, since) in self._kept.items()
                         if _run_ended(context) or (context.directory is None
                                                    and now - since > _IDLE_SECONDS)]
                contexts = [self._kept.pop(ident)[1] for ident in ended]
                done = not self._kept
                if done:
                    self._watcher = None
            for context in contexts:
                # Nobody is left to hear of a file that failed to close.
                with contextlib.suppress(Exception):
                    context.release()
            if done:
                return

    def forget(self) -> None:
        """In a child made by fork: the parent's contexts are not its own
        (nor is the watcher)."""
        self._lock = threading.Lock()
        self._kept = {}
        self._watcher = None


def _run_ended(context: WorkerContext) -> bool:
    return context.directory is not None and not os.path.isdir(context.directory)


_kept_contexts = _KeptContexts()
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_kept_contexts.forget)


def run_task(function, task: Task, context: WorkerContext | None = None) -> TaskResult:
    """``function(task, context)`` in this worker: with the run's context
    when the task runs in the calling thread, else with the context this
    thread keeps for the task's run."""
    if context is not None:
        with _threads.one_thread():
            return function(task, context)
    context = _kept_contexts.take(task)
    try:
        with _threads.one_thread():
            result = function(task, context)
    except BaseException:
        context.release()
        raise
    _kept_contexts.give_back(task, context)
    return result


# --- encoding (in the workers) ----------------------------------------------

def encode_bedgraph(chrom: str, start: int, values: np.ndarray) -> bytes:
    """bedGraph lines; neighbouring positions holding the very same float64
    bits share a line; values as ``repr`` writes them, which reads back as
    the same float64."""
    return _encoder.bedgraph(chrom.encode(), start, values)


class Encoder:
    """Collects a task's values span by span and encodes them for its
    outputs: kept as arrays, as bedGraph text, or as bigWig batches of up
    to ``task.batch_size`` positions (each batch's values are let go once
    it is encoded)."""

    def __init__(self, task: Task):
        self._task = task
        encodings = dict(task.outputs)
        names = [name for name, _ in task.outputs]
        self._arrays = {name: [] for name in names if encodings[name] == "array"}
        self._texts = {name: [] for name in names if encodings[name] == "bedgraph"}
        self._batches = {name: [] for name in names if encodings[name] == "bigwig"}
        self._waiting = {name: [] for name in self._batches}
        self._held = 0

    def add(self, span: Span, values: dict[str, np.ndarray]) -> None:
        """The float64 values (NaN: none) of positions span.start..end-1 of
        each output of the task.  The arrays are the caller's again once
        this returns (what the encoder keeps, it copies), so that a task
        can make every span's values in the same arrays."""
        for name in self._arrays:
            self._arrays[name].append(np.array(values[name]))
        for name in self._texts:
            self._texts[name].append(encode_bedgraph(span.chrom, span.start, values[name]))
        for name in self._waiting:
            self._waiting[name].append((span.number, span.start, values[name],
                                        span.open_start, span.open_end))
        self._held += span.end - span.start
        if self._held >= self._task.batch_size:
            self._encode_waiting()
            return
        # Waiting for the batch to fill (small intervals, a sequence's end).
        for intervals in self._waiting.values():
            number, start, kept, open_start, open_end = intervals[-1]
            intervals[-1] = (number, start, np.array(kept), open_start, open_end)

    def _encode_waiting(self) -> None:
        for name, intervals in self._waiting.items():
            if intervals:
                self._batches[name].append(
                    _bigwig.encode(intervals, deflate_level=self._task.deflate_level))
                intervals.clear()
        self._held = 0

    def result(self, extra: Any = None) -> TaskResult:
        """The task's result, with ``extra`` (see TaskResult); bigWig
        blocks and bedGraph texts in a file of this attempt when the worker
        sees the run's directory and has room there."""
        self._encode_waiting()
        texts = {name: b"".join(parts) for name, parts in self._texts.items()}
        attempt, size, in_attempt = None, 0, {}
        scratch = self._task.local_directory() if self._batches or texts else None
        if scratch is not None:
            # A file of this attempt alone: whatever another attempt of the
            # task does, the calling process copies only from the file of
            # the attempt whose result it took.
            source = os.path.join(scratch, f"attempt-{uuid.uuid4().hex}")
            batches = [batch for batches in self._batches.values() for batch in batches]
            try:
                _bigwig.write_attempt(source, batches)
                size = sum(stream.size for batch in batches for stream in batch.streams)
                in_attempt = _append_texts(source, size, texts)
                attempt = source
                size += sum(length for _, length in in_attempt.values())
                texts = dict.fromkeys(texts, b"")
            except OSError:
                # No room for it there: the blocks and texts travel back
                # instead (write_attempt leaves the batches' bytes where they
                # are until the file is whole).
                with contextlib.suppress(OSError):
                    os.unlink(source)
                in_attempt, size = {}, 0
        return TaskResult(self._arrays, texts, self._batches, attempt, size, extra, in_attempt)


def _append_texts(path: str, at: int, texts: dict[str, bytes]) -> dict[str, tuple[int, int]]:
    """Writes ``texts`` one after the other into the attempt's file ``path``
    from offset ``at``; where each one lies there."""
    where: dict[str, tuple[int, int]] = {}
    if not texts:
        return where
    descriptor = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    try:
        for name, text in texts.items():
            where[name] = (at, len(text))
            at = _bigwig.write_all(descriptor, at, text)
    finally:
        os.close(descriptor)
    return where


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


def _inline(executor) -> bool:
    return executor is None or isinstance(executor, InlineExecutor)


def run_tasks(function, job, chunks, outputs, *, executor=None, max_in_flight: int = 8,
              numbers: dict[str, int] | None = None, deflate_level: int = 0,
              chunk_size: int = DEFAULT_CHUNK_SIZE,
              chunks_per_task: int = 1) -> Iterator[tuple[Task, TaskResult]]:
    """Run ``function`` on the tasks of ``chunks`` (of ``plan_chunks``) with
    ``job``, at most ``max_in_flight`` at a time, and yield each task with
    its result, in genome order.  ``outputs``: (name, encoding) pairs;
    ``numbers``: chromosome -> its number in bigWig files."""
    inline = _inline(executor)
    executor = InlineExecutor() if executor is None else executor
    pending: collections.deque = collections.deque()
    todo = _grouped(_edges_open(list(chunks)), max_in_flight, chunks_per_task, chunk_size)
    with contextlib.ExitStack() as stack:
        # The run's private directory on this machine, for the workers that
        # run here (none for tasks run in this thread).
        scratch = None if inline else stack.enter_context(_runs.run_directory())
        machine = _runs.machine_identity() if scratch is not None else None
        context = stack.enter_context(WorkerContext()) if inline else None
        run = uuid.uuid4().hex
        # Threads of this process (a thread pool) let go of the run at once.
        stack.callback(_kept_contexts.release_run, run)

        def submit_next() -> None:
            for task_chunks in todo:
                task = Task(job, _pieces(task_chunks, numbers or {}), outputs, deflate_level,
                            chunk_size, scratch, machine, run)
                pending.append((task, executor.submit(run_task, function, task, context)))
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


def array_intervals(function, job, chunks, names, *, executor=None, max_in_flight: int = 8,
                    chunk_size: int = DEFAULT_CHUNK_SIZE
                    ) -> Iterator[tuple[str, int, int, dict[str, np.ndarray]]]:
    """(chrom, start, end, {name: values}) of every interval of ``chunks``,
    in genome order, for the outputs ``names`` of ``function``."""
    outputs = tuple((name, "array") for name in names)
    with contextlib.closing(run_tasks(function, job, chunks, outputs, executor=executor,
                                      max_in_flight=max_in_flight,
                                      chunk_size=chunk_size)) as results:
        for task, result in results:
            for k, span in enumerate(task.spans()):
                yield span.chrom, span.start, span.end, {name: result.arrays[name][k]
                                                         for name in names}


# --- writers (in the calling process) ---------------------------------------

class _BigWigWriter:
    encoding = "bigwig"

    def __init__(self, path: str, lengths: dict[str, int], deflate_level: int):
        # The temporary stays open (and with it its lock) until the run
        # ends: another run takes only temporaries nobody holds for left
        # behind.
        self.temporary, self._held = open_beside(path)
        self.path = path
        # Every chromosome of the genome, in its order (bigWig cannot hold
        # a sequence of length 0).
        try:
            self._file: _bigwig.BigWigWriter | None = _bigwig.BigWigWriter(
                self.temporary, [(chrom, length) for chrom, length in lengths.items() if length],
                deflate_level=deflate_level)
        except BaseException:
            self._held.close()
            discard(self.temporary)
            raise

    def write(self, result: TaskResult, name: str) -> None:
        for batch in result.batches[name]:
            self._file.add(batch, result.attempt)

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


class _StandardOutput:
    """Standard output, buffered here rather than by a ``BufferedWriter``,
    whose ``close`` flushes: a run that stops must not wait, on its way
    out, for a reader that stalls.  ``close`` without ``flush`` drops what
    is not written yet; a write cut short by a stop loses the rest."""

    def __init__(self, size: int = 1 << 20):
        self._size, self._pending = size, bytearray()

    def write(self, data) -> int:
        self._pending += data
        if len(self._pending) >= self._size:
            self.flush()
        return len(data)

    def flush(self) -> None:
        view, self._pending = memoryview(self._pending), bytearray()
        while view:
            view = view[os.write(1, view):]

    def close(self) -> None:
        self._pending = bytearray()


class _BedGraphWriter:
    encoding = "bedgraph"

    def __init__(self, path: str, lengths: dict[str, int], deflate_level: int):
        self.path = path
        if path == STDOUT:
            # Written as it comes: nothing to rename, nothing to take back.
            self.temporary, self._file = None, _StandardOutput()
        else:
            self.temporary, self._file = open_beside(path, 1 << 20)
        # A file of ours taking the text as it is (not standard output,
        # not compressed here).
        self._plain = self.temporary is not None
        if path.lower().endswith(BGZF_EXTENSIONS):
            self._file = BgzfWriter(self._file)
            self._plain = False

    def write(self, result: TaskResult, name: str) -> None:
        if name not in result.texts_in_attempt:
            self._file.write(result.texts[name])
            return
        offset, size = result.texts_in_attempt[name]
        source = os.open(result.attempt, os.O_RDONLY | os.O_CLOEXEC)
        try:
            if self._plain:
                # Copied by the kernel, after what is buffered here.
                self._file.flush()
                at = self._file.tell()
                _bigwig.copy_range(source, offset, size, self._file.fileno(), at)
                self._file.seek(at + size)
                return
            end = offset + size
            while offset < end:
                piece = os.pread(source, min(end - offset, 1 << 22), offset)
                if not piece:
                    raise AttemptError(errno.EIO, "a task attempt's file was cut short",
                                       result.attempt)
                self._file.write(piece)
                offset += len(piece)
        finally:
            os.close(source)

    def close(self) -> None:
        if isinstance(self._file, BgzfWriter):
            self._file.finish()
        self._file.flush()

    def abandon(self) -> None:
        pass

    def release(self) -> None:
        # Standard output stays open, and what a run that failed has not
        # written to it yet is dropped.
        self._file.close()


def write_outputs(function, job, lengths: dict[str, int], chunks, targets, *,
                  executor=None, chunk_size: int = DEFAULT_CHUNK_SIZE, max_in_flight: int = 8,
                  progress: bool = False, deflate_level: int = 0,
                  on_result: Callable[[Task, TaskResult], None] | None = None,
                  companions: Iterable[tuple[str, str]] = ()) -> None:
    """Run ``function`` on the tasks of ``chunks`` with ``job`` and write
    its outputs to files, in genome order.  ``targets``: (output name,
    path) pairs whose paths were checked (``check_output``); ``lengths``:
    every sequence of the genome, in its order.  Each file appears whole
    when every output is complete, or not at all.  ``on_result(task,
    result)``, when given, sees every result in genome order, after its
    values were written (for what else a task hands back).  ``companions``:
    (temporary, target) pairs of the run's other finished files, put in
    place in the same set as the outputs (the caller discards them if the
    run fails)."""
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
        results = run_tasks(function, job, chunks, outputs, executor=executor,
                            max_in_flight=max_in_flight, numbers=numbers,
                            deflate_level=deflate_level, chunk_size=chunk_size,
                            chunks_per_task=per_task)
        # Closed at once on a failure: the tasks still pending are
        # cancelled and the run's directory goes.
        with contextlib.closing(results):
            for task, result in results:
                try:
                    result.check_attempt()
                    for name, writer in writers.items():
                        with naming(writer.path):
                            writer.write(result, name)
                finally:
                    if result.attempt is not None:
                        discard(result.attempt)
                if on_result is not None:
                    on_result(task, result)
                if bar is not None:
                    bar.update(task.positions)
        for writer in writers.values():
            with naming(writer.path):
                writer.close()
        files = [(writer.temporary, writer.path) for writer in writers.values()
                 if writer.temporary is not None]
        commit_all(files + list(companions), held)
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
