// Strided views over array memory, shared by all kernels.
//
// Kernels see plain memory: a base pointer, a shape and byte strides per
// dimension, exactly as the buffer protocol hands them over.  Strides may be
// negative, zero or not a multiple of the element size, and the memory may be
// unaligned, so elements are loaded and stored through memcpy (which the
// compiler turns into a single move).
#pragma once

#include <cstdint>
#include <cstring>

namespace corlap::kernels {

template <int N>
struct View {
    char* data;
    int64_t shape[N];
    int64_t strides[N];  // in bytes
};

using View1 = View<1>;
using View2 = View<2>;
using View4 = View<4>;

template <class T>
inline T load(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

template <class T>
inline void store(char* p, T value) {
    std::memcpy(p, &value, sizeof(T));
}

// Code at position i of a numeric sequence (int64 elements).
inline int64_t code_at(const View1& sequence, int64_t i) {
    return load<int64_t>(sequence.data + i * sequence.strides[0]);
}

inline char* at(const View2& t, int64_t i, int64_t j) {
    return t.data + i * t.strides[0] + j * t.strides[1];
}

inline char* at(const View4& t, int64_t a, int64_t b, int64_t c, int64_t d) {
    return t.data + a * t.strides[0] + b * t.strides[1] + c * t.strides[2] +
           d * t.strides[3];
}

}  // namespace corlap::kernels
