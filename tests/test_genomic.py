"""GenomicSequence (both strands of a region) and get_gc_content."""

import random

import numpy as np
import pysam
import pytest

from corlap.utils import sequences
from corlap.utils.fasta import open_fasta
from conftest import LAMBDA_LENGTH, LAMBDA_NAME
from reference import codes, gc_count, reverse_complement_codes


def gc_fraction(texts, total):
    return sum(gc_count(text) for text in texts) / total


class Region:
    def __init__(self, chrom, start, end):
        self.chrom, self.start, self.end = chrom, start, end


class RecordingFasta:
    """A FASTA object serving fixed texts and recording every call made on it."""

    def __init__(self, texts, log=None, fail_on=None):
        self.texts = list(texts)
        self.log = [] if log is None else log
        self.fail_on = fail_on

    def fetch(self, *args, **kwargs):
        assert not kwargs
        self.log.append(("fetch",) + args)
        if args == self.fail_on:
            raise RuntimeError("fetch failed")
        return self.texts.pop(0)

    def close(self, *args):
        self.log.append(("close",) + args)


@pytest.fixture
def fake_open_fasta(monkeypatch):
    """Replaces the module-level open_fasta; returns a function that installs
    the texts to be served and gives the call log."""

    def install(texts, fail_on=None):
        log = []

        def opener(*args):
            log.append(("open",) + args)
            return RecordingFasta(texts, log, fail_on)

        monkeypatch.setattr(sequences, "open_fasta", opener)
        return log

    return install


@pytest.fixture(params=["plain", "bgzip"])
def genome_path(request, lambda_fasta_path, tmp_path):
    if request.param == "plain":
        return lambda_fasta_path
    target = tmp_path / "lambda_phage.fa.gz"
    pysam.tabix_compress(str(lambda_fasta_path), str(target))
    return target


REAL_REGIONS = [
    (0, 120),                              # first bases
    (LAMBDA_LENGTH - 97, LAMBDA_LENGTH),   # last bases
    (0, LAMBDA_LENGTH),                    # whole genome
    (12_345, 23_456),
    (777, 778),
]


# --- GenomicSequence on the real genome ---------------------------------------

@pytest.mark.parametrize("start,end", REAL_REGIONS)
def test_from_fasta_on_genome(genome_path, lambda_text, start, end):
    fasta = open_fasta(genome_path)
    region = Region(LAMBDA_NAME, start, end)
    genomic = sequences.GenomicSequence(region)
    assert genomic.from_fasta(fasta) is genomic
    fasta.close()
    text = lambda_text[start:end]
    assert genomic.length == end - start
    assert genomic.sequence.tolist() == codes(text)
    assert genomic.revcomp.tolist() == reverse_complement_codes(text)


def test_revcomp_mirrors_sequence_on_whole_genome(lambda_fasta_path):
    fasta = open_fasta(lambda_fasta_path)
    genomic = sequences.GenomicSequence(Region(LAMBDA_NAME, 0, LAMBDA_LENGTH)).from_fasta(fasta)
    seq, rc = genomic.sequence, genomic.revcomp
    paired_code = np.array([1, 0, 3, 2, 4])
    j = np.arange(LAMBDA_LENGTH)
    assert np.array_equal(rc[j], paired_code[seq[LAMBDA_LENGTH - 1 - j]])
    assert set(np.unique(seq)) <= {0, 1, 2, 3, 4}


def test_long_region_matches_reference():
    # Past the size at which the contiguous fill switches to streaming stores.
    rng = random.Random(7)
    text = "".join(rng.choice("ACGTacgtNnRY-") for _ in range(300_001))
    genomic = sequences.GenomicSequence(Region("c", 0, len(text)))
    genomic.from_fasta(RecordingFasta([text]))
    assert genomic.sequence.tolist() == codes(text)
    assert genomic.revcomp.tolist() == reverse_complement_codes(text)


# --- GenomicSequence: codes and the calls made ---------------------------------

@pytest.mark.parametrize("text,forward,reverse", [
    ("ACGTN", [0, 2, 3, 1, 4], [4, 0, 2, 3, 1]),
    ("acgtn", [0, 2, 3, 1, 4], [4, 0, 2, 3, 1]),
    ("UuRY-5 ", [4] * 7, [4] * 7),
    ("GATTACAxyz", [3, 0, 1, 1], [0, 0, 1, 2]),       # only `length` characters read
    ("AĀCgT", [0, 4, 2, 3, 1], [0, 2, 3, 4, 1]),      # 2-byte text
    ("A\U0001F600Cg", [0, 4, 2, 3], [2, 3, 4, 1]),   # 4-byte text
    ("G\u0147\u0143A", [3, 4, 4, 0], [1, 4, 4, 2]),  # wide letters that fold onto G/C
])
def test_from_fasta_codes(text, forward, reverse):
    genomic = sequences.GenomicSequence(Region("c", 0, len(forward)))
    genomic.from_fasta(RecordingFasta([text]))
    assert genomic.sequence.tolist() == forward
    assert genomic.revcomp.tolist() == reverse
    assert genomic.sequence.dtype == np.int64


def test_constructor_state():
    region = Region("chr2", 10, 17)
    genomic = sequences.GenomicSequence(region)
    assert genomic.region is region
    assert genomic.length == 7
    assert genomic.sequence.tolist() == [0] * 7 and genomic.revcomp.tolist() == [0] * 7
    assert genomic.sequence is not genomic.revcomp
    assert genomic.sequence.dtype == np.int64 and genomic.sequence.flags.c_contiguous


def test_constructor_uses_module_np_and_own_length(monkeypatch):
    calls = []

    class FakeNumpy:
        def zeros(self, length, dtype):
            calls.append((length, dtype))
            return f"zeros{len(calls)}"

    monkeypatch.setattr(sequences, "np", FakeNumpy())
    genomic = sequences.GenomicSequence(Region("c", 2.5, 6))
    assert calls == [(3.5, int), (3.5, int)]
    assert (genomic.sequence, genomic.revcomp) == ("zeros1", "zeros2")


def test_constructor_refuses_negative_length():
    with pytest.raises(ValueError, match="negative"):
        sequences.GenomicSequence(Region("c", 9, 4))


def test_from_fasta_calls_fetch_once_with_region_attributes():
    log = []
    fasta = RecordingFasta(["ACGTT"], log)
    genomic = sequences.GenomicSequence(Region("chrX", 100, 105))
    held = genomic.sequence
    genomic.region = Region("chrY", 3, 8)  # the current region is used
    assert genomic.from_fasta(fasta_obj=fasta) is genomic
    assert log == [("fetch", "chrY", 3, 8)]
    assert genomic.sequence is held and held.tolist() == [0, 2, 3, 1, 1]


def test_from_fasta_empty_region_still_fetches():
    log = []
    genomic = sequences.GenomicSequence(Region("c", 5, 5))
    assert genomic.from_fasta(RecordingFasta([""], log)) is genomic
    assert log == [("fetch", "c", 5, 5)]
    assert genomic.sequence.shape == (0,)


class Letters(str):
    pass


@pytest.mark.parametrize("result,name", [(b"ACGT", "bytes"), (Letters("ACGT"), "Letters"),
                                         (["A", "C"], "list")])
def test_from_fasta_refuses_non_str(result, name):
    genomic = sequences.GenomicSequence(Region("c", 0, 4))
    with pytest.raises(TypeError, match=f"^Expected str, got {name}$"):
        genomic.from_fasta(RecordingFasta([result]))
    assert genomic.sequence.tolist() == [0, 0, 0, 0]


@pytest.mark.parametrize("length,forward,reverse", [
    (2.9, [2, 2, 0, 0], [3, 3, 0, 0]),
    (True, [2, 0, 0, 0], [3, 0, 0, 0]),
])
def test_from_fasta_converts_length(length, forward, reverse):
    genomic = sequences.GenomicSequence(Region("c", 0, 4))
    genomic.length = length
    genomic.from_fasta(RecordingFasta(["CCGT"]))
    assert genomic.sequence.tolist() == forward
    assert genomic.revcomp.tolist() == reverse


def test_from_fasta_length_overflow():
    genomic = sequences.GenomicSequence(Region("c", 0, 4))
    genomic.length = 2**31
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        genomic.from_fasta(RecordingFasta(["ACGT"]))


# --- GenomicSequence: arrays installed by the caller ----------------------------

def test_from_fasta_through_strides():
    backing = np.full(12, -1, dtype=np.int64)
    other = np.full(6, -1, dtype=np.int64)
    genomic = sequences.GenomicSequence(Region("c", 0, 5))
    genomic.sequence = backing[1::2][:5]   # every second element
    genomic.revcomp = other[::-1]          # reversed view
    genomic.from_fasta(RecordingFasta(["ACGTN"]))
    assert backing.tolist() == [-1, 0, -1, 2, -1, 3, -1, 1, -1, 4, -1, -1]
    # revcomp[j] sits at other[5 - j]: revcomp = [4, 0, 2, 3, 1, -1 untouched]
    assert other.tolist() == [-1, 1, 3, 2, 0, 4]


def test_same_array_for_both_strands_follows_write_order():
    shared = np.zeros(4, dtype=np.int64)
    genomic = sequences.GenomicSequence(Region("c", 0, 4))
    genomic.sequence = genomic.revcomp = shared
    genomic.from_fasta(RecordingFasta(["AACC"]))
    # i=0: [0]=A0, [3]=1; i=1: [1]=0, [2]=1; i=2: [2]=2, [1]=3; i=3: [3]=2, [0]=3
    assert shared.tolist() == [3, 3, 2, 2]


@pytest.mark.parametrize("attribute", ["sequence", "revcomp"])
@pytest.mark.parametrize("value,error,message", [
    (np.zeros(4, dtype=np.float64), ValueError, "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    (np.zeros((2, 2), dtype=np.int64), ValueError, r"wrong number of dimensions \(expected 1, got 2\)"),
    ([0, 0, 0, 0], TypeError, "Cannot convert list to numpy.ndarray"),
    (None, TypeError, "is None"),
    (np.zeros(3, dtype=np.int64), ValueError, "has 3 elements, fewer than length 4"),
    (np.broadcast_to(np.int64(0), (4,)), ValueError, "read-only"),
])
def test_from_fasta_refuses_unusable_arrays(attribute, value, error, message):
    genomic = sequences.GenomicSequence(Region("c", 0, 4))
    setattr(genomic, attribute, value)
    other = "revcomp" if attribute == "sequence" else "sequence"
    untouched = getattr(genomic, other)
    with pytest.raises(error, match=message):
        genomic.from_fasta(RecordingFasta(["GGGG"]))
    assert untouched.tolist() == [0, 0, 0, 0]
    if isinstance(value, np.ndarray) and value.dtype == np.int64:
        assert not value.any()


@pytest.mark.parametrize("result,error,message", [
    ("ACG", ValueError, "fetch returned 3 characters for a region of length 4"),
    (None, TypeError, "fetch returned None for a region of length 4"),
])
def test_from_fasta_refuses_missing_text(result, error, message):
    genomic = sequences.GenomicSequence(Region("c", 0, 4))
    with pytest.raises(error, match=message):
        genomic.from_fasta(RecordingFasta([result]))
    assert genomic.sequence.tolist() == [0, 0, 0, 0]
    assert genomic.revcomp.tolist() == [0, 0, 0, 0]


@pytest.mark.parametrize("length", [0, -3])
def test_from_fasta_writes_nothing_without_positive_length(length):
    genomic = sequences.GenomicSequence(Region("c", 0, 2))
    genomic.length = length
    genomic.sequence = None
    assert genomic.from_fasta(RecordingFasta([None])) is genomic
    assert genomic.sequence is None and genomic.revcomp.tolist() == [0, 0]


# --- get_gc_content on the real genome ------------------------------------------

def test_gc_content_on_genome(genome_path, lambda_text):
    regions = [Region(LAMBDA_NAME, s, e) for s, e in REAL_REGIONS]
    expected = gc_fraction([lambda_text[s:e] for s, e in REAL_REGIONS],
                           float(sum(e - s for s, e in REAL_REGIONS)))
    assert sequences.get_gc_content(regions, str(genome_path)) == expected
    # a generator of regions is consumed through iteration
    generated = (Region(LAMBDA_NAME, s, e) for s, e in REAL_REGIONS)
    assert sequences.get_gc_content(generated, fasta=genome_path) == expected


def test_gc_content_counts_to_region_end(lambda_fasta_path, lambda_text):
    # fetch cuts the range at the sequence end; the denominator does not.
    region = Region(LAMBDA_NAME, LAMBDA_LENGTH - 10, LAMBDA_LENGTH + 10)
    tail = lambda_text[-10:]
    assert sequences.get_gc_content([region], lambda_fasta_path) == gc_fraction([tail], 20.0)


# --- get_gc_content: counting rules and calls -----------------------------------

@pytest.mark.parametrize("texts,spans,expected", [
    (["GGCCAATT"], [8], 0.5),
    (["GCNNNNNNNN"], [10], 0.2),
    (["ggccSSWW"], [8], 0.5),                    # lower case counts, S does not
    (["GC"], [10], 0.2),                         # a short text: denominator is the span
    (["ATAT", "NNNN"], [4, 4], 0.0),
    (["GĀC"], [3], 2 / 3),                       # 2-byte text
    (["c\U0001F600G\u0147"], [4], 0.5),          # 4-byte text, wide letter not counted
    ([list("GCAT")], [4], 0.5),                  # list of letters, walked by index
    ([tuple("GgA")], [3], 2 / 3),
    ([iter("CCA")], [3], 2 / 3),                 # walked by iteration
    ([Letters("GCAA")], [4], 0.5),               # str subclass: element by element
    ([b"GGCC"], [4], 0.0),                       # bytes elements are ints
])
def test_gc_content_counting(fake_open_fasta, texts, spans, expected):
    fake_open_fasta(texts)
    regions = [Region("c", 0, span) for span in spans]
    result = sequences.get_gc_content(regions, "genome.fa")
    assert type(result) is float and result == expected


def test_gc_content_call_order(fake_open_fasta):
    log = fake_open_fasta(["GG", "CA", "T"])
    regions = (Region("a", 0, 2), Region("b", 5, 7), Region("a", 9, 10))
    assert sequences.get_gc_content(regions, "genome.fa") == 3 / 5
    assert log == [("open", "genome.fa"), ("fetch", "a", 0, 2), ("fetch", "b", 5, 7),
                   ("fetch", "a", 9, 10), ("close",)]


def test_gc_content_reads_region_attributes_in_order(fake_open_fasta):
    reads = []

    class LoggedRegion:
        def __getattr__(self, name):
            reads.append(name)
            return {"chrom": "c", "start": 1, "end": 5}[name]

    fake_open_fasta(["GCGC"])
    assert sequences.get_gc_content([LoggedRegion()], "f") == 1.0
    assert reads == ["chrom", "start", "end", "end", "start"]


def test_gc_content_empty_collection(fake_open_fasta):
    log = fake_open_fasta([])
    with pytest.raises(ZeroDivisionError):
        sequences.get_gc_content([], "genome.fa")
    assert log == [("open", "genome.fa"), ("close",)]


def test_gc_content_failing_fetch_does_not_close(fake_open_fasta):
    log = fake_open_fasta(["GG", "CC"], fail_on=("b", 0, 2))
    with pytest.raises(RuntimeError, match="fetch failed") as info:
        sequences.get_gc_content([Region("a", 0, 2), Region("b", 0, 2)], "f")
    assert log == [("open", "f"), ("fetch", "a", 0, 2), ("fetch", "b", 0, 2)]
    names = [entry.name for entry in info.traceback]
    assert "corlap.utils.sequences.get_gc_content" in names


def test_gc_content_equality_tests(fake_open_fasta):
    compared = []

    class Element:
        def __init__(self, equal_to):
            self.equal_to = equal_to

        def __eq__(self, other):
            compared.append(other)
            return other == self.equal_to

    fake_open_fasta([[Element("g"), Element(None)]])
    assert sequences.get_gc_content([Region("c", 0, 4)], "f") == 0.25
    assert compared == ["G", "g", "G", "g", "C", "c"]


# --- open_fasta errors -----------------------------------------------------------

def test_open_fasta_missing_file(tmp_path):
    missing = tmp_path / "absent.fa"
    with pytest.raises(FileNotFoundError, match="absent.fa"):
        open_fasta(missing)
    with pytest.raises(FileNotFoundError, match="absent.fa"):
        sequences.get_gc_content([Region(LAMBDA_NAME, 0, 5)], str(missing))


def test_open_fasta_unknown_sequence(lambda_fasta_path):
    with pytest.raises(KeyError, match="chrUn_42"):
        sequences.get_gc_content([Region("chrUn_42", 0, 5)], lambda_fasta_path)
    fasta = open_fasta(lambda_fasta_path)
    with pytest.raises(KeyError, match="chrUn_42"):
        sequences.GenomicSequence(Region("chrUn_42", 0, 5)).from_fasta(fasta)
