"""`corlap train --bam` and `corlap correct` on the simulated reads of
test_reads: the commands write what the library does (models bit for bit,
track files byte for byte, on 1 or 2 workers, Dask or standard output),
their summary lines count what the simulation holds, bad reads files end
in one line and status 2, and a stop leaves no file behind."""

import os
import signal
import subprocess
import sys
import time

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
                                     exclude=[EXCLUDED], **library)
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
                                           background_sites=sites)
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
                          tmp_path / "b.bed", "-o", out], capfd)
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
    return {
        "unsorted": (sim.unsorted, sim.fasta, "not sorted by coordinate"),
        "unindexed": (unindexed, sim.fasta, "no index"),
        "other lengths": (sim.bam, longer, "bases, but"),
        "other names": (sim.bam, renamed, "none of its sequences"),
        "CRAM, not its reference": (cram_of(sim, directory), other, "cannot be decoded"),
        "missing": (directory / "missing.bam", sim.fasta, "not found"),
    }


@pytest.mark.parametrize("command", ["train", "correct"])
def test_bad_reads_files_give_one_line_and_status_2(sim, tmp_path, capfd, monkeypatch,
                                                    command):
    # Where htslib would look for a CRAM's reference by checksum: nowhere.
    monkeypatch.setenv("REF_PATH", str(tmp_path / "no-references"))
    monkeypatch.setenv("REF_CACHE", str(tmp_path / "no-cache"))
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
