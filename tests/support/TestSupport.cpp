#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

namespace VornTest {
std::string uniqueName(std::string const& prefix) {
    static std::atomic<unsigned> counter{0};
    std::string name = prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (auto const* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
        name += "-";
        name += info->name();
    }
    for (char& c : name)
        if (c == '/') c = '_';
    if (name.size() > 100) name.resize(100);  // namespace names are bounded
    return name;
}
}  // namespace VornTest
