// Dinucleotide model loops: pair counting, the pair probability tables and
// window scoring.
//
// Every sum here adds the same operands in the same order as the plain
// textbook loop, so results are bit-identical to it; the speed comes from
// hoisting per-call work out of the window loop and from running the four
// candidate bases of one position side by side.  That holds only as compiled
// by meson.build: -ffp-contract=off (no fused multiply-add) and never
// -ffast-math (no reassociation, and pow and log2 from the C library).
#pragma once

#include "strided.hpp"
#include "window_memo.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

namespace corlap::kernels {

// Adds `amount` to table[codes[m], codes[n], m, n] for every ordered pair of
// positions, m outer and n inner.  The codes have been checked to lie in
// 0..4 and the table to cover them.  The literal order matters only for
// tables whose strides make entries overlap.
inline void add_pairs(const View4& table, const int32_t* codes, int64_t length,
                      double amount) {
    for (int64_t m = 0; m < length; ++m) {
        const int64_t sm = codes[m];
        for (int64_t n = 0; n < length; ++n) {
            char* entry = at(table, sm, codes[n], m, n);
            store<double>(entry, load<double>(entry) + amount);
        }
    }
}

// ---------------------------------------------------------------------------
// Pair probability tables.

// The operands of one side (bias or background) of the pair-table step.
struct PairSide {
    View4 counts;       // read
    View2 pwm;          // read
    View4 dwm;          // written
    double pseudo;      // the pseudo-count, already a double
    double denominator; // float(no + pseudo)
};

// Does NumPy's scalar arithmetic compute r = a (op) b without any
// floating-point warning (or error, under np.seterr)?  Conservative: false
// for any result that is NaN from non-NaN operands, infinite from finite
// ones, or tiny (a possible underflow).  Callers then take the slow path
// that lets NumPy itself report it.
inline bool quiet_result(double a, double b, double r) {
    if (std::isnan(r)) {
        return std::isnan(a) || std::isnan(b);
    }
    if (std::isinf(r)) {
        return std::isinf(a) || std::isinf(b);
    }
    if (r == 0.0) {
        // An exact zero from a sum is fine; a product or quotient of two
        // non-zero operands that gives zero underflowed.
        return true;
    }
    return std::fabs(r) >= std::numeric_limits<double>::min();
}

inline double pair_entry(const PairSide& side, int64_t sm, int64_t sn, int64_t m, int64_t n,
                         bool* quiet) {
    const double count = load<double>(at(side.counts, sm, sn, m, n));
    const double p_n = load<double>(at(side.pwm, sn, n));
    const double p_m = load<double>(at(side.pwm, sm, m));
    const double first = side.pseudo * p_n;
    const double product = first * p_m;
    const double numerator = count + product;
    const double value = numerator / side.denominator;
    if (quiet != nullptr) {
        const bool mul_ok = quiet_result(side.pseudo, p_n, first) &&
                            (first != 0.0 || side.pseudo == 0.0 || p_n == 0.0) &&
                            quiet_result(first, p_m, product) &&
                            (product != 0.0 || first == 0.0 || p_m == 0.0);
        const bool add_ok =
            std::isnan(numerator) ? (std::isnan(count) || std::isnan(product))
                                  : (!std::isinf(numerator) || std::isinf(count) ||
                                     std::isinf(product));
        const bool div_ok = quiet_result(numerator, side.denominator, value) &&
                            (value != 0.0 || numerator == 0.0) && side.denominator != 0.0;
        if (!(mul_ok && add_ok && div_ok)) {
            *quiet = false;
        }
    }
    return value;
}

// Byte range [first, last) spanned by the first `extent` entries of each
// dimension of a view.
template <int N>
inline void span(const View<N>& view, const int64_t (&extent)[N], const char** first,
                 const char** last) {
    int64_t low = 0;
    int64_t high = 0;
    for (int d = 0; d < N; ++d) {
        const int64_t reach = view.strides[d] * (extent[d] - 1);
        (reach < 0 ? low : high) += reach;
    }
    *first = view.data + low;
    *last = view.data + high + 8;
}

inline bool disjoint(const char* a0, const char* a1, const char* b0, const char* b1) {
    return a1 <= b0 || b1 <= a0;
}

// Does each of the first `extent` entries of every dimension have its own 8
// bytes?  Taking the dimensions from the smallest step to the largest, each
// step must clear everything the smaller ones reach: then no two index
// tuples meet, in any order of the dimensions and for negative strides too.
inline bool entries_distinct(const View4& view, const int64_t (&extent)[4]) {
    int order[4] = {0, 1, 2, 3};
    std::sort(order, order + 4, [&view](int a, int b) {
        return std::llabs(view.strides[a]) < std::llabs(view.strides[b]);
    });
    int64_t reach = 8;  // bytes spanned by one entry of the dimensions so far
    for (const int d : order) {
        if (extent[d] <= 1) continue;
        const int64_t step = std::llabs(view.strides[d]);
        if (step < reach) return false;
        reach += step * (extent[d] - 1);
    }
    return true;
}

// Do distinct entries of the written tables lie in distinct memory, apart
// from every table read?  Then each entry depends only on inputs that no
// write changes, and the entries may be computed in any order.
inline bool pair_tables_independent(const PairSide& bias, const PairSide& background,
                                    int64_t length) {
    const int64_t pair_extent[4] = {5, 5, length, length};
    const int64_t position_extent[2] = {5, length};
    const char* reads[4][2];
    span(bias.counts, pair_extent, &reads[0][0], &reads[0][1]);
    span(background.counts, pair_extent, &reads[1][0], &reads[1][1]);
    span(bias.pwm, position_extent, &reads[2][0], &reads[2][1]);
    span(background.pwm, position_extent, &reads[3][0], &reads[3][1]);
    const View4* written[2] = {&bias.dwm, &background.dwm};
    const char* writes[2][2];
    for (int w = 0; w < 2; ++w) {
        const View4& t = *written[w];
        if (!entries_distinct(t, pair_extent)) return false;
        span(t, pair_extent, &writes[w][0], &writes[w][1]);
        for (const auto& read : reads) {
            if (!disjoint(writes[w][0], writes[w][1], read[0], read[1])) return false;
        }
    }
    return disjoint(writes[0][0], writes[0][1], writes[1][0], writes[1][1]);
}

// Calls visit(side, sm, sn, m, n) for every entry of both sides, in memory
// order (one side, then the other).  Only for tables that
// pair_tables_independent accepts: there no entry depends on another, so
// the order of the item-by-item loop (m, n, Sm, Sn; bias before background)
// need not be kept.
template <class Visit>
inline void for_each_pair_entry(const PairSide& bias, const PairSide& background,
                                int64_t length, Visit&& visit) {
    for (const PairSide* side : {&bias, &background}) {
        for (int64_t sm = 0; sm < 5; ++sm) {
            for (int64_t sn = 0; sn < 5; ++sn) {
                for (int64_t m = 0; m < length; ++m) {
                    for (int64_t n = 0; n < length; ++n) {
                        visit(*side, sm, sn, m, n);
                    }
                }
            }
        }
    }
}

// True when every entry of both sides can be computed without any
// floating-point event that NumPy's scalar arithmetic would report.  It
// looks at the operands before any entry is written, which is what the fill
// then reads only because the tables are independent.
inline bool pair_tables_quiet(const PairSide& bias, const PairSide& background,
                              int64_t length) {
    bool quiet = true;
    for_each_pair_entry(bias, background, length,
                        [&quiet](const PairSide& side, int64_t sm, int64_t sn, int64_t m,
                                 int64_t n) { pair_entry(side, sm, sn, m, n, &quiet); });
    return quiet;
}

// (count + (pseudo * pwm[Sn, n]) * pwm[Sm, m]) / denominator for every entry
// of independent tables.
inline void fill_pair_tables(const PairSide& bias, const PairSide& background,
                             int64_t length) {
    for_each_pair_entry(bias, background, length,
                        [](const PairSide& side, int64_t sm, int64_t sn, int64_t m, int64_t n) {
                            store<double>(at(side.dwm, sm, sn, m, n),
                                          pair_entry(side, sm, sn, m, n, nullptr));
                        });
}

// ---------------------------------------------------------------------------
// Scoring.

// Four doubles, one per candidate base, as two 128-bit halves: the native
// vector width of both x86_64 (SSE2) and AArch64 (NEON), so GCC keeps them
// in registers (a single 32-byte generic vector goes through the stack
// there).  Lane-wise adds are ordinary IEEE additions, so each lane is the
// plain scalar sum.
typedef double Pair __attribute__((vector_size(16)));

struct Lanes {
    Pair low;   // candidates 0 and 1
    Pair high;  // candidates 2 and 3
    double operator[](int64_t a) const { return a < 2 ? low[a] : high[a - 2]; }
};

inline void add_lanes(Lanes& sums, const Lanes& terms) {
    sums.low += terms.low;
    sums.high += terms.high;
}

// Per-call layout of one side's logarithm tables.
//
// delta[(m * L + n) * 4 + s] holds, in lane a, DWM[s, a, n, m] - PWM[a, m]:
// the term that position n with code s adds to prod_log of candidate a at
// the predicted position m.  For one m the terms of all other positions lie
// next to each other, so the four prod_log sums of m are L loads and lane
// adds into two registers, in increasing n as the sums require.
//
// The n = m terms, which the sums skip, are stored as +0.0: the sums start
// at +0.0 and a sum that starts at +0.0 can never become -0.0 (x + y is -0.0
// only when both are -0.0), and for any other x, x + 0.0 is x bit for bit
// (NaN payloads and infinities included).  So adding them changes nothing
// and the inner loop needs no branch.
struct ScoreSide {
    const Lanes* delta;  // 4 * L * L lane groups
    const double* pwm;   // pwm[a * L + m] = PWM[a, m], a in 0..3
    bool wide;           // the processor adds four doubles at once (AVX2)
};

// The candidate sums of every position, prod_log[m] lane a = the sum over n
// in increasing order of delta[(m * L + n) * 4 + codes[n]] lane a.
inline void prod_log_sums(const Lanes* delta, const int64_t* codes, int64_t length,
                          Lanes* prod_log) {
    for (int64_t m = 0; m < length; ++m) {
        const Lanes* terms = delta + m * length * 4;
        Lanes sums = {Pair{0.0, 0.0}, Pair{0.0, 0.0}};
        for (int64_t n = 0; n < length; ++n) {
            add_lanes(sums, terms[n * 4 + codes[n]]);
        }
        prod_log[m] = sums;
    }
}

#if defined(__x86_64__)
// The same sums with the four lanes in one 256-bit register: the same IEEE
// additions, lane by lane, in the same order, so the same bits.
typedef double Quad __attribute__((vector_size(32)));

[[gnu::target("avx2")]] inline void prod_log_sums_wide(const Lanes* delta, const int64_t* codes,
                                                     int64_t length, Lanes* prod_log) {
    static_assert(sizeof(Lanes) == sizeof(Quad), "four doubles, candidates in order");
    for (int64_t m = 0; m < length; ++m) {
        const Lanes* terms = delta + m * length * 4;
        Quad sums = {0.0, 0.0, 0.0, 0.0};
        for (int64_t n = 0; n < length; ++n) {
            Quad term;
            std::memcpy(&term, &terms[n * 4 + codes[n]], sizeof term);
            sums += term;
        }
        std::memcpy(&prod_log[m], &sums, sizeof sums);
    }
}

inline bool wide_lanes_available() {
    return __builtin_cpu_supports("avx2");
}
#else
inline void prod_log_sums_wide(const Lanes* delta, const int64_t* codes, int64_t length,
                               Lanes* prod_log) {
    prod_log_sums(delta, codes, length, prod_log);
}

inline bool wide_lanes_available() {
    return false;
}
#endif

inline void build_score_side(const View2& pwm, const View4& dwm, int64_t length, Lanes* delta,
                             double* pwm_rows) {
    for (int64_t a = 0; a < 4; ++a) {
        for (int64_t m = 0; m < length; ++m) {
            pwm_rows[a * length + m] = load<double>(at(pwm, a, m));
        }
    }
    for (int64_t m = 0; m < length; ++m) {
        for (int64_t n = 0; n < length; ++n) {
            for (int64_t s = 0; s < 4; ++s) {
                double terms[4] = {0.0, 0.0, 0.0, 0.0};
                if (m != n) {
                    for (int a = 0; a < 4; ++a) {
                        terms[a] = load<double>(at(dwm, s, a, n, m)) -
                                   pwm_rows[a * length + m];
                    }
                }
                Lanes& group = delta[(m * length + n) * 4 + s];
                group.low = Pair{terms[0], terms[1]};
                group.high = Pair{terms[2], terms[3]};
            }
        }
    }
}

// Sum over the window's positions of log2 P(code at m | rest of window)
// under one side's tables.  `codes` are the window's L codes, all in 0..3,
// `key` the same codes packed (see window_memo.hpp); `prod_log` is scratch
// room for L lane groups.  The log2 of the normalisers of positions
// m >= fixed are kept in kept[m] (indexed by the codes after m) at the
// windows whose code at m is 0, and read back at the others (fill_memo);
// with fixed = L, nothing is kept and every one is computed.
//
// All prod_log sums are formed before the first pow call: the sums of
// different positions are independent chains of adds that the processor
// overlaps, which it cannot do across a library call.
inline double kept_log_probability(const ScoreSide& side, const int64_t* codes,
                                   int64_t length, int64_t fixed, uint64_t key,
                                   double* const* kept, Lanes* prod_log) {
    if (side.wide) {
        prod_log_sums_wide(side.delta, codes, length, prod_log);
    } else {
        prod_log_sums(side.delta, codes, length, prod_log);
    }
    double score_log = 0.0;
    for (int64_t m = 0; m < length; ++m) {
        const Lanes sums = prod_log[m];
        const int64_t sm = codes[m];
        double log_normaliser;
        if (m < fixed || sm == 0) {
            double normaliser = 0.0;
            for (int a = 0; a < 4; ++a) {
                normaliser = normaliser + std::pow(2.0, side.pwm[a * length + m] + sums[a]);
            }
            log_normaliser = std::log2(normaliser);
            if (m >= fixed) {
                kept[m][key & ((uint64_t{1} << (2 * (length - 1 - m))) - 1)] = log_normaliser;
            }
        } else {
            log_normaliser = kept[m][key & ((uint64_t{1} << (2 * (length - 1 - m))) - 1)];
        }
        const double proba = (sums[sm] + side.pwm[sm * length + m]) - log_normaliser;
        score_log = score_log + proba;
    }
    return score_log;
}

// The same, every normaliser computed.
inline double window_log_probability(const ScoreSide& side, const int64_t* codes,
                                     int64_t length, Lanes* prod_log) {
    return kept_log_probability(side, codes, length, length, 0, nullptr, prod_log);
}

// Writes the score of every window free of codes outside 0..3 to
// scores[i + offset]; other entries are left as they are.  `window` and
// `prod_log` are scratch room for L codes and L lane groups.  Out of line,
// so that the registers of the scoring loop do not depend on what the
// calling body does around it.
[[gnu::noinline]] inline void score_windows(const View1& sequence, int64_t sequence_length, int64_t length,
                          int64_t offset, const ScoreSide& bias, const ScoreSide& background,
                          const View1& scores, int64_t* window, Lanes* prod_log) {
    const int64_t last_start = sequence_length - length;
    // First position at or after the current one holding a code outside
    // 0..3; a window reaching it is skipped whole.
    int64_t bad = 0;
    auto next_bad = [&](int64_t from) {
        int64_t p = from;
        while (p < sequence_length) {
            const uint64_t code = static_cast<uint64_t>(code_at(sequence, p));
            if (code > 3) {
                break;
            }
            ++p;
        }
        return p;
    };
    bad = next_bad(0);
    for (int64_t i = 0; i <= last_start; ++i) {
        if (bad < i) {
            bad = next_bad(i);
        }
        if (bad < i + length) {
            i = bad;  // the loop's ++i moves past it
            continue;
        }
        // Read again here, after the scan: a sequence changed meanwhile (by a
        // thread that breaks the promise to leave it alone while a call
        // scores without the GIL) gives wrong scores, never a look-up
        // outside the tables.
        for (int64_t k = 0; k < length; ++k) {
            window[k] = code_at(sequence, i + k) & 3;
        }
        const double background_log =
            window_log_probability(background, window, length, prod_log);
        const double bias_log = window_log_probability(bias, window, length, prod_log);
        store<double>(scores.data + (i + offset) * scores.strides[0], bias_log - background_log);
    }
}

// The same scores through a memo of windows already scored (see
// window_memo.hpp), for windows of at most WindowMemo::max_length bases.
// The memo must have been filled under exactly `bias` and `background` and
// the current floating-point mode.  A window not in the memo is scored from
// codes unpacked from its key, which are the codes the plain loop reads, by
// the same function, so every score is bit for bit the plain loop's.
//
// Keys roll along the sequence; clean windows are gathered in blocks.  A
// block is served in two passes: first the windows found in the memo, with
// the entry of a window a little ahead fetched from memory while the current
// one is served; then the windows not found, one after another, so that the
// per-call tables stay in the nearest caches while they are scored.
struct MemoTally {
    int64_t scored;  // windows computed
    int64_t reused;  // windows copied from the memo
};

[[gnu::noinline]] inline MemoTally score_windows_memo(const View1& sequence, int64_t sequence_length,
                                                 int64_t length, int64_t offset,
                                                 const ScoreSide& bias,
                                                 const ScoreSide& background,
                                                 const View1& scores, WindowMemo& memo,
                                                 int64_t* window, Lanes* prod_log) {
    constexpr int64_t block = 2048;
    constexpr int64_t ahead = 32;
    int64_t starts[block];
    uint64_t keys[block];
    int64_t count = 0;
    int64_t clean_windows = 0;
    int64_t scored = 0;
    auto put = [&](int64_t start, double score) {
        store<double>(scores.data + (start + offset) * scores.strides[0], score);
    };
    auto serve = [&]() {
        for (int64_t j = 0; j < count && j < ahead; ++j) memo.prefetch(keys[j]);
        int64_t missing = 0;
        for (int64_t j = 0; j < count; ++j) {
            if (j + ahead < count) memo.prefetch(keys[j + ahead]);
            double score;
            if (memo.find(keys[j], &score)) {
                put(starts[j], score);
            } else {
                // Gathered at the front: j >= missing, so nothing unread is
                // overwritten.
                starts[missing] = starts[j];
                keys[missing] = keys[j];
                ++missing;
            }
        }
        if (missing > 0) memo.prefetch(keys[0]);
        for (int64_t j = 0; j < missing; ++j) {
            // Scoring a window takes long enough for the next entry to arrive.
            if (j + 1 < missing) memo.prefetch(keys[j + 1]);
            const uint64_t key = keys[j];
            double score;
            // An earlier window of this block may have had the same codes.
            if (!memo.find(key, &score)) {
                for (int64_t k = 0; k < length; ++k) {
                    window[k] = static_cast<int64_t>((key >> (2 * (length - 1 - k))) & 3);
                }
                const double background_log =
                    window_log_probability(background, window, length, prod_log);
                const double bias_log = window_log_probability(bias, window, length, prod_log);
                score = bias_log - background_log;
                memo.insert(key, score);
                ++scored;
            }
            put(starts[j], score);
        }
        count = 0;
    };
    const uint64_t mask = (uint64_t{1} << (2 * length)) - 1;
    uint64_t key = 0;
    int64_t clean = 0;  // clean codes ending at p
    for (int64_t p = 0; p < sequence_length; ++p) {
        const uint64_t code = static_cast<uint64_t>(code_at(sequence, p));
        if (code > 3) {
            clean = 0;
            continue;
        }
        key = ((key << 2) | code) & mask;
        if (++clean >= length) {
            starts[count] = p - length + 1;
            keys[count] = key;
            ++clean_windows;
            if (++count == block) serve();
        }
    }
    serve();
    return MemoTally{scored, clean_windows - scored};
}

// The memo's direct table filled whole, a block of windows at a time, for a
// caller that will score many more windows than the table has entries (a
// genome): every score is then copied, and computing them all costs less
// than computing, one at a time, the windows the sequences bring.
//
// Why it costs less: the normaliser of position m (the sum over the four
// bases of 2^(pwm + prod_log sum)) does not depend on the window's own code
// at m, since the pair terms of m with itself are +0.0 for every code (see
// ScoreSide).  So the four windows that differ only at m share it, and its
// log2.  A block is the 4^(L - fixed) windows that share their first
// `fixed` codes, taken in key order: for each position m >= fixed the
// log2 of the normaliser is computed at the window whose code at m is 0,
// and kept, under the codes after m, for the three that follow.  Positions
// before `fixed` are computed for every window, which keeps what is kept
// small (4^(L - 1 - fixed) values at the most).  Each score is made of the
// operations of window_log_probability, in the same order: only repeated
// calls are left out, so the bits are the same.
//
// Processes sharing the table fill each block once between them: a block
// is taken by claiming the entry of its first window (WindowMemo::claim),
// and a block whose first window is already there is left alone (windows
// it lacks are scored one at a time, as ever).  There are at least 16
// blocks, so that several workers share the filling; what is kept covers
// at most 10 positions.
constexpr int64_t kept_positions = 10;
constexpr int64_t least_fixed_positions = 2;

inline int64_t fill_fixed_positions(int64_t length) {
    const int64_t fixed = length > kept_positions ? length - kept_positions : 0;
    return std::min(length, std::max(fixed, least_fixed_positions));
}


// Fills the blocks of the memo's direct table that nobody has taken; the
// number of windows scored.  Room for what is kept is allocated here (a
// few MB); without it, nothing is filled.  `window` and `prod_log` are
// scratch room for L codes and L lane groups.
[[gnu::noinline]] inline int64_t fill_memo(int64_t length, const ScoreSide& bias,
                                           const ScoreSide& background, WindowMemo& memo,
                                           int64_t* window, Lanes* prod_log) {
    if (length < 1 || length > WindowMemo::max_direct_length || !memo.direct()) return 0;
    const int64_t fixed = fill_fixed_positions(length);
    const int shift = static_cast<int>(2 * (length - fixed));
    const uint64_t blocks = uint64_t{1} << (2 * fixed);
    std::unique_ptr<double[]> room;
    double* kept[2][WindowMemo::max_direct_length] = {};
    int64_t scored = 0;
    for (uint64_t block = 0; block < blocks; ++block) {
        const uint64_t first = block << shift;
        if (!memo.claim(first)) continue;
        if (room == nullptr) {
            size_t per_side = 0;
            for (int64_t m = fixed; m < length; ++m) per_side += size_t{1} << (2 * (length - 1 - m));
            room.reset(new (std::nothrow) double[2 * per_side]);
            if (room == nullptr) return scored;     // the claimed block is scored as it comes
            double* at = room.get();
            for (int side = 0; side < 2; ++side) {
                for (int64_t m = fixed; m < length; ++m) {
                    kept[side][m] = at;
                    at += size_t{1} << (2 * (length - 1 - m));
                }
            }
        }
        const uint64_t end = first + (uint64_t{1} << shift);
        for (uint64_t key = first; key < end; ++key) {
            for (int64_t k = 0; k < length; ++k) {
                window[k] = static_cast<int64_t>((key >> (2 * (length - 1 - k))) & 3);
            }
            const double background_log =
                kept_log_probability(background, window, length, fixed, key, kept[1], prod_log);
            const double bias_log =
                kept_log_probability(bias, window, length, fixed, key, kept[0], prod_log);
            memo.insert(key, bias_log - background_log);
        }
        scored += static_cast<int64_t>(end - first);
    }
    return scored;
}

}  // namespace corlap::kernels
