#include "contracts/asic/GroupResolver.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace Asic {

void GroupResolver::resolverQueueEnq(Lumo::Ptr<ResolverEntry> const& entry) {
    void const* domain = entry->orderingDomain();
    auto [it, inserted] = queues_.try_emplace(domain);
    if (inserted) domainOrder_.push_back(domain);
    it->second.push_back(entry);
    ++queued_;
}

void GroupResolver::updateGenId() {
    ++genId_;
    schedulePass();
}

void GroupResolver::schedulePass() {
    if (loop_ == nullptr || passPending_) return;
    passPending_ = true;
    loop_->post([self = Lumo::Ptr<GroupResolver>(this)] {
        self->passPending_ = false;
        self->processQueues();
    });
}

std::size_t GroupResolver::queued(void const* domain) const {
    auto it = queues_.find(domain);
    return it == queues_.end() ? 0 : it->second.size();
}

std::uint64_t GroupResolver::processQueues() {
    if (inPass_) return 0;  // a commit that asks for a pass is served by the running one
    inPass_ = true;
    // A commit may throw (a failed shared-memory write): the exception goes to the caller, and
    // the resolver must still serve later passes. The commits made before it stay: the group
    // is committed either way (a failed commit undoes only its own writes).
    std::shared_ptr<CommitGroup> const group = commitGroup_;
    grouping_ = group && group->begin();
    struct PassEnd {
        GroupResolver& r;
        CommitGroup* group;
        int uncaught = std::uncaught_exceptions();
        ~PassEnd() noexcept(false) {
            r.inPass_ = false;
            r.dropEmptyDomains();
            if (!std::exchange(r.grouping_, false)) return;
            r.groupCommit(*group, true, std::uncaught_exceptions() > uncaught);
        }
    } passEnd{*this, group.get()};
    std::uint64_t sinceGroupCommit = 0;

    std::uint64_t commits = 0;
    bool progress = true;
    bool askedAgain = false;
    bool yielded = false;
    while (progress && !yielded) {
        progress = false;
        std::uint64_t const gen = genId_;
        // Index loop, and the domain's queue looked up again after every commit: a commit may
        // queue new requests (a sweep's removes) in a new domain, or clear the resolver.
        for (std::size_t d = 0; d < domainOrder_.size(); ++d) {
            void const* const domain = domainOrder_[d];
            while (!yielded) {
                auto it = queues_.find(domain);
                if (it == queues_.end() || it->second.empty() || !it->second.front()->isResolved()) break;
                Lumo::Ptr<ResolverEntry> e = std::move(it->second.front());
                it->second.pop_front();
                --queued_;
                e->commitEntry(e);
                ++commits;
                progress = true;
                if (grouping_ && ++sinceGroupCommit == kCommitsPerGroup) {
                    sinceGroupCommit = 0;
                    groupCommit(*group, false, false);
                    // The loop gets its turn after each group: what the group set off (the
                    // hardware applying its changes, then the change log's cleanup) runs before
                    // the next group is written, so the change log never holds more than a few
                    // groups. A pass posted now serves the rest of the queues.
                    yielded = loop_ != nullptr && queued_ > 0;
                }
            }
            if (yielded) break;
        }
        if (yielded) {
            schedulePass();
            break;
        }
        if (progress) {
            askedAgain = false;
            if (queued_ == 0) break;
        } else if (gen != genId_ && !askedAgain) {
            // A change announced during the pass may have resolved a front already looked at.
            // Asked once more only: answers that themselves announce changes must not spin.
            progress = true;
            askedAgain = true;
        }
    }
    return commits;
}

void GroupResolver::groupCommit(CommitGroup& group, bool last, bool unwinding) {
    try {
        if (last) {
            group.end(unwinding);
        } else {
            group.commit();
        }
    } catch (...) {
        if (commitListener_) commitListener_->groupCommitted(false);
        throw;
    }
    if (commitListener_) commitListener_->groupCommitted(true);
}

void GroupResolver::dropEmptyDomains() {
    auto empty = [this](void const* domain) {
        auto it = queues_.find(domain);
        if (it == queues_.end()) return true;
        if (!it->second.empty()) return false;
        queues_.erase(it);
        return true;
    };
    domainOrder_.erase(std::remove_if(domainOrder_.begin(), domainOrder_.end(), empty), domainOrder_.end());
}

}  // namespace Asic
