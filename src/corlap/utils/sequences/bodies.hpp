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

// What the reuse of repeated windows in DiNucleotideMatrix.score_sequence
// did so far: memos started afresh, windows scored and windows copied from
// the memo; and what the memo holds now (bytes, and whether it is a direct
// table).  Read by the tests through the test-hooks module.
struct MemoRuns {
    unsigned long long fresh = 0;
    unsigned long long scored = 0;
    unsigned long long reused = 0;
};
extern MemoRuns memo_runs;
size_t memo_bytes();
bool memo_direct();
bool memo_shared();

}  // namespace corlap::bodies
