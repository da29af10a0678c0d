// Footprint scores of a signal track (corlap.footprints): the mean signal
// over a centre against the means over the flanks either side of it.
//
// Every mean is a sum over the values present in its window, taken from
// 0.0 in ascending position order, divided by how many there are.  Those
// additions depend on nothing but the window itself, never on where a
// chunk or a batch of sites began, so a value is the same bits whatever
// cut the work up.  A missing value (NaN, or a position outside the array
// given) is summed as 0.0, which leaves a sum started from +0.0 unchanged.
//
// The genome-wide kernel sums many windows of one width side by side: the
// additions of one window are a chain, and neighbouring windows' chains
// are independent, so the compiler can run several of them per
// instruction without reordering any of them.
//
// Not part of corlap's public interface.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "array_argument.hpp"

namespace {

using corlap::ArrayArgument;

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// Doubles that the compiler keeps in one vector register (two or four);
// each lane is added on its own, so each sum is still its own chain of
// additions, the same bits whichever width runs.
typedef double Pair __attribute__((vector_size(16)));
typedef double Quad __attribute__((vector_size(32)));

// out[j] = z[j] + z[j + 1] + ... + z[j + width - 1], added one by one
// from 0.0, for j < count.  Eight registers of windows at a time stay in
// registers while every offset of the window is added to them.
template <class Vector>
__attribute__((always_inline)) inline void window_sums_in(const double* z, size_t count,
                                                          size_t width, double* out) {
    constexpr size_t lanes = sizeof(Vector) / sizeof(double), registers = 8;
    constexpr size_t block = lanes * registers;
    size_t j = 0;
    for (; j + block <= count; j += block) {
        Vector sums[registers];
        for (Vector& sum : sums) sum = Vector{} + 0.0;
        for (size_t t = 0; t < width; ++t) {
            const double* from = z + j + t;
            for (size_t r = 0; r < registers; ++r) {
                Vector x;
                std::memcpy(&x, from + r * lanes, sizeof x);
                sums[r] += x;
            }
        }
        for (size_t r = 0; r < registers; ++r)
            std::memcpy(out + j + r * lanes, &sums[r], sizeof(Vector));
    }
    for (; j < count; ++j) {
        double sum = 0.0;
        for (size_t t = 0; t < width; ++t) sum += z[j + t];
        out[j] = sum;
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void window_sums_avx2(const double* z, size_t count,
                                                      size_t width, double* out) {
    window_sums_in<Quad>(z, count, width, out);
}
#endif

void window_sums(const double* z, size_t count, size_t width, double* out) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return window_sums_avx2(z, count, width, out);
#endif
    window_sums_in<Pair>(z, count, width, out);
}

// Sum and count of the values present at positions a..b-1 of a site's
// window, which holds positions lo..lo+size-1.
void range_sum(const float* values, int64_t lo, int64_t size, int64_t a, int64_t b,
               double* sum, int64_t* count) {
    a = std::max(a, lo);
    b = std::min(b, lo + size);
    double s = 0.0;
    int64_t n = 0;
    for (int64_t q = a; q < b; ++q) {
        float v = values[q - lo];
        if (std::isnan(v)) continue;
        s += double(v);
        ++n;
    }
    *sum = s;
    *count = n;
}

double mean(double sum, int64_t count) { return count > 0 ? sum / double(count) : kNone; }

// Sum of the squared distances from m of the values present at positions
// a..b-1 (clipped to the window, as range_sum), in position order.
double range_squares(const float* values, int64_t lo, int64_t size, int64_t a, int64_t b,
                     double m) {
    a = std::max(a, lo);
    b = std::min(b, lo + size);
    double s = 0.0;
    for (int64_t q = a; q < b; ++q) {
        float v = values[q - lo];
        if (std::isnan(v)) continue;
        s += (double(v) - m) * (double(v) - m);
    }
    return s;
}

PyObject* track(PyObject*, PyObject* args) {
    PyObject *values_object, *out_object;
    long long lo, start, end, half, flank;
    if (!PyArg_ParseTuple(args, "OLLLLLO:track", &values_object, &lo, &start, &end, &half,
                          &flank, &out_object))
        return nullptr;
    ArrayArgument values, out;
    if (!values.take(values_object, "values", 'f', false) ||
        !out.take(out_object, "out", 'd', true))
        return nullptr;
    if (half < 0 || flank < 1 || end < start || out.size() != end - start) {
        PyErr_SetString(PyExc_ValueError, "track: sizes do not agree");
        return nullptr;
    }
    const size_t inner = size_t(end - start), centre = size_t(2 * half + 1);
    const size_t reach = size_t(flank), right = reach + centre;
    const int64_t hi = lo + values.size();
    // Positions are done a tile at a time, so that the working arrays stay
    // small and in cache; each window's sum is the same whatever the tile.
    const size_t tile = std::min(inner, size_t(8192));
    const size_t room = tile + 2 * reach + centre - 1;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        const float* v = values.data<float>();
        double* o = out.data<double>();
        std::unique_ptr<double[]> z(new double[room]), sides(new double[room]),
            middle(new double[tile]), present(new double[room + 1]);
        for (size_t done = 0; done < inner; done += tile) {
            const size_t count = std::min(tile, inner - done);
            const size_t size = count + 2 * reach + centre - 1;
            const int64_t first = start + int64_t(done) - half - flank;
            // Positions outside the values given have none; inside, NaN.
            const size_t inside = size_t(std::clamp<int64_t>(lo - first, 0, int64_t(size)));
            const size_t beyond = size_t(std::clamp<int64_t>(hi - first, int64_t(inside),
                                                             int64_t(size)));
            bool gaps = inside > 0 || beyond < size;
            std::fill(z.get(), z.get() + inside, 0.0);
            std::fill(z.get() + beyond, z.get() + size, 0.0);
            const float* from = v + (first + int64_t(inside) - lo);
            for (size_t k = inside; k < beyond; ++k) {
                const float x = from[k - inside];
                gaps |= x != x;
                z[k] = x == x ? double(x) : 0.0;
            }
            // A right flank is the left flank of a position 2h + 1 + F
            // further on: one pass of flank sums serves both.
            window_sums(z.get(), size - reach + 1, reach, sides.get());
            window_sums(z.get() + reach, count, centre, middle.get());
            double* to = o + done;
            // A flank's mean is the same whichever side of a centre it is
            // on: each is divided once.
            const size_t flanks = size - reach + 1;
            if (!gaps) {
                // Every window full (most tiles of a signal with values).
                const double nl = double(reach), nc = double(centre);
                for (size_t j = 0; j < flanks; ++j) sides[j] = sides[j] / nl;
                for (size_t i = 0; i < count; ++i)
                    to[i] = (sides[i] + sides[i + right]) / 2.0 - middle[i] / nc;
                continue;
            }
            // Running counts of the positions with a value, as doubles
            // (exact far beyond a tile), so that the last pass runs in
            // vector registers too.
            present[0] = 0.0;
            for (size_t k = 0; k < size; ++k) {
                const int64_t q = first + int64_t(k);
                const bool has = q >= lo && q < hi && !std::isnan(v[q - lo]);
                present[k + 1] = present[k] + (has ? 1.0 : 0.0);
            }
            // (A window without a value divides by 0: its result is never used.)
            for (size_t j = 0; j < flanks; ++j)
                sides[j] = sides[j] / (present[j + reach] - present[j]);
            for (size_t i = 0; i < count; ++i) {
                const double nl = present[i + reach] - present[i];
                const double nc = present[i + right] - present[i + reach];
                const double nr = present[i + right + reach] - present[i + right];
                const double value = (sides[i] + sides[i + right]) / 2.0 - middle[i] / nc;
                to[i] = nl > 0.0 && nc > 0.0 && nr > 0.0 ? value : kNone;
            }
        }
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (no_memory) return PyErr_NoMemory();
    Py_RETURN_NONE;
}

// Windows of the signal: window s is positions lo[s] .. lo[s] + size[s] - 1,
// held at values[at[s] ..].  Windows may share values (sites read in one
// span of the genome).
struct Windows {
    ArrayArgument values, at, lo, size;
    bool take(PyObject* values_object, PyObject* at_object, PyObject* lo_object,
              PyObject* size_object, Py_ssize_t count) {
        if (!values.take(values_object, "values", 'f', false) ||
            !at.take(at_object, "at", 'q', false) || !lo.take(lo_object, "lo", 'q', false) ||
            !size.take(size_object, "size", 'q', false))
            return false;
        bool fits = at.size() == count && lo.size() == count && size.size() == count;
        for (Py_ssize_t s = 0; fits && s < count; ++s) {
            const int64_t a = at.data<int64_t>()[s], n = size.data<int64_t>()[s];
            fits = a >= 0 && n >= 0 && a <= values.size() - n;
        }
        if (!fits) PyErr_SetString(PyExc_ValueError, "windows: sizes do not agree");
        return fits;
    }
    const float* of(Py_ssize_t s) const { return values.data<float>() + at.data<int64_t>()[s]; }
    int64_t start(Py_ssize_t s) const { return lo.data<int64_t>()[s]; }
    int64_t length(Py_ssize_t s) const { return size.data<int64_t>()[s]; }
};

// Sums of many values, exact whatever their order: each value is taken to
// the nearest multiple of 2^-kFixedBits and added as a 128-bit integer, so a sum over sites
// is the same bits whichever order the BED file lists them in and however
// the work is cut up.  A value of 2^kFixedLimit or more cannot be summed.
constexpr int kFixedBits = 60, kFixedLimit = 36;

bool to_fixed(double x, __int128* out) {
    if (!(std::fabs(x) < std::ldexp(1.0, kFixedLimit))) return false;
    *out = static_cast<__int128>(std::nearbyint(std::ldexp(x, kFixedBits)));
    return true;
}

// A 128-bit sum held as two int64 (low word first) in a NumPy array.
void add_fixed(int64_t* cell, __int128 y) {
    unsigned __int128 v = (static_cast<unsigned __int128>(static_cast<uint64_t>(cell[1])) << 64) |
                          static_cast<uint64_t>(cell[0]);
    v += static_cast<unsigned __int128>(y);
    cell[0] = static_cast<int64_t>(static_cast<uint64_t>(v));
    cell[1] = static_cast<int64_t>(static_cast<uint64_t>(v >> 64));
}

PyObject* sites(PyObject*, PyObject* args) {
    PyObject *values_object, *at_object, *lo_object, *size_object, *starts_object,
        *ends_object, *minus_object, *means_object, *counts_object, *spread_object;
    long long flank;
    if (!PyArg_ParseTuple(args, "OOOOOOOLOOO:sites", &values_object, &at_object, &lo_object,
                          &size_object, &starts_object, &ends_object, &minus_object, &flank,
                          &means_object, &counts_object, &spread_object))
        return nullptr;
    ArrayArgument starts, ends, minus, means, counts, spread;
    if (!starts.take(starts_object, "starts", 'q', false) ||
        !ends.take(ends_object, "ends", 'q', false) ||
        !minus.take(minus_object, "minus", 'q', false) ||
        !means.take(means_object, "means", 'd', true) ||
        !counts.take(counts_object, "counts", 'q', true) ||
        !spread.take(spread_object, "spread", 'd', true))
        return nullptr;
    const Py_ssize_t n = starts.size();
    Windows windows;
    if (!windows.take(values_object, at_object, lo_object, size_object, n)) return nullptr;
    if (flank < 1 || ends.size() != n || minus.size() != n || means.size() != 3 * n ||
        counts.size() != 3 * n || spread.size() != n) {
        PyErr_SetString(PyExc_ValueError, "sites: sizes do not agree");
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    double* mean_of = means.data<double>();
    int64_t* count_of = counts.data<int64_t>();
    for (Py_ssize_t s = 0; s < n; ++s) {
        const int64_t a = starts.data<int64_t>()[s], b = ends.data<int64_t>()[s];
        const float* v = windows.of(s);
        const int64_t lo = windows.start(s), size = windows.length(s);
        double sums[3];
        int64_t got[3];
        range_sum(v, lo, size, a - flank, a, &sums[0], &got[0]);
        range_sum(v, lo, size, a, b, &sums[1], &got[1]);
        range_sum(v, lo, size, b, b + flank, &sums[2], &got[2]);
        // On -, the site reads from end to start: its left flank is after end.
        const int l = minus.data<int64_t>()[s] ? 2 : 0, r = 2 - l;
        const int order[3] = {1, l, r};   // centre, left, right
        for (int k = 0; k < 3; ++k) {
            mean_of[k * n + s] = mean(sums[order[k]], got[order[k]]);
            count_of[k * n + s] = got[order[k]];
        }
        // The standard deviation of the values of the centre and both
        // flanks together, about their common mean (two passes: the
        // squares of counts in the thousands lose nothing).
        const int64_t all = got[0] + got[1] + got[2];
        const double m = mean(sums[0] + sums[1] + sums[2], all);
        const double squares = range_squares(v, lo, size, a - flank, a, m) +
                               range_squares(v, lo, size, a, b, m) +
                               range_squares(v, lo, size, b, b + flank, m);
        spread.data<double>()[s] = all > 0 ? std::sqrt(squares / double(all)) : kNone;
    }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* profile(PyObject*, PyObject* args) {
    PyObject *values_object, *at_object, *lo_object, *size_object, *centres_object,
        *minus_object, *rows_object, *sums_object, *counts_object;
    long long reach;
    double factor;
    if (!PyArg_ParseTuple(args, "OOOOOOOLdOO:profile", &values_object, &at_object,
                          &lo_object, &size_object, &centres_object, &minus_object,
                          &rows_object, &reach, &factor, &sums_object, &counts_object))
        return nullptr;
    ArrayArgument centres, minus, rows, sums, counts;
    if (!centres.take(centres_object, "centres", 'q', false) ||
        !minus.take(minus_object, "minus", 'q', false) ||
        !rows.take(rows_object, "rows", 'q', false) ||
        !sums.take(sums_object, "sums", 'q', true) ||
        !counts.take(counts_object, "counts", 'q', true))
        return nullptr;
    const Py_ssize_t n = centres.size();
    Windows windows;
    if (!windows.take(values_object, at_object, lo_object, size_object, n)) return nullptr;
    const int64_t width = 2 * reach + 1;
    const int64_t kinds = reach >= 0 ? counts.size() / width : 0;
    bool fits = reach >= 0 && minus.size() == n && rows.size() == n &&
                counts.size() == kinds * width && sums.size() == 2 * counts.size();
    for (Py_ssize_t s = 0; fits && s < n; ++s) fits = rows.data<int64_t>()[s] < kinds;
    if (!fits) {
        PyErr_SetString(PyExc_ValueError, "profile: sizes do not agree");
        return nullptr;
    }
    bool too_large = false;
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t s = 0; s < n && !too_large; ++s) {
        const int64_t row = rows.data<int64_t>()[s];
        if (row < 0) continue;
        const float* v = windows.of(s);
        const int64_t lo = windows.start(s), size = windows.length(s);
        const int64_t c = centres.data<int64_t>()[s];
        const int64_t step = minus.data<int64_t>()[s] ? -1 : 1;
        int64_t* sum = sums.data<int64_t>() + 2 * row * width;
        int64_t* count = counts.data<int64_t>() + row * width;
        for (int64_t k = -reach; k <= reach; ++k) {
            const int64_t q = c + step * k;
            if (q < lo || q >= lo + size) continue;
            const float x = v[q - lo];
            if (std::isnan(x)) continue;
            __int128 y;
            if (!to_fixed(double(x) * factor, &y)) {
                too_large = true;
                break;
            }
            add_fixed(sum + 2 * (k + reach), y);
            ++count[k + reach];
        }
    }
    Py_END_ALLOW_THREADS
    if (too_large) {
        PyErr_SetString(PyExc_OverflowError, "a signal value is too large to sum");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* fixed_sums(PyObject*, PyObject* args) {
    PyObject *rows_object, *values_object, *sums_object, *counts_object;
    if (!PyArg_ParseTuple(args, "OOOO:fixed_sums", &rows_object, &values_object, &sums_object,
                          &counts_object))
        return nullptr;
    ArrayArgument rows, values, sums, counts;
    if (!rows.take(rows_object, "rows", 'q', false) ||
        !values.take(values_object, "values", 'd', false) ||
        !sums.take(sums_object, "sums", 'q', true) ||
        !counts.take(counts_object, "counts", 'q', true))
        return nullptr;
    const Py_ssize_t n = rows.size(), kinds = counts.size();
    bool fits = values.size() == n && sums.size() == 2 * kinds;
    for (Py_ssize_t s = 0; fits && s < n; ++s)
        fits = rows.data<int64_t>()[s] < kinds;
    if (!fits) {
        PyErr_SetString(PyExc_ValueError, "fixed_sums: sizes do not agree");
        return nullptr;
    }
    bool too_large = false;
    for (Py_ssize_t s = 0; s < n; ++s) {
        const int64_t row = rows.data<int64_t>()[s];
        const double x = values.data<double>()[s];
        if (row < 0 || std::isnan(x)) continue;
        __int128 y;
        if (!to_fixed(x, &y)) {
            too_large = true;
            break;
        }
        add_fixed(sums.data<int64_t>() + 2 * row, y);
        ++counts.data<int64_t>()[row];
    }
    if (too_large) {
        PyErr_SetString(PyExc_OverflowError, "a value is too large to sum");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// --- BED lines and table rows --------------------------------------------------

// What Python's str.split() and str.strip() take for whitespace, in ASCII.
bool is_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

bool only_digits(const char* a, const char* b, int64_t* out) {
    if (a == b || b - a > 18) return false;
    int64_t v = 0;
    for (const char* p = a; p < b; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
    }
    *out = v;
    return true;
}

// The BED lines of `data` (whole lines): for each line that is not blank
// or a header (#, track, browser), its number, the byte offsets of its
// first six fields (begin and end; 0, 0 for a missing one) and of the line
// itself (its end before any \r), its number of fields, start, end and
// strand (0 +, 1 -, 2 ., 3 no sixth field).  A line
// this fast path does not take as it is (a byte that is not ASCII, a
// coordinate that is not plain digits, a strand that is not exactly +, -
// or .) gets flag 1: the caller reads it as the line-by-line path does.
// The index of the name text[a, b) in `names` (a dict of bytes to int):
// -1 when it is not there, unless `grow`, which adds it as the next index.
// The last name looked up is kept: BED files list the same sequence (and
// often the same motif) many lines in a row.
struct NameIndex {
    PyObject* names;
    bool grow;
    std::string last;
    int64_t last_index = -2;
    bool failed = false;
    int64_t of(const char* a, const char* b) {
        const size_t n = size_t(b - a);
        if (last_index != -2 && last.size() == n && std::memcmp(last.data(), a, n) == 0)
            return last_index;
        PyObject* key = PyBytes_FromStringAndSize(a, Py_ssize_t(n));
        if (key == nullptr) {
            failed = true;
            return -1;
        }
        int64_t index = -1;
        PyObject* found = PyDict_GetItemWithError(names, key);
        if (found != nullptr) {
            index = PyLong_AsLongLong(found);
        } else if (!PyErr_Occurred() && grow) {
            index = PyDict_Size(names);
            PyObject* value = PyLong_FromLongLong(index);
            if (value == nullptr || PyDict_SetItem(names, key, value) != 0) failed = true;
            Py_XDECREF(value);
        }
        failed |= PyErr_Occurred() != nullptr;
        Py_DECREF(key);
        last.assign(a, n);
        last_index = index;
        return index;
    }
};

PyObject* split_bed(PyObject*, PyObject* args) {
    Py_buffer data;
    long long first;
    PyObject *chrom_names, *motif_names, *numbers_object, *fields_object, *columns_object,
        *starts_object, *ends_object, *strands_object, *flags_object, *chroms_object,
        *motifs_object;
    if (!PyArg_ParseTuple(args, "y*LO!O!OOOOOOOOO:split_bed", &data, &first, &PyDict_Type,
                          &chrom_names, &PyDict_Type, &motif_names, &numbers_object,
                          &fields_object, &columns_object, &starts_object, &ends_object,
                          &strands_object, &flags_object, &chroms_object, &motifs_object))
        return nullptr;
    ArrayArgument numbers, fields, columns, starts, ends, strands, flags, chroms, motifs;
    bool taken = chroms.take(chroms_object, "chroms", 'q', true) &&
                 motifs.take(motifs_object, "motifs", 'q', true) &&
                 numbers.take(numbers_object, "numbers", 'q', true) &&
                 fields.take(fields_object, "fields", 'q', true) &&
                 columns.take(columns_object, "columns", 'q', true) &&
                 starts.take(starts_object, "starts", 'q', true) &&
                 ends.take(ends_object, "ends", 'q', true) &&
                 strands.take(strands_object, "strands", 'q', true) &&
                 flags.take(flags_object, "flags", 'q', true);
    const char* text = static_cast<const char*>(data.buf);
    const Py_ssize_t size = data.len;
    Py_ssize_t lines = 0;
    for (Py_ssize_t k = 0; k < size; ++k) lines += text[k] == '\n';
    lines += size > 0 && text[size - 1] != '\n';
    const Py_ssize_t room = numbers.size();
    if (taken && (room < lines || fields.size() != 14 * room || columns.size() != room ||
                  starts.size() != room || ends.size() != room || strands.size() != room ||
                  flags.size() != room || chroms.size() != room || motifs.size() != room)) {
        PyErr_SetString(PyExc_ValueError, "split_bed: sizes do not agree");
        taken = false;
    }
    if (!taken) {
        PyBuffer_Release(&data);
        return nullptr;
    }
    Py_ssize_t records = 0;
    long long number = first;
    NameIndex chrom_index{chrom_names, false}, motif_index{motif_names, true};
    const char* end_of = text + size;
    for (const char* line = text; line < end_of; ++number) {
        const char* stop = static_cast<const char*>(std::memchr(line, '\n', end_of - line));
        const char* next = stop ? stop + 1 : end_of;
        const char* b = stop ? stop : end_of;
        while (b > line && (b[-1] == '\r' || b[-1] == '\n')) --b;
        const char* a = line;
        line = next;
        bool blank = true, ascii = true, tabs = false;
        for (const char* p = a; p < b; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            blank &= is_space(c);
            ascii &= c < 0x80;
            tabs |= c == '\t';
        }
        if (blank && ascii) continue;
        const size_t length = size_t(b - a);
        if (a[0] == '#' || (length >= 5 && std::memcmp(a, "track", 5) == 0) ||
            (length >= 7 && std::memcmp(a, "browser", 7) == 0))
            continue;
        const Py_ssize_t r = records++;
        int64_t* f = fields.data<int64_t>() + 14 * r;
        std::fill(f, f + 12, int64_t(0));
        f[12] = a - text;
        f[13] = b - text;
        int64_t count = 0;
        const char* p = a;
        if (tabs) {
            while (true) {
                const char* q = static_cast<const char*>(std::memchr(p, '\t', b - p));
                const char* e = q ? q : b;
                if (count < 6) {
                    f[2 * count] = p - text;
                    f[2 * count + 1] = e - text;
                }
                ++count;
                if (!q) break;
                p = q + 1;
            }
        } else {
            while (true) {
                while (p < b && is_space(static_cast<unsigned char>(*p))) ++p;
                if (p == b) break;
                const char* e = p;
                while (e < b && !is_space(static_cast<unsigned char>(*e))) ++e;
                if (count < 6) {
                    f[2 * count] = p - text;
                    f[2 * count + 1] = e - text;
                }
                ++count;
                p = e;
            }
        }
        numbers.data<int64_t>()[r] = number;
        columns.data<int64_t>()[r] = count;
        int64_t start = 0, stop_at = 0, strand = 3;
        bool plain = ascii && count >= 3 && only_digits(text + f[2], text + f[3], &start) &&
                     only_digits(text + f[4], text + f[5], &stop_at);
        if (plain && count >= 6) {
            const char* s = text + f[10];
            const int64_t n = f[11] - f[10];
            strand = n == 1 && *s == '+' ? 0 : n == 1 && *s == '-' ? 1 : n == 1 && *s == '.' ? 2
                                                                                           : -1;
            plain = strand >= 0;
        }
        starts.data<int64_t>()[r] = start;
        ends.data<int64_t>()[r] = stop_at;
        strands.data<int64_t>()[r] = strand;
        flags.data<int64_t>()[r] = plain ? 0 : 1;
        // A name that is not ASCII is looked up by the caller, once decoded.
        chroms.data<int64_t>()[r] = ascii ? chrom_index.of(text + f[0], text + f[1]) : -1;
        motifs.data<int64_t>()[r] = !ascii ? -1
                                    : count > 3 ? motif_index.of(text + f[6], text + f[7])
                                                : motif_index.of(".", "." + 1);
        if (chrom_index.failed || motif_index.failed) {
            PyBuffer_Release(&data);
            return nullptr;
        }
    }
    PyBuffer_Release(&data);
    return Py_BuildValue("n", records);
}

// A float64 as Python's repr writes it (the shortest text that reads back
// as the same value; fixed notation for decimal exponents -4 to 15).
void put_number(double x, std::string& out) {
    if (std::isnan(x)) return;
    if (std::isinf(x)) {
        out += x < 0 ? "-inf" : "inf";
        return;
    }
    char buffer[64];
    auto done =
        std::to_chars(buffer, buffer + sizeof buffer - 1, x, std::chars_format::scientific);
    *done.ptr = '\0';
    const char* p = buffer;
    char digits[32];
    int n = 0;
    char text[64];
    int at = 0;
    if (*p == '-') {
        text[at++] = '-';
        ++p;
    }
    for (; *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    const int exponent = std::atoi(p + 1);
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            text[at++] = '0';
            text[at++] = '.';
            for (int k = 0; k < -exponent - 1; ++k) text[at++] = '0';
            for (int k = 0; k < n; ++k) text[at++] = digits[k];
        } else if (n <= exponent + 1) {
            for (int k = 0; k < n; ++k) text[at++] = digits[k];
            for (int k = n; k < exponent + 1; ++k) text[at++] = '0';
            text[at++] = '.';
            text[at++] = '0';
        } else {
            for (int k = 0; k <= exponent; ++k) text[at++] = digits[k];
            text[at++] = '.';
            for (int k = exponent + 1; k < n; ++k) text[at++] = digits[k];
        }
        out.append(text, size_t(at));
        return;
    }
    text[at++] = digits[0];
    if (n > 1) {
        text[at++] = '.';
        for (int k = 1; k < n; ++k) text[at++] = digits[k];
    }
    at += std::snprintf(text + at, sizeof text - size_t(at), "e%c%02d", exponent < 0 ? '-' : '+',
                        std::abs(exponent));
    out.append(text, size_t(at));
}

// The site table's rows: the six BED columns of each line of `data` as
// split_bed found them (a missing name is ., a missing score 0, the strand
// - or +), then each column of `values` (float64, sites x columns): in
// the kinds of `kinds`, 'f' as repr writes it and 'i' as an integer, a
// NaN as nothing.
PyObject* format_rows(PyObject*, PyObject* args) {
    Py_buffer data;
    PyObject *fields_object, *columns_object, *values_object;
    const char* kinds;
    if (!PyArg_ParseTuple(args, "y*OOOs:format_rows", &data, &fields_object, &columns_object,
                          &values_object, &kinds))
        return nullptr;
    ArrayArgument fields, columns, values;
    bool taken = fields.take(fields_object, "fields", 'q', false) &&
                 columns.take(columns_object, "columns", 'q', false) &&
                 values.take(values_object, "values", 'd', false);
    const Py_ssize_t n = columns.size(), width = Py_ssize_t(std::strlen(kinds));
    if (taken) {
        bool fits = fields.size() == 14 * n && values.size() == width * n;
        for (Py_ssize_t r = 0; fits && r < n; ++r)
            for (int k = 0; fits && k < 12; k += 2)
                fits = fields.data<int64_t>()[14 * r + k] >= 0 &&
                       fields.data<int64_t>()[14 * r + k] <= fields.data<int64_t>()[14 * r + k + 1] &&
                       fields.data<int64_t>()[14 * r + k + 1] <= data.len;
        if (!fits) {
            PyErr_SetString(PyExc_ValueError, "format_rows: sizes do not agree");
            taken = false;
        }
    }
    if (!taken) {
        PyBuffer_Release(&data);
        return nullptr;
    }
    std::string out;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        const char* text = static_cast<const char*>(data.buf);
        out.reserve(size_t(n) * size_t(40 + 20 * width));
        for (Py_ssize_t r = 0; r < n; ++r) {
            const int64_t* f = fields.data<int64_t>() + 14 * r;
            const int64_t count = columns.data<int64_t>()[r];
            for (int k = 0; k < 3; ++k) {
                out.append(text + f[2 * k], size_t(f[2 * k + 1] - f[2 * k]));
                out += '\t';
            }
            if (count > 3) out.append(text + f[6], size_t(f[7] - f[6]));
            else out += '.';
            out += '\t';
            if (count > 4) out.append(text + f[8], size_t(f[9] - f[8]));
            else out += '0';
            out += '\t';
            bool minus = false;
            if (count > 5) {
                const char* a = text + f[10];
                const char* b = text + f[11];
                while (a < b && is_space(static_cast<unsigned char>(*a))) ++a;
                while (b > a && is_space(static_cast<unsigned char>(b[-1]))) --b;
                minus = b - a == 1 && *a == '-';
            }
            out += minus ? '-' : '+';
            const double* v = values.data<double>();
            for (Py_ssize_t c = 0; c < width; ++c) {
                out += '\t';
                const double x = v[r * width + c];
                if (kinds[c] == 'i') {
                    if (!std::isnan(x)) out += std::to_string(static_cast<long long>(x));
                } else {
                    put_number(x, out);
                }
            }
            out += '\n';
        }
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&data);
    if (no_memory) return PyErr_NoMemory();
    return PyBytes_FromStringAndSize(out.data(), Py_ssize_t(out.size()));
}

PyMethodDef module_functions[] = {
    {"track", track, METH_VARARGS,
     "track(values, lo, start, end, half, flank, out)\n\n"
     "Fill out (float64, positions start..end-1) with the footprint score of\n"
     "each position p: the mean of the flanks of `flank` positions either side\n"
     "of [p - half, p + half], less the mean over that centre, from the float32\n"
     "values of positions lo..lo+len-1 (NaN, or outside: no value)."},
    {"sites", sites, METH_VARARGS,
     "sites(values, at, lo, size, starts, ends, minus, flank, means, counts, spread)\n\n"
     "Per site: the means (NaN over no value) and the numbers of values over\n"
     "[start, end) and over `flank` positions either side, left and right as the\n"
     "site reads (minus: nonzero on -), in rows centre, left, right of means and\n"
     "counts (3 x sites), and in spread the standard deviation of the values\n"
     "over the centre and both flanks together."},
    {"profile", profile, METH_VARARGS,
     "profile(values, at, lo, size, centres, minus, rows, reach, factor, sums, counts)\n\n"
     "Add each site's values times `factor` at offsets -reach..reach from its\n"
     "centre (as it reads) to row rows[s] of the exact sums (two int64 per cell)\n"
     "and counts; a negative row: left out."},
    {"fixed_sums", fixed_sums, METH_VARARGS,
     "fixed_sums(rows, values, sums, counts)\n\n"
     "Add each value (NaN: left out) to row rows[s] of the exact sums (two int64\n"
     "per row, units of 2**-60) and counts; a negative row: left out."},
    {"split_bed", split_bed, METH_VARARGS,
     "split_bed(data, first, chrom_names, motif_names, numbers, fields, columns, starts,\n"
     "          ends, strands, flags, chroms, motifs)\n\n"
     "The BED lines of `data` (whole lines, the first numbered `first`) into\n"
     "the arrays (room for every line; fields: 14 per line), the sequence and\n"
     "motif names as their index in the dicts (bytes to int; a new motif name\n"
     "is added); returns how many records were found."},
    {"format_rows", format_rows, METH_VARARGS,
     "format_rows(data, fields, columns, values, kinds)\n\n"
     "The site table's rows (bytes) of the lines split_bed found in `data`,\n"
     "with the columns of `values` (kinds: f float, i integer) after them."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_footprints",
    "Footprint scores of a signal track (private).",
    0, module_functions, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__footprints(void) { return PyModuleDef_Init(&module_def); }
