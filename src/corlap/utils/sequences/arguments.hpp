// Argument binding and the two number conversions, with their messages.
#pragma once

#include "pyref.hpp"

#include <cstdint>

namespace corlap {

struct FunctionDef;

constexpr int max_params = 3;

// Binds positional arguments and keywords (vectorcall form) to the
// parameters of `def`.  On success `bound` holds borrowed references, with
// nullptr for an optional parameter that was not given.
bool bind_arguments(const FunctionDef& def, PyObject* const* interned_names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound);

// 64-bit float conversion: an exact float unchanged, anything else through
// the interpreter's float conversion.
bool to_double(PyObject* obj, double* out);

// 32-bit signed integer conversion of attributes such as `length`.
bool to_int32(PyObject* obj, int32_t* out);

// "Argument 'sequence' has incorrect type (expected %s, got %s)".
void raise_argument_type(const char* param, const char* expected, PyObject* got);

}  // namespace corlap
