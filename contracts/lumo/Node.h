#pragma once
// Lumo::Node and Lumo::Ptr: the object framework's counted nodes.
//
// A Node carries an intrusive reference count; a Ptr holds one count and the node is
// destroyed when the last Ptr goes. Counts are updated with atomic read-modify-write
// operations only when the framework runs in its thread-safe mode, chosen once at start
// with Lumo::threadSafeModeIs(); otherwise they are plain increments on the one thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Lumo {

class Publisher;

// Chooses how reference counts are updated. Call before any Node is shared between threads.
void threadSafeModeIs(bool threadSafe);
bool threadSafeMode();

namespace detail {
extern bool gThreadSafe;
}

// Base of every counted framework object.
class Node {
  public:
    Node() = default;
    Node(Node const&) = delete;
    Node& operator=(Node const&) = delete;
    virtual ~Node();

    // Called when the count drops to zero; the default deletes the node.
    virtual void lastUserGone();
    // The node's change publisher, created on first use (null for nodes that never publish).
    virtual Publisher* publisher() const;
    // A short type name for traces and diagnostics.
    virtual char const* typeData() const { return "Lumo::Node"; }

    std::uint32_t references() const { return refs_.load(std::memory_order_relaxed); }

    void newRef() const {
        if (detail::gThreadSafe) {
            refs_.fetch_add(1, std::memory_order_relaxed);
        } else {
            refs_.store(refs_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        }
    }
    void deleteRef() const {
        std::uint32_t left;
        if (detail::gThreadSafe) {
            left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        } else {
            left = refs_.load(std::memory_order_relaxed) - 1;
            refs_.store(left, std::memory_order_relaxed);
        }
        if (left == 0) {
            const_cast<Node*>(this)->lastUserGone();
        }
    }

  protected:
    // Publisher storage for nodes that publish; see Lumo::PublishingNode.
    mutable Publisher* publisher_ = nullptr;

  private:
    mutable std::atomic<std::uint32_t> refs_{0};
};

// Counted pointer to a Node (or a class derived from it). Ptr<T const> is the pointer to const.
template <typename T>
class Ptr {
  public:
    using element_type = T;

    Ptr() noexcept = default;
    Ptr(std::nullptr_t) noexcept {}
    Ptr(T* p) noexcept : p_(p) {
        if (p_) p_->newRef();
    }
    Ptr(Ptr const& o) noexcept : p_(o.p_) {
        if (p_) p_->newRef();
    }
    Ptr(Ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    Ptr(Ptr<U> const& o) noexcept : p_(o.ptr()) {
        if (p_) p_->newRef();
    }
    template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    Ptr(Ptr<U>&& o) noexcept : p_(o.release()) {}
    ~Ptr() {
        if (p_) p_->deleteRef();
    }

    Ptr& operator=(Ptr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    T* ptr() const noexcept { return p_; }
    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Gives up the pointer without dropping its count.
    T* release() noexcept { return std::exchange(p_, nullptr); }

    friend bool operator==(Ptr const& a, Ptr const& b) noexcept { return a.p_ == b.p_; }
    friend bool operator==(Ptr const& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }
    template <typename U>
    friend bool operator==(Ptr const& a, Ptr<U> const& b) noexcept {
        return a.ptr() == b.ptr();
    }

  private:
    T* p_ = nullptr;
};

template <typename T>
using PtrConst = Ptr<T const>;

// Counted-pointer casts.
template <typename T, typename U>
Ptr<T> ptr_cast(Ptr<U> const& p) noexcept {
    return Ptr<T>(dynamic_cast<T*>(p.ptr()));
}
template <typename T, typename U>
Ptr<T> static_ptr_cast(Ptr<U> const& p) noexcept {
    return Ptr<T>(static_cast<T*>(p.ptr()));
}
template <typename T, typename U>
Ptr<T> const_ptr_cast(Ptr<U> const& p) noexcept {
    return Ptr<T>(const_cast<T*>(p.ptr()));
}

template <typename T, typename... Args>
Ptr<T> make(Args&&... args) {
    return Ptr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace Lumo

template <typename T>
struct std::hash<Lumo::Ptr<T>> {
    std::size_t operator()(Lumo::Ptr<T> const& p) const noexcept { return std::hash<T const*>()(p.ptr()); }
};

#pragma GCC visibility pop
