// Text to nucleotide codes: nuc_to_num, GenomicSequence and get_gc_content.
#include "bodies.hpp"
#include "buffers.hpp"
#include "kernels/encoding.hpp"
#include "names.hpp"

#include <cstdint>
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace corlap::bodies {

namespace {

// Fresh pages of a large result fault in one small page at a time on their
// first write, which costs more than the conversion itself; asking for huge
// pages before the pass cuts the faults by a factor of 512.  Only advice: a
// failure changes nothing.
void advise_huge_pages(const kernels::View1& view, int64_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr int64_t threshold = int64_t{4} << 20;
    if (view.strides[0] != 8 || n * 8 < threshold) {
        return;
    }
    const uintptr_t huge = uintptr_t{2} << 20;
    const uintptr_t begin = reinterpret_cast<uintptr_t>(view.data);
    const uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const uintptr_t last = (begin + static_cast<uintptr_t>(n) * 8) & ~(huge - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#else
    (void)view;
    (void)n;
#endif
}

// np.zeros(length, dtype=int) through the module-level `np`.
ref zeros_int64(PyObject* length) {
    ref np = module_global(names.np);
    if (!np) return ref();
    ref zeros = get_attr(np.get(), names.zeros);
    if (!zeros) return ref();
    ref kwnames(PyTuple_Pack(1, names.dtype));
    if (!kwnames) return ref();
    PyObject* argv[] = {nullptr, length, reinterpret_cast<PyObject*>(&PyLong_Type)};
    return ref(PyObject_Vectorcall(zeros.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   kwnames.get()));
}

}  // namespace

PyObject* nuc_to_num(PyObject* const* args, double) {
    PyObject* text = args[0];
    const Py_ssize_t length = PyObject_Length(text);
    if (length < 0) {
        return nullptr;
    }
    ref py_length(PyLong_FromSsize_t(length));
    if (!py_length) return nullptr;
    ref result = zeros_int64(py_length.get());
    if (!result) return nullptr;
    Buffer out;
    if (!take_array(result.get(), 1, Element::int64, Access::write, out)) {
        return nullptr;
    }
    if (!out.held() || out.shape(0) < length) {
        PyErr_Format(PyExc_ValueError,
                     "np.zeros(%zd, dtype=int) gave an array too small for the text", length);
        return nullptr;
    }
    const kernels::View1 view = out.view<1>();
    advise_huge_pages(view, length);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            kernels::encode(static_cast<const Py_UCS1*>(data), length, view);
            break;
        case PyUnicode_2BYTE_KIND:
            kernels::encode(static_cast<const Py_UCS2*>(data), length, view);
            break;
        default:
            kernels::encode(static_cast<const Py_UCS4*>(data), length, view);
            break;
    }
    return result.release();
}

PyObject* genomic_init(PyObject* const*, double) {
    PyErr_SetString(PyExc_NotImplementedError, "GenomicSequence.__init__");
    return nullptr;
}

PyObject* genomic_from_fasta(PyObject* const*, double) {
    PyErr_SetString(PyExc_NotImplementedError, "GenomicSequence.from_fasta");
    return nullptr;
}

PyObject* get_gc_content(PyObject* const*, double) {
    PyErr_SetString(PyExc_NotImplementedError, "get_gc_content");
    return nullptr;
}

}  // namespace corlap::bodies
