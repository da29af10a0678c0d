// Motif scanning kernels of corlap.scan: every window of a sequence against
// many score matrices in one pass, and the score distributions behind the
// thresholds.
//
// One pass for all matrices.  Each matrix picks a filter window of q
// neighbouring columns (the q most telling ones); a table indexed by the
// q bases at a position lists the matrices whose window, holding those
// bases, could still reach the matrix's threshold with the best bases
// everywhere else.  So each position costs one look-up, and only the
// matrices listed there are looked at further, most telling column first,
// each stopped as soon as even the best remaining bases could not reach its
// threshold.  A window that passes is scored once more, column by column
// in the motif's own order, and that sum alone decides and is reported:
// a score never depends on the filter, the chunk or the order of the work.
//
// Codes: A 0, C 1, G 2, T 3, anything else 4 (never part of a scored window).
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
#include <numeric>
#include <vector>

namespace {

constexpr double kMinusInf = -std::numeric_limits<double>::infinity();
// The filter and the early stops compare sums taken in another order than
// the reported score's, so they give way by this much: they may let a
// window through to the exact sum, never turn one away that reaches it.
constexpr double kSlack = 1e-9;

struct Buffer {
    Py_buffer view{};
    bool held = false;
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
    bool take(PyObject* object, const char* name, Py_ssize_t itemsize) {
        if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS) != 0) return false;
        held = true;
        if (view.len % itemsize != 0) {
            PyErr_Format(PyExc_TypeError, "%s: %zd bytes is no whole number of %zd-byte items",
                         name, view.len, itemsize);
            return false;
        }
        return true;
    }
    Py_ssize_t size(Py_ssize_t itemsize) const { return view.len / itemsize; }
    template <class T> const T* data() const { return static_cast<const T*>(view.buf); }
};

struct Matrix {
    int length = 0;
    int offset = 0;      // first column of the filter window
    bool minus = false;  // reported sum runs from the last column to the first
    double threshold = 0;
    std::vector<double> table;  // length x 5: codes 0..3, then 4 (-inf)
    std::vector<int> order;     // columns outside the window, most telling first
    std::vector<double> rest;   // rest[k]: best sum of columns order[k..]
};

struct Scanner {
    int q = 0;
    std::vector<Matrix> matrices;
    std::vector<uint32_t> starts;  // 4^q + 1 offsets into ids and partials
    std::vector<uint32_t> ids;
    std::vector<double> partials;  // the window's sum for that entry
    std::vector<int> shorts;       // matrices shorter than q
};

double column_max(const Matrix& m, int j) {
    const double* c = &m.table[size_t(j) * 5];
    return std::max(std::max(c[0], c[1]), std::max(c[2], c[3]));
}

double column_min(const Matrix& m, int j) {
    const double* c = &m.table[size_t(j) * 5];
    return std::min(std::min(c[0], c[1]), std::min(c[2], c[3]));
}

double exact_score(const Matrix& m, const uint8_t* w) {
    double score = 0.0;
    if (!m.minus) {
        for (int j = 0; j < m.length; ++j) score += m.table[size_t(j) * 5 + w[j]];
    } else {
        for (int j = m.length - 1; j >= 0; --j) score += m.table[size_t(j) * 5 + w[j]];
    }
    return score;
}

void scanner_free(PyObject* capsule) {
    delete static_cast<Scanner*>(PyCapsule_GetPointer(capsule, "corlap._scan.Scanner"));
}

// prepare(tables, lengths, minus, thresholds, q) -> scanner
PyObject* prepare(PyObject*, PyObject* args) {
    PyObject *tables_object, *lengths_object, *minus_object, *thresholds_object;
    int q;
    if (!PyArg_ParseTuple(args, "OOOOi:prepare", &tables_object, &lengths_object, &minus_object,
                          &thresholds_object, &q))
        return nullptr;
    Buffer tables, lengths, minus, thresholds;
    if (!tables.take(tables_object, "tables", 8) || !lengths.take(lengths_object, "lengths", 8) ||
        !minus.take(minus_object, "minus", 8) ||
        !thresholds.take(thresholds_object, "thresholds", 8))
        return nullptr;
    const Py_ssize_t count = lengths.size(8);
    if (q < 1 || q > 10 || minus.size(8) != count || thresholds.size(8) != count ||
        count >= (Py_ssize_t(1) << 31)) {
        PyErr_SetString(PyExc_ValueError, "prepare: q from 1 to 10 and one length, strand "
                                          "and threshold per matrix");
        return nullptr;
    }
    std::unique_ptr<Scanner> scanner;
    try {
        scanner.reset(new Scanner);
        scanner->q = q;
        const double* values = tables.data<double>();
        Py_ssize_t at = 0;
        for (Py_ssize_t k = 0; k < count; ++k) {
            const int64_t length = lengths.data<int64_t>()[k];
            if (length < 1 || at + 4 * length > tables.size(8)) {
                PyErr_SetString(PyExc_ValueError, "prepare: lengths do not fit the tables");
                return nullptr;
            }
            Matrix m;
            m.length = int(length);
            m.minus = minus.data<int64_t>()[k] != 0;
            m.threshold = thresholds.data<double>()[k];
            m.table.resize(size_t(length) * 5);
            for (int j = 0; j < m.length; ++j) {
                for (int b = 0; b < 4; ++b) m.table[size_t(j) * 5 + b] = values[at + 4 * j + b];
                m.table[size_t(j) * 5 + 4] = kMinusInf;
            }
            at += 4 * length;
            // The window: the q neighbouring columns of widest spread.
            const int width = std::min(q, m.length);
            double best = -1;
            for (int o = 0; o + width <= m.length; ++o) {
                double spread = 0;
                for (int j = o; j < o + width; ++j) spread += column_max(m, j) - column_min(m, j);
                if (spread > best) best = spread, m.offset = o;
            }
            for (int j = 0; j < m.length; ++j)
                if (j < m.offset || j >= m.offset + width) m.order.push_back(j);
            std::stable_sort(m.order.begin(), m.order.end(), [&](int a, int b) {
                return column_max(m, a) - column_min(m, a) > column_max(m, b) - column_min(m, b);
            });
            m.rest.assign(m.order.size() + 1, 0.0);
            for (size_t r = m.order.size(); r-- > 0;)
                m.rest[r] = m.rest[r + 1] + column_max(m, m.order[r]);
            if (m.length < q) scanner->shorts.push_back(int(k));
            scanner->matrices.push_back(std::move(m));
        }
        // The table: every q-mer, every matrix whose window could pass with it.
        const size_t codes = size_t(1) << (2 * q);
        std::vector<std::vector<std::pair<uint32_t, double>>> lists(codes);
        std::vector<double> sums(codes);
        for (size_t k = 0; k < scanner->matrices.size(); ++k) {
            const Matrix& m = scanner->matrices[k];
            const int width = std::min(q, m.length);
            // sums[c]: the window's sum for the bases of q-mer c (first base
            // in the highest bits; columns past a short matrix count 0).
            std::fill(sums.begin(), sums.end(), 0.0);
            for (int j = 0; j < width; ++j) {
                const int shift = 2 * (q - 1 - j);
                const double* column = &m.table[size_t(m.offset + j) * 5];
                for (size_t c = 0; c < codes; ++c) sums[c] += column[(c >> shift) & 3];
            }
            const double floor = m.threshold - m.rest[0] - kSlack * (1 + std::fabs(m.threshold));
            for (size_t c = 0; c < codes; ++c)
                if (sums[c] >= floor) lists[c].emplace_back(uint32_t(k), sums[c]);
        }
        scanner->starts.resize(codes + 1);
        size_t total = 0;
        for (size_t c = 0; c < codes; ++c) {
            scanner->starts[c] = uint32_t(total);
            total += lists[c].size();
            if (total > UINT32_MAX) throw std::bad_alloc();
        }
        scanner->starts[codes] = uint32_t(total);
        scanner->ids.reserve(total);
        scanner->partials.reserve(total);
        for (auto& list : lists) {
            for (auto& [id, partial] : list) {
                scanner->ids.push_back(id);
                scanner->partials.push_back(partial);
            }
            std::vector<std::pair<uint32_t, double>>().swap(list);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return PyCapsule_New(scanner.release(), "corlap._scan.Scanner", scanner_free);
}

struct Hits {
    std::vector<int64_t> starts;
    std::vector<int32_t> ids;
    std::vector<double> scores;
    void add(int64_t s, int32_t id, double score) {
        starts.push_back(s);
        ids.push_back(id);
        scores.push_back(score);
    }
};

// A window that the filter let through: the rest of its columns, most
// telling first, stopped when the threshold is out of reach; then the
// reported sum.
inline void verify(const Scanner& scanner, uint32_t id, double acc, const uint8_t* w, int64_t s,
                   Hits& hits) {
    const Matrix& m = scanner.matrices[id];
    const double floor = m.threshold - kSlack * (1 + std::fabs(m.threshold));
    const size_t n = m.order.size();
    for (size_t r = 0; r < n; ++r) {
        const int j = m.order[r];
        acc += m.table[size_t(j) * 5 + w[j]];
        if (acc + m.rest[r + 1] < floor) return;
    }
    if (!(acc >= floor)) return;  // also a window holding another base (-inf)
    const double score = exact_score(m, w);
    if (score >= m.threshold) hits.add(s, int32_t(id), score);
}

// The windows of short matrices at a position whose q-mer is incomplete
// (near a base other than A, C, G, T, or the end): scored directly.
void scan_shorts(const Scanner& scanner, const uint8_t* codes, int64_t n, int64_t owned,
                 int64_t s, Hits& hits) {
    if (s >= owned) return;
    for (int id : scanner.shorts) {
        const Matrix& m = scanner.matrices[id];
        if (s + m.length > n) continue;
        bool clean = true;
        for (int j = 0; j < m.length; ++j) clean &= codes[s + j] < 4;
        if (!clean) continue;
        const double score = exact_score(m, codes + s);
        if (score >= m.threshold) hits.add(s, id, score);
    }
}

void scan_codes(const Scanner& scanner, const uint8_t* codes, int64_t n, int64_t owned,
                Hits& hits) {
    const int q = scanner.q;
    int max_offset = 0;
    for (const Matrix& m : scanner.matrices) max_offset = std::max(max_offset, m.offset);
    const int64_t last = std::min(n, owned + max_offset);  // q-mer starts looked at
    const uint32_t mask = uint32_t((uint64_t(1) << (2 * q)) - 1);
    uint32_t code = 0;
    int64_t bad = -1;  // the last position holding another base, among those read
    for (int64_t e = 0; e < std::min<int64_t>(q - 1, n); ++e) {
        uint8_t x = codes[e];
        if (x > 3) bad = e, x = 0;
        code = ((code << 2) | x) & mask;
    }
    for (int64_t i = 0; i < last; ++i) {
        const int64_t e = i + q - 1;
        if (e < n) {
            uint8_t x = codes[e];
            if (x > 3) bad = e, x = 0;
            code = ((code << 2) | x) & mask;
        }
        if (e >= n || bad >= i) {
            if (!scanner.shorts.empty()) scan_shorts(scanner, codes, n, owned, i, hits);
            continue;
        }
        const uint32_t end = scanner.starts[code + 1];
        for (uint32_t k = scanner.starts[code]; k < end; ++k) {
            const uint32_t id = scanner.ids[k];
            const Matrix& m = scanner.matrices[id];
            const int64_t s = i - m.offset;
            if (s < 0 || s >= owned || s + m.length > n) continue;
            verify(scanner, id, scanner.partials[k], codes + s, s, hits);
        }
    }
}

template <class T> PyObject* as_bytes(const std::vector<T>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     Py_ssize_t(values.size() * sizeof(T)));
}

// scan(scanner, codes, owned) -> (starts int64, ids int32, scores float64) as bytes
PyObject* scan(PyObject*, PyObject* args) {
    PyObject *capsule, *codes_object;
    long long owned;
    if (!PyArg_ParseTuple(args, "OOL:scan", &capsule, &codes_object, &owned)) return nullptr;
    auto* scanner = static_cast<Scanner*>(PyCapsule_GetPointer(capsule, "corlap._scan.Scanner"));
    if (scanner == nullptr) return nullptr;
    Buffer codes;
    if (!codes.take(codes_object, "codes", 1)) return nullptr;
    const int64_t n = codes.size(1);
    const uint8_t* data = codes.data<uint8_t>();
    for (int64_t k = 0; k < n; ++k)
        if (data[k] > 4) {
            PyErr_SetString(PyExc_ValueError, "codes must be 0 to 4");
            return nullptr;
        }
    Hits hits;
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        scan_codes(*scanner, data, n, std::clamp<int64_t>(owned, 0, n), hits);
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    Py_END_ALLOW_THREADS
    if (failed) return PyErr_NoMemory();
    PyObject* starts = as_bytes(hits.starts);
    PyObject* ids = as_bytes(hits.ids);
    PyObject* scores = as_bytes(hits.scores);
    if (starts == nullptr || ids == nullptr || scores == nullptr) {
        Py_XDECREF(starts);
        Py_XDECREF(ids);
        Py_XDECREF(scores);
        return nullptr;
    }
    return Py_BuildValue("(NNN)", starts, ids, scores);
}

// distribution(grid, background, low) -> bytes: float64 probability of each
// grid sum low..best of a window drawn base by base from the background.
// Partial sums that cannot reach `low` any more are dropped, so the array
// is as wide as the upper tail asked for at every column.
PyObject* distribution(PyObject*, PyObject* args) {
    PyObject *grid_object, *background_object;
    long long low;
    if (!PyArg_ParseTuple(args, "OOL:distribution", &grid_object, &background_object, &low))
        return nullptr;
    Buffer grid, background;
    if (!grid.take(grid_object, "grid", 8) || !background.take(background_object, "background", 8))
        return nullptr;
    if (grid.size(8) % 4 != 0 || background.size(8) != 4) {
        PyErr_SetString(PyExc_ValueError, "distribution: a grid of 4 per column, 4 frequencies");
        return nullptr;
    }
    const int64_t* g = grid.data<int64_t>();
    const double* bg = background.data<double>();
    const int64_t length = grid.size(8) / 4;
    std::vector<int64_t> rest(size_t(length) + 1, 0);
    for (int64_t j = length; j-- > 0;)
        rest[j] = rest[j + 1] + *std::max_element(g + 4 * j, g + 4 * j + 4);
    const int64_t best = rest[0];
    if (low > best) return PyBytes_FromStringAndSize(nullptr, 0);
    const int64_t width = best - low + 1;
    if (width > (int64_t(1) << 28)) {
        PyErr_SetString(PyExc_ValueError, "distribution: grid too fine for that range");
        return nullptr;
    }
    std::vector<double> now, next;
    try {
        now.assign(size_t(width), 0.0);
        next.assign(size_t(width), 0.0);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_BEGIN_ALLOW_THREADS
    // Index v - base[j] holds partial sum v after j columns, base[j] = low - rest[j].
    now[size_t(best - low)] = 1.0;
    for (int64_t j = 0; j < length; ++j) {
        std::fill(next.begin(), next.end(), 0.0);
        const int64_t from = low - rest[j], to = low - rest[j + 1];
        for (int64_t at = 0; at < width; ++at) {
            const double p = now[size_t(at)];
            if (p == 0.0) continue;
            for (int b = 0; b < 4; ++b) {
                const int64_t moved = from + at + g[4 * j + b] - to;
                if (moved >= 0) next[size_t(moved)] += p * bg[b];
            }
        }
        now.swap(next);
    }
    Py_END_ALLOW_THREADS
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(now.data()),
                                     Py_ssize_t(width * sizeof(double)));
}

struct Band {
    const double* table;
    const int64_t* grid;
    const double* bg;
    int64_t length;
    double low, high;
    std::vector<double> best, worst;  // best/worst sum of columns j..
    int64_t nodes = 0, most = 0;
    std::vector<double> scores, probabilities;
    std::vector<int64_t> sums;

    bool walk(int64_t j, double score, double probability, int64_t sum) {
        if (++nodes > most) return false;
        if (j == length) {
            if (score >= low && score <= high) {
                scores.push_back(score);
                probabilities.push_back(probability);
                sums.push_back(sum);
            }
            return true;
        }
        for (int b = 0; b < 4; ++b) {
            const double s = score + table[4 * j + b];
            const double slack = kSlack * (1 + std::fabs(s));
            if (s + best[j + 1] < low - slack || s + worst[j + 1] > high + slack) continue;
            if (!walk(j + 1, s, probability * bg[b], sum + grid[4 * j + b])) return false;
        }
        return true;
    }
};

// band(table, grid, background, low, high, most) -> (scores, probabilities,
// grid sums) of every window whose score (summed column by column in
// order) lies in [low, high], or None after `most` steps of the search.
PyObject* band(PyObject*, PyObject* args) {
    PyObject *table_object, *grid_object, *background_object;
    double low, high;
    long long most;
    if (!PyArg_ParseTuple(args, "OOOddL:band", &table_object, &grid_object, &background_object,
                          &low, &high, &most))
        return nullptr;
    Buffer table, grid, background;
    if (!table.take(table_object, "table", 8) || !grid.take(grid_object, "grid", 8) ||
        !background.take(background_object, "background", 8))
        return nullptr;
    if (table.size(8) % 4 != 0 || grid.size(8) != table.size(8) || background.size(8) != 4) {
        PyErr_SetString(PyExc_ValueError, "band: table and grid of 4 per column, 4 frequencies");
        return nullptr;
    }
    Band walk;
    walk.table = table.data<double>();
    walk.grid = grid.data<int64_t>();
    walk.bg = background.data<double>();
    walk.length = table.size(8) / 4;
    walk.low = low, walk.high = high, walk.most = most;
    walk.best.assign(size_t(walk.length) + 1, 0.0);
    walk.worst.assign(size_t(walk.length) + 1, 0.0);
    for (int64_t j = walk.length; j-- > 0;) {
        const double* c = walk.table + 4 * j;
        walk.best[j] = walk.best[j + 1] + std::max(std::max(c[0], c[1]), std::max(c[2], c[3]));
        walk.worst[j] = walk.worst[j + 1] + std::min(std::min(c[0], c[1]), std::min(c[2], c[3]));
    }
    bool done;
    Py_BEGIN_ALLOW_THREADS
    done = walk.walk(0, 0.0, 1.0, 0);
    Py_END_ALLOW_THREADS
    if (!done) Py_RETURN_NONE;
    PyObject* scores = as_bytes(walk.scores);
    PyObject* probabilities = as_bytes(walk.probabilities);
    PyObject* sums = as_bytes(walk.sums);
    if (scores == nullptr || probabilities == nullptr || sums == nullptr) {
        Py_XDECREF(scores);
        Py_XDECREF(probabilities);
        Py_XDECREF(sums);
        return nullptr;
    }
    return Py_BuildValue("(NNN)", scores, probabilities, sums);
}

PyMethodDef module_functions[] = {
    {"prepare", prepare, METH_VARARGS,
     "prepare(tables, lengths, minus, thresholds, q) -> scanner\n\n"
     "The matrices (float64, 4 per column, A C G T, one after the other), their\n"
     "lengths, strands (int64, nonzero: reported sums run from the last column)\n"
     "and thresholds, with the filter table of q-mers."},
    {"scan", scan, METH_VARARGS,
     "scan(scanner, codes, owned) -> (starts, ids, scores)\n\n"
     "Every window starting before `owned` and lying within the uint8 codes that\n"
     "scores at least its matrix's threshold, by start then matrix; bytes of\n"
     "int64, int32 and float64."},
    {"distribution", distribution, METH_VARARGS,
     "distribution(grid, background, low) -> bytes of float64\n\n"
     "Probability of each integer sum low..best of the int64 grid matrix."},
    {"band", band, METH_VARARGS,
     "band(table, grid, background, low, high, most) -> (scores, probabilities,\n"
     "sums) or None\n\n"
     "Every window scoring from low to high, or None after `most` steps."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_scan",
    "Motif scanning kernels (private).",
    0, module_functions, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__scan(void) { return PyModuleDef_Init(&module_def); }
