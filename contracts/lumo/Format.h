#pragma once
// fmt support for counted pointers: a Ptr formats as its object, or "null".
#include <fmt/format.h>

#include "contracts/lumo/Node.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

template <typename T>
struct fmt::formatter<Lumo::Ptr<T>> : fmt::formatter<std::remove_const_t<T>> {
    template <typename FormatContext>
    auto format(Lumo::Ptr<T> const& p, FormatContext& ctx) const -> decltype(ctx.out()) {
        if (!p) return fmt::format_to(ctx.out(), "null");
        return fmt::formatter<std::remove_const_t<T>>::format(*p, ctx);
    }
};

#pragma GCC visibility pop
