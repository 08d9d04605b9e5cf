#pragma once
// The entry handle of one request of a software table: the framework handle (entry version,
// entry state, log version) plus the request's key, a plain back-pointer to the table, and the
// response handler called once when the request completes or fails.
#include <functional>

#include "api/Export.h"
#include "contracts/asic/EntryHandle.h"
#include "contracts/asic/OrderedSwTable.h"
#include "contracts/lumo/Format.h"
#include "swtable/SwTableFamily.h"

namespace VornTunnelTcamMgr {

using ResponseHandler = std::function<void(Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> const&)>;

template <typename F>
class VORN_TCAMMGR_API EntryHandleT : public Asic::OrderedSwTable::EntryHandle {
  public:
    static constexpr char const* qelTraceClassName() { return F::kEntryHandleTypeName; }
    using Key = typename F::Key;
    using SwTable = typename F::SwTable;
    static constexpr Lumo::AttributeId kKeyAttr = 3;
    static constexpr Lumo::AttributeId kSwTableAttr = 4;

    EntryHandleT(Asic::EntryVersion version, Key const& key, SwTable* swTable)
        : Asic::OrderedSwTable::EntryHandle(version), key_(key), swTable_(swTable) {}
    // The factory of the class; the table's entryHandleFactory takes the same arguments.
    static Lumo::Ptr<EntryHandleT> EntryHandleIs(Asic::EntryVersion version, Key const& key, SwTable* swTable) {
        return Lumo::make<EntryHandleT>(version, key, swTable);
    }
    char const* typeData() const override { return F::kEntryHandleTypeName; }

    Key const& key() const { return key_; }
    SwTable* swTable() const { return swTable_; }
    void swTableIs(SwTable* t) {
        if (t == swTable_) return;
        swTable_ = t;
        notify(kSwTableAttr);
    }

    ResponseHandler const& responseHandler() const { return responseHandler_; }
    void responseHandlerIs(ResponseHandler h) { responseHandler_ = std::move(h); }
    // Calls the response handler, if there is one, with this handle.
    void callResponseHandler() const {
        if (responseHandler_) responseHandler_(Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const>(this));
    }

    Lumo::String tableName() const override;
    Asic::SwTableId tableId() const override;

  private:
    Key key_;
    SwTable* swTable_;  // not counted: the table owns the requests
    ResponseHandler responseHandler_;
};

}  // namespace VornTunnelTcamMgr
