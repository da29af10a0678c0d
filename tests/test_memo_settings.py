"""The memo's directory and budget set by call (corlap.utils._scoring) in
place of the environment variables, and a shared table let go of as soon as
its directory is left."""
import sys

import numpy as np
import pytest

from corlap.utils import sequences
from reference import same_bits
from test_dinuc_memo import BUDGET, SHARE, trained


@pytest.fixture
def scoring():
    from corlap.utils._scoring_loader import scoring
    previous = scoring.memo_settings()
    yield scoring
    scoring.memo_settings(*previous)


@pytest.fixture(scope="module")
def model8():
    return trained(8, 21)


@pytest.fixture(scope="module")
def codes():
    return np.random.default_rng(21).integers(0, 4, 80_000)


def unmemoised(scoring, model, codes):
    previous = scoring.memo_settings(budget_mib=0)
    try:
        return model.score_sequence(codes)
    finally:
        scoring.memo_settings(*previous)


def mapped_tables():
    """Inodes of the memo files this process maps now, by /proc/self/maps:
    what the kernel sees, whatever the memo believes.  (By inode: a file this
    process made shows under its temporary name, and a removed one as
    deleted.)"""
    with open("/proc/self/maps") as maps:
        fields = [line.split(None, 5) for line in maps]
    return [int(f[4]) for f in fields if len(f) == 6 and "dwm-memo-" in f[5]]


on_linux = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="/proc/self/maps")


def test_the_module_is_private_and_loaded_once(scoring):
    from corlap.utils._scoring_loader import scoring as again
    assert again is scoring is sys.modules["corlap.utils._scoring"]
    assert scoring.__name__ == "corlap.utils._scoring"
    assert not hasattr(sequences, "memo_settings") and "_scoring" not in dir(sequences)


# Environment, then calls made in order ("a", "b": directories under
# tmp_path; ENV: FROM_ENVIRONMENT) -> what scoring a length-8 model then
# does: the bytes its memo holds and where its table is shared (None: not
# shared).  Each setting must win over the environment, and FROM_ENVIRONMENT
# must hand the choice back to it.
DIRECT8 = 4**8 * 8
CASES = {
    "budget where the environment turns the memo off": (
        {BUDGET: "0"}, [{"budget_mib": 8}], DIRECT8, None),
    "no memo where the environment gives it room": (
        {BUDGET: "256"}, [{"budget_mib": 0}], 0, None),
    "None: the default budget, not the environment's": (
        {BUDGET: "0"}, [{"budget_mib": None}], DIRECT8, None),
    "the environment's budget again": (
        {BUDGET: "0"}, [{"budget_mib": 8}, {"budget_mib": "ENV"}], 0, None),
    "a later budget replaces an earlier one": (
        {}, [{"budget_mib": 8}, {"budget_mib": 0}], 0, None),
    "not shared where the environment shares": (
        {SHARE: "a"}, [{"directory": None}], DIRECT8, None),
    "shared where the environment does not": (
        {}, [{"directory": "b"}], DIRECT8, "b"),
    "the setting's directory, not the environment's": (
        {SHARE: "a"}, [{"directory": "b"}], DIRECT8, "b"),
    "the environment's directory again": (
        {SHARE: "a"}, [{"directory": "b"}, {"directory": "ENV"}], DIRECT8, "a"),
    "directory and budget in one call": (
        {SHARE: "a", BUDGET: "0"}, [{"directory": "b", "budget_mib": 2}], DIRECT8, "b"),
}


@pytest.mark.parametrize("case", CASES)
def test_settings_take_the_place_of_the_environment(case, scoring, model8, codes, tmp_path,
                                                    test_hooks, monkeypatch):
    environment, calls, held, shared = CASES[case]
    for name in "ab":
        (tmp_path / name).mkdir()
    monkeypatch.delenv(SHARE, raising=False)
    monkeypatch.delenv(BUDGET, raising=False)
    expected = unmemoised(scoring, model8, codes)
    for variable, value in environment.items():
        monkeypatch.setenv(variable, str(tmp_path / value) if variable == SHARE else value)

    def argument(key, value):
        if value == "ENV":
            return scoring.FROM_ENVIRONMENT
        return tmp_path / value if key == "directory" and value is not None else value

    for call in calls:
        scoring.memo_settings(**{key: argument(key, value) for key, value in call.items()})
    for _ in range(2):
        assert same_bits(model8.score_sequence(codes), expected)
    runs = test_hooks.memo_runs()
    assert runs[3] == held and runs[5] is (shared is not None)
    for name in "ab":
        assert len(list((tmp_path / name).iterdir())) == (name == shared)


def test_previous_settings_restore_exactly(scoring, tmp_path):
    start = scoring.memo_settings()
    first = scoring.memo_settings(tmp_path, 3)
    assert first == start
    second = scoring.memo_settings(None, None)
    assert second == (str(tmp_path), 3)
    assert scoring.memo_settings(budget_mib=scoring.FROM_ENVIRONMENT) == (None, None)
    # Left out: kept.  Restoring the first settings ends both.
    assert scoring.memo_settings(*second) == (None, scoring.FROM_ENVIRONMENT)
    assert scoring.memo_settings(*first) == (str(tmp_path), 3)
    assert scoring.memo_settings() == first


@pytest.mark.parametrize("arguments, error", [
    ({"directory": ""}, ValueError),
    ({"directory": "a\0b"}, ValueError),
    ({"directory": b"/tmp"}, TypeError),
    ({"directory": 3}, TypeError),
    ({"budget_mib": 257}, ValueError),
    ({"budget_mib": -1}, ValueError),
    ({"budget_mib": 2**70}, ValueError),
    ({"budget_mib": 1.0}, TypeError),
    ({"budget_mib": True}, TypeError),
    ({"budget_mib": "8"}, TypeError),
    # One good, one bad: neither takes effect.
    ({"directory": "/tmp", "budget_mib": 300}, ValueError),
    ({"directory": "", "budget_mib": 3}, ValueError),
])
def test_refused_settings_change_nothing(arguments, error, scoring, model8, codes, test_hooks):
    scoring.memo_settings(None, 4)
    model8.score_sequence(codes)
    held = test_hooks.memo_runs()[3]
    with pytest.raises(error):
        scoring.memo_settings(**arguments)
    assert scoring.memo_settings() == (None, 4)
    assert test_hooks.memo_runs()[3] == held > 0


# How a process leaves the directory it shares a table through, given that
# it was set to `tmp/a` by call ("set") or by the environment ("env").
LEAVE = {
    "set to not shared": ("set", lambda s, tmp: s.memo_settings(directory=None)),
    "set to another directory": ("set", lambda s, tmp: s.memo_settings(tmp / "b")),
    "memo turned off": ("set", lambda s, tmp: s.memo_settings(budget_mib=0)),
    "setting ended, environment shares nowhere": (
        "set", lambda s, tmp: s.memo_settings(s.FROM_ENVIRONMENT)),
    "environment overruled": ("env", lambda s, tmp: s.memo_settings(None)),
}


@on_linux
@pytest.mark.parametrize("leave", LEAVE)
def test_leaving_a_directory_unmaps_its_table_at_once(leave, scoring, model8, codes, tmp_path,
                                                      test_hooks, monkeypatch):
    how, change = LEAVE[leave]
    for name in "ab":
        (tmp_path / name).mkdir()
    monkeypatch.delenv(SHARE, raising=False)
    if how == "env":
        monkeypatch.setenv(SHARE, str(tmp_path / "a"))
        scoring.memo_settings(scoring.FROM_ENVIRONMENT)
    else:
        scoring.memo_settings(tmp_path / "a")
    model8.score_sequence(codes)
    (table,) = (tmp_path / "a").iterdir()
    inode = table.stat().st_ino
    assert mapped_tables() == [inode] and test_hooks.memo_runs()[5]
    # Removed, as a run's scratch directory is when the run ends: still
    # mapped (and its memory held) until the setting changes.
    table.unlink()
    assert mapped_tables() == [inode]
    change(scoring, tmp_path)
    assert mapped_tables() == []
    assert test_hooks.memo_runs()[5] is False and test_hooks.memo_runs()[3] == 0


@on_linux
@pytest.mark.parametrize("stay", ["same directory set again", "same directory through the "
                                  "environment", "budget left out"])
def test_staying_in_the_directory_keeps_its_table(stay, scoring, model8, codes, tmp_path,
                                                  test_hooks, monkeypatch):
    monkeypatch.setenv(SHARE, str(tmp_path))
    scoring.memo_settings(tmp_path, None)
    model8.score_sequence(codes)
    (table,) = tmp_path.iterdir()
    if stay == "same directory set again":
        scoring.memo_settings(str(tmp_path), None)
    elif stay == "same directory through the environment":
        scoring.memo_settings(scoring.FROM_ENVIRONMENT, None)
    else:
        scoring.memo_settings(directory=tmp_path)
    assert mapped_tables() == [table.stat().st_ino]
    before = test_hooks.memo_runs()
    model8.score_sequence(codes)
    after = test_hooks.memo_runs()
    # Served whole from the table still held, not started afresh.
    assert after[0] == before[0] and after[1] == before[1]
    assert after[2] - before[2] == len(codes) - 8 + 1
