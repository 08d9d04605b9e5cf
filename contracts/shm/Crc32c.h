#pragma once
// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of stored records and
// metadata. Table-driven, slicing by eight bytes; no library dependency so that it builds the
// same on every target.
#include <cstddef>
#include <cstdint>

namespace QelSharedMem {

// Continues a CRC-32C over `size` bytes. Start with crc = 0; feeding a buffer in pieces gives
// the same result as feeding it at once.
std::uint32_t crc32c(std::uint32_t crc, void const* data, std::size_t size) noexcept;

}  // namespace QelSharedMem
