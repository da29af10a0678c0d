"""Motifs: count matrices read from motif files, their log-odds scores and
the thresholds and p-values of those scores.

Files.  Three formats, told apart by their contents:

- JASPAR: ``>ID NAME`` then four rows ``A [ 1 2 3 ]`` (letters A, C, G, T in
  any order; brackets optional), as many motifs as the file holds;
- ``.pfm``: four rows of counts (A, C, G, T), with or without a ``>ID NAME``
  line before them; a file without one takes its ID from the file name;
- MEME minimal motif format: ``MOTIF ID [NAME]``, then a ``letter-probability
  matrix:`` line and one row of four probabilities per position; counts are
  the probabilities times ``nsites=`` (100 when it is missing).

A file that is wrong raises ``MotifError`` naming the file, the line and
what is wrong.

Scores.  For counts ``c(b, i)``, column total ``n_i``, background ``q_b``
and pseudocount ``s``: ``p(b, i) = (c(b, i) + s * q_b) / (n_i + s)``, and a
window scores the sum over its positions of ``log2(p(b, i) / q_b)``, added
in the motif's column order.

Thresholds.  The score of a window drawn base by base from the background
has a distribution, computed by dynamic programming over the score rounded
to a grid of step ``delta`` per column (each window's grid sum is within
``L * delta / 2`` of its score).  The threshold of a p-value ``P`` is the
least score ``t`` reached by some window with ``P(score >= t) <= P``: the
grid puts it within a band of ``(L + 1) * delta``, and the windows scoring
within that band are enumerated to settle it exactly; when they are too
many (long motifs), the top of the band is taken, which never lets through
a window whose tail exceeds ``P``.
"""

from __future__ import annotations

import dataclasses
import math
import os
import re
from collections.abc import Iterable, Sequence

import numpy as np

from corlap import _scan

__all__ = ["Motif", "MotifError", "Scores", "read_motifs", "scores", "BASES",
           "DEFAULT_PSEUDOCOUNT", "DEFAULT_NSITES"]

BASES = "ACGT"
DEFAULT_PSEUDOCOUNT = 0.8
# MEME files without nsites= count each probability as out of this many.
DEFAULT_NSITES = 100
# Grid cells over the upper tail of a distribution: the grid step is the
# tail's width over this (at most _FINEST bits).
_CELLS = 1 << 16
_FINEST = 2.0 ** -20
# Cells of the first, coarse grid over the whole range of scores.
_COARSE_CELLS = 1 << 12
# Windows looked at, at most, while the band around a threshold is settled.
_MOST_STEPS = 500_000


class MotifError(ValueError):
    """A motif file that cannot be read as one of the formats."""


@dataclasses.dataclass(frozen=True)
class Motif:
    """A count matrix: ``counts[i][b]`` of base ``b`` (A C G T) at position
    ``i``; ``name`` is ``ID_NAME`` (``ID`` alone without a name), blanks
    replaced by ``_``."""
    name: str
    counts: np.ndarray
    source: str = ""

    @property
    def length(self) -> int:
        return int(self.counts.shape[0])


def _name(identifier: str, name: str | None) -> str:
    text = identifier if not name else f"{identifier}_{name}"
    return re.sub(r"\s+", "_", text.strip())


def _number(path: str, number: int, text: str, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise MotifError(f"{path}, line {number}: {what} {text!r} is not a number") from None
    if not math.isfinite(value) or value < 0:
        raise MotifError(f"{path}, line {number}: {what} {text!r} must be a finite number, 0 or more")
    return value


_ROW = re.compile(r"^\s*([ACGTacgt])\s*[:\[]?\s*(.*?)\s*\]?\s*$")


def _check_rows(path: str, first: int, rows: list[list[float]], label: str) -> np.ndarray:
    widths = {len(row) for row in rows}
    if len(widths) != 1:
        raise MotifError(f"{path}, line {first}: motif {label}: its four rows have different numbers "
                         f"of columns ({', '.join(str(len(row)) for row in rows)})")
    if 0 in widths:
        raise MotifError(f"{path}, line {first}: motif {label} has no columns")
    return np.array(rows, dtype=np.float64).T.copy()


def _jaspar(path: str, lines: list[tuple[int, str]]) -> list[Motif]:
    motifs: list[Motif] = []
    at = 0
    while at < len(lines):
        number, line = lines[at]
        if not line.startswith(">"):
            raise MotifError(f"{path}, line {number}: expected a '>ID NAME' line, got {line[:40]!r}")
        fields = line[1:].split(None, 1)
        if not fields:
            raise MotifError(f"{path}, line {number}: a '>' line without an ID")
        identifier, name = fields[0], fields[1] if len(fields) > 1 else None
        label = _name(identifier, name)
        rows: dict[str, list[float]] = {}
        plain: list[list[float]] = []
        at += 1
        while at < len(lines) and not lines[at][1].startswith(">"):
            row_number, row = lines[at]
            match = _ROW.match(row)
            if match and not plain:
                base = match.group(1).upper()
                if base in rows:
                    raise MotifError(f"{path}, line {row_number}: motif {label}: a second row {base}")
                rows[base] = [_number(path, row_number, value, f"count of {base}")
                              for value in match.group(2).replace("[", " ").replace("]", " ")
                              .split()]
            elif not rows:
                plain.append([_number(path, row_number, value, "count")
                              for value in row.replace("[", " ").replace("]", " ").split()])
            else:
                raise MotifError(f"{path}, line {row_number}: motif {label}: expected a row "
                                 f"'A [ ... ]', got {row[:40]!r}")
            at += 1
        if plain:
            if len(plain) != 4:
                raise MotifError(f"{path}, line {number}: motif {label} has {len(plain)} rows of "
                                 f"counts, not 4 (A, C, G, T)")
            counts = _check_rows(path, number, plain, label)
        else:
            missing = [base for base in BASES if base not in rows]
            if missing:
                raise MotifError(f"{path}, line {number}: motif {label} has no row for "
                                 f"{', '.join(missing)}")
            counts = _check_rows(path, number, [rows[base] for base in BASES], label)
        motifs.append(Motif(label, counts, path))
    return motifs


def _plain_pfm(path: str, lines: list[tuple[int, str]]) -> list[Motif]:
    stem = os.path.basename(path)
    stem = os.path.splitext(stem)[0] or stem
    if len(lines) != 4:
        raise MotifError(f"{path}, line {lines[min(len(lines), 4) - 1][0]}: a .pfm file without "
                         f"'>' lines holds four rows of counts (A, C, G, T), this one "
                         f"{len(lines)}")
    rows = [[_number(path, number, value, "count")
             for value in line.replace("[", " ").replace("]", " ").split()]
            for number, line in lines]
    return [Motif(_name(stem, None), _check_rows(path, lines[0][0], rows, stem), path)]


_MEME_MATRIX = re.compile(r"letter-probability\s+matrix\s*:(.*)$", re.IGNORECASE)


def _meme(path: str, lines: list[tuple[int, str]]) -> list[Motif]:
    motifs: list[Motif] = []
    at = 0
    while at < len(lines):
        number, line = lines[at]
        at += 1
        if line.startswith("ALPHABET"):
            # "ALPHABET= ACGT", or the first line of an alphabet's
            # definition ('ALPHABET "DNA" DNA-LIKE').
            letters = line.split("=", 1)[1].strip() if "=" in line else ""
            if not (letters.upper().startswith("ACGT") if "=" in line
                    else "DNA" in line.upper()):
                raise MotifError(f"{path}, line {number}: alphabet {line!r}: only DNA (ACGT) "
                                 f"motifs can be scanned")
            continue
        if not line.startswith("MOTIF"):
            continue
        fields = line.split()
        if len(fields) < 2:
            raise MotifError(f"{path}, line {number}: a MOTIF line without an ID")
        label = _name(fields[1], " ".join(fields[2:]) or None)
        while at < len(lines) and not _MEME_MATRIX.search(lines[at][1]):
            if lines[at][1].startswith("MOTIF"):
                break
            at += 1
        if at == len(lines) or lines[at][1].startswith("MOTIF"):
            raise MotifError(f"{path}, line {number}: motif {label} has no 'letter-probability "
                             f"matrix:' line")
        header_number, header = lines[at]
        at += 1
        settings = dict(re.findall(r"(\w+)\s*=\s*(\S+)", _MEME_MATRIX.search(header).group(1)))
        nsites = DEFAULT_NSITES
        if "nsites" in settings:
            nsites = _number(path, header_number, settings["nsites"], "nsites")
        if "alength" in settings and settings["alength"] != "4":
            raise MotifError(f"{path}, line {header_number}: motif {label}: alength= "
                             f"{settings['alength']}, not 4")
        width = None
        if "w" in settings:
            try:
                width = int(settings["w"])
            except ValueError:
                raise MotifError(f"{path}, line {header_number}: motif {label}: w= "
                                 f"{settings['w']!r} is not a whole number") from None
        rows = []
        while at < len(lines) and (width is None or len(rows) < width):
            row_number, row = lines[at]
            fields = row.split()
            if not fields or not re.match(r"^[-+0-9.]", fields[0]):
                break
            if len(fields) != 4:
                raise MotifError(f"{path}, line {row_number}: motif {label}: a row of "
                                 f"{len(fields)} probabilities, not 4")
            rows.append([_number(path, row_number, value, "probability") for value in fields])
            at += 1
        if width is not None and len(rows) != width:
            raise MotifError(f"{path}, line {header_number}: motif {label}: w= {width} but "
                             f"{len(rows)} rows")
        if not rows:
            raise MotifError(f"{path}, line {header_number}: motif {label} has no rows")
        motifs.append(Motif(label, np.array(rows, dtype=np.float64) * nsites, path))
    return motifs


def read_motif_file(path) -> list[Motif]:
    """The motifs of one file (JASPAR, .pfm or MEME, from its contents)."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except IsADirectoryError:
        raise MotifError(f"motif file {path!r} is a directory") from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data[:error.start].count(b"\n") + 1
        raise MotifError(f"{path}, line {line}: not text (a byte that is no UTF-8)") from None
    lines = [(number, line.strip()) for number, line in enumerate(text.splitlines(), 1)]
    lines = [(number, line) for number, line in lines if line and not line.startswith("#")]
    if not lines:
        raise MotifError(f"{path}: no motif in the file (it is empty)")
    if lines[0][1].startswith("MEME version"):
        motifs = _meme(path, lines)
    elif lines[0][1].startswith(">"):
        motifs = _jaspar(path, lines)
    else:
        motifs = _plain_pfm(path, lines)
    if not motifs:
        raise MotifError(f"{path}: no motif in the file")
    return motifs


def read_motifs(paths: Iterable) -> list[Motif]:
    """The motifs of every file, in order."""
    return [motif for path in paths for motif in read_motif_file(path)]


# --- scores, thresholds and p-values ----------------------------------------

def log_odds(counts: np.ndarray, background: Sequence[float],
             pseudocount: float = DEFAULT_PSEUDOCOUNT) -> np.ndarray:
    """The score table (positions x A C G T): ``log2(p(b, i) / q_b)``."""
    q = np.asarray(background, dtype=np.float64)
    totals = counts.sum(axis=1, keepdims=True)
    return np.log2((counts + pseudocount * q) / (totals + pseudocount) / q)


def reverse_complement(table: np.ndarray) -> np.ndarray:
    """The table that scores, read forward, the reverse complement of a
    window (A C G T order: the complement is the reversed row)."""
    return np.ascontiguousarray(table[::-1, ::-1])


@dataclasses.dataclass(frozen=True)
class Scores:
    """A motif's score table and what its threshold and p-values need:
    the upper tail of its distribution on a grid (``tail[k]``: the
    probability of a grid sum of at least ``low + k * step``, grid step
    ``delta``; from the threshold up only, and every ``step``-th cell,
    which keeps it small enough to travel with every task), the threshold
    (None: no window reaches the p-value), the p-value asked for (None
    with a threshold given) and whether the threshold was settled
    exactly."""
    name: str
    table: np.ndarray
    threshold: float | None
    p_value: float | None
    delta: float
    low: int
    tail: np.ndarray
    exact: bool
    best: float
    step: int = 1
    # The grid's lowest sum of the distribution computed (see p_value_table).
    grid_low: int = 0

    @property
    def length(self) -> int:
        return int(self.table.shape[0])

    def p_values(self, scores: np.ndarray) -> np.ndarray:
        """The probability of a background window scoring at least as high
        as each of ``scores``, from the grid: an upper bound, within the
        mass of grid sums ``L * delta`` below the score's."""
        return p_values(self.p_value_table(), scores)

    def p_value_table(self) -> tuple:
        return (self.delta, self.low, self.step, self.tail, self.length)

    def recipe(self) -> tuple:
        """What ``p_value_table_of`` needs to make the same p_value_table
        again (the same bits): small, where the table is not."""
        return (self.table, self.threshold, self.delta, self.grid_low)


def p_value_table_of(recipe: tuple, background) -> tuple:
    """The ``p_value_table()`` of the Scores whose ``recipe()`` this is,
    computed again from the score table and ``background``."""
    table, threshold, delta, low = recipe
    q = np.asarray(background, dtype=np.float64)
    kept_low, step, kept = _kept(table, threshold, delta, low, _tail(table, q, delta, low))
    return (delta, kept_low, step, kept, table.shape[0])


def p_values(table: tuple, scores: np.ndarray) -> np.ndarray:
    """p-values of ``scores`` from a ``Scores.p_value_table()``: the tail
    at the grid cell of the score less its greatest rounding error, or
    at the kept cell below that, so never below the exact tail of the
    grid."""
    delta, low, step, tail, length = table
    error = length * delta / 2 + 1e-9
    k = (np.ceil((np.asarray(scores) - error) / delta).astype(np.int64) - low) // step
    return tail[np.clip(k, 0, len(tail) - 1)]


def _kept(table: np.ndarray, threshold: float | None, delta: float, low: int,
          tail: np.ndarray) -> tuple[int, int, np.ndarray]:
    """(low, step, tail) of the cells that p-values of hits can need:
    from the threshold's less its rounding error up, every step-th cell
    (cells finer than the rounding error tell nothing more)."""
    length = table.shape[0]
    if threshold is None:
        return low + len(tail) - 1, 1, tail[-1:].copy()
    error = length * delta / 2 + 1e-9
    first = max(int(math.ceil((threshold - error) / delta)) - low - 1, 0)
    first = min(first, len(tail) - 1)
    step = max(1, length // 2)
    return low + first, step, np.ascontiguousarray(tail[first::step])


def _best(table: np.ndarray) -> float:
    best = 0.0
    for column in table:
        best += float(column.max())
    return best


def _tail_of_best(table: np.ndarray, background: np.ndarray) -> float:
    """The probability of the best score: each column's best bases (ties
    exact) drawn."""
    probability = 1.0
    for column in table:
        probability *= float(background[column == column.max()].sum())
    return probability


def _grid(table: np.ndarray, delta: float) -> np.ndarray:
    return np.rint(table / delta).astype(np.int64)


def _tail(table: np.ndarray, background: np.ndarray, delta: float, low: int) -> np.ndarray:
    grid = np.ascontiguousarray(_grid(table, delta))
    mass = np.frombuffer(_scan.distribution(grid, background, int(low)), dtype=np.float64)
    # tail[k] = mass[k] + mass[k + 1] + ..., added from the top down.
    return np.cumsum(mass[::-1])[::-1].copy()


def _grid_threshold(tail: np.ndarray, p_value: float) -> int | None:
    """Index of the least grid sum whose tail is at most p_value."""
    fits = np.flatnonzero(tail <= p_value)
    return int(fits[0]) if len(fits) else None


def _step(best: float, low_score: float, length: int) -> float:
    # The table's finest cell that keeps the tail within _CELLS cells.
    width = max(best - low_score, 1e-6) + length * 1e-6
    return max(width / _CELLS, _FINEST)


def scores(motif: Motif, background: Sequence[float], *,
           pseudocount: float = DEFAULT_PSEUDOCOUNT, p_value: float | None = None,
           threshold: float | None = None) -> Scores:
    """The motif's score table and its threshold: the given ``threshold``,
    or that of ``p_value`` (see the module's notes)."""
    q = np.asarray(background, dtype=np.float64)
    table = log_odds(motif.counts, q, pseudocount)
    length = table.shape[0]
    best = _best(table)
    worst = float(sum(float(column.min()) for column in table))
    if threshold is not None:
        delta = _step(best, min(threshold, best), length)
        low = int(math.floor((min(threshold, best) - length * delta) / delta)) - 1
        kept_low, step, kept = _kept(table, float(threshold), delta, low,
                                     _tail(table, q, delta, low))
        return Scores(motif.name, table, float(threshold), None, delta, kept_low, kept, True,
                      best, step, low)
    assert p_value is not None
    if _tail_of_best(table, q) > p_value:
        delta = _step(best, best - 1.0, length)
        low = int(math.floor((best - 1.0) / delta))
        kept_low, step, kept = _kept(table, None, delta, low, _tail(table, q, delta, low))
        return Scores(motif.name, table, None, p_value, delta, kept_low, kept, True, best, step,
                      low)
    # A coarse grid over the whole range finds where the threshold lies.
    coarse = max((best - worst) / _COARSE_CELLS, 1e-6)
    coarse_low = int(math.floor(worst / coarse)) - length
    coarse_tail = _tail(table, q, coarse, coarse_low)
    # (No grid sum with a tail small enough: the grid merged the best
    # scores with lesser ones; the threshold is then near the top.)
    k = _grid_threshold(coarse_tail, p_value)
    k = len(coarse_tail) - 1 if k is None else k
    error = length * coarse / 2 + 1e-9
    # Every score up to here has a tail above p_value.
    below = (coarse_low + k - 1) * coarse - error
    delta = _step(best, below, length)
    low = int(math.floor((below - length * delta) / delta)) - 1
    tail = _tail(table, q, delta, low)
    k = _grid_threshold(tail, p_value)
    k = len(tail) - 1 if k is None else k
    error = length * delta / 2 + 1e-9
    band_low, band_high = (low + k - 1) * delta - error, (low + k) * delta + error
    threshold, exact = _settle(table, q, delta, tail, low, k, band_low, band_high, p_value)
    kept_low, step, kept = _kept(table, threshold, delta, low, tail)
    return Scores(motif.name, table, threshold, p_value, delta, kept_low, kept, exact, best, step,
                  low)


def _settle(table, q, delta, tail, low, k, band_low, band_high, p_value) -> tuple[float, bool]:
    """The exact threshold from the windows scoring within the band, or
    the band's top when they are too many to list."""
    found = _scan.band(np.ascontiguousarray(table), np.ascontiguousarray(_grid(table, delta)),
                       q, band_low, band_high, _MOST_STEPS)
    # Past the band: no window scoring within it is let through.
    top = float(np.nextafter(band_high, np.inf))
    if found is None:
        return top, False
    values = np.frombuffer(found[0], dtype=np.float64)
    masses = np.frombuffer(found[1], dtype=np.float64)
    sums = np.frombuffer(found[2], dtype=np.int64)
    # Mass of the windows scoring above the band: every window of grid sum
    # low + k or more, less those that score within the band.
    above = float(tail[k]) - float(masses[sums >= low + k].sum())
    threshold = top
    running = above
    order = np.argsort(-values, kind="stable")
    at = 0
    while at < len(order):
        value = values[order[at]]
        same = at
        mass = 0.0
        while same < len(order) and values[order[same]] == value:
            mass += float(masses[order[same]])
            same += 1
        running += mass
        if running > p_value * (1 + 1e-12):
            break
        threshold = float(value)
        at = same
    return threshold, True
