// The function type behind every callable of the module: binds to instances
// like a Python function, carries the Python-visible names, docstring and
// defaults, and is called through vectorcall.
#pragma once

#include "arguments.hpp"
#include "pyref.hpp"

namespace corlap {

enum class Param : unsigned char {
    object,  // anything, no test
    text,    // exactly str, or None
    array,   // numpy.ndarray or a subclass, or None
    real,    // 64-bit float conversion; always the optional `amount`, default 1.0
};

// A function body receives the bound arguments (borrowed; the optional
// `amount` slot may be nullptr) and the converted `amount`.  It returns a new
// reference, or nullptr with a Python error set.
using Body = PyObject* (*)(PyObject* const* args, double amount);

struct FunctionDef {
    const char* name;      // __name__
    const char* qualname;  // __qualname__
    const char* doc;       // __doc__, nullptr for None
    const char* file;      // source file named in traceback entries
    int n_params;
    int n_required;
    const char* params[max_params];
    Param kinds[max_params];
    Body body;
};

// Readies the function type; false with an error set on failure.
bool function_type_ready();

// A new function object for `def` (which must outlive it).
ref make_function(const FunctionDef& def);

}  // namespace corlap
