#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

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

std::string fileText(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool pathExists(std::string const& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}
}  // namespace VornTest
