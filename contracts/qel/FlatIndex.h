#pragma once
// Qel::detail::FlatIndex: the index of HashMap2018. A flat open-addressing table (linear
// probing, deletion by shifting later members of a probe run back, no tombstones) of element
// positions, each with 32 bits of its key's hash. The keys live with the caller, who compares
// them only when the hash bits match, so a lookup is one probe run in one array.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Qel::detail {

class FlatIndex {
  public:
    using Position = std::uint32_t;
    static constexpr Position npos = ~Position{0};

    std::size_t size() const { return size_; }

    // The 32 hash bits kept per element.
    static std::uint32_t fold(std::size_t h) {
        if constexpr (sizeof(std::size_t) > 4) h ^= h >> 16 >> 16;
        return static_cast<std::uint32_t>(h);
    }

    // The position stored for a key of hash bits `h` for which `same(position)` holds, or npos.
    template <typename Same>
    Position find(std::uint32_t h, Same&& same) const {
        if (size_ == 0) return npos;
        for (std::size_t i = home(h);; i = (i + 1) & mask_) {
            Bucket const& b = buckets_[i];
            if (b.pos == npos) return npos;
            if (b.hash == h && same(b.pos)) return b.pos;
        }
    }

    // Adds the position of a key known to be absent.
    void insert(std::uint32_t h, Position pos) {
        if ((size_ + 1) * 4 > buckets_.size() * 3) grow();
        place(Bucket{pos, h});
        ++size_;
    }

    // Removes `pos`, stored under hash bits `h`.
    void erase(std::uint32_t h, Position pos) {
        std::size_t i = home(h);
        while (buckets_[i].pos != pos) i = (i + 1) & mask_;
        for (std::size_t j = (i + 1) & mask_; buckets_[j].pos != npos; j = (j + 1) & mask_) {
            // A member may move back into the hole at i only if its home is not in (i, j].
            std::size_t const k = home(buckets_[j].hash);
            bool const movable = i <= j ? (k <= i || k > j) : (k <= i && k > j);
            if (movable) {
                buckets_[i] = buckets_[j];
                i = j;
            }
        }
        buckets_[i].pos = npos;
        --size_;
    }

    // Asks the memory system for the bucket a key of hash bits `h` is looked up in first.
    void prefetch(std::uint32_t h) const {
        if (!buckets_.empty()) __builtin_prefetch(&buckets_[home(h)]);
    }

    void clear() {
        buckets_.clear();
        mask_ = 0;
        shift_ = 32;
        size_ = 0;
    }

    void reserve(std::size_t n) {
        while (n * 4 > buckets_.size() * 3) grow();
    }

  private:
    struct Bucket {
        Position pos = npos;
        std::uint32_t hash = 0;
    };

    // Fibonacci hashing: the top bits of the product, so hashes that differ only in high or
    // only in low bits still spread.
    std::size_t home(std::uint32_t h) const { return (static_cast<std::uint32_t>(h * 0x9E3779B1u) >> shift_) & mask_; }

    void place(Bucket b) {
        std::size_t i = home(b.hash);
        while (buckets_[i].pos != npos) i = (i + 1) & mask_;
        buckets_[i] = b;
    }

    void grow() {
        std::vector<Bucket> old = std::move(buckets_);
        std::size_t const n = old.empty() ? 16 : old.size() * 2;
        buckets_.assign(n, Bucket{});
        mask_ = n - 1;
        shift_ = 32;
        for (std::size_t m = n; m > 1; m >>= 1) --shift_;
        for (Bucket const& b : old)
            if (b.pos != npos) place(b);
    }

    std::vector<Bucket> buckets_;
    std::size_t mask_ = 0;
    unsigned shift_ = 32;
    std::size_t size_ = 0;
};

}  // namespace Qel::detail

#pragma GCC visibility pop
