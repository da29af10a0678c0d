// DiNucleotideMatrix.
#include "bodies.hpp"
#include "buffers.hpp"
#include "names.hpp"

namespace corlap::bodies {

static PyObject* not_yet(const char* what) {
    PyErr_SetString(PyExc_NotImplementedError, what);
    return nullptr;
}

PyObject* dinucleotide_init(PyObject* const*, double) { return not_yet("__init__"); }
PyObject* dinucleotide_add_sequence(PyObject* const*, double) { return not_yet("add_sequence"); }
PyObject* dinucleotide_add_background(PyObject* const*, double) { return not_yet("add_background"); }
PyObject* dinucleotide_prepare_mat(PyObject* const*, double) { return not_yet("prepare_mat"); }
PyObject* dinucleotide_score_sequence(PyObject* const*, double) { return not_yet("score_sequence"); }

}  // namespace corlap::bodies
