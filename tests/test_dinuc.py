"""DiNucleotideMatrix: pair counts, probability tables and window scores.

The reference (tests/reference.py) is the textbook form of the model, written
with Python floats and nested lists, math.pow and math.log2; the extension
must agree with it bit for bit.
"""
import math
import random
import warnings

import numpy as np
import pytest

from corlap.utils import sequences
from corlap.utils.sequences import DiNucleotideMatrix, nuc_to_num
from reference import dinuc_counts, dinuc_prepare, dinuc_scores, same_bits


def assert_same_bits(actual, expected):
    actual = np.asarray(actual, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    assert same_bits(actual, expected), first_differences(actual, expected)


def first_differences(actual, expected):
    if actual.shape != expected.shape:
        return actual.shape, expected.shape
    bad = ~((actual.view(np.uint64) == expected.view(np.uint64))
            | (np.isnan(actual) & np.isnan(expected)))
    return actual[bad][:5], expected[bad][:5]


def random_codes(rng, size, unknown_rate):
    return [4 if rng.random() < unknown_rate else rng.randrange(4) for _ in range(size)]


# ---------------------------------------------------------------------------
# Worked values.

def test_empty_model_tables_and_scores():
    model = DiNucleotideMatrix(3)
    assert model.counts.shape == model.bias_dwm.shape == model.bias_pwm.shape == (5, 5, 3, 3)
    assert model.neg_counts.shape == model.pssm.shape == (5, 3)
    assert model.no_bias == 0 and type(model.no_bias) is int
    assert not hasattr(model, "bias_pwm_log")
    dwm = model.bias_dwm
    model.prepare_mat()
    assert model.bias_dwm is dwm
    assert np.all(model.bias_dwm == 0.0625) and np.all(model.bg_dwm == 0.0625)
    assert np.all(model.bias_dwm_log == -4.0) and np.all(model.bias_pwm_log == -2.0)
    assert np.all(model.bias_pwm == 0.25) and np.all(model.pssm == 0.0)
    assert_same_bits(model.score_sequence(np.array([0, 1, 2, 3, 0])),
                     [math.nan, 0.0, 0.0, 0.0, math.nan])


def test_one_sequence_worked_example():
    model = DiNucleotideMatrix(3)
    model.add_sequence(nuc_to_num("ATC"))
    assert type(model.no_bias) is float and model.no_bias == 1.0
    counted = [(0, 0, 0, 0), (1, 1, 1, 1), (2, 2, 2, 2), (0, 1, 0, 1), (1, 0, 1, 0),
               (0, 2, 0, 2), (2, 0, 2, 0), (1, 2, 1, 2), (2, 1, 2, 1)]
    expected = np.zeros((5, 5, 3, 3))
    for index in counted:
        expected[index] = 1.0
    assert np.array_equal(model.counts, expected)
    model.prepare_mat()
    assert model.bias_dwm[0, 1, 0, 1] == pytest.approx(0.209412, abs=1e-6)
    assert model.bias_dwm[0, 0, 0, 1] == pytest.approx(0.075294, abs=1e-6)
    assert model.bias_dwm[1, 0, 0, 0] == pytest.approx(0.075294, abs=1e-6)
    assert model.bias_dwm[4, 4, 0, 1] == pytest.approx(0.037647, abs=1e-6)
    for text, expected_scores in [("ATC", [math.nan, 3.514935, math.nan]),
                                  ("AAA", [math.nan, -0.384691, math.nan]),
                                  ("GATC", [math.nan, -0.965784, 3.514935, math.nan])]:
        scores = model.score_sequence(nuc_to_num(text))
        assert np.isnan(scores[0]) and np.isnan(scores[-1])
        assert scores[1:-1] == pytest.approx(expected_scores[1:-1], abs=1e-6)


def test_pseudo_count_switches_above_sixteen():
    for sequences_count, denominator in [(16, 32.0), (20, 40.0)]:
        model = DiNucleotideMatrix(2)
        for _ in range(sequences_count):
            model.add_sequence(np.array([0, 1]))
        model.prepare_mat()
        pwm = model.bias_pwm
        pseudo = max(float(sequences_count), 16.0)
        assert model.bias_dwm[2, 3, 0, 1] == pseudo * pwm[3, 1] * pwm[2, 0] / denominator


# ---------------------------------------------------------------------------
# Agreement with the reference over random models.

@pytest.mark.parametrize("seed", range(12))
def test_random_models_match_reference(seed):
    rng = random.Random(seed)
    length = rng.randint(1, 6)
    amounts = [1.0, 2.5, 0.75, -0.5, 3.0, 1e-3]
    bias = [(random_codes(rng, length + rng.randrange(3), 0.08), rng.choice(amounts))
            for _ in range(rng.randrange(0, 30))]
    background = [(random_codes(rng, length + rng.randrange(3), 0.08), rng.choice(amounts))
                  for _ in range(rng.randrange(0, 30))]
    model = DiNucleotideMatrix(length)
    for codes, amount in bias:
        model.add_sequence(np.array(codes, dtype=np.int64), amount)
    for codes, amount in background:
        model.add_background(np.array(codes, dtype=np.int64), amount=amount)

    counts, total = dinuc_counts(length, bias)
    bg_counts, bg_total = dinuc_counts(length, background)
    assert_same_bits(model.counts, np.array(counts).reshape(model.counts.shape))
    assert_same_bits(model.bg_counts, np.array(bg_counts).reshape(model.counts.shape))
    assert model.no_bias == total and model.no_bg == bg_total

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        model.prepare_mat()
        no_bias, bias_pwm, bias_dwm = dinuc_prepare(length, counts)
        no_bg, bg_pwm, bg_dwm = dinuc_prepare(length, bg_counts)
        assert_same_bits(model.bias_dwm, bias_dwm)
        assert_same_bits(model.bg_dwm, bg_dwm)
        assert_same_bits(model.bias_dwm_log, np.log2(bias_dwm))
        assert_same_bits([model.no_bias, model.no_bg], [no_bias, no_bg])

        target = random_codes(rng, rng.randrange(0, 40), 0.05)
        expected = dinuc_scores(length, target, np.log2(bias_pwm), np.log2(bg_pwm),
                              np.log2(bias_dwm), np.log2(bg_dwm))
    assert_same_bits(model.score_sequence(np.array(target, dtype=np.int64)), expected)
    # Strided and reversed views are read through their strides.
    doubled = np.repeat(np.array(target[::-1], dtype=np.int64), 2)[::-2]
    assert_same_bits(model.score_sequence(doubled), expected)


def test_lambda_windows_match_reference(lambda_text):
    rng = random.Random(5)
    model = DiNucleotideMatrix(7)
    for _ in range(40):
        start = rng.randrange(len(lambda_text) - 7)
        model.add_sequence(nuc_to_num(lambda_text[start:start + 7]))
        start = rng.randrange(len(lambda_text) - 7)
        model.add_background(nuc_to_num(lambda_text[start:start + 7]), 0.5)
    model.prepare_mat()
    codes = nuc_to_num(lambda_text[1000:1200] + "N" + lambda_text[1200:1300])
    expected = dinuc_scores(7, codes.tolist(), model.bias_pwm_log, model.bg_pwm_log,
                          model.bias_dwm_log, model.bg_dwm_log)
    scores = model.score_sequence(codes)
    assert_same_bits(scores, expected)
    # The N at 200 blanks the centres of the seven windows covering it.
    assert np.isnan(scores[197:204]).all() and not np.isnan(scores[[196, 204]]).any()


# ---------------------------------------------------------------------------
# The item-by-item path of the pair tables.

class RecordingArray(np.ndarray):
    """An ndarray subclass that records the order of item assignments."""

    def __setitem__(self, index, value):
        self.log.append(index)
        super().__setitem__(index, value)


def test_item_path_matches_native_and_keeps_its_order():
    rng = random.Random(3)
    native, items = DiNucleotideMatrix(3), DiNucleotideMatrix(3)
    for _ in range(20):
        codes = np.array(random_codes(rng, 3, 0.0))
        native.add_sequence(codes, 1.5)
        items.add_sequence(codes, 1.5)
        native.add_background(codes[::-1].copy())
        items.add_background(codes[::-1].copy())
    native.prepare_mat()
    recorder = np.zeros((5, 5, 3, 3)).view(RecordingArray)
    recorder.log = []
    items.bias_dwm = recorder
    items.prepare_mat()
    assert_same_bits(items.bias_dwm, native.bias_dwm)
    assert_same_bits(items.bg_dwm, native.bg_dwm)
    expected_order = [(sm, sn, m, n) for m in range(3) for n in range(3)
                      for sm in range(5) for sn in range(5)]
    assert recorder.log == expected_order


def test_length_beyond_tables_raises_index_error_after_partial_rewrite():
    model = DiNucleotideMatrix(2)
    model.add_sequence(np.array([0, 1]))
    model.prepare_mat()
    model.bias_dwm[...] = -1.0
    model.length = 3
    model.counts = np.zeros((5, 5, 2, 2))
    with pytest.raises(IndexError):
        model.prepare_mat()
    # m = 0 with n = 0 and 1 was rewritten before n = 2 failed; m = 1 was not.
    assert (model.bias_dwm[:, :, 0, :] != -1.0).all()
    assert (model.bias_dwm[:, :, 1, :] == -1.0).all()


@pytest.mark.filterwarnings("ignore:invalid value encountered in log2")
def test_zero_denominator_warns_through_numpy():
    model = DiNucleotideMatrix(1)
    model.add_sequence(np.array([0]), -16.0)
    with pytest.warns(RuntimeWarning, match="divide"):
        model.prepare_mat()
    assert np.isinf(model.bias_dwm[0, 0, 0, 0])
    with np.errstate(divide="raise"), pytest.raises(FloatingPointError):
        model.prepare_mat()


def test_float_length_goes_through_range():
    model = DiNucleotideMatrix(2)
    model.length = 2.0
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        model.prepare_mat()


# ---------------------------------------------------------------------------
# Counting order and input refused before anything changes.

def test_counting_reads_counts_before_length_and_total_before_table():
    class NoCounts(DiNucleotideMatrix):
        pass
    model = NoCounts(2)
    del model.counts, model.length
    with pytest.raises(AttributeError, match="counts"):
        model.add_sequence(np.array([0, 1]))

    class FrozenCounts(DiNucleotideMatrix):
        table = None

        @property
        def counts(self):
            return self.table

        @counts.setter
        def counts(self, value):
            if self.table is not None:
                raise RuntimeError("frozen")
            self.table = value

    model = FrozenCounts(2)
    with pytest.raises(RuntimeError, match="frozen"):
        model.add_sequence(np.array([2, 3]), 2.0)
    assert model.no_bias == 2.0 and model.counts[2, 3, 0, 1] == 2.0


def test_unknown_code_skips_the_sequence():
    model = DiNucleotideMatrix(3)
    model.add_sequence(np.array([0, 4, 1]))
    model.add_background(np.array([0, 1, 4]))
    model.add_background(np.array([0, 1, 2, 4]))
    assert model.no_bias == 0 and not model.counts.any()
    assert model.no_bg == 1.0 and model.bg_counts.sum() == 9.0


@pytest.mark.parametrize("attribute,method", [("counts", "add_sequence"),
                                              ("bg_counts", "add_background")])
@pytest.mark.parametrize("sequence,table,error,match", [
    (np.array([0, 1]), None, ValueError, "sequence holds 2 codes, fewer than the model length 3"),
    (np.array([0, 5, 1]), None, ValueError, "code 5 at position 1"),
    (np.array([0, 1, -1, 4]), None, ValueError, "code -1 at position 2"),
    (np.array([0, 1, 2**32 + 1]), None, ValueError, "code 4294967297"),
    (None, None, TypeError,
     r"Argument 'sequence' has incorrect type \(expected numpy.ndarray, got NoneType\)"),
    (np.array([0, 1, 2]), "none", TypeError, "is None"),
    (np.array([0, 1, 2]), (5, 5, 2, 3), ValueError, r"shape \(5, 5, 2, 3\)"),
    (np.array([0, 1, 2]), (4, 5, 3, 3), ValueError, "smaller than"),
])
def test_counting_refuses_out_of_contract_input(attribute, method, sequence, table, error,
                                                match):
    model = DiNucleotideMatrix(3)
    if table == "none":
        setattr(model, attribute, None)
    elif table is not None:
        setattr(model, attribute, np.zeros(table))
    before = getattr(model, attribute)
    snapshot = None if before is None else before.copy()
    with pytest.raises(error, match=match):
        getattr(model, method)(sequence, 2.0)
    assert model.no_bias == 0 and model.no_bg == 0
    assert getattr(model, attribute) is before
    if snapshot is not None:
        assert not getattr(model, attribute).any()


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # the mean of no positions
def test_length_zero_counts_totals_only():
    model = DiNucleotideMatrix(0)
    model.add_sequence(None, 2.0)
    model.add_background(np.array([], dtype=np.int64))
    assert model.no_bias == 2.0 and model.no_bg == 1.0
    model.prepare_mat()
    assert math.isnan(model.no_bias) and model.bias_pwm.shape == (5, 0)
    assert_same_bits(model.score_sequence(np.array([0, 1, 2])), [math.nan] * 3)


# ---------------------------------------------------------------------------
# Scoring outside the contract.

@pytest.fixture
def prepared():
    model = DiNucleotideMatrix(3)
    for text in ["ACG", "TTG", "ACA"]:
        model.add_sequence(nuc_to_num(text))
    model.add_background(nuc_to_num("GGC"))
    model.prepare_mat()
    return model


@pytest.mark.parametrize("bad", [5, -1, 2**32 + 1, -(2**40)])
def test_scoring_blanks_windows_with_codes_outside_the_bases(prepared, bad):
    codes = np.array([0, 1, 2, 3, 0, 1, 2, 3], dtype=np.int64)
    clean = prepared.score_sequence(codes)
    codes[4] = bad
    scores = prepared.score_sequence(codes)
    assert np.isnan(scores[3:6]).all()
    assert_same_bits(scores[[1, 2, 6]], clean[[1, 2, 6]])


@pytest.mark.parametrize("length", [0, -3])
def test_scoring_with_non_positive_length_gives_nan(prepared, length):
    prepared.length = length
    scores = prepared.score_sequence(np.array([0, 1, 2, 3], dtype=np.int64))
    assert scores.shape == (4,) and np.isnan(scores).all()


@pytest.mark.parametrize("attribute,value,error,match", [
    ("bias_pwm_log", None, TypeError, "'bias_pwm_log' is None"),
    ("bg_dwm_log", None, TypeError, "'bg_dwm_log' is None"),
    ("bg_pwm_log", np.zeros((5, 2)), ValueError, r"'bg_pwm_log' has shape \(5, 2\)"),
    ("bias_dwm_log", np.zeros((5, 5, 3, 2)), ValueError, "'bias_dwm_log' has shape"),
    ("bias_dwm_log", [1.0], TypeError, "Cannot convert list to numpy.ndarray"),
])
def test_scoring_refuses_unusable_tables(prepared, attribute, value, error, match):
    setattr(prepared, attribute, value)
    with pytest.raises(error, match=match):
        prepared.score_sequence(np.array([0, 1, 2, 3], dtype=np.int64))


def test_scoring_errors_of_the_calling_contract(prepared):
    with pytest.raises(TypeError, match="object of type 'NoneType' has no len()"):
        prepared.score_sequence(None)
    with pytest.raises(AttributeError, match="bias_pwm_log"):
        DiNucleotideMatrix(3).score_sequence(np.array([0, 1, 2]))
    assert_same_bits(prepared.score_sequence(np.array([0, 1], dtype=np.int64)),
                     [math.nan, math.nan])
    assert prepared.score_sequence(np.array([], dtype=np.int64)).shape == (0,)
    assert sequences.DiNucleotideMatrix.score_sequence.__qualname__ == \
        "DiNucleotideMatrix.score_sequence"


def test_tables_sharing_memory_follow_the_item_order():
    """A written table that is also read sees the entries written before."""
    def build(alias):
        model = DiNucleotideMatrix(3)
        rng = random.Random(9)
        for _ in range(5):
            model.add_sequence(np.array(random_codes(rng, 3, 0.0)), 2.0)
            model.add_background(np.array(random_codes(rng, 3, 0.0)))
        model.bg_dwm = alias(model.counts)
        model.prepare_mat()
        return model

    def recording(array):
        view = array.view(RecordingArray)
        view.log = []
        return view

    plain, items = build(lambda counts: counts), build(recording)
    assert len(items.bg_dwm.log) == 5 * 5 * 3 * 3
    assert_same_bits(plain.bias_dwm, items.bias_dwm)
    assert_same_bits(plain.counts, items.counts)
    assert_same_bits(plain.bg_dwm, items.bg_dwm)


# ---------------------------------------------------------------------------
# Which pair-table path runs: native for ordinary models, item by item for
# tables that share memory.

def pair_table_path(test_hooks, model):
    """'native' or 'item_by_item': the path one prepare_mat took."""
    before = test_hooks.pair_table_runs()
    model.prepare_mat()
    native, item_by_item = (after - b for after, b in zip(test_hooks.pair_table_runs(), before))
    assert native + item_by_item == 1
    return "native" if native else "item_by_item"


def counted_model(length, seed, amount=1.0):
    rng = random.Random(seed)
    model = DiNucleotideMatrix(length)
    for _ in range(25):
        model.add_sequence(np.array(random_codes(rng, length, 0.0)), amount)
        model.add_background(np.array(random_codes(rng, length, 0.1)))
    return model


def merged_model():
    model = counted_model(4, 1)
    model.add_counts(counted_model(4, 2))
    return model


def model_with_fortran_tables():
    model = counted_model(5, 3)
    model.bias_dwm = np.asfortranarray(model.bias_dwm)
    model.counts = np.asfortranarray(model.counts)
    return model


@pytest.mark.parametrize("make", [
    lambda: DiNucleotideMatrix(3),
    lambda: counted_model(1, 4),
    lambda: counted_model(6, 5),
    lambda: counted_model(12, 6, amount=0.25),
    merged_model,
    model_with_fortran_tables,
], ids=["empty", "length-1", "counted", "below-sixteen", "merged", "fortran-order"])
def test_ordinary_models_fill_the_pair_tables_natively(test_hooks, make):
    assert pair_table_path(test_hooks, make()) == "native"


def shifted_view(array, steps):
    """A writable view of the memory of `array` (C-contiguous) starting
    `steps` elements further on, shaped like it."""
    flat = np.zeros(array.size + steps)
    flat[:array.size] = array.ravel()
    return flat[:array.size].reshape(array.shape), flat[steps:].reshape(array.shape)


def share_counts(model):
    model.bg_dwm = model.counts


def share_written_tables(model):
    model.bg_dwm = model.bias_dwm


def shift_into_counts(model):
    model.counts, model.bias_dwm = shifted_view(model.counts, model.length ** 2)


def overlap_within_one_table(model):
    dwm = model.bias_dwm
    model.bias_dwm = np.lib.stride_tricks.as_strided(
        dwm, shape=dwm.shape, strides=(dwm.strides[0], 0) + dwm.strides[2:])


@pytest.mark.parametrize("share", [share_counts, share_written_tables, shift_into_counts,
                                   overlap_within_one_table])
def test_tables_sharing_memory_go_item_by_item(test_hooks, share):
    model = counted_model(3, 7)
    share(model)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert pair_table_path(test_hooks, model) == "item_by_item"


class ItemArray(np.ndarray):
    """A subclass that sends prepare_mat down the item-by-item path."""


def growing_chain(view_class):
    """Length 2, `bias_dwm` over the memory of `counts` one step of the
    second code axis further on, and a denominator of about 1e-13: each
    entry written is read as the count of the next one, growing by 1e13 a
    step until it overflows."""
    model = DiNucleotideMatrix(2)
    model.counts, dwm = shifted_view(model.counts, 2 * 2)
    model.bias_dwm = dwm.view(view_class)
    model.add_sequence(np.array([0, 1]), -16 + 1e-13)
    return model


@pytest.mark.filterwarnings("ignore:invalid value encountered in log2")
def test_overlapping_tables_raise_as_the_item_loop_does():
    outcomes = []
    for view_class in (np.ndarray, ItemArray):
        model = growing_chain(view_class)
        with np.errstate(over="raise"), pytest.raises(FloatingPointError) as raised:
            model.prepare_mat()
        outcomes.append((str(raised.value), model.counts.copy(), np.asarray(model.bg_dwm)))
    (message, counts, bg_dwm), (item_message, item_counts, item_bg_dwm) = outcomes
    assert message == item_message == "overflow encountered in scalar divide"
    assert_same_bits(counts, item_counts)
    assert_same_bits(bg_dwm, item_bg_dwm)


def test_overlapping_tables_warn_as_the_item_loop_does():
    outcomes = []
    for view_class in (np.ndarray, ItemArray):
        model = growing_chain(view_class)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            model.prepare_mat()
        outcomes.append(([str(w.message) for w in caught], model.counts.copy()))
    assert outcomes[0][0] == outcomes[1][0]
    assert "overflow encountered in scalar divide" in outcomes[0][0]
    assert_same_bits(outcomes[0][1], outcomes[1][1])


@pytest.mark.parametrize("method, total", [("add_sequence", "no_bias"),
                                           ("add_background", "no_bg")])
def test_total_that_cannot_grow_leaves_the_tables_alone(method, total):
    model = DiNucleotideMatrix(3)
    setattr(model, total, None)
    table = model.counts if method == "add_sequence" else model.bg_counts
    with pytest.raises(TypeError):
        getattr(model, method)(np.array([0, 1, 2]))
    assert not table.any()
    assert getattr(model, total) is None


def test_sequence_changed_while_the_total_grows_counts_the_checked_codes():
    sequence = np.array([0, 1, 2])

    class Total(float):
        def __add__(self, other):
            sequence[1] = 7   # Python code running in the middle of the call
            return float(self) + other

    model = DiNucleotideMatrix(3)
    model.no_bias = Total(0.0)
    model.add_sequence(sequence)
    assert model.no_bias == 1.0
    assert model.counts[1, 1, 1, 1] == 1.0 and model.counts.sum() == 9.0
