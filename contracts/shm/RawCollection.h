#pragma once
// Tessel::detail::RawCollection: the untyped storage of one keyed collection in one named LMDB
// database. Keys arrive encoded (fixed size, big-endian, so byte order is key order), records
// as bytes of a fixed size; each record is stored followed by a CRC-32C over key and record.
// The typed KeyedCollection<Record> is a thin layer over this class.
//
// Construction is the mount: it opens or creates the database and checks the stored metadata
// against this build's (format version, record layout and size, type and collection name).
// A collection stored in another format, or unreadable, is emptied and comes up wiped.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/shm/ReadAhead.h"
#include "contracts/shm/SharedMem.h"

namespace Tessel::detail {

// misordered: a step found a record that is not past the key it started from (the tree's
// order is damaged); walks that trusted such a step would go round for ever.
enum class ReadStatus : std::uint8_t { absent, found, corrupt, misordered };
enum class Seek : std::uint8_t { first, atOrAfter, after };

// What a mount needs to know of a collection.
struct CollectionDefinition {
    Lumo::String dbName;          // the LMDB database, unique per entity manager and path
    Lumo::String path;            // for messages; the database name when empty
    Lumo::String typeName;        // the table type stored
    Lumo::String collectionName;  // the collection within the table type
    std::uint32_t capacity = 0;   // the declared size: most records the collection takes
    std::uint32_t recordSize = 0;
    std::uint32_t recordLayout = 0;  // bumped by the record's owner whenever its layout changes
};

class ControlImpl;

// Whether a stored value is a record of `recordSize` bytes followed by the CRC-32C of the stored
// key and the record.
bool storedRecordIntact(std::string_view key, std::string_view value, std::uint32_t recordSize);

class RawCollection {
  public:
    // Mounts the collection. Refused with std::invalid_argument for an unusable definition and with
    // std::logic_error inside a WriteTransaction scope (a mount must commit on its own).
    RawCollection(QelSharedMem::Environment& env, CollectionDefinition definition);
    ~RawCollection();
    RawCollection(RawCollection const&) = delete;
    RawCollection& operator=(RawCollection const&) = delete;

    // Copies the record of `key` into `record` (recordSize bytes; may be null to test presence).
    ReadStatus get(std::uint8_t const* key, std::size_t keySize, void* record) const;
    // The record at the first key (`first`, `key` unused), at the first key >= `key`, or after
    // `key`. `foundKey` (keySize bytes) receives the key found, also for a corrupt record.
    // While the environment's snapshot is unchanged the collection's cursor stays where the last
    // step left it, so a walk that asks for the record after the one it was given moves on
    // without a seek.
    ReadStatus seek(Seek how, std::uint8_t const* key, std::size_t keySize, void* record, std::uint8_t* foundKey) const;
    // Inserts or replaces. Throws Lumo::CapacityExceededException for a new key when the
    // collection is full, or when the environment's map is full (then nothing is written).
    void put(std::uint8_t const* key, std::size_t keySize, void const* record);
    bool del(std::uint8_t const* key, std::size_t keySize);
    std::uint32_t size() const;
    std::uint32_t capacity() const { return definition_.capacity; }

    CollectionDefinition const& definition() const { return definition_; }
    Lumo::String const& path() const { return definition_.path; }
    QelTessel::CollectionControl& control() const;
    Lumo::Ptr<QelTessel::CollectionControl> controlPtr() const;

    // When reads have found a damaged record since the last call, removes every damaged record
    // of the collection (see Environment::quarantine: at once, or when the open WriteTransaction
    // scope ends).
    void quarantine() const;
    // Damaged records of this collection removed so far.
    std::uint64_t quarantined() const { return *quarantined_; }
    // Reads every stored record in key order, in one snapshot, and reports and removes nothing:
    // fn(record bytes) for each intact one. Returns how many records fail their check.
    std::uint32_t scan(std::function<void(void const*)> const& fn) const;

    // Test seam: flips one byte of the stored record so that its checksum fails.
    void corruptRecord(std::uint8_t const* key, std::size_t keySize);
    // Test seam: from now on every step from a key at or past `key` lands on the first record,
    // as a damaged branch page of the tree can make it.
    void stepsBackFrom(std::uint8_t const* key, std::size_t keySize) { stepsBackFrom_.assign(key, key + keySize); }

  private:
    ReadStatus verify(void const* key, std::size_t keySize, void const* value, std::size_t valueSize,
                      void* record) const;

    // The last record read intact (or found absent) by key, with the snapshot it was read in:
    // callers often read the same key several times in a row with nothing written between.
    struct LastRead {
        std::uint64_t snapshot = 0;  // 0: nothing remembered
        bool found = false;
        std::string key;
        std::vector<unsigned char> record;
    };
    bool lastReadOf(std::uint64_t snapshot, std::uint8_t const* key, std::size_t keySize, ReadStatus& status,
                    void* record) const;
    void rememberRead(std::uint64_t snapshot, std::uint8_t const* key, std::size_t keySize, bool found,
                      void const* record) const;

    // A read found a damaged record: the next quarantine() checks the collection.
    void noteDamaged() const { damageNoted_ = true; }

    std::shared_ptr<QelSharedMem::Environment> env_;
    CollectionDefinition definition_;
    mutable bool damageNoted_ = false;  // since the last quarantine()
    std::shared_ptr<std::uint64_t> quarantined_ = std::make_shared<std::uint64_t>(0);
    std::vector<std::uint8_t> stepsBackFrom_;  // test seam, empty when off
    mutable LastRead last_;
    mutable ReadAhead ahead_;  // the records after a walk's position, see ReadAhead
    unsigned dbi_ = 0;
    Lumo::Ptr<ControlImpl> control_;
};

}  // namespace Tessel::detail
