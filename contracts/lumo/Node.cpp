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
    if (s == nullptr || subscriberHas(s)) return;
    subs_.push_back(s);
}

void Publisher::subscriberDel(Subscriber* s) {
    auto it = std::find(subs_.begin(), subs_.end(), s);
    if (it == subs_.end()) return;
    if (notifyDepth_ > 0) {
        *it = nullptr;  // compacted when the outermost notification ends
        hasHoles_ = true;
    } else {
        subs_.erase(it);
    }
}

bool Publisher::subscriberHas(Subscriber const* s) const {
    return s != nullptr && std::find(subs_.begin(), subs_.end(), s) != subs_.end();
}

std::size_t Publisher::subscribers() const {
    return static_cast<std::size_t>(std::count_if(subs_.begin(), subs_.end(), [](auto* s) { return s != nullptr; }));
}

void Publisher::notify(Node const* source, AttributeId attribute, std::uint64_t index) {
    ++notifyDepth_;
    // Index loop: subscribers added during the notification are not called this round.
    std::size_t const n = subs_.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (Subscriber* s = subs_[i]) s->onAttributeChange(source, attribute, index);
    }
    if (--notifyDepth_ == 0 && hasHoles_) {
        subs_.erase(std::remove(subs_.begin(), subs_.end(), nullptr), subs_.end());
        hasHoles_ = false;
    }
}

Publisher* PublishingNode::publisher() const { return &publisherRef(); }
Publisher& PublishingNode::publisherRef() const {
    if (publisher_ == nullptr) publisher_ = new Publisher();
    return *publisher_;
}

}  // namespace Lumo
