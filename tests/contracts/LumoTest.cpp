// The object framework (counted pointers, publishers), the event library's hash map and its
// tracing, which formats nothing at a disabled level.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

#include "contracts/lumo/Exception.h"
#include "contracts/lumo/Node.h"
#include "contracts/lumo/Publisher.h"
#include "contracts/qel/HashMap2018.h"
#include "contracts/qel/Trace.h"

namespace {

struct Tracked : Lumo::Node {
    explicit Tracked(int* deaths) : deaths_(deaths) {}
    ~Tracked() override { ++*deaths_; }
    int* deaths_;
};

TEST(LumoPtr, LastPointerDestroysTheNodeInBothCountingModes) {
    for (bool threadSafe : {false, true}) {
        Lumo::threadSafeModeIs(threadSafe);
        int deaths = 0;
        {
            Lumo::Ptr<Tracked> a = Lumo::make<Tracked>(&deaths);
            Lumo::Ptr<Tracked const> b = a;  // pointer to const shares the count
            EXPECT_EQ(a->references(), 2u);
            a = nullptr;
            EXPECT_EQ(deaths, 0);
            EXPECT_EQ(b->references(), 1u);
        }
        EXPECT_EQ(deaths, 1);
    }
    Lumo::threadSafeModeIs(false);
}

struct Recorder : Lumo::Subscriber {
    std::vector<Recorder const*>* calls = nullptr;
    Lumo::Publisher* publisher = nullptr;
    Lumo::Subscriber* victim = nullptr;   // unsubscribed by this one's call
    Lumo::Subscriber* recruit = nullptr;  // subscribed by this one's call
    void onAttributeChange(Lumo::Node const*, Lumo::AttributeId, std::uint64_t) override {
        calls->push_back(this);
        if (victim) publisher->subscriberDel(std::exchange(victim, nullptr));
        if (recruit) publisher->subscriberIs(std::exchange(recruit, nullptr));
    }
};

TEST(LumoPublisher, SubscribersAreCalledInOrderAndChangesDuringANotificationHold) {
    for (std::size_t n : {3u, 40u}) {  // below and above the count from which subscribers are indexed
        SCOPED_TRACE(n);
        Lumo::Publisher pub;
        std::vector<Recorder const*> calls;
        std::vector<Recorder> subs(n + 1);  // the last one joins during the first notification
        for (auto& r : subs) r.calls = &calls, r.publisher = &pub;
        for (std::size_t i = 0; i < n; ++i) pub.subscriberIs(&subs[i]);
        pub.subscriberIs(&subs[0]);  // subscribing twice keeps one subscription
        subs[0].victim = &subs[n - 1];
        subs[1].recruit = &subs[n];
        pub.notify(nullptr, 7);
        std::vector<Recorder const*> expected;
        for (std::size_t i = 0; i + 1 < n; ++i) expected.push_back(&subs[i]);
        EXPECT_EQ(calls, expected);  // the removed one is not called, the recruit not yet
        EXPECT_EQ(pub.subscribers(), n);

        for (std::size_t i = 0; i < n; i += 2) pub.subscriberDel(&subs[i]);
        EXPECT_FALSE(pub.subscriberHas(&subs[0]));
        EXPECT_TRUE(pub.subscriberHas(&subs[n]));
        calls.clear();
        pub.notify(nullptr, 8);
        expected.clear();
        for (std::size_t i = 1; i + 1 < n; i += 2) expected.push_back(&subs[i]);
        expected.push_back(&subs[n]);
        EXPECT_EQ(calls, expected);
        EXPECT_EQ(pub.subscribers(), expected.size());

        pub.subscriberDel(&subs[n]);  // found where it stands after the list was compacted
        calls.clear();
        pub.notify(nullptr, 9);
        expected.pop_back();
        EXPECT_EQ(calls, expected);
    }
}

TEST(QelHashMap2018, IterationSurvivesDeletionOfCurrentElement) {
    Qel::HashMap2018<int, int> m;
    for (int i = 0; i < 100; ++i) m.set(i, i * 10);
    int visited = 0;
    for (auto p = m.first(); p != m.npos; p = m.next(p)) {
        int k = m.keyAt(p);
        EXPECT_EQ(m.valueAt(p), k * 10);
        m.del(k);  // delete the element the cursor stands on
        ++visited;
    }
    EXPECT_EQ(visited, 100);
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(m.first(), m.npos);
}

// Keys that all hash alike, so that every key shares one probe run.
struct CollidingHash {
    std::size_t operator()(int k) const { return static_cast<std::size_t>(k & 3); }
};

TEST(QelHashMap2018, RandomInsertsAndDeletesAgreeWithAReferenceMap) {
    std::mt19937 rng(7);
    auto run = [&](auto& m, int keys) {
        std::map<int, int> ref;
        for (int step = 0; step < 20000; ++step) {
            int const k = static_cast<int>(rng() % static_cast<unsigned>(keys));
            if (rng() % 3 == 0) {
                auto const got = m.del(k);
                ASSERT_EQ(got.has_value(), ref.erase(k) == 1) << step;
            } else {
                m.set(k, step);
                ref[k] = step;
            }
            if (step % 997 == 0) {
                std::map<int, int> held;
                for (auto p = m.first(); p != m.npos; p = m.next(p)) held[m.keyAt(p)] = *m.find(m.keyAt(p));
                ASSERT_EQ(held, ref) << step;
                ASSERT_EQ(m.size(), ref.size());
            }
        }
    };
    Qel::HashMap2018<int, int> spread;
    run(spread, 3000);
    Qel::HashMap2018<int, int, CollidingHash> colliding;
    run(colliding, 200);
}

struct CountsFormatting {
    int* formats;
};
}  // namespace

template <>
struct fmt::formatter<CountsFormatting> : fmt::formatter<int> {
    template <typename Ctx>
    auto format(CountsFormatting const& c, Ctx& ctx) const -> decltype(ctx.out()) {
        ++*c.formats;
        return fmt::formatter<int>::format(1, ctx);
    }
};

namespace {

TEST(QelTrace, DisabledLevelFormatsNothingAndCaptureSeesEnabledRecords) {
    Qel::TraceHandle handle("QelTestHandle");
    int formats = 0;
    handle.levelIs(3);
    QEL_TRACE_AT(handle, 8, "value {}", CountsFormatting{&formats});
    EXPECT_EQ(formats, 0);

    Qel::TraceCapture capture;
    QEL_TRACE_AT(handle, 8, "value {}", CountsFormatting{&formats});
    EXPECT_EQ(formats, 1);
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].message, "value 1");
}

}  // namespace
