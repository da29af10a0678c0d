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
import os
import resource
import sys
import warnings

import numpy as np
from hypothesis import HealthCheck, given, seed, settings, strategies as st
from hypothesis.extra import numpy as hnp

sys.path.insert(0, os.path.dirname(__file__))
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


# ---------------------------------------------------------------------------
# Model state replaced after construction: tables of every layout, dtype and
# size, odd lengths and totals, Python code run from inside a call.  Every
# successful counting call is compared with a plain loop run on a copy of the
# memory it may touch; a refused mononucleotide count must leave that memory
# as it was.

CHECKED.update({"counting": 0, "unchanged_after_error": 0, "pair_tables": 0,
                "genomic_fill": 0, "gc_walk": 0})

CODE_POOL = np.array([0, 1, 2, 3] * 6 + [4, 4, -1, 5, 2**31, 2**32 + 2, -2**63, 2**63 - 1],
                     dtype=np.int64)
CLEAN_CODES = np.array([0, 1, 2, 3], dtype=np.int64)
FLOAT_POOL = np.array([0.0, 1.0, 0.5, -2.0, 3.25, -0.0, 1e300, 5e-324,
                       math.nan, math.inf, -math.inf], dtype=np.float64)
STEPS = [1, 1, 1, -1, 2, -2, 0]
OTHER_DTYPES = [">i8", ">f8", np.float16, np.float32, np.int32, np.uint64, np.uint8, np.bool_,
                np.complex128, np.longdouble, object, np.int8, "M8[s]",
                [("a", "<f8")]]


class SubArray(np.ndarray):
    """An ndarray subclass whose Python-level item access and length lie."""

    def __len__(self):
        return super().__len__() + 3

    def __getitem__(self, index):
        return super().__getitem__(index)


def laid_out(draw, dtype, shape, pool=None, writable=True):
    """An array of `shape` in memory of its own, with steps of -2 to 2
    (0 included) along each axis and possibly unaligned; its values are
    drawn from `pool` (or random bytes)."""
    dtype = np.dtype(dtype)
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    size = int(np.prod(shape))
    if dtype.hasobject:
        array = np.empty(shape, dtype=object)
        array.reshape(-1)[:] = list(rng.integers(-1, 6, size=size))
        if array.ndim and draw(st.booleans()):
            array = array[::-1]
        return array
    steps = [draw(st.sampled_from(STEPS)) for _ in shape]
    misalign = draw(st.sampled_from([0, 0, 0, 1, 4]))
    strides = [0] * len(shape)
    extent = dtype.itemsize
    for d in reversed(range(len(shape))):
        strides[d] = steps[d] * extent
        if steps[d]:
            extent *= abs(steps[d]) * max(shape[d], 1)
    start = sum((n - 1) * -s for n, s in zip(shape, strides) if s < 0 and n > 0)
    arena = np.zeros(extent + misalign, np.uint8)
    array = np.ndarray(shape, dtype, buffer=arena, offset=misalign + start, strides=strides)
    if pool is not None and dtype.kind in "iufc" and size:
        array[...] = rng.choice(pool, size=shape).astype(dtype) if shape else rng.choice(pool)
    else:
        arena[:] = rng.integers(0, 256, size=arena.size, dtype=np.uint8)
        if dtype.kind == "f" and dtype.isnative and size:
            array[...] = rng.choice(FLOAT_POOL, size=shape) if shape else 1.0
    if draw(st.integers(0, 9)) == 0:
        array = array.view(SubArray)
    if not writable:
        array.flags.writeable = False
    return array


def root_of(array):
    root = array
    while isinstance(root.base, np.ndarray):
        root = root.base
    return root if root.base is None and root.flags.c_contiguous else None


def clone(values):
    """Copies of the arrays among `values` over copies of their memory, so
    that views sharing memory still share it; None when one of them cannot
    be copied that way."""
    memo, out = {}, {}
    for name, value in values.items():
        if not isinstance(value, np.ndarray):
            out[name] = value
            continue
        root = root_of(value)
        if root is None or value.dtype.hasobject or root.dtype.hasobject \
                or root.nbytes > 2**22:
            return None
        if id(root) not in memo:
            memo[id(root)] = (root, root.copy())
        offset = value.__array_interface__["data"][0] - root.__array_interface__["data"][0]
        out[name] = np.ndarray(value.shape, value.dtype, buffer=memo[id(root)][1],
                               offset=offset, strides=value.strides)
    out["__memory__"] = list(memo.values())
    return out


def same_memory(copies, originals):
    """Do the arrays of `originals` hold what their copies hold, and is the
    memory around them untouched?  NaN equals NaN: the payload of a NaN
    depends on the order in which the compiler puts the operands of a sum."""
    covered = {}
    for name, value in originals.items():
        if not isinstance(value, np.ndarray):
            continue
        copy = copies[name]
        if value.dtype.kind == "f" and value.dtype.isnative:
            if not reference.same_bits(value, copy):
                return False
            root = root_of(value)
            mask = covered.setdefault(id(root), np.zeros(root.nbytes, bool))
            offset = value.__array_interface__["data"][0] - root.__array_interface__["data"][0]
            np.ndarray(value.shape + (value.itemsize,), bool, buffer=mask, offset=offset,
                       strides=value.strides + (1,))[...] = True
        elif value.tobytes() != copy.tobytes():
            return False
    for root, copy in copies["__memory__"]:
        differ = np.frombuffer(root.tobytes(), np.uint8) != np.frombuffer(copy.tobytes(),
                                                                           np.uint8)
        if id(root) in covered:
            differ &= ~covered[id(root)]
        if differ.any():
            return False
    return True


def length_value(value):
    """The 32-bit length a method reads from `value`: an int, "error", or
    None when `value` runs code of its own."""
    if isinstance(value, (int, float, np.integer, np.floating, np.bool_)):
        try:
            number = int(value)
        except (ValueError, OverflowError):
            return "error"
        return number if -2**31 <= number < 2**31 else "error"
    if isinstance(value, (str, bytes, list, type(None))):
        return "error"
    return None


class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class IntSubclass(int):
    pass


class Meddler:
    """Runs Python code from inside a call: as a length (`__int__`) or a
    total (`__iadd__`) it rewrites the codes of the sequence and swaps the
    model's tables for small ones."""

    def __init__(self, model, sequence, result):
        self.model, self.sequence, self.result = model, sequence, result

    def meddle(self):
        if isinstance(self.sequence, np.ndarray) and self.sequence.flags.writeable \
                and self.sequence.dtype.kind in "iu" and self.sequence.size:
            self.sequence[...] = 2**40 + 7
        for name in ("counts", "bg_counts", "neg_counts", "bias_dwm_log", "pssm"):
            setattr(self.model, name, np.zeros((1, 1)))
        self.model.length = 2**20

    def __int__(self):
        self.meddle()
        return self.result

    def __iadd__(self, other):
        self.meddle()
        return self.result


class Reentrant:
    """As a length or a total, calls back into the model it belongs to:
    every method once, or one method again and again until the
    interpreter's recursion limit stops it."""

    def __init__(self, model, sequence, result, forever):
        self.model, self.sequence, self.result = model, sequence, result
        self.forever, self.depth, self.stopped = forever, 0, False

    def reenter(self):
        self.depth += 1
        if self.forever and not self.stopped:
            ok, error = call(self.model.add_sequence, self.sequence)
            self.stopped = self.stopped or isinstance(error, RecursionError)
        elif not self.forever and self.depth == 1:
            for method in (self.model.add_sequence, self.model.add_background,
                           self.model.score_sequence):
                call(method, self.sequence)
            call(self.model.prepare_mat)
        self.depth -= 1

    def __int__(self):
        self.reenter()
        return self.result

    def __iadd__(self, other):
        self.reenter()
        return self.result


def table_shape(kind, name, length):
    pair = kind == "DWM" and name in ("counts", "bg_counts", "bias_dwm", "bg_dwm",
                                      "bias_dwm_log", "bg_dwm_log")
    return (5, 5, length, length) if pair else (5, length)


@st.composite
def table_values(draw, model, kind, name, length):
    """A replacement for the table attribute `name`."""
    shape = table_shape(kind, name, max(length, 0))
    choice = draw(st.integers(0, 9))
    if choice <= 2:  # the right shape, any layout, maybe read-only
        return laid_out(draw, np.float64, shape, FLOAT_POOL, writable=draw(st.integers(0, 4)) > 0)
    if choice == 3:  # one axis shorter or longer
        axis = draw(st.integers(0, len(shape) - 1))
        changed = list(shape)
        changed[axis] = max(0, changed[axis] + draw(st.sampled_from([-5, -1, 1, 2])))
        return laid_out(draw, np.float64, tuple(changed), FLOAT_POOL)
    if choice == 4:  # another number of dimensions
        ndim = draw(st.integers(0, 4))
        return laid_out(draw, np.float64,
                        tuple(draw(st.lists(st.integers(0, 6), min_size=ndim, max_size=ndim))),
                        FLOAT_POOL)
    if choice == 5:  # another element type
        return laid_out(draw, draw(st.sampled_from(OTHER_DTYPES)), shape, CODE_POOL)
    if choice == 6:  # shared with another table of the model
        other = getattr(model, draw(st.sampled_from(["counts", "bg_counts", "neg_counts",
                                                     "pssm", "bias_dwm", "bg_dwm"])), None)
        if isinstance(other, np.ndarray) and other.ndim:
            return draw(st.sampled_from([other, other[::-1], other.T, other[..., ::-1]]))
        return other
    if choice == 7:  # read-only broadcast of a single value
        return np.broadcast_to(np.float64(draw(st.sampled_from(list(FLOAT_POOL)))), shape)
    return draw(st.sampled_from([None, 0, 1.5, "table", [[1.0] * 3] * 5, np.float64(2.0)]))


@st.composite
def model_sequences(draw, length, long=False):
    """A numeric sequence around the model length, in any layout (`long`:
    now and then one across the chunks of mononucleotide scoring)."""
    size = max(0, length + draw(st.sampled_from([0, 0, 0, 1, 5, 11, -1, -3])))
    if length > 1000:
        size = length + draw(st.integers(-2, 12))
    elif long and draw(st.integers(0, 39)) == 0:
        size = draw(st.sampled_from([8191, 8192, 8193, 16500])) + length
    choice = draw(st.integers(0, 9))
    if choice <= 6:
        pool = CLEAN_CODES if choice <= 3 else CODE_POOL
        return laid_out(draw, np.int64, (size,), pool, writable=draw(st.booleans()))
    if choice == 7:
        return laid_out(draw, draw(st.sampled_from(OTHER_DTYPES)),
                        tuple(draw(st.lists(st.integers(0, 6), max_size=3))) or (size,),
                        CODE_POOL)
    return draw(st.sampled_from([None, [0, 1, 2], "ACGT", np.int64(2)]))


def length_values(model, sequence, length):
    return st.one_of(
        st.sampled_from([length + 1, length - 1, 2 * length + 3, 0, -1, -2**31, 2**31 - 1,
                         2**31, 2**63, -2**70, 2.7, -0.5, math.nan, math.inf, True,
                         np.int32(length), np.int64(length + 1), np.uint8(2), np.float64(1.5),
                         np.bool_(True), np.int64(2**40), "3", None, b"2", [2]]),
        st.builds(IntLike, st.sampled_from([length, length + 1, -3, 2**31, 2.5, "2", None,
                                            IntSubclass(2), True, ValueError("no length")])),
        st.just(Meddler(model, sequence, length)),
        st.builds(Reentrant, st.just(model), st.just(sequence), st.just(length), st.booleans()))


def total_values(model, sequence):
    return st.one_of(
        st.sampled_from([0, 2, 0.5, -1.5, math.nan, np.float64(3.0), np.float32(2.5), 2**80,
                         None, "total", [1.0]]),
        st.just(Meddler(model, sequence, 0.0)),
        st.builds(Reentrant, st.just(model), st.just(sequence), st.just(0.0), st.booleans()))


AMOUNTS = st.one_of(st.just(None), st.sampled_from([1.0, -1.0, 0.0, 0.5, math.nan, math.inf,
                                                    2, np.float32(0.25), True, 2**1100]),
                    st.floats(allow_nan=True, allow_infinity=True))


def amount_value(amount):
    if amount is None:
        return 1.0
    try:
        return float(amount)
    except (OverflowError, TypeError, ValueError):
        return "error"


def plain_table(value, ndim, columns):
    return (isinstance(value, np.ndarray) and value.dtype == np.float64
            and value.dtype.isnative and value.flags.writeable and value.ndim == ndim
            and all(n >= need for n, need in zip(value.shape, (5, 5, columns, columns)[:2]
                                                   if ndim == 2 else (5, 5, columns, columns)))
            and (ndim != 2 or value.shape[1] >= columns))


def expected_count(kind, method, copies, sequence, length, amount):
    """The tables and total after a plain counting loop run on `copies`."""
    codes = [int(c) for c in sequence[:max(length, 0)]] if length > 0 else []
    if kind == "PWM":
        if method == "add_sequence":
            if 4 in codes:
                return copies
            table = copies["counts"] if amount > 0 else copies["neg_counts"]
            total = "no_bias"
        else:
            table, total = copies["bg_counts"], "no_bg"
        for m, code in enumerate(codes):
            table[code, m] += amount
    else:
        if 4 in codes:
            return copies
        table = copies["counts" if method == "add_sequence" else "bg_counts"]
        total = "no_bias" if method == "add_sequence" else "no_bg"
        for m, first in enumerate(codes):
            for n, second in enumerate(codes):
                table[first, second, m, n] += amount
    value = copies[total]
    value += amount
    copies[total] = value
    return copies


def check_count(kind, method, model, sequence, amount, before, copies, ok):
    """Compares a counting call with the plain loop run on `copies`, taken
    of the state `before` the call."""
    length = length_value(before["length"])
    value = amount_value(amount)
    plain = (isinstance(length, int) and isinstance(value, float)
             and type(before["no_bias"]) in (int, float, np.float64)
             and type(before["no_bg"]) in (int, float, np.float64))
    if copies is None or not plain or not valid_codes(sequence) or any(
            isinstance(v, np.ndarray) and np.shares_memory(v, sequence)
            for v in before.values()):
        return
    names = (["counts", "neg_counts"] if kind == "PWM" else ["counts"]) \
        if method == "add_sequence" else ["bg_counts"]
    ndim = 2 if kind == "PWM" else 4
    codes = sequence[:max(length, 0)]
    if ok:
        expected = expected_count(kind, method, copies, sequence, length, value)
        current = {name: getattr(model, name) for name in before}
        assert same_memory(expected, current), (kind, method, length, codes, value)
        for total in ("no_bias", "no_bg"):
            assert reference.same_bits(current[total], expected[total]), (kind, method, total)
        CHECKED["counting"] += 1
    else:
        fits = sequence.shape[0] >= length and all(0 <= c <= 4 for c in codes) and all(
            plain_table(before[name], ndim, max(length, 0)) for name in names)
        assert not fits, f"{kind}.{method} refused a plain call: {ok}"
        if kind == "PWM":
            assert same_memory(copies, {n: getattr(model, n) for n in before}), \
                f"{kind}.{method} changed tables before refusing"
            CHECKED["unchanged_after_error"] += 1


STATE = ["length", "counts", "neg_counts", "bg_counts", "no_bias", "no_bg"]


def snapshot(model):
    return {name: getattr(model, name, None) for name in STATE}


def check_pair_tables(model, before, copies):
    """After prepare_mat: every pair-table entry as the item-by-item loop
    would write it, run on `copies` of the tables as they were `before`."""
    length = model.length
    if type(length) is not int or not 0 < length <= 6 or copies is None:
        return
    sides = []
    for counts, pwm, total, dwm in (("counts", "bias_pwm", "no_bias", "bias_dwm"),
                                    ("bg_counts", "bg_pwm", "no_bg", "bg_dwm")):
        total_value = getattr(model, total)
        pseudo = total_value if total_value > 16 else 16
        sides.append((copies[counts], getattr(model, pwm), total_value, pseudo, copies[dwm]))
    try:
        for m in range(length):
            for n in range(length):
                for sm in range(5):
                    for sn in range(5):
                        for counts, pwm, total, pseudo, dwm in sides:
                            dwm[sm, sn, m, n] = (counts[sm, sn, m, n] + pseudo * pwm[sn, n]
                                                 * pwm[sm, m]) / float(total + pseudo)
    except Exception:  # noqa: BLE001 - the loop itself fails on such tables
        return
    current = {name: getattr(model, name) for name in before}
    assert same_memory(copies, current), ("pair tables", length)
    CHECKED["pair_tables"] += 1


@given(kind=st.sampled_from(["PWM", "DWM"]), length=st.sampled_from([0, 1, 1, 2, 3, 4, 6, 9, 40]),
       data=st.data())
def fuzz_model_state(kind, length, data):
    draw = data.draw
    if kind == "DWM" and length > 9:
        length = 9
    model = trained(kind, length, [[0, 1, 2, 3, 3, 2, 1, 0], [2, 2, 3, 1, 0, 0, 1, 3]])
    sequence = draw(model_sequences(length, long=kind == "PWM"))
    for _ in range(draw(st.integers(0, 3))):
        what = draw(st.sampled_from(["table", "table", "table", "length", "total"]))
        if what == "table":
            name = draw(st.sampled_from(ATTRIBUTES[1:4] + ATTRIBUTES[6:]))
            setattr(model, name, draw(table_values(model, kind, name, length)))
        elif what == "length":
            model.length = draw(length_values(model, sequence, length))
        else:
            setattr(model, draw(st.sampled_from(["no_bias", "no_bg"])),
                    draw(total_values(model, sequence)))
    new_length = length_value(model.length)
    if isinstance(new_length, int) and new_length > length and draw(st.booleans()):
        sequence = draw(model_sequences(min(new_length, length + 4)))
    if kind == "PWM" and draw(st.integers(0, 29)) == 0:
        # Windows around the length where scoring changes its table layout.
        window = draw(st.sampled_from([2047, 2048, 2049, 2600]))
        model.pssm = laid_out(draw, np.float64, (5, window), FLOAT_POOL[:6])
        sequence = draw(model_sequences(window))

    for method in ("add_sequence", "add_background"):
        amount = draw(AMOUNTS)
        before = snapshot(model)
        copies = clone(before)
        args = (sequence,) if amount is None else (sequence, amount)
        ok, _ = call(getattr(model, method), *args)
        check_count(kind, method, model, sequence, amount, before, copies, ok)

    length_before = model.length
    ok, result = call(model.score_sequence, sequence)
    if ok:
        check_state_scores(kind, model, sequence, result, length_before)
    before = {name: getattr(model, name, None)
              for name in ("counts", "bg_counts", "bias_dwm", "bg_dwm")}
    copies = clone(before)
    ok, _ = call(model.prepare_mat)
    if ok and kind == "DWM":
        check_pair_tables(model, before, copies)
    length_before = model.length
    ok, result = call(model.score_sequence, sequence)
    if ok:
        check_state_scores(kind, model, sequence, result, length_before)

    # Merges both ways, the other model of either kind; methods of one
    # class called on an instance of the other, or on any object.
    other = trained(draw(st.sampled_from(["PWM", "DWM"])), draw(st.sampled_from([0, 1, 3])),
                    [[0, 1, 2, 3, 0, 1]])
    call(model.add_counts, other)
    call(other.add_counts, model)
    cls = draw(st.sampled_from([seq.NucleotideMatrix, seq.DiNucleotideMatrix,
                                seq.SequenceMatrix]))
    self = draw(st.sampled_from([other, model, object(), None, seq.GenomicSequence(Region("c", 0, 2))]))
    for name in ("add_sequence", "add_background", "score_sequence", "prepare_mat",
                 "add_counts"):
        method = getattr(cls, name, None)
        if method is None:
            continue
        arg = model if name == "add_counts" else sequence
        call(method, self) if name == "prepare_mat" else call(method, self, arg)


def window_sums(pssm, codes):
    """The window scores for long sequences: the same additions in the same
    order for every window, done for all windows at once."""
    table = np.asarray(pssm, dtype=np.float64)
    window = table.shape[1]
    codes = np.asarray(codes, dtype=np.int64)
    out = np.full(len(codes), math.nan)
    count = len(codes) - window + 1
    if window == 0 or count <= 0:
        return out
    bad = np.concatenate([[0], np.cumsum((codes < 0) | (codes > 3))])
    clean = bad[window:window + count] - bad[:count] == 0
    safe = np.where((codes >= 0) & (codes <= 3), codes, 0)
    sums = np.zeros(count)
    for m in range(window):
        sums += table[safe[m:m + count], m]
    out[window // 2:window // 2 + count] = np.where(clean, sums, math.nan)
    return out


def check_state_scores(kind, model, sequence, result, length_before):
    if not valid_codes(sequence) or isinstance(sequence, SubArray) \
            or length_value(length_before) is None:
        return
    codes = [int(c) for c in sequence]
    if kind == "PWM" and len(codes) > 1000:
        expected = window_sums(model.pssm, codes)
    elif kind == "PWM":
        expected = reference.mono_scores(model.pssm, codes)
    else:
        length = length_value(model.length)
        if not isinstance(length, int):
            return
        if length < 1:
            assert np.isnan(result).all()
            return
        sanitized = [c if 0 <= c <= 3 else 4 for c in codes]
        # Scoring needs rows for the four bases only; the reference also
        # looks at row 4 in windows that it then throws away.
        tables = [np.pad(table, [(0, max(0, 5 - n)) if axis < table.ndim - 2 + (
                      table.ndim == 2) else (0, 0) for axis, n in enumerate(table.shape)],
                         constant_values=math.nan)
                  for table in (model.bias_pwm_log, model.bg_pwm_log, model.bias_dwm_log,
                                model.bg_dwm_log)]
        expected = reference.dinuc_scores(length, sanitized, *tables)
    assert reference.same_bits(result, expected), (kind, codes)
    CHECKED["score_sequence"] += 1


# ---------------------------------------------------------------------------
# Dinucleotide scoring through the memo of windows already seen: repetitive
# sequences in any layout, any budget, and tables nudged by a unit in the
# last place, replaced or prepared again between calls.  Every result must
# be the plain loop's (the memo switched off), which the scenarios above
# check against the reference.

MEMO_BUDGET = "CORLAP_DWM_MEMO_MIB"
MEMO_SHARE = "CORLAP_DWM_MEMO_DIR"
_share_dir = None


def share_settings():
    """Where the memo's table may be shared: nowhere, a directory of this
    process, a directory that does not exist, a file, the empty string."""
    global _share_dir
    if _share_dir is None:
        import atexit
        import shutil
        import tempfile
        _share_dir = tempfile.mkdtemp(prefix="corlap-fuzz-")
        atexit.register(shutil.rmtree, _share_dir, True)
        open(os.path.join(_share_dir, "file"), "w").close()
    return [None, _share_dir, os.path.join(_share_dir, "missing"),
            os.path.join(_share_dir, "file"), ""]


def plain_scores(model, sequence):
    saved = os.environ.get(MEMO_BUDGET)
    os.environ[MEMO_BUDGET] = "0"
    try:
        return call(model.score_sequence, sequence)
    finally:
        if saved is None:
            del os.environ[MEMO_BUDGET]
        else:
            os.environ[MEMO_BUDGET] = saved


@st.composite
def repetitive_codes(draw, length):
    unit = draw(st.lists(st.sampled_from([0, 1, 2, 3, 3, 0, 4, -1, 5]), min_size=1,
                         max_size=length + 3))
    copies = draw(st.integers(1, max(1, 400 // len(unit))))
    codes = np.array(unit * copies, dtype=np.int64)
    for _ in range(draw(st.integers(0, 6))):
        if len(codes):
            codes[draw(st.integers(0, len(codes) - 1))] = draw(CODE_VALUES)
    layout = draw(st.sampled_from(["plain", "reversed", "every other", "read-only"]))
    if layout == "reversed":
        codes = codes[::-1]
    elif layout == "every other":
        codes = np.repeat(codes, 2)[::2]
    elif layout == "read-only":
        codes.flags.writeable = False
    return codes


def nudge(draw, model):
    """One change to what the scores read, however small."""
    what = draw(st.sampled_from(["ulp", "ulp", "replace", "prepare", "length", "other",
                                 "same bits", "none"]))
    names = ["bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log"]
    if what == "ulp":
        table = getattr(model, draw(st.sampled_from(names)))
        index = tuple(draw(st.integers(0, n - 1)) for n in table.shape)
        table[index] = np.nextafter(table[index], draw(st.sampled_from([np.inf, -np.inf])))
    elif what == "replace":
        name = draw(st.sampled_from(names))
        setattr(model, name, np.nextafter(getattr(model, name), np.inf))
    elif what == "prepare":
        model.add_background(np.zeros(model.length, dtype=np.int64))
        model.prepare_mat()
    elif what == "length" and model.length > 1:
        model.length -= 1
    elif what == "other":
        model = trained("DWM", model.length, [[3, 2, 1, 0] * 4])
    elif what == "same bits":
        for name in names:
            setattr(model, name, getattr(model, name).copy())
    return model


@given(length=st.integers(1, 14), data=st.data())
def fuzz_memo(length, data):
    draw = data.draw
    model = trained("DWM", length, [[0, 1, 2, 3, 3, 2, 1, 0] * 2, [2, 2, 3, 1, 0, 0, 1, 3] * 2])
    saved = {name: os.environ.get(name) for name in (MEMO_BUDGET, MEMO_SHARE)}
    try:
        for _ in range(draw(st.integers(1, 4))):
            sequence = draw(repetitive_codes(length))
            for name, choices in ((MEMO_BUDGET, [None, "256", "1", "0", "", "many", "-1"]),
                                  (MEMO_SHARE, share_settings())):
                value = draw(st.sampled_from(choices))
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value
            ok, result = call(model.score_sequence, sequence)
            plain_ok, expected = plain_scores(model, sequence)
            assert ok and plain_ok
            assert reference.same_bits(result, expected), (length, sequence.tolist())
            CHECKED["score_sequence"] += 1
            model = nudge(draw, model)
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


# ---------------------------------------------------------------------------
# Regions, FASTA objects and the strands of a GenomicSequence.

class RaisingRegion:
    chrom = "chr"

    def __init__(self, start, end, raise_on="end"):
        self._start, self._end, self.raise_on = start, end, raise_on

    @property
    def start(self):
        if self.raise_on == "start":
            raise RuntimeError("start is unavailable")
        return self._start

    @property
    def end(self):
        if self.raise_on == "end":
            raise LookupError("end is unavailable")
        return self._end


class Drifting:
    """A region whose end grows by one at every read."""
    chrom = "chr"

    def __init__(self, start, end):
        self.start, self._end = start, end

    @property
    def end(self):
        self._end += 1
        return self._end


class StrSubclass(str):
    pass


# A region of 2**31 bases gets arrays of 16 GiB that are never touched, so
# cheap; under AddressSanitizer or valgrind that memory (or its shadow) is
# written, so there regions beyond the 32-bit range are too large to make.
UNDER_CHECKER = any(tool in os.environ.get("LD_PRELOAD", "") for tool in ("asan", "vgpreload"))
BEYOND_INT32 = 2**40 if UNDER_CHECKER else 2**31
COORDINATES = st.one_of(st.integers(0, 40), st.integers(0, 40), st.integers(-3, 40), st.sampled_from(
    [BEYOND_INT32, 2**63, -BEYOND_INT32 - 1, 2.0, 3.5, np.int64(4), np.int32(7), np.float64(2.0),
     None, "5", True]))

TEXTS = st.one_of(st.text(alphabet="ACGTNacgtn", max_size=60), st.text(max_size=20),
                  st.sampled_from(["", "A", "\U0001F600ACGT", "\ud800GC", "G\x00C" * 5,
                                   "gc" * 300]))


@st.composite
def fetch_results(draw, length):
    length = min(max(length, 0), 200)
    choice = draw(st.integers(0, 9))
    if choice <= 4:  # about as long as the region
        size = max(0, length + draw(st.sampled_from([0, 0, 0, 3, -1])))
        return draw(st.text(alphabet=st.sampled_from("ACGTNacgtnRY\U0001F600\ud800\x00"),
                            min_size=size, max_size=size))
    text = draw(TEXTS)
    if choice <= 6:
        return text
    return draw(st.sampled_from([StrSubclass(text), list(text), tuple(text),
                                 text.encode("utf-8", "surrogatepass"), None, 42, iter(text),
                                 KeyError("no such sequence")]))


class Fasta:
    def __init__(self, result, meddle=None):
        self.result, self.meddle, self.closed = result, meddle, 0

    def fetch(self, chrom, start, end):
        if self.meddle is not None:
            self.meddle()
        if isinstance(self.result, Exception):
            raise self.result
        return self.result

    def close(self):
        self.closed += 1


def strand_values(draw, length):
    size = min(max(0, length + draw(st.sampled_from([0, 0, 1, -1, 5]))), 200)
    choice = draw(st.integers(0, 5))
    if choice <= 2:
        return laid_out(draw, np.int64, (size,), CLEAN_CODES, writable=choice > 0)
    if choice == 3:
        return laid_out(draw, draw(st.sampled_from(OTHER_DTYPES)), (size,), CODE_POOL)
    return draw(st.sampled_from([None, [0] * size, np.zeros((size, 1), np.int64)]))


def check_fill(genomic, text, before, copies):
    """from_fasta succeeded: both strands as the plain loop writes them,
    run on `copies` taken `before` the call."""
    length = length_value(before["length"])
    if not isinstance(length, int) or type(text) is not str or copies is None:
        return
    forward, reverse = copies["sequence"], copies["revcomp"]
    for i in range(length):
        code = reference.codes(text[i])[0]
        forward[i] = code
        reverse[length - 1 - i] = code if code == 4 else code ^ 1
    current = {name: getattr(genomic, name) for name in before}
    assert same_memory(copies, current), ("from_fasta", length, text[:length])
    CHECKED["genomic_fill"] += 1


@given(start=COORDINATES, end=COORDINATES, data=st.data())
def fuzz_regions(start, end, data):
    draw = data.draw
    kind = draw(st.sampled_from(["plain", "plain", "plain", "drifting", "raising"]))
    if kind == "drifting" and isinstance(start, int) and isinstance(end, int):
        region = Drifting(start, end)
    elif kind == "raising":
        region = RaisingRegion(start, end, draw(st.sampled_from(["start", "end", "neither"])))
    else:
        region = Region("chr", start, end)
    made, genomic = call(seq.GenomicSequence, region)
    if made:
        length = genomic.length
        for _ in range(draw(st.integers(0, 2))):
            name = draw(st.sampled_from(["length", "sequence", "revcomp", "region"]))
            if name == "length":
                value = draw(length_values(genomic, genomic.sequence,
                                           length if isinstance(length, int) else 3))
            elif name == "region":
                value = draw(st.sampled_from([None, Region("chr", 0, 4), object()]))
            else:
                value = strand_values(draw, length if isinstance(length, int) else 3)
            setattr(genomic, name, value)
        if draw(st.integers(0, 5)) == 0:
            genomic.revcomp = genomic.sequence  # both strands in one array
        current = length_value(genomic.length)
        result = draw(fetch_results(current if isinstance(current, int) else 3))
        meddle = None
        if draw(st.integers(0, 7)) == 0:
            def meddle():
                genomic.sequence = np.zeros(0, np.int64)
                genomic.length = 2**31 - 1
        before = {name: getattr(genomic, name, None) for name in ("length", "sequence", "revcomp")}
        copies = clone(before)
        ok, filled = call(genomic.from_fasta, Fasta(result, meddle))
        if ok:
            assert filled is genomic
            if meddle is None:
                check_fill(genomic, result, before, copies)
    # The methods of GenomicSequence on objects of other kinds, and theirs
    # on it.
    model = trained("PWM", 2, [[0, 1]])
    stranger = draw(st.sampled_from([model, object(), region, Fasta("ACGT")]))
    call(seq.GenomicSequence.from_fasta, stranger, Fasta(draw(fetch_results(2))))
    call(seq.GenomicSequence.__init__, stranger, region)
    call(seq.GenomicSequence.from_fasta, stranger, Fasta("ACGT"))
    if made:
        call(seq.NucleotideMatrix.__init__, genomic, 2)
        call(seq.NucleotideMatrix.add_sequence, genomic, genomic.sequence)
        call(seq.DiNucleotideMatrix.score_sequence, genomic, genomic.revcomp)
    # The GC content of regions like this one, through a stand-in source.
    result = draw(fetch_results(3))
    regions = draw(st.sampled_from(["list", "tuple", "generator", "dict", "none", "str"]))
    items = [region, Region("chr", 0, 4), region]
    regions = {"list": items, "tuple": tuple(items), "generator": (r for r in items),
               "dict": {"a": 1}, "none": None, "str": "ACGT"}[regions]
    fasta = Fasta(result)
    original = seq.open_fasta
    seq.open_fasta = draw(st.sampled_from([lambda _: fasta, lambda _: None, len]))
    try:
        ok, gc = call(seq.get_gc_content, regions, "any")
    finally:
        seq.open_fasta = original
    if ok and isinstance(regions, list) and type(region) is Region and type(result) in (
            str, StrSubclass, list, tuple, bytes) and fasta.closed == 1:
        count = 3 * sum(1 for x in result if any(x == letter for letter in "GgCc"))
        total = 0
        for item in items:
            total = total + (item.end - item.start)
        expected = count / float(total)
        assert gc == expected or (math.isnan(gc) and math.isnan(expected)), (gc, expected)
        CHECKED["gc_walk"] += 1


# ---------------------------------------------------------------------------
# Argument binding: every function called with random numbers of arguments
# and keywords, and with a module-level `np` whose functions misbehave.

def bound_functions():
    model = trained("PWM", 2, [[0, 1, 2]])
    dwm = trained("DWM", 2, [[0, 1, 2]])
    genomic = seq.GenomicSequence(Region("chr", 0, 3))
    return [
        (seq.nuc_to_num, ["sequence"]), (seq.get_gc_content, ["regions", "fasta"]),
        (seq.SequenceMatrix.create, ["length", "stype"]),
        (model.add_counts, ["obj"]), (seq.NucleotideMatrix, ["length"]),
        (seq.DiNucleotideMatrix, ["length"]), (seq.GenomicSequence, ["region"]),
        (genomic.from_fasta, ["fasta_obj"]),
    ] + [(getattr(m, name), params) for m in (model, dwm) for name, params in (
        ("add_sequence", ["sequence", "amount"]), ("add_background", ["sequence", "amount"]),
        ("prepare_mat", []), ("score_sequence", ["sequence"]))]


class FakeNumpy:
    """Stands in for the module-level `np`, with a `zeros` that misbehaves."""

    def __init__(self, zeros):
        self._zeros = zeros
        self.nan = np.nan

    def zeros(self, *args, **kwargs):
        return self._zeros(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(np, name)


ODD_ZEROS = [
    lambda *a, **k: np.zeros(0),
    lambda *a, **k: np.zeros(1, dtype=np.float32),
    lambda *a, **k: [0.0],
    lambda *a, **k: None,
    lambda *a, **k: np.broadcast_to(np.zeros(1, k.get("dtype", float)), np.zeros(*a).shape),
    lambda *a, **k: np.zeros(*a, **k)[::-1],
    lambda *a, **k: np.zeros(np.zeros(*a).shape[0] // 2, **k),
    lambda *a, **k: (_ for _ in ()).throw(MemoryError("no memory today")),
]


@given(data=st.data())
def fuzz_binding(data):
    draw = data.draw
    functions = bound_functions()
    function, params = draw(st.sampled_from(functions))
    values = st.one_of(ODD_VALUES, st.just(np.array([0, 1, 2, 3], np.int64)),
                       st.just(Region("chr", 0, 2)), st.just(OddFasta("ACG")))
    args = draw(st.lists(values, max_size=4))
    names = draw(st.lists(st.sampled_from(params + ["self", "weight", "sequence", "amount"]),
                          max_size=3, unique=True))
    kwargs = {name: draw(values) for name in names}
    original = seq.open_fasta
    seq.open_fasta = OddFasta  # never a real file
    try:
        call(function, *args, **kwargs)
    finally:
        seq.open_fasta = original
    if draw(st.integers(0, 3)) == 0:
        original = seq.np
        seq.np = FakeNumpy(draw(st.sampled_from(ODD_ZEROS)))
        try:
            for function, params in functions:
                if "sequence" in params or not params:
                    arg = "ACGTN" if function is seq.nuc_to_num else np.arange(4) % 4
                    call(function, *([arg] if params else []))
            call(seq.GenomicSequence, Region("chr", 0, 5))
        finally:
            seq.np = original


RUNS = [fuzz, fuzz_model_state, fuzz_memo, fuzz_regions, fuzz_binding]


if __name__ == "__main__":
    # Regions of 2**31 bases and more ask NumPy for tens of gigabytes; a cap
    # on the address space turns that into MemoryError instead of letting
    # the machine swap (not under the checkers, which map memory of their
    # own up front).  CORLAP_FUZZ_MEMORY_GB=0 lifts it.
    limit = int(os.environ.get("CORLAP_FUZZ_MEMORY_GB", "8"))
    if limit and not UNDER_CHECKER:
        resource.setrlimit(resource.RLIMIT_AS, (limit << 30, limit << 30))
    # EXAMPLES for each scenario; without SEED the run is the same every
    # time, with one it explores anew from that seed.
    examples = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    for index, run in enumerate(RUNS):
        configured = settings(max_examples=examples, deadline=None, database=None,
                              derandomize=len(sys.argv) <= 2,
                              suppress_health_check=list(HealthCheck))(run)
        if len(sys.argv) > 2:
            configured = seed(int(sys.argv[2]) * len(RUNS) + index)(configured)
        configured()
    print("results checked against the reference:", CHECKED)
    print(f"calls: {CALLS}")
