// DiNucleotideMatrix: pair counting, probability tables and window scoring.
#include "arguments.hpp"
#include "bodies.hpp"
#include "bodies_common.hpp"
#include "buffers.hpp"
#include "kernels/codes.hpp"
#include "kernels/dinuc.hpp"
#include "kernels/memo_pool.hpp"
#include "names.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace corlap::bodies {

PairTableRuns pair_table_runs;
MemoRuns memo_runs;
// Set by corlap.utils._scoring.score around one call (read under the GIL):
// the call fills the memo's table whole before it scores.
bool memo_whole_request = false;

namespace {

// The tables that counting or scoring is about to touch must exist and
// cover the window; checked before any element is read or written so that
// a refused call changes nothing.
bool require_table(const Buffer& buffer, PyObject* attribute, int ndim,
                   const int64_t* needed, const char* purpose) {
    return require_shape(
        buffer, ndim, needed,
        [&] {
            PyErr_Format(PyExc_TypeError,
                         "attribute '%U' is None; %s needs a float64 array with %d dimensions",
                         attribute, purpose, ndim);
        },
        [&] {
            if (ndim == 4) {
                PyErr_Format(PyExc_ValueError,
                             "attribute '%U' has shape (%zd, %zd, %zd, %zd), smaller than "
                             "the (%lld, %lld, %lld, %lld) that %s with the model length needs",
                             attribute, buffer.shape(0), buffer.shape(1), buffer.shape(2),
                             buffer.shape(3), (long long)needed[0], (long long)needed[1],
                             (long long)needed[2], (long long)needed[3], purpose);
            } else {
                PyErr_Format(PyExc_ValueError,
                             "attribute '%U' has shape (%zd, %zd), smaller than the "
                             "(%lld, %lld) that %s with the model length needs",
                             attribute, buffer.shape(0), buffer.shape(1),
                             (long long)needed[0], (long long)needed[1], purpose);
            }
        });
}

// ---------------------------------------------------------------------------
// Counting.

PyObject* count_pairs(PyObject* const* args, double amount, PyObject* table_name,
                      PyObject* total_name) {
    PyObject* self = args[0];
    PyObject* sequence = args[1];
    Buffer codes_buffer;
    if (!take_array(sequence, 1, Element::int64, Access::read, codes_buffer)) {
        return nullptr;
    }
    Buffer table_buffer;
    ref table = take_attribute(self, table_name, 4, Element::float64, Access::write, table_buffer);
    if (!table) return nullptr;
    int32_t length = 0;
    if (!read_length(self, &length)) return nullptr;

    // The checked codes, copied once for the L * L pair loop before any
    // Python code (the total's addition) can run and change the sequence.
    std::vector<int32_t> codes;
    if (length > 0) {
        if (sequence == Py_None) {
            raise_argument_type("sequence", "numpy.ndarray", sequence);
            return nullptr;
        }
        const int64_t needed[4] = {5, 5, length, length};
        if (!require_table(table_buffer, table_name, 4, needed, "counting")) {
            return nullptr;
        }
        bool has_unknown = false;
        if (!check_codes(codes_buffer, length,
                         "sequence holds %zd codes, fewer than the model length %lld",
                         "sequence holds the code %lld at position %lld; nucleotide codes lie "
                         "in 0..4",
                         &has_unknown)) {
            return nullptr;
        }
        // A window with an unknown base is not counted at all, total included.
        if (has_unknown) {
            Py_RETURN_NONE;
        }
        const kernels::View1 view = codes_buffer.view<1>();
        codes.resize(static_cast<size_t>(length));
        for (int64_t m = 0; m < length; ++m) {
            codes[static_cast<size_t>(m)] = static_cast<int32_t>(kernels::code_at(view, m));
        }
    }
    // The new total is formed before the table changes, so that a total that
    // cannot be added to leaves the model as it was instead of counted pairs
    // without their amount.
    ref new_total = grown_total(self, total_name, amount);
    if (!new_total) return nullptr;
    if (length > 0) {
        kernels::add_pairs(table_buffer.view<4>(), codes.data(), length, amount);
    }
    if (!set_attr(self, total_name, new_total.get())) return nullptr;
    if (!set_attr(self, table_name, table.get())) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Probability tables.

// position table = np.sum(self.<counts>, axis=(0, 2)) / float(L)
ref position_counts(PyObject* self, PyObject* counts_name, PyObject* length) {
    ref sum = numpy_function(names.sum);
    if (!sum) return ref();
    ref counts = get_attr(self, counts_name);
    if (!counts) return ref();
    ref summed = call_with_keyword(sum.get(), counts.get(), names.axis, constants.axis_0_2);
    if (!summed) return ref();
    ref divisor(PyNumber_Float(length));
    if (!divisor) return ref();
    return ref(PyNumber_TrueDivide(summed.get(), divisor.get()));
}

// self.<total> = np.mean(np.sum(cm[:4, :], axis=0))
// self.<pwm> = np.true_divide(cm + 1, self.<total> + 4)
bool position_probabilities(PyObject* self, PyObject* cm, PyObject* total_name,
                            PyObject* pwm_name) {
    auto table = [cm] { return ref::borrow(cm); };
    return set_base_total(self, total_name, table) &&
           set_position_probabilities(self, total_name, pwm_name, table);
}

// self.<target> = np.log2(self.<source>)
bool log2_attribute(PyObject* self, PyObject* source, PyObject* target) {
    ref log2 = numpy_function(names.log2);
    if (!log2) return false;
    ref table = get_attr(self, source);
    if (!table) return false;
    ref logs = call(log2.get(), table.get());
    if (!logs) return false;
    return set_attr(self, target, logs.get());
}

// `no` when no > 16, else the integer 16 (equal and NaN included).
ref pseudo_count(PyObject* self, PyObject* total_name) {
    ref total = get_attr(self, total_name);
    if (!total) return ref();
    const int above = PyObject_RichCompareBool(total.get(), constants.int_16, Py_GT);
    if (above < 0) return ref();
    return above ? total : ref::borrow(constants.int_16);
}

struct SideNames {
    PyObject* counts;
    PyObject* pwm;
    PyObject* total;
    PyObject* dwm;
};

const SideNames bias_names() {
    return {names.counts, names.bias_pwm, names.no_bias, names.bias_dwm};
}
const SideNames background_names() {
    return {names.bg_counts, names.bg_pwm, names.no_bg, names.bg_dwm};
}

// One pair-table entry through Python item access, exactly as the
// item-by-item definition reads and writes it.
bool item_pair_entry(PyObject* self, const SideNames& side, PyObject* pseudo, PyObject* index,
                     PyObject* index_n, PyObject* index_m) {
    ref counts = get_attr(self, side.counts);
    if (!counts) return false;
    ref count(PyObject_GetItem(counts.get(), index));
    if (!count) return false;
    ref pwm = get_attr(self, side.pwm);
    if (!pwm) return false;
    ref p_n(PyObject_GetItem(pwm.get(), index_n));
    if (!p_n) return false;
    ref product(PyNumber_Multiply(pseudo, p_n.get()));
    if (!product) return false;
    pwm = get_attr(self, side.pwm);
    if (!pwm) return false;
    ref p_m(PyObject_GetItem(pwm.get(), index_m));
    if (!p_m) return false;
    product = ref(PyNumber_Multiply(product.get(), p_m.get()));
    if (!product) return false;
    ref numerator(PyNumber_Add(count.get(), product.get()));
    if (!numerator) return false;
    ref total = get_attr(self, side.total);
    if (!total) return false;
    ref denominator(PyNumber_Add(total.get(), pseudo));
    if (!denominator) return false;
    if (!PyFloat_CheckExact(denominator.get())) {
        denominator = ref(PyNumber_Float(denominator.get()));
        if (!denominator) return false;
    }
    ref value(PyNumber_TrueDivide(numerator.get(), denominator.get()));
    if (!value) return false;
    ref dwm = get_attr(self, side.dwm);
    if (!dwm) return false;
    return PyObject_SetItem(dwm.get(), index, value.get()) == 0;
}

bool item_pair_tables(PyObject* self, PyObject* length, PyObject* pseudo_bias,
                      PyObject* pseudo_bg) {
    const SideNames bias = bias_names();
    const SideNames background = background_names();
    ref outer = call(state.builtin_range, length);
    if (!outer) return false;
    ref outer_it(PyObject_GetIter(outer.get()));
    if (!outer_it) return false;
    while (ref m{PyIter_Next(outer_it.get())}) {
        ref inner = call(state.builtin_range, length);
        if (!inner) return false;
        ref inner_it(PyObject_GetIter(inner.get()));
        if (!inner_it) return false;
        while (ref n{PyIter_Next(inner_it.get())}) {
            for (int sm = 0; sm < 5; ++sm) {
                ref index_m(PyTuple_Pack(2, constants.ints[sm], m.get()));
                if (!index_m) return false;
                for (int sn = 0; sn < 5; ++sn) {
                    ref index(
                        PyTuple_Pack(4, constants.ints[sm], constants.ints[sn], m.get(), n.get()));
                    if (!index) return false;
                    ref index_n(PyTuple_Pack(2, constants.ints[sn], n.get()));
                    if (!index_n) return false;
                    if (!item_pair_entry(self, bias, pseudo_bias, index.get(), index_n.get(),
                                         index_m.get()) ||
                        !item_pair_entry(self, background, pseudo_bg, index.get(),
                                         index_n.get(), index_m.get())) {
                        return false;
                    }
                }
            }
        }
        if (PyErr_Occurred()) return false;
    }
    return !PyErr_Occurred();
}

// The double a number stands for in NumPy's float64 scalar arithmetic, for
// the kinds of number whose arithmetic is exactly IEEE double arithmetic
// there: Python floats, NumPy float64 scalars, and integers small enough to
// convert exactly.
bool plain_double(PyObject* obj, double* out) {
    if (PyFloat_CheckExact(obj) || Py_TYPE(obj) == state.float64_scalar) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        constexpr long long exact = 1LL << 53;
        if (value < -exact || value > exact) return false;
        *out = static_cast<double>(value);
        return true;
    }
    return false;
}

// Is self.<name> a plain instance attribute, so that reading it once gives
// what every one of the item-by-item reads would give?  True when no class
// of the instance's method resolution order defines the name (a descriptor
// there could compute it anew at every read).  Anything unexpected on the
// way answers false, which only sends the caller down the item-by-item path.
bool plain_attribute(PyObject* self, PyObject* name) {
    // Held: a comparison inside the dictionary lookup runs Python code,
    // which could replace the class's bases and with them this tuple.
    const ref mro = ref::borrow(Py_TYPE(self)->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) return false;
        const ref dict(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) {
            PyErr_Clear();
            return false;
        }
        const int found = PyDict_Contains(dict.get(), name);
        if (found != 0) {
            if (found < 0) PyErr_Clear();
            return false;
        }
    }
    return true;
}

// The tables and numbers of one side, taken for the native loop.  False
// (no error set) when anything about them is not what the native loop
// reproduces exactly.
struct NativeSide {
    ref counts, pwm, dwm;
    Buffer counts_buffer, pwm_buffer, dwm_buffer;
    kernels::PairSide side{};
};

bool exact_array(PyObject* obj) {
    return Py_TYPE(obj) == state.ndarray;
}

bool take_native_side(PyObject* self, const SideNames& attributes, PyObject* pseudo,
                      int64_t length, NativeSide& out) {
    out.counts = get_attr(self, attributes.counts);
    out.pwm = get_attr(self, attributes.pwm);
    out.dwm = get_attr(self, attributes.dwm);
    ref total = get_attr(self, attributes.total);
    if (!out.counts || !out.pwm || !out.dwm || !total) {
        PyErr_Clear();
        return false;
    }
    if (!exact_array(out.counts.get()) || !exact_array(out.pwm.get()) ||
        !exact_array(out.dwm.get())) {
        return false;
    }
    if (!out.counts_buffer.acquire(out.counts.get(), 4, Element::float64, Access::read) ||
        !out.pwm_buffer.acquire(out.pwm.get(), 2, Element::float64, Access::read) ||
        !out.dwm_buffer.acquire(out.dwm.get(), 4, Element::float64, Access::write)) {
        PyErr_Clear();
        return false;
    }
    for (int d = 0; d < 4; ++d) {
        const int64_t needed = d < 2 ? 5 : length;
        if (out.counts_buffer.shape(d) < needed || out.dwm_buffer.shape(d) < needed) {
            return false;
        }
    }
    if (out.pwm_buffer.shape(0) < 5 || out.pwm_buffer.shape(1) < length) {
        return false;
    }
    double pseudo_value = 0.0;
    double total_value = 0.0;
    if (!plain_double(pseudo, &pseudo_value) || !plain_double(total.get(), &total_value)) {
        return false;
    }
    // float(no + pseudo): the sum of two exactly converted numbers rounded
    // once, whichever of them are integers.  An overflow there would be
    // reported by NumPy; leave that to the item-by-item path.
    const double denominator = total_value + pseudo_value;
    if (!kernels::quiet_result(total_value, pseudo_value, denominator)) {
        return false;
    }
    out.side.counts = out.counts_buffer.view<4>();
    out.side.pwm = out.pwm_buffer.view<2>();
    out.side.dwm = out.dwm_buffer.view<4>();
    out.side.pseudo = pseudo_value;
    out.side.denominator = denominator;
    return true;
}

// The pair tables natively when that is bit for bit and warning for warning
// what the item-by-item loop does; otherwise through item access.  Tables
// that share memory with each other or with the tables read always go item
// by item: there a write changes what a later entry reads, so neither the
// warnings checked before the fill nor the memory order of the fill would be
// those of the item-by-item loop.
bool pair_tables(PyObject* self, PyObject* length, PyObject* pseudo_bias, PyObject* pseudo_bg) {
    bool native = PyLong_CheckExact(length) &&
                  Py_TYPE(self)->tp_getattro == PyObject_GenericGetAttr;
    long long window_length = 0;
    if (native) {
        int overflow = 0;
        window_length = PyLong_AsLongLongAndOverflow(length, &overflow);
        if (window_length == -1 && PyErr_Occurred()) return false;
        native = overflow == 0;
    }
    if (native && window_length <= 0) {
        return true;  // range(L) is empty: nothing is read or written
    }
    const SideNames bias = bias_names();
    const SideNames background = background_names();
    for (PyObject* name : {bias.counts, bias.pwm, bias.total, bias.dwm, background.counts,
                           background.pwm, background.total, background.dwm}) {
        native = native && plain_attribute(self, name);
    }
    if (native) {
        NativeSide bias_side;
        NativeSide background_side;
        if (take_native_side(self, bias, pseudo_bias, window_length, bias_side) &&
            take_native_side(self, background, pseudo_bg, window_length, background_side) &&
            kernels::pair_tables_independent(bias_side.side, background_side.side,
                                             window_length) &&
            kernels::pair_tables_quiet(bias_side.side, background_side.side, window_length)) {
            kernels::fill_pair_tables(bias_side.side, background_side.side, window_length);
            ++pair_table_runs.native;
            return true;
        }
    }
    ++pair_table_runs.item_by_item;
    return item_pair_tables(self, length, pseudo_bias, pseudo_bg);
}

// ---------------------------------------------------------------------------
// Scoring.

struct LogTable {
    PyObject* name;
    int ndim;
    ref table;
    Buffer buffer;
};

// Scores of windows already seen, kept between calls for as long as the
// scoring tables stay the same bit for bit: a few memos, each lent to one
// call at a time, so that calls scoring without the GIL in several threads
// share none (kernels/memo_pool.hpp).
kernels::MemoPool memo_pool;

constexpr size_t default_memo_mib = 256;

// Settings made by the program through corlap.utils._scoring (private.cpp),
// each in force in place of its environment variable while it is set: a
// task runner that sets them per task never writes the process's
// environment, which other threads may be reading.  Read and written with
// the GIL held: a call reads them before it lets the GIL go.
std::optional<size_t> budget_mib_setting;
std::optional<std::string> share_dir_setting;

// Bytes the memo may hold: the setting, or CORLAP_DWM_MEMO_MIB, a whole
// number of MiB from 0 (no memo) to 256; anything else means 256.
size_t memo_budget() {
    if (budget_mib_setting) return *budget_mib_setting << 20;
    const char* text = std::getenv("CORLAP_DWM_MEMO_MIB");
    size_t mib = default_memo_mib;
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(text, &end, 10);
        if (errno == 0 && *end == '\0' && value >= 0 &&
            value <= static_cast<long long>(default_memo_mib)) {
            mib = static_cast<size_t>(value);
        }
    }
    return mib << 20;
}

// Directory where processes share the memo's direct table: the setting, or
// CORLAP_DWM_MEMO_DIR, or "" (not shared).
std::string memo_share_dir() {
    if (share_dir_setting) return *share_dir_setting;
    const char* text = std::getenv("CORLAP_DWM_MEMO_DIR");
    return text != nullptr ? std::string(text) : std::string();
}

// One call's scoring, taken in two steps: under the GIL, every check and
// everything the loop over windows reads, into memory the call owns (the
// per-call tables) or holds (the buffers of the codes and of the scores);
// then the loop, which runs no Python code and so may run without the GIL.
struct Scoring {
    Buffer codes_buffer;
    Buffer scores_buffer;
    kernels::View1 codes{};
    kernels::View1 scores{};
    int64_t sequence_length = 0;
    int64_t length = 0;  // 0: no window to score
    int64_t offset = 0;
    std::vector<kernels::Lanes> delta;
    std::vector<double> pwm_rows;
    std::vector<int64_t> window;
    std::vector<kernels::Lanes> prod_log;
    kernels::ScoreSide bias{};
    kernels::ScoreSide background{};
    // The memo and what it is checked against, read under the GIL: the
    // settings, and the floating-point mode of the thread that scores.
    kernels::MemoPool::Lease lease;
    uint64_t mode = 0;
    size_t budget = 0;
    std::string share;
    // Whether the memo's table is to be filled whole first (fill_memo).
    bool whole = false;
    // What the memo did, added to memo_runs under the GIL.
    bool fresh = false;
    kernels::MemoTally tally{0, 0};

    Scoring() = default;
    Scoring(const Scoring&) = delete;
    Scoring& operator=(const Scoring&) = delete;
    // A loop left early (an allocation failed) still hands its memo back.
    ~Scoring() { memo_pool.give_back(lease); }

    void pieces(kernels::TablePiece (&out)[2]) const {
        out[0] = {delta.data(), delta.size() * sizeof(kernels::Lanes)};
        out[1] = {pwm_rows.data(), pwm_rows.size() * sizeof(double)};
    }
};

// The checks of score_sequence and the per-call tables.  The scores (all
// NaN so far), or empty with an error set.
ref prepare_scoring(PyObject* self, PyObject* sequence, Scoring& call,
                    PyObject* given_out = nullptr) {
    if (!take_array(sequence, 1, Element::int64, Access::read, call.codes_buffer)) {
        return ref();
    }
    LogTable tables[4] = {{names.bias_pwm_log, 2, {}, {}},
                          {names.bg_pwm_log, 2, {}, {}},
                          {names.bias_dwm_log, 4, {}, {}},
                          {names.bg_dwm_log, 4, {}, {}}};
    for (LogTable& t : tables) {
        t.table = take_attribute(self, t.name, t.ndim, Element::float64, Access::read, t.buffer);
        if (!t.table) return ref();
    }
    int32_t length = 0;
    if (!read_length(self, &length)) return ref();
    if (length > 0) {
        // Only the four bases are ever looked up: windows holding anything
        // else are not scored.
        const int64_t needed[4] = {4, 4, length, length};
        const int64_t needed_position[2] = {4, length};
        for (LogTable& t : tables) {
            if (!require_table(t.buffer, t.name, t.ndim,
                               t.ndim == 4 ? needed : needed_position, "scoring")) {
                return ref();
            }
        }
    }
    const Py_ssize_t sequence_length = PyObject_Length(sequence);
    if (sequence_length < 0) return ref();
    if (call.codes_buffer.held() && sequence_length > call.codes_buffer.shape(0)) {
        PyErr_Format(PyExc_ValueError,
                     "len(sequence) is %zd but the array holds only %zd codes",
                     sequence_length, call.codes_buffer.shape(0));
        return ref();
    }

    if (length <= 0 || sequence_length < length) {
        return nan_scores(sequence_length, call.scores_buffer, given_out);
    }
    // The per-call tables take 8 * length**2 lane groups: a length whose
    // table size does not even fit a size_t (zero-stride tables and
    // sequences make such lengths cheap to ask for) is out of memory before
    // anything is allocated.
    if (static_cast<size_t>(length) * static_cast<size_t>(length) >
        std::vector<kernels::Lanes>().max_size() / 8) {
        PyErr_NoMemory();
        return ref();
    }
    // Built before the scores are made: NumPy may let the GIL go while it
    // fills them, and the tables must be read at one moment.
    const int64_t window_length = length;
    const size_t square = static_cast<size_t>(window_length) * window_length;
    call.delta.resize(2 * 4 * square);
    call.pwm_rows.resize(2 * 4 * static_cast<size_t>(window_length));
    call.window.resize(static_cast<size_t>(window_length));
    call.prod_log.resize(static_cast<size_t>(window_length));
    const size_t side_size = 4 * static_cast<size_t>(window_length) * window_length;
    double* bias_rows = call.pwm_rows.data();
    double* background_rows = call.pwm_rows.data() + 4 * window_length;
    kernels::build_score_side(tables[0].buffer.view<2>(), tables[2].buffer.view<4>(),
                              window_length, call.delta.data(), bias_rows);
    kernels::build_score_side(tables[1].buffer.view<2>(), tables[3].buffer.view<4>(),
                              window_length, call.delta.data() + side_size, background_rows);
    const bool wide = kernels::wide_lanes_available();
    call.bias = {call.delta.data(), bias_rows, wide};
    call.background = {call.delta.data() + side_size, background_rows, wide};
    ref scores = nan_scores(sequence_length, call.scores_buffer, given_out);
    if (!scores) return ref();
    call.codes = call.codes_buffer.view<1>();
    call.scores = call.scores_buffer.view<1>();
    call.sequence_length = sequence_length;
    call.length = window_length;
    call.offset = kernels::window_centre(window_length);
    return scores;
}

// Under the GIL, in the thread that scores: the settings, the mode, and the
// memo filled under them and the call's tables (or none).
void lend_memo(Scoring& call) {
    call.whole = memo_whole_request;
    call.budget = memo_budget();
    call.share = memo_share_dir();
    call.mode = kernels::floating_point_mode();
    kernels::TablePiece pieces[2];
    call.pieces(pieces);
    call.lease = memo_pool.lend(call.length, pieces, call.mode, call.budget, call.share);
}

// The loop over windows: through the memo when one was lent, else plain.
// No Python code, nothing that needs the GIL.
void score_windows(Scoring& call) {
    kernels::WindowMemo* memo = call.lease.memo;
    if (memo != nullptr && call.lease.fresh) {
        kernels::TablePiece pieces[2];
        call.pieces(pieces);
        if (memo->reset(call.length, pieces, call.mode, call.budget,
                        call.sequence_length - call.length + 1, call.share)) {
            call.fresh = true;
        } else {
            memo_pool.give_back(call.lease);
            memo = nullptr;
        }
    }
    if (memo != nullptr) {
        if (call.whole && memo->go_direct()) {
            kernels::fill_memo(call.length, call.bias, call.background, *memo,
                               call.window.data(), call.prod_log.data());
        }
        call.tally = kernels::score_windows_memo(call.codes, call.sequence_length, call.length,
                                                 call.offset, call.bias, call.background,
                                                 call.scores, *memo, call.window.data(),
                                                 call.prod_log.data());
        memo_pool.give_back(call.lease);
        return;
    }
    kernels::score_windows(call.codes, call.sequence_length, call.length, call.offset,
                           call.bias, call.background, call.scores, call.window.data(),
                           call.prod_log.data());
}

void count_memo_runs(const Scoring& call) {
    memo_runs.fresh += call.fresh ? 1 : 0;
    memo_runs.scored += static_cast<unsigned long long>(call.tally.scored);
    memo_runs.reused += static_cast<unsigned long long>(call.tally.reused);
}

}  // namespace

size_t memo_bytes() {
    return memo_pool.last().bytes;
}

bool memo_direct() {
    return memo_pool.last().direct;
}

bool memo_shared() {
    return memo_pool.last().shared;
}

size_t memo_peak_bytes() {
    return memo_pool.last().peak;
}

void set_memo_settings(std::optional<std::string> share_dir, std::optional<size_t> budget_mib) {
    share_dir_setting = std::move(share_dir);
    budget_mib_setting = budget_mib;
    // A memo the next call would start afresh anyway goes now: a worker
    // idle between tasks must not keep a table of a directory it has left
    // mapped (a file deleted from /dev/shm stays in memory while mapped).
    // One lent to a call scoring without the GIL goes as it comes back,
    // which needs no GIL: waited for without holding it.
    if (memo_pool.settle(memo_budget(), memo_share_dir())) {
        Py_BEGIN_ALLOW_THREADS
        memo_pool.wait_for_lent();
        Py_END_ALLOW_THREADS
    }
}

PyObject* dinucleotide_init(PyObject* const* args, double) {
    PyObject* self = args[0];
    PyObject* length = args[1];
    if (!set_attr(self, names.length, length)) return nullptr;
    ref pair_shape(PyTuple_Pack(4, constants.ints[5], constants.ints[5], length, length));
    if (!pair_shape) return nullptr;
    ref position_shape(PyTuple_Pack(2, constants.ints[5], length));
    if (!position_shape) return nullptr;
    struct Step {
        PyObject* name;
        PyObject* shape;  // nullptr: the integer 0
    };
    const Step steps[] = {
        {names.counts, pair_shape.get()},   {names.neg_counts, position_shape.get()},
        {names.bg_counts, pair_shape.get()}, {names.no_bias, nullptr},
        {names.no_bg, nullptr},              {names.pssm, position_shape.get()},
        {names.bias_pwm, pair_shape.get()},  {names.bg_pwm, pair_shape.get()},
        {names.bias_dwm, pair_shape.get()},  {names.bg_dwm, pair_shape.get()},
    };
    for (const Step& step : steps) {
        if (step.shape == nullptr) {
            if (!set_attr(self, step.name, constants.ints[0])) return nullptr;
        } else if (!set_zeros(self, step.name, step.shape)) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* dinucleotide_add_sequence(PyObject* const* args, double amount) {
    return count_pairs(args, amount, names.counts, names.no_bias);
}

PyObject* dinucleotide_add_background(PyObject* const* args, double amount) {
    return count_pairs(args, amount, names.bg_counts, names.no_bg);
}

PyObject* dinucleotide_prepare_mat(PyObject* const* args, double) {
    PyObject* self = args[0];
    ref length = get_attr(self, names.length);
    if (!length) return nullptr;

    ref bias_cm = position_counts(self, names.counts, length.get());
    if (!bias_cm) return nullptr;
    if (!position_probabilities(self, bias_cm.get(), names.no_bias, names.bias_pwm)) {
        return nullptr;
    }
    ref bg_cm = position_counts(self, names.bg_counts, length.get());
    if (!bg_cm) return nullptr;
    if (!position_probabilities(self, bg_cm.get(), names.no_bg, names.bg_pwm)) {
        return nullptr;
    }
    if (!set_pssm(self)) return nullptr;
    ref pseudo_bias = pseudo_count(self, names.no_bias);
    if (!pseudo_bias) return nullptr;
    ref pseudo_bg = pseudo_count(self, names.no_bg);
    if (!pseudo_bg) return nullptr;
    if (!pair_tables(self, length.get(), pseudo_bias.get(), pseudo_bg.get())) return nullptr;

    if (!log2_attribute(self, names.bias_pwm, names.bias_pwm_log) ||
        !log2_attribute(self, names.bg_pwm, names.bg_pwm_log) ||
        !log2_attribute(self, names.bias_dwm, names.bias_dwm_log) ||
        !log2_attribute(self, names.bg_dwm, names.bg_dwm_log)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* dinucleotide_score_sequence(PyObject* const* args, double) {
    Scoring call;
    ref scores = prepare_scoring(args[0], args[1], call);
    if (!scores) return nullptr;
    if (call.length > 0) {
        lend_memo(call);
        score_windows(call);
        count_memo_runs(call);
    }
    return scores.release();
}

PyObject* dinucleotide_score_unlocked(PyObject* self, PyObject* sequence, PyObject* out) {
    Scoring call;
    ref scores = prepare_scoring(self, sequence, call, out);
    if (!scores) return nullptr;
    if (call.length > 0) {
        std::vector<int64_t> copy;
        call.codes = codes_to_hold(call.codes, call.sequence_length, copy);
        lend_memo(call);
        bool failed = false;
        Py_BEGIN_ALLOW_THREADS
        try {
            score_windows(call);
        } catch (const std::exception&) {
            failed = true;
        }
        Py_END_ALLOW_THREADS
        if (failed) return PyErr_NoMemory();
        count_memo_runs(call);
    }
    return scores.release();
}

// ------------------------------------------------------------ the class

namespace {

constexpr const char* source_file = "src/corlap/utils/sequences/dinuc.cpp";
using P = Param;

const FunctionDef dinucleotide_matrix_methods[] = {
    {"__init__", "DiNucleotideMatrix.__init__", nullptr, source_file, 2, 2,
     {"self", "length"}, {P::object, P::object}, dinucleotide_init},
    {"add_sequence", "DiNucleotideMatrix.add_sequence", nullptr, source_file, 3, 2,
     {"self", "sequence", "amount"}, {P::object, P::array, P::real},
     dinucleotide_add_sequence},
    {"add_background", "DiNucleotideMatrix.add_background",
     " Adds sequence to count of background nucleotides ", source_file, 3, 2,
     {"self", "sequence", "amount"}, {P::object, P::array, P::real},
     dinucleotide_add_background},
    {"prepare_mat", "DiNucleotideMatrix.prepare_mat", nullptr, source_file, 1, 1, {"self"},
     {P::object}, dinucleotide_prepare_mat},
    {"score_sequence", "DiNucleotideMatrix.score_sequence", nullptr, source_file, 2, 2,
     {"self", "sequence"}, {P::object, P::array}, dinucleotide_score_sequence},
};

}  // namespace

const ClassDef dinucleotide_matrix_class = {"DiNucleotideMatrix", " Dinucleotide matrix ", true,
                                            {}, dinucleotide_matrix_methods};

}  // namespace corlap::bodies
