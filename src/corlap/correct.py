"""Insertion signal with the enzyme's sequence preference taken out.

For each strand ``s`` (``+`` or ``-``) and position ``p`` of a chromosome,
with ``h = window // 2``:

- ``obs_s(p)``: the insertions of strand ``s`` at ``p`` (see corlap.reads).
- ``w_s(p) = 2 ** score``, the score being the forward track's value at
  ``p`` for ``+`` and the reverse track's for ``-`` (corlap.tracks); a
  position without a score has no weight.
- ``N_s(p)``: the positions ``q`` of the chromosome with ``|q - p| <= h``
  where strand ``s`` has a weight.
- ``exp_s(p) = sum(obs_s(q), q in N_s(p)) * w_s(p) / sum(w_s(q), q in N_s(p))``:
  the local count shared out in proportion to the bias; 0 where the local
  count is 0, no value where ``p`` has no weight.

The tracks are ``observed = obs_+ + obs_-`` at every position (0
included); ``expected``, the sum of ``exp_s`` over the strands that have a
weight at ``p`` (no value where neither has one); and ``corrected =
observed - expected`` where ``expected`` has a value.  Per strand
(``per_strand``) they are ``obs_s``, ``exp_s`` (no value where ``s`` has
no weight) and their difference.  Normalised to counts per million
(``normalise="cpm"``) every value is multiplied by ``10**6 / N``, ``N`` the
insertions the observed track counts over every sequence left in (all of
each, whatever the regions written).

How.  The work is cut into chunks and tasks by corlap._engine, as for
``tracks.write_tracks``.  A task reads, for each interval of its plan, the scores and the insertions
of the interval plus ``h`` positions on each side (the scores fetch the
model's flank of bases beyond that), so its values are those of the whole
chromosome.  The extension (corlap._alignments.correct_interval) then
makes the three tracks in one pass per strand, letting other threads run.
Counts are integers, summed exactly.  The sums of weights are float64, and
they come out of the same additions in the same order whatever the
chunks: each is the sum of a suffix and a prefix of blocks of ``2h + 1``
positions laid from the chromosome's start (a window covers at most the
end of one block and the start of the next), each summed from the block's
edge inward, so values never depend on the chunk size, the workers or the
executor.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import os
from collections.abc import Iterable, Iterator, Sequence

import numpy as np

from corlap import _alignments, _engine, reads, tracks

__all__ = ["DEFAULT_WINDOW", "NORMALISATIONS", "OUTPUTS", "STRAND_WORDS", "CorrectedInterval",
           "correct_interval", "correction_intervals", "strand_path", "write_correction"]

DEFAULT_WINDOW = 101
OUTPUTS = ("observed", "expected", "corrected")
# Names of the strands in the per-strand outputs' files and names.
STRAND_WORDS = ("plus", "minus")
NORMALISATIONS = ("cpm",)


@dataclasses.dataclass(frozen=True)
class _CorrectionJob:
    """What every correction task of a run needs beyond its coordinates."""
    fasta: str
    model: tracks.ModelRef
    bam: str
    window: int = DEFAULT_WINDOW
    shift: tuple[int, int] = reads.DEFAULT_SHIFT
    min_mapq: int = reads.DEFAULT_MIN_MAPQ
    whole_memo: bool = False
    # The reads file as the user gave it, for errors (``bam`` is absolute,
    # for workers elsewhere).
    bam_name: str = ""
    filters: reads.ReadFilters = reads.NO_FILTERS
    # Every value is multiplied by it (counts per million: 10**6 / N).
    scale: float = 1.0


@dataclasses.dataclass(frozen=True, slots=True)
class CorrectedInterval:
    """The float64 values of positions ``start..end-1`` of ``chrom`` (NaN:
    no value); None for a track that was not asked for."""
    chrom: str
    start: int
    end: int
    observed: np.ndarray | None
    expected: np.ndarray | None
    corrected: np.ndarray | None


# --- the values of one interval ---------------------------------------------

def correct_interval(model, fasta, handle, chrom: str, start: int, end: int, *,
                     window: int = DEFAULT_WINDOW, shift=reads.DEFAULT_SHIFT,
                     min_mapq: int = reads.DEFAULT_MIN_MAPQ, path: str = "",
                     context: _engine.WorkerContext | None = None,
                     whole_memo: bool = False, filters: reads.ReadFilters = reads.NO_FILTERS,
                     per_strand: bool = False) -> dict[str, np.ndarray]:
    """The observed, expected and corrected float64 values (NaN: none) of
    positions start..end-1 of ``chrom``, from a prepared ``model``, an open
    FASTA file and a reads ``handle`` of ``reads.open_reads``; with
    ``per_strand`` also those of each strand (``observed.plus``,
    ``observed.minus`` ...).  With a worker ``context`` every array is one
    it reuses (the values are valid until the next call with it);
    ``whole_memo`` as for ``tracks.interval_scores``."""
    half = window // 2
    chrom_length = fasta.get_length(chrom)
    lo, hi = max(start - half, 0), min(end + half, chrom_length)
    scores = tracks.interval_scores(model, fasta, chrom, lo, hi, tracks.STRANDS, context,
                                    whole_memo)
    insertions = reads.region_insertions(handle, chrom, lo, hi, chrom_length, shift=shift,
                                         min_mapq=min_mapq, path=path, filters=filters)
    # 2 ** score, NaN where there is none (exp2 keeps NaN).
    weights = [np.exp2(scores[strand]) if context is None else
               np.exp2(scores[strand], out=context.array(("weights", strand), hi - lo))
               for strand in tracks.STRANDS]
    names = OUTPUTS + (tuple(f"{name}.{word}" for word in STRAND_WORDS for name in OUTPUTS)
                       if per_strand else ())
    values = {name: np.empty(end - start) if context is None else
              context.array(("values", name), end - start) for name in names}
    _alignments.correct_interval(*weights, *insertions, lo, start, end, half,
                                 *(values[name] for name in OUTPUTS))
    if per_strand:
        # A strand's tracks are those of the whole with the other strand
        # holding no weight and no insertion.
        none = np.empty(hi - lo) if context is None else context.array("no weights", hi - lo)
        none.fill(np.nan)
        nothing = np.empty(0, np.int64)
        for k, word in enumerate(STRAND_WORDS):
            pair = (weights[0], none) if k == 0 else (none, weights[1])
            counts = (insertions[0], nothing) if k == 0 else (nothing, insertions[1])
            _alignments.correct_interval(*pair, *counts, lo, start, end, half,
                                         *(values[f"{name}.{word}"] for name in OUTPUTS))
    return values


# --- tasks (run in workers) -------------------------------------------------

def correction_task(task: _engine.Task, context: _engine.WorkerContext) -> _engine.TaskResult:
    """The values of one task's intervals (``task.job`` a _CorrectionJob),
    encoded for its outputs."""
    job = task.job
    model = tracks.model_of(context, job.model)
    fasta = tracks.fasta_of(context, job.fasta)
    shown = job.bam_name or job.bam
    handle = context.keep(("reads", job.bam, job.fasta),
                          lambda: reads.open_for_regions(job.bam, job.fasta, shown),
                          lambda reader: reader.close())
    names = [name for name, _ in task.outputs]
    per_strand = any("." in name for name in names)
    encoder = _engine.Encoder(task)
    for span in task.spans():
        values = correct_interval(model, fasta, handle, span.chrom, span.start, span.end,
                                  window=job.window, shift=job.shift, min_mapq=job.min_mapq,
                                  path=shown, context=context, whole_memo=job.whole_memo,
                                  filters=job.filters,
                                  per_strand=per_strand)
        if job.scale != 1.0:
            for name in names:
                values[name] *= job.scale
        encoder.add(span, {name: values[name] for name in names})
    return encoder.result()


# --- runs (in the calling process) ------------------------------------------

def _prepare(fasta, bam, model, regions, window, chunk_size, shift, min_mapq, exclude,
             filters=reads.NO_FILTERS):
    """(lengths, chunks, job) of a run, its inputs checked."""
    if not (isinstance(window, int) and window >= 1):
        raise ValueError(f"window must be a positive integer, got {window!r}")
    if not (isinstance(min_mapq, int) and min_mapq >= 0):
        raise ValueError(f"min_mapq must be a non-negative integer, got {min_mapq!r}")
    shift = reads.check_shift(shift)
    fasta_path = os.fspath(fasta)
    bam_name = os.fspath(bam)
    bam_path = os.path.abspath(bam_name)
    lengths = tracks.genome_lengths(fasta_path)
    reads.open_reads(bam_name, fasta_path, lengths).close()
    ref = tracks.ModelRef.of(model)
    excluded = set(exclude)
    planned = {chrom: length for chrom, length in lengths.items() if chrom not in excluded}
    if regions is not None:
        regions = [region for region in regions if region.chrom not in excluded]
    chunks = tracks.plan_chunks(planned, regions, chunk_size)
    job = _CorrectionJob(fasta_path, ref, bam_path, window, shift, min_mapq,
                         tracks.fills_whole_memo(ref, chunks, len(tracks.STRANDS)), bam_name,
                         filters=filters)
    return lengths, chunks, job


def correction_intervals(fasta, bam, model, *, outputs: Sequence[str] = OUTPUTS,
                         regions=None, window: int = DEFAULT_WINDOW,
                         executor: concurrent.futures.Executor | None = None,
                         chunk_size: int = tracks.DEFAULT_CHUNK_SIZE, max_in_flight: int = 8,
                         shift=reads.DEFAULT_SHIFT, min_mapq: int = reads.DEFAULT_MIN_MAPQ,
                         exclude: Iterable[str] = (),
                         filters: reads.ReadFilters = reads.NO_FILTERS
                         ) -> Iterator[CorrectedInterval]:
    """The tracks named in ``outputs`` of the genome (or of ``regions``),
    interval by interval in genome order; arguments as for
    ``write_correction``."""
    unknown = set(outputs) - set(OUTPUTS)
    if unknown or not outputs:
        raise ValueError(f"outputs must be among {OUTPUTS}, got {tuple(outputs)}")
    _, chunks, job = _prepare(fasta, bam, model, regions, window, chunk_size, shift,
                              min_mapq, exclude, filters)
    for chrom, start, end, arrays in _engine.array_intervals(
            correction_task, job, chunks, tuple(outputs), executor=executor,
            max_in_flight=max_in_flight, chunk_size=chunk_size):
        yield CorrectedInterval(chrom, start, end, *(arrays.get(name) for name in OUTPUTS))


def write_correction(fasta, bam, model, *, observed=None, expected=None, corrected=None,
                     regions=None, window: int = DEFAULT_WINDOW,
                     executor: concurrent.futures.Executor | None = None,
                     chunk_size: int = tracks.DEFAULT_CHUNK_SIZE, max_in_flight: int = 8,
                     progress: bool = False, deflate_level: int = 0,
                     shift=reads.DEFAULT_SHIFT, min_mapq: int = reads.DEFAULT_MIN_MAPQ,
                     exclude: Iterable[str] = (), filters: reads.ReadFilters = reads.NO_FILTERS,
                     per_strand: bool = False, normalise: str | None = None) -> int | None:
    """Write the observed, expected and/or corrected track of the reads
    file ``bam`` (BAM or CRAM, sorted and indexed; see corlap.reads) to
    files: ``.bw``/``.bigwig`` as bigWig, ``.bedgraph``/``.bg`` as
    bedGraph.

    ``fasta`` is the genome (and a CRAM file's reference), ``model`` a
    model file's path or a prepared model, ``window`` the ``W`` of the
    local counts; ``regions``, ``executor``, ``chunk_size``,
    ``max_in_flight``, ``progress`` and ``deflate_level`` as for
    ``tracks.write_tracks``, and so are the outputs: each appears whole
    when all are complete, or not at all.  Sequences named in ``exclude``
    are left out (no values); ``filters`` choose the reads (see
    reads.ReadFilters).  ``per_strand`` writes each strand's tracks as well,
    beside each output (``strand_path``); ``normalise="cpm"`` writes counts
    per million insertions counted, and returns that count (else None).
    Raises reads.ReadsError for an unusable reads file.
    """
    if not (isinstance(deflate_level, int) and 0 <= deflate_level <= 9):
        raise ValueError(f"deflate_level must be an integer from 0 to 9, got {deflate_level!r}")
    targets = [(name, os.fspath(path)) for name, path in
               zip(OUTPUTS, (observed, expected, corrected)) if path is not None]
    if not targets:
        raise ValueError("give at least one of observed, expected and corrected")
    if normalise is not None and normalise not in NORMALISATIONS:
        raise ValueError(f"normalise must be one of {', '.join(NORMALISATIONS)} or None, "
                         f"got {normalise!r}")
    if per_strand:
        targets += [(f"{name}.{word}", strand_path(path, word))
                    for name, path in targets for word in STRAND_WORDS]
    seen: dict[str, str] = {}
    for name, path in targets:
        tracks.output_format(path)
        tracks.check_output(path)
        other = seen.setdefault(os.path.abspath(path), name)
        if other != name:
            raise ValueError(f"{other} and {name} are the same file {path!r}")
    lengths, chunks, job = _prepare(fasta, bam, model, regions, window, chunk_size,
                                    shift, min_mapq, exclude, filters)
    counted = None
    if normalise == "cpm":
        counted = reads.count_insertions(bam, fasta, shift=shift, min_mapq=min_mapq,
                                         exclude=exclude, filters=filters)
        if counted == 0:
            raise reads.ReadsError(f"{os.fspath(bam)}: no insertion counted: no counts per "
                                   f"million to give")
        job = dataclasses.replace(job, scale=1e6 / counted)
    _engine.write_outputs(correction_task, job, lengths, chunks, targets, executor=executor,
                          chunk_size=chunk_size, max_in_flight=max_in_flight,
                          progress=progress, deflate_level=deflate_level)
    return counted


def strand_path(path, word: str) -> str:
    """The file of one strand's track beside ``path``: the strand's word
    before the extension (``obs.bw`` -> ``obs.plus.bw``, ``obs.bg.gz`` ->
    ``obs.plus.bg.gz``).  Standard output has none (ValueError)."""
    path = os.fspath(path)
    if path == _engine.STDOUT:
        raise ValueError("per-strand tracks need files: standard output (-) holds one track")
    extension = _engine.output_extension(path)
    return f"{path[:len(path) - len(extension)]}.{word}{path[len(path) - len(extension):]}"
