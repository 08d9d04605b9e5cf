#pragma once
// An action-table entry handle whose state the InLif tests drive by hand, standing for the
// change that drops or takes a resource.
#include "contracts/asic/OrderedSwTable.h"

namespace VornTest {

class TestEntryHandle : public Asic::OrderedSwTable::EntryHandle {
  public:
    TestEntryHandle() : Asic::OrderedSwTable::EntryHandle(Asic::EntryVersion(1, 0)) {}
    Lumo::String tableName() const override { return "TcamAction"; }
    Asic::SwTableId tableId() const override { return Asic::SwTableId(0x1B080402); }
};

}  // namespace VornTest
