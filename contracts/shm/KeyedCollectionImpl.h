#pragma once
// Template bodies of Tessel::KeyedCollection<Record>: included by the files that instantiate a
// collection or call scan(), never by an installed header.
// Every operation encodes the key into a stack buffer and hands bytes to the untyped
// RawCollection: no allocation on the way, except to build the message of an exception.
#include <fmt/format.h>

#include <array>
#include <cstring>
#include <string>
#include <type_traits>

#include "contracts/shm/KeyedCollection.h"
#include "contracts/shm/RawCollection.h"

namespace Tessel {

namespace detail {

// The stored form of a key: integers as fixed-width big-endian (signed ones with the sign bit
// flipped), key types through their kEncodedSize and encode(); byte order is key order.
template <typename Key>
struct KeyCodec {
    static constexpr std::size_t kSize = [] {
        if constexpr (std::is_integral_v<Key>) {
            return sizeof(Key);
        } else {
            return std::size_t{Key::kEncodedSize};
        }
    }();
    using Bytes = std::array<std::uint8_t, kSize>;

    static void encode(Key const& key, std::uint8_t* out) {
        if constexpr (std::is_integral_v<Key>) {
            using U = std::make_unsigned_t<Key>;
            U v = static_cast<U>(key);
            if constexpr (std::is_signed_v<Key>) v ^= U(U(1) << (8 * sizeof(Key) - 1));
            for (std::size_t i = 0; i < sizeof(Key); ++i)
                out[i] = static_cast<std::uint8_t>(v >> (8 * (sizeof(Key) - 1 - i)));
        } else {
            key.encode(out);
        }
    }

    // The key for a message: integers in decimal, key types through their formatter when they
    // have one and the key is known, otherwise the stored bytes in hex.
    static std::string describe(std::uint8_t const* encoded, Key const* key) {
        if constexpr (std::is_integral_v<Key>) {
            std::uint64_t v = 0;
            for (std::size_t i = 0; i < kSize; ++i) v = v << 8 | encoded[i];
            if constexpr (std::is_signed_v<Key>) v ^= std::uint64_t(1) << (8 * sizeof(Key) - 1);
            return std::is_signed_v<Key>
                       ? std::to_string(static_cast<std::int64_t>(static_cast<std::make_signed_t<Key>>(v)))
                       : std::to_string(v);
        } else {
            if constexpr (fmt::is_formattable<Key>::value) {
                if (key) return fmt::format("{}", *key);
            }
            std::string hex = "0x";
            for (std::size_t i = 0; i < kSize; ++i) hex += fmt::format("{:02x}", encoded[i]);
            return hex;
        }
    }
};

}  // namespace detail

template <typename Record>
KeyedCollection<Record>::KeyedCollection(QelSharedMem::Environment& env, Lumo::String const& dbName,
                                         Lumo::String const& typeName, std::uint32_t capacity)
    : KeyedCollection(env, detail::CollectionDefinition{dbName, {}, typeName, {}, capacity, 0, 0}) {}

template <typename Record>
KeyedCollection<Record>::KeyedCollection(QelSharedMem::Environment& env,
                                         detail::CollectionDefinition const& definition) {
    static_assert(std::is_trivially_copyable_v<Record>, "records are stored by their bytes");
    static_assert(std::is_default_constructible_v<Record>);
    detail::CollectionDefinition s = definition;
    s.recordSize = sizeof(Record);
    raw_ = std::make_unique<detail::RawCollection>(env, std::move(s));
}

template <typename Record>
KeyedCollection<Record>::~KeyedCollection() = default;

template <typename Record>
void KeyedCollection<Record>::throwCorrupt(std::uint8_t const* encodedKey, Key const* key) const {
    auto const& definition = raw_->definition();
    throw Lumo::CorruptionDetectedException(
        fmt::format("shared-memory table {}{}{}: record of key {} fails its checksum", definition.path,
                    definition.collectionName.empty() ? "" : " collection ", definition.collectionName,
                    detail::KeyCodec<Key>::describe(encodedKey, key)));
}

template <typename Record>
Record KeyedCollection<Record>::find(Key const& key) const {
    std::optional<Record> r = lookup(key);
    return r ? *r : Record{};
}

template <typename Record>
std::optional<Record> KeyedCollection<Record>::lookup(Key const& key) const {
    typename detail::KeyCodec<Key>::Bytes k;
    detail::KeyCodec<Key>::encode(key, k.data());
    Record record;
    switch (raw_->get(k.data(), k.size(), &record)) {
        case detail::ReadStatus::found:
            return record;
        case detail::ReadStatus::absent:
            return std::nullopt;
        case detail::ReadStatus::corrupt:
        case detail::ReadStatus::misordered:
            break;
    }
    throwCorrupt(k.data(), &key);
}

template <typename Record>
bool KeyedCollection<Record>::has(Key const& key) const {
    typename detail::KeyCodec<Key>::Bytes k;
    detail::KeyCodec<Key>::encode(key, k.data());
    detail::ReadStatus const status = raw_->get(k.data(), k.size(), nullptr);
    if (status == detail::ReadStatus::corrupt) throwCorrupt(k.data(), &key);
    return status == detail::ReadStatus::found;
}

template <typename Record>
void KeyedCollection<Record>::set(Record const& record) {
    typename detail::KeyCodec<Key>::Bytes k;
    detail::KeyCodec<Key>::encode(record.key(), k.data());
    raw_->put(k.data(), k.size(), &record);
}

template <typename Record>
bool KeyedCollection<Record>::del(Key const& key) {
    typename detail::KeyCodec<Key>::Bytes k;
    detail::KeyCodec<Key>::encode(key, k.data());
    return raw_->del(k.data(), k.size());
}

template <typename Record>
std::uint32_t KeyedCollection<Record>::size() const {
    return raw_->size();
}

template <typename Record>
std::uint32_t KeyedCollection<Record>::capacity() const {
    return raw_->capacity();
}

template <typename Record>
std::optional<Record> KeyedCollection<Record>::seek(detail::Seek how, Key const* key) const {
    typename detail::KeyCodec<Key>::Bytes k{};
    if (key) detail::KeyCodec<Key>::encode(*key, k.data());
    typename detail::KeyCodec<Key>::Bytes found;
    Record record;
    switch (raw_->seek(how, k.data(), k.size(), &record, found.data())) {
        case detail::ReadStatus::found:
            return record;
        case detail::ReadStatus::absent:
            return std::nullopt;
        case detail::ReadStatus::corrupt:
            break;
        case detail::ReadStatus::misordered: {
            auto const& definition = raw_->definition();
            throw Lumo::CorruptionDetectedException(
                fmt::format("shared-memory table {}{}{}: a step from key {} found key {}: the table's order is damaged",
                            definition.path, definition.collectionName.empty() ? "" : " collection ",
                            definition.collectionName, detail::KeyCodec<Key>::describe(k.data(), key),
                            detail::KeyCodec<Key>::describe(found.data(), nullptr)));
        }
    }
    throwCorrupt(found.data(), nullptr);  // the stored key is known, not its record
}

template <typename Record>
std::optional<Record> KeyedCollection<Record>::first() const {
    return seek(detail::Seek::first, nullptr);
}

template <typename Record>
std::optional<Record> KeyedCollection<Record>::atOrAfter(Key const& key) const {
    return seek(detail::Seek::atOrAfter, &key);
}

template <typename Record>
std::optional<Record> KeyedCollection<Record>::after(Key const& key) const {
    return seek(detail::Seek::after, &key);
}

template <typename Record>
QelTessel::CollectionControl& KeyedCollection<Record>::control() const {
    return raw_->control();
}

template <typename Record>
Lumo::Ptr<QelTessel::CollectionControl> KeyedCollection<Record>::controlPtr() const {
    return raw_->controlPtr();
}

template <typename Record>
std::uint64_t KeyedCollection<Record>::quarantined() const {
    return raw_->quarantined();
}

template <typename Record>
template <typename Fn>
std::uint32_t KeyedCollection<Record>::scan(Fn&& fn) const {
    return raw_->scan([&](void const* bytes) {
        Record record;
        std::memcpy(&record, bytes, sizeof(Record));
        fn(static_cast<Record const&>(record));
    });
}

template <typename Record>
void KeyedCollection<Record>::quarantineDamaged() const {
    raw_->quarantine();
}

template <typename Record>
void KeyedCollection<Record>::TEST_stepsBackFrom(Key const& key) {
    typename detail::KeyCodec<Key>::Bytes k;
    detail::KeyCodec<Key>::encode(key, k.data());
    raw_->stepsBackFrom(k.data(), k.size());
}

template <typename Record>
void KeyedCollection<Record>::TEST_corruptRecord(Key const& key) {
    typename detail::KeyCodec<Key>::Bytes k;
    detail::KeyCodec<Key>::encode(key, k.data());
    raw_->corruptRecord(k.data(), k.size());
}

}  // namespace Tessel
