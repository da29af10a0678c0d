// Letter-to-code conversion of DNA text, by the storage width of the text.
#pragma once

#include "strided.hpp"

#include <array>
#include <cstdint>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace corlap::kernels {

// Code of every byte value: A/a 0, T/t 1, C/c 2, G/g 3, anything else 4.
// Code points above 255 are always 4.
inline constexpr std::array<uint8_t, 256> nucleotide_codes = [] {
    std::array<uint8_t, 256> table{};
    for (auto& code : table) {
        code = 4;
    }
    table['A'] = table['a'] = 0;
    table['T'] = table['t'] = 1;
    table['C'] = table['c'] = 2;
    table['G'] = table['g'] = 3;
    return table;
}();

// Complement of each code 0..4 (0<->1, 2<->3, 4 stays).
inline constexpr uint8_t complement_code[5] = {1, 0, 3, 2, 4};

template <class Char>
inline uint8_t code_of(Char c) {
    return static_cast<uint32_t>(c) < 256 ? nucleotide_codes[static_cast<uint32_t>(c)] : 4;
}

// Code of one byte without a table lookup: OR-ing 0x20 folds exactly the
// upper-case base letters onto the lower-case ones, and compares and
// arithmetic vectorise where a table lookup (a gather) does not.
inline uint8_t code_of_byte(uint8_t c) {
    const uint8_t folded = c | 0x20;
    // At most one test holds; each subtracts what takes 4 down to its code.
    return static_cast<uint8_t>(4 - 4 * (folded == 'a') - 3 * (folded == 't') -
                                2 * (folded == 'c') - (folded == 'g'));
}

// Writes the code of each of the n characters of `text` to `out`.
template <class Char>
void encode(const Char* text, int64_t n, const View1& out) {
    for (int64_t i = 0; i < n; ++i) {
        store<int64_t>(out.data + i * out.strides[0], code_of(text[i]));
    }
}

// One-byte text into a contiguous result: codes are formed a block at a time
// as bytes, then widened to 64 bits; both loops vectorise.
inline void encode_bytes_contiguous(const uint8_t* text, int64_t n, int64_t* out) {
    constexpr int64_t block = 256;
    uint8_t codes[block];
    for (int64_t start = 0; start < n; start += block) {
        const int64_t count = n - start < block ? n - start : block;
        for (int64_t i = 0; i < count; ++i) {
            codes[i] = code_of_byte(text[start + i]);
        }
        for (int64_t i = 0; i < count; ++i) {
            out[start + i] = codes[i];
        }
    }
}

template <>
inline void encode<uint8_t>(const uint8_t* text, int64_t n, const View1& out) {
    if (out.strides[0] == sizeof(int64_t) &&
        reinterpret_cast<uintptr_t>(out.data) % alignof(int64_t) == 0) {
        encode_bytes_contiguous(text, n, reinterpret_cast<int64_t*>(out.data));
        return;
    }
    for (int64_t i = 0; i < n; ++i) {
        store<int64_t>(out.data + i * out.strides[0], code_of_byte(text[i]));
    }
}


// Both strands' codes of one character, side by side so that one table load
// serves the forward write and the reverse-complement write.
struct StrandCodes {
    int64_t forward;
    int64_t reverse;
};

inline constexpr std::array<StrandCodes, 256> strand_codes = [] {
    std::array<StrandCodes, 256> table{};
    for (unsigned c = 0; c < 256; ++c) {
        const uint8_t code = nucleotide_codes[c];
        table[c] = StrandCodes{code, complement_code[code]};
    }
    return table;
}();

template <class Char>
inline StrandCodes strand_codes_of(Char c) {
    return static_cast<uint32_t>(c) < 256 ? strand_codes[static_cast<uint32_t>(c)]
                                          : StrandCodes{4, 4};
}

// Streaming stores for code arrays much larger than the caches: they skip
// reading each cache line before overwriting it, which is a third of the
// memory traffic of a fill, and do not evict what the caller is working on.
// Other targets use ordinary stores.
inline constexpr int64_t streaming_threshold = int64_t{1} << 17;  // elements

inline bool can_stream(const char* p) {
#if defined(__x86_64__)
    return (reinterpret_cast<uintptr_t>(p) & 7) == 0;
#else
    (void)p;
    return false;
#endif
}

template <bool streaming>
inline void store_code(char* p, int64_t code) {
#if defined(__x86_64__)
    if constexpr (streaming) {
        _mm_stream_si64(reinterpret_cast<long long*>(p), code);
        return;
    }
#endif
    store<int64_t>(p, code);
}

inline void finish_streaming() {
#if defined(__x86_64__)
    _mm_sfence();
#endif
}

// Contiguous forward array (ascending) and contiguous reverse array
// (descending from its last element).
template <bool streaming, class Char>
void encode_both_contiguous(const Char* text, int64_t n, char* forward, char* reverse_last) {
    for (int64_t i = 0; i < n; ++i) {
        const StrandCodes codes = strand_codes_of(text[i]);
        store_code<streaming>(forward + i * 8, codes.forward);
        store_code<streaming>(reverse_last - i * 8, codes.reverse);
    }
}

// For i in 0..n-1: forward[i] = code of text[i], reverse[n-1-i] = its
// complement, in that order.  The caller guarantees both views hold n
// elements.  Every path stores in the order of that plain loop, so two views
// over the same memory end up as the plain loop leaves them.
template <class Char>
void encode_both_strands(const Char* text, int64_t n, const View1& forward,
                         const View1& reverse) {
    if (n <= 0) {
        return;
    }
    if (forward.strides[0] == 8 && reverse.strides[0] == 8) {
        char* reverse_last = reverse.data + (n - 1) * 8;
        if (n >= streaming_threshold && can_stream(forward.data) && can_stream(reverse.data)) {
            encode_both_contiguous<true>(text, n, forward.data, reverse_last);
            finish_streaming();
        } else {
            encode_both_contiguous<false>(text, n, forward.data, reverse_last);
        }
        return;
    }
    const int64_t fs = forward.strides[0];
    const int64_t rs = reverse.strides[0];
    for (int64_t i = 0; i < n; ++i) {
        const StrandCodes codes = strand_codes_of(text[i]);
        store<int64_t>(forward.data + i * fs, codes.forward);
        store<int64_t>(reverse.data + (n - 1 - i) * rs, codes.reverse);
    }
}

// Number of "G", "g", "C" and "c" characters among the n of `text`.  Setting
// bit 5 folds upper case onto lower case; only 'G'/'g' (and 'C'/'c') land on
// 'g' (and 'c'), whatever the width of the character.
template <class Char>
int64_t count_gc(const Char* text, int64_t n) {
    int64_t count = 0;
    for (int64_t i = 0; i < n; ++i) {
        const uint32_t folded = static_cast<uint32_t>(text[i]) | 0x20u;
        count += (folded == 'g') | (folded == 'c');
    }
    return count;
}

}  // namespace corlap::kernels
