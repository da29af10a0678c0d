"""The extension's reader (corlap._alignments, htslib's index and iterator)
through corlap.reads, against pysam's iteration and a model of what an
index query returns: hostile reads by region, BAM and CRAM, the index
beside the file in each naming, a CSI index far along a long chromosome,
two indexes beside one file, damaged indexes and files, and threads
sharing a reader."""

import contextlib
import dataclasses
import functools
import os
import re
import shutil
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pysam
import pytest

from corlap import reads
from corlap._alignments import BamReader

HOSTILE = {"chrA": 200_000, "chrEmpty": 5_000, "chrLong": 3_000_000, "chrB": 40_000}
BIG = {"big1": 1_500_000, "big2": 600_000}
MAPQS = (0, 1, 30, 60)
LEFT_OUT = 0x4 | 0x100 | 0x200 | 0x400 | 0x800
BASES = "ACGTTGCA" * 40
WHOLE = 2 ** 62
WINDOW = 16384      # of the linear index, and the smallest bins


@dataclasses.dataclass
class Bam:
    path: str
    lengths: dict
    table: dict         # numpy columns of the reads, in file order


@functools.cache
def _span(cigar):
    return sum(int(n) for n, op in re.findall(r"(\d+)([MIDNSHP=X])", cigar) if op in "MDN=X")


def _write_bam(path, lengths, rows):
    """rows (tid, pos, flag, mapq, cigar or None), written sorted by
    coordinate (unplaced reads last) and indexed beside as .bam.bai."""
    rows = sorted(rows, key=lambda row: (row[0] if row[0] >= 0 else len(lengths), row[1]))
    header = {"HD": {"VN": "1.6", "SO": "coordinate"},
              "SQ": [{"SN": name, "LN": length} for name, length in lengths.items()]}
    with pysam.AlignmentFile(path, "wb", header=header) as out:
        read = pysam.AlignedSegment(out.header)
        for k, (tid, pos, flag, mapq, cigar) in enumerate(rows):
            read.query_name, read.flag, read.mapping_quality = f"r{k}", flag, mapq
            read.reference_id, read.reference_start, read.cigarstring = tid, pos, cigar
            read.query_sequence = BASES[:read.infer_query_length() if cigar else 12]
            out.write(read)
    pysam.index(path)
    tid, pos, flag, mapq = (np.array([row[k] for row in rows]) for k in range(4))
    cigar = np.array([row[4] is not None for row in rows])
    # htslib's end of a read: an unmapped one, or one covering no reference, covers one base.
    span = np.array([_span(row[4]) if row[4] else 0 for row in rows]) * ((flag & 4) == 0)
    table = dict(tid=tid, pos=pos, end=pos + np.maximum(span, 1), flag=flag, mapq=mapq,
                 cigar=cigar)
    return Bam(path, lengths, table)


def _random_cigar(rng, length):
    kind = rng.integers(10)
    if kind == 0:
        return None
    if kind == 1:       # covers no reference
        return str(rng.choice(["5S3I", "4I", "2S1I3S", "7S", "3H4S2I1S5H"]))
    gaps = [gap for gap in (120_000, 1_100_000, 2_000_000) if gap < length - 200]
    if kind == 2 and gaps:      # in the high-level bins
        return f"{rng.integers(1, 50)}M{rng.choice(gaps)}N{rng.integers(1, 50)}M"
    if kind < 6:
        return f"{rng.integers(1, 200)}M"
    parts = [f"{rng.integers(1, 6)}H"] * (rng.random() < .3) + [f"{rng.integers(1, 20)}S"]
    for k in range(rng.integers(1, 5)):
        if k:
            op = rng.choice(list("IDNP"))
            parts.append(f"{rng.integers(1, length // 8 if op == 'N' else 30)}{op}")
        parts.append(f"{rng.integers(1, 40)}{rng.choice(list('M=X'))}")
    return "".join(parts + [f"{rng.integers(1, 9)}S", "2H"][:rng.integers(0, 3)])


def _random_flag(rng):
    flag = int(rng.choice([0, 0x10, 0x1 | 0x40 | 0x20, 0x1 | 0x80 | 0x10]))
    for bit in (0x100, 0x200, 0x400, 0x800, 0x4 | 0x1):     # last: unmapped beside its mate
        flag |= bit * (rng.random() < .05)
    return flag


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    rng = np.random.default_rng(20240611)
    lengths = list(HOSTILE.values())
    rows = [(-1, -1, 0x4, 0, None)] * 30       # unplaced, at the end of the file
    for _ in range(4000):
        tid = int(rng.choice([0, 2, 3], p=[.5, .3, .2]))
        length, cigar = lengths[tid], _random_cigar(rng, lengths[tid])
        room = length - max(_span(cigar) if cigar else 0, 1)
        where = rng.random()
        pos = (0 if where < .1 else room if where < .2
               else min(length // 2 + int(rng.integers(0, 40_000)), room) if where < .5
               else int(rng.integers(0, room + 1)))
        rows.append((tid, pos, _random_flag(rng), int(rng.integers(0, 61)), cigar))
    return _write_bam(str(tmp_path_factory.mktemp("hostile") / "reads.bam"), HOSTILE, rows)


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    rng = np.random.default_rng(7)
    rows = []
    for tid, length in enumerate(BIG.values()):
        count = 200_000 * length // sum(BIG.values())
        for pos, span, flag, mapq in zip(rng.integers(0, length - 100, count),
                                         rng.integers(20, 80, count),
                                         rng.choice([0, 0x10, 0x10, 0x400, 0x100], count),
                                         rng.integers(0, 61, count)):
            cigar = f"{span}M" if span % 3 else f"3S{span // 2}M2D{span // 2}M1I"
            rows.append((tid, int(pos), int(flag), int(mapq), cigar))
    return _write_bam(str(tmp_path_factory.mktemp("big") / "reads.bam"), BIG, rows)


def _model(bam, chrom, first, last, mapq):
    """What _fetch_ends must give, from the reads written."""
    t = bam.table
    region = ((first < last) & (t["tid"] == list(bam.lengths).index(chrom)) & (t["pos"] < last)
              & (t["end"] > first))
    dropped = ((t["flag"] & LEFT_OUT) != 0) | (t["mapq"] < mapq)
    reverse = (t["flag"] & 0x10) != 0
    taken = region & ~dropped
    return (t["pos"][taken & ~reverse], t["end"][taken & reverse & t["cigar"]],
            int(np.count_nonzero(region & (dropped | (reverse & ~t["cigar"])))))


def _regions(rng, lengths, count):
    regions = [(chrom, None, None) for chrom in lengths]
    names = list(lengths)
    for _ in range(count):
        chrom = names[rng.integers(len(names))]
        length, kind = lengths[chrom], rng.integers(6)
        first = int(rng.integers(0, length))
        if kind == 0:
            last = first + 1
        elif kind == 1:     # on and beside the 16 kbp windows of the index
            first = max(WINDOW * int(rng.integers(length // WINDOW + 2)) - int(rng.integers(2)), 0)
            last = first + int(rng.choice([1, WINDOW, WINDOW + 1, 3 * WINDOW]))
        elif kind == 2:     # reaching or lying past the end
            first = length + int(rng.integers(-300, 30_000))
            last = first + int(rng.integers(0, 200_000))
        elif kind == 3:     # empty or reversed
            last = max(first - int(rng.integers(0, 40)), 0)
        else:
            last = first + int(rng.integers(1, 60_000))
        regions.append((chrom, first, last))
    return regions


def _listed(found):
    return found[0].tolist(), found[1].tolist(), found[2]


def _check_regions(native, bam, regions, mapqs):
    """native == pysam == the model over the regions; the reads seen."""
    seen = 0
    with pysam.AlignmentFile(bam.path) as iterated:
        for chrom, first, last in regions:
            for mapq in mapqs:
                got = reads._fetch_ends(native, chrom, first, last, mapq, bam.path)
                wanted = [_model(bam, chrom, first or 0, WHOLE if last is None else last, mapq)]
                if first is None or first <= last:      # pysam refuses first > last
                    wanted.append(reads._fetch_ends(iterated, chrom, first, last, mapq,
                                                    bam.path))
                for expected in wanted:
                    assert _listed(got) == _listed(expected), (chrom, first, last, mapq)
                seen += len(got[0]) + len(got[1]) + got[2]
    return seen


def _native(bam):
    reader = reads._open_for_regions(bam.path, None)
    assert isinstance(reader, BamReader)
    return reader


@pytest.mark.parametrize("mapqs", [MAPQS[:2], MAPQS[2:]])
def test_hostile_regions_match_pysam(hostile, mapqs):
    with _native(hostile) as native, pysam.AlignmentFile(hostile.path) as iterated:
        assert native.references == iterated.references == tuple(HOSTILE)
        assert native.lengths == iterated.lengths == tuple(HOSTILE.values())
        assert native.filename == hostile.path.encode()
        regions = _regions(np.random.default_rng(len(mapqs) + mapqs[0]), HOSTILE, 400)
        assert _check_regions(native, hostile, regions, mapqs) > 20_000
        # A name the file does not have: nothing (pysam refuses it).
        assert native.ends("chrZ", 0, WHOLE, 0) == (b"", b"", 0)


@pytest.mark.parametrize("made, name", [
    ((), "reads.bam.bai"), ((), "reads.bai"), (("-c",), "reads.bam.csi"), (("-c",), "reads.csi"),
    (("-c", "-m", "12"), "reads.bam.csi"),     # finer bins, one level deeper
])
def test_index_beside_in_each_naming(hostile, tmp_path, made, name):
    path = str(tmp_path / "reads.bam")
    shutil.copyfile(hostile.path, path)
    pysam.index(*made, path, str(tmp_path / name))
    assert sorted(os.listdir(tmp_path)) == sorted(["reads.bam", name])
    moved = dataclasses.replace(hostile, path=path)
    with _native(moved) as native:
        regions = _regions(np.random.default_rng(3), HOSTILE, 120)
        assert _check_regions(native, moved, regions, (0, 30)) > 5_000


def _write_fasta(path, lengths):
    with open(path, "w") as out:
        for name, length in lengths.items():
            out.write(f">{name}\n{'ACGTTGCA' * (length // 8) + 'A' * (length % 8)}\n")
    return str(path)


def test_cram_takes_the_same_path_and_an_unindexed_file_is_refused(hostile, tmp_path):
    bare = str(tmp_path / "bare.bam")
    shutil.copyfile(hostile.path, bare)
    with pytest.raises(reads.ReadsError, match=r"^\S+bare.bam: cannot read it \(.*index[^\n]*$"):
        reads._open_for_regions(bare, None)
    fasta, cram = _write_fasta(tmp_path / "ref.fa", HOSTILE), str(tmp_path / "reads.cram")
    # CRAM cannot hold a mapped read without a CIGAR: those are left out.
    t = hostile.table
    kept = t["cigar"] | ((t["flag"] & 4) != 0)
    with pysam.AlignmentFile(hostile.path) as source, \
            pysam.AlignmentFile(cram, "wc", template=source, reference_filename=fasta) as out:
        for read in source.fetch(until_eof=True):
            if read.cigarstring or read.is_unmapped:
                out.write(read)
    pysam.index(cram)
    as_cram = dataclasses.replace(hostile, path=cram,
                                  table={name: column[kept] for name, column in t.items()})
    with reads._open_for_regions(cram, fasta) as native:
        assert isinstance(native, BamReader) and native.references == tuple(HOSTILE)
        regions = _regions(np.random.default_rng(9), HOSTILE, 100)
        assert _check_regions(native, as_cram, regions, (0, 30)) > 5_000


def test_csi_far_along_a_long_chromosome(tmp_path):
    """Sparse reads over 130 Mbp, some spliced over megabases (so they sit
    in the high-level bins), queried by a .csi index where its bins are
    coarsest: the reads of an index query, and no others."""
    lengths = {"chrL": 130_000_000, "chrS": 5_000}
    rng = np.random.default_rng(13)
    rows = [(0, int(pos), int(flag), 40, "30M" if k % 7 else "20M4000000N20M")
            for k, (pos, flag) in enumerate(zip(
                np.sort(rng.integers(0, 125_000_000, 3_000)), rng.choice([0, 0x10], 3_000)))]
    rows += [(0, 129_999_970, 0x10, 40, "30M"), (1, 10, 0, 40, "30M")]
    bam = _write_bam(str(tmp_path / "long.bam"), lengths, rows)
    os.remove(bam.path + ".bai")
    pysam.index("-c", bam.path)
    regions = [("chrL", first, first + span) for first in rng.integers(100_000_000, 130_000_000, 60)
               for span in (1, 50_000, 3_000_000)] + [("chrL", None, None)]
    with _native(bam) as native:
        assert _check_regions(native, bam, regions, (0,)) > 3_000


def _bai_counts(data):
    """(kind, reference, offset) of the counts of bins and of linear
    windows of each reference of a .bai, and the chunks' offsets."""
    at, counts, chunks = 8, [], []
    for reference in range(int.from_bytes(data[4:8], "little")):
        counts.append(("bins", reference, at))
        bins, at = int.from_bytes(data[at:at + 4], "little"), at + 4
        for _ in range(bins):
            number = int.from_bytes(data[at:at + 4], "little")
            n = int.from_bytes(data[at + 4:at + 8], "little")
            chunks += [(reference, number, at + 8 + 16 * k) for k in range(n)]
            at += 8 + 16 * n
        counts.append(("windows", reference, at))
        at += 4 + 8 * int.from_bytes(data[at:at + 4], "little")
    return counts, chunks


SMALL = {"s1": 60_000, "s2": 60_000}


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    rng = np.random.default_rng(17)
    rows = [(int(tid), int(pos), int(flag), 40, "25M") for tid, pos, flag in
            zip(rng.integers(0, 2, 3_000), rng.integers(0, 59_000, 3_000),
                rng.choice([0, 0x10], 3_000))]
    directory = tmp_path_factory.mktemp("small")
    bam = _write_bam(str(directory / "reads.bam"), SMALL, rows)
    _write_fasta(directory / "genome.fa", SMALL)
    return bam


@contextlib.contextmanager
def _pysam(path):
    handle = pysam.AlignmentFile(path)
    yield handle
    with contextlib.suppress(OSError):     # pysam's close fails again after a read that failed
        handle.close()


def _outcome(handle, chrom, path):
    try:
        return _listed(reads._fetch_ends(handle, chrom, None, None, 0, path))
    except (reads.ReadsError, OSError):
        return "fails"


@pytest.mark.parametrize("good, bad", [
    ("reads.bam.csi", "reads.bam.bai"), ("reads.bam.bai", "reads.bam.csi"),
    ("reads.csi", "reads.bam.bai"), ("reads.bai", "reads.bam.csi"), ("reads.bam.bai", "reads.bai"),
    ("reads.bai", "reads.bam.bai"), ("reads.csi", "reads.bai"),
])
def test_two_indexes_beside_one_file_as_pysam_picks(small, big, tmp_path, good, bad):
    """One index of the file and one of another file beside it: the reads
    are those of the index pysam (htslib) takes, whichever it is."""
    path = str(tmp_path / "reads.bam")
    shutil.copyfile(small.path, path)
    pysam.index(*(("-c",) if good.endswith(".csi") else ()), path, str(tmp_path / good))
    other = str(tmp_path / "other.bam")
    shutil.copyfile(big.path, other)
    pysam.index(*(("-c",) if bad.endswith(".csi") else ()), other, str(tmp_path / bad))
    with _native(dataclasses.replace(small, path=path)) as native, \
            _pysam(path) as iterated:
        for chrom in SMALL:
            assert _outcome(native, chrom, path) == _outcome(iterated, chrom, path), chrom
    if good == "reads.bam.csi":     # htslib's first choice
        with _native(dataclasses.replace(small, path=path)) as native:
            assert _outcome(native, "s1", path) == _listed(_model(small, "s1", 0, WHOLE, 0))


def _corlap(*args):
    """Status, stderr and the peak resident memory (kB) of ``corlap ARGS``."""
    measure = ("import resource, subprocess, sys; "
               "done = subprocess.run(sys.argv[1:], capture_output=True, text=True); "
               "print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss); "
               "print(done.stderr, end='')")
    done = subprocess.run([sys.executable, "-c", measure, sys.executable, "-m", "corlap",
                           *map(str, args)], capture_output=True, text=True, timeout=120)
    first, *stderr = done.stdout.splitlines()
    status, peak = map(int, first.split())
    return status, stderr, peak


@pytest.mark.parametrize("damage", ["bins", "windows"])
def test_damaged_count_in_an_index(small, tmp_path, damage):
    """A count of 2**31 - 1 in a .bai: beside a good .csi the .csi is read
    and the reads are right; alone, one line and status 2, in memory of
    the order of the file, not of the count."""
    path = str(tmp_path / "reads.bam")
    shutil.copyfile(small.path, path)
    data = bytearray(open(small.path + ".bai", "rb").read())
    offset = next(at for kind, reference, at in _bai_counts(data)[0]
                  if kind == damage and reference == 0)
    data[offset:offset + 4] = (2 ** 31 - 1).to_bytes(4, "little")
    open(path + ".bai", "wb").write(data)
    fasta = os.path.join(os.path.dirname(small.path), "genome.fa")
    train = ["train", "-f", fasta, "--bam", path, "--type", "PWM", "--length", 4,
             "--background", 10, "--min-mapq", 0, "-o", tmp_path / "m.npz"]
    status, stderr, peak = _corlap(*train)
    assert status == 2 and len(stderr) == 1 and path in stderr[0], stderr
    assert stderr[0].startswith("corlap train: error: ") and "index" in stderr[0]
    # The sanitizer's allocator reserves far more than it hands out.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert peak < 400_000
    pysam.index("-c", path)
    status, stderr, _ = _corlap(*train)
    assert status == 0, stderr
    with _native(dataclasses.replace(small, path=path)) as native:
        assert _outcome(native, "s1", path) == _listed(_model(small, "s1", 0, WHOLE, 0))


def test_chunk_pointing_into_another_sequence_as_pysam(small, tmp_path):
    path = str(tmp_path / "reads.bam")
    shutil.copyfile(small.path, path)
    data = bytearray(open(small.path + ".bai", "rb").read())
    chunks = _bai_counts(data)[1]
    first_of_s1 = min(int.from_bytes(data[at:at + 8], "little")
                      for reference, number, at in chunks if reference == 0 and number < 37450)
    for reference, number, at in chunks:
        if reference == 1 and number < 37450:      # not the pseudo-bin of counts
            data[at:at + 8] = first_of_s1.to_bytes(8, "little")
    open(path + ".bai", "wb").write(data)
    with _native(dataclasses.replace(small, path=path)) as native, \
            _pysam(path) as iterated:
        assert _outcome(native, "s2", path) == _outcome(iterated, "s2", path)
        assert _outcome(native, "s1", path) == _listed(_model(small, "s1", 0, WHOLE, 0))


def test_many_blocks_regions_starting_inside_blocks(big):
    assert len(_blocks(big.path)) > 150
    regions = _regions(np.random.default_rng(11), BIG, 150)
    with _native(big) as native:
        assert _check_regions(native, big, regions, (30,)) > 200_000


def _blocks(path):
    """(offset, size) of each BGZF block of the file."""
    data, blocks, at = open(path, "rb").read(), [], 0
    while at < len(data):
        size = int.from_bytes(data[at + 16:at + 18], "little") + 1   # BSIZE, XLEN being 6
        blocks.append((at, size))
        at += size
    return blocks


def _damaged(big, directory, damage):
    data = bytearray(open(big.path, "rb").read())
    offset, size = _blocks(big.path)[len(_blocks(big.path)) // 2]
    if damage.startswith("cut"):    # inside the block's data, or its header
        data = data[:offset + (size // 2 if damage == "cut" else 10)]
    else:   # a byte of the deflated data, or of the CRC32 (then only the CRC tells)
        data[offset + (size // 2 if damage == "flipped" else size - 8)] ^= 0x5A
    path = str(directory / f"{damage}.bam")
    open(path, "wb").write(data)
    shutil.copyfile(big.path + ".bai", path + ".bai")
    return path


@pytest.mark.parametrize("damage", ["cut", "cut header", "flipped", "crc"])
def test_damaged_file_raises_one_line_naming_it(big, tmp_path, capfd, damage):
    path = _damaged(big, tmp_path, damage)
    # The middle block holds reads of big1; a truncated file also lost big2's.
    broken = list(BIG) if damage.startswith("cut") else ["big1"]
    with _native(dataclasses.replace(big, path=path)) as handle:
        for chrom in broken:
            length = BIG[chrom]
            for query in (lambda: reads._fetch_ends(handle, chrom, None, None, 0, path),
                          lambda: reads.region_insertions(handle, chrom, 0, length, length,
                                                          min_mapq=0)):
                with pytest.raises(reads.ReadsError) as caught:
                    query()
                message = str(caught.value)
                assert message.startswith(f"{path}: cannot read it (") and "\n" not in message
        if not damage.startswith("cut"):   # what lies elsewhere still reads, after the failure
            assert _listed(reads._fetch_ends(handle, "big2", None, None, 0, path)) == \
                _listed(_model(big, "big2", 0, WHOLE, 0))
    assert capfd.readouterr().err == ""     # htslib's own lines are not shown


def test_closed_reader_raises(hostile):
    with _native(hostile) as reader:
        assert reader.ends("chrA", 0, WHOLE, 0)[0]
    with pytest.raises(OSError):
        reader.ends("chrA", 0, WHOLE, 0)
    reader.close()      # again: nothing to do
    with pytest.raises(reads.ReadsError, match="closed"):
        reads._fetch_ends(reader, "chrA", 0, 100, 0, hostile.path)


def test_threads_sharing_one_reader(big):
    regions = _regions(np.random.default_rng(5), BIG, 120)
    with _native(big) as reader:
        alone = {region: _listed(reads._fetch_ends(reader, *region, 20, big.path))
                 for region in regions}
        start = threading.Barrier(4)

        def run(k):     # each thread in its own order, all at once
            start.wait()
            return {regions[i]: _listed(reads._fetch_ends(reader, *regions[i], 20, big.path))
                    for i in np.random.default_rng(k).permutation(len(regions))}

        with ThreadPoolExecutor(4) as pool:
            for found in pool.map(run, range(4)):
                assert found == alone


def test_struct_layouts_match_the_headers_pysam_ships(tmp_path):
    """The extension copies bam1_t, htsFormat's head and three constants
    of htslib; compiled against the headers of the installed pysam, they
    must be where the copies say."""
    from corlap import _alignments

    compiler = shutil.which("cc") or shutil.which("gcc")
    includes = [path for path in pysam.get_include()
                if os.path.exists(os.path.join(path, "htslib", "sam.h"))]
    if compiler is None or not includes:
        pytest.skip("no C compiler, or pysam ships no htslib headers")
    copied = _alignments._layout()
    lines = []
    for key in copied:
        struct, field = key.split(".")
        if struct == "const":
            lines.append(f'printf("{key} %lld 0\\n", (long long)({field}));')
        else:
            struct = {"htsFormatHead": "htsFormat"}.get(struct, struct)
            lines.append(f'printf("{key} %zu %zu\\n", offsetof({struct}, {field}), '
                         f'sizeof((({struct} *)0)->{field}));')
    source = tmp_path / "layout.c"
    source.write_text("#include <stddef.h>\n#include <stdio.h>\n#include <htslib/sam.h>\n"
                      "int main(void) {\n" + "\n".join(lines) + "\nreturn 0;\n}\n")
    program = tmp_path / "layout"
    subprocess.run([compiler, *(f"-I{path}" for path in includes), "-o", str(program),
                    str(source)], check=True, capture_output=True, timeout=120)
    printed = subprocess.run([str(program)], check=True, capture_output=True, text=True).stdout
    found = {key: (int(offset), int(size))
             for key, offset, size in (line.split() for line in printed.splitlines())}
    assert found == copied
