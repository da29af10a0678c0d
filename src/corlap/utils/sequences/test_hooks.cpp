// A second module in the extension's shared object, for the tests only:
// what the functions of corlap.utils.sequences did, where their results
// alone cannot tell.  No file carries its name, so it cannot be imported by
// name; the tests load it from the extension's file with importlib's
// ExtensionFileLoader under the name corlap.utils._sequences_test_hooks.
#include "bodies.hpp"

namespace corlap {

namespace {

PyObject* pair_table_runs(PyObject*, PyObject*) {
    return Py_BuildValue("(KK)", bodies::pair_table_runs.native,
                         bodies::pair_table_runs.item_by_item);
}

PyObject* memo_runs(PyObject*, PyObject*) {
    return Py_BuildValue("(KKKnO)", bodies::memo_runs.fresh, bodies::memo_runs.scored,
                         bodies::memo_runs.reused, static_cast<Py_ssize_t>(bodies::memo_bytes()),
                         bodies::memo_direct() ? Py_True : Py_False);
}

PyMethodDef test_hook_methods[] = {
    {"pair_table_runs", pair_table_runs, METH_NOARGS,
     "(native, item_by_item): how many runs of DiNucleotideMatrix.prepare_mat so far "
     "filled the pair tables natively and how many item by item."},
    {"memo_runs", memo_runs, METH_NOARGS,
     "(fresh, scored, reused, bytes, direct): memos of DiNucleotideMatrix.score_sequence "
     "started afresh, windows scored and windows copied from the memo so far; the bytes "
     "the memo holds and whether it is a direct table."},
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
