#pragma once
// Qel::HashMap2018: the framework's keyed collection.
//
// Lookup, insert-or-replace and delete by key in O(1). Iteration is in slot order (the
// collection's own order) and survives deletion of the element it stands on: a deleted
// slot is only marked free, so a cursor can always step on from it. Slots freed by
// deletion are reused by later insertions; an element inserted during an iteration may
// or may not be visited by it. The index is flat (FlatIndex.h): no allocation per element.
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "contracts/qel/FlatIndex.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Qel {

template <typename K, typename V, typename Hash = std::hash<K>, typename Eq = std::equal_to<K>>
class HashMap2018 {
    struct Slot {
        K key{};
        V value{};
        bool live = false;
    };

  public:
    using Position = std::uint32_t;
    static constexpr Position npos = ~Position{0};

    std::size_t size() const { return index_.size(); }
    bool empty() const { return index_.size() == 0; }

    bool has(K const& key) const { return positionOf(key) != npos; }
    // Changes nothing: starts reading where `key` is looked up, so that a lookup of it made
    // soon after, often in another collection first, does not wait for main memory.
    void prefetch(K const& key) const { index_.prefetch(hashOf(key)); }

    // The stored value, or null.
    V const* find(K const& key) const {
        Position const p = positionOf(key);
        return p == npos ? nullptr : &slots_[p].value;
    }
    V* find(K const& key) {
        Position const p = positionOf(key);
        return p == npos ? nullptr : &slots_[p].value;
    }
    // The stored value, or a default-constructed one.
    V get(K const& key) const {
        V const* v = find(key);
        return v ? *v : V{};
    }

    // Inserts or replaces; returns true when the collection changed (a new key, or a
    // different value by `same`).
    template <typename Same = std::equal_to<V>>
    bool set(K const& key, V value, Same same = Same{}) {
        std::uint32_t const h = hashOf(key);
        if (Position const at = index_.find(h, matches(key)); at != npos) {
            Slot& s = slots_[at];
            if (same(s.value, value)) return false;
            s.value = std::move(value);
            return true;
        }
        Position p;
        if (!free_.empty()) {
            p = free_.back();
            free_.pop_back();
        } else {
            p = static_cast<Position>(slots_.size());
            slots_.emplace_back();
        }
        Slot& s = slots_[p];
        s.key = key;
        s.value = std::move(value);
        s.live = true;
        index_.insert(h, p);
        return true;
    }

    // Removes the key and hands back its value (nullopt when absent).
    std::optional<V> del(K const& key) {
        std::uint32_t const h = hashOf(key);
        Position const p = index_.find(h, matches(key));
        if (p == npos) return std::nullopt;
        index_.erase(h, p);
        Slot& s = slots_[p];
        std::optional<V> out(std::move(s.value));
        s.value = V{};
        s.key = K{};
        s.live = false;
        free_.push_back(p);
        return out;
    }

    void delAll() {
        // Move out first so that destructors of values may look at the (empty) collection.
        auto old = std::move(slots_);
        slots_.clear();
        index_.clear();
        free_.clear();
        old.clear();
    }

    // Cursor operations: positions of live elements in collection order.
    Position first() const { return nextFrom(0); }
    Position next(Position p) const { return p == npos ? npos : nextFrom(p + 1); }
    Position positionOf(K const& key) const { return index_.find(hashOf(key), matches(key)); }

    // Makes room for `n` elements without growing the index.
    void reserve(std::size_t n) {
        index_.reserve(n);
        slots_.reserve(n);
    }
    K const& keyAt(Position p) const { return slots_[p].key; }
    V const& valueAt(Position p) const { return slots_[p].value; }
    bool liveAt(Position p) const { return p < slots_.size() && slots_[p].live; }

    class const_iterator {
      public:
        using value_type = std::pair<K const&, V const&>;
        const_iterator(HashMap2018 const* m, Position p) : m_(m), p_(p) {}
        std::pair<K const&, V const&> operator*() const { return {m_->keyAt(p_), m_->valueAt(p_)}; }
        const_iterator& operator++() {
            p_ = m_->next(p_);
            return *this;
        }
        bool operator==(const_iterator const& o) const { return p_ == o.p_; }
        K const& key() const { return m_->keyAt(p_); }
        V const& value() const { return m_->valueAt(p_); }

      private:
        HashMap2018 const* m_;
        Position p_;
    };
    const_iterator begin() const { return const_iterator(this, first()); }
    const_iterator end() const { return const_iterator(this, npos); }

    // Calls fn(key, value) for every element; fn may delete the element it is given.
    template <typename Fn>
    void forEach(Fn&& fn) const {
        for (Position p = first(); p != npos; p = next(p)) {
            K key = slots_[p].key;
            V value = slots_[p].value;
            fn(key, value);
        }
    }

  private:
    static std::uint32_t hashOf(K const& key) { return detail::FlatIndex::fold(Hash{}(key)); }
    auto matches(K const& key) const {
        return [this, &key](Position p) { return Eq{}(slots_[p].key, key); };
    }

    Position nextFrom(Position p) const {
        for (auto n = static_cast<Position>(slots_.size()); p < n; ++p)
            if (slots_[p].live) return p;
        return npos;
    }

    std::vector<Slot> slots_;
    detail::FlatIndex index_;
    std::vector<Position> free_;
};

// A keyed set with the same iteration guarantee.
template <typename K, typename Hash = std::hash<K>, typename Eq = std::equal_to<K>>
class HashSet2018 {
  public:
    using Position = typename HashMap2018<K, bool, Hash, Eq>::Position;
    static constexpr Position npos = HashMap2018<K, bool, Hash, Eq>::npos;
    std::size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    bool has(K const& key) const { return map_.has(key); }
    void prefetch(K const& key) const { map_.prefetch(key); }
    bool insert(K const& key) { return map_.set(key, true); }
    bool del(K const& key) { return map_.del(key).has_value(); }
    void delAll() { map_.delAll(); }
    Position first() const { return map_.first(); }
    Position next(Position p) const { return map_.next(p); }
    K const& keyAt(Position p) const { return map_.keyAt(p); }
    template <typename Fn>
    void forEach(Fn&& fn) const {
        map_.forEach([&](K const& k, bool) { fn(k); });
    }

  private:
    HashMap2018<K, bool, Hash, Eq> map_;
};

}  // namespace Qel

#pragma GCC visibility pop
