#pragma once
// VornTunnelNiLib::InLifIndexTessel: the shared-memory table in which the InLif index resource
// table keeps its allocations, so that an agent restart finds every InLif key's indexes where
// the previous run left them. One collection, "allocations", of one record per InLif key that
// holds indexes.
//
// Mounted through a QelSharedMem entity manager at kInLifIndexTesselPath with type name
// kInLifIndexTesselTypeName (registered by registerInLifIndexTesselType()). Each record is set
// or removed on its own, one LMDB transaction each, so a crash leaves every key's record either
// before or after its latest change.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "contracts/shm/KeyedCollection.h"
#include "contracts/types/InLifTypes.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace VornTunnelNiLib {

inline constexpr char kInLifIndexTesselTypeName[] = "VornTunnelNiLib::InLifIndexTessel";
inline constexpr char kInLifIndexTesselPath[] =
    "hardware/velum/resource/VornTunnelNiLib/InLifIndex.featureVornVrfSelection";
inline constexpr char kInLifIndexCollectionName[] = "allocations";
// Bumped whenever InLifIndexTesselEntry's layout changes: a table stored with another layout
// comes up empty (and wiped), so its allocations are made anew.
inline constexpr std::uint32_t kInLifIndexRecordLayout = 1;

// The stored allocation of one InLif key. A stored format: fixed-width fields, the same layout
// on 32-bit and 64-bit builds, reserved bytes zeroed.
struct InLifIndexTesselEntry {
    // The only state stored: the key holds both indexes. Keys without indexes (pending,
    // failed, released) have no record.
    static constexpr std::uint8_t kResolved = 4;

    alignas(8) std::uint32_t intfId = 0;  // the InLif key, field by field
    std::uint16_t vlanId = 0;
    std::uint16_t keyReserved = 0;
    std::uint32_t inLif0Index = 0;
    std::uint32_t inLif23Index = 0;
    std::uint32_t updateNumber = 0;
    std::uint8_t state = 0;
    std::uint8_t reserved[3] = {};

    // Stored key: the InLif key's fields packed into 64 bits, so byte order is field order.
    static std::uint64_t keyOf(InLifIndexEntryKey const& k) {
        return std::uint64_t{k.intfId} << 32 | std::uint64_t{k.vlanId} << 16 | k.reserved;
    }
    std::uint64_t key() const { return std::uint64_t{intfId} << 32 | std::uint64_t{vlanId} << 16 | keyReserved; }
    InLifIndexEntryKey inLifKey() const { return InLifIndexEntryKey{intfId, vlanId, keyReserved}; }
    void inLifKeyIs(InLifIndexEntryKey const& k) {
        intfId = k.intfId;
        vlanId = k.vlanId;
        keyReserved = k.reserved;
    }
    friend constexpr bool operator==(InLifIndexTesselEntry const&, InLifIndexTesselEntry const&) = default;
};
static_assert(sizeof(InLifIndexTesselEntry) == 24 && alignof(InLifIndexTesselEntry) == 8);
static_assert(offsetof(InLifIndexTesselEntry, inLif0Index) == 8 &&
              offsetof(InLifIndexTesselEntry, updateNumber) == 16 && offsetof(InLifIndexTesselEntry, state) == 20);
static_assert(std::is_trivially_copyable_v<InLifIndexTesselEntry>);

class InLifIndexTessel final : public QelSharedMem::Entity {
  public:
    using Collection = Tessel::KeyedCollection<InLifIndexTesselEntry>;

    // Mounts the collection at `path` for `manager`. Requires: `info` declares exactly one
    // collection, named kInLifIndexCollectionName, with a size > 0 (else std::invalid_argument).
    InLifIndexTessel(QelSharedMem::EntityManager& manager, Lumo::String const& path, QelTessel::MountInfo const& info);

    // The factory registered for kInLifIndexTesselTypeName.
    static Lumo::Ptr<QelSharedMem::Entity> mount(QelSharedMem::EntityManager& manager, Lumo::String const& path,
                                                 QelTessel::MountInfo const& info);

    Collection& allocations() const { return *collection_; }

  private:
    std::unique_ptr<Collection> collection_;
};

// Makes the table type known to QelSharedMem mounts. Idempotent.
void registerInLifIndexTesselType();

}  // namespace VornTunnelNiLib

extern template class Tessel::KeyedCollection<VornTunnelNiLib::InLifIndexTesselEntry>;

#pragma GCC visibility pop
