#pragma once
// checkAndwriteMountTessel<T>: mounts one shared-memory table of the entry log (a change log
// or a unit's configuration table) and handles a table that the shared-memory service found
// wiped: the caller reports it, the agent's relaunch generation is advanced so that the
// agents depending on the lost state restart, and the wiped flag is cleared. Whatever the
// table holds after the mount is returned as it is; nothing is refilled here.
#include <functional>

#include "api/Export.h"
#include "contracts/ledra/EntityManager.h"
#include "contracts/shm/SharedMem.h"

namespace VornTunnelTcamMgr {

// Prefix of the state-database path of an agent's relaunch configuration entity (an Asic::GenId).
inline constexpr char kRelaunchConfigPathPrefix[] = "hardware/velum/agent/relaunch/config/";

namespace detail {
// The shared-memory entity manager matching the state-database entity manager: its name and
// local flag, or local false when the environment variable NOT_LOCAL_EM is set (to anything,
// the empty string included). Also makes sure the table types are known to doMount.
Lumo::Ptr<QelSharedMem::EntityManager> shmEntityManagerFor(Ledra::EntityManager const& entityManager);
// Raises by 1 the major id of the agent's relaunch configuration entity; nothing when the
// entity is absent or not an Asic::GenId.
void relaunchGenIdInc(Ledra::EntityManager& entityManager, Lumo::String const& agentName);
}  // namespace detail

// Mounts the table of type T named `typeName` at `path` and returns it (null when no table of
// that type is there afterwards). `mountInfoFn` declares the collection to mount,
// `collectionControlFn` gives the mounted table's collection control (it may return null for a
// null table), `onWipedFn` reports a wiped table. An empty function is a caller error and throws
// std::bad_function_call before anything is mounted. Exceptions of the shared-memory service and
// of the state database pass through.
template <typename T>
Lumo::Ptr<T> checkAndwriteMountTessel(
    Lumo::Ptr<Ledra::EntityManager> const& entityManager, Lumo::String const& typeName, Lumo::String const& path,
    Lumo::String const& agentName, std::function<void(QelTessel::MountInfo&)> const& mountInfoFn,
    std::function<Lumo::Ptr<QelTessel::CollectionControl>(Lumo::Ptr<T>&)> const& collectionControlFn,
    std::function<void()> const& onWipedFn) {
    if (!mountInfoFn || !collectionControlFn || !onWipedFn) throw std::bad_function_call();
    Lumo::Ptr<QelSharedMem::EntityManager> const shm = detail::shmEntityManagerFor(*entityManager);
    QelSharedMem::MountGroup& mountGroup = shm->getMountGroup();
    QelTessel::MountInfo mountInfo(QelTessel::QelTesselType::keyed);
    mountInfoFn(mountInfo);
    mountGroup.doMount(path, typeName, mountInfo);
    mountGroup.doClose();

    Lumo::Ptr<T> result = Lumo::ptr_cast<T>(shm->getEntity(path));
    Lumo::Ptr<QelTessel::CollectionControl> const control = collectionControlFn(result);
    if (!control || !control->wiped()) return result;

    onWipedFn();
    detail::relaunchGenIdInc(*entityManager, agentName);
    control->clearWiped();
    return result;
}

}  // namespace VornTunnelTcamMgr
