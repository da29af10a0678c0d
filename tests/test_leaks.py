"""Every function called many times on its success path and on its error
paths: the reference counts of the arguments and the process's memory stay
unchanged."""

import gc
import os
import sys
import types

import numpy as np
import pytest

import corlap.utils.sequences as seq

CALLS = int(os.environ.get("CORLAP_LEAK_CALLS", "100000"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Region:
    def __init__(self, chrom, start, end):
        self.chrom, self.start, self.end = chrom, start, end


class TextFasta:
    def __init__(self, text):
        self.text = text

    def fetch(self, chrom, start, end):
        return self.text[start:end]

    def close(self):
        pass


CODES = np.array([0, 1, 2, 3, 0, 2, 1, 3, 3, 0], dtype=np.int64)
WITH_N = np.array([0, 4, 2, 3, 0, 2, 1, 3, 3, 0], dtype=np.int64)
BAD_DTYPE = CODES.astype(np.float64)
FASTA = TextFasta("ACGTNacgtnGGCCAATT" * 4)
REGION = Region("chr", 2, 14)
REGIONS = [Region("chr", 0, 8), Region("chr", 4, 20)]


def trained(cls, length=5):
    model = cls(length)
    model.add_sequence(CODES)
    model.add_background(CODES[::-1].copy())
    model.prepare_mat()
    return model


def broken_model(cls):
    model = trained(cls)
    model.counts = model.counts.astype(np.int64)
    model.bg_counts = None
    model.pssm = [1, 2]
    for name in ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log"):
        if hasattr(model, name):
            setattr(model, name, "table")
    return model


def cases():
    """(label, function, args, kwargs, expected exception or None)."""
    out = [
        ("nuc_to_num ok", seq.nuc_to_num, ("ACGTN" * 20,), {}, None),
        ("nuc_to_num wide", seq.nuc_to_num, ("AC\u20acGT",), {}, None),
        ("nuc_to_num none", seq.nuc_to_num, (None,), {}, TypeError),
        ("nuc_to_num type", seq.nuc_to_num, (b"AC",), {}, TypeError),
        ("nuc_to_num count", seq.nuc_to_num, ("A", "C"), {}, TypeError),
        ("nuc_to_num keyword", seq.nuc_to_num, (), {"seq": "A"}, TypeError),
        ("gc ok", seq.get_gc_content, (REGIONS, FASTA), {}, None),
        ("gc empty", seq.get_gc_content, ([], FASTA), {}, ZeroDivisionError),
        ("gc bad region", seq.get_gc_content, ([object()], FASTA), {}, AttributeError),
        ("create bad", seq.SequenceMatrix.create, (3, "pwm"), {}, SystemExit),
        ("create ok", seq.SequenceMatrix.create, (3, "PWM"), {}, None),
        ("create dwm", seq.SequenceMatrix.create, (3, "DWM"), {}, None),
    ]
    genomic = seq.GenomicSequence(REGION)
    no_arrays = seq.GenomicSequence(REGION)
    no_arrays.sequence = no_arrays.sequence.astype(np.int32)
    out += [
        ("genomic init", seq.GenomicSequence, (REGION,), {}, None),
        ("genomic init bad", seq.GenomicSequence, (object(),), {}, AttributeError),
        ("from_fasta ok", genomic.from_fasta, (FASTA,), {}, None),
        ("from_fasta bad fetch", genomic.from_fasta, (object(),), {}, AttributeError),
        ("from_fasta bad array", no_arrays.from_fasta, (FASTA,), {}, ValueError),
    ]
    for cls in (seq.NucleotideMatrix, seq.DiNucleotideMatrix):
        name = cls.__name__
        model = trained(cls)
        other = trained(cls)
        broken = broken_model(cls)
        out += [
            (f"{name} init", cls, (5,), {}, None),
            (f"{name} add_sequence", model.add_sequence, (CODES,), {"amount": 0.5}, None),
            (f"{name} add_sequence N", model.add_sequence, (WITH_N, -1.0), {}, None),
            (f"{name} add_background", model.add_background, (CODES, 2), {}, None),
            (f"{name} add_sequence dtype", model.add_sequence, (BAD_DTYPE,), {}, ValueError),
            (f"{name} add_sequence short", model.add_sequence, (CODES[:2],), {}, ValueError),
            (f"{name} add_sequence amount", model.add_sequence, (CODES, "x"), {}, TypeError),
            (f"{name} add_sequence table", broken.add_sequence, (CODES,), {}, ValueError),
            (f"{name} add_background table", broken.add_background, (CODES,), {}, TypeError),
            (f"{name} prepare_mat", other.prepare_mat, (), {}, None),
            (f"{name} score", model.score_sequence, (CODES,), {}, None),
            (f"{name} score N", model.score_sequence, (WITH_N,), {}, None),
            (f"{name} score none", model.score_sequence, (None,), {}, TypeError),
            (f"{name} score broken", broken.score_sequence, (CODES,), {}, TypeError),
            (f"{name} add_counts", model.add_counts, (other,), {}, None),
            (f"{name} add_counts bad", model.add_counts, (object(),), {}, AttributeError),
        ]
    return out


CASES = cases()


@pytest.mark.parametrize("label, function, args, kwargs, expected",
                         CASES, ids=[c[0] for c in CASES])
def test_no_leak(label, function, args, kwargs, expected, monkeypatch):
    # get_gc_content opens its source through the module-level open_fasta.
    monkeypatch.setattr(seq, "open_fasta", lambda fasta: fasta)

    def run(times):
        for _ in range(times):
            try:
                function(*args, **kwargs)
            except BaseException as error:
                if expected is None or not isinstance(error, expected):
                    raise

    # The first half warms what saturates (interned strings, NumPy's
    # allocation cache, the allocator's arenas, which grow in steps of a
    # megabyte now and then); a leak grows in every quarter of the second half.
    run(CALLS // 2)
    gc.collect()
    counts = [sys.getrefcount(a) for a in args] + [sys.getrefcount(v) for v in kwargs.values()]
    growth = []
    for _ in range(4):
        before = resident_bytes()
        run(CALLS // 8)
        gc.collect()
        growth.append(resident_bytes() - before)
    after = [sys.getrefcount(a) for a in args] + [sys.getrefcount(v) for v in kwargs.values()]
    assert after == counts
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        # The sanitizer keeps freed memory in quarantine (up to 256 MB), so
        # resident memory grows with every allocation; `make test` and
        # `make valgrind` watch it.
        return
    # Sixteen leaked bytes per call would be 200 kB in each quarter.
    assert min(growth) < 100 * 1024, f"{label}: resident memory grew by {growth} bytes"
