// Owning handle for Python object references.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace corlap {

// Owns one strong reference (or none).  Bodies hold every new reference in
// one of these so that every exit path releases it.
class ref {
public:
    ref() = default;
    // Takes over a new reference (nullptr allowed: an empty handle).
    explicit ref(PyObject* owned) : ptr_(owned) {}
    static ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return ref(borrowed);
    }
    ref(const ref& other) : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    ref(ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    ref& operator=(ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~ref() { Py_XDECREF(ptr_); }

    PyObject* get() const { return ptr_; }
    // Hands the reference to the caller (for returning from a body).
    PyObject* release() {
        PyObject* p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace corlap
