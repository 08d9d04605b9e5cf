#pragma once
// Reading a desired-state file with bounds: the program never blocks on it and never reads more
// than kMaxStateFileBytes, whatever the path names.
#include <cstddef>
#include <string>

namespace VornTcamAgent {

// Largest desired-state file read (64 MiB): a file of four units filled to capacity in both
// tables fits comfortably.
inline constexpr std::size_t kMaxStateFileBytes = std::size_t{64} << 20;

// The contents of the regular file at `path` (a symbolic link is followed to it). Opening does
// not wait (a FIFO without a writer, a device); anything but a regular file is refused before a
// byte is read, and so is a file larger than `maxBytes`, also one that grows while it is read.
// Throws DesiredStateError naming the file.
std::string readStateFile(std::string const& path, std::size_t maxBytes = kMaxStateFileBytes);

}  // namespace VornTcamAgent
