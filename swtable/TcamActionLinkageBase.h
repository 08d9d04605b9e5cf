#pragma once
// TcamActionLinkageBase: what the action software table asks of its InLif index linkage. The
// table and its generic algorithms call only these operations; the linkage layer implements
// them (TcamActionInLifIndexLinkage), so the table never depends on the linkage's code.
//
// Every call runs on the agent's one thread. The table holds its linkage through a counted
// pointer; the linkage points back at its table without holding it.
#include "api/Export.h"
#include "contracts/asic/NeededEntry.h"
#include "contracts/asic/Types.h"
#include "contracts/lumo/Publisher.h"
#include "swtable/TcamActionInfraTypes.h"

namespace VornTunnelTcamMgr {

class VORN_TCAMMGR_API TcamActionLinkageBase : public Lumo::PublishingNode {
  public:
    ~TcamActionLinkageBase() override;

    // Records that a committed entry started, stopped or changed its use of a resource
    // (`oldEntry` is what the configuration table held before).
    virtual void updateLocalUsage(Lumo::Ptr<TcamActionEntryWrapper> const& swEntry, TcamActionEntry const& oldEntry,
                                  bool isDeleted) = 0;
    // Whether the entry's resource is pending, resolved (done) or failed.
    virtual Asic::EntryState entryResolutionState(Lumo::Ptr<TcamActionEntryWrapper const> const& entry) const = 0;
    // Requests the entry's resource and writes what is known of it into the entry.
    virtual void resolveEntry(Lumo::Ptr<TcamActionEntryWrapper> const& entry) = 0;
    // The entries of other tables the entry's resource needs.
    virtual Lumo::Ptr<Asic::NeededEntry> getNeededEntrySet(
        Lumo::Ptr<TcamActionEntryWrapper const> const& entry) const = 0;
    // Binds an entry rebuilt from the configuration table to its resource.
    virtual void restoreEntry(Lumo::Ptr<TcamActionEntryWrapper> const& entry) = 0;
    // After a restore: re-applies resources that changed while the agent was away.
    virtual void handleResourceChangeAtInit() = 0;
    // Sets the entry's resource handle without requesting the resource again.
    virtual void setResourceHandle(Lumo::Ptr<TcamActionEntryWrapper> const& entry) = 0;
};

}  // namespace VornTunnelTcamMgr
