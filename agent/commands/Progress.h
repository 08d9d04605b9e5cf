#pragma once
// Progress of a long run on a terminal: one line on stderr, rewritten in place at most a few
// times a second, and erased when the run ends. Nothing is shown when stderr is not a terminal
// or the run ends before the first update is due.
#include <chrono>
#include <cstdint>

namespace VornTcamAgent {

class Progress {
  public:
    // `total`: requests the run makes.
    explicit Progress(std::uint64_t total);
    ~Progress() { finish(); }
    Progress(Progress const&) = delete;
    Progress& operator=(Progress const&) = delete;

    // One more request answered.
    void answered();
    // Erases the line (if one was shown).
    void finish();

  private:
    using Clock = std::chrono::steady_clock;
    bool enabled_;
    bool shown_ = false;
    std::uint64_t total_;
    std::uint64_t answered_ = 0;
    Clock::time_point start_;
    Clock::time_point nextUpdate_;
};

}  // namespace VornTcamAgent
