// Interned attribute and module-level names, and the constant objects the
// function bodies index and call with.  All are made once at start-up and live
// for the rest of the process.
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
    X(DiNucleotideMatrix) X(SequenceMatrix) X(GenomicSequence) X(self)         \
    X(obj) X(amount) X(stype) X(fasta_obj) X(regions) X(fasta)                 \
    X(__module__) X(__qualname__) X(__doc__) X(__prepare__)                    \
    X(__mro_entries__) X(__orig_bases__) X(__builtins__) X(__init__)          \
    X(complement) X(__test__) X(create) X(add_counts) X(add_sequence)          \
    X(add_background) X(prepare_mat) X(score_sequence) X(nuc_to_num)           \
    X(from_fasta) X(get_gc_content)

struct Names {
#define CORLAP_DECLARE_NAME(n) PyObject* n = nullptr;
    CORLAP_NAMES(CORLAP_DECLARE_NAME)
#undef CORLAP_DECLARE_NAME
};

struct Constants {
    PyObject* ints[6] = {};         // the Python integers 0 to 5
    PyObject* rows_0_to_3 = nullptr;  // (slice(None, 4), slice(None)): [:4, :]
    PyObject* full_slice = nullptr;   // slice(None): [:]
    PyObject* axis_0_2 = nullptr;     // (0, 2)
    PyObject* int_16 = nullptr;       // 16
    PyObject* float_1 = nullptr;      // 1.0, the default amount
};

// Process-wide state (one interpreter per process).
struct ModuleState {
    PyObject* module = nullptr;      // the module object once an exec step held it
    PyObject* builtins = nullptr;    // the builtins module
    PyTypeObject* ndarray = nullptr; // numpy.ndarray
    PyObject* builtin_staticmethod = nullptr;
    PyObject* builtin_range = nullptr;
    PyObject* builtin_sum = nullptr;
    PyObject* builtin_import_error = nullptr;
};

extern Names names;
extern Constants constants;
extern ModuleState state;

// A module-level name, looked up when it is needed: the module namespace
// first, then the built-ins; NameError when neither has it.
ref module_global(PyObject* name);

// Calls callable(*args) with no keywords.  Returns an empty ref on error.
template <class... Args>
inline ref call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return ref(PyObject_Vectorcall(callable, argv + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}

// Calls obj.name(*args).
template <class... Args>
inline ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* argv[] = {obj, args...};
    return ref(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(Args)) |
                                                         PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

inline ref get_attr(PyObject* obj, PyObject* name) {
    return ref(PyObject_GetAttr(obj, name));
}

}  // namespace corlap
