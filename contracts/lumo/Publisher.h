#pragma once
// Change notification: a Publisher tells its Subscribers which attribute of a node changed.
//
// Subscribers are called in the order they subscribed. They may subscribe or unsubscribe
// (themselves or others) during a notification; a subscriber removed during a notification is
// not called afterwards, one added during it is not called by it. Subscribing, unsubscribing
// and asking take constant time however many subscribe (a handle that many release waiters
// watch, say).
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "contracts/lumo/Node.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Lumo {

// Identity of an attribute for change notification (its position in the class's declaration order).
using AttributeId = std::uint32_t;

class Subscriber {
  public:
    virtual ~Subscriber() = default;
    // `index` carries an attribute-specific detail (a collection key hash, a queue position), 0 if none.
    virtual void onAttributeChange(Node const* source, AttributeId attribute, std::uint64_t index) = 0;
};

class Publisher {
  public:
    void subscriberIs(Subscriber* s);
    void subscriberDel(Subscriber* s);
    bool subscriberHas(Subscriber const* s) const;
    std::size_t subscribers() const;
    void notify(Node const* source, AttributeId attribute, std::uint64_t index = 0);

  private:
    static constexpr std::size_t npos = ~std::size_t{0};
    static constexpr std::size_t kIndexFrom = 16;  // subscribers from which positions are indexed
    std::size_t positionOf(Subscriber const* s) const;
    void compact();

    std::vector<Subscriber*> subs_;                                 // in subscription order; null where one was removed
    std::unordered_map<Subscriber const*, std::size_t> positions_;  // of subs_, once it has been long
    bool indexed_ = false;
    std::size_t holes_ = 0;
    std::uint32_t notifyDepth_ = 0;
};

// Base for nodes that publish attribute changes. Publishing costs nothing while nobody subscribes.
class PublishingNode : public Node {
  public:
    Publisher* publisher() const override;
    Publisher& publisherRef() const;

  protected:
    void notify(AttributeId attribute, std::uint64_t index = 0) const {
        if (publisher_ != nullptr) publisher_->notify(this, attribute, index);
    }
};

}  // namespace Lumo

#pragma GCC visibility pop
