#include "contracts/shm/CollectionMeta.h"

#include "contracts/shm/Crc32c.h"

namespace QelSharedMem {

namespace {

constexpr std::size_t kFixedSize = 36;  // up to and including the two name lengths
constexpr std::size_t kCrcSize = 4;

void put16(std::string& s, std::uint16_t v) {
    s.push_back(static_cast<char>(v));
    s.push_back(static_cast<char>(v >> 8));
}
void put32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}
void put64(std::string& s, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}
std::uint64_t getLe(std::string_view s, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

}  // namespace

std::string CollectionMeta::encode() const {
    std::string s;
    s.reserve(kFixedSize + typeName.size() + collectionName.size() + kCrcSize);
    put32(s, kMagic);
    put32(s, formatVersion);
    put32(s, recordLayout);
    put32(s, recordSize);
    put32(s, capacity);
    put32(s, flags);
    put64(s, scratchpad);
    put16(s, static_cast<std::uint16_t>(typeName.size()));
    put16(s, static_cast<std::uint16_t>(collectionName.size()));
    s += typeName;
    s += collectionName;
    put32(s, crc32c(0, s.data(), s.size()));
    return s;
}

bool CollectionMeta::intact(std::string_view bytes) {
    if (bytes.size() < kFixedSize + kCrcSize || getLe(bytes, 0, 4) != kMagic) return false;
    std::size_t const body = kFixedSize + getLe(bytes, 32, 2) + getLe(bytes, 34, 2);
    return bytes.size() == body + kCrcSize && crc32c(0, bytes.data(), body) == getLe(bytes, body, 4);
}

std::uint32_t CollectionMeta::flagsOf(std::string_view intactBytes) {
    return static_cast<std::uint32_t>(getLe(intactBytes, kFlagsOffset, 4));
}

std::uint64_t CollectionMeta::scratchpadOf(std::string_view intactBytes) {
    return getLe(intactBytes, kScratchpadOffset, 8);
}

namespace {
void patchLe(char* bytes, std::size_t size, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
    std::uint32_t const crc = crc32c(0, bytes, size - kCrcSize);
    for (int i = 0; i < 4; ++i) bytes[size - kCrcSize + i] = static_cast<char>(crc >> (8 * i));
}
}  // namespace

void CollectionMeta::patchFlags(char* bytes, std::size_t size, std::uint32_t flags) {
    patchLe(bytes, size, kFlagsOffset, flags, 4);
}

void CollectionMeta::patchScratchpad(char* bytes, std::size_t size, std::uint64_t scratchpad) {
    patchLe(bytes, size, kScratchpadOffset, scratchpad, 8);
}

std::optional<CollectionMeta> CollectionMeta::decode(std::string_view bytes) {
    if (!intact(bytes)) return std::nullopt;
    std::size_t const typeLen = getLe(bytes, 32, 2);
    std::size_t const collLen = getLe(bytes, 34, 2);
    CollectionMeta m;
    m.formatVersion = static_cast<std::uint32_t>(getLe(bytes, 4, 4));
    m.recordLayout = static_cast<std::uint32_t>(getLe(bytes, 8, 4));
    m.recordSize = static_cast<std::uint32_t>(getLe(bytes, 12, 4));
    m.capacity = static_cast<std::uint32_t>(getLe(bytes, 16, 4));
    m.flags = static_cast<std::uint32_t>(getLe(bytes, 20, 4));
    m.scratchpad = getLe(bytes, 24, 8);
    m.typeName = std::string(bytes.substr(kFixedSize, typeLen));
    m.collectionName = std::string(bytes.substr(kFixedSize + typeLen, collLen));
    return m;
}

}  // namespace QelSharedMem
