"""nuc_to_num, the code table and module start-up."""

import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from corlap.utils.sequences import complement, nuc_to_num

CODES = {"A": 0, "a": 0, "T": 1, "t": 1, "C": 2, "c": 2, "G": 3, "g": 3}


def reference(text):
    return [CODES.get(ch, 4) for ch in text]


@pytest.mark.parametrize("text, expected", [
    ("", []),
    ("ACGT", [0, 2, 3, 1]),
    ("acgt", [0, 2, 3, 1]),
    ("TTAAGGCC", [1, 1, 0, 0, 3, 3, 2, 2]),
    ("AaNn", [0, 0, 4, 4]),
    ("A\U0001F600C", [0, 4, 2]),           # outside the BMP: one position
    ("Ae\u0301C", [0, 4, 4, 2]),           # a combining mark is a position of its own
    ("G\u00e7\u0100T", [3, 4, 4, 1]),      # 1-byte latin-1 and 2-byte storage
] + [(ch, [4]) for ch in ["N", "n", "U", "R", "-", " ", "5", "\x00", "\xff", "\u0141"]])
def test_examples(text, expected):
    result = nuc_to_num(text)
    assert result.dtype == np.int64 and result.shape == (len(text),)
    assert result.tolist() == expected


def test_result_is_fresh_contiguous_and_writable():
    a, b = nuc_to_num("ACGT"), nuc_to_num("ACGT")
    assert a is not b and not np.shares_memory(a, b)
    assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata


@pytest.mark.parametrize("width_char", ["", "\u00e9", "\u20ac", "\U0001F9EC"])
def test_random_text_matches_per_character_rule(width_char):
    rng = random.Random(7)
    alphabet = "ACGTacgtNnRY-. 0\u00e0" + width_char
    for length in (1, 7, 64, 1000, 4097):
        text = "".join(rng.choice(alphabet) for _ in range(length))
        assert nuc_to_num(text).tolist() == reference(text)


def test_every_code_point_of_the_first_plane():
    text = "".join(chr(c) for c in range(0xD800)) + "".join(
        chr(c) for c in range(0xE000, 0x10000))
    assert nuc_to_num(text).tolist() == reference(text)


def test_complement_is_an_involution():
    for code in range(4):
        assert complement[complement[code]] == code
    assert 4 not in complement


def test_none_has_no_length():
    with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
        nuc_to_num(None)


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_start_up_failure_is_reported_and_can_be_retried():
    result = run_python("""
        import sys, traceback, types
        sys.modules["corlap.utils.fasta"] = types.ModuleType("corlap.utils.fasta")
        try:
            import corlap.utils.sequences
        except ImportError as error:
            assert str(error) == "cannot import name open_fasta", error
            names = [f.name for f in traceback.extract_tb(error.__traceback__)]
            assert names[-1] == "init corlap.utils.sequences", names
        else:
            raise SystemExit("import should have failed")
        del sys.modules["corlap.utils.fasta"]
        sys.modules.pop("corlap.utils.sequences", None)
        import corlap.utils.sequences as seq
        print(seq.nuc_to_num("GATC").tolist())
        # The constants made by the failed attempt serve the retried one.
        model = seq.SequenceMatrix.create(3, "DWM")
        model.add_sequence(seq.nuc_to_num("ATC"))
        model.prepare_mat()
        print(model.no_bias, model.bias_dwm[4, 4, 0, 1] == 16 * 0.2 * 0.2 / 17)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["[3, 0, 1, 2]", "1.0 True"]


def test_start_up_needs_the_builtins_it_was_written_against():
    result = run_python("""
        import builtins
        import numpy, corlap.utils.fasta
        del builtins.sum
        try:
            import corlap.utils.sequences
        except NameError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "name 'sum' is not defined"


def test_second_interpreter_is_refused():
    result = run_python("""
        import _interpreters
        import corlap.utils.sequences
        interp = _interpreters.create("legacy")
        failure = _interpreters.run_string(interp, "import corlap.utils.sequences")
        print(failure.type.__name__, failure.msg)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "ImportError Interpreter change detected - this module can only be loaded "
        "into one interpreter per process.")
