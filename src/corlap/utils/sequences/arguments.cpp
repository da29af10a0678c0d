// Argument binding and the two number conversions, with their messages.
#include "arguments.hpp"

#include "function.hpp"

namespace corlap {

static void raise_count_error(const FunctionDef& def, Py_ssize_t given) {
    const bool has_default = def.n_params != def.n_required;
    const char* qualifier;
    Py_ssize_t count;
    if (!has_default) {
        qualifier = "exactly";
        count = def.n_required;
    } else if (given < def.n_required) {
        qualifier = "at least";
        count = def.n_required;
    } else {
        qualifier = "at most";
        count = def.n_params;
    }
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 def.name, qualifier, count, count == 1 ? "" : "s", given);
}

// Index of the parameter called `keyword`, or -1.  Interned names match by
// identity first, so the common call needs no string comparison.
static int find_parameter(const FunctionDef& def, PyObject* const* interned_names,
                          PyObject* keyword) {
    for (int i = 0; i < def.n_params; ++i) {
        if (interned_names[i] == keyword) {
            return i;
        }
    }
    for (int i = 0; i < def.n_params; ++i) {
        if (PyUnicode_Compare(interned_names[i], keyword) == 0) {
            return i;
        }
    }
    return -1;
}

bool bind_arguments(const FunctionDef& def, PyObject* const* interned_names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0) {
        if (nargs < def.n_required || nargs > def.n_params) {
            raise_count_error(def, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            bound[i] = args[i];
        }
        return true;
    }
    if (nargs > def.n_params) {
        raise_count_error(def, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
            return false;
        }
        const int index = find_parameter(def, interned_names, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         def.name, keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'", def.name,
                         keyword);
            return false;
        }
        bound[index] = args[nargs + k];
    }
    for (int i = 0; i < def.n_required; ++i) {
        if (bound[i] == nullptr) {
            raise_count_error(def, i);
            return false;
        }
    }
    return true;
}

bool to_double(PyObject* obj, double* out) {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        return false;
    }
    *out = value;
    return true;
}

static bool int_value_to_int32(PyObject* integer, int32_t* out) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

bool to_int32(PyObject* obj, int32_t* out) {
    if (PyLong_Check(obj)) {
        return int_value_to_int32(obj, out);
    }
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    ref result(number->nb_int(obj));
    if (!result) {
        return false;
    }
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(result.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to "
                             "return an instance of a strict subclass of int is "
                             "deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return false;
        }
    }
    return int_value_to_int32(result.get(), out);
}

void raise_argument_type(const char* param, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected, Py_TYPE(got)->tp_name);
}

}  // namespace corlap
