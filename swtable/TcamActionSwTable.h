#pragma once
// TcamActionSwTable: the software table of the action table ("TcamAction", TcamActionEntryKey
// to TcamActionEntry) for one unit. All behaviour comes from SwTableT; the action table adds
// its InLif index linkage, through which its entries obtain their InLif index resources; the
// table knows the linkage only through TcamActionLinkageBase.
#include <cstddef>
#include <type_traits>

#include "api/Export.h"
#include "entrylog/TcamActionEntryLog.h"
#include "swtable/SwTableT.h"
#include "swtable/TcamActionLinkageBase.h"
#include "swtable/TcamActionSwTableHelperBase.h"

namespace VornTunnelTcamMgr {

class TcamActionInLifIndexLinkage;

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

    // The table's InLif index linkage. The attribute is typed as the linkage itself, so that a
    // caller reaches every operation of it; the table's own code sees only its base
    // (linkageBase()). Both forms are templates only so that this header needs no more than the
    // linkage's declaration: they are instantiated where its definition is included.
    template <typename Linkage = TcamActionInLifIndexLinkage>
    Lumo::Ptr<Linkage> inLifIndexLinkage() const {
        return Lumo::static_ptr_cast<Linkage>(inLifIndexLinkage_);
    }
    template <typename Linkage = TcamActionInLifIndexLinkage>
    void inLifIndexLinkageIs(Lumo::Ptr<Linkage> const& linkage) {
        static_assert(std::is_same_v<Linkage, TcamActionInLifIndexLinkage>);
        linkageBaseIs(linkage);
    }
    void inLifIndexLinkageIs(std::nullptr_t) { linkageBaseIs(nullptr); }
    Lumo::Ptr<TcamActionLinkageBase> const& linkageBase() const { return inLifIndexLinkage_; }

  private:
    void linkageBaseIs(Lumo::Ptr<TcamActionLinkageBase> const& linkage);

    Lumo::Ptr<TcamActionLinkageBase> inLifIndexLinkage_;
};

VORN_TCAMMGR_API Lumo::Ptr<TcamActionSwTable> tcamActionSwTableFactory(
    Lumo::Ptr<Asic::CanonicalTableName const> const& tableName, Asic::SwTableId swTableId, Asic::UnitId unitId,
    Asic::OrderedSwTableSet* swTableSet, Lumo::Ptr<TcamActionEntryLog> const& entryLog,
    Lumo::Ptr<Asic::GroupResolver> const& groupResolver);

inline Lumo::Ptr<TcamActionLinkageBase> const& TcamActionFamily::linkageOf(TcamActionSwTable const& table) {
    return table.linkageBase();
}

}  // namespace VornTunnelTcamMgr
