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

How.  corlap._engine plans the chunks, runs the tasks and writes the
files; this module holds the scoring task it runs.  A task travels as
coordinates only: it opens the FASTA file itself and fetches each
interval's bases plus ``F`` bases of flank on each side (every window
centred in the interval lies inside that range on both strands), so each
value is computed from exactly the bases the whole-chromosome call would
use, and is bit-identical to it whatever the chunk size, the number of
workers, the executor or the regions.  A worker loads the model once per
context (keyed by the model file's SHA-256) and reuses it chunk after
chunk, so whatever the model caches between calls stays valid; the codes
of each chunk go into arrays the context reuses.  Workers of this machine
share the dinucleotide memo's table in the run's directory while their
tasks run.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import io
import os
import threading
from collections.abc import Iterator, Sequence

import numpy as np
# Every task opens the FASTA file through pysam.  Importing it with this
# module (which the CLI's forkserver preloads) keeps that import out of each
# worker's first task.  Without a working pysam the module still imports
# (footprints needs none); opening a FASTA file then says what to install.
with contextlib.suppress(Exception):
    import pysam  # noqa: F401

from corlap import models
# Names of the engine's that callers have always taken from this module.
from corlap._engine import (DEFAULT_CHUNK_SIZE, OUTPUT_FORMATS, STDOUT,  # noqa: F401
                            InlineExecutor, check_output, merge_regions, output_format,
                            plan_chunks)
from corlap._engine import (Encoder, Task, TaskResult, WorkerContext, array_intervals,
                            write_outputs)
from corlap.utils._scoring_loader import scoring
from corlap.utils.fasta import open_fasta
from corlap.utils.sequences import GenomicSequence

__all__ = ["DEFAULT_CHUNK_SIZE", "OUTPUT_FORMATS", "STRANDS", "Interval", "ModelRef",
           "ScoredInterval", "output_format", "check_output", "plan_chunks",
           "merge_regions", "score_intervals", "write_tracks", "InlineExecutor"]

# The environment variable users may set for a directory where processes
# share the table of dinucleotide window scores (the tracks layer sets its
# own through the extension's private settings instead).
MEMO_DIR_VARIABLE = "CORLAP_DWM_MEMO_DIR"
STRANDS = ("forward", "reverse")


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
    # A dinucleotide model whose memo table holds every window: how many
    # windows there are (4^length); else 0.
    table_windows: int = 0

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
            loaded = models.load_model(io.BytesIO(contents), name=os.fspath(model))
            return cls(models.digest(contents), path=path, table_windows=_table_windows(loaded))
        contents = models.model_bytes(model)
        return cls(models.digest(contents), contents=contents,
                   table_windows=_table_windows(model))

    def load(self):
        """The model, rebuilt from the bytes (checked against the digest)."""
        contents = self.contents
        if contents is None:
            with open(self.path, "rb") as stream:
                contents = stream.read()
            if models.digest(contents) != self.digest:
                raise RuntimeError(f"model file {self.path!r} changed during the run")
        return models.load_model(io.BytesIO(contents), name=self.path)


# The longest window whose memo is a table of every window (the extension's
# direct table).
_TABLE_LENGTH = 12


def _table_windows(model) -> int:
    if type(model).__name__ != "DiNucleotideMatrix" or int(model.length) > _TABLE_LENGTH:
        return 0
    return 4 ** int(model.length)


def fills_whole_memo(ref: ModelRef, chunks, strands: int) -> bool:
    """Whether a run scoring ``chunks`` on ``strands`` strands has windows
    enough for every window of the model's memo table to be scored first
    (far cheaper per window than scoring most of them one at a time)."""
    positions = sum(end - start for _, intervals in chunks for start, end in intervals)
    return ref.table_windows > 0 and positions * strands >= ref.table_windows


@dataclasses.dataclass(frozen=True)
class ScoreJob:
    """What every scoring task of a run needs beyond its coordinates;
    ``whole_memo``: fill the dinucleotide memo's table whole first."""
    fasta: str
    model: ModelRef
    whole_memo: bool = False


def genome_lengths(fasta_path) -> dict[str, int]:
    """Sequence name -> length, in the FASTA file's order."""
    with open_fasta(fasta_path) as fasta:
        return dict(zip(fasta.references, fasta.lengths))


# --- the work of one task (runs in a worker) --------------------------------

class _MemoSharing:
    """The process's memo settings while tasks share a run's table.  The
    settings are the process's, not a thread's: the first task in saves
    them, the last one out puts them back (which lets go of the table), and
    meanwhile the directory in force is that of the task that came in last
    among those still running, so that no task ever uses the table of a run
    none of its tasks is running any more."""

    def __init__(self):
        self._lock = threading.Lock()
        # (token, directory) of the tasks in, in the order they came.
        self._users: list[tuple[object, str]] = []
        self._saved: tuple | None = None
        self._in_force: str | None = None

    def enter(self, directory: str) -> object:
        """Share the table in ``directory`` until ``leave`` with what this
        returns."""
        token = object()
        with self._lock:
            if not self._users:
                self._saved = scoring.memo_settings()
            self._users.append((token, directory))
            self._set(directory)
        return token

    def leave(self, token: object) -> None:
        with self._lock:
            self._users = [user for user in self._users if user[0] is not token]
            if self._users:
                self._set(self._users[-1][1])
            else:
                saved, self._saved, self._in_force = self._saved, None, None
                scoring.memo_settings(*saved)

    def _set(self, directory: str) -> None:
        if directory != self._in_force:
            scoring.memo_settings(directory=directory)
            self._in_force = directory


_memo_sharing = _MemoSharing()


def _window_length(model) -> int:
    return int(model.pssm.shape[1]) if type(model).__name__ == "NucleotideMatrix" \
        else int(model.length)


def model_of(context: WorkerContext, ref: ModelRef):
    """The model of ``ref`` in this worker context: loaded on first use,
    then the same object for every later chunk; and, where the worker sees
    the run's directory, the dinucleotide memo's table shared there while
    the context lives."""
    if context.directory is not None:
        context.keep("memo", lambda: _memo_sharing.enter(context.directory),
                     _memo_sharing.leave)
    return context.keep(("model", ref.digest), ref.load)


def fasta_of(context: WorkerContext, path: str):
    """The FASTA file ``path``, open for as long as the worker context."""
    return context.keep(("fasta", path), lambda: open_fasta(path), lambda fasta: fasta.close())


def interval_scores(model, fasta, chrom: str, start: int, end: int, strands: Sequence[str],
                    context: WorkerContext | None = None,
                    whole_memo: bool = False) -> dict[str, np.ndarray]:
    """Float64 values of positions start..end-1 of chrom for each strand,
    from a prepared model and an open FASTA file.  With a worker ``context``
    the codes and scores are made in arrays it reuses, and the values are
    views of them, valid until the next call with that context; without
    one, arrays of their own.  Scored through the extension's private entry
    point, which gives the bits of ``score_sequence`` but lets go of the
    interpreter lock over the loop, so that threads of one worker (Dask's)
    score at the same time.  ``whole_memo``: the run scores enough windows
    for the dinucleotide memo's table to be filled whole first (same
    bits)."""
    length = _window_length(model)
    flank = length // 2  # F >= L - 1 - F: enough on both sides, both strands
    chrom_length = fasta.get_length(chrom)
    fetch_start, fetch_end = max(start - flank, 0), min(end + flank, chrom_length)
    size = fetch_end - fetch_start
    if context is None:
        region = GenomicSequence(Interval(chrom, fetch_start, fetch_end))
    else:
        # Made empty, then given the context's arrays, which from_fasta
        # fills in place.
        region = GenomicSequence(Interval(chrom, 0, 0))
        region.region, region.length = Interval(chrom, fetch_start, fetch_end), size
        region.sequence = context.array("forward codes", size, np.int64)
        region.revcomp = context.array("reverse codes", size, np.int64)
    region.from_fasta(fasta)
    values = {}
    for strand in strands:
        codes = region.sequence if strand == "forward" else region.revcomp
        if context is None:
            scores = scoring.score(model, codes, None, whole_memo)
        else:
            scores = context.array(f"{strand} scores", size)
            # revcomp index k is genome position fetch_end - 1 - k: scored
            # into the array read backwards, the reverse strand's values lie
            # in genome order.
            scoring.score(model, codes, scores if strand == "forward" else scores[::-1],
                          whole_memo)
        if strand == "forward" or context is not None:
            values[strand] = scores[start - fetch_start:end - fetch_start]
        else:
            # Laid out contiguous, as NumPy may take another (vector) loop,
            # and other bits, for a function of an array read backwards.
            values[strand] = np.ascontiguousarray(
                scores[::-1][start - fetch_start:end - fetch_start])
    return values


def score_task(task: Task, context: WorkerContext) -> TaskResult:
    """Score one task's intervals (``task.job`` a ScoreJob) and encode them
    for its outputs, the strands."""
    model = model_of(context, task.job.model)
    fasta = fasta_of(context, task.job.fasta)
    strands = [strand for strand, _ in task.outputs]
    encoder = Encoder(task)
    for span in task.spans():
        encoder.add(span, interval_scores(model, fasta, span.chrom, span.start, span.end,
                                          strands, context, task.job.whole_memo))
    return encoder.result()


def ignore_interrupts() -> None:
    """Process-pool initializer for pools of your own: Ctrl-C goes to the
    main process, which stops the run and the workers; workers do not print
    tracebacks.  (The command line's workers use ``_lifecycle.guard_worker``.)"""
    import signal
    signal.signal(signal.SIGINT, signal.SIG_IGN)


# --- runs (in the calling process) ------------------------------------------

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
    chunks = plan_chunks(genome_lengths(fasta_path), regions, chunk_size)
    ref = ModelRef.of(model)
    job = ScoreJob(fasta_path, ref, fills_whole_memo(ref, chunks, len(strands)))
    for chrom, start, end, arrays in array_intervals(
            score_task, job, chunks, tuple(strands), executor=executor,
            max_in_flight=max_in_flight, chunk_size=chunk_size):
        yield ScoredInterval(chrom, start, end, arrays.get("forward"), arrays.get("reverse"))


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
    lengths = genome_lengths(fasta_path)
    ref = ModelRef.of(model)
    chunks = plan_chunks(lengths, regions, chunk_size)
    job = ScoreJob(fasta_path, ref, fills_whole_memo(ref, chunks, len(targets)))
    write_outputs(score_task, job, lengths, chunks, targets,
                  executor=executor, chunk_size=chunk_size, max_in_flight=max_in_flight,
                  progress=progress, deflate_level=deflate_level)
