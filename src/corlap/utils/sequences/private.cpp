// corlap.utils._scoring: settings of the scoring machinery that a program
// makes for its own process by call, where the environment variables would
// otherwise be rewritten around every task (and read by other threads
// meanwhile); and scoring that lets the GIL go around its loop over windows,
// for the tracks layer's threads (the public methods never let it go).  A
// second module in the extension's shared object, so that it reaches the
// memo and the bodies of corlap.utils.sequences directly; no file carries
// its name, and corlap/utils/_scoring_loader.py loads it from the
// extension's file.  Not part of the public interface.
#include "arguments.hpp"
#include "buffers.hpp"
#include "function.hpp"
#include "names.hpp"
#include "pyref.hpp"

#include <cstddef>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

namespace corlap {

namespace bodies {
// dinuc.cpp: puts settings in force (nullopt: the environment variable's).
void set_memo_settings(std::optional<std::string> share_dir, std::optional<size_t> budget_mib);
// dinuc.cpp: whether the DiNucleotideMatrix call being made fills the memo's
// table whole first.
extern bool memo_whole_request;

// The bodies of NucleotideMatrix.score_sequence (mono.cpp) and
// DiNucleotideMatrix.score_sequence (dinuc.cpp), by which score tells the
// two models apart; and the same scoring, with the same checks and the same
// bits, the GIL let go around the loop over windows.
PyObject* nucleotide_score_sequence(PyObject* const* args, double amount);
PyObject* dinucleotide_score_sequence(PyObject* const* args, double amount);
PyObject* nucleotide_score_unlocked(PyObject* self, PyObject* sequence, PyObject* out);
PyObject* dinucleotide_score_unlocked(PyObject* self, PyObject* sequence, PyObject* out);
}  // namespace bodies

namespace {

constexpr long max_budget_mib = 256;

// The marker that hands a setting back to its environment variable.  One
// object for the whole process (the module refuses other interpreters), so
// that settings returned by one loading of the module restore through any.
PyObject* from_environment = nullptr;

// The settings as they were given (after conversion), so that the previous
// ones are handed back as objects that restore them exactly.  Owned; the
// marker until a setting is made.
PyObject* directory_given = nullptr;
PyObject* budget_given = nullptr;

PyObject* marker_repr(PyObject*) {
    return PyUnicode_FromString("corlap.utils._scoring.FROM_ENVIRONMENT");
}

PyType_Slot marker_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(marker_repr)},
    {0, nullptr},
};

PyType_Spec marker_spec = {"corlap.utils._scoring.FromEnvironment", sizeof(PyObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           marker_slots};

bool make_marker() {
    if (from_environment != nullptr) return true;
    ref type(PyType_FromSpec(&marker_spec));
    if (!type) return false;
    PyObject* marker = PyObject_New(PyObject, reinterpret_cast<PyTypeObject*>(type.get()));
    if (marker == nullptr) return false;
    from_environment = marker;
    directory_given = Py_NewRef(marker);
    budget_given = Py_NewRef(marker);
    return true;
}

// The directory setting `given` stands for: the marker (nullopt), None ("":
// not shared) or a path, as str or os.PathLike, in the file system's encoding
// as os.environ would hold it.  `kept` receives the object to hand back later.
bool directory_setting(PyObject* given, std::optional<std::string>& out, ref& kept) {
    if (given == from_environment) {
        out.reset();
        kept = ref::borrow(given);
        return true;
    }
    if (given == Py_None) {
        out = std::string();
        kept = ref::borrow(given);
        return true;
    }
    ref path(PyOS_FSPath(given));
    if (!path) return false;
    if (!PyUnicode_Check(path.get())) {
        PyErr_Format(PyExc_TypeError,
                     "memo_settings() directory must be str, os.PathLike, None or "
                     "FROM_ENVIRONMENT, not %T",
                     given);
        return false;
    }
    ref encoded(PyUnicode_EncodeFSDefault(path.get()));
    if (!encoded) return false;
    const char* text = PyBytes_AS_STRING(encoded.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(encoded.get());
    if (size == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "memo_settings() directory is empty; None means not shared");
        return false;
    }
    if (std::strlen(text) != static_cast<size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "memo_settings() directory holds a null character");
        return false;
    }
    out = std::string(text, static_cast<size_t>(size));
    kept = std::move(path);
    return true;
}

// The budget setting `given` stands for: the marker (nullopt), None (the
// default) or a whole number of MiB in 0..256.
bool budget_setting(PyObject* given, std::optional<size_t>& out) {
    if (given == from_environment) {
        out.reset();
        return true;
    }
    if (given == Py_None) {
        out = static_cast<size_t>(max_budget_mib);
        return true;
    }
    if (!PyLong_Check(given) || PyBool_Check(given)) {
        PyErr_Format(PyExc_TypeError,
                     "memo_settings() budget_mib must be int, None or FROM_ENVIRONMENT, not %T",
                     given);
        return false;
    }
    int overflow = 0;
    const long mib = PyLong_AsLongAndOverflow(given, &overflow);
    if (mib == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || mib < 0 || mib > max_budget_mib) {
        PyErr_Format(PyExc_ValueError, "memo_settings() budget_mib must lie in 0..%ld, not %R",
                     max_budget_mib, given);
        return false;
    }
    out = static_cast<size_t>(mib);
    return true;
}

PyObject* memo_settings(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"directory", "budget_mib", nullptr};
    PyObject* directory = nullptr;
    PyObject* budget = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:memo_settings",
                                     const_cast<char**>(keywords), &directory, &budget)) {
        return nullptr;
    }
    ref previous(PyTuple_Pack(2, directory_given, budget_given));
    if (!previous) return nullptr;
    // Both are checked before either changes: a refused call changes nothing.
    std::optional<std::string> share_dir;
    std::optional<size_t> budget_mib;
    ref directory_kept = ref::borrow(directory_given);
    ref budget_kept = ref::borrow(budget_given);
    if (directory != nullptr && !directory_setting(directory, share_dir, directory_kept)) {
        return nullptr;
    }
    if (budget != nullptr) {
        if (!budget_setting(budget, budget_mib)) return nullptr;
        budget_kept = ref::borrow(budget);
    }
    if (directory == nullptr && !directory_setting(directory_given, share_dir, directory_kept)) {
        return nullptr;
    }
    if (budget == nullptr && !budget_setting(budget_given, budget_mib)) return nullptr;
    Py_SETREF(directory_given, directory_kept.release());
    Py_SETREF(budget_given, budget_kept.release());
    try {
        bodies::set_memo_settings(std::move(share_dir), budget_mib);
    } catch (const std::exception&) {
        return PyErr_NoMemory();
    }
    return previous.release();
}

// The unlocked scoring of the model's class: the class's score_sequence
// must be the module's own (a subclass may inherit it, not replace it), so
// that the scores are exactly those model.score_sequence would give.
using Unlocked = PyObject* (*)(PyObject* self, PyObject* sequence, PyObject* out);

bool unlocked_scoring(PyObject* model, Unlocked* out) {
    ref method;
    if (!get_optional_attr(reinterpret_cast<PyObject*>(Py_TYPE(model)), "score_sequence",
                           method)) {
        return false;
    }
    const Body body = method ? body_of(method.get()) : nullptr;
    if (body == bodies::nucleotide_score_sequence) {
        *out = bodies::nucleotide_score_unlocked;
    } else if (body == bodies::dinucleotide_score_sequence) {
        *out = bodies::dinucleotide_score_unlocked;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "score() model must be a NucleotideMatrix or DiNucleotideMatrix (whose "
                     "class keeps corlap's score_sequence), not %T",
                     model);
        return false;
    }
    return true;
}

PyObject* score(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2 || nargs > 4) {
        PyErr_Format(PyExc_TypeError, "score() takes 2 to 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    int whole = 0;
    if (nargs == 4 && (whole = PyObject_IsTrue(args[3])) < 0) return nullptr;
    if (state.module == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "import corlap.utils.sequences first");
        return nullptr;
    }
    PyObject* model = args[0];
    PyObject* sequence = args[1];
    PyObject* out = nargs >= 3 && args[2] != Py_None ? args[2] : nullptr;
    Unlocked unlocked = nullptr;
    if (!unlocked_scoring(model, &unlocked)) return nullptr;
    if (sequence != Py_None && !is_ndarray(sequence)) {
        raise_argument_type("sequence", "numpy.ndarray", sequence);
        return nullptr;
    }
    // As in the public functions: an allocation that fails is MemoryError.
    // Read under the GIL, before the call lets it go; for this call only.
    bodies::memo_whole_request = whole != 0;
    struct Reset {
        ~Reset() { bodies::memo_whole_request = false; }
    } reset;
    try {
        return unlocked(model, sequence, out);
    } catch (const std::exception&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef private_methods[] = {
    {"score", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(score)), METH_FASTCALL,
     "score(model, sequence, out=None, whole=False, /)\n"
     "--\n"
     "\n"
     "model.score_sequence(sequence), bit for bit, with the GIL released while\n"
     "the windows are scored, so that threads score at the same time.\n"
     "\n"
     "model: a NucleotideMatrix or DiNucleotideMatrix (its class's own\n"
     "score_sequence).  Everything score_sequence checks is checked first, with\n"
     "the same errors, and what the scoring reads is taken from the model before\n"
     "the GIL is released: tables changed while the windows are scored do not\n"
     "reach the result.\n"
     "sequence: the int64 codes, a numpy.ndarray the caller must leave as it is\n"
     "until this returns (a contiguous array is read in place, any other is\n"
     "copied first).\n"
     "\n"
     "out: None, or a float64 numpy.ndarray of len(sequence) elements (sharing\n"
     "no memory with sequence) that receives the scores in place of a new array,\n"
     "so that a caller scoring chunk after chunk reuses its memory; the caller\n"
     "must leave it as it is until this returns.\n"
     "\n"
     "whole: true for a caller about to score far more windows of this\n"
     "DiNucleotideMatrix (of length 12 at most) than there are distinct windows,\n"
     "such as a genome's: the memo's table is first filled with the score of\n"
     "every window, which costs about a third of scoring each one alone, and\n"
     "blocks that other processes sharing the table have taken are left to\n"
     "them.  The scores are the same bits either way.\n"
     "\n"
     "Returns a new float64 array, or out.  A call with a DiNucleotideMatrix uses the\n"
     "window memo as score_sequence does, under the settings of memo_settings;\n"
     "threads scoring at the same time each use a memo of their own."},
    {"memo_settings", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(memo_settings)),
     METH_VARARGS | METH_KEYWORDS,
     "memo_settings(directory=<unchanged>, budget_mib=<unchanged>)\n"
     "--\n"
     "\n"
     "Settings of the window-score memo of DiNucleotideMatrix.score_sequence (and\n"
     "of score) for this process, in place of the environment variables\n"
     "CORLAP_DWM_MEMO_DIR and CORLAP_DWM_MEMO_MIB.\n"
     "\n"
     "directory: where processes share the memo's table (str or os.PathLike);\n"
     "None: not shared, whatever the environment says.\n"
     "budget_mib: the most MiB the memo holds, an int in 0..256 (0: no memo);\n"
     "None: the default, 256.\n"
     "Either one given as FROM_ENVIRONMENT (an attribute of this module) ends that\n"
     "setting: its environment variable is read again at each call.  An argument\n"
     "left out keeps its setting as it is, so memo_settings() only reads them.\n"
     "\n"
     "Returns the settings in force before the call as (directory, budget_mib),\n"
     "each as it was given or FROM_ENVIRONMENT, so that memo_settings(*previous)\n"
     "restores them.  A memo that cannot serve calls under the new settings is\n"
     "dropped at once: a table shared through a directory the process leaves is\n"
     "unmapped before this returns (one in use by a call of another thread as\n"
     "soon as that call is done with it: this waits for it, the GIL released).\n"
     "\n"
     "Invalid arguments raise TypeError or ValueError and change nothing.  The\n"
     "settings are the process's, not the thread's: threads that set them around\n"
     "their own work must agree on them."},
    {nullptr, nullptr, 0, nullptr},
};

int private_exec(PyObject* module) {
    if (!make_marker()) return -1;
    return PyModule_AddObjectRef(module, "FROM_ENVIRONMENT", from_environment);
}

PyModuleDef_Slot private_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(private_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef private_def = {PyModuleDef_HEAD_INIT,
                           "_scoring",
                           "Private settings of corlap's scoring, for this process.",
                           0,
                           private_methods,
                           private_slots,
                           nullptr,
                           nullptr,
                           nullptr};

}  // namespace
}  // namespace corlap

PyMODINIT_FUNC PyInit__scoring(void) {
    return PyModuleDef_Init(&corlap::private_def);
}
