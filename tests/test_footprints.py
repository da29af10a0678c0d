"""corlap footprints: the per-site columns, the profile and the track against
the formulas computed here with NumPy; bad input.  The simulated assay is
in test_assay."""

import concurrent.futures
import gzip
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from corlap import footprints
from corlap.__main__ import main

LENGTHS = {"c1": 1200, "c2": 700}
# Positions with no value.
GAPS = {"c1": [(300, 340), (600, 700)], "c2": [(0, 20)]}


@pytest.fixture(scope="module")
def signal(tmp_path_factory):
    """A bigWig with gaps, and its values (NaN: none) as written."""
    import pyBigWig

    path = tmp_path_factory.mktemp("signal") / "signal.bw"
    rng = np.random.default_rng(3)
    arrays = {}
    handle = pyBigWig.open(str(path), "w")
    handle.addHeader(list(LENGTHS.items()))
    for chrom, length in LENGTHS.items():
        values = rng.normal(2.0, 1.5, length).astype(np.float32).astype(np.float64)
        for a, b in GAPS[chrom]:
            values[a:b] = np.nan
        arrays[chrom] = values
        present = np.flatnonzero(~np.isnan(values))
        handle.addEntries(chrom, present.tolist(), values=values[present].tolist(), span=1)
    handle.close()
    return path, arrays


def mean(values, a, b):
    """Mean of the present values of positions a..b-1 (clipped): a running
    sum, in position order."""
    window = values[max(a, 0):max(min(b, len(values)), 0)]
    present = window[~np.isnan(window)]
    return np.cumsum(present)[-1] / len(present) if len(present) else np.nan


def running(values, a, b, of=lambda x: x):
    """(sum of of(value), count) over the present values of a..b-1, added
    in position order."""
    window = values[max(a, 0):max(min(b, len(values)), 0)]
    present = window[~np.isnan(window)]
    return (np.cumsum(of(present))[-1] if len(present) else 0.0), len(present)


def site_columns(values, start, end, strand, flank):
    """footprint, difference, centre, flank_left, flank_right."""
    centre = mean(values, start, end)
    before, after = mean(values, start - flank, start), mean(values, end, end + flank)
    left, right = (after, before) if strand == "-" else (before, after)
    difference = (left + right) / 2 - centre
    ranges = [(start - flank, start), (start, end), (end, end + flank)]
    parts = [running(values, a, b) for a, b in ranges]
    count = sum(n for _, n in parts)
    if not count or np.isnan(difference):
        return np.nan, difference, centre, left, right
    m = (parts[0][0] + parts[1][0] + parts[2][0]) / count
    squares = [running(values, a, b, lambda x: (x - m) * (x - m))[0] for a, b in ranges]
    spread = np.sqrt((squares[0] + squares[1] + squares[2]) / count)
    return difference / spread, difference, centre, left, right


def number(text):
    return np.nan if text == "" else float(text)


SITES = [  # chrom, start, end, strand
    ("c1", 0, 5, "+"), ("c1", 1195, 1200, "-"), ("c1", 1180, 1200, "+"),
    ("c1", 310, 320, "+"),              # inside a gap: no centre
    ("c1", 340, 352, "+"), ("c1", 340, 352, "-"),  # a flank all in the gap
    ("c1", 100, 1100, "-"),             # wider than the chunks of the track tests
    ("c2", 10, 30, "-"), ("c2", 395, 407, "+"), ("c2", 50, 50, "+"),
    ("c2", 690, 720, "-"),             # runs off its sequence
] + [("c1" if k % 3 else "c2", s, s + 12, "+-"[k % 2])
     for k, s in enumerate(range(40, 600, 37))]


def lower_median(widths):
    return sorted(widths)[(len(widths) - 1) // 2]


def test_per_motif_columns_backgrounds_summaries_and_profile_follow_the_formulas(
        signal, tmp_path, capsys):
    path, values = signal
    flank, drawn, alpha = 7, 9, 0.2
    motifs = ["m1" if k % 3 == 0 else "m2" for k in range(len(SITES))]
    bed = tmp_path / "sites.bed"
    bed.write_text("".join(f"{c}\t{a}\t{b}\t{m}\t{k}\t{s}\n"
                           for k, ((c, a, b, s), m) in enumerate(zip(SITES, motifs))))
    # A region of one base: every background draw of a motif is the
    # interval of its median width centred there.
    (tmp_path / "one.bed").write_text("c2\t401\t402\n")
    table, profile, summary = (tmp_path / name for name in ("t.tsv", "p.tsv", "m.tsv"))
    assert main(["footprints", "--signal", str(path), "--sites", str(bed), "--table",
                 str(table), "--profile", str(profile), "--motifs-table", str(summary),
                 "--regions", str(tmp_path / "one.bed"), "--flank", str(flank),
                 "--background", str(drawn), "--alpha", str(alpha)]) == 0
    background = {}
    for motif in ("m1", "m2"):
        width = lower_median([b - a for (_, a, b, _), m in zip(SITES, motifs)
                              if m == motif and b > a])
        background[motif] = site_columns(values["c2"], 401 - width // 2,
                                         401 - width // 2 + width, "+", flank)[0]
    lines = table.read_text().splitlines()
    assert lines[0].split("\t") == list(footprints.TABLE_COLUMNS)
    reach = flank + 50
    sums = {(m, g): np.zeros(2 * reach + 1) for m in ("m1", "m2") for g in (0, 1)}
    counts = {key: np.zeros(2 * reach + 1, int) for key in sums}
    per_motif = {m: [] for m in ("m1", "m2")}
    for k, ((chrom, start, end, strand), motif, line) in enumerate(
            zip(SITES, motifs, lines[1:], strict=True)):
        row = line.split("\t")
        assert row[:6] == [chrom, str(start), str(end), motif, str(k), strand]
        expected = site_columns(values[chrom], start, end, strand, flank) if end > start \
            else (np.nan,) * 5
        np.testing.assert_array_equal([number(x) for x in row[6:11]], expected)
        if np.isnan(expected[0]):
            assert row[11:] == ["", ""]
            continue
        p = 1.0 if expected[0] <= background[motif] else 1 / (drawn + 1)
        assert (float(row[11]), row[12]) == (p, str(int(p <= alpha)))
        per_motif[motif].append((expected[0], p <= alpha))
        centre = start + (end - start) // 2 if strand == "+" else end - 1 - (end - start) // 2
        for j, offset in enumerate(range(-reach, reach + 1)):
            at = centre + (offset if strand == "+" else -offset)
            if 0 <= at < LENGTHS[chrom] and not np.isnan(values[chrom][at]):
                sums[motif, int(p <= alpha)][j] += values[chrom][at]
                counts[motif, int(p <= alpha)][j] += 1
    got = {row.split("\t")[0]: row.split("\t")[1:]
           for row in summary.read_text().splitlines()[1:]}
    assert list(got) == ["m1", "m2"]
    for motif, scored in per_motif.items():
        assert got[motif][:3] == [str(motifs.count(motif)), str(len(scored)),
                                  str(sum(b for _, b in scored))]
        np.testing.assert_allclose(float(got[motif][3]), np.mean([f for f, _ in scored]),
                                   rtol=1e-13)
    import csv
    with open(profile) as stream:
        rows = list(csv.DictReader((line for line in stream if not line.startswith("#")),
                                   delimiter="\t"))
    for motif in ("m1", "m2"):
        mine = [r for r in rows if r["motif"] == motif]
        assert [int(r["offset"]) for r in mine] == list(range(-reach, reach + 1))
        for column, group in (("bound", [1]), ("unbound", [0]), ("all", [0, 1])):
            total = sum(sums[motif, g] for g in group)
            count = sum(counts[motif, g] for g in group)
            np.testing.assert_allclose([number(r[column]) for r in mine],
                                       np.where(count > 0, total / np.maximum(count, 1), np.nan),
                                       rtol=1e-12)
            assert [int(r[column + "_values"]) for r in mine] == count.tolist()
    expected = np.array([site_columns(values[c], a, b, s, flank)[1:3]
                         for c, a, b, s in SITES if b > a])
    empty = sum(b == a for _, a, b, _ in SITES)
    no_centre = int(np.isnan(expected[:, 1]).sum())
    no_flank = int(np.isnan(expected[:, 0]).sum()) - no_centre
    unscored = empty + no_centre + no_flank
    bound = sum(b for scored in per_motif.values() for _, b in scored)
    assert (f"{len(SITES)} sites of 2 motifs read, {len(SITES) - unscored} scored, {unscored} "
            f"without a score ({empty} zero-width (start = end), {no_centre} with no value over "
            f"the site, {no_flank} with a flank without a value); {bound} bound") \
        in capsys.readouterr().err
    # A site whose values are all equal has no spread and a footprint of 0.
    np.testing.assert_array_equal(
        footprints.site_score(np.array([0.0, np.nan]), np.array([0.0, np.nan])), [0.0, np.nan])


def read_bedgraph(path):
    values = {chrom: np.full(length, np.nan) for chrom, length in LENGTHS.items()}
    for line in pathlib.Path(path).read_text().splitlines():
        chrom, a, b, value = line.split("\t")
        values[chrom][int(a):int(b)] = float(value)
    return values


def read_bigwig(path):
    import pyBigWig

    handle = pyBigWig.open(str(path))
    try:
        return {chrom: handle.values(chrom, 0, length, numpy=True)
                for chrom, length in LENGTHS.items()}
    finally:
        handle.close()


@pytest.mark.parametrize("half, flank", [(10, 30), (0, 1), (3, 200)])
def test_track_follows_the_formulas_whatever_the_chunks(signal, tmp_path, half, flank):
    path, values = signal
    regions = [footprints.bed.Site("c1", 250, 800), footprints.bed.Site("c2", 0, 700)]
    written = {}
    for chunk_size, executor in ((1_000_000, None), (97, None),
                                 (97, concurrent.futures.ThreadPoolExecutor(2))):
        for suffix in (".bedgraph", ".bw"):
            out = tmp_path / f"track{chunk_size}{executor is None}{suffix}"
            footprints.write_track(path, out, regions=regions, half_width=half, flank=flank,
                                   executor=executor, chunk_size=chunk_size)
            written[chunk_size, executor is None, suffix] = out
        if executor is not None:
            executor.shutdown()
    # The same bytes whatever ran the tasks, the same values whatever the chunks.
    assert written[97, True, ".bw"].read_bytes() == written[97, False, ".bw"].read_bytes()
    got = read_bedgraph(written[97, False, ".bedgraph"])
    for key in ((1_000_000, True, ".bedgraph"), (1_000_000, True, ".bw")):
        other = read_bigwig(written[key]) if key[2] == ".bw" else read_bedgraph(written[key])
        for chrom in LENGTHS:
            np.testing.assert_array_equal(
                other[chrom], got[chrom].astype(np.float32) if key[2] == ".bw" else got[chrom])
    for region in regions:
        signal_values = values[region.chrom]
        expected = [(mean(signal_values, p - half - flank, p - half)
                     + mean(signal_values, p + half + 1, p + half + 1 + flank)) / 2
                    - mean(signal_values, p - half, p + half + 1)
                    for p in range(region.start, region.end)]
        np.testing.assert_array_equal(got[region.chrom][region.start:region.end], expected)
    assert np.isnan(got["c1"][:250]).all() and np.isnan(got["c1"][800:]).all()


def test_worker_processes_write_the_same_bytes(signal, tmp_path):
    path, _ = signal
    inline = tmp_path / "inline.bw"
    footprints.write_track(path, inline, chunk_size=113)
    pooled = tmp_path / "pooled.bw"
    assert main(["footprints", "--signal", str(path), "--track", str(pooled), "-p", "2",
                 "--chunk-size", "113", "-q"]) == 0
    assert pooled.read_bytes() == inline.read_bytes()


def test_sites_from_standard_input_gzip_with_a_plot(signal, tmp_path):
    pytest.importorskip("matplotlib")
    path, _ = signal
    text = "".join(f"{c}\t{a}\t{b}\tn\t0\t{s}\n" for c, a, b, s in SITES)
    (tmp_path / "s.bed").write_text(text)
    plain = tmp_path / "plain.tsv"
    assert main(["footprints", "--signal", str(path), "--sites", str(tmp_path / "s.bed"),
                 "--table", str(plain), "-q"]) == 0
    piped = tmp_path / "piped.tsv"
    done = subprocess.run([sys.executable, "-m", "corlap", "footprints", "--signal", str(path),
                           "--sites", "-", "--table", str(piped), "--plot",
                           str(tmp_path / "profile.png"), "-q"],
                          input=gzip.compress(text.encode()), capture_output=True)
    assert done.returncode == 0, done.stderr
    assert piped.read_bytes() == plain.read_bytes()
    assert (tmp_path / "profile.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def sparse_signal(tmp_path_factory):
    """A bigWig with values at every other position only."""
    import pyBigWig

    path = tmp_path_factory.mktemp("sparse") / "sparse.bw"
    handle = pyBigWig.open(str(path), "w")
    handle.addHeader([("c1", 20_000)])
    present = list(range(0, 20_000, 2))
    handle.addEntries("c1", present, values=[1.0 + (k % 7) for k in present], span=1)
    handle.close()
    return path


def test_background_holds_the_number_of_positions_asked(sparse_signal, tmp_path, capsys):
    """Half the positions have no value: draws go on until exactly the
    number asked have one, never more."""
    bed = tmp_path / "sites.bed"
    bed.write_text("c1\t1000\t1010\nc1\t5000\t5012\n")
    assert main(["footprints", "--signal", str(sparse_signal), "--sites", str(bed),
                 "--table", str(tmp_path / "t.tsv"), "--background", "100", "--flank", "5"]) == 0
    assert "background of 100 scores" in capsys.readouterr().err


@pytest.mark.parametrize("stop_in", ["second file's sync", "directory's sync"])
def test_the_track_and_the_table_are_one_set(stop_in, signal, tmp_path, monkeypatch, capsys):
    """A stop before the renames leaves both as they were; one during them
    is taken once both are in place."""
    from conftest import stop_while_committing

    path, _ = signal
    bed, table, track = tmp_path / "s.bed", tmp_path / "t.tsv", tmp_path / "f.bw"
    bed.write_text("c1\t500\t512\n")
    for output in (table, track):
        output.write_bytes(b"earlier")
    stop_while_committing(monkeypatch, stop_in)
    assert main(["footprints", "--signal", str(path), "--sites", str(bed), "--table",
                 str(table), "--track", str(track), "--background", "20", "-p", "1"]) == 130
    err = capsys.readouterr().err
    if stop_in == "second file's sync":
        assert err.endswith("interrupted; no output written\n")
        assert table.read_bytes() == track.read_bytes() == b"earlier"
    else:
        assert err.endswith(f"the outputs are complete: {track} and {table} written\n")
        assert table.read_text().startswith("chrom\t") and track.read_bytes() != b"earlier"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.bw", "s.bed", "t.tsv"]


def test_a_site_of_no_base_gets_empty_columns_and_changes_nothing_else(signal, tmp_path,
                                                                      capsys):
    path, _ = signal
    site, empty = "c1\t500\t512\ta\t0\t+\n", "c1\t100\t100\tz\t0\t-\n"
    runs = []
    for text in (site, empty + site):
        (tmp_path / "s.bed").write_text(text)
        assert main(["footprints", "--signal", str(path), "--sites", str(tmp_path / "s.bed"),
                     "--table", str(tmp_path / "t.tsv"), "--background", "50"]) == 0
        runs.append((tmp_path / "t.tsv").read_text().splitlines())
        runs[-1] += capsys.readouterr().err.split("; ")[1:3]
    assert runs[1][1] == "c1\t100\t100\tz\t0\t-" + "\t" * 7
    assert runs[1][2:] == runs[0][1:]       # the other site, the background and bound
    (tmp_path / "s.bed").write_text(empty)
    assert main(["footprints", "--signal", str(path), "--sites", str(tmp_path / "s.bed"),
                 "--table", str(tmp_path / "t.tsv")]) == 2
    assert "every site is 0 bases wide" in capsys.readouterr().err


@pytest.mark.parametrize("case, said", [
    ("unknown sequence", "sequence 'chrZ' is not in the signal"),
    ("empty", "no sites"),
    ("not a bigwig", "is not a bigWig file"),
    ("flank 0", "--flank must be at least 1"),
])
def test_bad_input_gives_one_line_and_no_file(signal, tmp_path, capfd, case, said):
    path, _ = signal
    bed = tmp_path / "sites.bed"
    bed.write_text({"unknown sequence": "c1\t5\t10\nchrZ\t5\t10\n", "empty": "# none\n"}
                   .get(case, "c1\t5\t10\n"))
    if case == "not a bigwig":
        path = tmp_path / "signal.bw"
        path.write_text("c1\t0\t10\t1.0\n")
    outputs = [tmp_path / "t.tsv", tmp_path / "track.bw"]
    assert main(["footprints", "--signal", str(path), "--sites", str(bed), "--table",
                 str(outputs[0]), "--track", str(outputs[1]),
                 "--flank", "0" if case == "flank 0" else "30"]) == 2
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 1 and said in lines[0], lines
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["sites.bed"] + (["signal.bw"] if case == "not a bigwig" else []))


# --- every motif, two conditions -------------------------------------------------

PAIR_LENGTH, PAIR_MOTIFS = 120_000, ("gain", "loss", "same1", "same2", "same3", "same4")


def write_signal(path, values):
    import pyBigWig

    handle = pyBigWig.open(str(path), "w")
    handle.addHeader([("chrS", len(values))])
    handle.addEntries("chrS", 0, values=values.astype(np.float32).astype(float).tolist(),
                      span=1, step=1)
    handle.close()


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    """Two conditions of a simulated assay, the second from a library 1.6
    times as deep with noise of its own: motif "gain" is bound at 20 % of its
    sites in the first and 80 % in the second, "loss" the other way round,
    the others at 50 % in both.  Returns the directory (ctrl.bw, treated.bw,
    sites.bed, peaks.bed)."""
    directory = tmp_path_factory.mktemp("pair")
    rng = np.random.default_rng(8)
    peaks = [(start, start + 400) for start in range(1_000, PAIR_LENGTH - 1_000, 1_000)]
    access = np.full(PAIR_LENGTH, 0.3)
    for a, b in peaks:
        access[a:b] = rng.lognormal(np.log(4.0), 0.4)
    sites, rates = [], ({"gain": (0.2, 0.8), "loss": (0.8, 0.2)})
    protected = [np.ones(PAIR_LENGTH), np.ones(PAIR_LENGTH)]
    for k, (a, _) in enumerate(peaks):
        for j, offset in enumerate((60, 200, 330)):
            motif = PAIR_MOTIFS[(3 * k + j) % len(PAIR_MOTIFS)]
            start, strand = a + offset + int(rng.integers(-10, 10)), "+-"[int(rng.integers(2))]
            sites.append(f"chrS\t{start}\t{start + 12}\t{motif}\t0\t{strand}\n")
            for condition, rate in enumerate(rates.get(motif, (0.5, 0.5))):
                if rng.random() < rate:
                    protected[condition][start:start + 12] = rng.uniform(0.05, 0.3)
    (directory / "sites.bed").write_text("".join(sites))
    (directory / "peaks.bed").write_text("".join(f"chrS\t{a}\t{b}\n" for a, b in peaks))
    for name, depth, condition in (("ctrl", 3.0, 0), ("treated", 4.8, 1)):
        write_signal(directory / f"{name}.bw",
                     rng.poisson(depth * access * protected[condition]).astype(float))
    return directory


def motif_rows(path):
    lines = pathlib.Path(path).read_text().splitlines()
    header = lines[0].split("\t")
    return {row[0]: dict(zip(header, row)) for row in (line.split("\t") for line in lines[1:])}


def run_pair(directory, signals, out, *extra, names=("ctrl", "treated")):
    assert main(["footprints", "--signal", *map(str, signals), "--names", *names, "--sites",
                 str(directory / "sites.bed"), "--regions", str(directory / "peaks.bed"),
                 "--motifs-table", str(out / "motifs.tsv"), "--table", str(out / "sites.tsv"),
                 "-q", *extra]) == 0
    return motif_rows(out / "motifs.tsv")


def test_a_deeper_library_changes_no_motif(pair, tmp_path):
    import pyBigWig

    handle = pyBigWig.open(str(pair / "ctrl.bw"))
    write_signal(tmp_path / "deeper.bw", 2 * handle.values("chrS", 0, PAIR_LENGTH, numpy=True))
    handle.close()
    rows = run_pair(pair, [pair / "ctrl.bw", tmp_path / "deeper.bw"], tmp_path)
    assert sorted(rows) == sorted(PAIR_MOTIFS)
    for row in rows.values():
        assert abs(float(row["change"])) < 1e-12 and float(row["q_value_change"]) > 0.05
        assert row["bound_ctrl"] == row["bound_treated"]
    header = (tmp_path / "sites.tsv").read_text().splitlines()[0].split("\t")
    assert header == list(footprints.table_columns(("ctrl", "treated")))


def test_motifs_that_gain_and_lose_binding_rank_first(pair, tmp_path):
    pytest.importorskip("matplotlib")
    rows = run_pair(pair, [pair / "ctrl.bw", pair / "treated.bw"], tmp_path,
                    "--plot-changes", str(tmp_path / "volcano.png"))
    ranked = sorted(rows, key=lambda motif: float(rows[motif]["p_value_change"]))
    assert set(ranked[:2]) == {"gain", "loss"}, rows
    assert float(rows["gain"]["change"]) > 0 > float(rows["loss"]["change"])
    assert max(float(rows[m]["q_value_change"]) for m in ("gain", "loss")) <= 0.01
    assert int(rows["gain"]["bound_treated"]) > int(rows["gain"]["bound_ctrl"])
    assert (tmp_path / "volcano.png").read_bytes()[:4] == b"\x89PNG"


def test_outputs_do_not_depend_on_workers_chunks_or_line_order(pair, tmp_path, monkeypatch):
    lines = (pair / "sites.bed").read_text().splitlines(keepends=True)
    order = np.random.default_rng(1).permutation(len(lines))
    shuffled = tmp_path / "shuffled.bed"
    shuffled.write_text("".join(lines[k] for k in order))
    outputs = {}
    for case, bed, extra in (("plain", pair / "sites.bed", []),
                             ("small", pair / "sites.bed", ["--chunk-size", "1000", "-p", "2"]),
                             ("shuffled", shuffled, ["--chunk-size", "2000"])):
        out = tmp_path / case
        out.mkdir()
        # Blocks of a few hundred sites (the signal is read once per block),
        # each of several pieces of the file.
        monkeypatch.setattr(footprints, "_BLOCK", 1 << 20 if case == "plain" else 97)
        monkeypatch.setattr(footprints, "_CHUNK", 1 << 22 if case == "plain" else 1500)
        assert main(["footprints", "--signal", str(pair / "ctrl.bw"), str(pair / "treated.bw"),
                     "--sites", str(bed), "--regions", str(pair / "peaks.bed"), "-q",
                     "--table", str(out / "t.tsv"), "--motifs-table", str(out / "m.tsv"),
                     "--profile", str(out / "p.tsv"), *extra]) == 0
        outputs[case] = [(out / name).read_text() for name in ("t.tsv", "m.tsv", "p.tsv")]
    assert outputs["small"] == outputs["plain"]
    table = outputs["plain"][0].splitlines(keepends=True)
    assert outputs["shuffled"][0] == table[0] + "".join(table[1 + k] for k in order)
    assert outputs["shuffled"][1:] == outputs["plain"][1:]


def test_misuse_is_said_and_outputs_read_as_documented(pair, tmp_path, capfd):
    pytest.importorskip("matplotlib")
    three = tmp_path / "three.bed"
    three.write_text("".join("\t".join(line.split("\t")[:3]) + "\n" for line in
                             (pair / "sites.bed").read_text().splitlines()))
    far = tmp_path / "far.bed"
    far.write_text("chrS\t0\t500\n")
    for sites, regions, said in ((three, None, ["no strand", "no --regions"]),
                                 (pair / "sites.bed", far, ["no site lies in --regions"])):
        assert main(["footprints", "--signal", str(pair / "ctrl.bw"), "--sites", str(sites),
                     "--table", str(tmp_path / "t.tsv"), "--profile", str(tmp_path / "p.tsv"),
                     "--plot", str(tmp_path / "p.png")]
                    + (["--regions", str(regions)] if regions else [])) == 0
        err = capfd.readouterr().err
        assert all(words in err for words in said), err
        assert err.count("warning:") == len(said)
    # BED6 and more columns, but never the 12 that BED12 readers expect.
    assert len((tmp_path / "t.tsv").read_text().splitlines()[1].split("\t")) not in (12,)
    profile = [line for line in (tmp_path / "p.tsv").read_text().splitlines()
               if not line.startswith("#")]
    assert profile[0].split("\t")[:3] == ["motif", "offset", "all"]
    assert {len(line.split("\t")) for line in profile} == {8}


@pytest.mark.parametrize("t, df", [(2.228, 10), (2.571, 5), (2.042, 30), (12.706, 1),
                                   (1.96, 1e6)])
def test_two_sided_p_of_student_t_at_the_tables_5_per_cent(t, df):
    assert 2 * footprints._t_sf(t, df) == pytest.approx(0.05, abs=2e-4)
