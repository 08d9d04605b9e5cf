#pragma once
// Copies and equality tests of stored keys and records on the read paths. A collection's key
// and record sizes are fixed, but known only at run time, so std::memcpy and std::memcmp of
// them are library calls; a walk makes several per step. Every key and record the tables store
// is at most 64 bytes: two overlapping moves (or compares) of a fixed width cover such a run
// inline. Longer runs go to the library as before.
#include <cstddef>
#include <cstring>

namespace Tessel::detail {

namespace smallbytes {

// Copies n bytes, W <= n <= 2W, as the first and the last W bytes.
template <std::size_t W>
inline void copyTwo(unsigned char* to, unsigned char const* from, std::size_t n) {
    unsigned char head[W];
    unsigned char tail[W];
    std::memcpy(head, from, W);
    std::memcpy(tail, from + n - W, W);
    std::memcpy(to, head, W);
    std::memcpy(to + n - W, tail, W);
}

// Whether n bytes, W <= n <= 2W, are equal, comparing the first and the last W bytes.
template <std::size_t W>
inline bool sameTwo(unsigned char const* a, unsigned char const* b, std::size_t n) {
    return std::memcmp(a, b, W) == 0 && std::memcmp(a + n - W, b + n - W, W) == 0;
}

}  // namespace smallbytes

inline void copyBytes(void* to, void const* from, std::size_t n) {
    auto* t = static_cast<unsigned char*>(to);
    auto const* f = static_cast<unsigned char const*>(from);
    if (n >= 32 && n <= 64) {
        smallbytes::copyTwo<32>(t, f, n);
    } else if (n >= 16 && n < 32) {
        smallbytes::copyTwo<16>(t, f, n);
    } else if (n >= 8 && n < 16) {
        smallbytes::copyTwo<8>(t, f, n);
    } else if (n >= 4 && n < 8) {
        smallbytes::copyTwo<4>(t, f, n);
    } else if (n > 0) {  // nothing to copy otherwise; either pointer may be null
        std::memcpy(t, f, n);
    }
}

inline bool sameBytes(void const* a, void const* b, std::size_t n) {
    if (n == 0) return true;  // nothing to compare; either pointer may be null
    auto const* x = static_cast<unsigned char const*>(a);
    auto const* y = static_cast<unsigned char const*>(b);
    if (n >= 32 && n <= 64) return smallbytes::sameTwo<32>(x, y, n);
    if (n >= 16 && n < 32) return smallbytes::sameTwo<16>(x, y, n);
    if (n >= 8 && n < 16) return smallbytes::sameTwo<8>(x, y, n);
    if (n >= 4 && n < 8) return smallbytes::sameTwo<4>(x, y, n);
    return std::memcmp(x, y, n) == 0;
}

}  // namespace Tessel::detail
