// The array test: buffer request, dimension and format checks, messages.
#include "buffers.hpp"

#include "names.hpp"

#include <cstring>

namespace corlap {

namespace {

struct FormatInfo {
    char code;            // the element character (for complex: the one after 'Z')
    bool complex;
    bool big_endian;      // explicit non-native byte order
    bool standard_sizes;  // '=', '<', '>', '!': struct-module standard sizes
};

// Parses the byte-order prefix, a repeat count and the element character of
// a buffer format string such as "l", "=q", ">d", "Zd" or "3s".
FormatInfo parse_format(const char* format) {
    FormatInfo info{'B', false, false, false};
    if (format == nullptr) {
        return info;  // no format means unsigned bytes
    }
    const char* p = format;
    switch (*p) {
        case '@':
        case '^':
            ++p;
            break;
        case '=':
        case '<':
            info.standard_sizes = true;
            ++p;
            break;
        case '>':
        case '!':
            info.standard_sizes = true;
            info.big_endian = true;
            ++p;
            break;
        default:
            break;
    }
    while (*p >= '0' && *p <= '9') {
        ++p;
    }
    if (*p == 'Z') {
        info.complex = true;
        ++p;
    }
    info.code = *p;
    return info;
}

const char* describe(const FormatInfo& f) {
    if (f.complex) {
        switch (f.code) {
            case 'f': return "'complex float'";
            case 'd': return "'complex double'";
            case 'g': return "'complex long double'";
            default: return nullptr;
        }
    }
    switch (f.code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 's': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return "'float'";
        case 'd': return "'double'";
        case 'g': return "'long double'";
        case 'O': return "Python object";
        default: return nullptr;
    }
}

// Size in bytes of a format character under native or standard sizes.
Py_ssize_t format_size(const FormatInfo& f) {
    switch (f.code) {
        case 'b': case 'B': case '?': case 'c': case 's': return 1;
        case 'h': case 'H': return 2;
        case 'i': case 'I': return 4;
        case 'l': case 'L': return f.standard_sizes ? 4 : static_cast<Py_ssize_t>(sizeof(long));
        case 'q': case 'Q': return 8;
        case 'f': return 4;
        case 'd': return 8;
        case 'g': return static_cast<Py_ssize_t>(sizeof(long double));
        default: return 0;
    }
}

bool matches(const FormatInfo& f, Element element) {
    if (f.complex) {
        return false;
    }
    const Py_ssize_t size = format_size(f);
    if (element == Element::int64) {
        const bool signed_integer =
            f.code == 'b' || f.code == 'h' || f.code == 'i' || f.code == 'l' || f.code == 'q';
        return signed_integer && size == 8;
    }
    const bool real = f.code == 'f' || f.code == 'd' || f.code == 'g';
    return real && size == 8;
}

}  // namespace

bool Buffer::acquire(PyObject* obj, int ndim, Element element, Access access) {
    const int flags = access == Access::write ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
        return false;
    }
    held_ = true;
    if (view_.ndim != ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     view_.ndim);
        return false;
    }
    const FormatInfo format = parse_format(view_.format);
    if (format.big_endian) {
        PyErr_SetString(PyExc_ValueError,
                        "Big-endian buffer not supported on little-endian compiler");
        return false;
    }
    const char* description = describe(format);
    if (description == nullptr) {
        PyErr_Format(PyExc_ValueError,
                     "Does not understand character buffer dtype format string ('%c')",
                     format.code == '\0' ? ' ' : format.code);
        return false;
    }
    const char* expected = element == Element::int64 ? "int64_t" : "float64_t";
    if (!matches(format, element)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s",
                     "'", expected, "'", description);
        return false;
    }
    if (view_.itemsize != 8) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zd byte%s) does not match size of '%s' "
                     "(%zd byte%s)",
                     view_.itemsize, view_.itemsize == 1 ? "" : "s", expected,
                     static_cast<Py_ssize_t>(8), "s");
        return false;
    }
    return true;
}

bool is_ndarray(PyObject* obj) {
    return PyObject_TypeCheck(obj, state.ndarray);
}

bool instance_test(PyObject* obj) {
    if (obj == Py_None || is_ndarray(obj)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name,
                 state.ndarray->tp_name);
    return false;
}

bool take_array(PyObject* obj, int ndim, Element element, Access access, Buffer& out) {
    if (!instance_test(obj)) {
        return false;
    }
    if (obj == Py_None) {
        return true;
    }
    return out.acquire(obj, ndim, element, access);
}

}  // namespace corlap
