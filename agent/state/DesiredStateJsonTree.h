#pragma once
// A JSON reader that keeps the line of every value, so that a desired-state file's problems can be
// reported at their line. nlohmann::json's own tree keeps no positions; this one is built from its
// SAX events instead.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace VornTcamAgent::detail {

// One JSON value and where it was read. Object members keep their file order (and duplicates, so
// that the reader of the tree can reject them).
struct JsonValue {
    enum class Kind : std::uint8_t { null, boolean, signedInt, unsignedInt, floating, string, array, object };

    Kind kind = Kind::null;
    int line = 0;     // 1-based line of the value's first character
    int keyLine = 0;  // member of an object: the line of its name
    std::string key;  // member of an object: its name
    bool boolean = false;
    std::int64_t signedInt = 0;
    std::uint64_t unsignedInt = 0;
    double floating = 0;
    std::string text;              // a string's value, or a floating number as written
    std::vector<JsonValue> items;  // array elements or object members
    std::size_t handedOver = 0;    // array: elements taken by the element sink instead of kept

    // The first member of an object with this name, or null.
    JsonValue const* member(std::string_view name) const;
};

// Deepest nesting of arrays and objects accepted; a desired state needs six levels.
inline constexpr std::size_t kMaxJsonDepth = 32;

// Offered each array element as soon as it is complete, with the values that enclose it (root
// first, the array last; all still being read) and its index in the array. Returning true takes
// the element: the tree does not keep it. This keeps the tree of a large file small.
using JsonElementSink =
    std::function<bool(std::span<JsonValue const* const> enclosing, std::size_t index, JsonValue&& element)>;

// Reads one JSON text. Throws DesiredStateError naming `file` and the line for a syntax error, a
// text that holds nothing but white space, and nesting deeper than kMaxJsonDepth; exceptions of the
// sink pass through.
JsonValue readJsonTree(std::string_view text, std::string const& file, JsonElementSink const& sink = {});

// "an object", "a string", ...: the kind as a message names it.
std::string_view describeKind(JsonValue::Kind kind);

}  // namespace VornTcamAgent::detail
