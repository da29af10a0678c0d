// Text to nucleotide codes: nuc_to_num, GenomicSequence and get_gc_content.
#include "arguments.hpp"
#include "bodies.hpp"
#include "bodies_common.hpp"
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
    ref zeros = numpy_function(names.zeros);
    if (!zeros) return ref();
    return call_with_keyword(zeros.get(), length, names.dtype,
                             reinterpret_cast<PyObject*>(&PyLong_Type));
}

// np.zeros(self.length, dtype=int), evaluated as Python would: `np`, then
// its `zeros`, then the attribute `length`.
ref zeros_of_own_length(PyObject* self) {
    ref zeros = numpy_function(names.zeros);
    if (!zeros) return ref();
    ref length = get_attr(self, names.length);
    if (!length) return ref();
    return call_with_keyword(zeros.get(), length.get(), names.dtype,
                             reinterpret_cast<PyObject*>(&PyLong_Type));
}

// fasta_obj.fetch(chrom, start, end), the three read by `field(name)` (a
// new reference, or empty on error) in that order, after `fetch`.
template <class Field>
ref fetch_region(PyObject* fasta_obj, Field&& field) {
    ref fetch = get_attr(fasta_obj, names.fetch);
    if (!fetch) return ref();
    ref chrom = field(names.chrom);
    if (!chrom) return ref();
    ref start = field(names.start);
    if (!start) return ref();
    ref end = field(names.end);
    if (!end) return ref();
    return call(fetch.get(), chrom.get(), start.get(), end.get());
}

// self.region.<name>, reading `region` anew.
ref region_attr(PyObject* self, PyObject* name) {
    ref region = get_attr(self, names.region);
    if (!region) return ref();
    return get_attr(region.get(), name);
}

// region.end - region.start
ref region_span(PyObject* region) {
    ref end = get_attr(region, names.end);
    if (!end) return ref();
    ref start = get_attr(region, names.start);
    if (!start) return ref();
    return ref(PyNumber_Subtract(end.get(), start.get()));
}

// One code array of a GenomicSequence, refused before anything is written
// when it cannot take `length` codes (None, or too short).
bool check_strand(const Buffer& strand, const char* attribute, int32_t length) {
    const int64_t needed[1] = {length};
    return require_shape(
        strand, 1, needed,
        [&] {
            PyErr_Format(PyExc_TypeError,
                         "GenomicSequence attribute '%s' is None, but length is %d", attribute,
                         static_cast<int>(length));
        },
        [&] {
            PyErr_Format(PyExc_ValueError,
                         "GenomicSequence attribute '%s' has %zd elements, fewer than length %d",
                         attribute, strand.shape(0), static_cast<int>(length));
        });
}

// Calls visit(characters, n) with the n characters of the exact str `text`,
// typed by the width of its storage, and returns what that returns.
template <class Visit>
auto visit_text(PyObject* text, Visit&& visit) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return visit(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND:
            return visit(static_cast<const Py_UCS2*>(data), n);
        default:
            return visit(static_cast<const Py_UCS4*>(data), n);
    }
}

// Count of "G", "g", "C" and "c" seen so far: a machine integer while it
// fits, spilled into an interpreter integer otherwise.
class GcTally {
public:
    bool add(int64_t n) {
        if (n > INT64_MAX - small_) {
            if (!spill()) return false;
        }
        small_ += n;
        return true;
    }
    ref value() {
        if (!spill()) return ref();
        return big_ ? big_ : ref(PyLong_FromLong(0));
    }

private:
    bool spill() {
        ref part(PyLong_FromLongLong(small_));
        if (!part) return false;
        small_ = 0;
        big_ = big_ ? ref(PyNumber_Add(big_.get(), part.get())) : part;
        return static_cast<bool>(big_);
    }
    int64_t small_ = 0;
    ref big_;
};

// Does `element` == "G" or "g" or "C" or "c", by the interpreter's equality
// and truth tests, stopping at the first that holds?  -1 on error.
int is_gc_element(PyObject* element) {
    for (PyObject* letter : constants.gc_letters) {
        ref equal(PyObject_RichCompare(element, letter, Py_EQ));
        if (!equal) return -1;
        const int truth = PyObject_IsTrue(equal.get());
        if (truth != 0) return truth;
    }
    return 0;
}

// Calls visit(item) for each item of `collection`: a list or tuple by index
// (the size read anew each step, since visiting may run Python code), any
// other object through the iteration protocol.
template <class Visit>
bool for_each_item(PyObject* collection, Visit&& visit) {
    if (PyList_CheckExact(collection)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(collection); ++i) {
            ref item = ref::borrow(PyList_GET_ITEM(collection, i));
            if (!visit(item.get())) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(collection)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(collection); ++i) {
            if (!visit(PyTuple_GET_ITEM(collection, i))) return false;
        }
        return true;
    }
    ref iterator(PyObject_GetIter(collection));
    if (!iterator) return false;
    while (true) {
        ref item(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        if (!visit(item.get())) return false;
    }
}

// G/C count of one fetch result: an exact str by its storage, anything else
// element by element.
bool count_gc_of(PyObject* bases, GcTally& tally) {
    if (PyUnicode_CheckExact(bases)) {
        return visit_text(bases, [&tally](const auto* characters, Py_ssize_t n) {
            return tally.add(kernels::count_gc(characters, n));
        });
    }
    return for_each_item(bases, [&](PyObject* element) {
        const int gc = is_gc_element(element);
        return gc >= 0 && tally.add(gc);
    });
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
    if (!take_result(result.get(), length, Element::int64, out,
                     "np.zeros(%zd, dtype=int) gave an array too small for the text")) {
        return nullptr;
    }
    const kernels::View1 view = out.view<1>();
    advise_huge_pages(view, length);
    visit_text(text, [&view](const auto* characters, Py_ssize_t n) {
        kernels::encode(characters, n, view);
    });
    return result.release();
}

PyObject* genomic_init(PyObject* const* args, double) {
    PyObject* self = args[0];
    PyObject* region = args[1];
    if (!set_attr(self, names.region, region)) return nullptr;
    ref length = region_span(region);
    if (!length) return nullptr;
    if (!set_attr(self, names.length, length.get())) return nullptr;
    for (PyObject* strand : {names.sequence, names.revcomp}) {
        ref codes = zeros_of_own_length(self);
        if (!codes) return nullptr;
        if (!set_attr(self, strand, codes.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* genomic_from_fasta(PyObject* const* args, double) {
    PyObject* self = args[0];
    PyObject* fasta_obj = args[1];

    ref text =
        fetch_region(fasta_obj, [self](PyObject* name) { return region_attr(self, name); });
    if (!text) return nullptr;
    if (text.get() != Py_None && !PyUnicode_CheckExact(text.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", PyUnicode_Type.tp_name,
                     Py_TYPE(text.get())->tp_name);
        return nullptr;
    }

    int32_t length = 0;
    if (!read_length(self, &length)) return nullptr;

    ref sequence, revcomp;
    {
        Buffer forward;
        sequence = take_attribute(self, names.sequence, 1, Element::int64, Access::write, forward);
        if (!sequence) return nullptr;
        Buffer reverse;
        revcomp = take_attribute(self, names.revcomp, 1, Element::int64, Access::write, reverse);
        if (!revcomp) return nullptr;

        if (length > 0) {
            // Everything the pass reads or writes is checked first, so that a
            // refused call leaves both arrays as they were.
            if (text.get() == Py_None) {
                PyErr_Format(PyExc_TypeError,
                             "fetch returned None for a region of length %d",
                             static_cast<int>(length));
                return nullptr;
            }
            const Py_ssize_t text_length = PyUnicode_GET_LENGTH(text.get());
            if (text_length < length) {
                PyErr_Format(PyExc_ValueError,
                             "fetch returned %zd characters for a region of length %d",
                             text_length, static_cast<int>(length));
                return nullptr;
            }
            if (!check_strand(forward, "sequence", length) ||
                !check_strand(reverse, "revcomp", length)) {
                return nullptr;
            }
            const kernels::View1 forward_view = forward.view<1>();
            const kernels::View1 reverse_view = reverse.view<1>();
            advise_huge_pages(forward_view, length);
            advise_huge_pages(reverse_view, length);
            // The region's first `length` characters; the text may hold more.
            visit_text(text.get(), [&](const auto* characters, Py_ssize_t) {
                kernels::encode_both_strands(characters, length, forward_view, reverse_view);
            });
        }
    }
    // The buffers are released by now, before assigning the attributes runs
    // any Python code.
    if (!set_attr(self, names.sequence, sequence.get()) ||
        !set_attr(self, names.revcomp, revcomp.get())) {
        return nullptr;
    }
    return Py_NewRef(self);
}

PyObject* get_gc_content(PyObject* const* args, double) {
    PyObject* regions = args[0];
    PyObject* fasta = args[1];
    GcTally gc;
    ref total = ref::borrow(constants.ints[0]);

    ref open_fasta = module_global(names.open_fasta);
    if (!open_fasta) return nullptr;
    ref fasta_obj = call(open_fasta.get(), fasta);
    if (!fasta_obj) return nullptr;

    const bool walked = for_each_item(regions, [&](PyObject* region) {
        ref bases = fetch_region(fasta_obj.get(),
                                 [region](PyObject* name) { return get_attr(region, name); });
        if (!bases) return false;
        if (!count_gc_of(bases.get(), gc)) return false;
        ref span = region_span(region);
        if (!span) return false;
        total = ref(PyNumber_Add(total.get(), span.get()));
        return static_cast<bool>(total);
    });
    // An error above leaves the FASTA object unclosed; it is only dropped.
    if (!walked) return nullptr;

    ref closed = call_method(fasta_obj.get(), names.close);
    if (!closed) return nullptr;

    ref denominator = PyFloat_CheckExact(total.get()) ? total : ref(PyNumber_Float(total.get()));
    if (!denominator) return nullptr;
    ref count = gc.value();
    if (!count) return nullptr;
    return PyNumber_TrueDivide(count.get(), denominator.get());
}

// ------------------------------------------------------------ the class and functions

namespace {

constexpr const char* source_file = "src/corlap/utils/sequences/encoding.cpp";
using P = Param;

const FunctionDef genomic_sequence_methods[] = {
    {"__init__", "GenomicSequence.__init__", nullptr, source_file, 2, 2, {"self", "region"},
     {P::object, P::object}, genomic_init},
    {"from_fasta", "GenomicSequence.from_fasta", " Fill sequence from fasta object ",
     source_file, 2, 2, {"self", "fasta_obj"}, {P::object, P::object}, genomic_from_fasta},
};

}  // namespace

const FunctionDef nuc_to_num_def = {
    "nuc_to_num", "nuc_to_num", " Convert DNA sequence string to internal number format ",
    source_file, 1, 1, {"sequence"}, {P::text}, nuc_to_num};

const ClassDef genomic_sequence_class = {"GenomicSequence",
                                         " Used in trelvo for fast scoring of PWM/DWM ", false,
                                         {}, genomic_sequence_methods};

const FunctionDef get_gc_content_def = {
    "get_gc_content", "get_gc_content", " Get GC content from regions in fasta ", source_file,
    2, 2, {"regions", "fasta"}, {P::object, P::object}, get_gc_content};

}  // namespace corlap::bodies
