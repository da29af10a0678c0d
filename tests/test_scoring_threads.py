"""corlap.utils._scoring.score: the scores of score_sequence, bit for bit,
with the interpreter lock released while the windows are scored, from any
number of threads at once and whatever happens to the models between (and
during) calls."""
import os
import sys
import threading
import time
import warnings

import numpy as np
import pytest

from corlap.utils.sequences import DiNucleotideMatrix, NucleotideMatrix
from reference import dinuc_scores, mono_scores, same_bits
from test_dinuc_memo import genome_like
from test_memo_settings import mapped_tables, on_linux

DWM_TABLES = ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log")
CLASSES = {"PWM": NucleotideMatrix, "DWM": DiNucleotideMatrix}


@pytest.fixture
def scoring():
    from corlap.utils._scoring_loader import scoring
    previous = scoring.memo_settings()
    scoring.memo_settings(None, None)
    yield scoring
    scoring.memo_settings(*previous)


def trained(kind, length, seed, rounds=40):
    rng = np.random.default_rng(seed)
    model = CLASSES[kind](length)
    for _ in range(rounds):
        model.add_sequence(rng.integers(0, 4, length))
        model.add_background(rng.integers(0, 4, length), 0.5)
    model.prepare_mat()
    return model


def tables_of(model):
    """Copies of what scoring reads: a model of these scores the same."""
    if isinstance(model, NucleotideMatrix):
        return "PWM", {"pssm": model.pssm.copy()}
    return "DWM", {"length": model.length,
                   **{name: getattr(model, name).copy() for name in DWM_TABLES}}


def rebuilt(kind, tables):
    model = CLASSES[kind](1)
    for name, value in tables.items():
        setattr(model, name, value)
    return model


def copied(model):
    """A model of its own with everything ``model`` holds."""
    copy = type(model)(model.length)
    for name, value in vars(model).items():
        setattr(copy, name, value.copy() if isinstance(value, np.ndarray) else value)
    return copy


def plain(scoring, model, codes):
    """score_sequence without the memo: the loop over windows alone."""
    previous = scoring.memo_settings(budget_mib=0)
    try:
        return model.score_sequence(codes)
    finally:
        scoring.memo_settings(*previous)


SEQUENCES = {
    # Repeats, a poly-A run, N codes and codes outside 0..4.
    "genome-like": lambda rng, size: genome_like(rng, size),
    "random": lambda rng, size: rng.integers(0, 4, size),
    "N-rich": lambda rng, size: np.where(rng.random(size) < 0.25, 4, rng.integers(0, 4, size)),
}
# The same codes laid out as the loop reads them in place and as views that
# it copies first.
LAYOUTS = {
    "contiguous": lambda codes: codes,
    "reversed": lambda codes: codes[::-1].copy()[::-1],
    "every other": lambda codes: np.repeat(codes, 2)[::2],
}


@pytest.mark.parametrize("kind", CLASSES)
@pytest.mark.parametrize("sequence", SEQUENCES)
def test_same_bits_as_score_sequence_for_every_length(kind, sequence, scoring):
    rng = np.random.default_rng(len(sequence) + len(kind))
    for length in range(1, 21):
        model = trained(kind, length, length)
        codes = SEQUENCES[sequence](rng, 1500 if length < 14 else 700)
        for name, layout in LAYOUTS.items():
            laid_out = layout(codes)
            expected = plain(scoring, model, laid_out)
            # Twice: a DWM memo filled by the first call serves the second,
            # which fills an array of the caller's, dirty from an earlier use.
            scores = scoring.score(model, laid_out)
            assert scores.dtype == np.float64 and scores.flags.owndata
            assert same_bits(scores, expected), (length, name)
            reused = np.full(len(laid_out), 7.0)
            assert scoring.score(model, laid_out, reused) is reused
            assert same_bits(reused, expected), (length, name)
            # Into an array read backwards, the memo filled whole first.
            scoring.score(model, laid_out, reused[::-1], length <= 6)
            assert same_bits(reused[::-1], expected), (length, name)
            assert same_bits(model.score_sequence(laid_out), expected)
        assert np.isfinite(expected).any() or sequence == "N-rich"


@pytest.mark.parametrize("kind, length", [("PWM", 1), ("PWM", 6), ("DWM", 1), ("DWM", 4)])
def test_same_bits_as_the_literal_loops(kind, length, scoring):
    model = trained(kind, length, 5)
    codes = genome_like(np.random.default_rng(length), 300)
    codes[(codes < 0) | (codes > 4)] = 4
    if kind == "PWM":
        expected = mono_scores(model.pssm, codes)
    else:
        expected = dinuc_scores(length, codes.tolist(), model.bias_pwm_log, model.bg_pwm_log,
                                model.bias_dwm_log, model.bg_dwm_log)
    assert same_bits(scoring.score(model, codes), expected)


@pytest.mark.parametrize("kind", CLASSES)
@pytest.mark.parametrize("size", [0, 1, 4])
def test_sequences_shorter_than_the_window_give_new_nan_arrays(kind, size, scoring):
    model = trained(kind, 5, 1)
    codes = np.zeros(size, dtype=np.int64)
    first, second = scoring.score(model, codes), scoring.score(model, codes)
    assert first is not second and first.shape == (size,) and np.isnan(first).all()
    assert same_bits(first, model.score_sequence(codes))


# ---------------------------------------------------------------------------
# Refused arguments: the errors of score_sequence, and nothing changed.

def model_with(kind, **attributes):
    def make():
        model = trained(kind, 4, 2)
        for name, value in attributes.items():
            setattr(model, name, value)
        return model
    return make


GOOD = np.array([0, 1, 2, 3, 0, 1, 2, 3], dtype=np.int64)
REFUSED_AS_BY_SCORE_SEQUENCE = {
    "sequence a list": (model_with("PWM"), [0, 1, 2, 3], TypeError),
    "sequence None (PWM)": (model_with("PWM"), None, TypeError),
    "sequence None (DWM)": (model_with("DWM"), None, TypeError),
    "sequence of floats": (model_with("DWM"), GOOD.astype(np.float64), ValueError),
    "sequence of int32": (model_with("PWM"), GOOD.astype(np.int32), ValueError),
    "sequence of two dimensions": (model_with("DWM"), GOOD.reshape(2, 4), ValueError),
    "pssm None": (model_with("PWM", pssm=None), GOOD, TypeError),
    "pssm of 4 rows": (model_with("PWM", pssm=np.zeros((4, 3))), GOOD, ValueError),
    "pair table None": (model_with("DWM", bg_dwm_log=None), GOOD, TypeError),
    "pair table too small": (model_with("DWM", bias_dwm_log=np.zeros((5, 5, 3, 3))), GOOD,
                             ValueError),
    "position table a list": (model_with("DWM", bias_pwm_log=[1.0]), GOOD, TypeError),
    "length not a number": (model_with("DWM", length="4"), GOOD, TypeError),
    "length too large": (model_with("DWM", length=2**40), GOOD, OverflowError),
}


def state_of(model, hooks):
    return {name: (value.tobytes() if isinstance(value, np.ndarray) else repr(value))
            for name, value in vars(model).items()}, hooks.memo_runs()


@pytest.mark.parametrize("case", REFUSED_AS_BY_SCORE_SEQUENCE)
def test_refused_as_by_score_sequence_and_nothing_changes(case, scoring, test_hooks):
    make, sequence, error = REFUSED_AS_BY_SCORE_SEQUENCE[case]
    model = make()
    before = state_of(model, test_hooks)
    with pytest.raises(error) as public:
        model.score_sequence(sequence)
    with pytest.raises(error) as private:
        scoring.score(model, sequence)
    assert str(private.value) == str(public.value)
    assert state_of(model, test_hooks) == before


class OwnScoring(NucleotideMatrix):
    def score_sequence(self, sequence):
        return np.zeros(len(sequence))


class Inheriting(DiNucleotideMatrix):
    pass


@pytest.mark.parametrize("model, match", [
    (3, "not int"), (None, "not NoneType"), (GOOD, "not numpy.ndarray"),
    (OwnScoring(3), "OwnScoring"),
])
def test_models_that_do_not_score_as_corlap_are_refused(model, match, scoring):
    with pytest.raises(TypeError, match=f"NucleotideMatrix or DiNucleotideMatrix.*{match}"):
        scoring.score(model, GOOD)


def test_arguments_are_two_to_four_and_positional(scoring):
    model = trained("DWM", 3, 1)
    for call in (lambda: scoring.score(model),
                 lambda: scoring.score(model, GOOD, None, False, None),
                 lambda: scoring.score(model, sequence=GOOD)):
        with pytest.raises(TypeError, match="score"):
            call()
    for out in (np.zeros(len(GOOD) - 1), np.zeros(len(GOOD), np.float32), [0.0] * len(GOOD)):
        with pytest.raises((TypeError, ValueError)):
            scoring.score(model, GOOD, out)
    # A subclass that keeps corlap's scoring is scored as its base.
    inheriting = Inheriting(3)
    for name in DWM_TABLES:
        setattr(inheriting, name, getattr(model, name))
    assert same_bits(scoring.score(inheriting, GOOD), model.score_sequence(GOOD))


# ---------------------------------------------------------------------------
# The lock let go: other threads run meanwhile, and what they do to the model
# does not reach the scores.

def run_beside(call, meanwhile=None, after=0.03):
    """Runs call() in a thread; returns its result, the longest stretch of
    the call in which this thread did not get to run, how long the call
    took and the processor time its thread took (which a busy machine
    does not stretch).  ``meanwhile()`` runs here ``after`` seconds into
    the call; True is returned last when the call was still going then."""
    started, done, result, span = threading.Event(), threading.Event(), [], []

    def work():
        started.set()
        begin, processor = time.perf_counter(), time.thread_time()
        result.append(call())
        span[:] = [begin, time.perf_counter(), time.thread_time() - processor]
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    started.wait()
    begin = last = time.perf_counter()
    stamps, during = [], None
    while not done.is_set():
        now = time.perf_counter()
        if now - last > 1e-4:
            stamps.append(now)
            last = now
        if meanwhile is not None and during is None and now - begin >= after:
            meanwhile()
            during = not done.is_set()
    worker.join()
    inside = [span[0]] + [t for t in stamps if span[0] < t < span[1]] + [span[1]]
    longest = max(b - a for a, b in zip(inside, inside[1:]))
    return result[0], longest, span[1] - span[0], span[2], during


@pytest.fixture(scope="module")
def slow_case():
    model = trained("DWM", 12, 3)
    return model, np.random.default_rng(3).integers(0, 4, 100_000)


def test_other_threads_run_while_the_windows_are_scored(slow_case, scoring):
    model, codes = slow_case
    scoring.memo_settings(budget_mib=0)
    _, held, _, computing, _ = run_beside(lambda: model.score_sequence(codes))
    _, released, private, _, _ = run_beside(lambda: scoring.score(model, codes))
    # score_sequence keeps the lock throughout: this thread stood still at
    # least while the call computed.  (Not its whole span: on a busy
    # machine this thread may hold the lock a while at either end.)
    assert held > 0.9 * computing
    assert released < private / 4


@pytest.mark.parametrize("kind", CLASSES)
def test_tables_changed_during_the_call_do_not_reach_its_scores(kind, slow_case, scoring):
    model, codes = slow_case
    if kind == "PWM":
        model = trained("PWM", 20, 4)
        codes = np.tile(codes, 100)
    model_tables = tables_of(model)[1]
    expected = plain(scoring, model, codes)

    def spoil():
        for name, table in model_tables.items():
            if name != "length":
                getattr(model, name)[...] = 0.0
                setattr(model, name, None)

    try:
        scores, _, _, _, during = run_beside(lambda: scoring.score(model, codes), spoil)
    finally:
        for name, table in model_tables.items():
            setattr(model, name, table)
    assert during, "the call ended before the tables changed"
    assert same_bits(scores, expected)


# ---------------------------------------------------------------------------
# Threads at once.

def one_ulp(array, index, up):
    array[index] = np.nextafter(array[index], np.inf if up else -np.inf)


def change(model, rng):
    """One unit in the last place up or back down in place, a table replaced
    by a copy (the same bits), new counts and a new prepare_mat, or nothing."""
    names = ["pssm"] if isinstance(model, NucleotideMatrix) else list(DWM_TABLES)
    name = names[rng.integers(len(names))]
    table = getattr(model, name)
    what = rng.integers(5)
    if what < 2:
        # An entry every window with an A at position 0 reads (pair tables:
        # the term of position 0 at position 1).
        one_ulp(table, (0, 1, 0, 1) if table.ndim == 4 else (0, 0), up=what == 0)
    elif what == 2:
        setattr(model, name, table.copy())
    elif what == 3:
        length = model.pssm.shape[1] if name == "pssm" else model.length
        model.add_sequence(rng.integers(0, 4, length))
        model.prepare_mat()


def score_in_threads(scoring, bases, sequences, threads, calls, between=None):
    """Each thread scores its own copies of the base models, switching
    between them and changing them between calls; every result is checked
    against score_sequence of the same tables without the memo, in this
    thread alone."""
    records, failures = [], []
    barrier = threading.Barrier(threads)

    def work(index):
        rng = np.random.default_rng(1000 + index)
        models = [copied(base) for base in bases]
        try:
            barrier.wait()
            for _ in range(calls):
                model = models[rng.integers(len(models))]
                change(model, rng)
                k = int(rng.integers(len(sequences)))
                records.append((tables_of(model), k, scoring.score(model, sequences[k])))
        except BaseException as error:  # reported below, with the thread's traceback
            failures.append(error)
            barrier.abort()

    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # the lock changes hands often
    try:
        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for worker in workers:
            worker.start()
        if between is not None:
            between(lambda: any(worker.is_alive() for worker in workers))
        for worker in workers:
            worker.join()
    finally:
        sys.setswitchinterval(switch)
    if failures:
        raise failures[0]
    assert len(records) == threads * calls
    expected = {}
    for (kind, tables), k, scores in records:
        key = (kind, k, tuple((name, value.tobytes() if isinstance(value, np.ndarray)
                               else value) for name, value in tables.items()))
        if key not in expected:
            expected[key] = plain(scoring, rebuilt(kind, tables), sequences[k])
        assert same_bits(scores, expected[key]), key[:2]


@pytest.fixture(scope="module")
def stress_inputs():
    rng = np.random.default_rng(77)
    bases = [trained("DWM", 5, 71), trained("DWM", 8, 72), trained("PWM", 11, 73)]
    sequences = [genome_like(rng, 500), rng.integers(0, 4, 400),
                 np.where(rng.random(600) < 0.2, 4, rng.integers(0, 4, 600))[::-1]]
    return bases, sequences


def test_stress_eight_threads_switching_and_changing_models(stress_inputs, scoring,
                                                           test_hooks):
    before = test_hooks.memo_runs()
    score_in_threads(scoring, *stress_inputs, threads=8, calls=200)
    after = test_hooks.memo_runs()
    # The memo served windows meanwhile (the checks ran without it).
    assert after[2] > before[2]


@on_linux
def test_settings_changed_while_threads_score(stress_inputs, scoring, tmp_path):
    """Budget and shared directory changed again and again meanwhile: the
    scores stay exact, and a directory left is unmapped before the setting
    returns even while other threads score."""
    settings = [(tmp_path, None), (tmp_path, 1), (None, 0), (tmp_path, None), (None, None)]
    unmapped = []

    def between(running):
        k = 0
        while running():
            directory, budget = settings[k % len(settings)]
            scoring.memo_settings(directory, budget)
            if directory is None:
                unmapped.append(mapped_tables() == [])
            k += 1
            time.sleep(0.002)

    score_in_threads(scoring, *stress_inputs, threads=4, calls=60, between=between)
    assert unmapped and all(unmapped)


def test_threads_with_different_models_keep_their_memos(scoring, test_hooks):
    models = [trained("DWM", 8, 81), trained("DWM", 8, 82)]
    codes = genome_like(np.random.default_rng(8), 20_000)
    expected = [plain(scoring, model, codes) for model in models]
    before = test_hooks.memo_runs()
    results = [[], []]
    barrier = threading.Barrier(2)

    def work(i):
        barrier.wait()
        for _ in range(20):
            results[i].append(scoring.score(models[i], codes))

    workers = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    after = test_hooks.memo_runs()
    assert all(same_bits(s, expected[i]) for i in range(2) for s in results[i])
    # Each model's memo was started once and served every later call.
    fresh, scored = after[0] - before[0], after[1] - before[1]
    assert fresh == 2 and scored < 2 * (len(codes) - 7)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
def test_a_process_forked_while_threads_score_scores_and_changes_settings(scoring, tmp_path):
    """The child has only the forking thread: memos lent to the others at
    the fork never come back there, and must not hold up anything."""
    models = [trained("DWM", 7, 91), trained("DWM", 7, 92)]
    codes = genome_like(np.random.default_rng(9), 30_000)
    expected = [plain(scoring, model, codes) for model in models]
    stop = threading.Event()

    def work(i):
        while not stop.is_set():
            scoring.score(models[i], codes)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for worker in workers:
        worker.start()
    try:
        time.sleep(0.05)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
            child = os.fork()
        if child == 0:
            ok = False
            try:
                # A new directory drops every memo; one lent at the fork
                # would be waited for.
                scoring.memo_settings(tmp_path, None)
                ok = all(same_bits(scoring.score(model, codes), want)
                         for model, want in zip(models, expected))
                scoring.memo_settings(None, 0)
            finally:
                os._exit(0 if ok else 1)
        deadline = time.monotonic() + 30
        while (done := os.waitpid(child, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        if done[0] == 0:
            os.kill(child, 9)
            os.waitpid(child, 0)
            pytest.fail("the forked process hung")
        assert os.waitstatus_to_exitcode(done[1]) == 0
    finally:
        stop.set()
        for worker in workers:
            worker.join()
