#pragma once
// Tessel::KeyedCollection<Record>: one typed keyed collection of a mounted shared-memory table.
//
// Records are stored by value with a checksum; the key is the record's key() (an integer, or a
// key type with kEncodedSize/encode()). The collection's order is the order of the encoded
// key bytes, which for the key types is their own operator<=> order. A lookup or step whose
// record fails its checksum throws Lumo::CorruptionDetectedException; callers hand the message
// to doCorruptionDetected(), which removes every damaged record of the collection, and go on. A step that does not
// move past the key it starts from (a damaged tree) throws the same exception, so that no walk
// goes round for ever. A write of a new key into a full collection (size ==
// declared capacity) throws Lumo::CapacityExceededException and changes nothing.
//
// The member bodies are in KeyedCollectionImpl.h, which only the files that instantiate a
// collection (or call scan()) include: the record types the library stores are instantiated in
// the platform library, so this header needs none of the storage internals.
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "contracts/shm/SharedMem.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Tessel {

namespace detail {
// Untyped storage of one collection, implemented over LMDB.
class RawCollection;
struct CollectionDefinition;
enum class Seek : std::uint8_t;
}  // namespace detail

template <typename Record>
class KeyedCollection : public TesselMapBase {
  public:
    using Key = std::remove_cvref_t<decltype(std::declval<Record const&>().key())>;

    // Mounts the collection stored in LMDB database `dbName` (see RawCollection for the checks
    // a mount makes). This form records no collection name and record layout 0.
    KeyedCollection(QelSharedMem::Environment& env, Lumo::String const& dbName, Lumo::String const& typeName,
                    std::uint32_t capacity);
    // Mounts with everything a mount checks given: also path (for messages), collection name
    // and record layout. The definition's record size is taken from Record.
    KeyedCollection(QelSharedMem::Environment& env, detail::CollectionDefinition const& definition);
    ~KeyedCollection() override;
    KeyedCollection(KeyedCollection const&) = delete;
    KeyedCollection& operator=(KeyedCollection const&) = delete;

    // The record stored for the key, or the default-constructed record when absent.
    Record find(Key const& key) const;
    // The record stored for the key, or nothing.
    std::optional<Record> lookup(Key const& key) const;
    bool has(Key const& key) const;
    // Inserts or replaces by the record's key.
    void set(Record const& record);
    // Removes the key; false when it was absent.
    bool del(Key const& key);
    std::uint32_t size() const;
    std::uint32_t capacity() const;

    // Cursor steps in collection order; each step finds its place again from the key, so the
    // collection may change between steps.
    std::optional<Record> first() const;
    std::optional<Record> atOrAfter(Key const& key) const;  // first record whose key >= key
    std::optional<Record> after(Key const& key) const;      // first record whose key > key

    QelTessel::CollectionControl& control() const;
    Lumo::Ptr<QelTessel::CollectionControl> controlPtr() const;

    // Damaged records of this collection removed so far by its reports.
    std::uint64_t quarantined() const;
    // Every stored record in key order, read in one snapshot, for audits: fn(record) for each
    // intact one. Reports and removes nothing; returns how many records fail their check.
    template <typename Fn>
    std::uint32_t scan(Fn&& fn) const;

    // Test seams: damage the stored bytes of one record so that its checksum fails; make every
    // step from `key` on land on the first record (a damaged tree), which the step reports.
    void TEST_corruptRecord(Key const& key);
    void TEST_stepsBackFrom(Key const& key);

  protected:
    void quarantineDamaged() const override;

  private:
    [[noreturn]] void throwCorrupt(std::uint8_t const* encodedKey, Key const* key) const;
    std::optional<Record> seek(detail::Seek how, Key const* key) const;

    std::unique_ptr<detail::RawCollection> raw_;
};

}  // namespace Tessel

#pragma GCC visibility pop
