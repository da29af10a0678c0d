// Steps the function bodies share: module-level NumPy calls, attributes read
// through the array test, the arrays the bodies make, and the checks of a
// sequence's codes.  Every step evaluates its parts in the order the
// equivalent Python expression would.
#pragma once

#include "buffers.hpp"
#include "names.hpp"

#include <cstdint>
#include <vector>

namespace corlap::bodies {

// np.<name>, with `np` looked up in the module namespace at each call:
// callers may replace it.
ref numpy_function(PyObject* name);

// The one shape check: the array held in `buffer` (not held for None) must
// reach needed[d] entries along each dimension d < ndim before any element
// is touched.  Otherwise `none()` or `too_small()` raises the caller's own
// error, and the check fails.
template <class None, class TooSmall>
bool require_shape(const Buffer& buffer, int ndim, const int64_t* needed, None&& none,
                   TooSmall&& too_small) {
    if (!buffer.held()) {
        none();
        return false;
    }
    for (int d = 0; d < ndim; ++d) {
        if (buffer.shape(d) < needed[d]) {
            too_small();
            return false;
        }
    }
    return true;
}

// self.length, converted to a 32-bit length.
bool read_length(PyObject* self, int32_t* length);

// self.<name>, through the instance and array tests into `out` (None
// passes and leaves `out` not held).  Empty on error.
ref take_attribute(PyObject* self, PyObject* name, int ndim, Element element, Access access,
                   Buffer& out);

// self.<name> = np.zeros(shape)
bool set_zeros(PyObject* self, PyObject* name, PyObject* shape);

// A result array just made by NumPy, held writable in `out`; refused with
// `too_small` (a format taking `length` as %zd) when it cannot take
// `length` elements.
bool take_result(PyObject* array, Py_ssize_t length, Element element, Buffer& out,
                 const char* too_small);

// The scores of a sequence of `length` codes before any window is scored:
// np.zeros(length) with every element set to np.nan, held in `out`; or,
// when `given` is an array (the caller's, reused from call to call), that
// array, which must be float64 of exactly `length` elements, set to np.nan.
ref nan_scores(Py_ssize_t length, Buffer& out, PyObject* given = nullptr);

// self.<total> += amount, computed but not yet stored.
ref grown_total(PyObject* self, PyObject* total_name, double amount);

// self.pssm = np.log2(np.true_divide(self.bias_pwm, self.bg_pwm))
bool set_pssm(PyObject* self);

// The first `length` codes of the sequence held in `codes` must exist and
// lie in 0..4; `too_short` is a format taking the number of codes (%zd) and
// the length (%lld), `bad_code` one taking the code and its position (both
// %lld).  Reports whether one of them is the unknown code 4.
bool check_codes(const Buffer& codes, int64_t length, const char* too_short,
                 const char* bad_code, bool* has_unknown);

// The first `count` codes of `codes` as a loop without the GIL reads them:
// the array's own memory when it is contiguous (its buffer, held for the
// call, keeps that memory alive and its size fixed; whoever called promises
// not to change it meanwhile); otherwise a contiguous copy in `copy`, made
// now under the GIL, so that the loop reads memory of its own at full
// speed.
kernels::View1 codes_to_hold(const kernels::View1& codes, int64_t count,
                             std::vector<int64_t>& copy);

// self.<total> = np.mean(np.sum(table()[:4, :], axis=0)); `table` gives
// the table (a new reference, or empty on error) when Python would evaluate
// it: after np.mean and np.sum.
template <class Table>
bool set_base_total(PyObject* self, PyObject* total_name, Table&& table) {
    ref mean = numpy_function(names.mean);
    if (!mean) return false;
    ref sum = numpy_function(names.sum);
    if (!sum) return false;
    ref counts = table();
    if (!counts) return false;
    ref bases(PyObject_GetItem(counts.get(), constants.rows_0_to_3));
    if (!bases) return false;
    ref per_position = call_with_keyword(sum.get(), bases.get(), names.axis, constants.ints[0]);
    if (!per_position) return false;
    ref total = call(mean.get(), per_position.get());
    return total && set_attr(self, total_name, total.get());
}

// self.<pwm> = np.true_divide(table() + 1, self.<total> + 4), `table` as
// above.
template <class Table>
bool set_position_probabilities(PyObject* self, PyObject* total_name, PyObject* pwm_name,
                                Table&& table) {
    ref divide = numpy_function(names.true_divide);
    if (!divide) return false;
    ref counts = table();
    if (!counts) return false;
    ref numerator(PyNumber_Add(counts.get(), constants.ints[1]));
    if (!numerator) return false;
    ref total = get_attr(self, total_name);
    if (!total) return false;
    ref denominator(PyNumber_Add(total.get(), constants.ints[4]));
    if (!denominator) return false;
    ref probabilities = call(divide.get(), numerator.get(), denominator.get());
    return probabilities && set_attr(self, pwm_name, probabilities.get());
}

}  // namespace corlap::bodies
