#include "contracts/lumo/Node.h"

#include <algorithm>

#include "contracts/lumo/Publisher.h"

namespace Lumo {
namespace detail {
bool gThreadSafe = false;
}

void threadSafeModeIs(bool threadSafe) { detail::gThreadSafe = threadSafe; }
bool threadSafeMode() { return detail::gThreadSafe; }

Node::~Node() { delete publisher_; }
void Node::lastUserGone() { delete this; }
Publisher* Node::publisher() const { return publisher_; }

void Publisher::subscriberIs(Subscriber* s) {
    if (s == nullptr || positionOf(s) != npos) return;
    subs_.push_back(s);
    if (indexed_) {
        positions_.emplace(s, subs_.size() - 1);
    } else if (subs_.size() >= kIndexFrom) {
        indexed_ = true;
        for (std::size_t i = 0; i < subs_.size(); ++i)
            if (subs_[i]) positions_.emplace(subs_[i], i);
    }
}

void Publisher::subscriberDel(Subscriber* s) {
    if (s == nullptr) return;
    std::size_t const at = positionOf(s);
    if (at == npos) return;
    subs_[at] = nullptr;  // a hole: positions stay valid, a running notification skips it
    ++holes_;
    if (indexed_) positions_.erase(s);
    if (notifyDepth_ == 0) compact();
}

bool Publisher::subscriberHas(Subscriber const* s) const { return s != nullptr && positionOf(s) != npos; }

std::size_t Publisher::subscribers() const { return subs_.size() - holes_; }

std::size_t Publisher::positionOf(Subscriber const* s) const {
    if (indexed_) {
        auto const it = positions_.find(s);
        return it == positions_.end() ? npos : it->second;
    }
    auto const it = std::find(subs_.begin(), subs_.end(), s);
    return it == subs_.end() ? npos : static_cast<std::size_t>(it - subs_.begin());
}

// Closes the holes once they are half the list, so each removal costs constant time on average.
void Publisher::compact() {
    if (holes_ == 0 || holes_ * 2 < subs_.size()) return;
    subs_.erase(std::remove(subs_.begin(), subs_.end(), nullptr), subs_.end());
    holes_ = 0;
    if (!indexed_) return;
    for (std::size_t i = 0; i < subs_.size(); ++i) positions_[subs_[i]] = i;
}

void Publisher::notify(Node const* source, AttributeId attribute, std::uint64_t index) {
    ++notifyDepth_;
    // Index loop: subscribers added during the notification are not called this round.
    std::size_t const n = subs_.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (Subscriber* s = subs_[i]) s->onAttributeChange(source, attribute, index);
    }
    if (--notifyDepth_ == 0) compact();
}

Publisher* PublishingNode::publisher() const { return &publisherRef(); }
Publisher& PublishingNode::publisherRef() const {
    if (publisher_ == nullptr) publisher_ = new Publisher();
    return *publisher_;
}

}  // namespace Lumo
