// The module's static data: interned attribute and module-level names, the
// constant objects the function bodies index, compare and call with, and
// the process-wide state.  Every slot starts null and is made once by the
// exec step (module.cpp), which checks each where it is made and all of
// them at its end; from then on they live for the rest of the process.
#pragma once

#include "pyref.hpp"

namespace corlap {

#define CORLAP_NAMES(X)                                                        \
    X(length) X(counts) X(neg_counts) X(bg_counts) X(no_bias) X(no_bg)         \
    X(pssm) X(bias_pwm) X(bg_pwm) X(bias_dwm) X(bg_dwm) X(bias_pwm_log)        \
    X(bg_pwm_log) X(bias_dwm_log) X(bg_dwm_log) X(region) X(sequence)          \
    X(revcomp) X(chrom) X(start) X(end) X(fetch) X(close) X(np) X(sys)         \
    X(exit) X(zeros) X(sum) X(mean) X(true_divide) X(log2) X(nan) X(axis)      \
    X(dtype) X(open_fasta) X(format) X(NucleotideMatrix)                        \
    X(DiNucleotideMatrix) X(SequenceMatrix) X(GenomicSequence)                 \
    X(__module__) X(__qualname__) X(__doc__) X(__prepare__) X(complement)      \
    X(__test__) X(nuc_to_num) X(get_gc_content) X(staticmethod) X(range)       \
    X(ImportError)

struct Names {
#define CORLAP_DECLARE_NAME(n) PyObject* n = nullptr;
    CORLAP_NAMES(CORLAP_DECLARE_NAME)
#undef CORLAP_DECLARE_NAME
};

struct Constants {
    PyObject* ints[6] = {};           // the Python integers 0 to 5
    PyObject* int_16 = nullptr;       // 16
    PyObject* float_1 = nullptr;      // 1.0, the default amount
    PyObject* full_slice = nullptr;   // slice(None): [:]
    PyObject* rows_0_to_3 = nullptr;  // (slice(None, 4), slice(None)): [:4, :]
    PyObject* axis_0_2 = nullptr;     // (0, 2)
    PyObject* module_name = nullptr;  // "corlap.utils.sequences"
    PyObject* word_pwm = nullptr;     // "PWM", a score type
    PyObject* word_dwm = nullptr;     // "DWM"
    PyObject* unknown_score_type = nullptr;  // "Unkown score type {0}"
    PyObject* gc_letters[4] = {};     // "G", "g", "C", "c", in the order tested
};

// Process-wide state (one interpreter per process).
struct ModuleState {
    PyObject* module = nullptr;             // the module object once an exec step held it
    PyObject* builtins = nullptr;           // the builtins module
    PyTypeObject* ndarray = nullptr;        // numpy.ndarray
    PyTypeObject* float64_scalar = nullptr; // numpy.float64
    PyObject* builtin_staticmethod = nullptr;
    PyObject* builtin_range = nullptr;
};

extern Names names;
extern Constants constants;
extern ModuleState state;

// NameError "name '<name>' is not defined".
void raise_name_error(PyObject* name);

// A module-level name, looked up when it is needed: the module namespace
// first, then the built-ins; NameError when neither has it.
ref module_global(PyObject* name);

}  // namespace corlap
