#pragma once
// The key table's family: its value types and the classes every algorithm of the software
// table is instantiated with (wrapper, resolver entry, iterator state).
#include "api/Export.h"
#include "contracts/types/TcamTypes.h"
#include "swtable/EntryWrapperT.h"
#include "swtable/IteratorStateT.h"
#include "swtable/ResolverEntryT.h"
#include "swtable/SwTableHelperBaseT.h"

namespace VornTunnelTcamMgr {

struct VORN_TCAMMGR_API TcamFamily {
    using Key = TcamEntryKey;
    using Entry = TcamEntry;
    using LogEntry = TcamLogEntry;
    using ResourceKeys = TcamResourceKeys;
    using SwTable = TcamSwTable;
    using Wrapper = TcamEntryWrapper;
    using ResolverEntry = TcamResolverEntry;
    using HelperBase = TcamSwTableHelperBase;
    using EntryLog = TcamEntryLog;
    using IteratorState = TcamSwTableIteratorState;
    using ResourcePtr = NoResourcePtr;

    static constexpr bool kHasResources = false;
    static constexpr char kSwTableTypeName[] = "VornTunnelTcamMgr::TcamSwTable";
    static constexpr char kEntryHandleTypeName[] = "VornTunnelTcamMgr::TcamSwTable::EntryHandle";
    static constexpr char kWrapperTypeName[] = "VornTunnelTcamMgr::TcamEntryWrapper";
    static constexpr char kResolverEntryTypeName[] = "VornTunnelTcamMgr::TcamResolverEntry";
    static constexpr char kHelperTypeName[] = "VornTunnelTcamMgr::TcamSwTableHelperBase";
    static constexpr char kIteratorStateTypeName[] = "VornTunnelTcamMgr::TcamSwTableIteratorState";

    // The "TcamSwTable" trace handle, shared by the table and its generic algorithms.
    static Qel::TraceHandle& trace();
    static NoLinkage linkageOf(TcamSwTable const&) { return {}; }
};

class VORN_TCAMMGR_API TcamEntryWrapper final : public EntryWrapperT<TcamFamily> {
  public:
    using EntryWrapperT::EntryWrapperT;
    ~TcamEntryWrapper() override;
    static Lumo::Ptr<TcamEntryWrapper> TcamEntryWrapperIs(TcamEntry const& entry,
                                                          Lumo::Ptr<Asic::OrderedSwTable::EntryHandle> const& handle);
};
VORN_TCAMMGR_API Lumo::Ptr<TcamEntryWrapper> tcamEntryWrapperFactory(
    TcamEntry const& entry, Lumo::Ptr<Asic::OrderedSwTable::EntryHandle> const& handle);

class VORN_TCAMMGR_API TcamResolverEntry final : public ResolverEntryT<TcamFamily> {
  public:
    using ResolverEntryT::ResolverEntryT;
    ~TcamResolverEntry() override;
    static Lumo::Ptr<TcamResolverEntry> TcamResolverEntryIs(
        Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependantEntryHandle, Asic::EntryFlags flags,
        TcamSwTable* swTable, Lumo::Ptr<TcamEntryWrapper> const& swTableEntry);
};
VORN_TCAMMGR_API Lumo::Ptr<TcamResolverEntry> tcamResolverEntryFactory(
    Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependantEntryHandle, Asic::EntryFlags flags,
    TcamSwTable* swTable, Lumo::Ptr<TcamEntryWrapper> const& swTableEntry);

class VORN_TCAMMGR_API TcamSwTableIteratorState final : public IteratorStateT<TcamFamily> {
  public:
    ~TcamSwTableIteratorState() override;
};
VORN_TCAMMGR_API Lumo::Ptr<TcamSwTableIteratorState> tcamSwTableIteratorStateFactory();

}  // namespace VornTunnelTcamMgr
