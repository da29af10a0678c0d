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

// How many runs of DiNucleotideMatrix.prepare_mat filled the pair tables
// natively and how many item by item (an integer window length of 0 or
// less, with nothing to fill, counts in neither).  Read by the tests
// through the test-hooks module (test_hooks.cpp), so that they can tell
// which path ran.
struct PairTableRuns {
    unsigned long long native = 0;
    unsigned long long item_by_item = 0;
};
extern PairTableRuns pair_table_runs;

}  // namespace corlap::bodies
