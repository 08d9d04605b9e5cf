#include "contracts/qel/EventLoop.h"

namespace Qel {
bool EventLoop::runOnce() {
    if (tasks_.empty()) return false;
    Task t = std::move(tasks_.front());
    tasks_.pop_front();
    t();
    return true;
}

std::uint64_t EventLoop::runUntilIdle(std::uint64_t maxTasks) {
    std::uint64_t n = 0;
    while (n < maxTasks && runOnce()) ++n;
    return n;
}
}  // namespace Qel
