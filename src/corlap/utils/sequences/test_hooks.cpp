// A second module in the extension's shared object, for the tests only:
// what the functions of corlap.utils.sequences did where their results
// alone cannot tell, and failures that ordinary input cannot cause.  No file
// carries its name, so it cannot be imported by name; the tests load it from
// the extension's file with importlib's ExtensionFileLoader under the name
// corlap.utils._sequences_test_hooks.
#include "bodies.hpp"
#include "function.hpp"
#include "names.hpp"

#include <cfenv>
#include <new>

namespace corlap {

namespace bodies {
size_t memo_peak_bytes();  // dinuc.cpp
}  // namespace bodies

namespace {

PyObject* pair_table_runs(PyObject*, PyObject*) {
    return Py_BuildValue("(KK)", bodies::pair_table_runs.native,
                         bodies::pair_table_runs.item_by_item);
}

PyObject* memo_runs(PyObject*, PyObject*) {
    return Py_BuildValue("(KKKnOOn)", bodies::memo_runs.fresh, bodies::memo_runs.scored,
                         bodies::memo_runs.reused, static_cast<Py_ssize_t>(bodies::memo_bytes()),
                         bodies::memo_direct() ? Py_True : Py_False,
                         bodies::memo_shared() ? Py_True : Py_False,
                         static_cast<Py_ssize_t>(bodies::memo_peak_bytes()));
}

// The values this platform's C library gives the rounding directions it
// defines besides to-nearest, for tests that switch the mode through
// fesetround: the constants differ from one processor to the next.
PyObject* rounding_modes(PyObject*, PyObject*) {
    ref modes(PyDict_New());
    if (!modes) return nullptr;
    struct Mode {
        const char* name;
        int value;
    };
    const Mode defined[] = {
        {"nearest", FE_TONEAREST},
#if defined(FE_DOWNWARD)
        {"downward", FE_DOWNWARD},
#endif
#if defined(FE_UPWARD)
        {"upward", FE_UPWARD},
#endif
#if defined(FE_TOWARDZERO)
        {"towardzero", FE_TOWARDZERO},
#endif
    };
    for (const Mode& mode : defined) {
        ref value(PyLong_FromLong(mode.value));
        if (!value || PyDict_SetItemString(modes.get(), mode.name, value.get()) < 0) {
            return nullptr;
        }
    }
    return modes.release();
}

// A function of the module's own type whose body fails to allocate, as a
// body's std::vector may: the call entry turns that into MemoryError.
PyObject* body_failing_to_allocate(PyObject* const*, double) { throw std::bad_alloc(); }

const FunctionDef allocation_fails_def = {
    "allocation_fails", "allocation_fails", nullptr,
    "src/corlap/utils/sequences/test_hooks.cpp", 0, 0, {}, {}, body_failing_to_allocate};

PyObject* allocation_fails(PyObject*, PyObject*) {
    if (constants.module_name == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "import corlap.utils.sequences first");
        return nullptr;
    }
    return make_function(allocation_fails_def).release();
}

PyMethodDef test_hook_methods[] = {
    {"pair_table_runs", pair_table_runs, METH_NOARGS,
     "(native, item_by_item): how many runs of DiNucleotideMatrix.prepare_mat so far "
     "filled the pair tables natively and how many item by item."},
    {"memo_runs", memo_runs, METH_NOARGS,
     "(fresh, scored, reused, bytes, direct, shared): memos of "
     "DiNucleotideMatrix.score_sequence started afresh, windows scored and windows copied "
     "from a memo so far; then of the memo the latest call used (as that call left it, "
     "or empty once dropped): the bytes it holds, whether it is a direct table and "
     "whether that is shared with other processes (mapped now); the most bytes it held "
     "at once since it started afresh, a table and its larger replacement both counted."},
    {"rounding_modes", rounding_modes, METH_NOARGS,
     "{name: value}: the rounding directions <fenv.h> defines here (nearest, downward, "
     "upward, towardzero), with the values fesetround takes."},
    {"allocation_fails", allocation_fails, METH_NOARGS,
     "A function of the module's type whose body fails to allocate."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef test_hooks_def = {PyModuleDef_HEAD_INIT, "_sequences_test_hooks",
                               "Test-only view of corlap.utils.sequences.", 0,
                               test_hook_methods};

}  // namespace
}  // namespace corlap

PyMODINIT_FUNC PyInit__sequences_test_hooks(void) {
    return PyModuleDef_Init(&corlap::test_hooks_def);
}
