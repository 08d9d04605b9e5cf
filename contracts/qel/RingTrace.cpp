#include "contracts/qel/RingTrace.h"

#include <fmt/args.h>
#include <fmt/format.h>

namespace Qel {
namespace {
struct Ring {
    std::array<RingTrace::Record, RingTrace::kCapacity> slots;
    std::uint64_t next = 0;
};
Ring& ring() {
    static Ring r;
    return r;
}
}  // namespace

void RingTrace::record(char const* format, std::initializer_list<std::int64_t> args) {
    Ring& r = ring();
    Record& rec = r.slots[r.next % kCapacity];
    rec.sequence = r.next++;
    rec.format = format;
    rec.argc = 0;
    for (auto a : args) {
        if (rec.argc == rec.args.size()) break;
        rec.args[rec.argc++] = a;
    }
}

std::vector<RingTrace::Record> RingTrace::records() {
    Ring& r = ring();
    std::vector<Record> out;
    std::uint64_t start = r.next > kCapacity ? r.next - kCapacity : 0;
    for (std::uint64_t s = start; s < r.next; ++s) out.push_back(r.slots[s % kCapacity]);
    return out;
}

std::vector<std::string> RingTrace::dump() {
    std::vector<std::string> out;
    for (auto const& rec : records()) {
        fmt::dynamic_format_arg_store<fmt::format_context> store;
        for (std::uint8_t i = 0; i < rec.argc; ++i) store.push_back(rec.args[i]);
        out.push_back(fmt::vformat(rec.format, store));
    }
    return out;
}

void RingTrace::clear() { ring().next = 0; }

}  // namespace Qel
