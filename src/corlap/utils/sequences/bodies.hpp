// The bodies of the sixteen Python-visible functions (see function.hpp for
// the calling convention).
#pragma once

#include "pyref.hpp"

namespace corlap::bodies {

// encoding.cpp
PyObject* nuc_to_num(PyObject* const* args, double amount);
PyObject* genomic_init(PyObject* const* args, double amount);
PyObject* genomic_from_fasta(PyObject* const* args, double amount);
PyObject* get_gc_content(PyObject* const* args, double amount);

// mono.cpp
PyObject* sequence_matrix_create(PyObject* const* args, double amount);
PyObject* sequence_matrix_add_counts(PyObject* const* args, double amount);
PyObject* nucleotide_init(PyObject* const* args, double amount);
PyObject* nucleotide_add_sequence(PyObject* const* args, double amount);
PyObject* nucleotide_add_background(PyObject* const* args, double amount);
PyObject* nucleotide_prepare_mat(PyObject* const* args, double amount);
PyObject* nucleotide_score_sequence(PyObject* const* args, double amount);

// dinuc.cpp
PyObject* dinucleotide_init(PyObject* const* args, double amount);
PyObject* dinucleotide_add_sequence(PyObject* const* args, double amount);
PyObject* dinucleotide_add_background(PyObject* const* args, double amount);
PyObject* dinucleotide_prepare_mat(PyObject* const* args, double amount);
PyObject* dinucleotide_score_sequence(PyObject* const* args, double amount);

}  // namespace corlap::bodies
