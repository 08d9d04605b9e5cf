#pragma once
// The in-log queue of a software table: entry handles whose log records wait for the table
// status, in the order their commits were logged.
//
// Handles are addressed by a 32-bit position: the first handle of a new queue takes position
// 1, each further one the position after the current back; dequeuing advances the front.
// Positions compare in wrap-around order (p lies before q when q - p, as a signed 32-bit
// number, is positive), so the queue keeps working across the 2^32 wrap.
#include <cstdint>
#include <deque>

#include "contracts/lumo/Node.h"

namespace VornTunnelTcamMgr {

template <typename Handle>
class InLogQueue {
  public:
    using Position = std::uint32_t;

    // p lies before q in wrap-around order.
    static bool before(Position p, Position q) { return static_cast<std::int32_t>(q - p) > 0; }

    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }
    Position frontPosition() const { return front_; }
    Position backPosition() const { return static_cast<Position>(front_ + items_.size() - 1); }

    // Appends and returns the new handle's position.
    Position enq(Lumo::Ptr<Handle> h) {
        items_.push_back(std::move(h));
        return backPosition();
    }
    Lumo::Ptr<Handle> deq() {
        if (items_.empty()) return nullptr;
        Lumo::Ptr<Handle> h = std::move(items_.front());
        items_.pop_front();
        ++front_;
        return h;
    }
    Lumo::Ptr<Handle> front() const { return items_.empty() ? nullptr : items_.front(); }
    Lumo::Ptr<Handle> back() const { return items_.empty() ? nullptr : items_.back(); }

    bool has(Position index) const {
        if (items_.empty()) return false;
        return !before(index, front_) && !before(backPosition(), index);
    }
    Lumo::Ptr<Handle> at(Position index) const {
        if (!has(index)) return nullptr;
        return items_[static_cast<Position>(index - front_)];
    }

    // Dequeues everything, then releases the storage.
    void clear() {
        while (!items_.empty()) deq();
        std::deque<Lumo::Ptr<Handle>>().swap(items_);
    }

    // Test seam: start a new, empty queue at `front` (to exercise the 2^32 wrap).
    void TEST_frontIs(Position front) {
        clear();
        front_ = front;
    }

  private:
    std::deque<Lumo::Ptr<Handle>> items_;
    Position front_ = 1;
};

}  // namespace VornTunnelTcamMgr
