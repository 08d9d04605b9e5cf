#include "entrylog/MountTessel.h"

#include <cstdlib>

#include "contracts/asic/GenId.h"
#include "contracts/types/TcamTessel.h"

namespace VornTunnelTcamMgr::detail {

Lumo::Ptr<QelSharedMem::EntityManager> shmEntityManagerFor(Ledra::EntityManager const& entityManager) {
    static bool const typesRegistered = (registerTcamTesselTypes(), true);
    (void)typesRegistered;
    Lumo::Ptr<QelSharedMem::EntityManager> shm =
        QelSharedMem::EntityManager::getEntityManager(entityManager.name(), entityManager.local());
    if (std::getenv("NOT_LOCAL_EM") != nullptr) {
        shm = QelSharedMem::EntityManager::getEntityManager(entityManager.name(), false);
    }
    return shm;
}

void relaunchGenIdInc(Ledra::EntityManager& entityManager, Lumo::String const& agentName) {
    Lumo::String const path = kRelaunchConfigPathPrefix + agentName;
    if (auto genId = Lumo::ptr_cast<Asic::GenId>(entityManager.getEntity(path))) genId->majorIdInc(1);
}

}  // namespace VornTunnelTcamMgr::detail
