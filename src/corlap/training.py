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
from collections.abc import Iterable, Iterator

import numpy as np

from corlap.bed import Blacklist, Site
from corlap.tracks import Interval
from corlap.utils.fasta import open_fasta
from corlap.utils.sequences import GenomicSequence, SequenceMatrix

__all__ = ["LENGTH_LIMITS", "LengthRefused", "NoUsableSites", "TrainingSummary",
           "check_length", "model_bytes", "site_window", "train_model", "unknown_names"]

DEFAULT_BACKGROUND = 10_000

# The longest window each model type takes.  A model's tables live whole in
# every process that trains or scores with it, and a DWM's grow with the
# square of its length: at 400 bases they hold 192 MB, ten times the
# longest window a sequence bias has been seen to reach.  A PWM's grow
# linearly: at 1,000,000 bases (240 MB) each window is already as long as
# a chunk of scoring, and a longer one fits fewer and fewer sequences.
LENGTH_LIMITS = {"PWM": 1_000_000, "DWM": 400}
# Background draws in a row that find no window before the genome is taken
# to have none (a blacklist over all of it).
_MOST_MISSED_DRAWS = 1_000_000


_ACGT = "a base other than A, C, G, T"


class LengthRefused(ValueError):
    """A window length above its model type's limit (``LENGTH_LIMITS``):
    its tables would not fit in memory, or no genome could use it."""


def model_bytes(model_type: str, length: int) -> int:
    """The bytes of a model's float64 tables: a PWM's six of 5 x length, a
    DWM's six of 5 x 5 x length x length and two of 5 x length, as the
    model makes them."""
    if model_type == "PWM":
        return 6 * 5 * length * 8
    return (6 * 25 * length * length + 2 * 5 * length) * 8


def _size(count: int) -> str:
    for unit, scale in (("PB", 10 ** 15), ("TB", 10 ** 12), ("GB", 10 ** 9), ("MB", 10 ** 6)):
        if count >= scale:
            return f"{count / scale:,.1f} {unit}"
    return f"{count / 10 ** 3:,.1f} kB"


def check_length(model_type: str, length: int) -> None:
    """Refuse (LengthRefused) a window ``length`` above the limit of
    ``model_type``, saying what its tables would take; ValueError for a
    length below 1 or an unknown type."""
    if model_type not in LENGTH_LIMITS:
        raise ValueError(f"unknown model type {model_type!r}: use PWM or DWM")
    if length < 1:
        raise ValueError(f"window length must be at least 1, got {length}")
    limit = LENGTH_LIMITS[model_type]
    if length > limit:
        raise LengthRefused(
            f"a {model_type} window may be at most {limit:,} bases, not {length:,}: its "
            f"tables would take {_size(model_bytes(model_type, length))} in every process "
            f"that trains or scores with it ({_size(model_bytes(model_type, limit))} at the "
            f"limit)")


def unknown_names(names: Iterable[str], references: Iterable[str]
                  ) -> list[tuple[str, str | None]]:
    """The ``names`` that are no sequence of ``references``, each with the
    sequence it may have meant (same name but for case or a ``chr``
    prefix) or None; in the order given, each once."""
    present = list(references)
    known = set(present)

    def bare(name: str) -> str:
        name = name.lower()
        return name[3:] if name.startswith("chr") else name

    near = {}
    for reference in present:
        near.setdefault(bare(reference), reference)
    unknown = []
    for name in dict.fromkeys(names):
        if name not in known:
            unknown.append((name, near.get(bare(name))))
    return unknown


class NoUsableSites(ValueError):
    """Not one site window (or, when a background was asked for, not one
    background window) could be counted: the model would say nothing.
    ``background`` tells which."""

    def __init__(self, reason: str, background: bool = False):
        super().__init__(reason)
        self.background = background


@dataclasses.dataclass
class TrainingSummary:
    """What ``train_model`` counted.  ``sites`` and ``background`` are the
    windows that lie on their chromosome; those among them that hold a base
    other than A, C, G, T (``*_with_n``) are left out by the model."""
    sites: int = 0                # site windows on their chromosome
    sites_off: int = 0            # site windows that ran off their chromosome
    sites_with_n: int = 0         # of those on it, windows holding a non-ACGT base
    background: int = 0           # background windows on their chromosome
    background_off: int = 0       # background sites whose window ran off (BED only)
    background_with_n: int = 0
    excluded: int = 0             # sites and background sites on excluded sequences
    blacklisted: int = 0          # windows overlapping the blacklist, left out

    @property
    def sites_counted(self) -> int:
        """Site windows that went into the model."""
        return self.sites - self.sites_with_n

    @property
    def background_counted(self) -> int:
        """Background windows that went into the model."""
        return self.background - self.background_with_n

    def line(self) -> str:
        parts = [f"{self.sites_counted} site windows counted",
                 f"{self.sites_off} sites skipped (window runs off the chromosome)",
                 f"{self.sites_with_n} sites skipped (window holds {_ACGT})"]
        background = [f"background: {self.background_counted} windows counted"]
        if self.background_off:
            background.append(f"{self.background_off} sites skipped "
                              f"(window runs off the chromosome)")
        if self.background_with_n:
            background.append(f"{self.background_with_n} windows skipped (hold {_ACGT})")
        if self.excluded:
            parts.append(f"{self.excluded} sites on excluded sequences left out")
        if self.blacklisted:
            parts.append(f"{self.blacklisted} windows overlapping the blacklist left out")
        return "; ".join(parts) + "; " + ", ".join(background)

    def unusable(self, background_wanted: bool = False) -> str | None:
        """Why the model would learn nothing from these counts (no site
        window counted; or no background window, when one was wanted), or
        None."""
        if self.sites_counted == 0:
            return _nothing_counted("site", self.sites + self.sites_off, self.sites_off,
                                    self.sites_with_n)
        if background_wanted and self.background_counted == 0:
            return _nothing_counted("background", self.background + self.background_off,
                                    self.background_off, self.background_with_n)
        return None


def _nothing_counted(what: str, given: int, off: int, with_n: int) -> str:
    if given == 0:
        noun = "site" if what == "site" else f"{what} site"
        return f"no {what} window can be counted: no {noun} was given"
    return (f"no {what} window can be counted: of {given} {what} sites, {off} have a window "
            f"running off the chromosome and {with_n} one holding {_ACGT}")


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
    """Counts one window with ``add`` unless it holds a base other than
    A, C, G, T; 1 when it does (and was left out), else 0."""
    codes = _window_codes(fasta, chrom, *window, strand)
    if (codes > 3).any():
        # A PWM's add_background would count it, N row and all: the
        # summary says it was skipped, and so it is, for either type.
        return 1
    add(codes)
    return 0


def _count_sites(fasta, sites: Iterable[Site], lengths: dict[str, int], length: int,
                 add, summary: TrainingSummary, blacklist: Blacklist | None
                 ) -> tuple[int, int, int]:
    """(counted, off the chromosome, holding a non-ACGT base) of the sites'
    windows, counted with ``add`` in the order given; those overlapping the
    blacklist are left out (``summary.blacklisted``)."""
    counted = off = with_n = 0
    for site in sites:
        window = site_window(site.start, site.strand, length, lengths[site.chrom])
        if window is None:
            off += 1
            continue
        if _blacklisted(blacklist, site.chrom, window):
            summary.blacklisted += 1
            continue
        with_n += _count_window(fasta, site.chrom, window, site.strand, add)
        counted += 1
    return counted, off, with_n


def _blacklisted(blacklist: Blacklist | None, chrom: str, window: tuple[int, int]) -> bool:
    return blacklist is not None and bool(blacklist.overlaps(chrom, [window[0]], [window[1]])[0])


def _not_excluded(sites: Iterable[Site], excluded: set[str], summary: TrainingSummary
                  ) -> Iterator[Site]:
    for site in sites:
        if site.chrom in excluded:
            summary.excluded += 1
        else:
            yield site


def train_model(fasta_path, sites: Iterable[Site], model_type: str, length: int, *,
                background: int = DEFAULT_BACKGROUND,
                background_sites: Iterable[Site] | None = None,
                seed: int = 0, require_sites: bool = False, exclude: Iterable[str] = (),
                blacklist: Blacklist | None = None):
    """A prepared model of ``model_type`` ("PWM" or "DWM") and window
    ``length``, with a TrainingSummary.

    The sites' windows are counted with ``add_sequence`` in the order
    given.  The background is either ``background_sites`` (counted with
    ``add_background`` in the same way) or ``background`` windows at
    positions drawn uniformly over all chromosomes (weighted by length) on
    random strands, from NumPy's default generator seeded with ``seed``; a
    draw whose window runs off its chromosome is drawn again.  With
    ``require_sites``, counts from which the model would learn nothing
    (see ``TrainingSummary.unusable``) raise NoUsableSites.  A window
    holding a base other than A, C, G, T is counted by neither side.  A
    ``length`` above ``LENGTH_LIMITS`` raises LengthRefused.  Sequences
    named in ``exclude`` are left out of both sides: their sites are not
    counted (``excluded`` tells how many), and the background is drawn
    from the other sequences alone, as if the FASTA file held them only.
    No window that overlaps ``blacklist`` is counted, on either side (a
    drawn one is drawn again).
    """
    check_length(model_type, length)
    model = SequenceMatrix.create(length, model_type)
    summary = TrainingSummary()
    excluded = set(exclude)
    with open_fasta(os.fspath(fasta_path)) as fasta:
        lengths = dict(zip(fasta.references, fasta.lengths))
        summary.sites, summary.sites_off, summary.sites_with_n = _count_sites(
            fasta, _not_excluded(sites, excluded, summary), lengths, length,
            model.add_sequence, summary, blacklist)
        if require_sites and summary.sites_counted == 0:
            # Before the background, which may have nothing to draw from.
            raise NoUsableSites(summary.unusable())

        if background_sites is not None:
            summary.background, summary.background_off, summary.background_with_n = \
                _count_sites(fasta, _not_excluded(background_sites, excluded, summary),
                             lengths, length, model.add_background, summary, blacklist)
        elif background > 0 and any(chrom not in excluded for chrom in lengths):
            # (Every sequence excluded: nothing to draw from, no background.)
            kept = {chrom: size for chrom, size in lengths.items() if chrom not in excluded}
            names = [chrom for chrom, size in kept.items() if size >= length]
            if not names:
                raise ValueError(f"no sequence of the FASTA file{' left' if excluded else ''} "
                                 f"is as long as the window ({length} bases): cannot draw "
                                 f"a background")
            sizes = np.array(list(kept.values()), dtype=np.int64)
            ends = np.cumsum(sizes)
            chroms = list(kept)
            rng = np.random.default_rng(seed)
            missed = 0
            while summary.background < background:
                point = int(rng.integers(0, int(ends[-1])))
                strand = "+" if rng.integers(0, 2) == 0 else "-"
                index = int(np.searchsorted(ends, point, side="right"))
                chrom = chroms[index]
                position = point - (int(ends[index - 1]) if index else 0)
                window = site_window(position, strand, length, lengths[chrom])
                if window is None or _blacklisted(blacklist, chrom, window):
                    missed += 1
                    if missed == _MOST_MISSED_DRAWS:
                        raise ValueError(f"no background window can be drawn: "
                                         f"{_MOST_MISSED_DRAWS:,} draws in a row ran off "
                                         f"their sequence or overlapped the blacklist")
                    continue
                missed = 0
                summary.background_with_n += _count_window(fasta, chrom, window, strand,
                                                           model.add_background)
                summary.background += 1
    if require_sites:
        reason = summary.unusable(background_wanted=background_sites is not None
                                  or background > 0)
        if reason is not None:
            raise NoUsableSites(reason, background=summary.sites_counted > 0)
    model.prepare_mat()
    return model, summary
