// The read paths' inline copies and equality tests: every length up to past the inline range,
// every position of a difference, and no byte written outside the destination.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "contracts/shm/SmallBytes.h"

namespace VornTest {
namespace {

using Tessel::detail::copyBytes;
using Tessel::detail::sameBytes;

TEST(SmallBytes, CopiesAndComparesEveryLengthExactly) {
    constexpr std::size_t kGuard = 16;
    for (std::size_t n = 0; n <= 100; ++n) {
        std::vector<std::uint8_t> from(n);
        for (std::size_t i = 0; i < n; ++i) from[i] = static_cast<std::uint8_t>(i * 37 + n);
        std::vector<std::uint8_t> to(n + 2 * kGuard, 0xA5);
        copyBytes(to.data() + kGuard, from.data(), n);
        for (std::size_t i = 0; i < kGuard; ++i) {
            ASSERT_EQ(to[i], 0xA5) << "n " << n;
            ASSERT_EQ(to[kGuard + n + i], 0xA5) << "n " << n;
        }
        ASSERT_TRUE(sameBytes(to.data() + kGuard, from.data(), n)) << "n " << n;
        for (std::size_t at = 0; at < n; ++at) {
            auto other = from;
            other[at] ^= 0x01;
            ASSERT_FALSE(sameBytes(other.data(), from.data(), n)) << "n " << n << ", difference at " << at;
        }
    }
}

}  // namespace
}  // namespace VornTest
