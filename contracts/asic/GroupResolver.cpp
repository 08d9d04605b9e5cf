#include "contracts/asic/GroupResolver.h"

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
    std::uint64_t commits = 0;
    bool progress = true;
    while (progress) {
        progress = false;
        std::uint64_t const gen = genId_;
        // Index loop: a commit may queue new requests (a sweep's removes) in a new domain.
        for (std::size_t d = 0; d < domainOrder_.size(); ++d) {
            auto& q = queues_[domainOrder_[d]];
            while (!q.empty() && q.front()->isResolved()) {
                Lumo::Ptr<ResolverEntry> e = std::move(q.front());
                q.pop_front();
                --queued_;
                e->commitEntry(e);
                ++commits;
                progress = true;
            }
        }
        // A change announced during the pass may have resolved a front already looked at.
        if (!progress && gen != genId_) progress = true;
        if (progress && queued_ == 0) break;
    }
    inPass_ = false;
    return commits;
}

}  // namespace Asic
