// Letter-to-code conversion of DNA text, by the storage width of the text.
#pragma once

#include "strided.hpp"

#include <array>
#include <cstdint>

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

}  // namespace corlap::kernels
