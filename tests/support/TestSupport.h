#pragma once
// Helpers shared by the tests.
#include <string>

namespace VornTest {
// A name unique to this process and test case, usable as a shared-memory namespace.
std::string uniqueName(std::string const& prefix = "t");
// The whole content of a file ("" when it cannot be read).
std::string fileText(std::string const& path);
// Whether something (a file, a link, whatever its target) is at `path`.
bool pathExists(std::string const& path);
}  // namespace VornTest
