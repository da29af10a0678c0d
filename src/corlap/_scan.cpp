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
#include <string>
#include <cstdio>
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

// A run of up to four neighbouring columns of the early-stopping walk:
// the sum of each of its 4^k words (rounded up to a float, so that the
// walk can only overestimate), looked up with the first k bases of the
// q-mer at its first column; and the best sum of the runs walked after it.
constexpr int kRun = 4;
struct Step {
    int32_t column;
    int32_t shift;  // q-mer code >> shift: the run's word
    double rest;
    const float* sums;
};

struct Matrix {
    int length = 0;
    int offset = 0;      // first column of the filter window
    bool minus = false;  // reported sum runs from the last column to the first
    double threshold = 0;
    double floor = 0;           // threshold less the slack
    std::vector<double> table;  // length x 5: codes 0..3, then 4 (-inf)
    std::vector<int> order;     // columns outside the window, most telling first
    std::vector<double> rest;   // rest[k]: best sum of columns order[k..]
    std::vector<Step> steps;    // the walk: runs of columns, most telling first
    std::vector<float> sums;    // their tables, one after the other
};

// A matrix listed under a q-mer: what its window holding that q-mer sums
// to, and where the window starts from the q-mer.
// The sum is rounded up to a float: a start the walk can only overestimate,
// in a table small enough to stay in cache.
struct Entry {
    float partial;
    uint32_t packed;  // matrix << kOffsetBits | columns before the window
};
constexpr int kOffsetBits = 10;
constexpr uint32_t kMostMatrices = uint32_t(1) << (32 - kOffsetBits);

// What the walk of one matrix reads, side by side for all of them.
struct Head {
    const Step* steps;
    const Step* end;
    double floor;
};

struct Scanner {
    int q = 0;
    std::vector<Matrix> matrices;
    std::vector<uint32_t> starts;  // 4^q + 1 offsets into entries
    std::vector<Entry> entries;
    std::vector<Head> heads;
    std::vector<int> shorts;       // matrices shorter than q
    int longest = 0;
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
        count >= Py_ssize_t(kMostMatrices)) {
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
            for (int o = 0; o + width <= m.length && o < (1 << kOffsetBits); ++o) {
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
            m.floor = m.threshold - kSlack * (1 + std::fabs(m.threshold));
            // The runs: columns left and right of the window, cut into
            // runs of at most kRun, widest spread first.
            std::vector<std::pair<int, int>> runs;  // first column, columns
            for (int j = 0; j < m.offset; j += kRun) runs.push_back({j, std::min(kRun, m.offset - j)});
            for (int j = m.offset + width; j < m.length; j += kRun)
                runs.push_back({j, std::min(kRun, m.length - j)});
            auto spread_of = [&](const std::pair<int, int>& run) {
                double spread = 0;
                for (int j = run.first; j < run.first + run.second; ++j)
                    spread += column_max(m, j) - column_min(m, j);
                return spread;
            };
            std::stable_sort(runs.begin(), runs.end(), [&](const auto& a, const auto& b) {
                return spread_of(a) > spread_of(b);
            });
            std::vector<size_t> at_table;
            for (const auto& [first, columns] : runs) {
                at_table.push_back(m.sums.size());
                const size_t words = size_t(1) << (2 * columns);
                for (size_t word = 0; word < words; ++word) {
                    double sum = 0;
                    for (int c = 0; c < columns; ++c)
                        sum += m.table[size_t(first + c) * 5 + ((word >> (2 * (columns - 1 - c))) & 3)];
                    m.sums.push_back(std::nextafter(float(sum), std::numeric_limits<float>::infinity()));
                }
            }
            double after = 0;
            std::vector<double> rests(runs.size());
            for (size_t r = runs.size(); r-- > 0;) {
                rests[r] = after;
                for (int j = runs[r].first; j < runs[r].first + runs[r].second; ++j)
                    after += column_max(m, j);
            }
            for (size_t r = 0; r < runs.size(); ++r)
                m.steps.push_back({runs[r].first, 2 * (q - runs[r].second), rests[r],
                                   m.sums.data() + at_table[r]});
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
        scanner->entries.reserve(total);
        for (auto& list : lists) {
            for (auto& [id, partial] : list)
                scanner->entries.push_back(
                    {std::nextafter(float(partial), std::numeric_limits<float>::infinity()),
                     id << kOffsetBits | uint32_t(scanner->matrices[id].offset)});
            std::vector<std::pair<uint32_t, double>>().swap(list);
        }
        for (const Matrix& m : scanner->matrices) {
            scanner->heads.push_back({m.steps.data(), m.steps.data() + m.steps.size(), m.floor});
            scanner->longest = std::max(scanner->longest, m.length);
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
inline void verify(const Scanner& scanner, uint32_t id, double acc, const uint32_t* words,
                   const uint8_t* w, int64_t s, Hits& hits) {
    const Head& head = scanner.heads[id];
    const double floor = head.floor;
    for (const Step* step = head.steps; step < head.end; ++step) {
        acc += step->sums[words[step->column] >> step->shift];
        if (acc + step->rest < floor) return;
    }
    if (!(acc >= floor)) return;
    // The reported sum; -inf for a window holding another base, which the
    // words read as A.
    const Matrix& m = scanner.matrices[id];
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

void scan_codes(const Scanner& scanner, const uint8_t* codes, const uint32_t* words, int64_t n,
                int64_t owned, Hits& hits) {
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
        const Entry* entry = scanner.entries.data() + scanner.starts[code];
        const Entry* end = scanner.entries.data() + scanner.starts[code + 1];
        for (; entry < end; ++entry) {
            const int64_t s = i - int64_t(entry->packed & ((1u << kOffsetBits) - 1));
            // (Past the codes the padding holds code 4, which no window passes.)
            if (s < 0 || s >= owned) continue;
            verify(scanner, entry->packed >> kOffsetBits, entry->partial, words + s, codes + s, s,
                   hits);
        }
    }
}

template <class T> PyObject* as_bytes(const std::vector<T>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     Py_ssize_t(values.size() * sizeof(T)));
}

template <class A, class B, class C>
PyObject* three_bytes(const std::vector<A>& a, const std::vector<B>& b, const std::vector<C>& c) {
    PyObject* items[3] = {as_bytes(a), as_bytes(b), as_bytes(c)};
    if (items[0] == nullptr || items[1] == nullptr || items[2] == nullptr) {
        for (PyObject* item : items) Py_XDECREF(item);
        return nullptr;
    }
    return Py_BuildValue("(NNN)", items[0], items[1], items[2]);
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
        // The codes and, after them, code 4 as far as a window can reach.
        const size_t size = size_t(n) + size_t(scanner->longest) + size_t(scanner->q) + 1;
        std::vector<uint8_t> padded(size, 4);
        if (n) std::memcpy(padded.data(), data, size_t(n));
        // The q-mer at every position, other bases read as A.
        std::vector<uint32_t> words(size);
        const int q = scanner->q;
        const uint32_t mask = uint32_t((uint64_t(1) << (2 * q)) - 1);
        uint32_t word = 0;
        for (size_t e = 0; e < size; ++e) {
            word = ((word << 2) | (padded[e] & 3u)) & mask;  // code 4 & 3: A
            if (e + 1 >= size_t(q)) words[e + 1 - q] = word;
        }
        scan_codes(*scanner, padded.data(), words.data(), n, std::clamp<int64_t>(owned, 0, n),
                   hits);
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    Py_END_ALLOW_THREADS
    if (failed) return PyErr_NoMemory();
    return three_bytes(hits.starts, hits.ids, hits.scores);
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
    std::vector<int64_t> order;       // columns, widest spread first
    std::vector<double> best, worst;  // best/worst sum of columns order[d..]
    std::vector<int> bases;           // the window being built
    int64_t nodes = 0, most = 0;
    std::vector<double> scores, probabilities;
    std::vector<int64_t> sums;

    // The search fixes the columns widest first, which prunes soonest; a
    // window found is scored once more in column order.
    bool walk(int64_t d, double partial, double probability, int64_t sum) {
        if (++nodes > most) return false;
        if (d == length) {
            double score = 0.0;
            for (int64_t j = 0; j < length; ++j) score += table[4 * j + bases[size_t(j)]];
            if (score >= low && score <= high) {
                scores.push_back(score);
                probabilities.push_back(probability);
                sums.push_back(sum);
            }
            return true;
        }
        const int64_t j = order[size_t(d)];
        for (int b = 0; b < 4; ++b) {
            const double s = partial + table[4 * j + b];
            const double slack = kSlack * (1 + std::fabs(s) + std::fabs(best[size_t(d) + 1]) +
                                           std::fabs(worst[size_t(d) + 1]));
            if (s + best[size_t(d) + 1] < low - slack || s + worst[size_t(d) + 1] > high + slack)
                continue;
            bases[size_t(j)] = b;
            if (!walk(d + 1, s, probability * bg[b], sum + grid[4 * j + b])) return false;
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
    auto top = [&](int64_t j) {
        const double* c = walk.table + 4 * j;
        return std::max(std::max(c[0], c[1]), std::max(c[2], c[3]));
    };
    auto bottom = [&](int64_t j) {
        const double* c = walk.table + 4 * j;
        return std::min(std::min(c[0], c[1]), std::min(c[2], c[3]));
    };
    walk.order.resize(size_t(walk.length));
    std::iota(walk.order.begin(), walk.order.end(), int64_t(0));
    std::stable_sort(walk.order.begin(), walk.order.end(), [&](int64_t a, int64_t b) {
        return top(a) - bottom(a) > top(b) - bottom(b);
    });
    walk.bases.assign(size_t(walk.length), 0);
    walk.best.assign(size_t(walk.length) + 1, 0.0);
    walk.worst.assign(size_t(walk.length) + 1, 0.0);
    for (int64_t d = walk.length; d-- > 0;) {
        walk.best[size_t(d)] = walk.best[size_t(d) + 1] + top(walk.order[size_t(d)]);
        walk.worst[size_t(d)] = walk.worst[size_t(d) + 1] + bottom(walk.order[size_t(d)]);
    }
    bool done;
    Py_BEGIN_ALLOW_THREADS
    done = walk.walk(0, 0.0, 1.0, 0);
    Py_END_ALLOW_THREADS
    if (!done) Py_RETURN_NONE;
    return three_bytes(walk.scores, walk.probabilities, walk.sums);
}

// lines(chrom, offset, starts, ends, motifs, minus, scores, p_values, names)
// -> bytes: one BED line per hit, the score as repr() writes it (the
// shortest text that reads back as the same double), the p-value as %.6g.
PyObject* lines(PyObject*, PyObject* args) {
    const char* chrom;
    Py_ssize_t chrom_size;
    long long offset;
    PyObject *objects[6], *names;
    if (!PyArg_ParseTuple(args, "y#LOOOOOOO!:lines", &chrom, &chrom_size, &offset, &objects[0],
                          &objects[1], &objects[2], &objects[3], &objects[4], &objects[5],
                          &PyTuple_Type, &names))
        return nullptr;
    Buffer arrays[6];
    const char* what[6] = {"starts", "ends", "motifs", "minus", "scores", "p_values"};
    for (int k = 0; k < 6; ++k)
        if (!arrays[k].take(objects[k], what[k], 8)) return nullptr;
    const Py_ssize_t count = arrays[0].size(8);
    for (int k = 1; k < 6; ++k)
        if (arrays[k].size(8) != count) {
            PyErr_SetString(PyExc_ValueError, "lines: arrays of different lengths");
            return nullptr;
        }
    const Py_ssize_t name_count = PyTuple_GET_SIZE(names);
    std::string text;
    char number[64];
    for (Py_ssize_t h = 0; h < count; ++h) {
        const int64_t motif = arrays[2].data<int64_t>()[h];
        if (motif < 0 || motif >= name_count || !PyBytes_Check(PyTuple_GET_ITEM(names, motif))) {
            PyErr_SetString(PyExc_ValueError, "lines: a motif without a name (bytes)");
            return nullptr;
        }
        PyObject* name = PyTuple_GET_ITEM(names, motif);
        char* score = PyOS_double_to_string(arrays[4].data<double>()[h], 'r', 0, 0, nullptr);
        if (score == nullptr) return nullptr;
        text.append(chrom, size_t(chrom_size));
        int size = std::snprintf(number, sizeof number, "\t%lld\t%lld\t",
                                 (long long)(arrays[0].data<int64_t>()[h] + offset),
                                 (long long)(arrays[1].data<int64_t>()[h] + offset));
        text.append(number, size_t(size));
        text.append(PyBytes_AS_STRING(name), size_t(PyBytes_GET_SIZE(name)));
        text.push_back('\t');
        text.append(score);
        PyMem_Free(score);
        size = std::snprintf(number, sizeof number, "\t%c\t%.6g\n",
                             arrays[3].data<int64_t>()[h] ? '-' : '+',
                             arrays[5].data<double>()[h]);
        text.append(number, size_t(size));
    }
    return PyBytes_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
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
    {"lines", lines, METH_VARARGS,
     "lines(chrom, offset, starts, ends, motifs, minus, scores, p_values, names)\n\n"
     "BED lines of hits (int64 and float64 arrays, names a tuple of bytes)."},
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
