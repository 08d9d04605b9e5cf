// The action table's instantiation of the entry log.
#include "entrylog/TcamActionEntryLog.h"

#include "entrylog/internal/EntryLogT-defs.h"

namespace VornTunnelTcamMgr {

template class EntryLogT<TcamActionEntryLogTraits>;

TcamActionEntryLog::~TcamActionEntryLog() = default;

Lumo::Ptr<TcamActionEntryLog> TcamActionEntryLog::TcamActionEntryLogIs(
    Asic::SwTableId tableId, Lumo::Ptr<Ledra::EntityManager> const& entityManager,
    Lumo::Ptr<Asic::GroupInterface> const& groupInterface, Lumo::String const& agentName) {
    return Lumo::make<TcamActionEntryLog>(tableId, entityManager, groupInterface, agentName);
}

Lumo::Ptr<TcamActionEntryLog> tcamActionEntryLogFactory(Asic::SwTableId tableId,
                                                        Lumo::Ptr<Ledra::EntityManager> const& entityManager,
                                                        Lumo::Ptr<Asic::GroupInterface> const& groupInterface,
                                                        Lumo::String const& agentName) {
    return TcamActionEntryLog::TcamActionEntryLogIs(tableId, entityManager, groupInterface, agentName);
}

}  // namespace VornTunnelTcamMgr
