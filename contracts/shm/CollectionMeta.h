#pragma once
// The stored metadata of one keyed collection: what a mount checks before it trusts the
// stored records, and the collection's control state (wiped flag, scratchpad). Kept in the
// environment's metadata database under the collection's database name and always written in
// the same transaction as the records it describes. Encoding: docs/storage-format.md.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace QelSharedMem {

struct CollectionMeta {
    static constexpr std::uint32_t kMagic = 0x4D435456;  // "VTCM" read as little-endian bytes
    static constexpr std::uint32_t kFormatVersion = 1;
    static constexpr std::uint32_t kWipedFlag = 1;

    std::uint32_t formatVersion = kFormatVersion;
    std::uint32_t recordLayout = 0;
    std::uint32_t recordSize = 0;
    std::uint32_t capacity = 0;
    std::uint32_t flags = 0;
    std::uint64_t scratchpad = 0;
    std::string typeName;
    std::string collectionName;

    bool wiped() const { return flags & kWipedFlag; }
    void wipedIs(bool w) { flags = w ? flags | kWipedFlag : flags & ~kWipedFlag; }

    std::string encode() const;
    // The metadata, or nothing when the bytes are not an intact metadata record (wrong magic,
    // short, or failing the checksum). A record of another format version decodes; the caller
    // compares formatVersion.
    static std::optional<CollectionMeta> decode(std::string_view bytes);

    // In-place access to the control fields of an encoded record, so that the hot path (the
    // scratchpad written with every change-log record) needs no allocation. `intact` checks
    // magic, length and checksum; the patch functions recompute the checksum.
    static constexpr std::size_t kFlagsOffset = 20;
    static constexpr std::size_t kScratchpadOffset = 24;
    static constexpr std::size_t kMaxNameSize = 200;  // type and collection names
    static constexpr std::size_t kMaxEncodedSize = 36 + 2 * kMaxNameSize + 4;
    static bool intact(std::string_view bytes);
    static std::uint32_t flagsOf(std::string_view intactBytes);
    static std::uint64_t scratchpadOf(std::string_view intactBytes);
    static void patchFlags(char* bytes, std::size_t size, std::uint32_t flags);
    static void patchScratchpad(char* bytes, std::size_t size, std::uint64_t scratchpad);

    // Whether records stored under `stored` can be read by a build that expects `*this`.
    bool sameFormat(CollectionMeta const& stored) const {
        return stored.formatVersion == formatVersion && stored.recordLayout == recordLayout &&
               stored.recordSize == recordSize && stored.typeName == typeName &&
               stored.collectionName == collectionName;
    }
};

}  // namespace QelSharedMem
