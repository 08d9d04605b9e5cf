#pragma once
// The desired state of the agent simulator: per hardware unit, the action entries and key entries
// the agent wants programmed. It is read from a JSON file (DesiredStateJson.h), generated
// (DesiredStateGenerate.h) and converted here into the value types of the two tables.
#include <fmt/format.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/asic/Types.h"
#include "contracts/types/InLifTypes.h"
#include "contracts/types/TcamTypes.h"

namespace VornTcamAgent {

using VornTunnelTcamMgr::AddressFamily;
using VornTunnelTcamMgr::DecapType;
using VornTunnelTcamMgr::IpBytes;
using VornTunnelTcamMgr::TunnelType;

// Accepted value ranges; the parser and validate() enforce them.
inline constexpr Asic::UnitId kMaxUnitId = 255;
inline constexpr std::uint32_t kMaxVrfId = 65535;
inline constexpr std::uint32_t kMinActionId = 1;  // action id 0 is the absent key
inline constexpr std::uint32_t kMaxActionId = 0xFFFFFFFF;
inline constexpr std::uint32_t kMinInLifIntfId = 1;
inline constexpr std::uint32_t kMaxInLifIntfId = 0xFFFFFFFF;
inline constexpr std::uint16_t kMaxVlanId = 4095;
inline constexpr std::uint16_t kMaxPriority = 0xFFFF;

// What the agent can hold; validate() refuses a state beyond it, so that a run never fails
// half-way for want of room. A unit's table holds at most kMaxEntriesPerTable entries (the
// capacity of its configuration table in shared memory). The InLif pools (one InLif0 and one
// InLif23 index per distinct InLif key, shared by all units) hold kMaxInLifKeys keys.
inline constexpr std::size_t kMaxEntriesPerTable = 65536;
inline constexpr std::size_t kMaxInLifKeys = 65536;

// One desired entry of the action table ("TcamAction"). A null inLif key means the entry needs
// no InLif resource.
struct DesiredActionEntry {
    std::uint32_t actionId = kMinActionId;
    DecapType decapType = DecapType::decapOuter;
    std::uint32_t vrfId = 0;  // VRF of the inner packet
    VornInLif::InLifKey inLif{};

    VornTunnelTcamMgr::TcamActionEntryKey key() const;
    // The value to write. The InLif index fields stay 0: the library resolves and fills them.
    VornTunnelTcamMgr::TcamActionEntry entry() const;
    friend bool operator==(DesiredActionEntry const&, DesiredActionEntry const&) = default;
};

// One desired entry of the key table ("Tcam"): the outer header to match and the action to apply.
// IPv4 addresses occupy the first 4 bytes of their IpBytes; the rest are 0.
struct DesiredKeyEntry {
    std::uint32_t vrfId = 0;
    TunnelType tunnelType = TunnelType::ipInIp;
    AddressFamily addressFamily = AddressFamily::ipv4;
    IpBytes srcAddr{};
    IpBytes dstAddr{};
    std::uint16_t priority = 0;
    bool ttlCheck = false;
    std::uint32_t actionId = kMinActionId;  // must name an action entry of the same unit

    VornTunnelTcamMgr::TcamEntryKey key() const;
    VornTunnelTcamMgr::TcamEntry entry() const;
    friend bool operator==(DesiredKeyEntry const&, DesiredKeyEntry const&) = default;
};

// Everything desired on one hardware unit.
struct DesiredUnit {
    Asic::UnitId unitId = 0;
    std::vector<DesiredActionEntry> actionEntries;
    std::vector<DesiredKeyEntry> keyEntries;

    friend bool operator==(DesiredUnit const&, DesiredUnit const&) = default;
};

// The whole desired state; units appear in file order, each at most once.
struct DesiredState {
    std::vector<DesiredUnit> units;

    // The unit's desired entries, or null when the state does not name the unit.
    DesiredUnit const* findUnit(Asic::UnitId unitId) const;
    friend bool operator==(DesiredState const&, DesiredState const&) = default;
};

// A problem found in a desired state: where (file, 1-based line, field path such as
// "units[0].keyEntries[2].actionId") and what. what() reads "file:line: path: problem"; parts that
// are unknown (a state built in code has no file or line, a syntax error outside any value has no
// path) are left out. The file name in what() is escaped and shortened as echoText() does; the
// path and problem are expected to quote input through echoText() already.
class DesiredStateError : public std::runtime_error {
  public:
    DesiredStateError(std::string file, int line, std::string path, std::string problem);

    std::string const& file() const { return file_; }
    int line() const { return line_; }  // 0: no line
    std::string const& path() const { return path_; }
    std::string const& problem() const { return problem_; }

  private:
    std::string file_;
    int line_;
    std::string path_;
    std::string problem_;
};

// Checks a state built in code (or read from a file) for everything the parser checks after the
// syntax: value ranges, addresses that fit their family, no duplicate unit, action id or key,
// every key entry naming an action entry of its unit, and that the state fits the agent (table
// sizes, distinct InLif keys). Throws DesiredStateError on the first problem.
void validate(DesiredState const& state);

// Text forms shared by the JSON reader and writer.
std::string_view toString(TunnelType type);
std::string_view toString(AddressFamily family);
std::string_view toString(DecapType type);
// Canonical text of an address of the given family ("10.0.0.1", "2001:db8::1").
std::string formatAddress(AddressFamily family, IpBytes const& bytes);
// Parses an IPv4 or IPv6 address; the family found is stored in `family`. False if neither.
bool parseAddress(std::string_view text, IpBytes& bytes, AddressFamily& family);

}  // namespace VornTcamAgent

template <>
struct fmt::formatter<VornTcamAgent::DesiredStateError> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(VornTcamAgent::DesiredStateError const& e, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::formatter<std::string_view>::format(e.what(), ctx);
    }
};
