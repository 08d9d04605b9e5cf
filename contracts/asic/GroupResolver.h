#pragma once
// Asic::GroupResolver: orders and commits the requests of one group.
//
// Requests of one ordering domain (one software table) commit in the order they were queued;
// an unresolved request holds back only the later requests of its own domain. The resolver
// asks again whenever updateGenId() says something may have changed: it posts one pass to the
// event loop (at most one outstanding), and the pass commits every resolved front request,
// repeating while any commit was made.
//
// With a commit group installed (the storage the commits write to), the commits of a pass go
// to storage together: the group is begun before the pass and committed after it, and after
// every kCommitsPerGroup commits; after such a commit the pass hands the loop back and posts the
// rest of its work as a new pass, so that the loop's other work (the hardware confirming what was
// committed) is not held up by a long pass. The commit listener hears of each group commit, so that what
// the commits announced (logged versions) is passed on only once it is durable.
#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "contracts/asic/ResolverEntry.h"
#include "contracts/qel/EventLoop.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

// The storage transaction the commits of a pass are grouped in.
class CommitGroup {
  public:
    virtual ~CommitGroup() = default;
    // Opens the group; false when there is nothing to group (the writes are durable one by one).
    virtual bool begin() = 0;
    // Makes everything written since begin() or the last commit() durable; throws when it cannot.
    virtual void commit() = 0;
    // Commits and closes; when `unwinding`, a failure is reported without throwing.
    virtual void end(bool unwinding) = 0;
};

class GroupResolver : public Lumo::Node {
  public:
    // Told after every commit of the commit group: `durable` false when the group's writes
    // could not be committed.
    class CommitListener {
      public:
        virtual ~CommitListener() = default;
        virtual void groupCommitted(bool durable) = 0;
    };
    // Commits per storage transaction in a long pass. Between groups the loop runs, and the
    // hardware's confirmations clean the change log: the group bounds the log's peak, which is
    // what the store's file must hold beyond the configuration records.
    static constexpr std::uint64_t kCommitsPerGroup = 2048;

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
    // any commit was made; with an event loop, a pass ends after a full group and posts the
    // next one. Returns the number of commits.
    std::uint64_t processQueues();

    void commitGroupIs(std::shared_ptr<CommitGroup> group) { commitGroup_ = std::move(group); }
    CommitGroup* commitGroup() const { return commitGroup_.get(); }
    void commitListenerIs(CommitListener* listener) { commitListener_ = listener; }
    // A pass is running with its commits grouped: what they announce waits for groupCommitted().
    bool grouping() const { return grouping_; }

    // Forgets the event loop: from now on passes run only when processQueues() is called (the
    // agent is going away and its loop may go before what still holds this resolver).
    void eventLoopDel() { loop_ = nullptr; }

    // Drops every queued request without committing it (the agent is going away).
    void clear() {
        queues_.clear();
        domainOrder_.clear();
        queued_ = 0;
    }

  private:
    // Forgets domains whose queue is empty, so that a table that went away leaves nothing behind.
    void dropEmptyDomains();
    // Posts a pass to the event loop unless one is outstanding (or there is no loop).
    void schedulePass();
    // Commits the open commit group (and closes it when `last`), then tells the listener.
    void groupCommit(CommitGroup& group, bool last, bool unwinding);

    Qel::EventLoop* loop_;
    std::uint64_t genId_ = 0;
    bool passPending_ = false;
    bool inPass_ = false;
    bool grouping_ = false;
    std::shared_ptr<CommitGroup> commitGroup_;
    CommitListener* commitListener_ = nullptr;
    std::size_t queued_ = 0;
    std::vector<void const*> domainOrder_;
    std::unordered_map<void const*, std::deque<Lumo::Ptr<ResolverEntry>>> queues_;
};

}  // namespace Asic

#pragma GCC visibility pop
