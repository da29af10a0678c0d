// SequenceMatrix (factory and merge) and NucleotideMatrix.
#include "bodies.hpp"
#include "buffers.hpp"
#include "names.hpp"

namespace corlap::bodies {

static PyObject* not_yet(const char* what) {
    PyErr_SetString(PyExc_NotImplementedError, what);
    return nullptr;
}

PyObject* sequence_matrix_create(PyObject* const*, double) { return not_yet("create"); }
PyObject* sequence_matrix_add_counts(PyObject* const*, double) { return not_yet("add_counts"); }
PyObject* nucleotide_init(PyObject* const*, double) { return not_yet("__init__"); }
PyObject* nucleotide_add_sequence(PyObject* const*, double) { return not_yet("add_sequence"); }
PyObject* nucleotide_add_background(PyObject* const*, double) { return not_yet("add_background"); }
PyObject* nucleotide_prepare_mat(PyObject* const*, double) { return not_yet("prepare_mat"); }
PyObject* nucleotide_score_sequence(PyObject* const*, double) { return not_yet("score_sequence"); }

}  // namespace corlap::bodies
