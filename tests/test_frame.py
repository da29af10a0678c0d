"""The module object, its classes and functions, argument binding, the array
test and traceback entries."""

import importlib
import inspect
import subprocess
import sys
import traceback
import types

import numpy as np
import pytest

import corlap.utils.sequences as seq

MODULE = "corlap.utils.sequences"

# qualname -> (parameters, defaults, docstring)
FUNCTIONS = {
    "SequenceMatrix.create": (("length", "stype"), None, None),
    "SequenceMatrix.add_counts": (("self", "obj"), None, None),
    "NucleotideMatrix.__init__": (("self", "length"), None, None),
    "NucleotideMatrix.add_sequence": (
        ("self", "sequence", "amount"), (1.0,),
        " Adds sequence to SequenceMatrix the number of times specified in amount "),
    "NucleotideMatrix.add_background": (
        ("self", "sequence", "amount"), (1.0,),
        " Adds sequence to count of background nucleotides "),
    "NucleotideMatrix.prepare_mat": (
        ("self",), None, " Prepare matrices for scoring with score_sequence "),
    "NucleotideMatrix.score_sequence": (
        ("self", "sequence"), None, " Score nucleotide sequence against motif "),
    "DiNucleotideMatrix.__init__": (("self", "length"), None, None),
    "DiNucleotideMatrix.add_sequence": (("self", "sequence", "amount"), (1.0,), None),
    "DiNucleotideMatrix.add_background": (
        ("self", "sequence", "amount"), (1.0,),
        " Adds sequence to count of background nucleotides "),
    "DiNucleotideMatrix.prepare_mat": (("self",), None, None),
    "DiNucleotideMatrix.score_sequence": (("self", "sequence"), None, None),
    "nuc_to_num": (("sequence",), None,
                   " Convert DNA sequence string to internal number format "),
    "GenomicSequence.__init__": (("self", "region"), None, None),
    "GenomicSequence.from_fasta": (("self", "fasta_obj"), None,
                                   " Fill sequence from fasta object "),
    "get_gc_content": (("regions", "fasta"), None,
                       " Get GC content from regions in fasta "),
}


def lookup(qualname):
    owner, _, name = qualname.rpartition(".")
    if not owner:
        return getattr(seq, name)
    return vars(getattr(seq, owner))[name]


def function(qualname):
    found = lookup(qualname)
    return found.__func__ if isinstance(found, staticmethod) else found


class TestModule:
    def test_docstring_and_namespace_order(self):
        # A fresh interpreter: tests that replace module names reorder them.
        listing = subprocess.run(
            [sys.executable, "-c", "import corlap.utils.sequences as s; print(list(vars(s)))"],
            capture_output=True, text=True, check=True).stdout
        bound = [k for k in eval(listing) if not (k.startswith("__") and k != "__builtins__"
                                                  and k != "__test__")]
        assert bound == ["__builtins__", "np", "sys", "open_fasta", "complement",
                         "SequenceMatrix", "NucleotideMatrix", "DiNucleotideMatrix",
                         "nuc_to_num", "GenomicSequence", "get_gc_content", "__test__"]
        assert seq.__doc__ == "Sequence utilities for counting and scoring with PWMs and DWMs."
        import builtins
        from corlap.utils.fasta import open_fasta
        assert seq.__builtins__ is builtins
        assert seq.np is np and seq.sys is sys and seq.open_fasta is open_fasta
        assert seq.complement == {0: 1, 1: 0, 2: 3, 3: 2} and 4 not in seq.complement
        assert list(seq.complement) == [0, 1, 2, 3]
        assert seq.__test__ == {}

    def test_reimport_gives_same_object(self):
        again = importlib.import_module(MODULE)
        assert again is seq
        del sys.modules[MODULE]
        try:
            fresh = importlib.import_module(MODULE)
            assert fresh is seq
            assert fresh.NucleotideMatrix is seq.NucleotideMatrix
        finally:
            sys.modules[MODULE] = seq

    def test_reload_is_a_no_op(self):
        classes = seq.NucleotideMatrix
        assert importlib.reload(seq) is seq
        assert seq.NucleotideMatrix is classes


class TestClasses:
    def test_docstrings(self):
        assert seq.SequenceMatrix.__doc__ == " Class-builder "
        assert seq.NucleotideMatrix.__doc__ is None
        assert seq.DiNucleotideMatrix.__doc__ == " Dinucleotide matrix "
        assert seq.GenomicSequence.__doc__ == " Used in trelvo for fast scoring of PWM/DWM "

    @pytest.mark.parametrize("name", ["NucleotideMatrix", "DiNucleotideMatrix"])
    def test_model_classes_derive_from_sequence_matrix(self, name):
        cls = getattr(seq, name)
        assert cls.__mro__ == (cls, seq.SequenceMatrix, object)
        assert cls.__module__ == MODULE
        methods = [k for k in vars(cls) if not k.startswith("__") or k == "__init__"]
        assert methods == ["__init__", "add_sequence", "add_background", "prepare_mat",
                           "score_sequence"]

    @pytest.mark.parametrize("name", ["SequenceMatrix", "NucleotideMatrix",
                                      "DiNucleotideMatrix", "GenomicSequence"])
    def test_ordinary_classes(self, name):
        cls = getattr(seq, name)
        assert type(cls) is type
        assert cls.__module__ == MODULE and cls.__qualname__ == name
        sub = type("Sub", (cls,), {"extra": 1})
        instance = object.__new__(sub)
        instance.anything = 42
        assert instance.anything == 42 and isinstance(instance, cls)

    def test_create_is_a_static_method(self):
        entry = vars(seq.SequenceMatrix)["create"]
        assert isinstance(entry, staticmethod)
        instance = seq.SequenceMatrix()
        assert seq.SequenceMatrix.create is entry.__func__
        assert seq.NucleotideMatrix.create is entry.__func__
        assert instance.create is entry.__func__


class TestFunctionObjects:
    @pytest.mark.parametrize("qualname", sorted(FUNCTIONS))
    def test_names_defaults_docstrings(self, qualname):
        params, defaults, doc = FUNCTIONS[qualname]
        f = function(qualname)
        assert f.__qualname__ == qualname
        assert f.__name__ == qualname.rpartition(".")[2]
        assert f.__module__ == MODULE
        assert f.__doc__ == doc
        assert f.__defaults__ == defaults
        if defaults:
            assert type(f.__defaults__[0]) is float
        assert tuple(inspect.signature(f).parameters) == params

    def test_binds_to_instances(self):
        f = vars(seq.NucleotideMatrix)["prepare_mat"]
        instance = object.__new__(seq.NucleotideMatrix)
        bound = instance.prepare_mat
        assert isinstance(bound, types.MethodType)
        assert bound.__self__ is instance and bound.__func__ is f
        assert seq.NucleotideMatrix.prepare_mat is f

    def test_defaults_attribute_does_not_change_the_default(self):
        f = seq.NucleotideMatrix.add_sequence
        saved = f.__defaults__
        try:
            f.__defaults__ = (5.0,)
            assert f.__defaults__ == (5.0,)
        finally:
            f.__defaults__ = saved
        assert f.__defaults__ == (1.0,)


def raises_message(exc_type, message, call):
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == message
    return info


class TestBinding:
    @pytest.mark.parametrize("call, message", [
        (lambda: seq.nuc_to_num(),
         "nuc_to_num() takes exactly 1 positional argument (0 given)"),
        (lambda: seq.nuc_to_num("A", "C"),
         "nuc_to_num() takes exactly 1 positional argument (2 given)"),
        (lambda: seq.NucleotideMatrix(),
         "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: seq.NucleotideMatrix.prepare_mat(1, 2),
         "prepare_mat() takes exactly 1 positional argument (2 given)"),
        (lambda: object.__new__(seq.NucleotideMatrix).add_sequence(),
         "add_sequence() takes at least 2 positional arguments (1 given)"),
        (lambda: object.__new__(seq.NucleotideMatrix).add_sequence(1, 2, 3),
         "add_sequence() takes at most 3 positional arguments (4 given)"),
        (lambda: object.__new__(seq.NucleotideMatrix).add_sequence(amount=2.0),
         "add_sequence() takes at least 2 positional arguments (1 given)"),
        (lambda: seq.NucleotideMatrix.add_sequence(amount=2.0),
         "add_sequence() takes at least 2 positional arguments (0 given)"),
        (lambda: seq.NucleotideMatrix.add_sequence(1, 2, 3, 4, amount=1),
         "add_sequence() takes at most 3 positional arguments (4 given)"),
        (lambda: seq.get_gc_content(fasta=1),
         "get_gc_content() takes exactly 2 positional arguments (0 given)"),
        (lambda: seq.get_gc_content([], regions=1),
         "get_gc_content() got multiple values for keyword argument 'regions'"),
        (lambda: object.__new__(seq.NucleotideMatrix).add_sequence(
            np.zeros(3, np.int64), sequence=np.zeros(3, np.int64)),
         "add_sequence() got multiple values for keyword argument 'sequence'"),
        (lambda: object.__new__(seq.NucleotideMatrix).add_sequence(
            np.zeros(3, np.int64), weight=2),
         "add_sequence() got an unexpected keyword argument 'weight'"),
        (lambda: seq.nuc_to_num(seq="A"),
         "nuc_to_num() got an unexpected keyword argument 'seq'"),
        (lambda: seq.nuc_to_num(**{"sequence": "A", "other": 1}),
         "nuc_to_num() got an unexpected keyword argument 'other'"),
    ])
    def test_count_and_keyword_errors(self, call, message):
        raises_message(TypeError, message, call)

    def test_keyword_names_built_at_run_time_match_by_value(self):
        name = "".join(["seq", "uence"])
        assert list(seq.nuc_to_num(**{name: "GA"})) == [3, 0]

    def test_non_string_keywords(self):
        with pytest.raises(TypeError, match="keywords must be strings"):
            seq.nuc_to_num(**{1: "A"})

    @pytest.mark.parametrize("value, text", [
        ([1], "list"), (b"ACGT", "bytes"), (np.zeros(2, np.int64), "numpy.ndarray"),
        (type("Text", (str,), {})("ACGT"), "Text"),
    ])
    def test_text_type_test(self, value, text):
        raises_message(
            TypeError,
            f"Argument 'sequence' has incorrect type (expected str, got {text})",
            lambda: seq.nuc_to_num(value))

    @pytest.mark.parametrize("method", ["add_sequence", "add_background", "score_sequence"])
    @pytest.mark.parametrize("cls", ["NucleotideMatrix", "DiNucleotideMatrix"])
    def test_array_type_test(self, cls, method):
        f = getattr(getattr(seq, cls), method)
        raises_message(
            TypeError,
            "Argument 'sequence' has incorrect type (expected numpy.ndarray, got list)",
            lambda: f(object(), [0, 1, 2]))

    def test_amount_is_converted_before_the_type_test(self):
        with pytest.raises(TypeError) as info:
            seq.NucleotideMatrix.add_sequence(object(), [0], "2")
        assert "incorrect type" not in str(info.value)
        with pytest.raises(TypeError, match="incorrect type"):
            seq.NucleotideMatrix.add_sequence(object(), [0], 2)


class FakeNumpy:
    """Stands in for the module-level `np`, handing out a chosen array."""

    def __init__(self, make):
        self.make = make

    def zeros(self, n, dtype):
        assert dtype is int
        return self.make(n)


@pytest.fixture
def fake_np(monkeypatch):
    def install(make):
        monkeypatch.setattr(seq, "np", FakeNumpy(make))
    return install


class TestArrayTest:
    @pytest.mark.parametrize("dtype, described", [
        (np.bool_, "'bool'"), (np.int8, "'signed char'"), (np.uint8, "'unsigned char'"),
        (np.int16, "'short'"), (np.uint16, "'unsigned short'"), (np.int32, "'int'"),
        (np.uint32, "'unsigned int'"), (np.uint64, "'unsigned long'"),
        (np.ulonglong, "'unsigned long long'"), (np.float32, "'float'"),
        (np.float64, "'double'"), (np.longdouble, "'long double'"),
        (np.complex64, "'complex float'"), (np.complex128, "'complex double'"),
        (np.clongdouble, "'complex long double'"), (object, "Python object"),
    ])
    def test_dtype_mismatch(self, fake_np, dtype, described):
        fake_np(lambda n: np.zeros(n, dtype))
        raises_message(ValueError,
                       f"Buffer dtype mismatch, expected 'int64_t' but got {described}",
                       lambda: seq.nuc_to_num("ACGT"))

    def test_other_format_errors(self, fake_np):
        fake_np(lambda n: np.zeros(n, np.float16))
        raises_message(ValueError,
                       "Does not understand character buffer dtype format string ('e')",
                       lambda: seq.nuc_to_num("A"))
        fake_np(lambda n: np.zeros(n, ">i8"))
        raises_message(ValueError, "Big-endian buffer not supported on little-endian compiler",
                       lambda: seq.nuc_to_num("A"))
        fake_np(lambda n: np.zeros((n, 2), np.int64))
        raises_message(ValueError,
                       "Buffer has wrong number of dimensions (expected 1, got 2)",
                       lambda: seq.nuc_to_num("A"))
        fake_np(lambda n: [0] * n)
        raises_message(TypeError, "Cannot convert list to numpy.ndarray",
                       lambda: seq.nuc_to_num("A"))

    def test_read_only_result_is_refused_by_numpy(self, fake_np):
        def read_only(n):
            a = np.zeros(n, np.int64)
            a.flags.writeable = False
            return a
        fake_np(read_only)
        with pytest.raises(ValueError, match="read-only"):
            seq.nuc_to_num("A")

    @pytest.mark.parametrize("make", [
        lambda n: np.zeros(2 * n + 3, np.int64)[::-2][:n],   # negative stride
        lambda n: np.zeros(3 * n, np.int64)[::3],            # every third element
        lambda n: np.frombuffer(bytearray(8 * n + 1), np.int64, n, 1),  # unaligned
        lambda n: np.zeros(n, np.longlong),
        lambda n: np.zeros(n, np.int64).view(type("Sub", (np.ndarray,), {})),
    ])
    def test_any_strides_and_subclasses_are_written_in_place(self, fake_np, make):
        made = []

        def keep(n):
            made.append(make(n))
            return made[-1]
        fake_np(keep)
        result = seq.nuc_to_num("ACGTN")
        assert result is made[0]
        assert list(result) == [0, 2, 3, 1, 4]

    def test_no_buffer_stays_held(self, fake_np):
        made = []
        fake_np(lambda n: made.append(np.zeros(n, np.float64)) or made[-1])
        with pytest.raises(ValueError):
            seq.nuc_to_num("ACGT")
        made[0].resize(10, refcheck=False)  # refused while an export is held
        made.clear()
        fake_np(lambda n: made.append(np.zeros(n, np.int64)) or made[-1])
        seq.nuc_to_num("ACGT")
        made[0].resize(10, refcheck=False)

    def test_missing_np(self, monkeypatch):
        monkeypatch.delattr(seq, "np")
        raises_message(NameError, "name 'np' is not defined", lambda: seq.nuc_to_num("A"))


class TestTraceback:
    def test_failed_allocation_in_a_body_is_memory_error(self, test_hooks):
        allocation_fails = test_hooks.allocation_fails()
        assert allocation_fails.__module__ == MODULE
        with pytest.raises(MemoryError) as raised:
            allocation_fails()
        entries = traceback.extract_tb(raised.value.__traceback__)
        assert entries[-1].name == "corlap.utils.sequences.allocation_fails"

    def test_entry_named_after_the_function_below_the_caller(self):
        def caller():
            return seq.nuc_to_num(None)
        with pytest.raises(TypeError) as info:
            caller()
        frames = traceback.extract_tb(info.value.__traceback__)
        assert frames[-2].name == "caller"
        assert frames[-1].name == "corlap.utils.sequences.nuc_to_num"
        assert "src/corlap/utils/sequences" in frames[-1].filename

    @pytest.mark.parametrize("qualname", sorted(FUNCTIONS))
    def test_binding_errors_carry_the_entry(self, qualname):
        f = function(qualname)
        with pytest.raises(TypeError) as info:
            f(1, 2, 3, 4)
        last = traceback.extract_tb(info.value.__traceback__)[-1]
        assert last.name == f"corlap.utils.sequences.{qualname}"
        assert last.filename.startswith("src/corlap/utils/sequences/")
