// The function type behind every callable of the module: binds to instances
// like a Python function, carries the Python-visible names, docstring and
// defaults, and is called through vectorcall.
#pragma once

#include "arguments.hpp"
#include "pyref.hpp"

#include <cstddef>

namespace corlap {

enum class Param : unsigned char {
    object,  // anything, no test
    text,    // exactly str, or None
    array,   // numpy.ndarray or a subclass, or None
    real,    // 64-bit float conversion; always the optional `amount`, default 1.0
};

// A function body receives the bound arguments (borrowed; the optional
// `amount` slot may be nullptr) and the converted `amount`.  It returns a new
// reference, or nullptr with a Python error set.  A C++ exception leaving
// it (an allocation that failed) becomes MemoryError where the call came in.
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

// The functions of one table, counted by the table's own size.
class FunctionDefs {
public:
    constexpr FunctionDefs() = default;
    template <std::size_t N>
    constexpr FunctionDefs(const FunctionDef (&table)[N]) : first_(table), count_(N) {}
    const FunctionDef* begin() const { return first_; }
    const FunctionDef* end() const { return first_ + count_; }

private:
    const FunctionDef* first_ = nullptr;
    std::size_t count_ = 0;
};

// One class of the module, built at start-up as a class statement would
// build it (module.cpp).  Its namespace receives the static methods
// (wrapped in the built-in staticmethod), then the methods, each in the
// order of its table.
struct ClassDef {
    const char* name;
    const char* doc;              // __doc__, nullptr for none
    bool derives_from_sequence_matrix;  // else its only base is object
    FunctionDefs static_methods;
    FunctionDefs methods;
};

// Readies the function type; false with an error set on failure.
bool function_type_ready();

// A new function object for `def` (which must outlive it).
ref make_function(const FunctionDef& def);

// The body a function object of this module runs; nullptr for any other
// object.
Body body_of(PyObject* function);

}  // namespace corlap
