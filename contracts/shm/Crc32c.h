#pragma once
// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of stored records and
// metadata. With the SSE4.2 crc32 instruction when the CPU has it (chosen once at start-up),
// otherwise table-driven, slicing by eight bytes; both give the same value, on every target.
#include <cstddef>
#include <cstdint>

namespace QelSharedMem {

// Continues a CRC-32C over `size` bytes. Start with crc = 0; feeding a buffer in pieces gives
// the same result as feeding it at once.
std::uint32_t crc32c(std::uint32_t crc, void const* data, std::size_t size) noexcept;
// The table-driven computation alone (what crc32c uses on CPUs without SSE4.2).
std::uint32_t crc32cPortable(std::uint32_t crc, void const* data, std::size_t size) noexcept;

}  // namespace QelSharedMem
