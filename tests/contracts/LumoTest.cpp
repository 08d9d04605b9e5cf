#include <gtest/gtest.h>

#include <map>
#include <random>

#include "contracts/lumo/Exception.h"
#include "contracts/lumo/Node.h"
#include "contracts/lumo/Publisher.h"
#include "contracts/qel/HashMap2018.h"

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
    std::vector<Lumo::AttributeId> seen;
    Lumo::Publisher* unsubscribeFrom = nullptr;
    Lumo::Subscriber* victim = nullptr;
    void onAttributeChange(Lumo::Node const*, Lumo::AttributeId a, std::uint64_t) override {
        seen.push_back(a);
        if (unsubscribeFrom) unsubscribeFrom->subscriberDel(victim);
    }
};

TEST(LumoPublisher, SubscriberRemovedDuringNotificationIsNotCalled) {
    Lumo::Publisher pub;
    Recorder first, second;
    first.unsubscribeFrom = &pub;
    first.victim = &second;
    pub.subscriberIs(&first);
    pub.subscriberIs(&second);
    pub.subscriberIs(&first);  // subscribing twice keeps one subscription
    pub.notify(nullptr, 7);
    EXPECT_EQ(first.seen, std::vector<Lumo::AttributeId>{7});
    EXPECT_TRUE(second.seen.empty());
    EXPECT_EQ(pub.subscribers(), 1u);
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

}  // namespace
