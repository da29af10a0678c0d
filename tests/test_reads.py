"""Insertion sites from aligned reads (corlap.reads) and models trained on
them, against a simulation written to BAM with pysam: the insertions are
known, each read is placed so that its shifted 5' end falls on one, and
reads that must be left out are mixed in."""

import dataclasses
import pathlib

import numpy as np
import pysam
import pytest

from conftest import write_fasta
from corlap import reads
from corlap.bed import Site
from corlap.models import model_bytes
from corlap.training import NoUsableSites, train_model

SHIFT = (4, -5)
BIAS_LENGTH = 6
CHROMS = {"chr1": 70_000, "chr2": 40_000, "chrM": 2_000}
EXCLUDED = "chrM"
BASES = np.frombuffer(b"ACGT", dtype=np.uint8)
FOOTPRINT = 20
LEFT_OUT_FLAGS = {"duplicate": 0x400, "secondary": 0x100, "supplementary": 0x800,
                  "qc fail": 0x200}


@dataclasses.dataclass
class Simulation:
    directory: pathlib.Path
    fasta: pathlib.Path
    bam: pathlib.Path
    unsorted: pathlib.Path
    genome: dict            # chrom -> text
    lengths: dict
    weights: dict           # chrom -> (+ weights, - weights), the planted bias
    open: dict              # chrom -> mask of open positions
    footprints: list        # (chrom, start) of each protected 20 bp
    counts: dict            # chrom -> (+ counts, - counts) of the insertions taken
    off: int                # taken reads whose insertion is off the sequence
    table: dict             # every read written: chrom, start, end, reverse, flag, mapq

    def insertions(self):
        """chrom -> (+ positions, - positions), sorted, of the planted ones."""
        return {chrom: tuple(np.repeat(np.arange(len(c)), c) for c in pair)
                for chrom, pair in self.counts.items()}


def planted_weights(text, bias):
    """(+ weights, - weights) of every position: 2 ** the sum of the planted
    log2 preferences over the window whose centre falls on it (0 where the
    window runs off or holds an N)."""
    length = bias.shape[1]
    centre = length // 2
    codes = np.frombuffer(text.upper().encode(), dtype=np.uint8)
    index = np.full(256, 4)
    index[BASES] = np.arange(4)
    codes = index[codes]
    n = len(codes)
    starts = np.arange(n - length + 1)
    windows = codes[starts[:, None] + np.arange(length)]
    clean = (windows < 4).all(axis=1)
    safe = np.where(windows < 4, windows, 0)
    forward = np.where(clean, 2.0 ** bias[safe, np.arange(length)].sum(axis=1), 0.0)
    # The reverse window read 5' to 3' on the - strand: complements, backwards.
    reverse = np.where(clean, 2.0 ** bias[3 - safe[:, ::-1], np.arange(length)].sum(axis=1),
                       0.0)
    plus, minus = np.zeros(n), np.zeros(n)
    plus[centre:centre + len(starts)] = forward
    minus[length - 1 - centre:length - 1 - centre + len(starts)] = reverse
    return plus, minus


def simulate(directory, seed=5, rate=1.2):
    rng = np.random.default_rng(seed)
    directory = pathlib.Path(directory)
    genome = {}
    for chrom, length in CHROMS.items():
        text = BASES[rng.integers(0, 4, length)].tobytes().decode()
        if chrom == "chr2":
            text = text[:13_000] + "N" * 200 + text[13_200:]     # in an open region
        if chrom == "chr1":
            text = text[:30_000] + text[30_000:32_000].lower() + text[32_000:]
        genome[chrom] = text
    bias = rng.normal(0.0, 0.6, (4, BIAS_LENGTH))
    lengths = {chrom: len(text) for chrom, text in genome.items()}
    weights, opened, counts, footprints = {}, {}, {}, []
    for chrom, text in genome.items():
        length = lengths[chrom]
        weights[chrom] = planted_weights(text, bias)
        access = np.full(length, 0.01)
        mask = np.zeros(length, dtype=bool)
        for start in range(2_000, length - 3_000, 5_000 if chrom != EXCLUDED else 10**9):
            mask[start:start + 2_000] = True
            access[start:start + 2_000] = 1.0
            for fp in range(start + 150, start + 1_850, 170):
                access[fp:fp + FOOTPRINT] = 0.08
                footprints.append((chrom, fp))
        opened[chrom] = mask
        if chrom == EXCLUDED:
            access[:] = 0.5
        counts[chrom] = tuple(rng.poisson(rate * w * access) for w in weights[chrom])
    # Reads whose shifted 5' ends fall on the insertions; those that would
    # not fit on the sequence are not made.
    rows = []   # chrom, start, reference span, reverse, flag, mapq, taken
    for chrom, (plus, minus) in counts.items():
        length = lengths[chrom]
        spans_p = rng.integers(25, 60, plus.sum())
        spans_m = rng.integers(25, 60, minus.sum())
        starts_p = np.repeat(np.arange(length), plus) - SHIFT[0]
        ends_m = np.repeat(np.arange(length), minus) + 1 - SHIFT[1]
        fits_p = (starts_p >= 0) & (starts_p + spans_p <= length)
        fits_m = (ends_m - spans_m >= 0) & (ends_m <= length)
        np.subtract.at(plus, starts_p[~fits_p] + SHIFT[0], 1)
        np.subtract.at(minus, ends_m[~fits_m] - 1 + SHIFT[1], 1)
        for start, span in zip(starts_p[fits_p], spans_p[fits_p]):
            rows.append((chrom, int(start), int(span), False))
        for end, span in zip(ends_m[fits_m], spans_m[fits_m]):
            rows.append((chrom, int(end - span), int(span), True))
    # Mates of pairs count each for its own end; MAPQ 30 is enough.
    flags = rng.choice([0, 0x1 | 0x2 | 0x40, 0x1 | 0x2 | 0x80], len(rows)).tolist()
    mapqs = rng.choice([30, 42, 60], len(rows)).tolist()
    taken = [row + (flag, mapq) for row, flag, mapq in zip(rows, flags, mapqs)]
    counts.pop(EXCLUDED)
    # Reads to leave out, in open regions of the sequences counted.
    left_out = []
    for k in range(400):
        chrom = "chr1" if k % 2 else "chr2"
        start = int(rng.integers(2_000, 3_900))
        reverse = bool(k % 3)
        kind = k % 7
        if kind < 4:
            flag = list(LEFT_OUT_FLAGS.values())[kind]
            left_out.append((chrom, start, 40, reverse, flag, 60))
        elif kind == 4:
            left_out.append((chrom, start, 40, reverse, 0, 0))
        elif kind == 5:
            left_out.append((chrom, start, 40, reverse, 0, 29))
        else:
            left_out.append((chrom, start, 0, False, 0x1 | 0x4 | 0x80, 0))     # unmapped mate
    # Reads whose insertions fall off their sequence (the default shift).
    off = [("chr1", lengths["chr1"] - 3, 3, False, 0, 60),
           ("chr2", lengths["chr2"] - 1, 1, False, 0, 60),
           ("chr1", 0, 4, True, 0, 60), ("chr2", 0, 2, True, 0, 60),
           ("chr2", 0, 5, True, 0, 60)]
    unknown = [("chrUn", 100, 30, False, 0, 60)]
    every = [(c, s, n, f | (0x10 if r else 0), q)
             for c, s, n, r, f, q in taken + left_out + off + unknown]
    table = write_reads(directory, lengths, every, rng)
    fasta = directory / "genome.fa"
    write_fasta(fasta, genome)
    return Simulation(directory, fasta, directory / "reads.bam", directory / "unsorted.bam",
                      genome, lengths, weights, opened, footprints, counts,
                      sum(1 for row in off), table)


def write_reads(directory, lengths, rows, rng):
    """An unsorted BAM of the rows (chrom, start, reference span, flag,
    mapq), then a sorted and indexed copy.  Some reads carry soft
    clips, insertions and deletions, which move the query but not the
    reference span."""
    header = {"HD": {"VN": "1.6", "SO": "unsorted"},
              "SQ": [{"SN": chrom, "LN": length} for chrom, length in lengths.items()]
              + [{"SN": "chrUn", "LN": 5_000}]}
    order = rng.permutation(len(rows))
    table = {key: [] for key in ("chrom", "start", "end", "reverse", "flag", "mapq")}
    unsorted = directory / "unsorted.bam"
    with pysam.AlignmentFile(str(unsorted), "wb", header=header) as out:
        for k in order:
            chrom, start, span, flag, mapq = rows[k]
            read = pysam.AlignedSegment(out.header)
            read.query_name = f"read{k}"
            read.flag = flag
            read.reference_name = chrom
            read.reference_start = start
            read.mapping_quality = mapq
            if flag & 0x4:
                read.query_sequence = "A" * 30
            else:
                if span > 12 and k % 4 == 0:
                    a = span // 3
                    cigar = [(4, 3), (0, a), (2, 2), (0, span - a - 4), (1, 1), (0, 2), (4, 5)]
                else:
                    cigar = [(0, span)]
                read.cigartuples = cigar
                read.query_sequence = "C" * sum(n for op, n in cigar if op in (0, 1, 4))
            out.write(read)
            table["chrom"].append(chrom)
            table["start"].append(start)
            table["end"].append(start + span)
            table["reverse"].append(bool(flag & 0x10))
            table["flag"].append(flag)
            table["mapq"].append(mapq)
    pysam.sort("-o", str(directory / "reads.bam"), str(unsorted))
    pysam.index(str(directory / "reads.bam"))
    return {key: np.array(values) for key, values in table.items()}


@pytest.fixture(scope="session")
def simulation(tmp_path_factory):
    return simulate(tmp_path_factory.mktemp("reads"))


def expected_insertions(sim, shift, min_mapq):
    """chrom -> (+ positions, - positions), sorted, and the count off the
    sequence, from the table of written reads."""
    t = sim.table
    taken = ((t["flag"] & (0x4 | 0x100 | 0x200 | 0x400 | 0x800)) == 0) & (t["mapq"] >= min_mapq)
    position = np.where(t["reverse"], t["end"] - 1 + shift[1], t["start"] + shift[0])
    out, off = {}, 0
    for chrom in sim.lengths:
        if chrom == EXCLUDED:
            continue
        mine = taken & (t["chrom"] == chrom)
        on = (position >= 0) & (position < sim.lengths[chrom])
        off += int(np.count_nonzero(mine & ~on))
        out[chrom] = tuple(np.sort(position[mine & on & (t["reverse"] == r)]) for r in (0, 1))
    return out, off


# --- insertions ----------------------------------------------------------------

def test_insertions_equal_the_simulated_ones(simulation):
    got = reads.read_insertions(simulation.bam, simulation.fasta, exclude=[EXCLUDED])
    assert set(got.positions) == {"chr1", "chr2"}
    want = simulation.insertions()
    for chrom, (plus, minus) in got.positions.items():
        np.testing.assert_array_equal(np.sort(plus), want[chrom][0])
        np.testing.assert_array_equal(np.sort(minus), want[chrom][1])
    assert got.off == simulation.off
    assert got.total == sum(c.sum() for pair in simulation.counts.values() for c in pair)


@pytest.mark.parametrize("shift,min_mapq", [((4, -5), 30), ((0, 0), 30), ((-9, 7), 0),
                                            ((4, -5), 31)])
def test_insertions_follow_shift_and_mapping_quality(simulation, shift, min_mapq):
    got = reads.read_insertions(simulation.bam, simulation.fasta, shift=shift,
                                min_mapq=min_mapq, exclude=[EXCLUDED])
    want, off = expected_insertions(simulation, shift, min_mapq)
    for chrom in want:
        for strand in (0, 1):
            np.testing.assert_array_equal(np.sort(got.positions[chrom][strand]),
                                          want[chrom][strand])
    assert got.off == off


def test_excluded_sequence_counts_when_not_excluded(simulation):
    got = reads.read_insertions(simulation.bam, simulation.fasta)
    assert EXCLUDED in got.positions
    assert got.total > reads.read_insertions(simulation.bam, simulation.fasta,
                                             exclude=[EXCLUDED]).total


@pytest.mark.parametrize("shift", [(4, -5), (-40, 45), (70, -80)])
@pytest.mark.parametrize("piece", [1, 37, 4_999])
def test_region_insertions_are_the_whole_sequence_cut(simulation, shift, piece):
    """Shifts that put insertions outside their reads' spans still land
    in the region that holds them, once."""
    whole = reads.read_insertions(simulation.bam, simulation.fasta, shift=shift,
                                  exclude=[EXCLUDED])
    chrom, length = "chr1", simulation.lengths["chr1"]
    edges = list(range(0, 2_200, piece)) + [2_200, 6_000, 12_000, length]
    got = ([], [])
    with reads.open_reads(simulation.bam, simulation.fasta) as handle:
        for start, end in zip(edges, edges[1:]):
            plus, minus = reads.region_insertions(handle, chrom, start, end, length,
                                                  shift=shift)
            for strand, values in enumerate((plus, minus)):
                assert ((values >= start) & (values < end)).all()
                got[strand].append(values)
    for strand in (0, 1):
        np.testing.assert_array_equal(np.sort(np.concatenate(got[strand])),
                                      np.sort(whole.positions[chrom][strand]))


# --- training ------------------------------------------------------------------

@pytest.mark.parametrize("kind,length,small_pieces", [("PWM", 6, True), ("DWM", 9, True),
                                                      ("DWM", 1, False), ("DWM", 10, False)])
def test_training_counts_equal_add_sequence_per_site(simulation, monkeypatch, kind, length,
                                                     small_pieces):
    """The model equals, bit for bit, train_model on one BED site per
    simulated insertion (add_sequence once per site, in file order); also
    when the sequences are taken in spans far shorter than they are, and
    the windows of a span in small batches."""
    if small_pieces:
        monkeypatch.setattr(reads, "_COUNT_SPAN", 10_007)
        monkeypatch.setattr(reads, "_COUNT_BATCH", 333)
    sites = [Site(chrom, int(p), int(p) + 1, strand)
             for chrom, pair in simulation.insertions().items()
             for strand, positions in zip("+-", pair) for p in positions]
    want, want_summary = train_model(simulation.fasta, sites, kind, length,
                                     background=300, seed=4, exclude=[EXCLUDED])
    got, summary = reads.train_from_reads(simulation.fasta, simulation.bam, kind, length,
                                          background=300, seed=4, exclude=[EXCLUDED])
    assert model_bytes(got) == model_bytes(want)
    for field in ("sites", "sites_off", "sites_with_n", "background", "background_with_n"):
        assert getattr(summary, field) == getattr(want_summary, field), field
    if length > BIAS_LENGTH:
        assert summary.sites_with_n > 0      # windows wider than the bias reach the N run
    assert summary.insertions == len(sites)
    assert summary.insertions_off == simulation.off
    line = summary.line()
    assert f"{len(sites)} insertions read" in line and "off their sequence" in line


def test_training_on_a_sample(simulation):
    full, _ = reads.train_from_reads(simulation.fasta, simulation.bam, "PWM", 5,
                                     background=100, exclude=[EXCLUDED])
    runs = [reads.train_from_reads(simulation.fasta, simulation.bam, "PWM", 5,
                                   background=100, exclude=[EXCLUDED], max_sites=2_000,
                                   seed=seed) for seed in (1, 1, 2)]
    (a, summary), (b, _), (c, _) = runs
    assert summary.sampled == 2_000 and summary.sites + summary.sites_off == 2_000
    assert summary.insertions > 2_000
    assert model_bytes(a) == model_bytes(b)
    assert not np.array_equal(a.counts, c.counts)
    assert (a.counts <= full.counts).all()
    assert a.no_bias == summary.sites - summary.sites_with_n
    everything, all_summary = reads.train_from_reads(
        simulation.fasta, simulation.bam, "PWM", 5, background=100, exclude=[EXCLUDED],
        max_sites=10**9)
    assert model_bytes(everything) == model_bytes(full) and all_summary.sampled is None


def test_no_insertion_left_refused_when_sites_are_required(simulation):
    everything = list(simulation.lengths)
    model, summary = reads.train_from_reads(simulation.fasta, simulation.bam, "PWM", 4,
                                            background=10, exclude=everything)
    assert summary.insertions == summary.sites == 0 and model.no_bias == 0
    with pytest.raises(NoUsableSites, match="no site window"):
        reads.train_from_reads(simulation.fasta, simulation.bam, "PWM", 4, background=10,
                               exclude=everything, require_sites=True)


def test_cram_read_against_the_fasta(simulation, tmp_path):
    cram = tmp_path / "reads.cram"
    with pysam.AlignmentFile(str(simulation.bam)) as source, \
            pysam.AlignmentFile(str(cram), "wc", template=source,
                                reference_filename=str(simulation.fasta)) as out:
        for read in source.fetch(until_eof=True):
            out.write(read)
    pysam.index(str(cram))
    got = reads.read_insertions(cram, simulation.fasta, exclude=[EXCLUDED])
    want = reads.read_insertions(simulation.bam, simulation.fasta, exclude=[EXCLUDED])
    for chrom in want.positions:
        for strand in (0, 1):
            np.testing.assert_array_equal(got.positions[chrom][strand],
                                          want.positions[chrom][strand])
    model, _ = reads.train_from_reads(simulation.fasta, cram, "DWM", 4, background=50,
                                      exclude=[EXCLUDED])
    again, _ = reads.train_from_reads(simulation.fasta, simulation.bam, "DWM", 4,
                                      background=50, exclude=[EXCLUDED])
    assert model_bytes(model) == model_bytes(again)
    with pytest.raises(reads.ReadsError, match="CRAM") as caught:
        reads.open_reads(cram)
    assert str(cram) in str(caught.value)


# --- bad input -----------------------------------------------------------------

def bad_inputs(simulation, directory):
    """name -> (reads file, FASTA file, words the error must hold)."""
    unindexed = directory / "unindexed.bam"
    unindexed.write_bytes(simulation.bam.read_bytes())
    other = directory / "other.fa"
    write_fasta(other, {chrom: text + "ACGT" for chrom, text in simulation.genome.items()})
    renamed = directory / "renamed.fa"
    write_fasta(renamed, {"seq" + chrom: text for chrom, text in simulation.genome.items()})
    text = directory / "reads.sam"
    text.write_text("not a BAM file\n")
    return {
        "unsorted": (simulation.unsorted, simulation.fasta, "not sorted by coordinate"),
        "unindexed": (unindexed, simulation.fasta, "no index"),
        "other assembly": (simulation.bam, other, "bases"),
        "other names": (simulation.bam, renamed, "none of its sequences"),
        "not a BAM": (text, simulation.fasta, "not a BAM or CRAM"),
        "missing": (directory / "missing.bam", simulation.fasta, "not found"),
    }


@pytest.mark.parametrize("case", ["unsorted", "unindexed", "other assembly", "other names",
                                  "not a BAM", "missing"])
def test_bad_reads_files_give_one_line_naming_the_file(simulation, tmp_path, case):
    path, fasta, words = bad_inputs(simulation, tmp_path)[case]
    for call in (lambda: reads.read_insertions(path, fasta),
                 lambda: reads.train_from_reads(fasta, path, "PWM", 4, background=10)):
        with pytest.raises(reads.ReadsError) as caught:
            call()
        message = str(caught.value)
        assert words in message and str(path) in message
        assert "\n" not in message


@pytest.mark.parametrize("min_mapq,exclude", [(30, [EXCLUDED]), (31, [EXCLUDED]), (0, [])])
def test_reads_left_out_by_the_filters_are_counted(simulation, min_mapq, exclude):
    """Reads of the sequences read (not those of a sequence the FASTA
    lacks) that a flag or their mapping quality leaves out."""
    t = simulation.table
    read = np.isin(t["chrom"], [c for c in simulation.lengths if c not in exclude])
    left = (t["flag"] & (0x4 | 0x100 | 0x200 | 0x400 | 0x800) != 0) | (t["mapq"] < min_mapq)
    got = reads.read_insertions(simulation.bam, simulation.fasta, min_mapq=min_mapq,
                                exclude=exclude)
    assert got.left_out == int(np.count_nonzero(read & left)) > 0
    _, summary = reads.train_from_reads(simulation.fasta, simulation.bam, "PWM", 3,
                                        background=10, min_mapq=min_mapq, exclude=exclude,
                                        max_sites=100)
    assert summary.reads_left_out == got.left_out
    assert f"{got.left_out} reads left out by the filters" in summary.line()
