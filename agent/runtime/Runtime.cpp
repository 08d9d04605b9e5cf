#include "agent/runtime/Runtime.h"

#include "contracts/asic/GenId.h"
#include "entrylog/TcamActionEntryLog.h"
#include "entrylog/TcamEntryLog.h"

namespace VornTcamAgent {

// The desired state's size check stands for the configuration tables' capacity.
static_assert(kMaxEntriesPerTable == VornTunnelTcamMgr::TcamEntryLog::kConfigCapacity &&
              kMaxEntriesPerTable == VornTunnelTcamMgr::TcamActionEntryLog::kConfigCapacity);
// The pools must not reach each other's first index.
static_assert(RuntimeOptions{}.inLif.inLif0Base + kMaxInLifKeys <= RuntimeOptions{}.inLif.inLif23Base);

Runtime::Runtime(RuntimeOptions const& options) {
    // The relaunch generation entity is the agent's own; it is registered before the library
    // mounts anything of the state database.
    auto entityManager = Lumo::make<Ledra::EntityManager>(kEntityManagerName, true);
    entityManager->entityIs<Asic::GenId>(relaunchPath());
    VornTunnelTcamMgr::TcamMgrConfig config;
    config.inLif = options.inLif;
    config.hardwareBatch = options.hardwareBatch;
    config.holdHardware = options.holdHardware;
    mgr_ = VornTunnelTcamMgr::tcamMgrFactory(config, {.entityManager = std::move(entityManager)});
}

Runtime::~Runtime() = default;

std::uint64_t Runtime::relaunchMajorId() const {
    auto genId = Lumo::ptr_cast<Asic::GenId>(entityManager()->getEntity(relaunchPath()));
    return genId ? genId->majorId() : 0;
}

}  // namespace VornTcamAgent
