#pragma once
// Helpers shared by the tests.
#include <string>

namespace VornTest {
// A name unique to this process and test case, usable as a shared-memory namespace.
std::string uniqueName(std::string const& prefix = "t");
}  // namespace VornTest
