"""Sites as people have them (1-base sites, stranded motif intervals,
narrowPeak summits), read from files, gzip, bgzip or a pipe; tracks written
to standard output or as BGZF.  Expected counts are computed here from the
genome's text, window by window."""

import gzip
import os
import struct
import subprocess
import sys

import numpy as np
import pysam
import pytest

from conftest import reverse_complement
from corlap.__main__ import main
from corlap.bed import BgzfWriter, read_bed
from corlap.models import load_model
from corlap.training import LengthRefused, train_model

CODE = {"A": 0, "T": 1, "C": 2, "G": 3}


def status_of(args):
    try:
        return main([str(arg) for arg in args])
    except SystemExit as stop:
        return stop.code


def corlap(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "corlap", *map(str, args)],
                          input=stdin, capture_output=True, timeout=120)


def window_counts(records, windows, length):
    """The PWM counts of windows (chrom, first base, strand), each read on its
    strand, those holding a base other than A, C, G, T left out."""
    counts = np.zeros((5, length))
    for chrom, first, strand in windows:
        text = records[chrom][first:first + length]
        if strand == "-":
            text = reverse_complement(text)
        text = text.upper()
        if first < 0 or len(text) < length or set(text) - set(CODE):
            continue
        for position, base in enumerate(text):
            counts[CODE[base], position] += 1
    return counts


def clean_windows(records, chrom, length, count, rng):
    """``count`` random windows of chrom free of N."""
    found = []
    while len(found) < count:
        first = int(rng.integers(0, len(records[chrom]) - length))
        if not set(records[chrom][first:first + length].upper()) - set(CODE):
            found.append(first)
    return found


# --- anchors ----------------------------------------------------------------------

@pytest.mark.parametrize("kind,length", [("pwm", 7), ("PWM", 8), ("Dwm", 8)])
def test_center_of_stranded_intervals_counts_their_own_bases(kind, length, tmp_path,
                                                             genome_fasta, genome_records):
    """Intervals of exactly --length bases with their strand, as a motif
    scanner writes them: each is its own window, read on its own strand,
    whether the length is odd or even; --background-bed follows the same
    anchor."""
    rng = np.random.default_rng(length)
    windows = [(chrom, first, "+-"[k % 2]) for chrom in ("chrA", "chrB", "chrC")
               for k, first in enumerate(clean_windows(genome_records, chrom, length, 40, rng))]
    bed = tmp_path / "motifs.bed"
    bed.write_text("".join(f"{chrom}\t{first}\t{first + length}\tm\t0\t{strand}\n"
                           for chrom, first, strand in windows))
    assert status_of(["train", "-f", genome_fasta, "--sites", bed, "--anchor", "center",
                      "--type", kind, "--length", length, "-o", tmp_path / "m.npz",
                      "--background-bed", bed, "-q"]) == 0
    model = load_model(tmp_path / "m.npz")
    want = window_counts(genome_records, windows, length)
    assert want.sum() == len(windows) * length
    if kind.upper() == "PWM":
        np.testing.assert_array_equal(model.counts, want)
        np.testing.assert_array_equal(model.bg_counts, want)
    else:
        # A pair table's diagonal holds each position's bases.
        diagonal = np.einsum("aamm->am", model.counts)
        np.testing.assert_array_equal(diagonal, want)
    assert model.no_bias == len(windows) and model.no_bg == len(windows)


def narrowpeak(lines):
    return "".join(f"{chrom}\t{start}\t{end}\tpeak{k}\t0\t{strand}\t5.0\t-1\t-1\t{summit}\n"
                   for k, (chrom, start, end, strand, summit) in enumerate(lines))


def test_summit_counts_the_windows_at_the_summits(tmp_path, genome_fasta, genome_records):
    length, centre = 9, 4
    rng = np.random.default_rng(5)
    peaks = []
    for chrom in ("chrA", "chrC"):
        for first in clean_windows(genome_records, chrom, 40, 25, rng):
            summit = int(rng.integers(0, 40))
            peaks.append((chrom, first, first + 40, "+-."[len(peaks) % 3], summit))
    (tmp_path / "peaks.narrowPeak").write_text(narrowpeak(peaks))
    assert status_of(["train", "-f", genome_fasta, "--sites", tmp_path / "peaks.narrowPeak",
                      "--anchor", "summit", "--type", "PWM", "--length", length,
                      "-o", tmp_path / "m.npz", "--background", 0, "-q"]) == 0
    windows = []
    for chrom, start, _, strand, summit in peaks:
        site = start + summit
        windows.append((chrom, site - centre if strand != "-" else site - (length - 1 - centre),
                        strand))
    model = load_model(tmp_path / "m.npz")
    want = window_counts(genome_records, windows, length)
    assert want.sum() > 0.8 * len(peaks) * length
    np.testing.assert_array_equal(model.counts, want)


@pytest.mark.parametrize("summit,why", [
    (-1, "no summit: column 10 is -1"),
    (None, "no summit: column 10 is missing"),
    (40, "the summit offset 40 lies outside the interval of 40 bases")])
def test_a_peak_without_a_usable_summit_is_named(summit, why, tmp_path, genome_fasta,
                                                  capsys):
    text = narrowpeak([("chrA", 100, 140, ".", 3)] * 2)
    last = f"chrA\t200\t240\tp\t0\t.\t5.0\t-1\t-1\t{summit}\n" if summit is not None \
        else "chrA\t200\t240\tp\t0\t.\n"
    (tmp_path / "p.bed").write_text(text + last)
    assert status_of(["train", "-f", genome_fasta, "--sites", tmp_path / "p.bed",
                      "--anchor", "summit", "--type", "PWM", "--length", 5,
                      "-o", tmp_path / "m.npz"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and f"p.bed, line 3: {why}" in err
    assert not (tmp_path / "m.npz").exists()


@pytest.mark.parametrize("option", ["--sites", "--background-bed"])
def test_wide_lines_without_anchor_are_refused(option, tmp_path, genome_fasta, genome_dir,
                                               capsys):
    (tmp_path / "wide.bed").write_text("# motifs\nchrA\t10\t11\t.\t0\t-\n"
                                       "chrA\t20\t21\nchrA\t30\t38\t.\t0\t+\nchrA\t50\t60\n")
    sites = genome_dir / "sites.bed" if option == "--background-bed" else tmp_path / "wide.bed"
    args = ["train", "-f", genome_fasta, "--sites", sites, "--type", "PWM", "--length", 6,
            "-o", tmp_path / "m.npz"]
    if option == "--background-bed":
        args += [option, tmp_path / "wide.bed"]
    assert status_of(args) == 2
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 1
    assert "wide.bed, line 4: the interval is 8 bases wide" in err[0]
    for choice in ("--anchor", "start", "center", "summit"):
        assert choice in err[0]
    assert not (tmp_path / "m.npz").exists()


@pytest.mark.parametrize("text,why", [
    ("", "no site was given"),
    ("# only a comment\ntrack name=x\n\n", "no site was given"),
    ("chrS\t2\t3\nchrS\t0\t1\t.\t0\t-\n", "2 have a window running off the chromosome and 0"),
    ("chrA\t20010\t20011\nchrA\t20030\t20031\t.\t0\t-\nchrS\t1\t2\n",
     "1 have a window running off the chromosome and 2 one holding a base other"),
])
def test_no_usable_site_exits_2_saying_why(text, why, tmp_path, genome_fasta, capsys):
    (tmp_path / "s.bed").write_text(text)
    assert status_of(["train", "-f", genome_fasta, "--sites", tmp_path / "s.bed",
                      "--type", "DWM", "--length", 9, "-o", tmp_path / "m.npz"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1
    assert "s.bed: no site window can be counted" in err
    assert why in err
    assert not (tmp_path / "m.npz").exists()


@pytest.mark.parametrize("kind", ["PWM", "DWM"])
def test_summary_tells_sites_off_and_with_n_apart_from_background(kind, tmp_path, genome_fasta,
                                                                  genome_records, capsys):
    """Each side counts exactly the windows its summary says it counted:
    a background window holding N is left out of a PWM's tables too."""
    # 3 counted; 2 off (chrS is 5 bases; chrC's start); 2 in chrA's N run.
    (tmp_path / "s.bed").write_text("chrA\t100\t101\nchrA\t500\t501\t.\t0\t-\nchrC\t900\t901\n"
                                    "chrS\t2\t3\nchrC\t1\t2\n"
                                    "chrA\t20010\t20011\nchrA\t19995\t19996\t.\t0\t-\n")
    (tmp_path / "bg.bed").write_text("chrA\t300\t301\nchrS\t3\t4\nchrA\t20040\t20041\n"
                                     "chrA\t19998\t19999\t.\t0\t-\n")
    assert status_of(["train", "-f", genome_fasta, "--sites", tmp_path / "s.bed",
                      "--type", kind, "--length", 11, "-o", tmp_path / "m.npz",
                      "--background-bed", tmp_path / "bg.bed"]) == 0
    err = capsys.readouterr().err
    assert err == (
        "corlap train: 3 site windows counted; 2 sites skipped (window runs off the "
        "chromosome); 2 sites skipped (window holds a base other than A, C, G, T); "
        "background: 1 windows counted, 1 sites skipped (window runs off the chromosome), "
        "2 windows skipped (hold a base other than A, C, G, T); "
        f"{kind} of length 11 written to {tmp_path / 'm.npz'}\n")
    model = load_model(tmp_path / "m.npz")
    assert model.no_bias == 3 and model.no_bg == 1
    background = window_counts(genome_records, [("chrA", 295, "+")], 11)
    counted = model.bg_counts if kind == "PWM" else np.einsum("aamm->am", model.bg_counts)
    np.testing.assert_array_equal(counted, background)
    capsys.readouterr()
    assert status_of(["inspect", tmp_path / "m.npz"]) == 0
    assert "background  1 windows counted" in capsys.readouterr().out


@pytest.mark.parametrize("kind,length,words", [
    ("DWM", 3_000, "a DWM window may be at most 400 bases, not 3,000: its tables would take "
                   "10.8 GB"),
    ("PWM", 10 ** 12, "a PWM window may be at most 1,000,000 bases, not 1,000,000,000,000: "
                      "its tables would take 240.0 TB"),
    ("DWM", 401, "a DWM window may be at most 400 bases, not 401"),
    ("PWM", 1_000_001, "a PWM window may be at most 1,000,000 bases, not 1,000,001"),
    ("DWM", 400, None),
    ("PWM", 1_000_000, None),
])
def test_a_window_too_long_for_memory_is_refused_before_anything_is_read(
        kind, length, words, tmp_path, capsys):
    """One line naming --length, the limit and what the tables would take,
    before the (here missing) inputs are opened; the limit itself is
    allowed (the missing FASTA is what stops it)."""
    assert status_of(["train", "-f", tmp_path / "none.fa", "--sites", tmp_path / "none.bed",
                      "--type", kind, "--length", length, "-o", tmp_path / "m.npz"]) == 2
    err = capsys.readouterr().err
    if words is None:
        assert "none.fa" in err and "at most" not in err, err
        with pytest.raises(OSError):
            train_model(tmp_path / "none.fa", [], kind, length)
        return
    assert err.count("\n") == 1 and f"--length {length}: {words}" in err, err
    assert "at the limit" in err
    with pytest.raises(LengthRefused, match="may be at most"):
        train_model(tmp_path / "none.fa", [], kind, length)


def test_an_ordinary_dwm_length_still_trains(tmp_path, genome_fasta, genome_records):
    rng = np.random.default_rng(40)
    windows = [("chrA", first, "+") for first in clean_windows(genome_records, "chrA", 40, 5,
                                                                rng)]
    bed = tmp_path / "s.bed"
    bed.write_text("".join(f"{c}\t{f + 20}\t{f + 21}\n" for c, f, _ in windows))
    assert status_of(["train", "-f", genome_fasta, "--sites", bed, "--type", "DWM",
                      "--length", 40, "--background", 50, "-o", tmp_path / "m.npz", "-q"]) == 0
    model = load_model(tmp_path / "m.npz")
    np.testing.assert_array_equal(np.einsum("aamm->am", model.counts),
                                  window_counts(genome_records, windows, 40))


# --- pipes and compression -------------------------------------------------------------

def test_gzip_bgzip_and_standard_input_equal_the_plain_file(tmp_path, genome_fasta,
                                                            genome_dir):
    plain = genome_dir / "sites.bed"
    with open(plain, "rb") as source, gzip.open(tmp_path / "sites.bed.gz", "wb") as sink:
        sink.write(source.read())
    # bgzip, under a name that does not say so.
    pysam.tabix_compress(str(plain), str(tmp_path / "sites.txt"), force=True)
    with open(tmp_path / "sites.txt", "rb") as stream:
        assert stream.read(18)[12:14] == b"BC"
    common = ["-f", genome_fasta, "--type", "DWM", "--length", 6, "--background", 300, "-q"]
    models = {}
    for name, sites in (("plain", plain), ("gzip", tmp_path / "sites.bed.gz"),
                        ("bgzip", tmp_path / "sites.txt")):
        assert status_of(["train", "--sites", sites, "-o", tmp_path / f"{name}.npz",
                          *common]) == 0
        models[name] = (tmp_path / f"{name}.npz").read_bytes()
    for name, data in (("stdin", plain.read_bytes()),
                       ("stdin-gzip", (tmp_path / "sites.bed.gz").read_bytes())):
        done = corlap("train", "--sites", "-", "-o", tmp_path / f"{name}.npz", *common,
                      stdin=data)
        assert done.returncode == 0, done.stderr
        models[name] = (tmp_path / f"{name}.npz").read_bytes()
    assert all(data == models["plain"] for data in models.values()), \
        [name for name, data in models.items() if data != models["plain"]]


def test_regions_from_standard_input_equal_the_file(tmp_path, genome_fasta, model_files):
    regions = "chrA\t50\t900\nchrB\t100\t120\t.\t0\t-\nchrC\t3000\t3502\n"
    (tmp_path / "r.bed").write_text(regions)
    base = ["score", "-f", genome_fasta, "-m", model_files["PWM"], "-p", 1, "-q"]
    assert status_of(base + ["--regions", tmp_path / "r.bed",
                             "--forward", tmp_path / "file.bg"]) == 0
    done = corlap(*base, "--regions", "-", "--forward", tmp_path / "pipe.bg",
                  stdin=gzip.compress(regions.encode()))
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "pipe.bg").read_bytes() == (tmp_path / "file.bg").read_bytes()
    covered = {position for line in (tmp_path / "file.bg").read_text().splitlines()
               if line.startswith("chrA\t")
               for position in range(int(line.split("\t")[1]), int(line.split("\t")[2]))}
    assert covered == set(range(50, 900))


def test_standard_input_is_read_once(tmp_path, genome_fasta, capsys):
    assert status_of(["train", "-f", genome_fasta, "--sites", "-", "--background-bed", "-",
                      "--type", "PWM", "--length", 5, "-o", tmp_path / "m.npz"]) == 2
    assert "only one input can be read from standard input" in capsys.readouterr().err


def test_forward_on_standard_output_equals_the_file(tmp_path, genome_fasta, model_files):
    common = ["score", "-f", genome_fasta, "-m", model_files["DWM"], "-p", 2,
              "--chunk-size", 7000]
    done = corlap(*common, "--forward", "-", "--reverse", tmp_path / "r.bw")
    assert done.returncode == 0, done.stderr
    assert status_of(common + ["--forward", tmp_path / "f.bedgraph", "-q"]) == 0
    expected = (tmp_path / "f.bedgraph").read_bytes()
    assert len(expected) > 100_000 and done.stdout == expected
    err = done.stderr.decode()
    assert err.startswith("corlap score: 48,560 positions scored; standard output and ")
    assert sorted(os.listdir(tmp_path)) == ["f.bedgraph", "r.bw"]


def bgzf_members(data):
    """The (header, uncompressed size) of each BGZF member, walked by the
    sizes their headers give."""
    members, at = [], 0
    while at < len(data):
        magic, method, flags, _, _, _, extra_length, si1, si2, _, size_less_one = \
            struct.unpack_from("<HBBIBBHBBHH", data, at)
        assert (magic, method, flags, extra_length, si1, si2) == (0x8b1f, 8, 4, 6, 66, 67)
        end = at + size_less_one + 1
        members.append(struct.unpack_from("<I", data, end - 4)[0])
        at = end
    assert at == len(data)
    return members


@pytest.mark.parametrize("name", ["f.bedgraph.gz", "f.bg.gz"])
def test_compressed_bedgraph_is_bgzf_and_reads_back_equal(name, tmp_path, genome_fasta,
                                                          model_files):
    common = ["score", "-f", genome_fasta, "-m", model_files["PWM"], "-p", 2, "-q",
              "--chunk-size", 5000]
    assert status_of(common + ["--forward", tmp_path / name]) == 0
    assert status_of(common + ["--forward", tmp_path / "f.bg"]) == 0
    data = (tmp_path / name).read_bytes()
    plain = (tmp_path / "f.bg").read_bytes()
    sizes = bgzf_members(data)
    assert sizes[-1] == 0 and all(0 < size <= 0xff00 for size in sizes[:-1])
    assert len(sizes) > 10 and gzip.decompress(data) == plain
    assert subprocess.run(["gzip", "-dc", str(tmp_path / name)], capture_output=True,
                          check=True).stdout == plain
    # tabix indexes it; a region reads back as the plain file's lines.
    indexed = pysam.tabix_index(str(tmp_path / name), preset="bed", force=True,
                                keep_original=True)
    with pysam.TabixFile(indexed) as table:
        got = list(table.fetch("chrB", 7000, 7010))
    want = [line for line in plain.decode().splitlines()
            if line.startswith("chrB\t") and 7000 <= int(line.split("\t")[1]) < 7010]
    assert got == want and len(want) == 10


def test_bgzf_writer_members_hold_any_bytes():
    import io
    random = np.random.default_rng(3).integers(0, 256, 200_000, dtype=np.uint8).tobytes()
    text = b"chr1\t0\t1\t0.5\n" * 20_000
    sink = io.BytesIO()
    writer = BgzfWriter(sink)
    for piece in (text[:5], text[5:], random, b"", b"end\n"):
        writer.write(piece)
    writer.finish()
    data = sink.getvalue()
    assert gzip.decompress(data) == text + random + b"end\n"
    sizes = bgzf_members(data)
    assert sum(sizes) == len(text + random) + 4 and sizes[-1] == 0
    # Incompressible members still fit the 64 KiB a member may take.
    assert max(sizes) == 0xff00


def test_bgzf_output_without_libdeflate_is_refused_before_the_run(tmp_path, genome_fasta,
                                                                    model_files, monkeypatch,
                                                                    capsys):
    """Another deflater would make other bytes of the same text: none is
    taken in its place."""
    import io
    from corlap import bed
    monkeypatch.setattr(bed, "deflate", None)
    with pytest.raises(ImportError, match="pip install 'deflate>=0.7'"):
        BgzfWriter(io.BytesIO())
    assert status_of(["score", "-f", genome_fasta, "-m", model_files["PWM"], "-q",
                      "--forward", tmp_path / "f.bg.gz"]) == 1
    assert capsys.readouterr().err == f"corlap score: error: {bed.DEFLATE_MISSING}\n"
    assert list(tmp_path.iterdir()) == []


def test_read_bed_sites_and_regions_agree_across_compressions(tmp_path, genome_records):
    lengths = {name: len(text) for name, text in genome_records.items()}
    text = "chrA\t5\t9\t.\t0\t-\nchrB\t7\t8\n"
    (tmp_path / "a.bed").write_text(text)
    (tmp_path / "a.bed.gz").write_bytes(gzip.compress(text.encode()))
    assert read_bed(tmp_path / "a.bed", lengths) == read_bed(tmp_path / "a.bed.gz", lengths)
    (tmp_path / "cut.gz").write_bytes(gzip.compress(text.encode())[:-9])
    from corlap.bed import BedError
    with pytest.raises(BedError, match="cut.gz.*not a valid gzip file"):
        read_bed(tmp_path / "cut.gz", lengths)
