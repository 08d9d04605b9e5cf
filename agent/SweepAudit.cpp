#include "agent/SweepAudit.h"

#include <fcntl.h>
#include <fmt/chrono.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

#include "agent/AgentSetup.h"
#include "agent/Runtime.h"
#include "agent/StoredTables.h"

namespace VornTcamAgent {

namespace {

// The keys with a pending remove, per unit, of one table interface.
template <typename Table, typename Intf>
std::map<Asic::UnitId, std::set<typename Table::Key>> pendingRemoves(Intf const& intf) {
    std::map<Asic::UnitId, std::set<typename Table::Key>> keys;
    for (auto [unitId, base] : intf->swTableSet()->swTables()) {
        auto table = Lumo::ptr_cast<Table>(base);
        if (!table) continue;
        auto& unitKeys = keys[unitId];
        table->transientRemoveEntryColl().forEach([&](auto const& key, auto const&) { unitKeys.insert(key); });
    }
    return keys;
}

// One line per key pending removal now that was not before.
template <typename Table, typename Intf, typename Keys>
void appendSwept(std::string& lines, char const* tableName, Intf const& intf, Keys const& before,
                 std::string const& time) {
    for (auto const& [unitId, keys] : pendingRemoves<Table>(intf)) {
        auto const earlier = before.find(unitId);
        auto table = Lumo::ptr_cast<Table>(intf->swTableSet()->swTable(unitId));
        for (auto const& key : keys) {
            if (earlier != before.end() && earlier->second.count(key)) continue;
            nlohmann::json const line{{"time", time},
                                      {"table", tableName},
                                      {"unit", unitId},
                                      {"key", keyText(key)},
                                      {"logVersion", table->entryLog()->entryLogVersion(key, unitId)}};
            lines += line.dump() + "\n";
        }
    }
}

std::string utcNow() {
    auto const now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    auto const millis = now.time_since_epoch().count() % 1000;
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", fmt::gmtime(std::chrono::system_clock::to_time_t(now)), millis);
}

}  // namespace

SweepAudit::SweepAudit(std::string const& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0)
        throw BadInput(fmt::format("--sweep-audit: cannot open {}: {}", path,
                                   errno == ELOOP ? "it is a symbolic link" : std::strerror(errno)));
}

SweepAudit::~SweepAudit() {
    if (fd_ >= 0) ::close(fd_);
}

void SweepAudit::append(std::string const& lines) {
    std::size_t done = 0;
    while (done < lines.size()) {
        ssize_t const n = ::write(fd_, lines.data() + done, lines.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw std::runtime_error(fmt::format("sweep audit {}: write failed: {}", path_, std::strerror(errno)));
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd_) != 0 && errno != EINVAL)
        throw std::runtime_error(fmt::format("sweep audit {}: sync failed: {}", path_, std::strerror(errno)));
}

std::uint64_t SweepAudit::sweepAll(Runtime& runtime) {
    using VornTunnelTcamMgr::TcamActionSwTable;
    using VornTunnelTcamMgr::TcamSwTable;
    auto const tcamBefore = pendingRemoves<TcamSwTable>(runtime.tcamIntf());
    auto const actionBefore = pendingRemoves<TcamActionSwTable>(runtime.actionIntf());
    runtime.sweepAll();
    std::string lines;
    std::string const time = utcNow();
    appendSwept<TcamSwTable>(lines, TcamFamily::kName, runtime.tcamIntf(), tcamBefore, time);
    appendSwept<TcamActionSwTable>(lines, TcamActionFamily::kName, runtime.actionIntf(), actionBefore, time);
    if (!lines.empty()) append(lines);
    return static_cast<std::uint64_t>(std::count(lines.begin(), lines.end(), '\n'));
}

}  // namespace VornTcamAgent
