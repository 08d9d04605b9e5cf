#pragma once
// TcamActionSwTable: the software table of the action table ("TcamAction", TcamActionEntryKey
// to TcamActionEntry) for one unit. All behaviour comes from SwTableT; the action table adds
// its InLif index linkage, through which its entries obtain their InLif index resources; the
// table knows the linkage only through TcamActionLinkageBase.
#include "api/Export.h"
#include "entrylog/TcamActionEntryLog.h"
#include "swtable/SwTableT.h"
#include "swtable/TcamActionLinkageBase.h"
#include "swtable/TcamActionSwTableHelperBase.h"

namespace VornTunnelTcamMgr {

class VORN_TCAMMGR_API TcamActionSwTable final : public SwTableT<TcamActionFamily> {
  public:
    static constexpr Lumo::AttributeId kInLifIndexLinkage = kFirstFamilyAttr;

    using SwTableT::SwTableT;
    ~TcamActionSwTable() override;
    static Lumo::Ptr<TcamActionSwTable> TcamActionSwTableIs(Lumo::Ptr<Asic::CanonicalTableName const> const& tableName,
                                                            Asic::SwTableId swTableId, Asic::UnitId unitId,
                                                            Asic::OrderedSwTableSet* swTableSet,
                                                            Lumo::Ptr<TcamActionEntryLog> const& entryLog,
                                                            Lumo::Ptr<Asic::GroupResolver> const& groupResolver);

    Lumo::Ptr<TcamActionLinkageBase> const& inLifIndexLinkage() const { return inLifIndexLinkage_; }
    void inLifIndexLinkageIs(Lumo::Ptr<TcamActionLinkageBase> const& linkage);

  private:
    Lumo::Ptr<TcamActionLinkageBase> inLifIndexLinkage_;
};

VORN_TCAMMGR_API Lumo::Ptr<TcamActionSwTable> tcamActionSwTableFactory(
    Lumo::Ptr<Asic::CanonicalTableName const> const& tableName, Asic::SwTableId swTableId, Asic::UnitId unitId,
    Asic::OrderedSwTableSet* swTableSet, Lumo::Ptr<TcamActionEntryLog> const& entryLog,
    Lumo::Ptr<Asic::GroupResolver> const& groupResolver);

inline Lumo::Ptr<TcamActionLinkageBase> const& TcamActionFamily::linkageOf(TcamActionSwTable const& table) {
    return table.inLifIndexLinkage();
}

}  // namespace VornTunnelTcamMgr
