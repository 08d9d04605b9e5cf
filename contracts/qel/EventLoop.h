#pragma once
// The agent's single event loop. Components post work to it; the agent (or a test) runs it.
// Everything posted runs on the thread that calls run*(), one task at a time, in posting order.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Qel {

class EventLoop {
  public:
    using Task = std::function<void()>;

    void post(Task task) { tasks_.push_back(std::move(task)); }
    std::size_t pending() const { return tasks_.size(); }
    bool idle() const { return tasks_.empty(); }

    // Runs one task; false when there was none.
    bool runOnce();
    // Runs tasks (including the ones they post) until none is left or `maxTasks` have run.
    // Returns the number run.
    std::uint64_t runUntilIdle(std::uint64_t maxTasks = ~std::uint64_t{0});

  private:
    std::deque<Task> tasks_;
};

}  // namespace Qel

#pragma GCC visibility pop
