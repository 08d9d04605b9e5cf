#pragma once
// The ring-buffer trace facility: a fixed-size in-memory ring of lifecycle messages, each a
// format text with up to four integer arguments. Old records are overwritten; dump() gives
// the kept records, oldest first, formatted.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

// libvorn-platform is compiled with hidden visibility; it exports what this header declares
// for libvorn-tcammgr (the header is not installed).
#pragma GCC visibility push(default)

namespace Qel {

class RingTrace {
  public:
    static constexpr std::size_t kCapacity = 1024;
    struct Record {
        std::uint64_t sequence = 0;
        char const* format = nullptr;  // a string literal: only its address is kept
        std::uint8_t argc = 0;
        std::array<std::int64_t, 4> args{};
    };

    // Records a message; `format` must outlive the process (a literal).
    static void record(char const* format, std::initializer_list<std::int64_t> args = {});
    static std::vector<Record> records();
    static std::vector<std::string> dump();
    static void clear();
};

}  // namespace Qel

#pragma GCC visibility pop
