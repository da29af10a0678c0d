// SequenceMatrix (factory and merge) and NucleotideMatrix: construction,
// counting, probability tables and window scoring.
#include "arguments.hpp"
#include "bodies.hpp"
#include "bodies_common.hpp"
#include "buffers.hpp"
#include "kernels/mono.hpp"
#include "names.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL corlap_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <cstdint>
#include <vector>

namespace corlap::bodies {

namespace {

// A count table read from an attribute must be an array of at least 5 rows
// (one per code 0..4) and `columns` columns before anything is written to it.
bool check_table(PyObject* table, const Buffer& buffer, PyObject* name, int64_t columns) {
    const int64_t needed[2] = {5, columns};
    return require_shape(
        buffer, 2, needed,
        [&] {
            PyErr_Format(PyExc_TypeError,
                         "%U is None; counting needs a float64 table of 5 rows by %lld columns",
                         name, static_cast<long long>(columns));
        },
        [&] {
            ref shape(PyObject_GetAttrString(table, "shape"));
            if (!shape) return;
            PyErr_Format(PyExc_ValueError,
                         "%U has shape %R, smaller than the 5 rows by %lld columns that "
                         "counting needs",
                         name, shape.get(), static_cast<long long>(columns));
        });
}

// The first `length` codes of `sequence` must exist and lie in 0..4.
// Reports whether one of them is the unknown code 4.
bool check_sequence(PyObject* sequence, const Buffer& buffer, int64_t length,
                    bool* has_unknown) {
    *has_unknown = false;
    if (length <= 0) {
        return true;
    }
    if (!buffer.held()) {
        raise_argument_type("sequence", "numpy.ndarray", sequence);
        return false;
    }
    return check_codes(buffer, length, "sequence has %zd codes, fewer than the model length %lld",
                       "sequence holds the code %lld at position %lld; codes must be 0 to 4",
                       has_unknown);
}

// Can `addend` be added in place into the array `target` without error?
// (The same shape after broadcasting, writable, and a sum that casts back to
// the target's dtype under NumPy's in-place rule.)
bool check_in_place(PyObject* target, PyObject* addend, PyObject* name) {
    auto* array = reinterpret_cast<PyArrayObject*>(target);
    if (!PyArray_ISWRITEABLE(array)) {
        PyErr_Format(PyExc_ValueError, "cannot add into self.%U: the array is read-only",
                     name);
        return false;
    }
    ref other(PyArray_FROM_O(addend));
    if (!other) return false;
    auto* other_array = reinterpret_cast<PyArrayObject*>(other.get());
    const int ndim = PyArray_NDIM(array);
    const int other_ndim = PyArray_NDIM(other_array);
    bool fits = other_ndim <= ndim;
    for (int d = 1; fits && d <= other_ndim; ++d) {
        const npy_intp want = PyArray_DIM(array, ndim - d);
        const npy_intp have = PyArray_DIM(other_array, other_ndim - d);
        fits = have == want || have == 1;
    }
    if (!fits) {
        ref want(PyObject_GetAttrString(target, "shape"));
        ref have(PyObject_GetAttrString(other.get(), "shape"));
        if (!want || !have) return false;
        PyErr_Format(PyExc_ValueError, "cannot add obj.%U of shape %R into self.%U of shape %R",
                     name, have.get(), name, want.get());
        return false;
    }
    PyArrayObject* operands[2] = {array, other_array};
    ref result(reinterpret_cast<PyObject*>(PyArray_ResultType(2, operands, 0, nullptr)));
    if (!result) return false;
    if (!PyArray_CanCastTypeTo(reinterpret_cast<PyArray_Descr*>(result.get()),
                               PyArray_DESCR(array), NPY_SAME_KIND_CASTING)) {
        PyErr_Format(PyExc_TypeError, "cannot add obj.%U of dtype %S into self.%U of dtype %S",
                     name, reinterpret_cast<PyObject*>(PyArray_DESCR(other_array)), name,
                     reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        return false;
    }
    return true;
}

// What add_sequence or add_background counts into: the tables checked
// before counting (one of them receives the counts), the total that grows
// by the amount, and whether a sequence holding the code 4 is skipped whole.
struct CountTargets {
    PyObject* table_names[2];
    int n_tables;
    PyObject* total_name;
    bool skip_unknown;
};

PyObject* count_sequence(PyObject* const* args, double amount, const CountTargets& targets,
                         int counted_table) {
    PyObject* self = args[0];
    PyObject* sequence = args[1];
    Buffer sequence_buffer;
    if (!take_array(sequence, 1, Element::int64, Access::read, sequence_buffer)) {
        return nullptr;
    }
    int32_t length32 = 0;
    if (!read_length(self, &length32)) return nullptr;
    const int64_t length = length32 > 0 ? length32 : 0;

    ref tables[2];
    Buffer buffers[2];
    for (int t = 0; t < targets.n_tables; ++t) {
        tables[t] = take_attribute(self, targets.table_names[t], 2, Element::float64, Access::write,
                                   buffers[t]);
        if (!tables[t]) return nullptr;
    }
    // Everything that can fail is checked before the first change.
    bool has_unknown = false;
    if (!check_sequence(sequence, sequence_buffer, length, &has_unknown)) return nullptr;
    for (int t = 0; t < targets.n_tables; ++t) {
        if (!check_table(tables[t].get(), buffers[t], targets.table_names[t], length)) {
            return nullptr;
        }
    }
    if (has_unknown && targets.skip_unknown) {
        Py_RETURN_NONE;
    }
    ref new_total = grown_total(self, targets.total_name, amount);
    if (!new_total) return nullptr;

    if (length > 0) {
        kernels::count_codes(sequence_buffer.view<1>(), length, buffers[counted_table].view<2>(),
                             amount);
    }
    for (int t = 0; t < targets.n_tables; ++t) {
        if (!set_attr(self, targets.table_names[t], tables[t].get())) return nullptr;
    }
    if (!set_attr(self, targets.total_name, new_total.get())) return nullptr;
    Py_RETURN_NONE;
}

// Allocates the scratch memory of the scoring kernel (std::bad_alloc
// becomes MemoryError where the call came in).
struct ScoreMemory {
    std::vector<double> table, pair_table;
    std::vector<uint8_t> codes, pairs;
    std::vector<uint32_t> unknown;

    kernels::ScoreScratch make(int64_t window, int64_t windows) {
        const int64_t chunk = kernels::chunk_size(window, windows);
        table.resize(static_cast<size_t>(4 * window));
        if (window <= kernels::pair_table_max_window) {
            pair_table.resize(static_cast<size_t>(32 * window));
        }
        codes.resize(static_cast<size_t>(chunk + window));
        pairs.resize(static_cast<size_t>(chunk + window));
        unknown.resize(static_cast<size_t>(chunk + window + 1));
        return {table.data(), pair_table.empty() ? nullptr : pair_table.data(), codes.data(),
                pairs.data(), unknown.data(), chunk};
    }
};

}  // namespace

// ------------------------------------------------------------ SequenceMatrix

PyObject* sequence_matrix_create(PyObject* const* args, double) {
    PyObject* length = args[0];
    PyObject* stype = args[1];
    PyObject* const words[2] = {constants.word_pwm, constants.word_dwm};
    PyObject* const classes[2] = {names.NucleotideMatrix, names.DiNucleotideMatrix};
    for (int i = 0; i < 2; ++i) {
        ref equal(PyObject_RichCompare(stype, words[i], Py_EQ));
        if (!equal) return nullptr;
        const int truth = PyObject_IsTrue(equal.get());
        if (truth < 0) return nullptr;
        if (truth) {
            ref cls = module_global(classes[i]);
            if (!cls) return nullptr;
            return call(cls.get(), length).release();
        }
    }
    // Python evaluates sys.exit before its argument.
    ref sys = module_global(names.sys);
    if (!sys) return nullptr;
    ref exit = get_attr(sys.get(), names.exit);
    if (!exit) return nullptr;
    ref text(PyObject_Str(stype));
    if (!text) return nullptr;
    ref message = call_method(constants.unknown_score_type, names.format, text.get());
    if (!message) return nullptr;
    ref result = call(exit.get(), message.get());
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* sequence_matrix_add_counts(PyObject* const* args, double) {
    PyObject* self = args[0];
    PyObject* obj = args[1];
    PyObject* const attributes[5] = {names.counts, names.bg_counts, names.neg_counts,
                                     names.no_bias, names.no_bg};
    ref mine[5], theirs[5], sums[5];
    for (int i = 0; i < 5; ++i) {
        mine[i] = get_attr(self, attributes[i]);
        if (!mine[i]) return nullptr;
        theirs[i] = get_attr(obj, attributes[i]);
        if (!theirs[i]) return nullptr;
    }
    // A merge that fails half way would leave the model half merged: arrays
    // are checked for an in-place addition, and the other values (the totals:
    // immutable numbers) are summed, before anything changes.
    for (int i = 0; i < 5; ++i) {
        if (PyArray_Check(mine[i].get())) {
            if (!check_in_place(mine[i].get(), theirs[i].get(), attributes[i])) return nullptr;
        } else {
            sums[i] = ref(PyNumber_InPlaceAdd(mine[i].get(), theirs[i].get()));
            if (!sums[i]) return nullptr;
        }
    }
    for (int i = 0; i < 5; ++i) {
        if (!sums[i]) {
            sums[i] = ref(PyNumber_InPlaceAdd(mine[i].get(), theirs[i].get()));
            if (!sums[i]) return nullptr;
        }
        if (!set_attr(self, attributes[i], sums[i].get())) return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------- NucleotideMatrix

PyObject* nucleotide_init(PyObject* const* args, double) {
    PyObject* self = args[0];
    PyObject* length = args[1];
    if (!set_attr(self, names.length, length)) return nullptr;
    ref shape(PyTuple_Pack(2, constants.ints[5], length));
    if (!shape) return nullptr;
    for (PyObject* name : {names.counts, names.neg_counts, names.bg_counts}) {
        if (!set_zeros(self, name, shape.get())) return nullptr;
    }
    if (!set_attr(self, names.no_bias, constants.ints[0]) ||
        !set_attr(self, names.no_bg, constants.ints[0]) ||
        !set_zeros(self, names.pssm, shape.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* nucleotide_add_sequence(PyObject* const* args, double amount) {
    const CountTargets targets{{names.counts, names.neg_counts}, 2, names.no_bias, true};
    // NaN fails the test too and is counted apart, like every non-positive amount.
    return count_sequence(args, amount, targets, amount > 0 ? 0 : 1);
}

PyObject* nucleotide_add_background(PyObject* const* args, double amount) {
    const CountTargets targets{{names.bg_counts, nullptr}, 1, names.no_bg, false};
    return count_sequence(args, amount, targets, 0);
}

PyObject* nucleotide_prepare_mat(PyObject* const* args, double) {
    PyObject* self = args[0];
    const struct {
        PyObject* table;
        PyObject* total;
        PyObject* probabilities;
    } sides[2] = {{names.counts, names.no_bias, names.bias_pwm},
                  {names.bg_counts, names.no_bg, names.bg_pwm}};
    // Both totals first, then both probability tables, then the pssm.
    for (const auto& side : sides) {
        if (!set_base_total(self, side.total, [&] { return get_attr(self, side.table); })) {
            return nullptr;
        }
    }
    for (const auto& side : sides) {
        if (!set_position_probabilities(self, side.total, side.probabilities,
                                        [&] { return get_attr(self, side.table); })) {
            return nullptr;
        }
    }
    if (!set_pssm(self)) return nullptr;
    Py_RETURN_NONE;
}

namespace {

// One call's scoring, taken in two steps: under the GIL, every check and
// everything the loop over windows reads, into memory the call owns (the
// pssm laid out in the scratch tables) or holds (the buffers of the
// sequence and of the scores); then the loop, which runs no Python code and
// so may run without the GIL.
struct Scoring {
    Buffer sequence_buffer;
    Buffer out;
    ScoreMemory memory;
    kernels::ScoreScratch scratch{};
    kernels::View1 codes{};
    int64_t length = 0;
    int64_t window = 0;  // 0: no window to score
};

// The checks of score_sequence and the laid-out table.  The scores (all NaN
// so far), or empty with an error set.
ref prepare_scoring(PyObject* self, PyObject* sequence, Scoring& call,
                    PyObject* given_out = nullptr) {
    Buffer& sequence_buffer = call.sequence_buffer;
    if (!take_array(sequence, 1, Element::int64, Access::read, sequence_buffer)) {
        return ref();
    }
    Buffer table;
    ref pssm = take_attribute(self, names.pssm, 2, Element::float64, Access::read, table);
    if (!pssm) return ref();
    const int64_t rows[1] = {5};
    if (!require_shape(
            table, 1, rows,
            [] {
                PyErr_SetString(PyExc_TypeError,
                                "pssm is None; scoring needs a float64 table of at least 5 "
                                "rows");
            },
            [&table] {
                PyErr_Format(PyExc_ValueError,
                             "pssm has %zd rows; scoring needs at least 5 (one per code 0 to 4)",
                             table.shape(0));
            })) {
        return ref();
    }
    if (!sequence_buffer.held()) {
        PyObject_Length(sequence);  // raises len()'s own TypeError for None
        return ref();
    }
    const int64_t length = sequence_buffer.shape(0);
    const int64_t window = table.shape(1);

    // Laid out before the scores are made: NumPy may let the GIL go while
    // it fills them, and the table must be read at one moment.  A table
    // without columns has no windows to score.
    if (window > 0 && length >= window) {
        call.scratch = call.memory.make(window, length - window + 1);
        kernels::layout_tables(table.view<2>(), window, call.scratch);
        call.codes = sequence_buffer.view<1>();
        call.length = length;
        call.window = window;
    }
    return nan_scores(length, call.out, given_out);
}

void score_windows(const Scoring& call) {
    kernels::score_windows(call.codes, call.length, call.window, call.out.view<1>(),
                           call.scratch);
}

}  // namespace

PyObject* nucleotide_score_sequence(PyObject* const* args, double) {
    Scoring call;
    ref scores = prepare_scoring(args[0], args[1], call);
    if (!scores) return nullptr;
    if (call.window > 0) score_windows(call);
    return scores.release();
}

PyObject* nucleotide_score_unlocked(PyObject* self, PyObject* sequence, PyObject* out) {
    Scoring call;
    ref scores = prepare_scoring(self, sequence, call, out);
    if (!scores) return nullptr;
    if (call.window > 0) {
        std::vector<int64_t> copy;
        call.codes = codes_to_hold(call.codes, call.length, copy);
        Py_BEGIN_ALLOW_THREADS
        score_windows(call);
        Py_END_ALLOW_THREADS
    }
    return scores.release();
}

// ------------------------------------------------------------ the classes

namespace {

constexpr const char* source_file = "src/corlap/utils/sequences/mono.cpp";
using P = Param;

const FunctionDef sequence_matrix_static_methods[] = {
    {"create", "SequenceMatrix.create", nullptr, source_file, 2, 2, {"length", "stype"},
     {P::object, P::object}, sequence_matrix_create},
};

const FunctionDef sequence_matrix_methods[] = {
    {"add_counts", "SequenceMatrix.add_counts", nullptr, source_file, 2, 2, {"self", "obj"},
     {P::object, P::object}, sequence_matrix_add_counts},
};

const FunctionDef nucleotide_matrix_methods[] = {
    {"__init__", "NucleotideMatrix.__init__", nullptr, source_file, 2, 2, {"self", "length"},
     {P::object, P::object}, nucleotide_init},
    {"add_sequence", "NucleotideMatrix.add_sequence",
     " Adds sequence to SequenceMatrix the number of times specified in amount ", source_file,
     3, 2, {"self", "sequence", "amount"}, {P::object, P::array, P::real},
     nucleotide_add_sequence},
    {"add_background", "NucleotideMatrix.add_background",
     " Adds sequence to count of background nucleotides ", source_file, 3, 2,
     {"self", "sequence", "amount"}, {P::object, P::array, P::real},
     nucleotide_add_background},
    {"prepare_mat", "NucleotideMatrix.prepare_mat",
     " Prepare matrices for scoring with score_sequence ", source_file, 1, 1, {"self"},
     {P::object}, nucleotide_prepare_mat},
    {"score_sequence", "NucleotideMatrix.score_sequence",
     " Score nucleotide sequence against motif ", source_file, 2, 2, {"self", "sequence"},
     {P::object, P::array}, nucleotide_score_sequence},
};

}  // namespace

const ClassDef sequence_matrix_class = {"SequenceMatrix", " Class-builder ", false,
                                        sequence_matrix_static_methods,
                                        sequence_matrix_methods};

const ClassDef nucleotide_matrix_class = {"NucleotideMatrix", nullptr, true, {},
                                          nucleotide_matrix_methods};

}  // namespace corlap::bodies
