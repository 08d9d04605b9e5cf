#pragma once
// Tessel::detail::ReadAhead: the records that follow a walk's position in one collection, read
// in one run of cursor steps and checked once, so that a walk which asks again and again for
// "the record after the one I was given" is served from memory.
//
// A window belongs to one snapshot: it is used only while the reads see the snapshot it was
// filled in (a write of this process, or a commit of another, starts a new one). It holds only
// records that were intact and in strictly increasing key order; a record that is not ends the
// window, so that the walk meets it through an ordinary read and reports it as before.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "contracts/shm/SmallBytes.h"

struct MDB_cursor;

namespace Tessel::detail {

class ReadAhead {
  public:
    // Records read ahead at most (including the one the window starts at).
    static constexpr std::uint32_t kCapacity = 64;

    void reset() {
        snapshot_ = 0;
        count_ = 0;
    }

    // Starts a window at a record just handed out by a read in `snapshot` (never 0).
    void start(std::uint64_t snapshot, void const* key, std::size_t keySize, void const* record,
               std::size_t recordSize) {
        snapshot_ = snapshot;
        keySize_ = keySize;
        recordSize_ = recordSize;
        stride_ = keySize + recordSize;
        bytes_.resize(std::size_t{kCapacity} * stride_);
        count_ = 0;
        pos_ = 0;
        append(key, record);
    }
    bool full() const { return count_ == kCapacity; }
    // Appends the intact records that follow cursor `c` (resting on the last record taken), in
    // increasing key order, until the window is full or a record fails a check. The cursor is
    // left on the last record taken, so that the step after the window goes on from there as
    // it would have without one.
    void fill(MDB_cursor* c);
    void append(void const* key, void const* record) {
        unsigned char* at = bytes_.data() + std::size_t{count_} * stride_;
        copyBytes(at, key, keySize_);
        copyBytes(at + keySize_, record, recordSize_);
        ++count_;
    }
    // The last key appended, to check that the next one lies past it.
    unsigned char const* lastKey() const { return keyAt(count_ - 1); }

    // The record at `key` when it is the record last handed out (the window's position).
    bool current(std::uint64_t snapshot, void const* key, std::size_t keySize, void* record) const {
        if (!atPosition(snapshot, key, keySize)) return false;
        if (record) copyBytes(record, keyAt(pos_) + keySize_, recordSize_);
        return true;
    }
    // The record after `key` when `key` is the record last handed out and the window holds the
    // next one; the window moves on to it.
    bool next(std::uint64_t snapshot, void const* key, std::size_t keySize, void* record, void* foundKey) {
        if (!atPosition(snapshot, key, keySize) || pos_ + 1 >= count_) return false;
        ++pos_;
        copyBytes(foundKey, keyAt(pos_), keySize_);
        if (record) copyBytes(record, keyAt(pos_) + keySize_, recordSize_);
        return true;
    }

  private:
    bool atPosition(std::uint64_t snapshot, void const* key, std::size_t keySize) const {
        return snapshot != 0 && snapshot == snapshot_ && count_ > 0 && keySize == keySize_ &&
               sameBytes(keyAt(pos_), key, keySize);
    }
    unsigned char const* keyAt(std::uint32_t i) const { return bytes_.data() + std::size_t{i} * stride_; }

    std::uint64_t snapshot_ = 0;  // 0: empty
    std::size_t keySize_ = 0;
    std::size_t recordSize_ = 0;
    std::size_t stride_ = 0;
    std::uint32_t count_ = 0;
    std::uint32_t pos_ = 0;
    std::vector<unsigned char> bytes_;  // count_ entries of key then record
};

}  // namespace Tessel::detail
