#include "contracts/shm/Crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <nmmintrin.h>
#define VORN_CRC32C_SSE42 1
#endif

namespace QelSharedMem {

namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;

// tables[0] is the classic byte table; tables[k][b] is the CRC of byte b followed by k zero
// bytes, which lets the loop fold eight input bytes per step.
constexpr std::array<std::array<std::uint32_t, 256>, 8> makeTables() {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int i = 0; i < 8; ++i) c = (c & 1u) ? (c >> 1) ^ kPolynomial : c >> 1;
        t[0][b] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFu];
    return t;
}

constexpr auto kTables = makeTables();

std::uint32_t load32le(unsigned char const* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::uint32_t crc32cTable(std::uint32_t crc, void const* data, std::size_t size) noexcept {
    auto const* p = static_cast<unsigned char const*>(data);
    std::uint32_t c = ~crc;
    while (size >= 8) {
        std::uint32_t const lo = load32le(p) ^ c;
        std::uint32_t const hi = load32le(p + 4);
        c = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^ kTables[5][(lo >> 16) & 0xFFu] ^
            kTables[4][lo >> 24] ^ kTables[3][hi & 0xFFu] ^ kTables[2][(hi >> 8) & 0xFFu] ^
            kTables[1][(hi >> 16) & 0xFFu] ^ kTables[0][hi >> 24];
        p += 8;
        size -= 8;
    }
    while (size--) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFFu];
    return ~c;
}

#ifdef VORN_CRC32C_SSE42
// The same checksum with the SSE4.2 crc32 instruction, eight bytes a step on 64-bit builds and
// four on 32-bit ones; only called when the CPU has the instruction.
__attribute__((target("sse4.2"))) std::uint32_t crc32cSse42(std::uint32_t crc, void const* data,
                                                            std::size_t size) noexcept {
    auto const* p = static_cast<unsigned char const*>(data);
#if defined(__x86_64__)
    std::uint64_t c = ~crc;
    for (; size >= 8; p += 8, size -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        c = _mm_crc32_u64(c, word);
    }
    std::uint32_t c32 = static_cast<std::uint32_t>(c);
#else
    std::uint32_t c32 = ~crc;
#endif
    for (; size >= 4; p += 4, size -= 4) {
        std::uint32_t word;
        std::memcpy(&word, p, 4);
        c32 = _mm_crc32_u32(c32, word);
    }
    for (; size > 0; ++p, --size) c32 = _mm_crc32_u8(c32, *p);
    return ~c32;
}
#endif

using Crc32cFn = std::uint32_t (*)(std::uint32_t, void const*, std::size_t) noexcept;

Crc32cFn chooseCrc32c() {
#ifdef VORN_CRC32C_SSE42
    if (__builtin_cpu_supports("sse4.2")) return crc32cSse42;
#endif
    return crc32cTable;
}

Crc32cFn const kCrc32c = chooseCrc32c();

}  // namespace

std::uint32_t crc32c(std::uint32_t crc, void const* data, std::size_t size) noexcept {
    return kCrc32c(crc, data, size);
}

std::uint32_t crc32cPortable(std::uint32_t crc, void const* data, std::size_t size) noexcept {
    return crc32cTable(crc, data, size);
}

}  // namespace QelSharedMem
