#pragma once
// Entry handles: how a caller follows one request through resolution, logging and completion.
//
// DependencyEntryHandle is what another request may wait for: its entry state and the table
// version it stands for. OrderedSwTable::EntryHandle adds the request's entry version and
// log version and the virtual hooks of the framework.
#include <fmt/format.h>

#include "contracts/asic/Types.h"
#include "contracts/lumo/Publisher.h"
#include "contracts/lumo/String.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

class CanonicalTableName;

class DependencyEntryHandle : public Lumo::PublishingNode {
  public:
    // Attribute identities for change notification.
    static constexpr Lumo::AttributeId kEntryStateAttr = 1;

    char const* typeData() const override { return "Asic::DependencyEntryHandle"; }

    EntryState entryState() const { return entryState_; }
    // Sets the state; notifies and calls handleEntryState() only when it really changes.
    void entryStateIs(EntryState s) {
        if (s == entryState_) return;
        entryState_ = s;
        notify(kEntryStateAttr);
        handleEntryState();
    }

    // Framework hooks, declared in the framework's slot order: handleEntryState,
    // hwIndexForDependentField, handleIndexSuggestions, entryTableVersion (then tableName and
    // tableId of OrderedSwTable::EntryHandle).
    virtual void handleEntryState() {}
    virtual std::uint32_t hwIndexForDependentField() const { return 0; }
    virtual void handleIndexSuggestions() {}
    // The table and log version this handle stands for, for needed-entry sets.
    virtual TableVersion entryTableVersion() const = 0;

  private:
    EntryState entryState_ = EntryState::pending;
};

class OrderedSwTable;

// The request handle of the ordered-table framework; each table family derives its own.
class OrderedSwTableEntryHandle : public DependencyEntryHandle {
  public:
    static constexpr Lumo::AttributeId kLogVersionAttr = 2;

    explicit OrderedSwTableEntryHandle(EntryVersion version) : version_(version) {}
    char const* typeData() const override { return "Asic::OrderedSwTable::EntryHandle"; }

    EntryVersion version() const { return version_; }
    LogVersion logVersion() const { return logVersion_; }
    void logVersionIs(LogVersion v) {
        if (v == logVersion_) return;
        logVersion_ = v;
        notify(kLogVersionAttr);
    }

    TableVersion entryTableVersion() const override { return TableVersion{tableId(), logVersion_}; }
    // The owning table's hooks, in the slots after entryTableVersion.
    virtual Lumo::String tableName() const = 0;
    virtual SwTableId tableId() const = 0;

  private:
    EntryVersion version_;
    LogVersion logVersion_ = 0;
};

}  // namespace Asic

template <>
struct fmt::formatter<Asic::EntryState> : fmt::formatter<int> {
    template <typename FormatContext>
    auto format(Asic::EntryState s, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::formatter<int>::format(static_cast<int>(s), ctx);
    }
};

#pragma GCC visibility pop
