#pragma once
// Text from the user (desired-state values and names, file names, command-line values) as the
// agent's messages quote it: safe to print on a terminal and short.
//
// echoText() guarantees that what it returns holds no control character (C0, DEL, C1), no
// bidirectional-override character and no byte that is not part of valid UTF-8: each becomes a
// visible escape (\n, \t, \0, \x1b, \u202e). A backslash is doubled, so an escape in the output
// always stands for one in the input. Text longer than `maxBytes` is cut at a character
// boundary and ends with "...(N bytes)", N the input's length.
#include <cstddef>
#include <string>
#include <string_view>

namespace VornTcamAgent {

// How much of one value a message quotes.
inline constexpr std::size_t kEchoValueBytes = 64;
// How much of a name a message quotes (a file path, a whole message of a library).
inline constexpr std::size_t kEchoNameBytes = 256;

std::string echoText(std::string_view text, std::size_t maxBytes = kEchoValueBytes);

// The same for a message that quotes input itself (a parser's or a command-line library's): its
// backslashes are left as they are, everything else is escaped and shortened as above.
std::string echoMessage(std::string_view text, std::size_t maxBytes = kEchoNameBytes);

}  // namespace VornTcamAgent
