// The array test: buffer request, dimension and format checks, messages, and
// release of the held buffer on every exit path.
#pragma once

#include "kernels/strided.hpp"
#include "pyref.hpp"

namespace corlap {

enum class Element { int64, float64 };
enum class Access { read, write };

class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    // Requests the data of `obj` with `ndim` dimensions of `element` and
    // checks it; raises the array's own error or the messages of the array
    // test and returns false when it does not pass.
    bool acquire(PyObject* obj, int ndim, Element element, Access access);

    bool held() const { return held_; }
    Py_ssize_t shape(int dim) const { return view_.shape[dim]; }

    template <int N>
    kernels::View<N> view() const {
        kernels::View<N> v;
        v.data = static_cast<char*>(view_.buf);
        for (int d = 0; d < N; ++d) {
            v.shape[d] = view_.shape[d];
            v.strides[d] = view_.strides[d];
        }
        return v;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Is `obj` an instance of numpy.ndarray or of a subclass?
bool is_ndarray(PyObject* obj);

// The instance test for array values read from attributes or calls:
// None or an ndarray passes, anything else raises "Cannot convert ...".
bool instance_test(PyObject* obj);

// Instance test, then (when not None) the array test into `out`.
bool take_array(PyObject* obj, int ndim, Element element, Access access, Buffer& out);

}  // namespace corlap
