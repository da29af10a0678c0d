"""Motif sites: every window of a genome (or of regions) that scores at
least its motif's threshold, on both strands, as BED6 plus a p-value
column.

How.  corlap._engine plans the chunks and runs the tasks; this module
holds the task.  A chunk owns the windows that start in it, and fetches
the bases of its intervals plus, where its interval goes on into the next
chunk, the ``L - 1`` bases after it (``L`` the longest motif), so each
window is scored from exactly its own bases whatever cut the work.  The
plan never cuts a region less than ``L - 1`` bases before its end, so
those bases lie inside the region too: a hit lies wholly inside the
(merged) regions.  The native kernel (corlap._scan) scans all motifs and
both strands in one pass over a chunk; the ``-`` strand of a motif is its
reverse complement scanned forward.

Every task hands back its hits as text, sorted by start, name, then
strand; tasks come back in genome order, so the file is sorted and its
bytes do not depend on the number of workers or the chunk size.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import functools
import os
import time
from collections.abc import Iterable, Sequence

import numpy as np

from corlap import _scan, motifs
from corlap._engine import (DEFAULT_CHUNK_SIZE, STDOUT, Task, TaskResult, WorkerContext,
                            _StandardOutput, plan_chunks, run_tasks)
from corlap._lifecycle import held
from corlap._output import commit_all, discard, open_beside, sweep_beside
from corlap.bed import BgzfWriter
from corlap.utils.fasta import open_fasta

__all__ = ["BackgroundError", "ScanSummary", "scan_motifs", "write_sites", "prepare_motifs", "genome_background",
           "COLUMNS", "DEFAULT_P_VALUE"]

DEFAULT_P_VALUE = 1e-4
COLUMNS = ("chrom", "start", "end", "name", "score", "strand", "p_value")
# The filter of the kernel looks at this many bases at a time (a table of
# 4^q lists of motifs).
_Q = 7

# Base codes of the kernel: A C G T (either case) 0 to 3, anything else 4.
_CODES = np.full(256, 4, dtype=np.uint8)
for _code, _bases in enumerate(("Aa", "Cc", "Gg", "Tt")):
    for _base in _bases:
        _CODES[ord(_base)] = _code


def codes_of(text: str) -> np.ndarray:
    """The kernel's codes of DNA text."""
    return _CODES[np.frombuffer(text.encode("latin-1", "replace"), dtype=np.uint8)]


# --- the plan -----------------------------------------------------------------

def plan(lengths: dict[str, int], regions=None, chunk_size: int = DEFAULT_CHUNK_SIZE,
         reach: int = 0) -> list:
    """The engine's chunks, with no region cut fewer than ``reach`` bases
    before its end (an interval starting that near the end is joined to
    the one before it): a window starting in an interval and ending within
    ``reach`` bases after it then lies in the region."""
    chunks = plan_chunks(lengths, regions, chunk_size)
    flat = [(at, chrom, start, end) for at, (chrom, intervals) in enumerate(chunks)
            for start, end in intervals]
    # The end of the region each interval belongs to.
    region_end = [0] * len(flat)
    for k in range(len(flat) - 1, -1, -1):
        _, chrom, _, end = flat[k]
        after = flat[k + 1] if k + 1 < len(flat) else None
        goes_on = after is not None and after[1] == chrom and after[2] == end
        region_end[k] = region_end[k + 1] if goes_on else end
    kept: list[tuple[str, list]] = [(chrom, []) for chrom, _ in chunks]
    last = None
    for k, (at, chrom, start, end) in enumerate(flat):
        continues = last is not None and last[0] == chrom and last[1][-1][1] == start
        if continues and region_end[k] - start < reach:
            last[1][-1] = (last[1][-1][0], end)
            continue
        kept[at][1].append((start, end))
        last = kept[at]
    return [(chrom, tuple(intervals)) for chrom, intervals in kept if intervals]


# --- the task (runs in a worker) ----------------------------------------------

@dataclasses.dataclass(frozen=True)
class ScanJob:
    """What every scanning task needs: the FASTA file, the score tables of
    both strands of every motif to scan (one after the other), each
    table's length, strand, threshold and motif, the motifs' names and
    ranks by name, and ``reach``: the longest table less one."""
    fasta: str
    tables: np.ndarray
    lengths: np.ndarray
    minus: np.ndarray
    thresholds: np.ndarray
    motif_of: np.ndarray
    names: tuple[str, ...]
    ranks: np.ndarray
    reach: int
    # The background and each motif's Scores.recipe(): each worker makes
    # the tables of p-values again, once (they are too large to travel
    # with every task).
    background: np.ndarray
    recipes: tuple

    @functools.cached_property
    def encoded_names(self) -> tuple[bytes, ...]:
        return tuple(name.encode() for name in self.names)


def _sorted(job: ScanJob, starts: np.ndarray, ids: np.ndarray, values: np.ndarray) -> tuple:
    """The hits of a span by start, name, strand (and matrix, for motifs
    of one name)."""
    order = np.lexsort((ids, job.minus[ids], job.ranks[job.motif_of[ids]], starts))
    return starts[order], ids[order], values[order]


def lines(job: ScanJob, p_value_tables, chrom: str, offset: int, starts: np.ndarray,
          ids: np.ndarray, values: np.ndarray) -> bytes:
    """The BED lines of a span's sorted hits, with their p-values."""
    if not len(starts):
        return b""
    motif = job.motif_of[ids]
    p = np.empty(len(values))
    for m in np.unique(motif):
        where = motif == m
        p[where] = motifs.p_values(p_value_tables[m], values[where])
    return _scan.lines(chrom.encode(), offset, starts, starts + job.lengths[ids], motif,
                       job.minus[ids], values, p, job.encoded_names)


def _scanner(job: ScanJob):
    return _scan.prepare(job.tables, job.lengths, job.minus, job.thresholds, _Q)


def scan_task(task: Task, context: WorkerContext) -> TaskResult:
    """The hits of one task's intervals (``task.job`` a ScanJob) as BED
    lines, and how many."""
    job = task.job
    scanner = context.keep("motif scanner", lambda: _scanner(job))
    fasta = context.keep(("fasta", job.fasta), lambda: open_fasta(job.fasta),
                         lambda handle: handle.close())
    tables = context.keep("p-value tables", lambda: [
        motifs.p_value_table_of(recipe, job.background) for recipe in job.recipes])
    parts, hits = [], 0
    for span in task.spans():
        end = span.end
        if span.open_end:
            end = min(span.end + job.reach, fasta.get_length(span.chrom))
        codes = codes_of(fasta.fetch(span.chrom, span.start, end))
        starts, ids, values = _scan.scan(scanner, codes, span.end - span.start)
        starts, ids, values = _sorted(job, np.frombuffer(starts, dtype=np.int64),
                                      np.frombuffer(ids, dtype=np.int32),
                                      np.frombuffer(values, dtype=np.float64))
        hits += len(starts)
        parts.append(lines(job, tables, span.chrom, span.start, starts, ids, values))
    return TaskResult(texts={"sites": b"".join(parts)}, extra=hits)


def count_task(task: Task, context: WorkerContext) -> TaskResult:
    """The number of A, C, G, T and other bases of a task's intervals."""
    fasta = context.keep(("fasta", task.job), lambda: open_fasta(task.job),
                         lambda handle: handle.close())
    counts = np.zeros(5, dtype=np.int64)
    for span in task.spans():
        counts += np.bincount(codes_of(fasta.fetch(span.chrom, span.start, span.end)),
                              minlength=5)
    return TaskResult(extra=counts)


# --- runs (in the calling process) --------------------------------------------

class BackgroundError(ValueError):
    """Background frequencies that cannot score: a base pair missing from
    the scanned sequence, or numbers that are no frequencies."""


def genome_lengths(fasta) -> dict[str, int]:
    with open_fasta(fasta) as handle:
        return dict(zip(handle.references, handle.lengths))


def genome_background(fasta, chunks, *, executor=None, max_in_flight: int = 8,
                      chunk_size: int = DEFAULT_CHUNK_SIZE) -> np.ndarray:
    """A C G T frequencies of the bases of ``chunks``, each strand counted
    (A = T, C = G).  ValueError when a pair of bases is missing."""
    counts = np.zeros(5, dtype=np.int64)
    with contextlib.closing(run_tasks(count_task, os.fspath(fasta), chunks, (),
                                      executor=executor, max_in_flight=max_in_flight,
                                      chunk_size=chunk_size)) as results:
        for _, result in results:
            counts += result.extra
    a_t, c_g = int(counts[0] + counts[3]), int(counts[1] + counts[2])
    if a_t + c_g == 0:
        raise BackgroundError("no base A, C, G or T to scan, so no background from them: "
                              "give --background uniform or four frequencies")
    if a_t == 0 or c_g == 0:
        raise BackgroundError(f"the scanned sequence holds no {'A or T' if a_t == 0 else 'C or G'}: "
                         f"give --background uniform or four frequencies")
    total = 2 * (a_t + c_g)
    return np.array([a_t, c_g, c_g, a_t], dtype=np.float64) / total


def prepare_motifs(found: Sequence[motifs.Motif], background, *,
                   pseudocount: float = motifs.DEFAULT_PSEUDOCOUNT,
                   p_value: float | None = DEFAULT_P_VALUE,
                   threshold: float | None = None,
                   executor: concurrent.futures.Executor | None = None) -> list[motifs.Scores]:
    """Each motif's score table and threshold (on ``executor``'s workers
    when given: the same numbers, each computed by one of them)."""
    make = functools.partial(motifs.scores, background=np.asarray(background, dtype=np.float64),
                             pseudocount=pseudocount, p_value=p_value, threshold=threshold)
    if executor is None or len(found) < 2:
        return [make(motif) for motif in found]
    futures = [executor.submit(make, motif) for motif in found]
    try:
        return [future.result() for future in futures]
    finally:
        for future in futures:
            future.cancel()


def scan_job(fasta: str, prepared: Sequence[motifs.Scores], background) -> ScanJob:
    tables, lengths, minus, thresholds, motif_of = [], [], [], [], []
    for k, scores in enumerate(prepared):
        if scores.threshold is None:
            continue
        for strand, table in ((0, scores.table), (1, motifs.reverse_complement(scores.table))):
            tables.append(table.ravel())
            lengths.append(scores.length)
            minus.append(strand)
            thresholds.append(scores.threshold)
            motif_of.append(k)
    names = tuple(scores.name for scores in prepared)
    ranks = np.empty(len(names), dtype=np.int64)
    ranks[sorted(range(len(names)), key=lambda k: (names[k], k))] = np.arange(len(names))
    return ScanJob(fasta,
                   np.ascontiguousarray(np.concatenate(tables) if tables else np.zeros(0)),
                   np.array(lengths, dtype=np.int64), np.array(minus, dtype=np.int64),
                   np.array(thresholds, dtype=np.float64), np.array(motif_of, dtype=np.int64),
                   names, ranks, max(lengths, default=1) - 1,
                   np.asarray(background, dtype=np.float64),
                   tuple(scores.recipe() for scores in prepared))


@dataclasses.dataclass
class ScanSummary:
    motifs: int
    scanned: int
    bases: int
    hits: int
    seconds: float

    def line(self) -> str:
        left = self.motifs - self.scanned
        return (f"{self.motifs} motif{'s' if self.motifs != 1 else ''}"
                + (f" ({left} left out: no window reaches its p-value)" if left else "")
                + f", {self.bases:,} bases scanned on both strands, {self.hits:,} hits "
                  f"in {self.seconds:.1f} s")


def _number(value: float) -> str:
    return repr(float(value))


def header(prepared: Sequence[motifs.Scores], background, pseudocount: float) -> bytes:
    """The output's header: how the scores were made, then one line per
    motif with its threshold."""
    lines = ["#" + "\t".join(COLUMNS),
             f"# background A C G T {' '.join(_number(q) for q in background)}; "
             f"pseudocount {_number(pseudocount)}; scores in bits (log2)"]
    for scores in prepared:
        if scores.threshold is None:
            lines.append(f"# {scores.name} threshold none: its best score "
                         f"{_number(scores.best)} has a p-value above {scores.p_value:g}; "
                         f"no hits")
        else:
            asked = (f" (p-value {scores.p_value:g})" if scores.p_value is not None
                     else " (given)")
            lines.append(f"# {scores.name} threshold {_number(scores.threshold)}{asked}")
    return "".join(line + "\n" for line in lines).encode()


def threshold_table(prepared: Sequence[motifs.Scores]) -> bytes:
    rows = ["name\tlength\tthreshold\tp_value\tbest_score\texact"]
    for s in prepared:
        rows.append("\t".join([s.name, str(s.length),
                               "none" if s.threshold is None else _number(s.threshold),
                               "given" if s.p_value is None else f"{s.p_value:g}",
                               _number(s.best), "yes" if s.exact else "no"]))
    return "".join(row + "\n" for row in rows).encode()


class _Out:
    """A text output that appears whole or not at all (standard output is
    written as it comes)."""

    def __init__(self, path: str):
        self.path, self.temporary = path, None
        if path == STDOUT:
            self.file = _StandardOutput()
        else:
            sweep_beside(path)
            self.temporary, self.file = open_beside(path, 1 << 20)
            if path.lower().endswith(".gz"):
                self.file = BgzfWriter(self.file)

    def write(self, data: bytes) -> None:
        self.file.write(data)

    def finish(self) -> None:
        if isinstance(self.file, BgzfWriter):
            self.file.finish()
        self.file.flush()
        if self.temporary is not None:
            self.file.close()

    def abandon(self) -> None:
        with contextlib.suppress(OSError):
            self.file.close()
        if self.temporary is not None:
            discard(self.temporary)


def _run(fasta, motif_files, regions, background, chunk_size, executor, max_in_flight,
         **levels) -> tuple:
    """What a run needs before it scans: the motifs, the chunks, the
    bases they hold, the background, each motif's Scores and the job."""
    found = [motif for item in motif_files
             for motif in ([item] if isinstance(item, motifs.Motif)
                           else motifs.read_motif_file(item))]
    fasta = os.fspath(fasta)
    reach = max((motif.length for motif in found), default=1) - 1
    chunks = plan(genome_lengths(fasta), regions, chunk_size, reach)
    bases = sum(end - start for _, intervals in chunks for start, end in intervals)
    frequencies = background_of(background, fasta, chunks, executor=executor,
                                max_in_flight=max_in_flight, chunk_size=chunk_size)
    prepared = prepare_motifs(found, frequencies, executor=executor, **levels)
    return found, chunks, bases, frequencies, prepared, scan_job(fasta, prepared, frequencies)


def _texts(job: ScanJob, chunks, executor, max_in_flight: int, chunk_size: int):
    """(text, hits) of each task, in genome order."""
    if not len(job.lengths):
        return
    with contextlib.closing(run_tasks(scan_task, job, chunks, (("sites", "text"),),
                                      executor=executor, max_in_flight=max_in_flight,
                                      chunk_size=chunk_size)) as results:
        for _, result in results:
            yield result.texts["sites"], result.extra


def write_sites(fasta, motif_files: Iterable, out, *, thresholds=None, regions=None,
                background="genome", pseudocount: float = motifs.DEFAULT_PSEUDOCOUNT,
                p_value: float | None = DEFAULT_P_VALUE, threshold: float | None = None,
                executor: concurrent.futures.Executor | None = None,
                chunk_size: int = DEFAULT_CHUNK_SIZE, max_in_flight: int = 8,
                progress: bool = False) -> ScanSummary:
    """Scan a genome (or only ``regions``) for the motifs of
    ``motif_files`` (paths, or Motif objects) and write the hits to
    ``out`` (``-``: standard output; ``.gz``: BGZF), and the thresholds to
    ``thresholds`` when given.  ``background``: "genome", "uniform" or four
    frequencies (A C G T).  Files appear whole or not at all."""
    started = time.monotonic()
    found, chunks, bases, frequencies, prepared, job = _run(
        fasta, motif_files, regions, background, chunk_size, executor, max_in_flight,
        pseudocount=pseudocount, p_value=p_value, threshold=threshold)
    outputs: list[_Out] = []
    hits = 0
    try:
        if thresholds is not None:
            outputs.append(_Out(os.fspath(thresholds)))
            outputs[-1].write(threshold_table(prepared))
        sites = _Out(os.fspath(out))
        outputs.append(sites)
        sites.write(header(prepared, frequencies, pseudocount))
        for text, count in _texts(job, chunks, executor, max_in_flight, chunk_size):
            sites.write(text)
            hits += count
        for output in outputs:
            output.finish()
        # Both files in place as one set.
        commit_all([(output.temporary, output.path) for output in outputs
                    if output.temporary is not None], held)
    except BaseException:
        for output in outputs:
            output.abandon()
        raise
    return ScanSummary(len(found), sum(s.threshold is not None for s in prepared), bases, hits,
                       time.monotonic() - started)


def background_of(background, fasta, chunks, **engine) -> np.ndarray:
    """The four background frequencies of ``background`` ("genome",
    "uniform" or four numbers)."""
    if isinstance(background, str):
        if background == "uniform":
            return np.full(4, 0.25)
        if background == "genome":
            return genome_background(fasta, chunks, **engine)
        raise BackgroundError(f"background must be genome, uniform or four numbers, "
                         f"got {background!r}")
    values = np.asarray(background, dtype=np.float64)
    if values.shape != (4,) or not np.all(np.isfinite(values)) or np.any(values <= 0):
        raise BackgroundError("background: four frequencies above 0 (A C G T)")
    if abs(values.sum() - 1) > 1e-3:
        raise BackgroundError(f"background: the four frequencies add up to {values.sum():g}, not 1")
    return values / values.sum()


def scan_motifs(fasta, found: Sequence[motifs.Motif], background, *, regions=None,
                pseudocount: float = motifs.DEFAULT_PSEUDOCOUNT,
                p_value: float | None = DEFAULT_P_VALUE, threshold: float | None = None,
                chunk_size: int = DEFAULT_CHUNK_SIZE, executor=None,
                max_in_flight: int = 8) -> list[tuple]:
    """The hits as (chrom, start, end, name, score, strand, p_value) rows,
    in the output's order (for library use; arguments as for
    ``write_sites``)."""
    _, chunks, _, _, _, job = _run(fasta, found, regions, background, chunk_size, executor,
                                   max_in_flight, pseudocount=pseudocount, p_value=p_value,
                                   threshold=threshold)
    rows = []
    for text, _ in _texts(job, chunks, executor, max_in_flight, chunk_size):
        for line in text.decode().splitlines():
            f = line.split("\t")
            rows.append((f[0], int(f[1]), int(f[2]), f[3], float(f[4]), f[5], float(f[6])))
    return rows
