#include <gtest/gtest.h>

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
}

}  // namespace
