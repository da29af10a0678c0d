#include "bodies_common.hpp"

#include "arguments.hpp"
#include "kernels/codes.hpp"

namespace corlap::bodies {

ref numpy_function(PyObject* name) {
    ref np = module_global(names.np);
    if (!np) return ref();
    return get_attr(np.get(), name);
}

bool read_length(PyObject* self, int32_t* length) {
    ref value = get_attr(self, names.length);
    return value && to_int32(value.get(), length);
}

ref take_attribute(PyObject* self, PyObject* name, int ndim, Element element, Access access,
                   Buffer& out) {
    ref value = get_attr(self, name);
    if (!value || !take_array(value.get(), ndim, element, access, out)) return ref();
    return value;
}

bool set_zeros(PyObject* self, PyObject* name, PyObject* shape) {
    ref zeros = numpy_function(names.zeros);
    if (!zeros) return false;
    ref table = call(zeros.get(), shape);
    return table && set_attr(self, name, table.get());
}

bool take_result(PyObject* array, Py_ssize_t length, Element element, Buffer& out,
                 const char* too_small) {
    auto refuse = [too_small, length] { PyErr_Format(PyExc_ValueError, too_small, length); };
    const int64_t needed[1] = {length};
    return take_array(array, 1, element, Access::write, out) &&
           require_shape(out, 1, needed, refuse, refuse);
}

ref nan_scores(Py_ssize_t length, Buffer& out, PyObject* given) {
    ref scores;
    if (given != nullptr) {
        if (!is_ndarray(given)) {
            raise_argument_type("out", "numpy.ndarray", given);
            return ref();
        }
        if (!take_array(given, 1, Element::float64, Access::write, out)) return ref();
        if (!out.held() || out.shape(0) != length) {
            PyErr_Format(PyExc_ValueError, "out must hold exactly %zd float64 scores", length);
            return ref();
        }
        scores = ref::borrow(given);
    } else {
        ref py_length(PyLong_FromSsize_t(length));
        if (!py_length) return ref();
        ref zeros = numpy_function(names.zeros);
        if (!zeros) return ref();
        scores = call(zeros.get(), py_length.get());
        if (!scores ||
            !take_result(scores.get(), length, Element::float64, out,
                         "np.zeros(%zd) gave an array too small for the scores")) {
            return ref();
        }
    }
    ref nan = numpy_function(names.nan);
    if (!nan || PyObject_SetItem(scores.get(), constants.full_slice, nan.get()) < 0) {
        return ref();
    }
    return scores;
}

ref grown_total(PyObject* self, PyObject* total_name, double amount) {
    ref total = get_attr(self, total_name);
    if (!total) return ref();
    ref py_amount(PyFloat_FromDouble(amount));
    if (!py_amount) return ref();
    return ref(PyNumber_InPlaceAdd(total.get(), py_amount.get()));
}

bool set_pssm(PyObject* self) {
    ref log2 = numpy_function(names.log2);
    if (!log2) return false;
    ref divide = numpy_function(names.true_divide);
    if (!divide) return false;
    ref bias = get_attr(self, names.bias_pwm);
    if (!bias) return false;
    ref background = get_attr(self, names.bg_pwm);
    if (!background) return false;
    ref ratio = call(divide.get(), bias.get(), background.get());
    if (!ratio) return false;
    ref pssm = call(log2.get(), ratio.get());
    return pssm && set_attr(self, names.pssm, pssm.get());
}

bool check_codes(const Buffer& codes, int64_t length, const char* too_short,
                 const char* bad_code, bool* has_unknown) {
    if (codes.shape(0) < length) {
        PyErr_Format(PyExc_ValueError, too_short, codes.shape(0),
                     static_cast<long long>(length));
        return false;
    }
    const kernels::CodeScan scan = kernels::scan_codes(codes.view<1>(), length);
    if (scan.first_invalid >= 0) {
        PyErr_Format(PyExc_ValueError, bad_code, static_cast<long long>(scan.invalid_code),
                     static_cast<long long>(scan.first_invalid));
        return false;
    }
    *has_unknown = scan.has_unknown;
    return true;
}

kernels::View1 codes_to_hold(const kernels::View1& codes, int64_t count,
                             std::vector<int64_t>& copy) {
    if (codes.strides[0] == static_cast<int64_t>(sizeof(int64_t))) return codes;
    copy.resize(static_cast<size_t>(count));
    for (int64_t m = 0; m < count; ++m) {
        copy[static_cast<size_t>(m)] = kernels::code_at(codes, m);
    }
    kernels::View1 held{};
    held.data = reinterpret_cast<char*>(copy.data());
    held.shape[0] = count;
    held.strides[0] = static_cast<int64_t>(sizeof(int64_t));
    return held;
}

}  // namespace corlap::bodies
