"""corlap scan: motif files, thresholds against every window, hits against
a plain NumPy reference and against MOODS, and the command."""
import concurrent.futures
import itertools
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from corlap import motifs, scan
from corlap.tracks import Interval, merge_regions

EXAMPLE_MOTIFS = pathlib.Path(__file__).parent.parent / "examples" / "motifs.jaspar"
CODE = {base: k for k, base in enumerate("ACGT")}


def random_motif(rng, length, name="M"):
    return motifs.Motif(name, np.round(rng.dirichlet(np.full(4, 0.4), size=length) * 30))


def reference_hits(records, prepared, regions=None):
    """Every window, both strands, scored as the formulas say: column by
    column in the motif's order, the - strand the reverse complement."""
    hits = []
    lengths = {chrom: len(text) for chrom, text in records.items()}
    for chrom, text in records.items():
        x = np.array([CODE.get(base, 4) for base in text.upper()])
        # Overlapping or touching regions are merged first.
        spans = merge_regions(regions, lengths).get(chrom, []) if regions is not None \
            else [(0, len(text))]
        for scores in prepared:
            if scores.threshold is None:
                continue
            table, length = scores.table, scores.length
            for lo, hi in spans:
                count = hi - lo - length + 1
                if count <= 0:
                    continue
                w = x[lo:hi]
                clean = np.convolve(w > 3, np.ones(length), "valid") == 0
                for strand, codes, flip in (("+", w, False), ("-", 3 - w, True)):
                    values = np.zeros(count)
                    for j in range(length):
                        # Column j meets base s + j (+) or s + L - 1 - j (-),
                        # added in column order as the formula reads.
                        at = length - 1 - j if flip else j
                        values += table[j, np.minimum(codes[at:at + count], 3)]
                    for s in np.flatnonzero(clean & (values >= scores.threshold)):
                        hits.append((chrom, lo + int(s), lo + int(s) + length, scores.name,
                                     float(values[s]), strand))
    order = {chrom: k for k, chrom in enumerate(records)}
    return sorted(set(hits), key=lambda h: (order[h[0]], h[1], h[3], h[5]))


@pytest.fixture(scope="module")
def scan_motifs_list():
    rng = np.random.default_rng(7)
    found = motifs.read_motifs([EXAMPLE_MOTIFS])
    # Length 1 and a motif longer than chrS and than the short region.
    return found + [random_motif(rng, 1, "one"), random_motif(rng, 3, "three"),
                    random_motif(rng, 40, "forty")]


@pytest.mark.parametrize("level", [{"p_value": 0.02}, {"threshold": 1.0, "p_value": None}])
@pytest.mark.parametrize("regions", [None, [Interval("chrA", 19_990, 20_100),
                                             Interval("chrB", 5_990, 6_025),
                                             Interval("chrC", 100, 130),
                                             Interval("chrC", 120, 2_000)]])
def test_hits_match_the_formulas(genome_fasta, genome_records, scan_motifs_list, regions,
                                 level):
    background = [0.3, 0.2, 0.2, 0.3]
    prepared = scan.prepare_motifs(scan_motifs_list, background, **level)
    expected = reference_hits(genome_records, prepared, regions)
    # Small chunks: windows cross chunk edges; within regions, chunks far
    # shorter than the longest motif.
    got = scan.scan_motifs(genome_fasta, scan_motifs_list, background, regions=regions,
                           chunk_size=997 if regions is None else 13, **level)
    assert [row[:6] for row in got] == expected
    names = {row[3] for row in got}
    assert "CX0002.1_E-box_like" in names
    assert ("one" in names) == ("threshold" in level)   # no 1-mer reaches p = 0.02
    # 40 bases: longer than chrS and the region of chrB.
    short = ("chrS", "chrB") if regions else ("chrS",)
    assert not any(row[3] == "forty" and row[0] in short for row in got)
    if "threshold" not in level:
        # At most the p-value asked for (within the grid's rounding).
        assert all(0 < row[6] <= 0.02 * 1.01 for row in got)


def enumerate_windows(table, background):
    length = table.shape[0]
    words = np.array(list(itertools.product(range(4), repeat=length)))
    values, masses = np.zeros(len(words)), np.ones(len(words))
    for j in range(length):
        values = values + table[j, words[:, j]]
        masses = masses * background[words[:, j]]
    return values, masses


@pytest.mark.parametrize("length", [1, 4, 6, 8])
@pytest.mark.parametrize("background", [(0.25, 0.25, 0.25, 0.25), (0.3, 0.2, 0.2, 0.3)])
def test_thresholds_are_exact_over_every_window(length, background):
    rng = np.random.default_rng(length)
    background = np.array(background)
    for trial in range(3):
        motif = random_motif(rng, length)
        values, masses = enumerate_windows(motifs.log_odds(motif.counts, background), background)
        for p_value in (1e-4, 1e-3, 0.05):
            scores = motifs.scores(motif, background, p_value=p_value)
            # The least score of a window whose tail is at most p_value.
            exact = None
            for value in np.unique(values)[::-1]:
                if masses[values >= value].sum() > p_value:
                    break
                exact = value
            if exact is None:
                assert scores.threshold is None
                continue
            assert scores.exact
            np.testing.assert_array_equal(values >= scores.threshold, values >= exact)
            # Reported p-values bound each hit's tail from above, closely.
            hits = values[values >= exact]
            tails = np.array([masses[values >= v].sum() for v in hits])
            reported = scores.p_values(hits)
            assert np.all(reported >= tails * (1 - 1e-9))
            assert np.all(reported <= p_value * 1.05)


def test_long_motif_threshold_never_lets_a_larger_tail_through():
    rng = np.random.default_rng(3)
    background = np.array([0.3, 0.2, 0.2, 0.3])
    motif = random_motif(rng, 21)
    scores = motifs.scores(motif, background, p_value=1e-4)
    # A million windows drawn from the background: the share let through
    # is near p, not above it by more than chance.
    words = rng.choice(4, size=(1_000_000, 21), p=background)
    values = np.zeros(len(words))
    for j in range(21):
        values = values + scores.table[j, words[:, j]]
    assert (values >= scores.threshold).mean() <= 1e-4 + 4 * np.sqrt(1e-4 / 1e6)
    assert (values >= scores.threshold).mean() >= 1e-4 / 3


def test_same_bytes_whatever_the_workers(genome_fasta, tmp_path):
    outputs = []
    for executor, chunk in ((None, 1_000_000), (concurrent.futures.ThreadPoolExecutor(2), 1_009)):
        out = tmp_path / f"sites{len(outputs)}.bed"
        summary = scan.write_sites(genome_fasta, [EXAMPLE_MOTIFS], out, p_value=1e-3,
                                   executor=executor, chunk_size=chunk,
                                   thresholds=tmp_path / "t.tsv")
        outputs.append(out.read_bytes())
        assert summary.hits == sum(1 for line in out.read_text().splitlines()
                                   if not line.startswith("#"))
    assert outputs[0] == outputs[1]
    header = [line for line in outputs[0].decode().splitlines() if line.startswith("#")]
    assert sum(" threshold " in line for line in header) == 4
    assert (tmp_path / "t.tsv").read_text().count("\n") == 5


def test_against_moods(tmp_path):
    moods_scan = pytest.importorskip("MOODS.scan")
    rng = np.random.default_rng(11)
    background = np.array([0.28, 0.22, 0.22, 0.28])
    text = "".join(rng.choice(list("ACGT"), size=200_000, p=background))
    (tmp_path / "g.fa").write_text(">g\n" + "\n".join(text[k:k + 60]
                                                     for k in range(0, len(text), 60)) + "\n")
    found = motifs.read_motifs([EXAMPLE_MOTIFS]) + [random_motif(rng, n, f"r{n}")
                                                    for n in (7, 10, 15)]
    prepared = scan.prepare_motifs(found, background, p_value=1e-3)
    matrices, thresholds, names = [], [], []
    for scores in prepared:
        for strand, table in (("+", scores.table), ("-", motifs.reverse_complement(scores.table))):
            matrices.append([list(map(float, row)) for row in table.T])
            thresholds.append(scores.threshold)
            names.append((scores.name, strand, scores.threshold))
    theirs = {}
    for k, matches in enumerate(moods_scan.scan_dna(text, matrices, list(background),
                                                    thresholds, 7)):
        for match in matches:
            theirs[(match.pos, names[k][0], names[k][1])] = match.score
    ours = {(row[1], row[3], row[5]): row[4]
            for row in scan.scan_motifs(tmp_path / "g.fa", found, background, p_value=1e-3)}
    assert len(ours) > 100
    threshold_of = {(name, strand): t for name, strand, t in names}
    # Sums in another order may differ in the last bits: only windows
    # scoring the threshold within that may be on one side only.
    for key in set(ours) ^ set(theirs):
        score = ours.get(key, theirs.get(key))
        assert abs(score - threshold_of[key[1:]]) < 1e-9, key
    for key in set(ours) & set(theirs):
        assert ours[key] == pytest.approx(theirs[key], abs=1e-9)


MEME = """MEME version 4

ALPHABET= ACGT

Background letter frequencies
A 0.3 C 0.2 G 0.2 T 0.3

MOTIF m1 first one
letter-probability matrix: alength= 4 w= 3 nsites= 20 E= 0
0.5 0.5 0 0
0 0 1 0
0.25 0.25 0.25 0.25

MOTIF m2
letter-probability matrix: alength= 4 w= 2
1 0 0 0
0 0 0 1
"""


@pytest.mark.parametrize("name, text, expected", [
    ("a.jaspar", ">MA1.1 Some factor\nA [ 1 2 ]\nC [ 3 4 ]\nG [5 6]\nT [ 7 8 ]\n",
     {"MA1.1_Some_factor": [[1, 3, 5, 7], [2, 4, 6, 8]]}),
    ("b.pfm", ">MA2.1 X\n1 2\n3 4\n5 6\n7 8\n", {"MA2.1_X": [[1, 3, 5, 7], [2, 4, 6, 8]]}),
    ("plain.pfm", "1 2\n3 4\n5 6\n7 8\n", {"plain": [[1, 3, 5, 7], [2, 4, 6, 8]]}),
    ("c.meme", MEME, {"m1_first_one": [[10, 10, 0, 0], [0, 0, 20, 0], [5, 5, 5, 5]],
                      "m2": [[100, 0, 0, 0], [0, 0, 0, 100]]}),
])
def test_motif_formats(tmp_path, name, text, expected):
    (tmp_path / name).write_text(text)
    found = motifs.read_motifs([tmp_path / name])
    assert {m.name: m.counts.tolist() for m in found} == expected


@pytest.mark.parametrize("name, text, said", [
    ("a.jaspar", ">MA1.1 X\nA [ 1 2 ]\nC [ 3 4 ]\nG [ 5 ]\nT [ 7 8 ]\n", "line 1: motif MA1.1_X"),
    ("b.jaspar", ">MA1.1 X\nA [ 1 2 ]\nC [ 3 x ]\nG [ 5 6 ]\nT [ 7 8 ]\n", "line 3: count of C"),
    ("c.pfm", "1 2\n3 4\n5 6\n", "line 3: a .pfm file without '>' lines holds four rows"),
    ("d.meme", MEME.replace("0 0 1 0", "0 0 1"), "line 11: motif m1_first_one: a row of 3"),
    ("e.meme", MEME.replace("w= 2", "w= 3"), "motif m2: w= 3 but 2 rows"),
    ("f.jaspar", "", "no motif in the file"),
])
def test_broken_motif_files(tmp_path, name, text, said):
    (tmp_path / name).write_text(text)
    with pytest.raises(motifs.MotifError) as error:
        motifs.read_motifs([tmp_path / name])
    assert str(tmp_path / name) in str(error.value) and said in str(error.value)


def corlap(*args):
    return subprocess.run([sys.executable, "-m", "corlap", *map(str, args)],
                          capture_output=True, timeout=120)


def test_command_from_motifs_to_footprints(genome_fasta, tmp_path):
    import pyBigWig

    run = corlap("scan", "--motifs", EXAMPLE_MOTIFS, "-f", genome_fasta, "-o", "-",
                 "--p-value", "1e-3", "-p", "2")
    assert run.returncode == 0, run.stderr
    lines = run.stdout.decode().splitlines()
    assert lines[0] == "#chrom\tstart\tend\tname\tscore\tstrand\tp_value"
    assert "# CX0001.1_GATC_box threshold " in run.stdout.decode()
    assert b"4 motifs" in run.stderr and b"hits" in run.stderr
    # Worker processes and the genome's background: the bytes of a run in
    # this thread.
    scan.write_sites(genome_fasta, [EXAMPLE_MOTIFS], tmp_path / "inline.bed", p_value=1e-3)
    assert (tmp_path / "inline.bed").read_bytes() == run.stdout
    sites = tmp_path / "sites.bed"
    sites.write_bytes(run.stdout)
    # A flat signal: footprints reads the sites as they are.
    lengths = scan.genome_lengths(genome_fasta)
    with pyBigWig.open(str(tmp_path / "s.bw"), "w") as signal:
        signal.addHeader(list(lengths.items()))
        signal.addEntries(list(lengths), [0] * len(lengths), ends=list(lengths.values()),
                          values=[1.0] * len(lengths))
    footprints = corlap("footprints", "--signal", tmp_path / "s.bw", "--sites", sites,
                        "--table", tmp_path / "t.tsv", "--background", 100)
    assert footprints.returncode == 0, footprints.stderr
    rows = (tmp_path / "t.tsv").read_text().splitlines()
    assert len(rows) - 1 == sum(1 for line in lines if not line.startswith("#"))


@pytest.mark.parametrize("args, said", [
    (["--motifs", "missing.jaspar"], b"cannot read motif file 'missing.jaspar'"),
    (["--motifs", EXAMPLE_MOTIFS, "--background", "0.1", "0.2"], b"--background:"),
    (["--motifs", EXAMPLE_MOTIFS, "--pseudocount", "0"], b"--pseudocount must be above 0"),
])
def test_command_errors(genome_fasta, tmp_path, args, said):
    run = corlap("scan", "-f", genome_fasta, "-o", tmp_path / "x.bed", *args)
    assert run.returncode == 2 and said in run.stderr
    assert len(run.stderr.splitlines()) == 1
    assert not (tmp_path / "x.bed").exists()
