"""What a trained model holds, in figures and as a picture (``corlap
inspect``).

The figures come from the tables ``prepare_mat`` made, pseudo-counts
included: ``bias_pwm`` and ``bg_pwm`` hold each position's base
probabilities under the bias model and under the background, and a DWM's
``bias_dwm`` the probability of every pair of bases at every pair of
positions.  A position's information content is the relative entropy of its
bias probabilities to the background's, in bits: what one base there adds,
on average, to the score of a true site.  A pair's dependence is the mutual
information of its two bases under the bias model, in bits: 0 where the
pair tells nothing more than its two positions alone.
"""

from __future__ import annotations

import dataclasses
import os

import numpy as np

from corlap.models import model_type

__all__ = ["PLOT_FORMATS", "ModelSummary", "summarize", "plot"]

# Rows 0 to 3 of the tables (code order).
CODES = "ATCG"
# Bases in the order the report lists them.
BASES = "ACGT"
PLOT_FORMATS = (".png", ".pdf", ".svg")
# Pairs of positions the report lists, the most dependent first.
_PAIRS_SHOWN = 5
_COLOURS = {"A": "#1a9850", "C": "#2c6fbb", "G": "#f0a202", "T": "#d7301f"}


@dataclasses.dataclass
class ModelSummary:
    """A model in figures.  Probability tables are (4, length), rows in
    ``BASES`` order; ``dependence`` is (length, length), 0 on the
    diagonal, None for a PWM."""
    model_type: str
    length: int
    sites: float                    # site windows counted (the bias total)
    background: float               # background windows counted
    bias: np.ndarray
    background_probabilities: np.ndarray
    information: np.ndarray         # bits, per position
    dependence: np.ndarray | None

    @property
    def centre(self) -> int:
        """The window's index that falls on the site."""
        return self.length // 2

    def strongest_pairs(self, count: int = _PAIRS_SHOWN) -> list[tuple[int, int, float]]:
        """(position, position, bits) of the most dependent pairs, 0-based,
        most dependent first."""
        if self.dependence is None:
            return []
        first, second = np.triu_indices(self.length, k=1)
        order = np.argsort(-self.dependence[first, second], kind="stable")[:count]
        return [(int(first[k]), int(second[k]), float(self.dependence[first[k], second[k]]))
                for k in order]

    def report(self) -> str:
        """The summary as ``corlap inspect`` prints it."""
        lines = [f"type        {self.model_type}",
                 f"length      {self.length} (the site is position {self.centre + 1})",
                 f"sites       {_number(self.sites)} windows counted",
                 f"background  {_number(self.background)} windows counted",
                 "",
                 "information content per position, in bits relative to the background,",
                 "with the bias probabilities of each base:",
                 f"{'position':>8} {'offset':>6} {'bits':>7}  "
                 + "  ".join(f"{base:>6}" for base in BASES)]
        for position in range(self.length):
            lines.append(f"{position + 1:>8} {position - self.centre:>+6d} "
                         f"{self.information[position]:>7.3f}  "
                         + "  ".join(f"{p:>6.3f}" for p in self.bias[:, position]))
        lines.append(f"{'total':>8} {'':>6} {float(self.information.sum()):>7.3f}")
        if self.dependence is not None:
            lines += ["", "most dependent pairs of positions (mutual information, bits):"]
            for first, second, bits in self.strongest_pairs():
                lines.append(f"{first + 1:>8} {second + 1:>6} {bits:>7.3f}")
        return "\n".join(lines) + "\n"


def _number(value: float) -> str:
    return f"{int(value):,}" if float(value).is_integer() else f"{value:,.2f}"


def _base_rows(table: np.ndarray) -> np.ndarray:
    """The A, C, G, T rows of a per-position table, each column scaled to
    sum to 1."""
    rows = np.asarray(table, dtype=np.float64)[[CODES.index(base) for base in BASES], :]
    return rows / rows.sum(axis=0, keepdims=True)


def _relative_entropy(p: np.ndarray, q: np.ndarray) -> np.ndarray:
    with np.errstate(divide="ignore", invalid="ignore"):
        terms = np.where(p > 0, p * np.log2(p / q), 0.0)
    return terms.sum(axis=0)


def _dependence(pairs: np.ndarray) -> np.ndarray:
    """Mutual information (bits) of each pair of positions, from the pair
    probabilities ``pairs[a, b, m, n]`` (codes 0 to 3)."""
    joint = np.asarray(pairs, dtype=np.float64)[:4, :4]
    joint = joint / joint.sum(axis=(0, 1), keepdims=True)
    first = joint.sum(axis=1, keepdims=True)     # base a at m
    second = joint.sum(axis=0, keepdims=True)    # base b at n
    with np.errstate(divide="ignore", invalid="ignore"):
        terms = np.where(joint > 0, joint * np.log2(joint / (first * second)), 0.0)
    information = terms.sum(axis=(0, 1))
    np.fill_diagonal(information, 0.0)
    return information


def summarize(model) -> ModelSummary:
    """The figures of a prepared model (as ``load_model`` returns it)."""
    kind = model_type(model)
    bias = _base_rows(model.bias_pwm)
    background = _base_rows(model.bg_pwm)
    return ModelSummary(
        model_type=kind, length=bias.shape[1], sites=float(model.no_bias),
        background=float(model.no_bg), bias=bias, background_probabilities=background,
        information=_relative_entropy(bias, background),
        dependence=_dependence(model.bias_dwm) if kind == "DWM" else None)


# --- drawing --------------------------------------------------------------------

def _logo(axes, summary: ModelSummary) -> None:
    """Each position a stack of its bases, each as tall as its share of the
    position's information, the likeliest on top."""
    from matplotlib.font_manager import FontProperties
    from matplotlib.patches import PathPatch
    from matplotlib.textpath import TextPath
    from matplotlib.transforms import Affine2D

    font = FontProperties(family="DejaVu Sans", weight="bold")
    glyphs = {base: TextPath((0, 0), base, size=1, prop=font) for base in BASES}
    for position in range(summary.length):
        heights = summary.bias[:, position] * summary.information[position]
        bottom = 0.0
        for k in np.argsort(heights, kind="stable"):
            if heights[k] <= 0:
                continue
            glyph = glyphs[BASES[k]]
            box = glyph.get_extents()
            placed = (Affine2D().translate(-box.x0, -box.y0)
                      .scale(0.9 / box.width, heights[k] / box.height)
                      .translate(position + 0.55, bottom))
            axes.add_patch(PathPatch(placed.transform_path(glyph), color=_COLOURS[BASES[k]],
                                     linewidth=0))
            bottom += heights[k]
    axes.set_xlim(0.5, summary.length + 0.5)
    axes.set_ylim(0, max(2.0, float(summary.information.max()) * 1.05))
    axes.set_xticks(range(1, summary.length + 1))
    axes.axvline(summary.centre + 1, color="grey", linewidth=0.6, linestyle=":", zorder=0)
    axes.set_xlabel("position in the window (dotted: the site)")
    axes.set_ylabel("bits")


def _heatmap(figure, axes, summary: ModelSummary) -> None:
    shown = np.ma.masked_where(np.eye(summary.length, dtype=bool), summary.dependence)
    image = axes.imshow(shown, cmap="viridis", origin="upper",
                        extent=(0.5, summary.length + 0.5, summary.length + 0.5, 0.5))
    axes.set_xticks(range(1, summary.length + 1))
    axes.set_yticks(range(1, summary.length + 1))
    axes.set_xlabel("position")
    axes.set_ylabel("position")
    axes.set_title("pair dependencies")
    figure.colorbar(image, ax=axes, label="mutual information (bits)")


def plot(summary: ModelSummary, path, title: str | None = None) -> None:
    """Draw the model to ``path`` (.png, .pdf or .svg): the sequence logo,
    and for a DWM the heatmap of its pair dependencies beside it.  The
    file appears whole or not at all.  ImportError without matplotlib."""
    from matplotlib.figure import Figure

    from corlap._output import commit, discard, temporary_beside

    path = os.fspath(path)
    extension = os.path.splitext(path)[1].lower()
    if extension not in PLOT_FORMATS:
        raise ValueError(f"plot {path!r}: use one of {', '.join(PLOT_FORMATS)}")
    width = max(6.0, 0.45 * summary.length + 2)
    if summary.dependence is None:
        figure = Figure(figsize=(width, 3.2), layout="constrained")
        logo = figure.add_subplot()
    else:
        figure = Figure(figsize=(width + max(4.5, 0.35 * summary.length + 2), 4.2),
                        layout="constrained")
        logo, pairs = figure.subplots(1, 2, width_ratios=(1.4, 1))
        _heatmap(figure, pairs, summary)
    _logo(logo, summary)
    logo.set_title(f"{title + ': ' if title else ''}{summary.model_type} of length "
                   f"{summary.length}, {_number(summary.sites)} sites, "
                   f"{float(summary.information.sum()):.1f} bits")
    temporary = temporary_beside(path)
    try:
        figure.savefig(temporary, format=extension[1:], dpi=150)
        commit(temporary, path)
    except BaseException:
        discard(temporary)
        raise
