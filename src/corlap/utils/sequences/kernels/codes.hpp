// Checks of a code sequence and the window layout, shared by both models.
#pragma once

#include "strided.hpp"

#include <cstdint>

namespace corlap::kernels {

struct CodeScan {
    int64_t first_invalid;  // position of the first code outside 0..4, or -1
    int64_t invalid_code;   // that code
    bool has_unknown;       // some code equals 4
};

// Looks at the first `length` codes of `sequence`.
inline CodeScan scan_codes(const View1& sequence, int64_t length) {
    CodeScan scan{-1, 0, false};
    bool unknown = false;
    bool invalid = false;
    for (int64_t m = 0; m < length; ++m) {
        const uint64_t code = static_cast<uint64_t>(code_at(sequence, m));
        unknown |= code == 4;
        invalid |= code > 4;
    }
    scan.has_unknown = unknown;
    if (invalid) {
        for (int64_t m = 0; m < length; ++m) {
            const int64_t code = code_at(sequence, m);
            if (static_cast<uint64_t>(code) > 4) {
                scan.first_invalid = m;
                scan.invalid_code = code;
                break;
            }
        }
    }
    return scan;
}

// The score of the window starting at i is written at i + window_centre(L):
// int(L / 2) in Python's terms, which for the 32-bit lengths a model has is
// exactly the integer division.
inline int64_t window_centre(int64_t window) {
    return window / 2;
}

}  // namespace corlap::kernels
