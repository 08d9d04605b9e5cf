#pragma once
// Big-endian encoding of key fields, so that the byte order of an encoded key (the order of a
// shared-memory table) is the order of the key's own operator<=>.
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace VornTunnelTcamMgr::codec {

inline std::uint8_t* put8(std::uint8_t* p, std::uint8_t v) {
    *p = v;
    return p + 1;
}
inline std::uint8_t* put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
    return p + 2;
}
inline std::uint8_t* put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) *p++ = static_cast<std::uint8_t>(v >> (8 * i));
    return p;
}
inline std::uint8_t* put64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 7; i >= 0; --i) *p++ = static_cast<std::uint8_t>(v >> (8 * i));
    return p;
}
inline std::uint8_t* putBytes(std::uint8_t* p, std::uint8_t const* src, std::size_t n) {
    std::memcpy(p, src, n);
    return p + n;
}

// A hash of the object representation of a trivially copyable value with no padding. It
// takes the bytes eight at a time (keys are hashed on every lookup of the software tables'
// collections, so a byte-wise hash would dominate their cost) and mixes each word with a
// multiply and a shift.
template <typename T>
std::size_t hashBytes(T const& v) {
    static_assert(std::has_unique_object_representations_v<T>, "hashBytes needs a padding-free type");
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
    auto const* p = reinterpret_cast<unsigned char const*>(&v);
    std::uint64_t h = 0x84222325CBF29CE4ull ^ (sizeof(T) * kMul);
    std::size_t i = 0;
    for (; i + 8 <= sizeof(T); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    if (i < sizeof(T)) {
        std::uint64_t w = 0;
        std::memcpy(&w, p + i, sizeof(T) - i);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    h *= kMul;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

}  // namespace VornTunnelTcamMgr::codec

#pragma GCC visibility pop
