#pragma once
// Asic::SwTableStats: counters of one software table. Counting only; nothing reads them back
// to decide anything.
#include <cstdint>

#include "contracts/lumo/Node.h"
#include "contracts/lumo/String.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

#define ASIC_SW_TABLE_COUNTERS(X) \
    X(entryWrite)                 \
    X(entryRemove)                \
    X(commit)                     \
    X(resolveFail)                \
    X(update)                     \
    X(updateWithFailedResource)   \
    X(tableClear)                 \
    X(suppressedWrite)            \
    X(suppressCheckDiff)

class SwTableStats : public Lumo::Node {
  public:
    char const* typeData() const override { return "Asic::SwTableStats"; }

#define ASIC_DECLARE_COUNTER(name)                         \
    std::uint64_t name##Cnt() const { return name##Cnt_; } \
    void name##CntInc(std::uint64_t by) { name##Cnt_ += by; }
    ASIC_SW_TABLE_COUNTERS(ASIC_DECLARE_COUNTER)
#undef ASIC_DECLARE_COUNTER

    Lumo::Time lastCommitTime() const { return lastCommitTime_; }
    void lastCommitTimeIs(Lumo::Time t) { lastCommitTime_ = t; }

    // Calls fn(name, value) for every counter, in declaration order.
    template <typename Fn>
    void forEachCounter(Fn&& fn) const {
#define ASIC_VISIT_COUNTER(name) fn(#name "Cnt", name##Cnt_);
        ASIC_SW_TABLE_COUNTERS(ASIC_VISIT_COUNTER)
#undef ASIC_VISIT_COUNTER
    }

  private:
#define ASIC_COUNTER_FIELD(name) std::uint64_t name##Cnt_ = 0;
    ASIC_SW_TABLE_COUNTERS(ASIC_COUNTER_FIELD)
#undef ASIC_COUNTER_FIELD
    Lumo::Time lastCommitTime_;
};

}  // namespace Asic

#pragma GCC visibility pop
