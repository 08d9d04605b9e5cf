#pragma once
// Shared set-up of the shared-memory service tests: a private namespace per test, the TCAM
// table types registered, and helpers that mount tables and make distinct records.
#include <gtest/gtest.h>

#include "contracts/shm/KeyedCollectionImpl.h"
#include "contracts/shm/SharedMem.h"
#include "contracts/types/TcamTessel.h"
#include "tests/support/ShmNamespace.h"

namespace VornTest {

inline constexpr char kManagerName[] = "ShmTestEm";
inline constexpr char kLogPath[] = "hardware/velum/orderedTable/test/Tcam/entryLog";
inline constexpr char kConfigBase[] = "hardware/velum/orderedTable/test/Tcam/config/";

inline QelTessel::MountInfo mountInfo(char const* collection, std::uint32_t size) {
    QelTessel::MountInfo info(QelTessel::QelTesselType::keyed);
    info.collectionInfoIs(QelTessel::CollectionInfo{collection, size, false});
    return info;
}

inline Lumo::Ptr<QelSharedMem::EntityManager> shmManager(bool local = true) {
    return QelSharedMem::EntityManager::getEntityManager(kManagerName, local);
}

// Mounts the table of type T at `path` through the mount group, as the entry log does.
template <typename T>
Lumo::Ptr<T> mountTable(Lumo::String const& path, std::uint32_t size,
                        Lumo::Ptr<QelSharedMem::EntityManager> const& manager = shmManager()) {
    manager->getMountGroup().doMount(path, T::kTypeName, mountInfo(T::kCollectionName, size));
    manager->getMountGroup().doClose();
    return Lumo::ptr_cast<T>(manager->getEntity(path));
}

inline Lumo::Ptr<VornTunnelTcamMgr::TcamEntryLogTessel> mountLog(std::uint32_t size = 1000000) {
    return mountTable<VornTunnelTcamMgr::TcamEntryLogTessel>(kLogPath, size);
}
inline Lumo::Ptr<VornTunnelTcamMgr::TcamConfigTessel> mountConfig(unsigned unit = 1, std::uint32_t size = 65536) {
    return mountTable<VornTunnelTcamMgr::TcamConfigTessel>(kConfigBase + std::string("unit") + std::to_string(unit),
                                                           size);
}

inline VornTunnelTcamMgr::TcamEntryKey tcamKey(std::uint32_t n) {
    VornTunnelTcamMgr::TcamEntryKey k;
    k.vrfId = n % 7;
    k.addressFamily = 4;
    k.dstAddr[0] = 10;
    k.dstAddr[2] = static_cast<std::uint8_t>(n >> 8);
    k.dstAddr[3] = static_cast<std::uint8_t>(n);
    return k;
}
inline VornTunnelTcamMgr::TcamConfigTesselEntry configRecord(std::uint32_t n, Asic::LogVersion version) {
    VornTunnelTcamMgr::TcamConfigTesselEntry r;
    r.logEntry.key = tcamKey(n);
    r.logEntry.priority = static_cast<std::uint16_t>(n);
    r.logVersion = version;
    return r;
}
inline VornTunnelTcamMgr::TcamLogTesselEntry logRecord(Asic::LogVersion version, std::uint32_t n = 0) {
    VornTunnelTcamMgr::TcamLogTesselEntry r;
    r.version = version;
    r.unitId = 1;
    r.logEntry.key = tcamKey(n);
    return r;
}

class ShmTest : public ::testing::Test {
  protected:
    void SetUp() override { VornTunnelTcamMgr::registerTcamTesselTypes(); }
    // Models an agent restart: every entity of the run must be released first.
    void restart() { shm_.restart(); }

    ScopedShmNamespace shm_{"shm"};
};

}  // namespace VornTest
