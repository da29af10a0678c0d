"""corlap.utils.fasta: indexed access to plain and bgzip FASTA files, with
indexes that are rebuilt when stale, built atomically, kept in a cache
directory beside read-only files, and errors that say what to do."""

import gzip
import os
import shutil
import subprocess
import sys

import numpy as np
import pysam
import pytest

from conftest import write_fasta
from corlap.utils import fasta as fasta_module
from corlap.utils.fasta import index_paths, open_fasta

RECORDS = {"one": "ACGTACGTAC" * 7, "two": "GGGCCCAAAT" * 3}


@pytest.fixture
def plain(tmp_path):
    write_fasta(tmp_path / "g.fa", RECORDS, width=13)
    return tmp_path / "g.fa"


@pytest.fixture
def bgzipped(tmp_path, plain):
    pysam.tabix_compress(str(plain), str(tmp_path / "g.fa.gz"))
    return tmp_path / "g.fa.gz"


@pytest.mark.parametrize("kind", ["plain", "bgzipped"])
def test_fetch_half_open_and_cut_at_end(kind, request):
    path = request.getfixturevalue(kind)
    with open_fasta(path) as fasta:
        assert fasta.references == ("one", "two")
        assert fasta.lengths == (70, 30)
        assert fasta.fetch("one", 0, 10) == "ACGTACGTAC"
        assert fasta.fetch("two", 26, 99) == "AAAT"
        assert fasta.get_length("two") == 30
    with pytest.raises(ValueError, match="closed"):
        fasta.fetch("one", 0, 1)
    assert os.path.exists(str(path) + ".fai")
    assert os.path.exists(str(path) + ".gzi") == (kind == "bgzipped")


def test_missing_file_named(tmp_path):
    with pytest.raises(FileNotFoundError, match="nope.fa"):
        open_fasta(tmp_path / "nope.fa")


def test_unknown_name_lists_known_names(tmp_path):
    write_fasta(tmp_path / "many.fa", {f"chr{k}": "ACGT" for k in range(9)})
    with open_fasta(tmp_path / "many.fa") as fasta:
        with pytest.raises(KeyError) as raised:
            fasta.fetch("chrX", 0, 2)
    message = raised.value.args[0]
    assert "'chrX'" in message and "many.fa" in message
    assert "'chr0', 'chr1', 'chr2', 'chr3', 'chr4' and 4 more" in message


def test_stale_index_is_rebuilt(plain):
    open_fasta(plain).close()
    old_index = os.stat(str(plain) + ".fai")
    write_fasta(plain, {"other": "ACGT" * 100})
    future = old_index.st_mtime_ns + 5_000_000_000
    os.utime(plain, ns=(future, future))
    with open_fasta(plain) as fasta:
        assert fasta.references == ("other",) and fasta.lengths == (400,)
        assert fasta.fetch("other", 396, 400) == "ACGT"
    assert os.stat(str(plain) + ".fai").st_ino != old_index.st_ino   # renamed into place


def test_fresh_index_is_kept(plain):
    open_fasta(plain).close()
    before = os.stat(str(plain) + ".fai")
    open_fasta(plain).close()
    after = os.stat(str(plain) + ".fai")
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)


@pytest.mark.parametrize("kind", ["plain", "bgzipped"])
def test_index_built_in_a_temporary_file_then_renamed(kind, request, monkeypatch):
    path = str(request.getfixturevalue(kind))
    seen = []
    real_faidx = pysam.faidx

    def watching(*args):
        seen.append(args)
        assert not os.path.exists(path + ".fai")     # never a half-written index
        return real_faidx(*args)

    monkeypatch.setattr(pysam, "faidx", watching)
    open_fasta(path).close()
    (arguments,) = seen
    temporaries = [a for a in arguments[1:] if not a.startswith("--")]
    assert all(os.path.dirname(t) == os.path.dirname(path) and t.endswith(".tmp")
               for t in temporaries)
    assert len(temporaries) == (2 if kind == "bgzipped" else 1)
    assert not any(name.endswith(".tmp") for name in os.listdir(os.path.dirname(path)))


def test_processes_opening_at_once_all_succeed(plain):
    script = ("import sys; from corlap.utils.fasta import open_fasta\n"
              "f = open_fasta(sys.argv[1]); assert f.fetch('two', 0, 3) == 'GGG'")
    runs = [subprocess.Popen([sys.executable, "-c", script, str(plain)],
                             stderr=subprocess.PIPE) for _ in range(4)]
    for run in runs:
        _, err = run.communicate(timeout=120)
        assert run.returncode == 0, err


def test_plain_gzip_says_to_use_bgzip(tmp_path, plain):
    target = tmp_path / "g.fa.gz"
    with open(plain, "rb") as source, gzip.open(target, "wb") as sink:
        shutil.copyfileobj(source, sink)
    with pytest.raises(ValueError, match=r"g\.fa\.gz.*plain gzip.*recompress it with bgzip"):
        open_fasta(target)
    assert not os.path.exists(str(target) + ".fai")


def test_read_only_directory_indexes_into_cache(tmp_path, plain, monkeypatch):
    # Tests may run as root, for whom every directory is writable: the
    # writability test itself is what is replaced.
    monkeypatch.setenv("CORLAP_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.setattr(fasta_module.os, "access", lambda path, mode: False)
    with open_fasta(plain) as fasta:
        assert fasta.fetch("one", 0, 4) == "ACGT"
    assert not os.path.exists(str(plain) + ".fai")
    fai, gzi = index_paths(plain)
    assert fai.startswith(str(tmp_path / "cache")) and os.path.exists(fai) and gzi is None
    # A stale cached index is rebuilt too.
    write_fasta(plain, {"three": "ACGTT"})
    later = os.stat(fai).st_mtime_ns + 5_000_000_000
    os.utime(plain, ns=(later, later))
    with open_fasta(plain) as fasta:
        assert fasta.references == ("three",)


def test_read_only_directory_uses_a_fresh_index_beside_it(plain, tmp_path, monkeypatch):
    open_fasta(plain).close()
    monkeypatch.setenv("CORLAP_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.setattr(fasta_module.os, "access", lambda path, mode: False)
    with open_fasta(plain) as fasta:
        assert fasta.lengths == (70, 30)
    assert not os.path.exists(tmp_path / "cache")


def without_pysam(monkeypatch):
    def unavailable():
        raise fasta_module.PysamUnavailable("pysam cannot be loaded")

    monkeypatch.setattr(fasta_module, "import_pysam", unavailable)


@pytest.mark.parametrize("with_pysam", [True, False])
def test_malformed_fasta_is_a_value_error(tmp_path, monkeypatch, with_pysam):
    if not with_pysam:
        without_pysam(monkeypatch)
    (tmp_path / "bad.fa").write_text(">a\nACGT\nACGTACGT\nAC\n")
    with pytest.raises(ValueError, match="bad.fa"):
        open_fasta(tmp_path / "bad.fa")
    assert [p.name for p in tmp_path.iterdir()] == ["bad.fa"]


@pytest.mark.parametrize("width,newline", [(13, "\n"), (7, "\r\n"), (1, "\n")])
@pytest.mark.parametrize("compressed", [False, True])
def test_without_pysam_the_same_index_and_bases(tmp_path, monkeypatch, width, newline,
                                                compressed):
    """corlap's own indexer and reader, for score without pysam: the
    index files samtools writes, byte for byte, and the bases pysam
    fetches, on sequences of many BGZF blocks, a sequence without bases
    and lines ending in CR LF."""
    rng = np.random.default_rng(width)
    records = {f"s{k}": "".join(rng.choice(list("ACGTNacgt"), int(size))) for k, size in
               enumerate([70_000, 1, 0, width, 20_000])}
    text = "".join(f">{name} a description{newline}" + "".join(
        sequence[at:at + width] + newline for at in range(0, len(sequence), width))
        for name, sequence in records.items())
    plain = tmp_path / "g.fa"
    plain.write_bytes(text.encode())
    path = plain
    if compressed:
        path = tmp_path / "g.fa.gz"
        pysam.tabix_compress(str(plain), str(path))
    reference = tmp_path / "reference"
    reference.mkdir()
    shutil.copyfile(path, reference / path.name)
    pysam.faidx(str(reference / path.name))
    with pysam.FastaFile(str(reference / path.name)) as expected:
        without_pysam(monkeypatch)
        with open_fasta(path) as fasta:
            assert fasta.references == tuple(expected.references)
            assert fasta.lengths == tuple(expected.lengths)
            for name in fasta.references:
                length = fasta.get_length(name)
                for _ in range(40):
                    start = int(rng.integers(0, length + 2))
                    end = int(rng.integers(start, length + 5))
                    assert fasta.fetch(name, start, end) == expected.fetch(name, start, end)
    for suffix in [".fai", ".gzi"][:1 + compressed]:
        assert (tmp_path / (path.name + suffix)).read_bytes() == \
            (reference / (path.name + suffix)).read_bytes()
