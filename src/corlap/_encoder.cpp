// corlap._encoder: a chunk's float64 scores turned into what its outputs
// hold, in one native pass each: the bigWig data sections and first zoom
// level (stored float32 values), and bedGraph text.
//
// The first zoom level's sums must keep the bits NumPy gave them when the
// encoder was written in it: each piece's sum is np.add.reduceat over the
// float32 values widened to float64 (the first value, plus NumPy's pairwise
// sum of the rest), and the pieces of one bin are merged the same way.  The
// ties of minimum and maximum (0.0 against -0.0) also go NumPy's way: the
// later value wins.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Kernels: plain loops, no Python objects.

// A sum and a sum of squares, added side by side: each keeps the order it
// would have alone.
struct Sums {
    double sum, squares;
    Sums& operator+=(const Sums& other) {
        sum += other.sum;
        squares += other.squares;
        return *this;
    }
};
inline Sums operator+(Sums a, const Sums& b) { return a += b; }

// NumPy's pairwise summation (numpy/_core/src/umath/loops_utils.h.src) of
// ``n`` terms ``term(k)``: blocks of up to 128 summed in eight lanes, larger
// ranges halved at a multiple of eight; a short range starts from -0.0.
template <class Term>
Sums pairwise_sum(std::int64_t first, std::int64_t n, const Term& term) {
    if (n < 8) {
        Sums sum{-0.0, -0.0};
        for (std::int64_t k = 0; k < n; ++k) sum += term(first + k);
        return sum;
    }
    if (n <= 128) {
        Sums lane[8];
        for (int j = 0; j < 8; ++j) lane[j] = term(first + j);
        std::int64_t k = 8;
        for (; k < n - (n % 8); k += 8)
            for (int j = 0; j < 8; ++j) lane[j] += term(first + k + j);
        Sums sum = ((lane[0] + lane[1]) + (lane[2] + lane[3])) +
                   ((lane[4] + lane[5]) + (lane[6] + lane[7]));
        for (; k < n; ++k) sum += term(first + k);
        return sum;
    }
    std::int64_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(first, half, term) + pairwise_sum(first + half, n - half, term);
}

// np.add.reduceat's value for one segment of ``n >= 1`` terms.
template <class Term>
Sums reduceat_sum(std::int64_t first, std::int64_t n, const Term& term) {
    Sums sum = term(first);
    return n > 1 ? sum + pairwise_sum(first + 1, n - 1, term) : sum;
}

template <class T> T later_minimum(T kept, T value) { return kept < value ? kept : value; }
template <class T> T later_maximum(T kept, T value) { return kept > value ? kept : value; }

// A zoom record as the Python side lays it out (_bigwig._RECORDS).
struct Record {
    std::int64_t group, bin, start, end, count;
    double minimum, maximum, sum, squares;
};
static_assert(sizeof(Record) == 72, "zoom records are 72 packed bytes");

constexpr std::uint32_t kFixedStep = 3;
constexpr std::int64_t kSectionWords = 6;

// Where one batch's values go.
struct Output {
    std::vector<std::int64_t> sections;     // per section: interval, position, count
    std::vector<Record> records;            // first zoom level, one per (interval, bin)
    std::vector<Sums> pieces;               // of the bin being built
};

// The body sections of one interval: runs of stored values within one
// stretch of ``slot`` aligned positions, between ``first`` and ``end``
// (positions of the chromosome), as interval, position and count.
void interval_sections(Output& out, std::int64_t interval, std::int64_t start,
                       const float* stored, std::int64_t first, std::int64_t end,
                       std::int64_t slot) {
    std::int64_t at = first;
    while (at < end) {
        if (std::isnan(stored[at - start])) { ++at; continue; }
        std::int64_t stop = std::min(end, (at / slot + 1) * slot);
        std::int64_t run_end = at + 1;
        while (run_end < stop && !std::isnan(stored[run_end - start])) ++run_end;
        out.sections.insert(out.sections.end(), {interval, at, run_end - at});
        at = run_end;
    }
}

// The sections' blocks back to back: header, then the values.
void fill_sections(std::uint32_t* words, const std::vector<std::int64_t>& sections,
                   const std::int64_t* chroms, const std::int64_t* starts,
                   const std::int64_t* offsets, const float* stored) {
    for (std::size_t k = 0; k < sections.size(); k += 3) {
        std::int64_t interval = sections[k], at = sections[k + 1], count = sections[k + 2];
        std::uint32_t header[kSectionWords] = {
            static_cast<std::uint32_t>(chroms[interval]), static_cast<std::uint32_t>(at),
            static_cast<std::uint32_t>(at + count), 1, 1,
            kFixedStep | static_cast<std::uint32_t>(count << 16)};
        std::memcpy(words, header, sizeof header);
        std::memcpy(words + kSectionWords, stored + offsets[interval] + (at - starts[interval]),
                    4 * static_cast<std::size_t>(count));
        words += kSectionWords + count;
    }
}

// The first zoom level's records of one interval: per bin of ``reduction``
// aligned positions holding a stored value, the statistics of its values.
void interval_records(Output& out, std::int64_t interval, std::int64_t start,
                      const float* stored, std::int64_t length, std::int64_t reduction) {
    auto widened = [stored](std::int64_t k) {
        double value = stored[k];
        return Sums{value, value * value};
    };
    std::int64_t at = 0;
    while (at < length) {
        std::int64_t bin = (start + at) / reduction;
        std::int64_t bin_end = std::min(length, (bin + 1) * reduction - start);
        Record record{interval, bin, 0, 0, 0, 0.0, 0.0, 0.0, 0.0};
        out.pieces.clear();
        while (at < bin_end) {
            if (std::isnan(stored[at])) { ++at; continue; }
            std::int64_t piece_end = at + 1;
            while (piece_end < bin_end && !std::isnan(stored[piece_end])) ++piece_end;
            float low = stored[at], high = stored[at];
            for (std::int64_t k = at + 1; k < piece_end; ++k) {
                low = later_minimum(low, stored[k]);
                high = later_maximum(high, stored[k]);
            }
            if (out.pieces.empty()) {
                record.start = start + at;
                record.minimum = low;
                record.maximum = high;
            } else {
                record.minimum = later_minimum(record.minimum, static_cast<double>(low));
                record.maximum = later_maximum(record.maximum, static_cast<double>(high));
            }
            record.end = start + piece_end;
            record.count += piece_end - at;
            out.pieces.push_back(reduceat_sum(at, piece_end - at, widened));
            at = piece_end;
        }
        if (out.pieces.empty()) continue;
        const Sums* pieces = out.pieces.data();
        Sums merged = reduceat_sum(0, static_cast<std::int64_t>(out.pieces.size()),
                                   [pieces](std::int64_t k) { return pieces[k]; });
        record.sum = merged.sum;
        record.squares = merged.squares;
        out.records.push_back(record);
    }
}

// ---------------------------------------------------------------------------
// bedGraph text.

// ``value`` as Python's repr writes a float: the shortest digits that read
// back as the same double, in positional notation when the decimal point
// falls within 16 digits of them (with ".0" after an integer), otherwise
// as d.ddde+XX.
char* write_repr(char* at, double value) {
    if (std::isinf(value)) {
        std::memcpy(at, value < 0 ? "-inf" : "inf", value < 0 ? 4 : 3);
        return at + (value < 0 ? 4 : 3);
    }
    char scientific[32];
    auto result = std::to_chars(scientific, scientific + sizeof scientific, value,
                                std::chars_format::scientific);
    char* text = scientific;
    if (*text == '-') *at++ = *text++;
    // d[.ddd]e±XX: the digits, then the exponent.
    char digits[20];
    int count = 0;
    for (; *text != 'e'; ++text)
        if (*text != '.') digits[count++] = *text;
    int exponent = 0;
    std::from_chars(text + (text[1] == '+' ? 2 : 1), result.ptr, exponent);
    int point = exponent + 1;     // digits before the decimal point
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            *at++ = '0';
            *at++ = '.';
            for (int k = point; k < 0; ++k) *at++ = '0';
            std::memcpy(at, digits, count);
            return at + count;
        }
        if (point >= count) {
            std::memcpy(at, digits, count);
            at += count;
            for (int k = count; k < point; ++k) *at++ = '0';
            *at++ = '.';
            *at++ = '0';
            return at;
        }
        std::memcpy(at, digits, point);
        at += point;
        *at++ = '.';
        std::memcpy(at, digits + point, count - point);
        return at + (count - point);
    }
    *at++ = digits[0];
    if (count > 1) {
        *at++ = '.';
        std::memcpy(at, digits + 1, count - 1);
        at += count - 1;
    }
    *at++ = 'e';
    *at++ = exponent < 0 ? '-' : '+';
    int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) *at++ = '0';
    return std::to_chars(at, at + 4, magnitude).ptr;
}

// Longest line: the name, two 20-digit positions, a 24-character value,
// three tabs and the newline.
constexpr std::size_t kLineSlack = 2 * 20 + 24 + 4;

std::size_t bedgraph_lines(char* out, const char* chrom, std::size_t chrom_length,
                           std::int64_t start, const double* values, std::int64_t length) {
    char* at = out;
    std::int64_t k = 0;
    while (k < length) {
        double value = values[k];
        if (std::isnan(value)) { ++k; continue; }
        std::int64_t end = k + 1;
        // The same bits join one line (0.0 and -0.0 do not).
        while (end < length && std::memcmp(&values[end], &value, sizeof value) == 0) ++end;
        std::memcpy(at, chrom, chrom_length);
        at += chrom_length;
        *at++ = '\t';
        at = std::to_chars(at, at + 20, start + k).ptr;
        *at++ = '\t';
        at = std::to_chars(at, at + 20, start + end).ptr;
        *at++ = '\t';
        at = write_repr(at, value);
        *at++ = '\n';
        k = end;
    }
    return static_cast<std::size_t>(at - out);
}

// ---------------------------------------------------------------------------
// The Python functions.

struct Reference {
    PyObject* object;
    explicit Reference(PyObject* o = nullptr) : object(o) {}
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;
    ~Reference() { Py_XDECREF(object); }
    PyObject* release() { PyObject* o = object; object = nullptr; return o; }
};

// A 1-D C-contiguous array of ``type`` from ``object`` (a new reference), or
// nullptr with an error naming ``what``.
PyArrayObject* array_of(PyObject* object, int type, const char* what) {
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(PyArray_FromAny(
        object, PyArray_DescrFromType(type), 1, 1, NPY_ARRAY_IN_ARRAY, nullptr));
    if (array == nullptr)
        PyErr_Format(PyExc_TypeError, "%s must be a 1-D array of numbers", what);
    return array;
}

template <class T>
PyObject* new_array(const std::vector<T>& items, int type, npy_intp columns = 1) {
    npy_intp shape[2] = {static_cast<npy_intp>(items.size()) / columns, columns};
    PyObject* array = PyArray_SimpleNew(columns == 1 ? 1 : 2, shape, type);
    if (array != nullptr && !items.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), items.data(),
                    items.size() * sizeof(T));
    return array;
}

// Buffers reused batch after batch by the thread that encodes.
thread_local Output buffers;

PyObject* encode_batch(PyObject*, PyObject* args) {
    PyObject *values_list, *chroms_in, *starts_in, *firsts_in, *ends_in;
    long long slot, reduction;
    if (!PyArg_ParseTuple(args, "O!OOOOLL:encode_batch", &PyList_Type, &values_list,
                          &chroms_in, &starts_in, &firsts_in, &ends_in, &slot, &reduction))
        return nullptr;
    Py_ssize_t intervals = PyList_GET_SIZE(values_list);
    Reference chroms(reinterpret_cast<PyObject*>(array_of(chroms_in, NPY_INT64, "chroms")));
    Reference starts(reinterpret_cast<PyObject*>(array_of(starts_in, NPY_INT64, "starts")));
    Reference firsts(reinterpret_cast<PyObject*>(array_of(firsts_in, NPY_INT64, "body starts")));
    Reference ends(reinterpret_cast<PyObject*>(array_of(ends_in, NPY_INT64, "body ends")));
    if (!chroms.object || !starts.object || !firsts.object || !ends.object) return nullptr;
    for (PyObject* array : {chroms.object, starts.object, firsts.object, ends.object})
        if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array)) != intervals) {
            PyErr_SetString(PyExc_ValueError, "one chrom, start and body per interval");
            return nullptr;
        }
    if (slot < 1 || slot > 0xffff || reduction < 0) {
        PyErr_SetString(PyExc_ValueError, "items per slot must be 1 to 65535, the reduction >= 0");
        return nullptr;
    }
    std::vector<Reference> values(intervals);
    std::vector<std::int64_t> offsets(intervals + 1, 0);
    for (Py_ssize_t i = 0; i < intervals; ++i) {
        values[i].object = reinterpret_cast<PyObject*>(
            array_of(PyList_GET_ITEM(values_list, i), NPY_FLOAT64, "values"));
        if (!values[i].object) return nullptr;
        offsets[i + 1] = offsets[i] + PyArray_SIZE(reinterpret_cast<PyArrayObject*>(values[i].object));
    }
    npy_intp total = offsets[intervals];
    Reference stored(PyArray_SimpleNew(1, &total, NPY_FLOAT32));
    if (!stored.object) return nullptr;
    auto data = [](const Reference& r) {
        return static_cast<const std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(r.object)));
    };
    const std::int64_t *chrom = data(chroms), *start = data(starts), *first = data(firsts),
                       *end = data(ends);
    float* floats = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(stored.object)));
    Output& out = buffers;
    out.sections.clear();
    out.records.clear();
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t i = 0; i < intervals; ++i) {
        const double* source = static_cast<const double*>(
            PyArray_DATA(reinterpret_cast<PyArrayObject*>(values[i].object)));
        float* own = floats + offsets[i];
        std::int64_t length = offsets[i + 1] - offsets[i];
        for (std::int64_t k = 0; k < length; ++k) own[k] = static_cast<float>(source[k]);
        interval_sections(out, i, start[i], own, first[i], end[i], slot);
        if (reduction) interval_records(out, i, start[i], own, length, reduction);
    }
    Py_END_ALLOW_THREADS
    npy_intp word_count = 0;
    for (std::size_t k = 0; k < out.sections.size(); k += 3)
        word_count += kSectionWords + out.sections[k + 2];
    Reference words(PyArray_SimpleNew(1, &word_count, NPY_UINT32));
    if (!words.object) return nullptr;
    auto* word_data = static_cast<std::uint32_t*>(
        PyArray_DATA(reinterpret_cast<PyArrayObject*>(words.object)));
    Py_BEGIN_ALLOW_THREADS
    fill_sections(word_data, out.sections, chrom, start, offsets.data(), floats);
    Py_END_ALLOW_THREADS
    Reference sections(new_array(out.sections, NPY_INT64, 3));
    npy_intp record_bytes = static_cast<npy_intp>(out.records.size() * sizeof(Record));
    Reference records(PyArray_SimpleNew(1, &record_bytes, NPY_UINT8));
    if (!sections.object || !records.object) return nullptr;
    if (record_bytes)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(records.object)),
                    out.records.data(), static_cast<std::size_t>(record_bytes));
    return PyTuple_Pack(4, stored.object, words.object, sections.object, records.object);
}

PyObject* bedgraph(PyObject*, PyObject* args) {
    const char* chrom;
    Py_ssize_t chrom_length;
    long long start;
    PyObject* values_in;
    if (!PyArg_ParseTuple(args, "y#LO:bedgraph", &chrom, &chrom_length, &start, &values_in))
        return nullptr;
    Reference values(reinterpret_cast<PyObject*>(array_of(values_in, NPY_FLOAT64, "values")));
    if (!values.object) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(values.object);
    std::int64_t length = PyArray_SIZE(array);
    const double* data = static_cast<const double*>(PyArray_DATA(array));
    std::size_t most = static_cast<std::size_t>(length) * (chrom_length + kLineSlack);
    // Pages of the bound that no line reaches are never touched, and the
    // resize at the end hands them back.
    Reference text(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(most)));
    if (!text.object) return nullptr;
    std::size_t size;
    Py_BEGIN_ALLOW_THREADS
    size = bedgraph_lines(PyBytes_AS_STRING(text.object), chrom,
                          static_cast<std::size_t>(chrom_length), start, data, length);
    Py_END_ALLOW_THREADS
    PyObject* result = text.release();
    if (_PyBytes_Resize(&result, static_cast<Py_ssize_t>(size)) < 0) return nullptr;
    return result;
}

PyMethodDef functions[] = {
    {"encode_batch", encode_batch, METH_VARARGS,
     "encode_batch(values, chroms, starts, body_starts, body_ends, items_per_slot, reduction)\n"
     "--\n\n"
     "The float32 values of a batch of intervals (float64 arrays), its data\n"
     "sections between each interval's body start and end (words, and per\n"
     "section its interval, position and count) and the records of the\n"
     "first zoom level of ``reduction`` bases (0: none), as bytes."},
    {"bedgraph", bedgraph, METH_VARARGS,
     "bedgraph(chrom, start, values)\n--\n\n"
     "bedGraph lines of float64 values from position ``start`` of ``chrom``\n"
     "(bytes): runs of the same bits share a line, values as repr writes them."},
    {nullptr, nullptr, 0, nullptr}};

int load_numpy(PyObject*) {
    import_array1(-1);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(load_numpy)},
    {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_encoder",
                          "bigWig blocks and bedGraph text of a chunk's scores.", 0, functions,
                          slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__encoder(void) { return PyModuleDef_Init(&module_def); }
