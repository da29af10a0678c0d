// Owning handle for Python object references, and the few calls that hand
// their results over in one.
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

// callable(*args), no keywords.  Empty on error.
template <class... Args>
inline ref call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return ref(PyObject_Vectorcall(callable, argv + 1,
                                   sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}

// callable(arg, <keyword>=value).  Empty on error.
inline ref call_with_keyword(PyObject* callable, PyObject* arg, PyObject* keyword,
                             PyObject* value) {
    ref kwnames(PyTuple_Pack(1, keyword));
    if (!kwnames) return ref();
    PyObject* argv[] = {nullptr, arg, value};
    return ref(PyObject_Vectorcall(callable, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   kwnames.get()));
}

// obj.name(*args).  Empty on error.
template <class... Args>
inline ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* argv[] = {obj, args...};
    return ref(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(Args)) |
                                                         PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// obj.<name>.  Empty on error.
inline ref get_attr(PyObject* obj, PyObject* name) {
    return ref(PyObject_GetAttr(obj, name));
}

// obj.<name> where a missing attribute is no error: true with `out` holding
// the value or, when there is no such attribute, empty; false with an error
// set when the lookup failed otherwise.
inline bool get_optional_attr(PyObject* obj, PyObject* name, ref& out) {
    PyObject* value = nullptr;
    const int found = PyObject_GetOptionalAttr(obj, name, &value);
    out = ref(value);
    return found >= 0;
}

inline bool get_optional_attr(PyObject* obj, const char* name, ref& out) {
    const ref key(PyUnicode_FromString(name));
    return key && get_optional_attr(obj, key.get(), out);
}

// obj.<name> = value.  A null `value` stands for a value whose making
// failed and left its error set: false, nothing assigned.  So
// `set_attr(obj, name, make().get())` needs no check of its own.
inline bool set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    return value != nullptr && PyObject_SetAttr(obj, name, value) == 0;
}

}  // namespace corlap
