"""Dinucleotide scoring reuses the scores of windows already seen, within a
call and across calls while the scoring tables stay the same bit for bit.
Every score must be the one the plain loop gives, whatever the sequence,
the memo's budget and whatever changed between calls."""
import ctypes
import ctypes.util
import platform
import struct

import numpy as np
import pytest

from corlap.utils.sequences import DiNucleotideMatrix
from reference import dinuc_scores, same_bits

BUDGET = "CORLAP_DWM_MEMO_MIB"


def trained(length, seed, rounds=60):
    rng = np.random.default_rng(seed)
    model = DiNucleotideMatrix(length)
    for _ in range(rounds):
        model.add_sequence(rng.integers(0, 4, length))
        model.add_background(rng.integers(0, 4, length), 0.5)
    model.prepare_mat()
    return model


def genome_like(rng, size, unit=None):
    """Random sequence, a third made of mutated copies of one repeat, a
    poly-A run, N codes and a few codes outside 0..4."""
    codes = rng.integers(0, 4, size)
    unit = rng.integers(0, 4, 37) if unit is None else unit
    for start in range(0, size - len(unit), 3 * len(unit)):
        copy = unit.copy()
        mutated = rng.random(len(copy)) < 0.05
        copy[mutated] = rng.integers(0, 4, mutated.sum())
        codes[start:start + len(copy)] = copy
    codes[size // 3:size // 3 + 40] = 0
    codes[rng.integers(0, size, max(1, size // 500))] = 4
    codes[rng.integers(0, size, 3)] = [5, -1, 2**40]
    return codes


def plain(model, sequence, monkeypatch):
    monkeypatch.setenv(BUDGET, "0")
    try:
        return model.score_sequence(sequence)
    finally:
        monkeypatch.delenv(BUDGET)


def assert_same(actual, expected):
    assert same_bits(actual, expected), np.flatnonzero(
        actual.view(np.uint64) != expected.view(np.uint64))[:5]


def test_reuse_gives_the_plain_scores_for_every_window_length(monkeypatch):
    rng = np.random.default_rng(1)
    for length in range(1, 21):
        model = trained(length, length)
        codes = genome_like(rng, 1500 if length < 14 else 700)
        for sequence in (codes, codes[::-1], codes[::2], np.repeat(codes, 2)[1::2]):
            expected = plain(model, sequence, monkeypatch)
            # First call fills the memo, the second is served from it.
            assert_same(model.score_sequence(sequence), expected)
            assert_same(model.score_sequence(sequence), expected)
            assert np.isfinite(expected).sum() > 0


def test_reuse_matches_the_literal_loops():
    rng = np.random.default_rng(2)
    model = trained(5, 3)
    codes = genome_like(rng, 400)
    codes[codes > 4] = 4
    codes[codes < 0] = 4
    expected = dinuc_scores(5, codes.tolist(), model.bias_pwm_log, model.bg_pwm_log,
                            model.bias_dwm_log, model.bg_dwm_log)
    for _ in range(2):
        assert_same(model.score_sequence(codes), expected)


def one_ulp_up(array, index):
    array[index] = np.nextafter(array[index], np.inf)


CHANGES = {
    # Tables the scores read, changed in place by one unit in the last place,
    # at an entry every window with an A at position 0 uses.
    "bias_dwm_log in place": lambda m: one_ulp_up(m.bias_dwm_log, (0, 1, 0, 1)),
    "bg_dwm_log in place": lambda m: one_ulp_up(m.bg_dwm_log, (0, 2, 0, 1)),
    "bias_pwm_log in place": lambda m: one_ulp_up(m.bias_pwm_log, (1, min(1, m.length - 1))),
    "bg_pwm_log in place": lambda m: one_ulp_up(m.bg_pwm_log, (2, 0)),
    # Attributes replaced by copies that differ by one unit.
    "bias_dwm_log replaced": lambda m: setattr(
        m, "bias_dwm_log", np.nextafter(m.bias_dwm_log, -np.inf)),
    "bg_pwm_log replaced": lambda m: setattr(
        m, "bg_pwm_log", np.nextafter(m.bg_pwm_log, np.inf)),
    # More counts and a new prepare_mat.
    "prepare_mat": lambda m: (m.add_sequence(np.zeros(m.length, dtype=np.int64)),
                              m.prepare_mat()),
    # A shorter window over the same (larger) tables.
    "length": lambda m: setattr(m, "length", m.length - 1),
    "background position and its pairs shifted by 1.0":
        lambda m: shift_position_keeping_differences(m.bg_pwm_log, m.bg_dwm_log, 2,
                                                     m.length * 3 // 4),
}
# Changes no score of one-base windows shows: those read no pair table, and
# moving all four entries of a position up by one unit may leave their
# normalised log-probabilities as they were.
NOT_SEEN_AT_ONE_BASE = {"bias_dwm_log in place", "bg_dwm_log in place",
                        "bias_dwm_log replaced", "bg_pwm_log replaced"}


def shift_position_keeping_differences(pwm, dwm, a, m):
    """Adds exactly 1.0 to pwm[a, m] and to every pair entry dwm[s, a, n, m],
    so that every difference dwm[s, a, n, m] - pwm[a, m] the scores are built
    from keeps its bits: only the position table itself tells the change."""
    before = dwm[:, a, :, m] - pwm[a, m]
    pwm[a, m] += 1.0
    dwm[:, a, :, m] += 1.0
    assert np.array_equal((dwm[:, a, :, m] - pwm[a, m]).view(np.uint64), before.view(np.uint64))


@pytest.mark.parametrize("change, length", [
    (change, length) for length in (1, 6, 10, 14) for change in CHANGES
    if length > 1 or change not in NOT_SEEN_AT_ONE_BASE])
def test_changed_tables_give_fresh_scores(change, length, monkeypatch):
    rng = np.random.default_rng(length)
    model = trained(length, 7)
    codes = genome_like(rng, 3000)
    before = model.score_sequence(codes)
    model.score_sequence(codes[::-1])
    CHANGES[change](model)
    after = model.score_sequence(codes)
    assert_same(after, plain(model, codes, monkeypatch))
    # The change is visible in the scores, so a stale memo would be caught.
    assert not same_bits(after, before)


def test_models_and_reloaded_tables_share_nothing_but_equal_bits(monkeypatch):
    rng = np.random.default_rng(3)
    codes = genome_like(rng, 5000)
    first, second = trained(9, 1), trained(9, 2)
    copy = DiNucleotideMatrix(9)
    for name in ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log"):
        setattr(copy, name, getattr(first, name).copy())
    for model in (first, second, first, copy, second, copy):
        assert_same(model.score_sequence(codes), plain(model, codes, monkeypatch))
    assert not same_bits(first.score_sequence(codes), second.score_sequence(codes))


@pytest.mark.parametrize("budget", ["1", "2", "256", "", "lots", "-3", "1000"])
def test_any_budget_gives_the_plain_scores(budget, monkeypatch):
    # 1 MiB fills up at length 12 and stops taking windows; 2 MiB leaves
    # length 8 in a hash table, larger budgets move it to a direct table.
    rng = np.random.default_rng(4)
    for length in (8, 12):
        model = trained(length, 5)
        codes = genome_like(rng, 120_000)
        expected = plain(model, codes, monkeypatch)
        monkeypatch.setenv(BUDGET, budget)
        for _ in range(2):
            assert_same(model.score_sequence(codes), expected)
        monkeypatch.delenv(BUDGET)


def test_many_short_calls_after_a_long_one(monkeypatch):
    rng = np.random.default_rng(6)
    model = trained(10, 8)
    genome = genome_like(rng, 60_000)
    model.score_sequence(genome)
    for start in rng.integers(0, len(genome) - 300, 40):
        region = genome[start:start + rng.integers(1, 300)]
        assert_same(model.score_sequence(region), plain(model, region, monkeypatch))


def c_rounding_functions():
    """fesetround and fegetround of the C library the process runs on."""
    for library in (None, ctypes.util.find_library("m")):
        try:
            c = ctypes.CDLL(library)
            return c.fesetround, c.fegetround
        except (OSError, AttributeError, TypeError):
            continue
    return None


def rounds(one, tiny):
    """What additions in force now give (operands passed in, so that nothing
    is folded at compile time under the default mode)."""
    return one + tiny, -one - tiny


ROUNDED = {"downward": (1.0, np.nextafter(-1.0, -2.0)), "upward": (np.nextafter(1.0, 2.0), -1.0),
           "towardzero": (1.0, -1.0)}


@pytest.mark.parametrize("direction", ROUNDED)
def test_rounding_mode_is_part_of_what_the_memo_checks(direction, test_hooks, monkeypatch):
    # The values of the rounding macros differ from one processor to the
    # next: the extension reports its own <fenv.h>'s.
    mode = test_hooks.rounding_modes().get(direction)
    if mode is None:
        pytest.skip(f"<fenv.h> defines no FE_{direction.upper()} on {platform.machine()}")
    functions = c_rounding_functions()
    if functions is None:
        pytest.skip("the C library's fesetround cannot be reached through ctypes")
    setround, getround = functions
    model = trained(8, 9)
    # Zero position tables make every per-call table entry an exact
    # difference, the same bits in any rounding mode: only the mode itself
    # tells the memo apart.
    model.bias_pwm_log = np.zeros_like(model.bias_pwm_log)
    model.bg_pwm_log = np.zeros_like(model.bg_pwm_log)
    codes = genome_like(np.random.default_rng(7), 4000)
    nearest = model.score_sequence(codes)
    old = getround()
    if setround(mode) != 0:
        pytest.skip(f"fesetround refuses FE_{direction.upper()} on {platform.machine()}")
    try:
        switched = getround() == mode and rounds(1.0, 2.0**-60) == ROUNDED[direction]
        if switched:
            other = model.score_sequence(codes)
            expected = plain(model, codes, monkeypatch)
    finally:
        setround(old)
    if not switched:
        pytest.skip(f"fesetround accepts FE_{direction.upper()} but arithmetic on "
                    f"{platform.machine()} does not follow it")
    assert_same(other, expected)
    assert not same_bits(other, nearest)
    assert_same(model.score_sequence(codes), nearest)


# ---------------------------------------------------------------------------
# What the memo did, through the test-only hooks: results alone cannot tell
# a memo that never serves a window from one that does.

def memo_delta(test_hooks, call):
    before = test_hooks.memo_runs()
    call()
    after = test_hooks.memo_runs()
    fresh, scored, reused = (a - b for a, b in zip(after[:3], before[:3]))
    return fresh, scored, reused, after[3], after[4]


def test_repeats_are_served_and_the_memo_is_kept_between_calls(test_hooks, monkeypatch):
    model = trained(7, 11)
    unit = np.array([0, 1, 2, 3, 3, 2, 1, 0, 2, 2, 1], dtype=np.int64)
    codes = np.tile(unit, 50)
    windows = len(codes) - 7 + 1
    fresh, scored, reused, _, _ = memo_delta(test_hooks, lambda: model.score_sequence(codes))
    assert (fresh, scored, reused) == (1, len(unit), windows - len(unit))
    # Again, and through a model with equal tables: nothing to compute.
    copy = DiNucleotideMatrix(7)
    for name in ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log"):
        setattr(copy, name, getattr(model, name).copy())
    backwards = codes[::-1].copy()[::-1]
    for scorer in (model, copy):
        assert memo_delta(test_hooks, lambda: scorer.score_sequence(backwards))[:3] == (
            0, 0, windows)
    # One unit in the last place starts afresh.
    one_ulp_up(model.bg_dwm_log, (3, 3, 6, 5))
    assert memo_delta(test_hooks, lambda: model.score_sequence(codes))[:3] == (
        1, len(unit), windows - len(unit))
    # Switched off: nothing counted, nothing kept.
    monkeypatch.setenv(BUDGET, "0")
    assert memo_delta(test_hooks, lambda: model.score_sequence(codes))[:4] == (0, 0, 0, 0)


def test_memo_grows_with_distinct_windows_within_its_budget(test_hooks, monkeypatch):
    rng = np.random.default_rng(12)
    model = trained(9, 12)
    # A short call holds a small table, never 4^9 entries.
    _, scored, _, held, direct = memo_delta(
        test_hooks, lambda: model.score_sequence(rng.integers(0, 4, 200)))
    assert 185 < scored <= 192 and not direct and held <= 64 * 1024
    # Most of the 4^9 windows: a direct table of 4^9 scores.
    _, _, _, held, direct = memo_delta(
        test_hooks, lambda: model.score_sequence(rng.integers(0, 4, 600_000)))
    assert direct and held == 4**9 * 8
    # Within a 1 MiB budget at length 14 the memo fills and stops taking
    # windows: later distinct windows are all computed, repeats still served.
    monkeypatch.setenv(BUDGET, "1")
    model = trained(14, 13)
    codes = rng.integers(0, 4, 200_000)
    _, scored, _, held, direct = memo_delta(test_hooks, lambda: model.score_sequence(codes))
    assert held <= 1 << 20 and not direct and scored > 190_000
    _, scored, reused, _, _ = memo_delta(test_hooks, lambda: model.score_sequence(codes))
    assert 0 < reused < 190_000 and scored + reused == 200_000 - 13


@pytest.mark.parametrize("length, budget_mib", [
    # The hash table doubles until the next table would not fit beside it.
    (14, 1),
    # The direct table (2 MiB) fits the budget alone, not beside the hash
    # table its entries move from.
    (9, 2),
])
def test_memo_never_holds_more_than_its_budget_while_growing(length, budget_mib, test_hooks,
                                                             monkeypatch):
    rng = np.random.default_rng(length)
    model = trained(length, 14)
    monkeypatch.setenv(BUDGET, str(budget_mib))
    budget = budget_mib << 20
    fresh, _, _, held, _ = memo_delta(test_hooks, lambda: model.score_sequence(
        rng.integers(0, 4, 1000)))
    assert fresh == 1 and 0 < held <= 64 * 1024
    # Distinct windows by the hundred thousand: the memo grows from a small
    # table as far as its budget lets it.
    fresh, scored, _, held, direct = memo_delta(test_hooks, lambda: model.score_sequence(
        rng.integers(0, 4, 300_000)))
    peak = test_hooks.memo_runs()[6]
    assert held <= peak <= budget
    assert fresh == 0 and scored > 100_000 and not direct
    # Grown to where the next step would have broken the budget.
    assert held + 2 * held > budget and peak >= held + held // 2


def test_a_window_too_long_for_memory_is_refused_before_allocating():
    # Zero strides make a window of 200 million bases cheap to ask for; its
    # per-call tables would need more than 2**63 bytes.
    length = 200_000_000
    model = DiNucleotideMatrix(1)
    model.length = length
    for name, shape in (("bias_pwm_log", (5, length)), ("bg_pwm_log", (5, length)),
                        ("bias_dwm_log", (5, 5, length, length)),
                        ("bg_dwm_log", (5, 5, length, length))):
        setattr(model, name, np.broadcast_to(np.float64(-2.0), shape))
    with pytest.raises(MemoryError):
        model.score_sequence(np.broadcast_to(np.int64(0), (length,)))


# ---------------------------------------------------------------------------
# A direct table shared by the processes that score under the same tables.

SHARE = "CORLAP_DWM_MEMO_DIR"


def _score_in_child(directory, tables, codes, queue):
    """Runs in a fresh process: scores ``codes`` with a model of ``tables``
    and reports what its memo did."""
    import os

    from conftest import load_test_hooks
    os.environ[SHARE] = directory
    model = DiNucleotideMatrix(int(tables["length"]))
    for name in ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log"):
        setattr(model, name, tables[name])
    hooks = load_test_hooks()
    before = hooks.memo_runs()
    scores = model.score_sequence(codes)
    after = hooks.memo_runs()
    queue.put((scores, after[1] - before[1], after[2] - before[2], after[5]))


def run_in_children(directory, model, sequences):
    """Scores each sequence in a fresh process of its own, all at once; what
    each reported, in the order the processes finished."""
    import multiprocessing
    tables = {name: getattr(model, name) for name in
              ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log")}
    tables["length"] = model.length
    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    children = [context.Process(target=_score_in_child, args=(str(directory), tables, codes, queue))
                for codes in sequences]
    for child in children:
        child.start()
    results = [queue.get(timeout=120) for _ in children]
    for child in children:
        child.join(timeout=60)
        assert child.exitcode == 0
    return results


def test_processes_share_one_direct_table(tmp_path, test_hooks, monkeypatch):
    rng = np.random.default_rng(31)
    model = trained(8, 31)
    codes = genome_like(rng, 60_000)
    expected = plain(model, codes, monkeypatch)
    monkeypatch.setenv(SHARE, str(tmp_path))
    fresh, first_scored, first_reused, held, direct = memo_delta(
        test_hooks, lambda: assert_same(model.score_sequence(codes), expected))
    assert fresh == 1 and first_scored > 0 and direct and held == 4**8 * 8
    assert test_hooks.memo_runs()[5]
    (table,) = tmp_path.iterdir()
    assert table.name.startswith("dwm-memo-") and table.stat().st_mode & 0o077 == 0
    # Another process with equal tables computes nothing.
    ((scores, scored, reused, shared),) = run_in_children(tmp_path, model, [codes])
    assert shared and scored == 0 and reused == first_scored + first_reused
    assert_same(scores, expected)
    # Other tables get a table of their own beside it.
    other = trained(8, 32)
    other_expected = plain(other, codes, monkeypatch)
    assert_same(other.score_sequence(codes), other_expected)
    assert len(list(tmp_path.iterdir())) == 2


def test_processes_filling_one_table_at_once_agree_with_the_plain_loop(tmp_path, monkeypatch):
    model = trained(9, 33)
    sequences = [genome_like(np.random.default_rng(40 + k), 150_000) for k in range(2)]
    results = run_in_children(tmp_path, model, sequences)
    expected = [plain(model, codes, monkeypatch) for codes in sequences]
    for scores, _, _, shared in results:
        assert shared
        assert any(same_bits(scores, want) for want in expected)
    # Everything either process left in the table is right.
    monkeypatch.setenv(SHARE, str(tmp_path))
    for codes, want in zip(sequences, expected):
        assert_same(model.score_sequence(codes), want)


@pytest.mark.parametrize("length, shared", [(8, True), (11, False)])
def test_a_table_filled_whole_first_gives_the_plain_scores(length, shared, tmp_path,
                                                           test_hooks, monkeypatch):
    """The table filled whole, block by block (the normaliser of each
    position past a block's own shared by the windows that differ only
    there), shared or moved to a private direct table: the bits of scoring
    each window alone, and nothing left to compute."""
    from corlap.utils._scoring_loader import scoring
    model = trained(length, 50 + length)
    codes = genome_like(np.random.default_rng(length), 40_000)
    expected = plain(model, codes, monkeypatch)
    if shared:
        monkeypatch.setenv(SHARE, str(tmp_path))
    scoring.score(model, codes[:2 * length], None, True)
    _, scored, reused, _, direct = memo_delta(
        test_hooks, lambda: assert_same(scoring.score(model, codes), expected))
    assert scored == 0 and reused > 0 and direct


def _score_while_cut_short(directory, tables, codes, queue, handler_later):
    """Runs in a fresh process: scores ``codes`` while another process
    truncates the shared table's file; reports the scores and when the
    call and the truncation happened.  ``handler_later``: faulthandler
    installs its SIGBUS handler once the table is mapped, as pytest does."""
    import faulthandler
    import os
    import subprocess
    import sys
    import time

    os.environ[SHARE] = directory
    model = DiNucleotideMatrix(int(tables["length"]))
    for name in ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log"):
        setattr(model, name, tables[name])
    if handler_later:
        model.score_sequence(codes[:1000])
        faulthandler.enable()
    cutter = subprocess.Popen([sys.executable, "-c", CUTTER, directory],
                              stdout=subprocess.PIPE, text=True)
    started = time.monotonic()
    scores = model.score_sequence(codes)
    ended = time.monotonic()
    queue.put((scores, started, ended, float(cutter.stdout.read())))
    cutter.wait()


# Waits for the table's file to be there whole, then cuts it to nothing.
CUTTER = """
import os, sys, time
directory = sys.argv[1]
while True:
    names = [n for n in os.listdir(directory) if n.startswith("dwm-memo-") and "." not in n]
    if names and os.path.getsize(os.path.join(directory, names[0])) > 1 << 20:
        break
    time.sleep(0.001)
time.sleep(0.1)
os.truncate(os.path.join(directory, names[0]), 0)
print(time.monotonic())
"""


@pytest.mark.parametrize("handler_later", [False, True])
def test_a_table_cut_short_while_a_scorer_runs_costs_no_score_and_no_signal(
        handler_later, tmp_path, monkeypatch):
    """The file of a shared table truncated by another process in the
    middle of a call: the call goes on to the exact scores (no SIGBUS),
    also when another SIGBUS handler was installed after the first table."""
    import queue as queues
    import multiprocessing
    model = trained(12, 35)
    codes = genome_like(np.random.default_rng(35), 1_500_000)
    tables = {name: getattr(model, name) for name in
              ("bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log")}
    tables["length"] = model.length
    expected = plain(model, codes, monkeypatch)
    context = multiprocessing.get_context("spawn")
    # On a busy machine the cut may come only after the call: tried again.
    for attempt in range(3):
        queue = context.Queue()
        directory = tmp_path / str(attempt)
        directory.mkdir()
        child = context.Process(target=_score_while_cut_short,
                                args=(str(directory), tables, codes, queue, handler_later))
        child.start()
        try:
            while True:
                try:
                    scores, started, ended, cut = queue.get(timeout=1)
                    break
                except queues.Empty:
                    assert child.is_alive(), f"the scorer died: exit code {child.exitcode}"
        finally:
            child.join(timeout=60)
        assert child.exitcode == 0
        assert_same(scores, expected)
        if started < cut < ended:
            break
    assert started < cut < ended


def test_entries_a_killed_filler_claimed_are_scored_not_served(tmp_path, monkeypatch):
    """A filler that dies leaves its claim (the word 1) in the shared table:
    such an entry reads as not seen."""
    model = trained(8, 37)
    codes = genome_like(np.random.default_rng(37), 20_000)
    expected = plain(model, codes, monkeypatch)
    monkeypatch.setenv(SHARE, str(tmp_path))
    assert_same(model.score_sequence(codes), expected)
    (table,) = tmp_path.iterdir()
    entries = 4 ** 8
    with open(table, "r+b") as stream:
        stream.seek(table.stat().st_size - 8 * entries)
        words = np.frombuffer(stream.read(), np.uint64).copy()
        filled = np.flatnonzero(words)
        assert len(filled) > 1000
        words[filled[::10]] = 1
        stream.seek(table.stat().st_size - 8 * entries)
        stream.write(words.tobytes())
    assert_same(model.score_sequence(codes), expected)


FOREIGN_FAULT = """
import faulthandler, mmap, os, sys
import numpy as np
sys.path.insert(0, sys.argv[2])
from test_dinuc_memo import trained
os.environ["CORLAP_DWM_MEMO_DIR"] = sys.argv[1]
model = trained(8, 36)
codes = np.random.default_rng(36).integers(0, 4, 5000)
model.score_sequence(codes)
faulthandler.enable()
model.score_sequence(codes[::-1].copy())      # our handler goes back in front
path = os.path.join(sys.argv[1], "other")
with open(path, "wb") as stream:
    stream.write(bytes(1 << 16))
with open(path, "r+b") as stream:
    view = mmap.mmap(stream.fileno(), 1 << 16)
    os.truncate(path, 0)
    view[1 << 15]
"""


def test_a_fault_outside_the_tables_still_ends_the_process(tmp_path):
    """A SIGBUS that is not the memo's goes on to the handler found
    (faulthandler's traceback) and ends the process, never loops."""
    import os
    import signal
    import subprocess
    import sys
    done = subprocess.run([sys.executable, "-c", FOREIGN_FAULT, str(tmp_path),
                           os.path.dirname(__file__)],
                          capture_output=True, text=True, timeout=60)
    # Under AddressSanitizer its own handler, found first, is last in the
    # chain and ends the process with an abort.
    ends = {-signal.SIGBUS}
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        ends.add(-signal.SIGABRT)
    assert done.returncode in ends, done.stderr
    assert "Fatal Python error: Bus error" in done.stderr


def test_unsafe_or_foreign_table_files_are_not_used(tmp_path, test_hooks, monkeypatch):
    import os
    rng = np.random.default_rng(34)
    model = trained(7, 34)
    codes = genome_like(rng, 20_000)
    expected = plain(model, codes, monkeypatch)
    monkeypatch.setenv(SHARE, str(tmp_path))
    model.score_sequence(codes)
    (table,) = tmp_path.iterdir()
    good = table.read_bytes()
    # Each setting differs in spelling only, so that the memo attaches anew.
    spellings = iter(f"{tmp_path}{'/.' * k}" for k in range(1, 10))

    def attach():
        monkeypatch.setenv(SHARE, next(spellings))
        _, scored, reused, _, _ = memo_delta(
            test_hooks, lambda: assert_same(model.score_sequence(codes), expected))
        return test_hooks.memo_runs()[5], scored

    assert attach() == (True, 0)
    # The header names the build (layout version 3, then its text).
    version, = struct.unpack_from("<Q", good, 16)
    build = good[24:24 + 512].rstrip(b"\0").decode()
    assert version == 3 and build.startswith("kernels ") and "-ffp-contract=off" in build
    # A header that is not ours: one byte of the tables changed; another
    # build's.
    table.write_bytes(good[:600] + bytes([good[600] ^ 1]) + good[601:])
    assert attach()[0] is False
    other = good.replace(b"-ffp-contract=off", b"-ffp-contract=on ", 1)
    table.write_bytes(other)
    assert other != good and attach()[0] is False
    # Writable by others; reached through a symbolic link; cut short.
    table.write_bytes(good)
    table.chmod(0o620)
    assert attach()[0] is False
    table.chmod(0o600)
    os.rename(table, tmp_path / "elsewhere")
    table.symlink_to(tmp_path / "elsewhere")
    assert attach()[0] is False
    table.unlink()
    table.write_bytes(good[:-8])
    table.chmod(0o600)
    assert attach()[0] is False
    # A directory that does not exist: a private memo.
    monkeypatch.setenv(SHARE, str(tmp_path / "missing"))
    assert_same(model.score_sequence(codes), expected)
    assert test_hooks.memo_runs()[5] is False
