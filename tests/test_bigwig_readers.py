"""bigWig files of corlap read by two readers that share no code with it
nor with each other (pyBigWig and pybigtools): sequence names of any
length, values as float32, and zoom records that summarise exactly the
values beneath them."""

import struct
import subprocess
import sys

import numpy as np
import pyBigWig
import pytest

from conftest import reverse_complement, write_fasta
from corlap import tracks
from corlap.models import load_model
from corlap.utils.sequences import nuc_to_num

pybigtools = pytest.importorskip("pybigtools")


# --- helpers shared with test_assembly.py --------------------------------------

def whole_sequence_values(model_path, records):
    """chrom -> (forward, reverse) float64 values: one score_sequence call
    on the whole sequence and one on its reverse complement, read
    backwards."""
    model = load_model(model_path)
    return {chrom: (model.score_sequence(nuc_to_num(text)),
                    model.score_sequence(nuc_to_num(reverse_complement(text)))[::-1])
            for chrom, text in records.items()}


def read_pybigwig(path):
    """chrom -> float32 values (NaN where the file holds none)."""
    handle = pyBigWig.open(str(path))
    try:
        return {chrom: np.asarray(handle.values(chrom, 0, length, numpy=True),
                                  dtype=np.float32)
                for chrom, length in handle.chroms().items()}
    finally:
        handle.close()


def read_pybigtools(path):
    """The same as read_pybigwig, through the other reader."""
    handle = pybigtools.open(str(path))
    try:
        return {chrom: handle.values(chrom, 0, length, fillna=None).astype(np.float32)
                for chrom, length in handle.chroms().items()}
    finally:
        handle.close()


def assert_same_bits(got, want):
    """float32 arrays equal bit for bit, NaN at the same places."""
    assert got.shape == want.shape
    missing = np.isnan(want)
    assert np.array_equal(np.isnan(got), missing)
    assert np.array_equal(got[~missing].view(np.uint32), want[~missing].view(np.uint32))


def stored_zoom_counts(path):
    """reduction -> record count, read from the file's header and zoom
    headers, and the count word at the start of each level's data."""
    with open(path, "rb") as stream:
        raw = stream.read()
    magic, _, levels = struct.unpack_from("<IHH", raw, 0)
    assert magic == 0x888FFC26
    counts = {}
    for k in range(levels):
        reduction, _, data_at, _ = struct.unpack_from("<IIQQ", raw, 64 + 24 * k)
        counts[reduction] = struct.unpack_from("<I", raw, data_at)[0]
    return counts


def zoom_records(path):
    """reduction -> chrom -> records as a structured array, through
    pybigtools."""
    handle = pybigtools.open(str(path))
    try:
        levels = {}
        for reduction in handle.zooms():
            levels[reduction] = {}
            for chrom in handle.chroms():
                rows = [(start, end, summary["bases_covered"], summary["min_val"],
                         summary["max_val"], summary["sum"], summary["sum_squares"])
                        for start, end, summary in handle.zoom_records(reduction, chrom)]
                levels[reduction][chrom] = np.array(rows, dtype=[
                    ("start", "i8"), ("end", "i8"), ("count", "i8"), ("min", "f8"),
                    ("max", "f8"), ("sum", "f8"), ("squares", "f8")])
        return levels
    finally:
        handle.close()


def _within_float32(got, want, rounding):
    """|got - want| no more than the float32 rounding of ``want`` plus
    ``rounding``: what rounding each term to float32 may move the total
    (a writer may sum the values it had before storing them)."""
    allowed = np.spacing(np.abs(want).astype(np.float32)).astype(np.float64) + rounding
    return np.abs(got - want) <= allowed


def check_zoom_records(path, values):
    """Every record of every zoom level against NumPy over ``values``
    (chrom -> float32 per-base values as stored): it lies in one bin of its
    level, its count, minimum and maximum are exact, its sum and sum of
    squares within float32 rounding; a level's records never overlap and
    hold every stored value once.  Returns reduction -> record count."""
    levels = zoom_records(path)
    assert stored_zoom_counts(path) == {
        reduction: sum(len(rows) for rows in by_chrom.values())
        for reduction, by_chrom in levels.items()}
    any_value = any((~np.isnan(v)).any() for v in values.values())
    assert bool(levels) == any_value
    for reduction, by_chrom in levels.items():
        assert set(by_chrom) == set(values)
        for chrom, rows in by_chrom.items():
            stored = values[chrom].astype(np.float64)
            present = ~np.isnan(stored)
            if not len(rows):
                assert not present.any(), (reduction, chrom)
                continue
            starts, ends = rows["start"], rows["end"]
            assert (starts < ends).all() and ends[-1] <= len(stored)
            assert (starts[1:] >= ends[:-1]).all(), (reduction, chrom, "records overlap")
            assert (starts // reduction == (ends - 1) // reduction).all(), \
                (reduction, chrom, "record across bins")
            # One sentinel past the end so that every end is a valid index.
            cuts = np.column_stack((starts, ends)).ravel()
            padded = np.append(stored, np.nan)
            have = np.append(present, False)
            count = np.add.reduceat(have.astype(np.int64), cuts)[0::2]
            low = np.minimum.reduceat(np.where(have, padded, np.inf), cuts)[0::2]
            high = np.maximum.reduceat(np.where(have, padded, -np.inf), cuts)[0::2]
            kept = np.where(have, padded, 0.0)
            total = np.add.reduceat(kept, cuts)[0::2]
            squares = np.add.reduceat(kept * kept, cuts)[0::2]
            # Half a float32 step of each value, and what that moves its square.
            half_step = np.spacing(np.abs(kept).astype(np.float32)).astype(np.float64) / 2
            value_rounding = np.add.reduceat(half_step, cuts)[0::2]
            square_rounding = np.add.reduceat(2 * np.abs(kept) * half_step, cuts)[0::2]
            where = (reduction, chrom)
            assert np.array_equal(rows["count"], count), where
            assert count.sum() == present.sum(), (where, "values outside every record")
            assert np.array_equal(rows["min"], low), where
            assert np.array_equal(rows["max"], high), where
            assert _within_float32(rows["sum"], total, value_rounding).all(), where
            assert _within_float32(rows["squares"], squares, square_rounding).all(), where
    return {reduction: sum(len(rows) for rows in by_chrom.values())
            for reduction, by_chrom in levels.items()}


# --- long sequence names ---------------------------------------------------------

def long_name_records(lambda_text, many):
    """Names of 17, 33 and 255 bytes in pairs that differ only in their
    last byte, names that are prefixes of others, and (``many``) more
    names than one node of the name tree holds, all sharing a long
    prefix."""
    names = ["chrM",
             "scaffold_0000017a", "scaffold_0000017b",                      # 17 bytes
             "unplaced_contig_000000000000033_x", "unplaced_contig_000000000000033_y",
             "n" * 254 + "1", "n" * 254 + "0",                               # 255 bytes
             "chr1_KI270706v1", "chr1_KI270706v1_random", "chr1_KI270706v1_alt",
             "chr1_KI270706v1_random_2", "chrUn_KI270706v1"]
    assert {len(n) for n in names} >= {17, 33, 255}
    if many:
        names += [f"chr1_KI270706v1_decoy_{k:04d}" for k in range(300)]
    records = {}
    for k, name in enumerate(names):
        length = 40 + (k * 397) % (2_500 if not many else 300)
        at = (k * 1_931) % (len(lambda_text) - length)
        records[name] = lambda_text[at:at + length]
    return records


@pytest.mark.parametrize("kind", ["PWM", "DWM"])
@pytest.mark.parametrize("many", [False, True])
def test_long_names_read_back_by_both_readers(kind, many, tmp_path, lambda_text,
                                              model_files):
    records = long_name_records(lambda_text, many)
    write_fasta(tmp_path / "names.fa", records)
    tracks.write_tracks(tmp_path / "names.fa", model_files[kind], forward=tmp_path / "f.bw",
                        reverse=tmp_path / "r.bw", chunk_size=700)
    want = whole_sequence_values(model_files[kind], records)
    lengths = {name: len(text) for name, text in records.items()}
    for strand, name in ((0, "f.bw"), (1, "r.bw")):
        first, second = read_pybigwig(tmp_path / name), read_pybigtools(tmp_path / name)
        assert first.keys() == second.keys() == lengths.keys()
        assert {c: len(v) for c, v in first.items()} == lengths
        assert {c: len(v) for c, v in second.items()} == lengths
        for chrom in records:
            expected = want[chrom][strand].astype(np.float32)
            assert_same_bits(first[chrom], expected)
            assert_same_bits(second[chrom], expected)


# --- zoom records of a command-line run ---------------------------------------------

@pytest.mark.parametrize("kind,workers,chunk_size", [("PWM", 2, 1_000), ("DWM", 1, 333),
                                                     ("DWM", 2, 1_000_000)])
def test_cli_zoom_records_summarise_the_values(kind, workers, chunk_size, tmp_path,
                                               genome_fasta, genome_records, model_files):
    result = subprocess.run(
        [sys.executable, "-m", "corlap", "score", "--fasta", str(genome_fasta),
         "--model", str(model_files[kind]), "--forward", str(tmp_path / "f.bw"),
         "--reverse", str(tmp_path / "r.bw"), "--workers", str(workers),
         "--chunk-size", str(chunk_size), "--quiet"],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    want = whole_sequence_values(model_files[kind], genome_records)
    for strand, name in ((0, "f.bw"), (1, "r.bw")):
        values = read_pybigwig(tmp_path / name)
        for chrom in genome_records:
            assert_same_bits(values[chrom], want[chrom][strand].astype(np.float32))
        counts = check_zoom_records(tmp_path / name, values)
        # 73 kbp leave room for several levels, each coarser and smaller
        # than the one below.
        reductions = sorted(counts)
        assert len(reductions) >= 3
        assert all(counts[a] > counts[b] for a, b in zip(reductions, reductions[1:]))
