"""A simulated accessibility assay made to be as hard as real data, for
judging footprints: reads to BAM, a motif's sites with the truth of which
are bound, and the enzyme's true preference.

What it holds:

- A genome of a few chromosomes drawn from a second-order Markov chain
  (CpG depleted) whose GC content changes from block to block, with runs
  of N, and a mitochondrial sequence ``chrM`` read deeply.
- Peaks of open chromatin of log-normal depth: a nucleosome-free core
  between phased nucleosomes whose linkers open less and less away from
  it, over a low genome-wide background.
- An insertion bias of its own over 16 bases (index 8 on the insertion,
  read on the insertion's strand): a term per position and base, strongest
  near the insertion, and 13 pair terms, some 10 or more bases apart.  In
  the ``hard`` variant the enzyme also dislikes G and C, so that unbound
  sites of a GC-rich motif dip as if protected; in the ``easy`` variant it
  likes them.  The log2 weight is capped (the enzyme's strongest windows
  are equal), so that fragments can be drawn exactly by rejection.
- Sites of a 19-base GC-rich motif (a CTCF-like consensus with degenerate
  positions), planted on either strand: bound ones in the cores of peaks,
  each protected by its own fraction (0.15 to 0.95) over the motif and two
  bases either side; unbound ones in the cores of other peaks; more
  outside peaks.
- Paired fragments whose two ends are insertions: a fragment from ``a`` to
  ``b`` is drawn with intensity ``w+(a) w-(b) f(b - a) min(A(a), A(b))``,
  ``w`` the bias, ``A`` the accessibility and ``f`` a length distribution
  with a nucleosome-free and a mono-nucleosome mode.  Some fragments are
  duplicated (flagged), and some more, placed at random, have a low
  mapping quality.

The reads are written as SAM text and sorted and indexed with pysam into
``reads.bam``; the insertion of a forward read is at ``start + 4``, that of
a reverse read at ``end - 1 - 5`` (corlap's default shift).

``simulate(work, config)`` writes ``genome.fa``, ``reads.bam``,
``peaks.bed``, ``motif.bed`` (every site, BED6, named after the motif) and
``truth.tsv`` (each site's kind: ``bound``, ``unbound`` in a peak, or
``outside`` peaks) into ``work`` and returns an ``Assay`` with the truth.  ``true_correction`` writes the corrected signal that the true bias
gives through corlap's own correction arithmetic.
"""

from __future__ import annotations

import dataclasses
import pathlib

import numpy as np

BASES = np.frombuffer(b"ACGTN", dtype=np.uint8)
# The insertion is at index BIAS_CENTRE of the bias window, as a window of
# corlap's of that length is placed on a site.
BIAS_LENGTH, BIAS_CENTRE = 16, 8
MOTIF = "TGGCCACCAGGGGGCGCTA"
MOTIF_NAME = "CTCF-like"
# How much of its consensus base each motif position keeps (the rest goes
# to the other three bases alike): strong core, weaker edges.
MOTIF_STRENGTH = np.array([0.45, 0.5, 0.55, 0.75, 0.85, 0.6, 0.85, 0.9, 0.6, 0.85,
                           0.9, 0.9, 0.9, 0.5, 0.85, 0.6, 0.7, 0.45, 0.4])
SHIFT = (4, -5)
READ_LENGTH = 50
CHROM_M, LENGTH_M = "chrM", 16_569


@dataclasses.dataclass(frozen=True)
class Config:
    variant: str = "hard"            # "hard": the enzyme dislikes G and C; "easy": likes them
    genome: int = 24_000_000         # bases, over `chroms` chromosomes (chrM apart)
    chroms: int = 4
    peaks: int = 3_500
    bound: int = 1_200
    unbound: int = 1_200             # unbound sites in peaks
    outside: int = 800               # sites outside peaks (unbound)
    fragments: int = 2_000_000       # fragments of the nuclear genome
    in_peaks: float = 0.45           # share of those fragments from peaks
    chrm: float = 0.05               # fragments from chrM, as a share of `fragments`
    duplicates: float = 0.04
    low_mapq: float = 0.03
    seed: int = 1


# The demo's size, and the test's.
SMALL = dict(genome=4_000_000, chroms=2, peaks=600, bound=250, unbound=250, outside=100,
             fragments=400_000)
TEST = dict(genome=2_000_000, chroms=2, peaks=360, bound=160, unbound=160, outside=40,
            fragments=240_000)


@dataclasses.dataclass
class Assay:
    work: pathlib.Path
    config: Config
    lengths: dict[str, int]
    codes: dict[str, np.ndarray]     # 0..3 for A, C, G, T; 4 for N
    sites: list[tuple[str, int, int, str, str]]   # chrom, start, end, strand, kind
    bias: "Bias"
    fasta: pathlib.Path = None
    bam: pathlib.Path = None
    motif_bed: pathlib.Path = None
    peaks_bed: pathlib.Path = None

    def kinds(self) -> np.ndarray:
        return np.array([site[4] for site in self.sites])


# --- the genome ---------------------------------------------------------------

def _markov_table(rng) -> np.ndarray:
    """P(next | two previous) [16, 4], CpG depleted, before the GC tilt."""
    table = rng.dirichlet(np.full(4, 8.0), size=16)
    table[np.arange(16) % 4 == 1, 2] *= 0.25       # C then G is rare
    return table / table.sum(axis=1, keepdims=True)


def _genome(rng, length: int, table: np.ndarray) -> np.ndarray:
    """Codes of a chromosome: the Markov chain run on many segments side by
    side, each segment's GC content that of its block."""
    segment = 2_000
    count = -(-length // segment)
    # GC blocks of about 100 kbp (20 to 60 segments), GC from 0.33 to 0.62.
    gc = np.empty(count)
    at = 0
    while at < count:
        size = int(rng.integers(20, 60))
        gc[at:at + size] = rng.uniform(0.33, 0.62)
        at += size
    is_gc = np.array([0, 1, 1, 0], dtype=float)
    # Tilt each row towards the block's GC: odds of G/C scaled by gc/(1-gc).
    levels = np.round((gc - 0.33) / 0.29 * 15).astype(int)
    level_gc = 0.33 + np.arange(16) / 15 * 0.29
    tilt = (level_gc / (1 - level_gc))[:, None] ** (is_gc[None, :] * 1.2)
    tilted = table[None, :, :] * tilt[:, None, :]
    cumulative = np.cumsum(tilted / tilted.sum(axis=2, keepdims=True), axis=2)[:, :, :3]
    codes = np.empty((count, segment), dtype=np.uint8)
    previous = rng.integers(0, 16, count)
    uniform = rng.random((segment, count))
    for k in range(segment):
        cut = cumulative[levels, previous]
        base = (uniform[k][:, None] > cut).sum(axis=1)
        codes[:, k] = base
        previous = (previous * 4 + base) % 16
    codes = codes.ravel()[:length].copy()
    # Runs of N: a long one near the start (as at a telomere), more inside.
    codes[:int(rng.integers(5_000, 30_000))] = 4
    for _ in range(max(2, length // 600_000)):
        start = int(rng.integers(0, length - 20_000))
        codes[start:start + int(rng.lognormal(6.5, 1.5)) % 20_000 + 1] = 4
    return codes


# --- the bias -----------------------------------------------------------------

@dataclasses.dataclass
class Bias:
    position: np.ndarray        # [16, 4] log2 terms
    pairs: list[tuple[int, int, np.ndarray]]   # (i, j, [4, 4] log2 terms)
    cap: float                  # log2 weights above it are cut to it
    offset: float               # subtracted so that the mean weight is about 1

    def log2(self, windows: np.ndarray) -> np.ndarray:
        """The log2 weight of windows [n, 16] (codes 0..3), uncapped."""
        score = np.zeros(len(windows))
        for i in range(BIAS_LENGTH):
            score += self.position[i, windows[:, i]]
        for i, j, table in self.pairs:
            score += table[windows[:, i], windows[:, j]]
        return score - self.offset

    def weights(self, codes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """w+ and w- of every position of a chromosome (0 where the window
        runs off it or holds N)."""
        length = len(codes)
        plus, minus = np.zeros(length), np.zeros(length)
        if length < BIAS_LENGTH:
            return plus, minus
        views = np.lib.stride_tricks.sliding_window_view(codes, BIAS_LENGTH)
        complement = np.array([3, 2, 1, 0, 4], dtype=np.uint8)
        clean = ~(views == 4).any(axis=1)
        for strand, out in ((0, plus), (1, minus)):
            step = 1 << 21
            values = np.zeros(len(views))
            for at in range(0, len(views), step):
                block = views[at:at + step]
                if strand:
                    # The - window of a position is the reverse complement
                    # of the forward bases around it.
                    block = complement[block[:, ::-1]]
                values[at:at + step] = np.exp2(np.minimum(self.log2(np.minimum(block, 3)),
                                                          self.cap))
            values[~clean] = 0.0
            # + window of p starts at p - 8; - window of p spans p - 7 .. p + 8.
            first = BIAS_CENTRE if strand == 0 else BIAS_LENGTH - 1 - BIAS_CENTRE
            out[first:first + len(views)] = values
        return plus, minus


def _bias(rng, variant: str, sample: np.ndarray) -> Bias:
    centre_weight = 0.12 + 0.5 * np.exp(-((np.arange(BIAS_LENGTH) - BIAS_CENTRE) / 3.0) ** 2)
    position = rng.normal(0.0, 1.0, (BIAS_LENGTH, 4)) * centre_weight[:, None]
    # The enzyme's taste for G and C, over the whole window.
    taste = -0.16 if variant == "hard" else 0.12
    position[:, 1:3] += taste
    pairs = [(0, 15), (1, 12), (2, 14), (3, 8), (4, 11), (5, 9), (6, 10), (7, 9), (8, 9),
             (9, 13), (10, 15), (11, 14), (2, 7)]
    pairs = [(i, j, rng.normal(0.0, 0.3, (4, 4))) for i, j in pairs]
    bias = Bias(position, pairs, np.inf, 0.0)
    # Centre the weights on the genome's windows and cap the strongest
    # 0.5 % of them.
    scores = bias.log2(sample)
    bias.offset = float(np.log2(np.mean(np.exp2(scores))))
    bias.cap = float(np.quantile(scores - bias.offset, 0.995))
    return bias


# --- chromatin ----------------------------------------------------------------

def _peak_profile(rng, half_core: int) -> np.ndarray:
    """Accessibility over a peak: a core of 1.0, then four phased
    nucleosomes of 147 bp each side, linkers opening less and less."""
    parts = [np.ones(2 * half_core)]
    left, right = [], []
    for level in (0.5, 0.3, 0.18, 0.1):
        for side in (left, right):
            side.append(np.full(147, 0.04 + 0.03 * rng.random()))
            side.append(np.full(int(rng.integers(15, 60)), level))
    profile = np.concatenate([*reversed(left), *parts, *right])
    # Edges softened over 10 bp, as nucleosome positions vary between cells.
    kernel = np.ones(11) / 11
    return np.convolve(np.pad(profile, 5, mode="edge"), kernel, mode="valid")


def _motif_codes(rng, count: int) -> np.ndarray:
    consensus = np.array(["ACGT".index(b) for b in MOTIF])
    draws = rng.random((count, len(MOTIF)))
    others = (consensus[None, :] + rng.integers(1, 4, (count, len(MOTIF)))) % 4
    return np.where(draws < MOTIF_STRENGTH[None, :] + (1 - MOTIF_STRENGTH[None, :]) / 4,
                    consensus[None, :], others).astype(np.uint8)


# --- reads ----------------------------------------------------------------------

def _fragment_lengths(rng, count: int) -> np.ndarray:
    nfr = rng.lognormal(np.log(75), 0.3, count)
    mono = rng.normal(200, 25, count)
    lengths = np.where(rng.random(count) < 0.6, nfr, mono)
    return np.clip(lengths, 30, 600).astype(np.int64)


def _fragments(rng, access: np.ndarray, plus: np.ndarray, minus: np.ndarray, count: int,
               cap: float) -> tuple[np.ndarray, np.ndarray]:
    """(left, right) insertions of ``count`` fragments, drawn with intensity
    w+(a) w-(b) f(b - a) min(A(a), A(b)): a from A w+, then accepted with
    probability w-(b) / 2**cap * min(1, A(b) / A(a))."""
    first = np.cumsum(access * plus)
    lefts, rights = [], []
    wanted = count
    top = 2.0 ** cap
    while wanted > 0:
        tried = max(4 * wanted, 10_000)
        a = np.searchsorted(first, rng.random(tried) * first[-1], side="right")
        b = a + _fragment_lengths(rng, tried) - 1
        fits = b < len(access)
        a, b = a[fits], b[fits]
        keep = rng.random(len(a)) < (minus[b] / top) * np.minimum(
            1.0, access[b] / np.maximum(access[a], 1e-300))
        lefts.append(a[keep][:wanted])
        rights.append(b[keep][:wanted])
        wanted -= len(lefts[-1])
    return np.concatenate(lefts), np.concatenate(rights)


def _sam_lines(chrom: str, left: np.ndarray, right: np.ndarray, mapq: np.ndarray,
               duplicate: np.ndarray, first_name: int) -> list[str]:
    """Both mates of every fragment, as SAM lines: mate 1 forward with its
    insertion at start + 4, mate 2 reverse with its insertion at end - 1 - 5."""
    size = right - left + 1
    span = np.minimum(READ_LENGTH, size + 9)
    start1 = left - SHIFT[0]
    end2 = right + 1 - SHIFT[1]
    start2 = end2 - span
    template = end2 - start1
    lines = []
    for k, (s1, s2, n, q, d, t) in enumerate(zip(start1.tolist(), start2.tolist(),
                                                 span.tolist(), mapq.tolist(),
                                                 duplicate.tolist(), template.tolist())):
        dup = 1024 if d else 0
        name = f"f{first_name + k}"
        lines.append(f"{name}\t{99 | dup}\t{chrom}\t{s1 + 1}\t{q}\t{n}M\t=\t{s2 + 1}\t{t}\t*\t*\n"
                     f"{name}\t{147 | dup}\t{chrom}\t{s2 + 1}\t{q}\t{n}M\t=\t{s1 + 1}\t{-t}"
                     f"\t*\t*\n")
    return lines


# --- the whole assay --------------------------------------------------------------

def simulate(work, config: Config = Config()) -> Assay:
    import pysam

    work = pathlib.Path(work)
    work.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng([config.seed, 0 if config.variant == "hard" else 1])
    table = _markov_table(rng)
    sizes = rng.dirichlet(np.full(config.chroms, 6.0)) * config.genome
    names = [f"chr{k + 1}" for k in range(config.chroms)]
    codes = {name: _genome(rng, max(int(size), 200_000), table)
             for name, size in zip(names, sizes)}
    codes[CHROM_M] = _genome(rng, LENGTH_M + 40_000, table)[40_000:]
    lengths = {name: len(c) for name, c in codes.items()}

    sample_chrom = codes[names[0]]
    starts = rng.integers(0, len(sample_chrom) - BIAS_LENGTH, 200_000)
    windows = sample_chrom[starts[:, None] + np.arange(BIAS_LENGTH)]
    bias = _bias(rng, config.variant, windows[~(windows == 4).any(axis=1)])

    # Peaks: apart from one another and from N.
    peaks: list[tuple[str, int, int, float, int, int]] = []
    profiles = []
    share = np.array([lengths[n] for n in names], float)
    share /= share.sum()
    taken = {name: np.zeros(lengths[name], bool) for name in names}
    depth = rng.lognormal(0.0, 0.9, config.peaks)
    for _ in range(100 * config.peaks):
        if len(peaks) == config.peaks:
            break
        name = names[int(rng.choice(len(names), p=share))]
        half_core = int(rng.integers(70, 200))
        profile = _peak_profile(rng, half_core)
        start = int(rng.integers(0, lengths[name] - len(profile)))
        end = start + len(profile)
        pad = slice(max(start - 300, 0), end + 300)
        if taken[name][pad].any() or (codes[name][start:end] == 4).any():
            continue
        taken[name][pad] = True
        core = start + (len(profile) - 2 * half_core) // 2
        peaks.append((name, start, end, float(depth[len(peaks)]), core, core + 2 * half_core))
        profiles.append(profile)
    else:
        raise ValueError(f"no room for {config.peaks} peaks in {config.genome} bases")
    # A background of 1.0 per base and peaks over it, scaled so that a
    # share `in_peaks` of the nuclear fragments fall in peaks, about.
    access = {name: np.ones(lengths[name]) for name in names}
    peak_mass = sum(peak[3] * float(profile.sum()) for peak, profile in zip(peaks, profiles))
    scale = config.in_peaks / (1 - config.in_peaks) * config.genome / peak_mass
    for (name, start, end, d, *_), profile in zip(peaks, profiles):
        access[name][start:end] += scale * d * profile

    # Sites: bound and unbound in peak cores, one per peak; others outside.
    order = rng.permutation(len(peaks))
    sites = []
    motif = _motif_codes(rng, config.bound + config.unbound + config.outside)
    protection = rng.uniform(0.15, 0.95, config.bound)
    width = len(MOTIF)
    for k, peak in enumerate(order[:config.bound + config.unbound]):
        name, _, _, _, core_start, core_end = peaks[peak]
        start = int(rng.integers(core_start + 5, max(core_end - width - 5, core_start + 6)))
        sites.append([name, start, start + width, "+-"[rng.integers(2)],
                      "bound" if k < config.bound else "unbound"])
    while len(sites) < config.bound + config.unbound + config.outside:
        name = names[int(rng.choice(len(names), p=share))]
        start = int(rng.integers(1_000, lengths[name] - 1_000))
        if taken[name][start - 500:start + 500].any() or \
                (codes[name][start - 100:start + 100] == 4).any():
            continue
        taken[name][start - 50:start + 50] = True
        sites.append([name, start, start + width, "+-"[rng.integers(2)], "outside"])
    bound_k = 0
    for k, (name, start, end, strand, kind) in enumerate(sites):
        planted = motif[k] if strand == "+" else (3 - motif[k])[::-1]
        codes[name][start:end] = planted
        if kind == "bound":
            access[name][start - 2:end + 2] *= 1.0 - protection[bound_k]
            bound_k += 1
    sites.sort(key=lambda s: (names.index(s[0]), s[1]))

    # chrM: deep and uniform.
    access[CHROM_M] = np.full(LENGTH_M, 1.0)

    # Fragments per chromosome, by its share of A * w+.
    weights = {name: bias.weights(codes[name]) for name in codes}
    for name in codes:
        access[name][codes[name] == 4] = 0.0
    mass = {name: float(np.sum(access[name] * weights[name][0])) for name in names}
    total = sum(mass.values())
    counts = {name: int(round(config.fragments * mass[name] / total)) for name in names}
    counts[CHROM_M] = int(config.fragments * config.chrm)

    sam = work / "reads.sam"
    header = "@HD\tVN:1.6\tSO:unsorted\n" + "".join(
        f"@SQ\tSN:{name}\tLN:{lengths[name]}\n" for name in codes)
    made = 0
    with open(sam, "w") as stream:
        stream.write(header)
        for name in codes:
            plus, minus = weights[name]
            left, right = _fragments(rng, access[name], plus, minus, counts[name], bias.cap)
            # Fragments whose reads would run off the sequence are lost.
            fits = (left - SHIFT[0] >= 0) & (right + 1 - SHIFT[1] <= lengths[name])
            left, right = left[fits], right[fits]
            duplicate = rng.random(len(left)) < config.duplicates
            mapq = np.full(len(left), 60)
            # Duplicates: the same fragment again, flagged.
            left = np.concatenate((left, left[duplicate]))
            right = np.concatenate((right, right[duplicate]))
            mapq = np.concatenate((mapq, mapq[duplicate]))
            flagged = np.concatenate((np.zeros(len(duplicate), bool),
                                      np.ones(int(duplicate.sum()), bool)))
            # Misplaced fragments with a low mapping quality.
            extra = int(len(left) * config.low_mapq)
            clean = np.flatnonzero(codes[name] != 4)
            misplaced = np.sort(rng.choice(clean[(clean > 10) & (clean < lengths[name] - 700)],
                                           extra))
            ends = misplaced + _fragment_lengths(rng, extra) - 1
            ok = ends + 1 - SHIFT[1] <= lengths[name]
            left = np.concatenate((left, misplaced[ok]))
            right = np.concatenate((right, ends[ok]))
            mapq = np.concatenate((mapq, rng.integers(0, 20, int(ok.sum()))))
            flagged = np.concatenate((flagged, np.zeros(int(ok.sum()), bool)))
            stream.writelines(_sam_lines(name, left, right, mapq, flagged, made))
            made += len(left)
    bam = work / "reads.bam"
    pysam.sort("-@", "2", "-m", "512M", "-o", str(bam), str(sam))
    pysam.index(str(bam))
    sam.unlink()

    fasta = work / "genome.fa"
    with open(fasta, "w") as stream:
        for name in codes:
            text = BASES[codes[name]].tobytes().decode()
            stream.write(f">{name}\n")
            stream.write("".join(text[at:at + 80] + "\n" for at in range(0, len(text), 80)))
    motif_bed = work / "motif.bed"
    with open(motif_bed, "w") as stream:
        stream.writelines(f"{c}\t{s}\t{e}\t{MOTIF_NAME}\t0\t{strand}\n"
                          for c, s, e, strand, _ in sites)
    with open(work / "truth.tsv", "w") as stream:
        stream.write("chrom\tstart\tend\tstrand\tkind\n")
        stream.writelines("\t".join(map(str, site)) + "\n" for site in sites)
    peaks_bed = work / "peaks.bed"
    with open(peaks_bed, "w") as stream:
        stream.writelines(f"{c}\t{s}\t{e}\tpeak{k}\n" for k, (c, s, e, *_) in
                          enumerate(sorted(peaks, key=lambda p: (names.index(p[0]), p[1]))))
    assay = Assay(work, config, lengths, codes, [tuple(s) for s in sites], bias,
                  fasta, bam, motif_bed, peaks_bed)
    return assay


# --- the truth's correction and scores ------------------------------------------

def true_correction(assay: Assay, path, window: int = 101) -> None:
    """The corrected signal (bigWig) of corlap's correction arithmetic with
    the simulation's true bias as the weights."""
    import pyBigWig

    from corlap import _alignments, reads

    insertions = reads.read_insertions(assay.bam, assay.fasta, shift=SHIFT, exclude=[CHROM_M])
    out = pyBigWig.open(str(path), "w")
    names = [name for name in assay.lengths if name != CHROM_M]
    out.addHeader([(name, assay.lengths[name]) for name in names])
    for name in names:
        length = assay.lengths[name]
        plus, minus = assay.bias.weights(assay.codes[name])
        weights = [np.where(w > 0, w, np.nan) for w in (plus, minus)]
        found = insertions.positions.get(name, (np.empty(0, np.int64),) * 2)
        values = [np.empty(length) for _ in range(3)]
        _alignments.correct_interval(*weights, np.sort(found[0]), np.sort(found[1]), 0, 0,
                                     length, window // 2, *values)
        corrected = values[2].astype(np.float32)
        has = np.flatnonzero(~np.isnan(corrected))
        out.addEntries(name, has.astype(np.int64).tolist(), values=corrected[has].tolist(),
                       span=1)
    out.close()


def roc_auc(scores: np.ndarray, positive: np.ndarray) -> float:
    """The chance that a positive scores above a negative, ties counting
    half; NaN scores rank lowest."""
    scores = np.where(np.isnan(scores), -np.inf, scores)
    order = np.argsort(scores, kind="mergesort")
    ranked = scores[order]
    ranks = np.empty(len(scores))
    # Average ranks of ties.
    _, first, counts = np.unique(ranked, return_index=True, return_counts=True)
    mean_rank = first + (counts + 1) / 2.0
    ranks[order] = np.repeat(mean_rank, counts)
    n_pos = int(positive.sum())
    n_neg = len(scores) - n_pos
    return float((ranks[positive].sum() - n_pos * (n_pos + 1) / 2) / (n_pos * n_neg))
