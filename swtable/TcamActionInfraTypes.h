#pragma once
// The action table's family: its value types, its InLif resource handle and linkage, and the
// classes every algorithm of the software table is instantiated with.
#include "api/Export.h"
#include "contracts/inlif/InLifIndexResourceTable.h"
#include "contracts/types/TcamTypes.h"
#include "swtable/EntryWrapperT.h"
#include "swtable/IteratorStateT.h"
#include "swtable/ResolverEntryT.h"
#include "swtable/SwTableHelperBaseT.h"

namespace VornTunnelTcamMgr {

struct VORN_TCAMMGR_API TcamActionFamily {
    using Key = TcamActionEntryKey;
    using Entry = TcamActionEntry;
    using LogEntry = TcamActionLogEntry;
    using ResourceKeys = TcamActionResourceKeys;
    using SwTable = TcamActionSwTable;
    using Wrapper = TcamActionEntryWrapper;
    using ResolverEntry = TcamActionResolverEntry;
    using HelperBase = TcamActionSwTableHelperBase;
    using EntryLog = TcamActionEntryLog;
    using IteratorState = TcamActionSwTableIteratorState;
    using ResourceHandle = VornTunnelNiLib::InLifIndexResourceTable::ResourceHandle;
    using ResourcePtr = Lumo::Ptr<ResourceHandle const>;
    using Linkage = TcamActionLinkageBase;

    static constexpr bool kHasResources = true;
    static constexpr char kSwTableTypeName[] = "VornTunnelTcamMgr::TcamActionSwTable";
    static constexpr char kEntryHandleTypeName[] = "VornTunnelTcamMgr::TcamActionSwTable::EntryHandle";
    static constexpr char kWrapperTypeName[] = "VornTunnelTcamMgr::TcamActionEntryWrapper";
    static constexpr char kResolverEntryTypeName[] = "VornTunnelTcamMgr::TcamActionResolverEntry";
    static constexpr char kHelperTypeName[] = "VornTunnelTcamMgr::TcamActionSwTableHelperBase";
    static constexpr char kIteratorStateTypeName[] = "VornTunnelTcamMgr::TcamActionSwTableIteratorState";

    // The "TcamActionSwTable" trace handle, shared by the table and its generic algorithms.
    static Qel::TraceHandle& trace();
    // The table's InLif linkage, the extra argument of the generic algorithms.
    static Lumo::Ptr<TcamActionLinkageBase> const& linkageOf(TcamActionSwTable const& table);
};

class VORN_TCAMMGR_API TcamActionEntryWrapper final : public EntryWrapperT<TcamActionFamily> {
  public:
    using EntryWrapperT::EntryWrapperT;
    ~TcamActionEntryWrapper() override;
    static Lumo::Ptr<TcamActionEntryWrapper> TcamActionEntryWrapperIs(
        TcamActionEntry const& entry, Lumo::Ptr<Asic::OrderedSwTable::EntryHandle> const& handle);
};
VORN_TCAMMGR_API Lumo::Ptr<TcamActionEntryWrapper> tcamActionEntryWrapperFactory(
    TcamActionEntry const& entry, Lumo::Ptr<Asic::OrderedSwTable::EntryHandle> const& handle);

class VORN_TCAMMGR_API TcamActionResolverEntry final : public ResolverEntryT<TcamActionFamily> {
  public:
    using ResolverEntryT::ResolverEntryT;
    ~TcamActionResolverEntry() override;
    static Lumo::Ptr<TcamActionResolverEntry> TcamActionResolverEntryIs(
        Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependantEntryHandle, Asic::EntryFlags flags,
        TcamActionSwTable* swTable, Lumo::Ptr<TcamActionEntryWrapper> const& swTableEntry);
};
VORN_TCAMMGR_API Lumo::Ptr<TcamActionResolverEntry> tcamActionResolverEntryFactory(
    Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependantEntryHandle, Asic::EntryFlags flags,
    TcamActionSwTable* swTable, Lumo::Ptr<TcamActionEntryWrapper> const& swTableEntry);

class VORN_TCAMMGR_API TcamActionSwTableIteratorState final : public IteratorStateT<TcamActionFamily> {
  public:
    ~TcamActionSwTableIteratorState() override;
};
VORN_TCAMMGR_API Lumo::Ptr<TcamActionSwTableIteratorState> tcamActionSwTableIteratorStateFactory();

}  // namespace VornTunnelTcamMgr
