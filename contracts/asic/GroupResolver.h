#pragma once
// Asic::GroupResolver: orders and commits the requests of one group.
//
// Requests of one ordering domain (one software table) commit in the order they were queued;
// an unresolved request holds back only the later requests of its own domain. The resolver
// asks again whenever updateGenId() says something may have changed: it posts one pass to the
// event loop (at most one outstanding), and the pass commits every resolved front request,
// repeating while any commit was made.
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

#include "contracts/asic/ResolverEntry.h"
#include "contracts/qel/EventLoop.h"

namespace Asic {

class GroupResolver : public Lumo::Node {
  public:
    // Without an event loop, passes run only when processQueues() is called.
    explicit GroupResolver(Qel::EventLoop* loop = nullptr) : loop_(loop) {}
    char const* typeData() const override { return "Asic::GroupResolver"; }

    void resolverQueueEnq(Lumo::Ptr<ResolverEntry> const& entry);
    // Something a queued request may wait for has changed: schedule a pass.
    void updateGenId();
    // Suspension of the group's hardware programming is not modelled; nothing to do.
    void maybeUpdateSuspend() {}

    std::uint64_t genId() const { return genId_; }
    std::size_t queued() const { return queued_; }
    std::size_t queued(void const* domain) const;

    // Commits every request that is resolved at the front of its domain, repeating while
    // any commit was made. Returns the number of commits.
    std::uint64_t processQueues();

    // Drops every queued request without committing it (the agent is going away).
    void clear() {
        queues_.clear();
        domainOrder_.clear();
        queued_ = 0;
    }

  private:
    // Forgets domains whose queue is empty, so that a table that went away leaves nothing behind.
    void dropEmptyDomains();

    Qel::EventLoop* loop_;
    std::uint64_t genId_ = 0;
    bool passPending_ = false;
    bool inPass_ = false;
    std::size_t queued_ = 0;
    std::vector<void const*> domainOrder_;
    std::unordered_map<void const*, std::deque<Lumo::Ptr<ResolverEntry>>> queues_;
};

}  // namespace Asic
