// Counting and window scoring of the mononucleotide model.
//
// Counting adds an amount to one table entry per window position.  Scoring
// sums, for every window of a long sequence, the table entries of the codes
// found at its positions.  Every window's sum starts from 0.0 and adds its
// entries in position order, exactly as the textbook double loop does, so the
// scores are bit-identical to it.  The speed comes from elsewhere:
//
//  - the sequence is turned, one chunk at a time, into compact byte codes, so
//    the inner loop never touches the strided int64 input;
//  - the table is laid out once per call with the entries of one position side
//    by side; for two neighbouring windows the pair of entries they need at a
//    position depends only on the two codes involved, so a "pair table" of the
//    16 code pairs per position gives both addends with one 16-byte load;
//  - eight consecutive windows are summed side by side, so their additions
//    (independent chains) overlap instead of waiting on each other.
//
// Bit-identical only as compiled by meson.build: -ffp-contract=off (no fused
// multiply-add) and never -ffast-math (no reassociation of the sums).
#pragma once

#include "codes.hpp"
#include "strided.hpp"

#include <cstdint>

namespace corlap::kernels {

// ---------------------------------------------------------------- counting

// table[code, m] += amount for the code at every position m < length.  The
// caller has checked the codes; they are checked again as they are used
// because Python code run in between may have rewritten the sequence, and a
// stale check must never turn into a write outside the table.
inline void count_codes(const View1& sequence, int64_t length, const View2& table,
                        double amount) {
    for (int64_t m = 0; m < length; ++m) {
        const int64_t code = code_at(sequence, m);
        if (static_cast<uint64_t>(code) > 4) {
            continue;
        }
        char* entry = at(table, code, m);
        store<double>(entry, load<double>(entry) + amount);
    }
}

// ----------------------------------------------------------------- scoring

// Above this window length the pair table (256 bytes per position) would no
// longer sit in the fast caches; longer windows use the plain table.
inline constexpr int64_t pair_table_max_window = 2048;

// Windows scored per chunk (at least; a chunk always holds a whole window).
inline constexpr int64_t chunk_windows = 8192;

inline int64_t chunk_size(int64_t window, int64_t windows) {
    const int64_t size = window > chunk_windows ? window : chunk_windows;
    return size < windows ? size : windows;
}

// Scratch memory of the scoring kernel, owned by the caller:
//   table        4 * window doubles
//   pair_table   32 * window doubles (only when window <= pair_table_max_window)
//   codes        chunk + window bytes
//   pairs        chunk + window bytes
//   unknown      chunk + window + 1 counters
struct ScoreScratch {
    double* table;
    double* pair_table;
    uint8_t* codes;
    uint8_t* pairs;
    uint32_t* unknown;
    int64_t chunk;
};

// Lays out rows 0..3 of `pssm` (codes A, T, C, G) position by position.
inline void layout_tables(const View2& pssm, int64_t window, const ScoreScratch& s) {
    for (int64_t m = 0; m < window; ++m) {
        for (int64_t c = 0; c < 4; ++c) {
            s.table[4 * m + c] = load<double>(at(pssm, c, m));
        }
    }
    if (s.pair_table == nullptr) {
        return;
    }
    for (int64_t m = 0; m < window; ++m) {
        double* column = s.pair_table + 32 * m;
        for (int64_t a = 0; a < 4; ++a) {
            for (int64_t b = 0; b < 4; ++b) {
                column[2 * (4 * a + b)] = s.table[4 * m + a];
                column[2 * (4 * a + b) + 1] = s.table[4 * m + b];
            }
        }
    }
}

// Two doubles added lane by lane: one SIMD addition on both x86-64 (SSE2) and
// AArch64 (NEON), each lane an ordinary IEEE addition.  GNU vector
// extensions (GCC, Clang), as in kernels/dinuc.hpp.
typedef double Lanes2 __attribute__((vector_size(16)));
inline Lanes2 load_lanes(const double* p) {
    Lanes2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Copies codes first .. first + span - 1 of `sequence` into `codes` as bytes,
// with 0 in place of codes outside 0..3; true when there were none.
inline bool compact_codes(const View1& sequence, int64_t first, int64_t span, uint8_t* codes) {
    const int64_t stride = sequence.strides[0];
    const char* base = sequence.data + first * stride;
    uint64_t outside = 0;
    if (stride == sizeof(int64_t)) {
        // Contiguous: a loop the compiler vectorises.
        for (int64_t j = 0; j < span; ++j) {
            const uint64_t code = static_cast<uint64_t>(load<int64_t>(base + 8 * j));
            const uint64_t bad = code > 3;
            outside |= bad;
            codes[j] = static_cast<uint8_t>(bad ? 0 : code);
        }
    } else {
        for (int64_t j = 0; j < span; ++j) {
            const uint64_t code = static_cast<uint64_t>(load<int64_t>(base + j * stride));
            const uint64_t bad = code > 3;
            outside |= bad;
            codes[j] = static_cast<uint8_t>(bad ? 0 : code);
        }
    }
    return outside == 0;
}

// Scores windows [first, first + count) of `sequence`, writing each scored
// window at its centre (start + centre) of `scores`.  Windows holding a code
// outside 0..3 are left as they are.  count >= 1.
inline void score_chunk(const View1& sequence, int64_t window, int64_t centre, int64_t first,
                        int64_t count, const View1& scores, const ScoreScratch& scratch) {
    // Byte stores may alias anything, fields of `scratch` included: local
    // copies of its pointers let the compiler keep them in registers.
    const double* const table = scratch.table;
    const double* const pair_table = scratch.pair_table;
    uint8_t* const codes = scratch.codes;
    uint8_t* const pairs = scratch.pairs;
    uint32_t* const unknown = scratch.unknown;
    char* const out = scores.data;
    const int64_t out_stride = scores.strides[0];
    // Codes first .. first + count + window - 2 are read; codes outside 0..3
    // become 0 (any valid index: those windows are not written).  Most chunks
    // hold none, so the running tally that marks unscored windows (a serial
    // loop) is only built when one was seen.
    const int64_t span = count + window - 1;
    const bool clean = compact_codes(sequence, first, span, codes);
    codes[span] = 0;
    if (!clean) {
        const int64_t stride = sequence.strides[0];
        const char* base = sequence.data + first * stride;
        uint32_t tally = 0;
        unknown[0] = 0;
        for (int64_t j = 0; j < span; ++j) {
            tally += static_cast<uint64_t>(load<int64_t>(base + j * stride)) < 4 ? 0 : 1;
            unknown[j + 1] = tally;
        }
    }
    // Is window k of the chunk free of codes outside 0..3?
    auto scored = [&](int64_t k) {
        return clean || unknown[k + window] == unknown[k];
    };

    int64_t k = 0;
    if (pair_table != nullptr) {
        for (int64_t j = 0; j < span; ++j) {
            pairs[j] = static_cast<uint8_t>(4 * codes[j] + codes[j + 1]);
        }
        for (; k + 8 <= count; k += 8) {
            // Lanes hold windows (k, k+1), (k+2, k+3), (k+4, k+5), (k+6, k+7).
            Lanes2 w01 = {0.0, 0.0}, w23 = {0.0, 0.0}, w45 = {0.0, 0.0}, w67 = {0.0, 0.0};
            const uint8_t* pair = pairs + k;
            const double* column = pair_table;
            for (int64_t m = 0; m < window; ++m, column += 32) {
                w01 += load_lanes(column + 2 * pair[m]);
                w23 += load_lanes(column + 2 * pair[m + 2]);
                w45 += load_lanes(column + 2 * pair[m + 4]);
                w67 += load_lanes(column + 2 * pair[m + 6]);
            }
            const double sums[8] = {w01[0], w01[1], w23[0], w23[1],
                                    w45[0], w45[1], w67[0], w67[1]};
            for (int64_t w = 0; w < 8; ++w) {
                if (scored(k + w)) {
                    store<double>(out + (first + k + w + centre) * out_stride,
                                  sums[w]);
                }
            }
        }
    } else {
        for (; k + 4 <= count; k += 4) {
            double w0 = 0.0, w1 = 0.0, w2 = 0.0, w3 = 0.0;
            const uint8_t* code = codes + k;
            const double* column = table;
            for (int64_t m = 0; m < window; ++m, column += 4) {
                w0 += column[code[m]];
                w1 += column[code[m + 1]];
                w2 += column[code[m + 2]];
                w3 += column[code[m + 3]];
            }
            const double sums[4] = {w0, w1, w2, w3};
            for (int64_t w = 0; w < 4; ++w) {
                if (scored(k + w)) {
                    store<double>(out + (first + k + w + centre) * out_stride,
                                  sums[w]);
                }
            }
        }
    }
    for (; k < count; ++k) {
        if (!scored(k)) {
            continue;
        }
        double sum = 0.0;
        for (int64_t m = 0; m < window; ++m) {
            sum += table[4 * m + codes[k + m]];
        }
        store<double>(out + (first + k + centre) * out_stride, sum);
    }
}

// Scores every window of `length` codes of `sequence` (length >= window >= 1).
// Out of line, so that the registers of the scoring loop do not depend on
// what the calling body does around it.
[[gnu::noinline]] inline void score_windows(const View1& sequence, int64_t length, int64_t window,
                          const View1& scores, const ScoreScratch& s) {
    const int64_t centre = window_centre(window);
    const int64_t windows = length - window + 1;
    for (int64_t first = 0; first < windows; first += s.chunk) {
        const int64_t count = windows - first < s.chunk ? windows - first : s.chunk;
        score_chunk(sequence, window, centre, first, count, scores, s);
    }
}

}  // namespace corlap::kernels
