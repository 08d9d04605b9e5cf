#pragma once
// Big-endian encoding of key fields, so that the byte order of an encoded key (the order of a
// shared-memory table) is the order of the key's own operator<=>.
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

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

// FNV-1a over the object representation of a trivially copyable value with no padding.
template <typename T>
std::size_t hashBytes(T const& v) {
    static_assert(std::has_unique_object_representations_v<T>, "hashBytes needs a padding-free type");
    auto const* p = reinterpret_cast<unsigned char const*>(&v);
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h ^ (h >> 32));
}

}  // namespace VornTunnelTcamMgr::codec
