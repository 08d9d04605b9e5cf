// The key table's instantiation of the entry log.
#include "entrylog/TcamEntryLog.h"

#include "entrylog/internal/EntryLogT-defs.h"

namespace VornTunnelTcamMgr {

template class EntryLogT<TcamEntryLogTraits>;

TcamEntryLog::~TcamEntryLog() = default;

Lumo::Ptr<TcamEntryLog> TcamEntryLog::TcamEntryLogIs(Asic::SwTableId tableId,
                                                     Lumo::Ptr<Ledra::EntityManager> const& entityManager,
                                                     Lumo::Ptr<Asic::GroupInterface> const& groupInterface,
                                                     Lumo::String const& agentName) {
    return Lumo::make<TcamEntryLog>(tableId, entityManager, groupInterface, agentName);
}

Lumo::Ptr<TcamEntryLog> tcamEntryLogFactory(Asic::SwTableId tableId,
                                            Lumo::Ptr<Ledra::EntityManager> const& entityManager,
                                            Lumo::Ptr<Asic::GroupInterface> const& groupInterface,
                                            Lumo::String const& agentName) {
    return TcamEntryLog::TcamEntryLogIs(tableId, entityManager, groupInterface, agentName);
}

}  // namespace VornTunnelTcamMgr
