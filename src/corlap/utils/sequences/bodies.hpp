// The classes and module-level functions of corlap.utils.sequences, as
// tables of their functions (function.hpp), each defined beside the bodies
// it names; module.cpp binds them in this order.
#pragma once

#include "function.hpp"

namespace corlap::bodies {

extern const ClassDef sequence_matrix_class;      // mono.cpp
extern const ClassDef nucleotide_matrix_class;    // mono.cpp
extern const ClassDef dinucleotide_matrix_class;  // dinuc.cpp
extern const FunctionDef nuc_to_num_def;          // encoding.cpp
extern const ClassDef genomic_sequence_class;     // encoding.cpp
extern const FunctionDef get_gc_content_def;      // encoding.cpp

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
