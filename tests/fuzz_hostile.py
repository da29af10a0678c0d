"""Hostile-input fuzzing of every function of corlap.utils.sequences.

Run as a script in a child process (tests/test_fuzz.py does that), so that a
crash shows up as a failing exit status instead of killing the test run:

    python tests/fuzz_hostile.py EXAMPLES [SEED]

Each example draws one scenario (a model length, a hostile array, a hostile
replacement for one model attribute, a text, a region, a FASTA stand-in) and
makes every call of the module with it.  A call must either return the
result that a plain Python reference gives, or raise an ordinary exception
with a message.  Prints the number of calls made.
"""

import math
import sys
import warnings

import numpy as np
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

sys.path.insert(0, __import__("os").path.dirname(__file__))
import reference  # noqa: E402

import corlap.utils.sequences as seq  # noqa: E402

CALLS = 0
CHECKED = {"nuc_to_num": 0, "score_sequence": 0, "from_fasta": 0, "get_gc_content": 0}
warnings.simplefilter("ignore")

DTYPES = [np.int64, np.int64, np.int64, np.longlong, ">i8", np.int32, np.uint64, np.uint8,
          np.float16, np.float32, np.float64, np.bool_, np.complex128, object]
CODE_VALUES = st.one_of(st.integers(0, 4), st.integers(0, 4), st.integers(-2**63, 2**63 - 1),
                        st.sampled_from([-1, 5, 2**31, 2**32 + 1, -2**31 - 1]))


@st.composite
def hostile_arrays(draw, dims=None, dtypes=DTYPES):
    dtype = np.dtype(draw(st.sampled_from(dtypes)))
    ndim = draw(st.integers(0, 4)) if dims is None else dims
    shape = tuple(draw(st.lists(st.integers(0, 9 if ndim < 3 else 5),
                                min_size=ndim, max_size=ndim)))
    if dtype.kind in "iu" and dtype.itemsize == 8:
        elements = CODE_VALUES if dtype.kind == "i" else st.integers(0, 2**64 - 1)
        array = np.array(draw(st.lists(elements, min_size=int(np.prod(shape)),
                                       max_size=int(np.prod(shape)))),
                         dtype=object).astype(dtype).reshape(shape)
    else:
        array = draw(hnp.arrays(dtype, shape, elements=None if dtype != object
                                else st.integers(0, 4)))
    view = draw(st.sampled_from(["plain", "reversed", "strided", "broadcast", "read_only"]))
    if ndim >= 1 and view == "reversed":
        array = array[::-1]
    elif ndim >= 1 and view == "strided":
        array = np.repeat(array, 2, axis=0)[::2]
    elif ndim >= 1 and view == "broadcast" and shape[0] > 0:
        array = np.broadcast_to(array[:1], shape)
    elif view == "read_only":
        array = array.copy()
        array.flags.writeable = False
    return array


@st.composite
def code_sequences(draw):
    """Mostly valid one-dimensional int64 code arrays, in any layout."""
    values = draw(st.lists(st.one_of(st.integers(0, 3), st.integers(0, 3), st.integers(0, 4),
                                     CODE_VALUES), max_size=40))
    array = np.array(values, dtype=np.int64)
    layout = draw(st.sampled_from(["plain", "reversed", "strided", "read_only", "unaligned"]))
    if layout == "reversed":
        array = array[::-1].copy()[::-1]
    elif layout == "strided":
        doubled = np.zeros(2 * len(values), np.int64)
        doubled[::2] = array
        array = doubled[::2]
    elif layout == "read_only":
        array.flags.writeable = False
    elif layout == "unaligned":
        raw = np.zeros(8 * len(values) + 1, np.uint8)
        unaligned = raw[1:].view(np.int64)
        unaligned[:] = array
        array = unaligned
    return array


ODD_VALUES = st.one_of(
    st.none(), st.integers(-3, 12), st.floats(allow_nan=True), st.text(max_size=3),
    st.lists(st.integers(0, 3), max_size=3), st.just(np.int32(3)), st.just(True),
    hostile_arrays())


class Region:
    def __init__(self, chrom, start, end):
        self.chrom, self.start, self.end = chrom, start, end


class OddFasta:
    def __init__(self, result):
        self.result = result

    def fetch(self, chrom, start, end):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result

    def close(self):
        return None


def call(function, *args, **kwargs):
    """Makes one call; returns (True, result) or (False, exception)."""
    global CALLS
    CALLS += 1
    try:
        return True, function(*args, **kwargs)
    except SystemExit as error:
        return False, error
    except Exception as error:  # noqa: BLE001 - any ordinary exception is allowed
        assert not isinstance(error, SystemError), repr(error)
        assert str(error) or isinstance(error, (AttributeError, KeyError, StopIteration)), \
            f"{type(error).__name__} without a message from {function}"
        return False, error


def valid_codes(array):
    return (isinstance(array, np.ndarray) and array.ndim == 1 and array.dtype == np.int64
            and array.dtype.isnative)


def check_scores(model_kind, model, sequence, ok, result):
    if not ok or not valid_codes(sequence):
        return
    codes = [int(c) for c in sequence]
    if model_kind == "PWM":
        expected = reference.mono_scores(model.pssm, codes)
    else:
        length = model.length
        if not isinstance(length, int) or length < 1:
            assert np.isnan(result).all()
            return
        sanitized = [c if 0 <= c <= 3 else 4 for c in codes]
        expected = reference.dinuc_scores(length, sanitized, model.bias_pwm_log,
                                          model.bg_pwm_log, model.bias_dwm_log,
                                          model.bg_dwm_log)
    assert reference.same_bits(result, expected), (model_kind, codes)
    CHECKED["score_sequence"] += 1


def trained(kind, length, sequences):
    model = seq.SequenceMatrix.create(length, kind)
    for sequence in sequences:
        if len(sequence) >= length and all(0 <= c <= 3 for c in sequence[:length]):
            model.add_sequence(np.array(sequence, dtype=np.int64))
            model.add_background(np.array(sequence[::-1], dtype=np.int64))
    model.prepare_mat()
    return model


ATTRIBUTES = ["length", "counts", "bg_counts", "neg_counts", "no_bias", "no_bg", "pssm",
              "bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log", "bias_dwm"]


@settings(max_examples=int(sys.argv[1]) if len(sys.argv) > 1 else 100, deadline=None,
          database=None, derandomize=len(sys.argv) <= 2,
          suppress_health_check=list(HealthCheck))
@given(
    kind=st.sampled_from(["PWM", "DWM"]),
    length=st.integers(0, 6),
    training=st.lists(st.lists(st.integers(0, 3), min_size=6, max_size=8), max_size=4),
    sequence=st.one_of(code_sequences(), code_sequences(), hostile_arrays(), ODD_VALUES),
    amount=st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-3, 3),
                     st.text(max_size=2), st.none()),
    attribute=st.sampled_from(ATTRIBUTES),
    replacement=ODD_VALUES,
    text=st.one_of(st.text(max_size=30), st.text(alphabet="ACGTNacgtn", max_size=60),
                   st.binary(max_size=5), st.none()),
    start=st.integers(-3, 20), end=st.integers(-3, 30),
)
def fuzz(kind, length, training, sequence, amount, attribute, replacement, text, start, end):
    # Text conversion.
    ok, result = call(seq.nuc_to_num, text)
    if ok:
        assert result.tolist() == reference.codes(text)
        CHECKED["nuc_to_num"] += 1

    # A trained model, scored, then with one attribute replaced.
    model = trained(kind, length, training)
    ok, result = call(model.score_sequence, sequence)
    check_scores(kind, model, sequence, ok, result)
    ok, _ = call(model.add_sequence, sequence, amount)
    ok, _ = call(model.add_background, sequence=sequence)
    setattr(model, attribute, replacement)
    for method in (model.add_sequence, model.add_background):
        call(method, sequence)
    call(model.prepare_mat)
    call(model.score_sequence, sequence)
    other = trained(kind, length, training)
    call(other.add_counts, model)
    call(model.add_counts, other)
    call(seq.SequenceMatrix.create, length, kind.lower())

    # Regions and FASTA stand-ins returning odd results.
    region = Region("chr", start, end)
    ok, genomic = call(seq.GenomicSequence, region)
    if ok:
        fasta = OddFasta(text if not isinstance(text, bytes) else None)
        ok, filled = call(genomic.from_fasta, fasta)
        if ok and isinstance(text, str) and genomic.length > 0:
            assert filled.sequence.tolist() == reference.codes(text[:genomic.length])
            assert filled.revcomp.tolist() == reference.reverse_complement_codes(
                text[:genomic.length])
            CHECKED["from_fasta"] += 1
        setattr(genomic, attribute if attribute in ("length",) else "sequence", replacement)
        call(genomic.from_fasta, fasta)
        call(genomic.from_fasta, OddFasta(replacement))
        call(genomic.from_fasta, OddFasta(KeyError("no such sequence")))

    fasta_result = text if text is not None else replacement
    original = seq.open_fasta
    seq.open_fasta = lambda _: OddFasta(fasta_result)
    try:
        ok, gc = call(seq.get_gc_content, [region, region], "any")
        if ok and isinstance(fasta_result, str) and isinstance(end - start, int):
            expected = reference.gc_count(fasta_result) * 2 / float(2 * (end - start))
            assert gc == expected or (math.isnan(gc) and math.isnan(expected))
            CHECKED["get_gc_content"] += 1
        call(seq.get_gc_content, iter([region, Region(None, 0, replacement)]), "any")
    finally:
        seq.open_fasta = original


if __name__ == "__main__":
    fuzz()
    print("results checked against the reference:", CHECKED)
    print(f"calls: {CALLS}")
