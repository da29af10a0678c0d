"""`corlap train --bam` and `corlap correct` on the simulated reads of
test_reads: the commands write what the library does (models bit for bit,
track files byte for byte, on 1 or 2 workers, Dask or standard output),
their summary lines count what the simulation holds, bad reads files end
in one line and status 2, and a stop leaves no file behind."""

import gzip
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time
import zlib

import numpy as np
import pysam
import pytest

from conftest import write_fasta
from corlap import correct, reads
from corlap.__main__ import main
from corlap.bed import read_bed, read_sites
from corlap.models import load_model, model_bytes, save_model
from test_lifecycle import group_members, wait_for
from test_reads import EXCLUDED, expected_insertions, simulate

DATA = pathlib.Path(__file__).parent / "data"
COUNTED = ("chr1", "chr2")
LEFT_OUT_FLAGS = 0x4 | 0x100 | 0x200 | 0x400 | 0x800
REGIONS_BED = "chr1\t1900\t4100\nchr1\t69850\t70000\nchr2\t12900\t13400\nchr2\t30000\t30050\n" \
              "chr2\t30040\t30100\nchrM\t0\t100\n"


@pytest.fixture(scope="module")
def sim(tmp_path_factory):
    simulation = simulate(tmp_path_factory.mktemp("cli-reads"))
    model, _ = reads.train_from_reads(simulation.fasta, simulation.bam, "DWM", 6,
                                      background=5_000, exclude=[EXCLUDED])
    simulation.model = simulation.directory / "model.npz"
    save_model(model, simulation.model)
    simulation.regions = simulation.directory / "regions.bed"
    simulation.regions.write_text(REGIONS_BED)
    return simulation


def run(args, capfd):
    """Status, stdout and stderr lines of ``corlap ARGS`` run in this
    process (file descriptors captured: C libraries' output included)."""
    try:
        status = main([str(arg) for arg in args])
    except SystemExit as stop:
        status = stop.code
    out, err = capfd.readouterr()
    return status, out, err.splitlines()


def corlap(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "corlap", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


def left_out_reads(sim, min_mapq, chroms=COUNTED):
    t = sim.table
    on = np.isin(t["chrom"], chroms)
    return int(np.count_nonzero(on & (((t["flag"] & LEFT_OUT_FLAGS) != 0)
                                      | (t["mapq"] < min_mapq))))


# --- train --bam ---------------------------------------------------------------------

@pytest.mark.parametrize("kind,length,options,library", [
    ("PWM", 6, [], {}),
    ("DWM", 6, ["--shift", 0, 0, "--min-mapq", 31], {"shift": (0, 0), "min_mapq": 31}),
    ("DWM", 5, ["--shift", -9, 7, "--min-mapq", 0], {"shift": (-9, 7), "min_mapq": 0}),
    ("PWM", 7, ["--max-sites", 3_000, "--seed", 7], {"max_sites": 3_000, "seed": 7}),
])
def test_train_bam_equals_train_from_reads(sim, tmp_path, capfd, kind, length, options,
                                           library):
    out = tmp_path / "m.npz"
    status, _, err = run(["train", "-f", sim.fasta, "--bam", sim.bam, "--type", kind.lower(),
                          "--length", length, "--background", 400, "--exclude", EXCLUDED,
                          "-o", out, *options], capfd)
    assert status == 0, err
    want, _ = reads.train_from_reads(sim.fasta, sim.bam, kind, length, background=400,
                                     exclude=[EXCLUDED], held_out=reads.HELD_OUT, **library)
    assert model_bytes(load_model(out)) == model_bytes(want)
    # The summary line, against the table of the reads written.
    shift, min_mapq = library.get("shift", (4, -5)), library.get("min_mapq", 30)
    positions, off = expected_insertions(sim, shift, min_mapq)
    total = sum(len(p) for pair in positions.values() for p in pair)
    assert len(err) == 1
    line = err[0]
    assert line.startswith(f"corlap train: {total} insertions read; "
                           f"{left_out_reads(sim, min_mapq)} reads left out by the filters")
    assert (f"{off} skipped (off their sequence)" in line) == (off > 0)
    assert ("3000 sampled" in line) == ("max_sites" in library)
    assert line.endswith(f"{kind} of length {length} written to {out}")


def test_train_bam_background_is_local_by_default_and_held_out_insertions_are_placed(
        sim, tmp_path, capfd):
    """The default background is one window per insertion counted, moved
    within 50 bases; the held-out figure ranks a model that knows the
    planted bias above one that knows a single base."""
    placed = {}
    for kind, length in (("DWM", 6), ("PWM", 1)):
        out = tmp_path / f"{kind}.npz"
        status, _, err = run(["train", "-f", sim.fasta, "--bam", sim.bam, "--type", kind,
                              "--length", length, "--exclude", EXCLUDED, "-o", out], capfd)
        assert status == 0, err
        want, summary = reads.train_from_reads(sim.fasta, sim.bam, kind, length,
                                               exclude=[EXCLUDED], near=50,
                                               held_out=reads.HELD_OUT)
        assert model_bytes(load_model(out)) == model_bytes(want)
        assert summary.background + summary.background_off == \
            summary.sites + summary.sites_off == summary.insertions - summary.held_out
        assert summary.placed == summary.held_out == min(reads.HELD_OUT,
                                                         summary.insertions // 10)
        placed[kind] = float(err[0].split("placed ")[1].split(" bits")[0])
        assert placed[kind] == round(summary.placement, 4)
    assert placed["DWM"] > placed["PWM"] + 0.1, placed


@pytest.mark.parametrize("command", [
    ["train", "--type", "PWM", "--length", 4, "--background", 50, "-o", "OUT/m.npz"],
    ["correct", "-m", "MODEL", "--observed", "OUT/o.bg", "-p", 1],
])
def test_an_exclude_name_of_no_sequence_is_warned_of_and_the_run_goes_on(sim, tmp_path,
                                                                         capfd, command):
    """A typo of --exclude names the sequence it may have meant (case, chr
    prefix); names that are sequences pass silently."""
    args = [str(arg).replace("OUT/", f"{tmp_path}/") if arg != "MODEL" else sim.model
            for arg in command]
    status, _, err = run([*args, "-f", sim.fasta, "--bam", sim.bam, "--exclude", "chrm",
                          EXCLUDED, "2", "scaffold_9", "chrm"], capfd)
    assert status == 0, err
    assert len(err) == 2, err
    assert err[0] == (f"corlap {command[0]}: warning: --exclude 'chrm' (did you mean "
                      f"'chrM'?), '2' (did you mean 'chr2'?) and 'scaffold_9': no such "
                      f"sequence in FASTA file {str(sim.fasta)!r}")
    assert err[1].startswith(f"corlap {command[0]}: ")


def test_train_bam_background_bed_and_excluded_sequences(sim, tmp_path, capfd):
    """--background-bed with --anchor as for --sites; without --exclude the
    excluded sequence's reads count too."""
    background = tmp_path / "background.bed"
    background.write_text("chr1\t100\t110\t.\t0\t-\nchr2\t500\t510\t.\t0\t+\n")
    out = tmp_path / "m.npz"
    status, _, err = run(["train", "-f", sim.fasta, "--bam", sim.bam, "--type", "PWM",
                          "--length", 4, "--background-bed", background, "--anchor",
                          "center", "-o", out, "-q"], capfd)
    assert status == 0 and err == []
    sites = list(read_sites(background, sim.lengths, "center"))
    want, summary = reads.train_from_reads(sim.fasta, sim.bam, "PWM", 4,
                                           background_sites=sites, held_out=reads.HELD_OUT)
    assert model_bytes(load_model(out)) == model_bytes(want)
    assert summary.background == 2
    assert summary.insertions > sum(c.sum() for pair in sim.counts.values() for c in pair)


@pytest.mark.parametrize("source", ["--bam", "--sites"])
def test_excluded_sequences_are_left_out_of_the_background(source, sim, tmp_path, capfd):
    """Trained as if the FASTA file did not hold them: the same background
    draws, from the other sequences alone; sites on them left out."""
    from corlap.training import train_model
    from corlap.utils.fasta import open_fasta

    kept = tmp_path / "kept.fa"
    with open_fasta(str(sim.fasta)) as genome:
        write_fasta(kept, {chrom: genome.fetch(chrom, 0, sim.lengths[chrom])
                           for chrom in COUNTED})
    sites = tmp_path / "sites.bed"
    sites.write_text("chr1\t5000\t5001\nchrM\t300\t301\nchr2\t7000\t7001\n")
    out = tmp_path / "m.npz"
    status, _, err = run(["train", "-f", sim.fasta, source,
                          sim.bam if source == "--bam" else sites, "--type", "PWM",
                          "--length", 6, "--background", 3000, "--exclude", EXCLUDED,
                          "-o", out], capfd)
    assert status == 0, err
    want, _ = train_model(kept, [site for site in read_sites(sites, sim.lengths)
                                 if site.chrom != EXCLUDED], "PWM", 6, background=3000)
    got = load_model(out)
    np.testing.assert_array_equal(got.bg_counts, want.bg_counts)
    if source == "--sites":
        assert model_bytes(got) == model_bytes(want)
        assert "1 sites on excluded sequences left out" in err[0]


# --- the read filters --------------------------------------------------------------------

PAIRED_LENGTHS = {"chrA": 20_000, "chrB": 8_000}
BLACKLIST_BED = "chrA\t1000\t3000\nchrA\t2500\t4000\nchrB\t0\t8000\nchrZ\t5\t50\n"


@pytest.fixture(scope="module")
def paired(tmp_path_factory):
    """Reads of every kind of pair: proper or not, any template length (0
    included), on a genome whose chrB is all G (and blacklisted)."""
    directory = tmp_path_factory.mktemp("paired")
    rng = np.random.default_rng(11)
    fasta = directory / "genome.fa"
    write_fasta(fasta, {"chrA": "".join(rng.choice(list("ACGT"), PAIRED_LENGTHS["chrA"])),
                        "chrB": "G" * PAIRED_LENGTHS["chrB"]})
    header = {"HD": {"VN": "1.6", "SO": "coordinate"},
              "SQ": [{"SN": name, "LN": length} for name, length in PAIRED_LENGTHS.items()]}
    unsorted = directory / "unsorted.bam"
    with pysam.AlignmentFile(str(unsorted), "wb", header=header) as out:
        for k in range(6_000):
            read = pysam.AlignedSegment(out.header)
            chrom = int(rng.random() < 0.2)
            span = int(rng.integers(20, 60))
            read.query_name = f"r{k}"
            read.reference_id = chrom
            read.reference_start = int(rng.integers(0, list(PAIRED_LENGTHS.values())[chrom]
                                                    - span))
            read.cigarstring = f"{span}M"
            read.query_sequence = "A" * span
            read.flag = int(rng.choice([0, 0x1, 0x1 | 0x2, 0x1 | 0x2 | 0x40, 0x1 | 0x80,
                                        0x1 | 0x2 | 0x400])) | int(rng.choice([0, 0x10]))
            read.template_length = int(rng.choice([0, 1, 99, 100, 120, 121, 180, 300,
                                                   int(rng.integers(0, 700))])) * \
                int(rng.choice([-1, 1])) if read.flag & 0x1 else 0
            read.mapping_quality = int(rng.choice([10, 30, 60]))
            out.write(read)
        # 5' ends on either side of each edge of the blacklist on chrA.
        for k, (at, reverse) in enumerate((at, reverse) for at in (999, 1000, 3999, 4000)
                                          for reverse in (False, True)):
            read = pysam.AlignedSegment(out.header)
            read.query_name, read.reference_id, read.cigarstring = f"edge{k}", 0, "30M"
            read.reference_start = at - 29 if reverse else at
            read.query_sequence, read.mapping_quality = "A" * 30, 60
            read.flag, read.template_length = 0x1 | 0x2 | (0x10 if reverse else 0), 100
            out.write(read)
    bam = directory / "reads.bam"
    pysam.sort("-o", str(bam), str(unsorted))
    pysam.index(str(bam))
    return fasta, bam


def kept_by_pysam(bam, proper, fragments, blacklist_mask, min_mapq=30):
    """chrom -> (+ positions, - positions) of the raw 5' ends of the reads
    pysam reads that the rules keep, sorted."""
    found = {}
    with pysam.AlignmentFile(str(bam)) as source:
        for read in source.fetch(until_eof=True):
            if read.flag & LEFT_OUT_FLAGS or read.mapping_quality < min_mapq:
                continue
            if proper and not read.is_proper_pair:
                continue
            if fragments and read.is_paired and \
                    not fragments[0] <= abs(read.template_length) <= fragments[1]:
                continue
            at = read.reference_end - 1 if read.is_reverse else read.reference_start
            if blacklist_mask is not None and blacklist_mask[read.reference_name][at]:
                continue
            found.setdefault(read.reference_name, ([], []))[int(read.is_reverse)].append(at)
    return {chrom: tuple(np.sort(np.array(p, dtype=np.int64)) for p in pair)
            for chrom, pair in found.items()}


def blacklist_mask():
    mask = {chrom: np.zeros(length, dtype=bool) for chrom, length in PAIRED_LENGTHS.items()}
    for line in BLACKLIST_BED.splitlines():
        chrom, start, end = line.split("\t")
        if chrom in mask:
            mask[chrom][int(start):int(end)] = True
    return mask


@pytest.mark.parametrize("proper, fragments, blacklisted", [
    (True, None, False), (False, (0, 120), False), (False, (100, 300), False),
    (False, None, True), (True, (121, 700), True)])
def test_each_filter_keeps_the_reads_pysam_keeps_by_its_rule(paired, tmp_path, proper,
                                                             fragments, blacklisted):
    """Through the whole-file read (training) and the queries by region
    (correction) alike."""
    from corlap.bed import Blacklist
    fasta, bam = paired
    (tmp_path / "b.bed").write_text(BLACKLIST_BED)
    filters = reads.ReadFilters(proper, fragments, Blacklist.read(tmp_path / "b.bed",
                                                                  PAIRED_LENGTHS)
                                if blacklisted else None)
    want = kept_by_pysam(bam, proper, fragments, blacklist_mask() if blacklisted else None)
    whole = reads.read_insertions(bam, fasta, shift=(0, 0), filters=filters).positions
    with reads.open_for_regions(str(bam), str(fasta)) as handle:
        for chrom, pair in want.items():
            assert all(np.array_equal(np.sort(got), p) for got, p in zip(whole[chrom], pair))
            pieces = [reads.region_insertions(handle, chrom, start, start + 1_500,
                                              PAIRED_LENGTHS[chrom], shift=(0, 0),
                                              filters=filters)
                      for start in range(0, PAIRED_LENGTHS[chrom], 1_500)]
            for strand in (0, 1):
                assert np.array_equal(np.sort(np.concatenate([p[strand] for p in pieces])),
                                      pair[strand])
    assert set(whole) == set(want)


def test_correct_per_strand_and_per_million_with_the_filters(paired, tmp_path, capfd):
    fasta, bam = paired
    (tmp_path / "b.bed").write_text(BLACKLIST_BED)
    model = tmp_path / "m.npz"
    (tmp_path / "s.bed").write_text("chrA\t100\t101\nchrA\t5000\t5001\n")
    assert run(["train", "-f", fasta, "--sites", tmp_path / "s.bed", "--type", "PWM",
                "--length", 4, "--background", 100, "-o", model, "-q"], capfd)[0] == 0
    status, _, err = run(["correct", "--bam", bam, "-f", fasta, "-m", model, "-p", 1,
                          "--observed", tmp_path / "o.bg", "--corrected", tmp_path / "c.bw",
                          "--per-strand", "--normalise", "cpm", "--proper-pairs",
                          "--fragment-length", 0, 120, "--blacklist", tmp_path / "b.bed",
                          "--shift", 0, 0], capfd)
    assert status == 0, err
    want = kept_by_pysam(bam, True, (0, 120), blacklist_mask())
    total = sum(len(p) for pair in want.values() for p in pair)
    assert f"per million of {total:,} insertions counted" in err[-1]
    assert sorted(os.listdir(tmp_path)) == ["b.bed", "c.bw", "c.minus.bw", "c.plus.bw", "m.npz",
                                            "o.bg", "o.minus.bg", "o.plus.bg", "s.bed"]
    for strand, name in enumerate(("o.plus.bg", "o.minus.bg")):
        got = {}
        for line in (tmp_path / name).read_text().splitlines():
            chrom, start, end, value = line.split("\t")
            got.setdefault(chrom, np.zeros(PAIRED_LENGTHS[chrom]))[int(start):int(end)] = \
                float(value)
        for chrom, pair in want.items():
            counts = np.bincount(pair[strand], minlength=PAIRED_LENGTHS[chrom])
            np.testing.assert_array_equal(got[chrom], counts * (1e6 / total))


def test_train_bam_blacklist_leaves_out_windows_overlapping_it(paired, tmp_path, capfd):
    """No site window and no background window overlaps it: the all-G
    chrB, blacklisted whole, is not in the background at all."""
    from corlap.bed import Blacklist, Site
    from corlap.training import train_model
    fasta, bam = paired
    (tmp_path / "b.bed").write_text(BLACKLIST_BED)
    out = tmp_path / "m.npz"
    status, _, err = run(["train", "-f", fasta, "--bam", bam, "--type", "PWM", "--length", 6,
                          "--shift", 0, 0, "--background", 3000, "--blacklist",
                          tmp_path / "b.bed", "--held-out", 0, "-o", out], capfd)
    assert status == 0, err
    mask = blacklist_mask()
    sites = [Site(chrom, int(p), int(p) + 1, "+-"[strand])
             for chrom, pair in kept_by_pysam(bam, False, None, None).items()
             for strand, positions in enumerate(pair) for p in positions
             if not mask[chrom][int(p) - (3 if strand == 0 else 2):
                                int(p) + (3 if strand == 0 else 4)].any()]
    want, _ = train_model(fasta, sites, "PWM", 6, background=3000,
                          blacklist=Blacklist.read(tmp_path / "b.bed", PAIRED_LENGTHS))
    got = load_model(out)
    np.testing.assert_array_equal(got.counts, want.counts)
    np.testing.assert_array_equal(got.bg_counts, want.bg_counts)
    g_share = got.bg_counts[3].sum() / got.bg_counts[:4].sum()
    assert abs(g_share - 0.25) < 0.03, g_share
    assert "left out by the blacklist" in err[0]


# --- correct ---------------------------------------------------------------------------

CORRECT_CASES = {
    # name: (command-line options, write_correction's arguments, outputs)
    "whole genome, 1 worker": (["-p", 1], {}, ("observed.bw", "expected.bw",
                                                "corrected.bw")),
    "regions, chunks below W, 2 workers": (
        ["-p", 2, "--regions", "REGIONS", "--window", 31, "--chunk-size", 20],
        {"regions": True, "window": 31, "chunk_size": 20},
        ("observed.bedgraph", "expected.bedgraph.gz", "corrected.bw")),
    "shift and quality, 2 workers": (
        ["-p", 2, "--shift", -2, 3, "--min-mapq", 0, "--window", 10, "--chunk-size", 7_000],
        {"shift": (-2, 3), "min_mapq": 0, "window": 10, "chunk_size": 7_000},
        ("corrected.bg",)),
}


@pytest.mark.parametrize("case", list(CORRECT_CASES))
def test_correct_files_equal_write_corrections(sim, tmp_path, capfd, case):
    options, library, names = CORRECT_CASES[case]
    if library.get("regions"):
        options = [sim.regions if o == "REGIONS" else o for o in options]
        library = dict(library, regions=read_bed(sim.regions, sim.lengths))
    got, want = tmp_path / "got", tmp_path / "want"
    got.mkdir(), want.mkdir()
    outputs = {name.split(".")[0]: name for name in names}
    status, _, err = run(["correct", "--bam", sim.bam, "-f", sim.fasta, "-m", sim.model,
                          "--exclude", EXCLUDED, *options,
                          *[arg for track, name in outputs.items()
                            for arg in (f"--{track}", got / name)]], capfd)
    assert status == 0, err
    correct.write_correction(sim.fasta, sim.bam, sim.model, exclude=[EXCLUDED], **library,
                             **{track: want / name for track, name in outputs.items()})
    for name in names:
        assert (got / name).read_bytes() == (want / name).read_bytes(), name
    assert sorted(os.listdir(got)) == sorted(names)      # no temporary left
    # Positions written, counted from the regions by hand.
    if library.get("regions"):
        covered = (4_100 - 1_900) + (70_000 - 69_850) + (13_400 - 12_900) + (30_100 - 30_000)
    else:
        covered = sim.lengths["chr1"] + sim.lengths["chr2"]
    window = library.get("window", 101)
    assert len(err) == 1
    assert err[0].startswith(f"corlap correct: {covered:,} positions corrected (window "
                             f"{window}); ")


def test_correct_to_standard_output_and_on_dask(sim, tmp_path, dask_cluster):
    want = tmp_path / "want.bedgraph"
    correct.write_correction(sim.fasta, sim.bam, sim.model, corrected=want, window=21,
                             exclude=[EXCLUDED], chunk_size=30_000)
    common = ["correct", "--bam", sim.bam, "-f", sim.fasta, "-m", sim.model, "--window", 21,
              "--exclude", EXCLUDED, "--chunk-size", 30_000]
    piped = corlap(*common, "--corrected", "-", "-p", 2)
    assert piped.returncode == 0, piped.stderr
    assert piped.stdout == want.read_text()
    assert "standard output written" in piped.stderr
    on_dask = corlap(*common, "--corrected", tmp_path / "dask.bedgraph", "--scheduler",
                     dask_cluster.scheduler_address)
    assert on_dask.returncode == 0, on_dask.stderr
    assert (tmp_path / "dask.bedgraph").read_bytes() == want.read_bytes()


def test_correct_help_quotes_the_librarys_defaults():
    text = corlap("correct", "--help").stdout
    assert f"(default {correct.DEFAULT_WINDOW})" in text
    assert f"(default {reads.DEFAULT_SHIFT[0]} {reads.DEFAULT_SHIFT[1]};" in text
    assert f"(default {reads.DEFAULT_MIN_MAPQ})" in text
    examples = text.split("examples:\n", 1)[1].split("\n\n")[0]
    assert 2 <= sum(line.startswith("  corlap correct ") for line in examples.splitlines()) <= 3


# --- bad input -------------------------------------------------------------------------

def cram_of(sim, directory):
    """The reads as CRAM against the simulation's FASTA, the header holding
    its sequences only, so that the reference is not embedded."""
    cram = directory / "reads.cram"
    with pysam.AlignmentFile(str(sim.bam)) as source:
        header = source.header.to_dict()
        header["SQ"] = [sq for sq in header["SQ"] if sq["SN"] in sim.lengths]
        with pysam.AlignmentFile(str(cram), "wc", header=header,
                                 reference_filename=str(sim.fasta)) as out:
            for read in source.fetch(until_eof=True):
                if read.reference_name in sim.lengths:
                    out.write(pysam.AlignedSegment.from_dict(read.to_dict(), out.header))
    pysam.index(str(cram))
    return cram


def bam_bytes(path):
    """The decompressed bytes of a BAM file, the offset of its first record
    and the offset of every record."""
    raw = gzip.decompress(pathlib.Path(path).read_bytes())
    at = 8 + int.from_bytes(raw[4:8], "little")
    count, at = int.from_bytes(raw[at:at + 4], "little"), at + 4
    for _ in range(count):
        at += 8 + int.from_bytes(raw[at:at + 4], "little")
    records, first = [], at
    while at < len(raw):
        records.append(at)
        at += 4 + int.from_bytes(raw[at:at + 4], "little")
    return raw, first, records


def write_bgzf(path, raw, level=0):
    """``raw`` as BGZF blocks as htslib cuts them, with the end marker; at
    level 0 the blocks lie where they lie for any bytes of that size."""
    out = bytearray()
    for at in range(0, len(raw), 0xFF00):
        piece = raw[at:at + 0xFF00]
        packer = zlib.compressobj(level, zlib.DEFLATED, -15)
        data = packer.compress(piece) + packer.flush()
        out += (b"\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0"
                + (len(data) + 25).to_bytes(2, "little") + data
                + zlib.crc32(piece).to_bytes(4, "little") + len(piece).to_bytes(4, "little"))
    out += bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
    pathlib.Path(path).write_bytes(out)
    return path


def with_header(raw, first, edit):
    """The BAM bytes ``raw`` with the header text and sequence names
    (everything before the first record) through ``edit``; the text's
    length field follows."""
    head = edit(raw[8:first])
    text = head[:len(head) - (first - 8 - int.from_bytes(raw[4:8], "little"))]
    return raw[:4] + len(text).to_bytes(4, "little") + head + raw[first:]


def unplaced_in_the_middle(sim, directory):
    """The reads with the record a third of the way in (on chr1) set to no
    sequence, beside the index of the file as it was: the index of a
    sorted file, whose queries would stop at that record."""
    raw, _, records = bam_bytes(sim.bam)
    original = write_bgzf(directory / "original.bam", raw)
    pysam.index(str(original))
    edited = bytearray(raw)
    at = records[len(records) // 3] + 4
    assert int.from_bytes(edited[at:at + 4], "little") == 0     # chr1
    edited[at:at + 4] = (-1).to_bytes(4, "little", signed=True)
    path = write_bgzf(directory / "unplaced.bam", bytes(edited))
    shutil.copyfile(f"{original}.bai", f"{path}.bai")
    return path


def with_damaged_index(directory, damage):
    path = directory / f"{damage}.bam"
    shutil.copyfile(DATA / "damaged-index.bam", path)
    shutil.copyfile(DATA / f"damaged-index.{damage}.bai", f"{path}.bai")
    return path


def damaged_cram(cram, directory):
    """The CRAM with a byte flipped inside its first slice (by its index):
    the block's CRC32 fails where the first read is decoded."""
    first = gzip.decompress(pathlib.Path(f"{cram}.crai").read_bytes()).split(b"\n")[0]
    _, _, _, container, slice_offset, size = map(int, first.split(b"\t"))
    data = bytearray(cram.read_bytes())
    data[container + slice_offset + size // 2] ^= 0x10
    path = directory / "damaged.cram"
    path.write_bytes(data)
    shutil.copyfile(f"{cram}.crai", f"{path}.crai")
    return path


def bad_reads(sim, directory):
    """name -> (reads file, FASTA file, words the line must hold)."""
    unindexed = directory / "unindexed.bam"
    unindexed.write_bytes(sim.bam.read_bytes())
    longer = directory / "longer.fa"
    write_fasta(longer, {chrom: text + "ACGT" for chrom, text in sim.genome.items()})
    renamed = directory / "renamed.fa"
    write_fasta(renamed, {"seq" + chrom: text for chrom, text in sim.genome.items()})
    # Same names and lengths, other bases: not the CRAM's reference.
    rng = np.random.default_rng(3)
    other = directory / "other.fa"
    write_fasta(other, {chrom: np.frombuffer(b"ACGT", np.uint8)[
        rng.integers(0, 4, len(text))].tobytes().decode() for chrom, text in sim.genome.items()})
    cram = cram_of(sim, directory)
    fifo = directory / "reads-pipe.bam"
    os.mkfifo(fifo)
    sam = directory / "reads.sam"
    sam.write_text(pysam.view("-h", str(sim.bam)))
    return {
        "unsorted": (sim.unsorted, sim.fasta, "not sorted by coordinate"),
        "unindexed": (unindexed, sim.fasta, "no index"),
        "other lengths": (sim.bam, longer, "bases, but"),
        "other names": (sim.bam, renamed, "none of its sequences"),
        "CRAM, not its reference": (cram, other, "checksums differ"),
        "CRAM damaged": (damaged_cram(cram, directory), sim.fasta,
                         "against the right reference (the checksums agree)"),
        "missing": (directory / "missing.bam", sim.fasta, "not found"),
        "standard input": ("-", sim.fasta, "a reads file must be a path"),
        "pipe": (fifo, sim.fasta, "not a regular file"),
        "SAM text": (sam, sim.fasta, "SAM text cannot be read by region: samtools sort"),
        "unplaced record among placed ones": (unplaced_in_the_middle(sim, directory),
                                              sim.fasta, "not sorted by coordinate"),
        "sequence name not UTF-8": (
            write_bgzf(directory / "latin-1.bam", with_header(
                *bam_bytes(sim.bam)[:2], lambda head: head.replace(b"chr2", b"chr\xe9")), 6),
            sim.fasta, "is not UTF-8"),
        "index that crashes htslib": (with_damaged_index(directory, "crash"), sim.fasta,
                                      "rebuild it (samtools index"),
        "index that htslib never finishes": (with_damaged_index(directory, "hang"), sim.fasta,
                                             "did not finish it in 1 s"),
    }


@pytest.mark.parametrize("command", ["train", "correct"])
def test_bad_reads_files_give_one_line_and_status_2(sim, tmp_path, capfd, monkeypatch,
                                                    command):
    # Where htslib would look for a CRAM's reference by checksum: nowhere.
    monkeypatch.setenv("REF_PATH", str(tmp_path / "no-references"))
    monkeypatch.setenv("REF_CACHE", str(tmp_path / "no-cache"))
    monkeypatch.setattr(reads, "_INDEX_SECONDS", 1.0)
    cases = bad_reads(sim, tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    for name, (path, fasta, words) in cases.items():
        if command == "train":
            args = ["train", "-f", fasta, "--bam", path, "--type", "PWM", "--length", 4,
                    "--background", 10, "-o", out / "m.npz"]
        else:
            args = ["correct", "--bam", path, "-f", fasta, "-m", sim.model, "-p", 1,
                    "--corrected", out / "c.bw"]
        status, stdout, err = run(args, capfd)
        assert status == 2, name
        assert len(err) == 1 and stdout == "", (name, err)
        assert err[0].startswith(f"corlap {command}: error: ") and words in err[0], name
        assert str(path) in err[0], name
    assert os.listdir(out) == []
    # The CRAM is fine against its own reference.
    cram = cases["CRAM, not its reference"][0]
    status, _, err = run(["correct", "--bam", cram, "-f", sim.fasta, "-m", sim.model, "-p", 1,
                          "--exclude", EXCLUDED, "--observed", out / "o.bg",
                          "--regions", sim.regions], capfd)
    assert status == 0, err
    observed = {}
    for line in (out / "o.bg").read_text().splitlines():
        chrom, start, end, value = line.split("\t")
        observed.setdefault(chrom, np.zeros(sim.lengths[chrom]))[int(start):int(end)] = \
            float(value)
    counts = sim.counts["chr1"][0] + sim.counts["chr1"][1]
    np.testing.assert_array_equal(observed["chr1"][1_900:4_100], counts[1_900:4_100])


def reads_args(command, sim, path, out):
    if command == "train":
        return ["train", "-f", sim.fasta, "--bam", path, "--type", "PWM", "--length", 4,
                "--background", 10, "-o", out / "m.npz"]
    return ["correct", "--bam", path, "-f", sim.fasta, "-m", sim.model, "-p", 1,
            "--regions", sim.regions, "--observed", out / "o.bg"]


@pytest.mark.parametrize("command", ["train", "correct"])
@pytest.mark.parametrize("rewritten", [False, True])
def test_a_stale_index_is_warned_of_once_and_named_when_reading_fails(sim, tmp_path, capfd,
                                                                      command, rewritten):
    """The file as it was (only touched), or rewritten in other blocks: the
    same outcome for train and correct, one warning, and an error that
    names the index."""
    path = tmp_path / "reads.bam"
    if rewritten:
        write_bgzf(path, bam_bytes(sim.bam)[0])
    else:
        shutil.copyfile(sim.bam, path)
    shutil.copyfile(f"{sim.bam}.bai", f"{path}.bai")
    hour_ago = time.time() - 3600
    os.utime(f"{path}.bai", (hour_ago, hour_ago))
    status, _, err = run(reads_args(command, sim, path, tmp_path), capfd)
    warning = f"corlap {command}: warning: index {path}.bai is older than reads file {path}"
    assert err[0].startswith(warning) and len(err) == 2, err
    if rewritten:
        assert status == 2 and err[1].startswith(f"corlap {command}: error: {path}: ")
        assert f"its index {path}.bai is older than the file" in err[1]
    else:
        assert status == 0 and err[1].startswith(f"corlap {command}: "), err


@pytest.mark.parametrize("command", ["train", "correct"])
def test_a_latin_1_comment_in_the_header_changes_nothing(sim, tmp_path, capfd, command):
    raw, first, _ = bam_bytes(sim.bam)
    commented = write_bgzf(tmp_path / "commented.bam", with_header(
        raw, first, lambda head: head.replace(b"@SQ", b"@CO\tsample from Z\xfcrich\n@SQ", 1)),
        6)
    pysam.index(str(commented))
    outputs = []
    for path in (sim.bam, commented):
        out = tmp_path / path.stem
        out.mkdir()
        status, _, err = run(reads_args(command, sim, path, out), capfd)
        assert status == 0 and len(err) == 1, err
        outputs.append((out / ("m.npz" if command == "train" else "o.bg")).read_bytes())
    assert outputs[0] == outputs[1]


SHADOWS = {"missing": "raise ModuleNotFoundError(\"No module named 'pysam'\", name='pysam')\n",
           "broken": "raise OSError('libhts.so.3: cannot open shared object file')\n"}


@pytest.mark.parametrize("shadow,command", [("missing", "train"), ("broken", "correct"),
                                            ("missing", "score"), ("broken", "footprints")])
def test_without_a_working_pysam(sim, tmp_path, capfd, shadow, command):
    """pysam shadowed by a package of that name on PYTHONPATH: the
    commands that read reads files say what to install in one line
    (status 1); score (its FASTA file indexed and read by corlap itself)
    writes what it writes with pysam, and footprints runs."""
    import pyBigWig

    package = tmp_path / "shadow" / "pysam"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text(SHADOWS[shadow])
    signal_path = tmp_path / "signal.bw"
    with pyBigWig.open(str(signal_path), "w") as track:
        track.addHeader([("chr1", 1_000)])
        track.addEntries("chr1", [0], values=[1.5], span=1_000)
    args = {"train": reads_args("train", sim, sim.bam, tmp_path),
            "correct": reads_args("correct", sim, sim.bam, tmp_path),
            "score": ["score", "-f", tmp_path / "genome.fa", "-m", sim.model, "--forward",
                      tmp_path / "f.bg", "-p", 1],
            "footprints": ["footprints", "--signal", signal_path, "--track",
                           tmp_path / "fp.bg", "-p", 1]}[command]
    shutil.copyfile(sim.fasta, tmp_path / "genome.fa")     # not indexed yet
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(tmp_path / "shadow"), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-m", "corlap", *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=120)
    lines = done.stderr.splitlines()
    if command == "footprints":
        assert done.returncode == 0 and (tmp_path / "fp.bg").exists(), done.stderr
        return
    if command == "score":
        assert done.returncode == 0, done.stderr
        status, _, err = run(["score", "-f", sim.fasta, "-m", sim.model, "--forward",
                              tmp_path / "with-pysam.bg", "-p", 1], capfd)
        assert status == 0, err
        assert (tmp_path / "f.bg").read_bytes() == (tmp_path / "with-pysam.bg").read_bytes()
        assert (tmp_path / "genome.fa.fai").read_bytes() == \
            pathlib.Path(f"{sim.fasta}.fai").read_bytes()
        return
    assert done.returncode == 1 and len(lines) == 1, done.stderr
    assert lines[0].startswith(f"corlap {command}: error: pysam cannot be loaded (")
    assert lines[0].endswith("install it: pip install 'pysam>=0.23'")


def test_an_error_from_a_worker_names_the_reads_file_as_given(sim, tmp_path):
    """A block in the middle damaged: the checks pass and a worker fails,
    naming the relative path given and htslib's reason."""
    data = bytearray(sim.bam.read_bytes())
    blocks, at = [], 0
    while at < len(data):
        blocks.append(at)
        at += int.from_bytes(data[at + 16:at + 18], "little") + 1
    middle = blocks[len(blocks) // 2]
    data[middle + 40] ^= 0x5A      # inside the deflated data
    (tmp_path / "reads.bam").write_bytes(data)
    shutil.copyfile(f"{sim.bam}.bai", tmp_path / "reads.bam.bai")
    done = subprocess.run([sys.executable, "-m", "corlap", "correct", "--bam", "reads.bam",
                           "-f", sim.fasta, "-m", sim.model, "-p", "2", "--observed", "o.bw"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)
    lines = done.stderr.splitlines()
    assert done.returncode == 2 and len(lines) == 1, done.stderr
    # htslib's reason follows, from the child that read the block again.
    assert lines[0].startswith("corlap correct: error: reads.bam: cannot read it (truncated "
                               "or corrupt: ")
    assert str(tmp_path) not in lines[0]
    assert sorted(os.listdir(tmp_path)) == ["reads.bam", "reads.bam.bai"]


@pytest.mark.parametrize("args,words", [
    (["train", "--sites", "SITES", "--max-sites", 5, "--shift", 0, 0],
     "--shift and --max-sites apply to the reads of --bam"),
    (["train", "--sites", "SITES", "--exclude", "chr1"], "no site window"),
    (["train", "--bam", "BAM", "--exclude", "chr1", "chr2", "chrM"], "no site window"),
    (["correct", "--bam", "BAM", "-m", "MODEL"],
     "give at least one of --observed OUT, --expected OUT and --corrected OUT"),
    (["correct", "--bam", "BAM", "-m", "MODEL", "--observed", "-", "--expected", "-"],
     "only one of --observed, --expected and --corrected can be -"),
    (["correct", "--bam", "BAM", "-m", "MODEL", "--observed", "OUT/x.bw", "--corrected",
      "OUT/x.bw"], "--observed and --corrected are the same file"),
    (["correct", "--bam", "BAM", "-m", "MODEL", "--expected", "OUT/x.txt"],
     "unknown extension"),
    (["correct", "--bam", "BAM", "-m", "MODEL", "--observed", "-", "--per-strand"],
     "--per-strand needs files"),
    (["correct", "--bam", "BAM", "-m", "MODEL", "--observed", "OUT/x.bw", "--regions", "-",
      "--blacklist", "-"], "only one input can be read from standard input"),
    (["train", "--bam", "BAM", "--fragment-length", 200, 100],
     "--fragment-length: fragment length range 200..100"),
    (["train", "--bam", "BAM", "--blacklist", "OUT/none.bed"], "cannot read BED file"),
])
def test_bad_options_give_one_line_and_status_2(sim, tmp_path, capfd, args, words):
    (tmp_path / "sites.bed").write_text("chr1\t100\t101\n")
    values = {"SITES": tmp_path / "sites.bed", "BAM": sim.bam, "MODEL": sim.model}
    args = [values.get(arg, arg) for arg in args]
    args = [str(arg).replace("OUT/", f"{tmp_path}/") for arg in args]
    if args[0] == "train":
        args += ["--type", "PWM", "--length", "4", "-o", str(tmp_path / "m.npz")]
    status, _, err = run([*args, "-f", sim.fasta], capfd)
    assert status == 2
    assert len(err) == 1 and words in err[0], err
    assert sorted(os.listdir(tmp_path)) == ["sites.bed"]


# --- stopping ----------------------------------------------------------------------------

def test_sigterm_stops_correct_and_leaves_no_file(sim, tmp_path):
    """As for score: exit 128 + 15, one line, no output or temporary, no
    process of the run left."""
    outputs = [tmp_path / "o.bedgraph", tmp_path / "c.bw"]
    process = subprocess.Popen(
        [sys.executable, "-m", "corlap", "correct", "--bam", str(sim.bam), "-f",
         str(sim.fasta), "-m", str(sim.model), "-p", "2", "--chunk-size", "200",
         "--window", "301", "--observed", str(outputs[0]), "--corrected", str(outputs[1])],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 30
        # A temporary beside an output: the run is writing.
        while not any(name.startswith(".") for name in os.listdir(tmp_path)):
            assert process.poll() is None, process.communicate()
            assert time.monotonic() < deadline
            time.sleep(0.02)
        process.send_signal(signal.SIGTERM)
        _, stderr = process.communicate(timeout=20)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert process.returncode == 128 + signal.SIGTERM
    assert stderr.splitlines() == ["corlap correct: interrupted by SIGTERM; no output written"]
    assert os.listdir(tmp_path) == []
    # The workers and their forkserver die with the run.
    wait_for(lambda: not group_members(process.pid), 10, "processes of the run left")
