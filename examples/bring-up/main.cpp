// tcam-bring-up [namespace]: brings one unit of both tables up on the platform stand-ins in a
// shared-memory namespace of its own, writes an action entry and a key entry that depends on
// it, runs the event loop until both are committed and applied, reads them back, and removes
// the namespace. Exits 0 when everything read back is what was written.
#include <vorn/tcammgr/contracts/shm/SharedMem.h>
#include <vorn/tcammgr/interface/TcamMgr.h>

#include <cstdio>
#include <string>

namespace {

namespace Tm = VornTunnelTcamMgr;
constexpr Asic::UnitId kUnit = 0;

bool check(bool condition, char const* what) {
    std::printf("%-48s %s\n", what, condition ? "ok" : "FAILED");
    return condition;
}

// One agent process: the library on default platform pieces and the unit's two tables. The
// manager tears everything down when the last of these objects goes, in whatever order.
bool run() {
    auto mgr = Tm::tcamMgrFactory();
    auto [actionTable, tcamTable] = mgr->bringUp(kUnit, true);

    Tm::TcamActionEntry action;
    action.keyIs(Tm::TcamActionEntryKey{7});
    action.logEntry.decapType = static_cast<std::uint8_t>(Tm::DecapType::decapOuter);
    action.logEntry.vrfId = 3;
    action.rsrcKeys.inLifKey = VornInLif::InLifKey{42, 100, 0};
    Tm::TcamEntry key;
    Tm::TcamEntryKey k;
    k.vrfId = 3;
    k.tunnelType = static_cast<std::uint8_t>(Tm::TunnelType::vxlan);
    k.addressFamily = static_cast<std::uint8_t>(Tm::AddressFamily::ipv4);
    k.dstAddr = {10, 0, 0, 1};
    key.keyIs(k);
    key.logEntry.actionKey = action.key();
    key.logEntry.priority = 10;

    // The key entry is ordered behind the action entry it applies.
    auto actionHandle = actionTable->entryWrite(action.key(), action, nullptr);
    auto keyHandle = tcamTable->entryWrite(key.key(), key, actionHandle);
    mgr->runUntilIdle();

    bool ok = check(actionHandle->entryState() == Asic::EntryState::done, "action entry committed and applied");
    ok &= check(keyHandle->entryState() == Asic::EntryState::done, "key entry committed and applied");
    Tm::TcamActionEntry const readAction = actionTable->entryRead(action.key());
    ok &= check(readAction.logEntry.vrfId == 3 && readAction.inLifIndexKey() == action.inLifIndexKey(),
                "action entry reads back");
    ok &= check(readAction.inLif0Index() != 0, "action entry holds its InLif index");
    ok &= check(tcamTable->entryRead(key.key()) == key, "key entry reads back");
    ok &= check(tcamTable->entrys() == 1 && actionTable->entrys() == 1, "one entry in each table");
    ok &= check(!tcamTable->hasPendingHwWrites() && !actionTable->hasPendingHwWrites(), "no pending hardware writes");

    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string const ns = argc > 1 ? argv[1] : "bring-up-example";
    QelSharedMem::namespaceIs(ns);
    bool ok = false;
    try {
        ok = run();
    } catch (std::exception const& e) {
        std::fprintf(stderr, "tcam-bring-up: %s\n", e.what());
    }
    QelSharedMem::removeNamespace(ns);
    std::printf("%s\n", ok ? "bring-up: ok" : "bring-up: FAILED");
    return ok ? 0 : 1;
}
