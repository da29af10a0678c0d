// An array argument of an extension function: a C-contiguous buffer of one
// element type, held for as long as the object lives.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace corlap {

struct ArrayArgument {
    Py_buffer view{};
    bool held = false;
    ~ArrayArgument() {
        if (held) PyBuffer_Release(&view);
    }
    // kind: 'f' float32, 'd' float64, 'q' int64; TypeError naming `name`
    // for an array of another type or layout.
    bool take(PyObject* object, const char* name, char kind, bool writable) {
        if (PyObject_GetBuffer(object, &view,
                               PyBUF_C_CONTIGUOUS | PyBUF_FORMAT |
                                   (writable ? PyBUF_WRITABLE : 0)) != 0)
            return false;
        held = true;
        const char* format = view.format;
        if (format != nullptr && (*format == '=' || *format == '<' || *format == '@')) ++format;
        bool fits = format != nullptr &&
                    (kind == 'f'   ? view.itemsize == 4 && std::strcmp(format, "f") == 0
                     : kind == 'd' ? view.itemsize == 8 && std::strcmp(format, "d") == 0
                                   : view.itemsize == 8 && (std::strcmp(format, "q") == 0 ||
                                                            std::strcmp(format, "l") == 0));
        if (!fits) {
            PyErr_Format(PyExc_TypeError, "%s must be a contiguous %s array", name,
                         kind == 'f' ? "float32" : kind == 'd' ? "float64" : "int64");
            return false;
        }
        return true;
    }
    Py_ssize_t size() const { return view.len / view.itemsize; }
    template <class T> T* data() const { return static_cast<T*>(view.buf); }
};

}  // namespace corlap
