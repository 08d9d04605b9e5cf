#include <gtest/gtest.h>

#include "contracts/qel/Log.h"
#include "contracts/qel/RingTrace.h"
#include "contracts/qel/Trace.h"

namespace {

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
    EXPECT_EQ(capture.records()[0].level, 8);
    EXPECT_EQ(capture.records()[0].handle, "QelTestHandle");
}

TEST(QelLog, RaisedMessageIsFormattedAndRecorded) {
    static Qel::LogDescriptor const desc{"TEST_MESSAGE", "unable to load item: %s", "explanation"};
    static Qel::LogDescriptor const two{"TEST_TWO", "%s lost %u records", "explanation"};
    Qel::LogHandle handle(desc, Lumo::Duration{}, 1.0, 0, 0);
    Qel::LogHandle twoHandle(two, Lumo::Duration{}, 1.0, 0, 0);
    Qel::loggedMessagesDelAll();
    Qel::log(handle, "entryLog::Tcam");
    Qel::log(twoHandle, "unit3", 17u);
    ASSERT_EQ(Qel::loggedMessages().size(), 2u);
    EXPECT_EQ(Qel::loggedMessages()[0].name, "TEST_MESSAGE");
    EXPECT_EQ(Qel::loggedMessages()[0].text, "unable to load item: entryLog::Tcam");
    EXPECT_EQ(Qel::loggedMessages()[1].text, "unit3 lost 17 records");
}

TEST(QelRingTrace, KeepsTheNewestRecordsAndFormatsThem) {
    Qel::RingTrace::clear();
    for (int i = 0; i < 1030; ++i) Qel::RingTrace::record("Swept {} entries", {i});
    auto dump = Qel::RingTrace::dump();
    ASSERT_EQ(dump.size(), Qel::RingTrace::kCapacity);
    EXPECT_EQ(dump.front(), "Swept 6 entries");
    EXPECT_EQ(dump.back(), "Swept 1029 entries");
}

}  // namespace
