"""The mononucleotide model: factory, merge, counting, tables and scoring."""

import math

import numpy as np
import pytest

from corlap.utils import sequences
from corlap.utils.sequences import NucleotideMatrix, SequenceMatrix
from reference import mono_scores, same_bits

LOG2_1_6 = math.log2(1.6)
LOG2_0_8 = math.log2(0.8)


def codes(*values):
    return np.array(values, dtype=np.int64)


def snapshot(model):
    """Copies of everything a counting or merging call may change."""
    return {name: (value.copy() if isinstance(value, np.ndarray) else value)
            for name, value in vars(model).items()}


def assert_unchanged(model, before):
    after = vars(model)
    assert after.keys() == before.keys()
    for name, value in before.items():
        if isinstance(value, np.ndarray):
            assert np.array_equal(after[name], value), name
        else:
            assert after[name] == value and type(after[name]) is type(value), name


def strided_variants(rng, base):
    """The same codes as a reversed view, every second element, read-only."""
    doubled = np.repeat(base, 2)
    doubled[1::2] = rng.integers(0, 4, len(base))
    readonly = base.copy()
    readonly.flags.writeable = False
    return {
        "contiguous": base,
        "reversed": base[::-1].copy()[::-1],
        "every_second": doubled[::2],
        "read_only": readonly,
    }


# ------------------------------------------------------------------ create


def test_create_builds_a_nucleotide_matrix():
    model = SequenceMatrix.create(10, "PWM")
    assert type(model) is NucleotideMatrix and model.length == 10
    assert model.counts.shape == (5, 10)


def test_create_looks_the_classes_up_when_called(monkeypatch):
    made = []
    monkeypatch.setattr(sequences, "DiNucleotideMatrix", lambda length: made.append(length) or "dwm")
    assert NucleotideMatrix.create(length=7, stype="DWM") == "dwm"
    assert made == [7]


@pytest.mark.parametrize("stype, shown", [("pwm", "pwm"), ("Pwm", "Pwm"), (None, "None"),
                                          (3, "3")])
def test_create_exits_on_an_unknown_score_type(stype, shown):
    with pytest.raises(SystemExit) as raised:
        SequenceMatrix.create(10, stype)
    assert raised.value.code == "Unkown score type " + shown


def test_create_returns_none_when_exit_returns(monkeypatch):
    calls = []

    class FakeSys:
        @staticmethod
        def exit(message):
            calls.append(message)

    monkeypatch.setattr(sequences, "sys", FakeSys)
    assert SequenceMatrix.create(4, "RNA") is None
    assert calls == ["Unkown score type RNA"]


# -------------------------------------------------------------- add_counts


def counted_model(rng, length=4):
    model = NucleotideMatrix(length)
    for _ in range(3):
        model.add_sequence(rng.integers(0, 4, length), rng.uniform(0.5, 2))
        model.add_sequence(rng.integers(0, 4, length), -rng.uniform(0.5, 2))
        model.add_background(rng.integers(0, 5, length), rng.uniform(0.5, 2))
    return model


def test_add_counts_adds_counts_and_totals():
    rng = np.random.default_rng(1)
    a, b = counted_model(rng), counted_model(rng)
    a_before, b_before = snapshot(a), snapshot(b)
    counts = a.counts
    a.add_counts(b)
    assert a.counts is counts
    for name in ("counts", "bg_counts", "neg_counts", "no_bias", "no_bg"):
        assert np.array_equal(getattr(a, name), a_before[name] + b_before[name])
    assert_unchanged(b, b_before)


def test_add_counts_into_itself_doubles_and_fresh_model_changes_nothing():
    rng = np.random.default_rng(2)
    model = counted_model(rng)
    before = snapshot(model)
    model.add_counts(NucleotideMatrix(4))
    assert_unchanged(model, before)
    model.add_counts(model)
    for name in ("counts", "bg_counts", "neg_counts", "no_bias", "no_bg"):
        assert np.array_equal(getattr(model, name), 2 * before[name])


class Donor:
    def __init__(self, length, **overrides):
        self.counts = np.ones((5, length))
        self.bg_counts = np.ones((5, length))
        self.neg_counts = -np.ones((5, length))
        self.no_bias = 1.0
        self.no_bg = 2.0
        for name, value in overrides.items():
            if value is None:
                delattr(self, name)
            else:
                setattr(self, name, value)


@pytest.mark.parametrize("donor, error, message", [
    (Donor(4, no_bg=None), AttributeError, "no_bg"),
    (Donor(4, neg_counts=np.ones((5, 3))), ValueError,
     r"obj.neg_counts of shape \(5, 3\) into self.neg_counts of shape \(5, 4\)"),
    (Donor(4, neg_counts=np.ones((6, 4))), ValueError, "shape"),
    (Donor(4, bg_counts=np.ones((5, 4), dtype=complex)), TypeError,
     "obj.bg_counts of dtype complex128 into self.bg_counts of dtype float64"),
    (Donor(4, neg_counts="many"), TypeError, None),
    (Donor(4, no_bg="many"), TypeError, "str"),
])
def test_failing_merge_changes_nothing(donor, error, message):
    rng = np.random.default_rng(3)
    model = counted_model(rng)
    before = snapshot(model)
    with pytest.raises(error, match=message):
        model.add_counts(donor)
    assert_unchanged(model, before)


def test_merge_into_read_only_table_changes_nothing():
    rng = np.random.default_rng(4)
    model = counted_model(rng)
    model.neg_counts.flags.writeable = False
    before = snapshot(model)
    with pytest.raises(ValueError, match="read-only"):
        model.add_counts(Donor(4))
    assert_unchanged(model, before)


def test_merge_broadcasts_like_in_place_addition():
    model = NucleotideMatrix(3)
    model.add_counts(Donor(3, counts=np.arange(3.0), bg_counts=2))
    assert np.array_equal(model.counts, np.tile(np.arange(3.0), (5, 1)))
    assert np.array_equal(model.bg_counts, np.full((5, 3), 2.0))


# ---------------------------------------------------------------- counting


def test_new_model_attributes():
    model = NucleotideMatrix(3)
    for name in ("counts", "neg_counts", "bg_counts", "pssm"):
        table = getattr(model, name)
        assert table.shape == (5, 3) and table.dtype == np.float64 and not table.any()
    assert len({id(getattr(model, n)) for n in ("counts", "neg_counts", "bg_counts", "pssm")}) == 4
    assert model.no_bias == 0 and type(model.no_bias) is int
    assert model.no_bg == 0 and type(model.no_bg) is int
    assert not hasattr(model, "bias_pwm") and not hasattr(model, "bg_pwm")


def test_add_sequence_counts_the_first_length_codes():
    model = NucleotideMatrix(3)
    counts = model.counts
    model.add_sequence(codes(0, 1, 2, 4, 9))
    expected = np.zeros((5, 3))
    expected[[0, 1, 2], [0, 1, 2]] = 1.0
    assert model.counts is counts and np.array_equal(counts, expected)
    assert model.no_bias == 1.0 and type(model.no_bias) is float
    model.add_sequence(sequence=codes(3, 3, 3), amount=3)
    expected[3, :] += 3.0
    assert np.array_equal(counts, expected) and model.no_bias == 4.0


@pytest.mark.parametrize("amount", [-2.0, 0, math.nan])
def test_non_positive_amounts_go_to_neg_counts(amount):
    model = NucleotideMatrix(3)
    model.add_sequence(codes(2, 2, 0), amount)
    expected = np.zeros((5, 3))
    expected[[2, 2, 0], [0, 1, 2]] = amount
    assert np.array_equal(model.neg_counts, expected, equal_nan=True)
    assert not model.counts.any()
    assert type(model.no_bias) is float and same_bits(model.no_bias, 0.0 + amount)


def test_sequence_with_unknown_code_in_window_is_not_counted():
    model = NucleotideMatrix(3)
    before = snapshot(model)
    model.add_sequence(codes(0, 4, 1, 2))
    assert_unchanged(model, before)


def test_background_counts_unknown_codes_and_any_sign():
    model = NucleotideMatrix(3)
    model.add_background(codes(0, 4, 3), 2.5)
    model.add_background(codes(1, 4, 3), -1.0)
    expected = np.zeros((5, 3))
    expected[0, 0], expected[1, 0], expected[4, 1], expected[3, 2] = 2.5, -1.0, 1.5, 1.5
    assert np.array_equal(model.bg_counts, expected)
    assert model.no_bg == 1.5 and not model.counts.any()


def test_zero_length_model_only_adds_totals():
    model = NucleotideMatrix(0)
    model.add_sequence(codes(), 2.0)
    model.add_sequence(None)
    model.add_background(codes(9, -1), 0.5)
    assert model.counts.shape == (5, 0) and model.no_bias == 3.0 and model.no_bg == 0.5


def test_counting_through_strides_matches_a_plain_loop():
    rng = np.random.default_rng(5)
    length = 9
    model = NucleotideMatrix(length)
    counts, background = np.zeros((5, length)), np.zeros((5, length))
    for _ in range(20):
        base = rng.integers(0, 4, 15)
        for sequence in strided_variants(rng, base).values():
            amount = float(rng.uniform(0.1, 3))
            model.add_sequence(sequence, amount)
            model.add_background(sequence, amount)
            for m in range(length):
                counts[sequence[m], m] += amount
                background[sequence[m], m] += amount
    assert np.array_equal(model.counts, counts) and np.array_equal(model.bg_counts, background)


@pytest.mark.parametrize("method", ["add_sequence", "add_background"])
@pytest.mark.parametrize("sequence, error, message", [
    (codes(0, 1), ValueError, "sequence has 2 codes, fewer than the model length 3"),
    (codes(0, 5, 1), ValueError, "code 5 at position 1"),
    (codes(4, 1, -1), ValueError, "code -1 at position 2"),
    (codes(0, 1, 2**32 + 1), ValueError, "code 4294967297 at position 2"),
    (None, TypeError,
     r"Argument 'sequence' has incorrect type \(expected numpy.ndarray, got NoneType\)"),
])
def test_counting_refuses_bad_sequences_and_changes_nothing(method, sequence, error, message):
    model = NucleotideMatrix(3)
    model.add_background(codes(0, 1, 2))
    before = snapshot(model)
    with pytest.raises(error, match=message):
        getattr(model, method)(sequence)
    assert_unchanged(model, before)


@pytest.mark.parametrize("method, table", [("add_sequence", "counts"),
                                           ("add_sequence", "neg_counts"),
                                           ("add_background", "bg_counts")])
@pytest.mark.parametrize("value, error", [(None, TypeError), (np.zeros((4, 3)), ValueError),
                                          (np.zeros((5, 2)), ValueError)])
def test_counting_refuses_bad_tables_and_changes_nothing(method, table, value, error):
    model = NucleotideMatrix(3)
    setattr(model, table, value)
    before = snapshot(model)
    with pytest.raises(error, match=table):
        getattr(model, method)(codes(0, 1, 2), -1.0 if table == "neg_counts" else 1.0)
    assert_unchanged(model, before)


# ------------------------------------------------------------- prepare_mat


def test_prepare_fresh_model():
    model = NucleotideMatrix(3)
    model.prepare_mat()
    assert model.no_bias == 0.0 and model.no_bg == 0.0
    assert np.array_equal(model.bias_pwm, np.full((5, 3), 0.25))
    assert np.array_equal(model.bg_pwm, np.full((5, 3), 0.25))
    assert np.array_equal(model.pssm, np.zeros((5, 3)))


def test_prepare_after_one_sequence():
    model = NucleotideMatrix(3)
    model.add_sequence(codes(0, 1, 2))
    model.prepare_mat()
    expected = np.full((5, 3), 0.2)
    expected[[0, 1, 2], [0, 1, 2]] = 0.4
    assert model.no_bias == 1.0 and model.no_bg == 0.0
    assert np.allclose(model.bias_pwm, expected) and np.array_equal(model.bg_pwm, np.full((5, 3), 0.25))
    assert np.allclose(model.pssm, np.where(expected == 0.4, LOG2_1_6, LOG2_0_8))


def test_prepare_matches_the_numpy_expressions_bit_for_bit():
    rng = np.random.default_rng(6)
    model = counted_model(rng, length=11)
    model.add_background(codes(*([4] * 11)), 3.0)
    counts, bg = model.counts.copy(), model.bg_counts.copy()
    model.prepare_mat()
    no_bias = np.mean(np.sum(counts[:4, :], axis=0))
    no_bg = np.mean(np.sum(bg[:4, :], axis=0))
    bias_pwm = np.true_divide(counts + 1, no_bias + 4)
    bg_pwm = np.true_divide(bg + 1, no_bg + 4)
    assert type(model.no_bias) is np.float64 and same_bits(model.no_bias, no_bias)
    assert same_bits(model.no_bg, no_bg)
    assert same_bits(model.bias_pwm, bias_pwm) and same_bits(model.bg_pwm, bg_pwm)
    assert same_bits(model.pssm, np.log2(np.true_divide(bias_pwm, bg_pwm)))
    first = snapshot(model)
    model.prepare_mat()
    assert_unchanged(model, first)
    model.add_sequence(codes(*([0] * 11)))
    assert type(model.no_bias) is np.float64


def test_prepare_zero_length_model():
    model = NucleotideMatrix(0)
    with np.errstate(all="ignore"), pytest.warns(RuntimeWarning):
        model.prepare_mat()
    assert math.isnan(model.no_bias) and math.isnan(model.no_bg)
    assert model.bias_pwm.shape == model.bg_pwm.shape == model.pssm.shape == (5, 0)


def test_prepare_calls_numpy_through_the_module_name(monkeypatch):
    calls = []

    class RecordingNumpy:
        def __getattr__(self, name):
            function = getattr(np, name)

            def record(*args, **kwargs):
                calls.append((name, tuple(kwargs.items())))
                return function(*args, **kwargs)
            return record

    model = NucleotideMatrix(3)
    model.add_sequence(codes(0, 1, 2))
    monkeypatch.setattr(sequences, "np", RecordingNumpy())
    model.prepare_mat()
    assert calls == [("sum", (("axis", 0),)), ("mean", ()), ("sum", (("axis", 0),)), ("mean", ()),
                     ("true_divide", ()), ("true_divide", ()), ("true_divide", ()), ("log2", ())]
    assert np.allclose(model.pssm[0, 0], LOG2_1_6)
    monkeypatch.delattr(sequences, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        model.prepare_mat()


# ---------------------------------------------------------------- scoring


def test_unprepared_model_scores_zero():
    scores = NucleotideMatrix(3).score_sequence(codes(0, 1, 2, 3, 0))
    assert same_bits(scores, [math.nan, 0.0, 0.0, 0.0, math.nan])


def test_prepared_model_scores_worked_values():
    model = NucleotideMatrix(3)
    model.add_sequence(codes(0, 1, 2))
    model.prepare_mat()
    assert np.allclose(model.score_sequence(codes(0, 1, 2)), [math.nan, 3 * LOG2_1_6, math.nan],
                       equal_nan=True)
    assert np.allclose(model.score_sequence(codes(0, 0, 0)),
                       [math.nan, LOG2_1_6 + 2 * LOG2_0_8, math.nan], equal_nan=True)


@pytest.mark.parametrize("window, length, expected", [
    (6, 10, [math.nan] * 3 + [0.0] * 5 + [math.nan] * 2),
    (5, 9, [math.nan] * 2 + [0.0] * 5 + [math.nan] * 2),
    (4, 3, [math.nan] * 3),
    (4, 0, []),
    (0, 4, [math.nan] * 4),
])
def test_nan_layout(window, length, expected):
    model = NucleotideMatrix(window)
    assert same_bits(model.score_sequence(np.zeros(length, dtype=np.int64)), expected)


def test_scores_match_a_plain_loop_bit_for_bit():
    rng = np.random.default_rng(7)
    for window in (1, 2, 5, 8, 13, 20):
        pssm = rng.normal(size=(5, window)) * 10.0 ** rng.integers(-3, 4, size=(5, window))
        model = NucleotideMatrix(window)
        model.pssm = pssm
        base = rng.integers(0, 4, 150)
        base[rng.integers(0, 150, 3)] = 4
        for name, sequence in strided_variants(rng, base).items():
            assert same_bits(model.score_sequence(sequence), mono_scores(pssm, sequence)), (
                window, name)


@pytest.mark.parametrize("window, length", [(20, 9000), (7, 8300), (2049, 2300)])
def test_long_sequences_and_windows_match_a_plain_loop(window, length):
    rng = np.random.default_rng(window)
    model = NucleotideMatrix(window)
    model.pssm = rng.normal(size=(6, window))
    model.pssm[0, window // 2] = math.inf
    sequence = rng.integers(0, 4, length)[::-1]
    # Unknown codes where they leave most windows scored.
    at = length // 3 if window < length // 3 else length - 2
    sequence[at:at + 2] = [4, 17]
    expected = mono_scores(model.pssm, sequence)
    assert np.isfinite(expected).sum() > (length - window) // 2
    assert same_bits(model.score_sequence(sequence), expected)


def test_special_values_follow_ieee_addition():
    model = NucleotideMatrix(2)
    model.pssm = np.array([[-0.0, -0.0], [math.inf, -math.inf], [math.nan, 1.0],
                           [1.0, 2.0], [5.0, 5.0]])
    scores = model.score_sequence(codes(0, 0, 1, 1, 2, 3))
    assert same_bits(scores, mono_scores(model.pssm, codes(0, 0, 1, 1, 2, 3)))
    assert not np.signbit(scores[1])  # 0.0 + -0.0 + -0.0 is +0.0


@pytest.mark.parametrize("bad", [-1, 4, 5, 2**31, -(2**40), 2**32 + 1])
def test_codes_outside_zero_to_three_leave_their_windows_unscored(bad):
    model = NucleotideMatrix(3)
    model.pssm = np.arange(15.0).reshape(5, 3)  # entry (code, m) = 3 * code + m
    scores = model.score_sequence(codes(0, 1, 2, bad, 3, 0, 1))
    assert same_bits(scores, [math.nan, 12.0, math.nan, math.nan, math.nan, 15.0, math.nan])


@pytest.mark.parametrize("pssm, error", [(None, TypeError), (np.zeros((4, 3)), ValueError),
                                         (np.zeros((0, 0)), ValueError)])
def test_scoring_refuses_unusable_tables(pssm, error):
    model = NucleotideMatrix(3)
    model.pssm = pssm
    with pytest.raises(error, match="pssm"):
        model.score_sequence(codes(0, 1, 2))


def test_scoring_none_raises_len_error_and_leaves_model_alone():
    model = NucleotideMatrix(3)
    before = snapshot(model)
    with pytest.raises(TypeError, match=r"object of type 'NoneType' has no len\(\)"):
        model.score_sequence(None)
    model.score_sequence(codes(0, 1, 2, 3))
    assert_unchanged(model, before)
