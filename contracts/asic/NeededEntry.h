#pragma once
// Asic::NeededEntry: the table versions of other tables that one change needs before the
// hardware may apply it. Per table only the highest needed version is kept.
#include <fmt/format.h>

#include "contracts/asic/Types.h"
#include "contracts/lumo/Node.h"
#include "contracts/qel/HashMap2018.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

class NeededEntry : public Lumo::Node {
  public:
    using Coll = Qel::HashMap2018<SwTableId, TableVersion>;

    char const* typeData() const override { return "Asic::NeededEntry"; }

    // Adds a needed version; a lower or equal version of the same table changes nothing.
    void add(TableVersion const& tv) {
        TableVersion const* cur = neededEntry_.find(tv.tableId);
        if (cur == nullptr || cur->version < tv.version) neededEntry_.set(tv.tableId, tv);
    }
    // Adds every version of `other`.
    void merge(NeededEntry const& other) {
        for (auto [id, tv] : other.neededEntry_) add(tv);
    }
    Coll const& neededEntry() const { return neededEntry_; }
    std::size_t size() const { return neededEntry_.size(); }
    bool empty() const { return neededEntry_.empty(); }

  private:
    Coll neededEntry_;
};

}  // namespace Asic

template <>
struct fmt::formatter<Asic::NeededEntry> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(Asic::NeededEntry const& n, FormatContext& ctx) const -> decltype(ctx.out()) {
        auto out = fmt::format_to(ctx.out(), "[");
        bool first = true;
        for (auto [id, tv] : n.neededEntry()) {
            out = fmt::format_to(out, "{}{}", first ? "" : ", ", tv);
            first = false;
        }
        return fmt::format_to(out, "]");
    }
};

#pragma GCC visibility pop
