"""Training a bias model from sites of a genome.

For a model of window length ``L`` let ``F = L // 2``.  A ``+`` site at
position ``p`` counts the forward window of bases ``p - F`` to
``p - F + L - 1``; a ``-`` site counts the reverse complement of bases
``p - (L - 1 - F)`` to ``p + F``, so that the window's centre index ``F``
falls on ``p`` either way.  Windows that run off their chromosome are
skipped and counted.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Iterable

import numpy as np

from corlap.bed import Site
from corlap.tracks import Interval
from corlap.utils.fasta import open_fasta
from corlap.utils.sequences import GenomicSequence, SequenceMatrix

__all__ = ["TrainingSummary", "site_window", "train_model"]

DEFAULT_BACKGROUND = 10_000


@dataclasses.dataclass
class TrainingSummary:
    """What ``train_model`` counted."""
    sites: int = 0                # site windows counted with add_sequence
    sites_off: int = 0            # site windows that ran off their chromosome
    sites_with_n: int = 0         # of those counted, windows holding a non-ACGT base
    background: int = 0           # background windows counted with add_background
    background_off: int = 0       # background sites whose window ran off (BED only)
    background_with_n: int = 0

    def line(self) -> str:
        parts = [f"{self.sites} site windows counted"]
        if self.sites_off:
            parts.append(f"{self.sites_off} skipped (window runs off the chromosome)")
        parts.append(f"{self.background} background windows counted")
        if self.background_off:
            parts.append(f"{self.background_off} background sites skipped "
                         f"(window runs off the chromosome)")
        with_n = self.sites_with_n + self.background_with_n
        if with_n:
            parts.append(f"{with_n} windows hold a base other than A, C, G, T "
                         f"(the model leaves those out)")
        return "; ".join(parts)


def site_window(position: int, strand: str, length: int, chrom_length: int
                ) -> tuple[int, int] | None:
    """The bases (start, end) of the window of a site, None when it runs
    off the chromosome."""
    centre = length // 2
    start = position - centre if strand == "+" else position - (length - 1 - centre)
    end = start + length
    if start < 0 or end > chrom_length:
        return None
    return start, end


def _window_codes(fasta, chrom: str, start: int, end: int, strand: str) -> np.ndarray:
    region = GenomicSequence(Interval(chrom, start, end)).from_fasta(fasta)
    return region.sequence if strand == "+" else region.revcomp


def _count_window(fasta, chrom: str, window: tuple[int, int], strand: str, add) -> int:
    """Counts one window with ``add``; 1 when it holds a base other than
    A, C, G, T, else 0."""
    codes = _window_codes(fasta, chrom, *window, strand)
    holds_n = int((codes > 3).any())
    add(codes)
    return holds_n


def _count_sites(fasta, sites: Iterable[Site], lengths: dict[str, int], length: int,
                 add) -> tuple[int, int, int]:
    """(counted, off the chromosome, holding a non-ACGT base) of the sites'
    windows, counted with ``add`` in the order given."""
    counted = off = with_n = 0
    for site in sites:
        window = site_window(site.start, site.strand, length, lengths[site.chrom])
        if window is None:
            off += 1
            continue
        with_n += _count_window(fasta, site.chrom, window, site.strand, add)
        counted += 1
    return counted, off, with_n


def train_model(fasta_path, sites: Iterable[Site], model_type: str, length: int, *,
                background: int = DEFAULT_BACKGROUND,
                background_sites: Iterable[Site] | None = None,
                seed: int = 0):
    """A prepared model of ``model_type`` ("PWM" or "DWM") and window
    ``length``, with a TrainingSummary.

    The sites' windows are counted with ``add_sequence`` in the order
    given.  The background is either ``background_sites`` (counted with
    ``add_background`` in the same way) or ``background`` windows at
    positions drawn uniformly over all chromosomes (weighted by length) on
    random strands, from NumPy's default generator seeded with ``seed``; a
    draw whose window runs off its chromosome is drawn again.
    """
    if model_type not in ("PWM", "DWM"):
        raise ValueError(f"unknown model type {model_type!r}: use PWM or DWM")
    if length < 1:
        raise ValueError(f"window length must be at least 1, got {length}")
    model = SequenceMatrix.create(length, model_type)
    summary = TrainingSummary()
    with open_fasta(os.fspath(fasta_path)) as fasta:
        lengths = dict(zip(fasta.references, fasta.lengths))
        summary.sites, summary.sites_off, summary.sites_with_n = _count_sites(
            fasta, sites, lengths, length, model.add_sequence)

        if background_sites is not None:
            summary.background, summary.background_off, summary.background_with_n = \
                _count_sites(fasta, background_sites, lengths, length, model.add_background)
        elif background > 0:
            names = [chrom for chrom, size in lengths.items() if size >= length]
            if not names:
                raise ValueError(f"no sequence of the FASTA file is as long as the "
                                 f"window ({length} bases): cannot draw a background")
            sizes = np.array([lengths[chrom] for chrom in lengths], dtype=np.int64)
            ends = np.cumsum(sizes)
            chroms = list(lengths)
            rng = np.random.default_rng(seed)
            while summary.background < background:
                point = int(rng.integers(0, int(ends[-1])))
                strand = "+" if rng.integers(0, 2) == 0 else "-"
                index = int(np.searchsorted(ends, point, side="right"))
                chrom = chroms[index]
                position = point - (int(ends[index - 1]) if index else 0)
                window = site_window(position, strand, length, lengths[chrom])
                if window is None:
                    continue
                summary.background_with_n += _count_window(fasta, chrom, window, strand,
                                                           model.add_background)
                summary.background += 1
    model.prepare_mat()
    return model, summary
