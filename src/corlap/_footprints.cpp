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
#include <cmath>
#include <cstdint>
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

// The sites of a batch: site s's window of the signal is values[offsets[s]
// .. offsets[s + 1] - 1], positions lo[s] onwards.
struct Windows {
    ArrayArgument values, offsets, lo;
    bool take(PyObject* values_object, PyObject* offsets_object, PyObject* lo_object,
              Py_ssize_t sites) {
        if (!values.take(values_object, "values", 'f', false) ||
            !offsets.take(offsets_object, "offsets", 'q', false) ||
            !lo.take(lo_object, "lo", 'q', false))
            return false;
        const int64_t* at = offsets.data<int64_t>();
        bool fits = offsets.size() == sites + 1 && lo.size() == sites &&
                    (sites == 0 || (at[0] >= 0 && at[sites] <= values.size()));
        for (Py_ssize_t s = 0; fits && s < sites; ++s) fits = at[s] <= at[s + 1];
        if (!fits) PyErr_SetString(PyExc_ValueError, "windows: sizes do not agree");
        return fits;
    }
    const float* of(Py_ssize_t s) const {
        return values.data<float>() + offsets.data<int64_t>()[s];
    }
    int64_t start(Py_ssize_t s) const { return lo.data<int64_t>()[s]; }
    int64_t size(Py_ssize_t s) const {
        return offsets.data<int64_t>()[s + 1] - offsets.data<int64_t>()[s];
    }
};

PyObject* sites(PyObject*, PyObject* args) {
    PyObject *values_object, *offsets_object, *lo_object, *starts_object, *ends_object,
        *minus_object, *centre_object, *left_object, *right_object, *footprint_object,
        *spread_object;
    long long flank;
    if (!PyArg_ParseTuple(args, "OOOOOOLOOOOO:sites", &values_object, &offsets_object,
                          &lo_object, &starts_object, &ends_object, &minus_object, &flank,
                          &centre_object, &left_object, &right_object, &footprint_object,
                          &spread_object))
        return nullptr;
    ArrayArgument starts, ends, minus, centre, left, right, footprint, spread;
    if (!starts.take(starts_object, "starts", 'q', false) ||
        !ends.take(ends_object, "ends", 'q', false) ||
        !minus.take(minus_object, "minus", 'q', false) ||
        !centre.take(centre_object, "centre", 'd', true) ||
        !left.take(left_object, "left", 'd', true) ||
        !right.take(right_object, "right", 'd', true) ||
        !footprint.take(footprint_object, "footprint", 'd', true) ||
        !spread.take(spread_object, "spread", 'd', true))
        return nullptr;
    const Py_ssize_t n = starts.size();
    Windows windows;
    if (!windows.take(values_object, offsets_object, lo_object, n)) return nullptr;
    if (flank < 1 || ends.size() != n || minus.size() != n || centre.size() != n ||
        left.size() != n || right.size() != n || footprint.size() != n ||
        spread.size() != n) {
        PyErr_SetString(PyExc_ValueError, "sites: sizes do not agree");
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t s = 0; s < n; ++s) {
        const int64_t a = starts.data<int64_t>()[s], b = ends.data<int64_t>()[s];
        const float* v = windows.of(s);
        const int64_t lo = windows.start(s), size = windows.size(s);
        double sums[3];
        int64_t counts[3];
        range_sum(v, lo, size, a - flank, a, &sums[0], &counts[0]);
        range_sum(v, lo, size, a, b, &sums[1], &counts[1]);
        range_sum(v, lo, size, b, b + flank, &sums[2], &counts[2]);
        // On -, the site reads from end to start: its left flank is after end.
        const int l = minus.data<int64_t>()[s] ? 2 : 0, r = 2 - l;
        const double ml = mean(sums[l], counts[l]), mc = mean(sums[1], counts[1]),
                     mr = mean(sums[r], counts[r]);
        left.data<double>()[s] = ml;
        centre.data<double>()[s] = mc;
        right.data<double>()[s] = mr;
        footprint.data<double>()[s] = (ml + mr) / 2.0 - mc;   // NaN when any is
        // The standard deviation of the values of the centre and both
        // flanks together, about their common mean (two passes: the
        // squares of counts in the thousands lose nothing).
        const int64_t all = counts[0] + counts[1] + counts[2];
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
    PyObject *values_object, *offsets_object, *lo_object, *centres_object, *minus_object,
        *groups_object, *sums_object, *counts_object;
    long long reach;
    if (!PyArg_ParseTuple(args, "OOOOOOLOO:profile", &values_object, &offsets_object,
                          &lo_object, &centres_object, &minus_object, &groups_object, &reach,
                          &sums_object, &counts_object))
        return nullptr;
    ArrayArgument centres, minus, groups, sums, counts;
    if (!centres.take(centres_object, "centres", 'q', false) ||
        !minus.take(minus_object, "minus", 'q', false) ||
        !groups.take(groups_object, "groups", 'q', false) ||
        !sums.take(sums_object, "sums", 'd', true) ||
        !counts.take(counts_object, "counts", 'q', true))
        return nullptr;
    const Py_ssize_t n = centres.size();
    Windows windows;
    if (!windows.take(values_object, offsets_object, lo_object, n)) return nullptr;
    const int64_t width = 2 * reach + 1;
    const int64_t kinds = reach >= 0 ? sums.size() / width : 0;
    bool fits = reach >= 0 && minus.size() == n && groups.size() == n &&
                sums.size() == kinds * width && counts.size() == sums.size();
    for (Py_ssize_t s = 0; fits && s < n; ++s)
        fits = groups.data<int64_t>()[s] < kinds;
    if (!fits) {
        PyErr_SetString(PyExc_ValueError, "profile: sizes do not agree");
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t s = 0; s < n; ++s) {
        const int64_t group = groups.data<int64_t>()[s];
        if (group < 0) continue;
        const float* v = windows.of(s);
        const int64_t lo = windows.start(s), size = windows.size(s);
        const int64_t c = centres.data<int64_t>()[s];
        const int64_t step = minus.data<int64_t>()[s] ? -1 : 1;
        double* sum = sums.data<double>() + group * width;
        int64_t* count = counts.data<int64_t>() + group * width;
        for (int64_t k = -reach; k <= reach; ++k) {
            const int64_t q = c + step * k;
            if (q < lo || q >= lo + size) continue;
            const float x = v[q - lo];
            if (std::isnan(x)) continue;
            sum[k + reach] += double(x);
            ++count[k + reach];
        }
    }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"track", track, METH_VARARGS,
     "track(values, lo, start, end, half, flank, out)\n\n"
     "Fill out (float64, positions start..end-1) with the footprint score of\n"
     "each position p: the mean of the flanks of `flank` positions either side\n"
     "of [p - half, p + half], less the mean over that centre, from the float32\n"
     "values of positions lo..lo+len-1 (NaN, or outside: no value)."},
    {"sites", sites, METH_VARARGS,
     "sites(values, offsets, lo, starts, ends, minus, flank, centre, left, right,\n"
     "      footprint, spread)\n\n"
     "Per site: the means over [start, end) and over `flank` positions either\n"
     "side (left and right as the site reads, minus: nonzero on -), their\n"
     "difference (flanks' mean less the centre) in footprint, and in spread\n"
     "the standard deviation of the values over the centre and both flanks\n"
     "together; NaN for a mean over no value."},
    {"profile", profile, METH_VARARGS,
     "profile(values, offsets, lo, centres, minus, groups, reach, sums, counts)\n\n"
     "Add each site's values at offsets -reach..reach from its centre (as it\n"
     "reads) to row groups[s] of sums and counts; a negative group: left out."},
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
