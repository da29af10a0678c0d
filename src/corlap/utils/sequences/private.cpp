// corlap.utils._scoring: settings of the scoring machinery that a program
// makes for its own process by call, where the environment variables would
// otherwise be rewritten around every task (and read by other threads
// meanwhile).  A second module in the extension's shared object, so that it
// reaches the memo of corlap.utils.sequences directly; no file carries its
// name, and corlap/utils/_scoring_loader.py loads it from the extension's
// file.  Not part of the public interface.
#include "pyref.hpp"

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

namespace corlap {

namespace bodies {
// dinuc.cpp: puts settings in force (nullopt: the environment variable's).
void set_memo_settings(std::optional<std::string> share_dir, std::optional<size_t> budget_mib);
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
    bodies::set_memo_settings(std::move(share_dir), budget_mib);
    return previous.release();
}

PyMethodDef private_methods[] = {
    {"memo_settings", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(memo_settings)),
     METH_VARARGS | METH_KEYWORDS,
     "memo_settings(directory=<unchanged>, budget_mib=<unchanged>)\n"
     "--\n"
     "\n"
     "Settings of the window-score memo of DiNucleotideMatrix.score_sequence for\n"
     "this process, in place of the environment variables CORLAP_DWM_MEMO_DIR and\n"
     "CORLAP_DWM_MEMO_MIB.\n"
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
     "unmapped before this returns.\n"
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
