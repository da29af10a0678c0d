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

// Writes the code of each of the n characters of `text` to `out`.
template <class Char>
void encode(const Char* text, int64_t n, const View1& out) {
    if (out.strides[0] == sizeof(int64_t)) {
        char* p = out.data;
        for (int64_t i = 0; i < n; ++i) {
            store<int64_t>(p + i * 8, code_of(text[i]));
        }
        return;
    }
    for (int64_t i = 0; i < n; ++i) {
        store<int64_t>(out.data + i * out.strides[0], code_of(text[i]));
    }
}

}  // namespace corlap::kernels
