#include "agent/state/DesiredStateJsonTree.h"

#include <iterator>
#include <nlohmann/json.hpp>

#include "agent/state/DesiredState.h"
#include "agent/state/EchoText.h"

namespace VornTcamAgent::detail {

namespace {

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Lines of what the parser has consumed so far. A newline belongs to the line it ends.
struct LineTracker {
    int nextLine = 1;          // line of the next character
    int lastCharLine = 1;      // line of the last character consumed
    int lastNonSpaceLine = 1;  // line of the last character consumed that is not white space

    void consume(char c) {
        lastCharLine = nextLine;
        if (!isJsonSpace(c)) lastNonSpaceLine = nextLine;
        if (c == '\n') ++nextLine;
    }
};

// An input iterator over the text that reports every character the parser consumes to a
// LineTracker. The parser reads at most one character past a token (to find the end of a number),
// and that character is white space or on the same line, so at a SAX callback the line of the
// last non-space character consumed is the line of the token just read.
class CountingIterator {
  public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = char const*;
    using reference = char const&;

    CountingIterator(char const* pos, LineTracker* tracker) : pos_(pos), tracker_(tracker) {}

    reference operator*() const { return *pos_; }
    CountingIterator& operator++() {
        tracker_->consume(*pos_);
        ++pos_;
        return *this;
    }
    CountingIterator operator++(int) {
        CountingIterator old = *this;
        ++*this;
        return old;
    }
    friend bool operator==(CountingIterator const& a, CountingIterator const& b) { return a.pos_ == b.pos_; }

  private:
    char const* pos_;
    LineTracker* tracker_;
};

// Builds the JsonValue tree from the parser's SAX events, stamping each value with its line.
class TreeBuilder {
  public:
    using json = nlohmann::json;

    TreeBuilder(LineTracker const& tracker, std::string const& file, JsonElementSink const& sink)
        : tracker_(tracker), file_(file), sink_(sink) {}

    JsonValue takeRoot() { return std::move(root_); }

    bool null() { return add(JsonValue{}); }
    bool boolean(bool v) {
        JsonValue x;
        x.kind = JsonValue::Kind::boolean;
        x.boolean = v;
        return add(std::move(x));
    }
    bool number_integer(json::number_integer_t v) {
        JsonValue x;
        x.kind = JsonValue::Kind::signedInt;
        x.signedInt = v;
        return add(std::move(x));
    }
    bool number_unsigned(json::number_unsigned_t v) {
        JsonValue x;
        x.kind = JsonValue::Kind::unsignedInt;
        x.unsignedInt = v;
        return add(std::move(x));
    }
    bool number_float(json::number_float_t v, json::string_t const& text) {
        JsonValue x;
        x.kind = JsonValue::Kind::floating;
        x.floating = v;
        x.text = text;
        return add(std::move(x));
    }
    bool string(json::string_t& v) {
        JsonValue x;
        x.kind = JsonValue::Kind::string;
        x.text = std::move(v);
        return add(std::move(x));
    }
    bool binary(json::binary_t&) { return false; }  // not produced by the JSON text format
    bool start_object(std::size_t) { return open(JsonValue::Kind::object); }
    bool key(json::string_t& name) {
        pendingKey_ = std::move(name);
        pendingKeyLine_ = tracker_.lastNonSpaceLine;
        keyPending_ = true;
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(JsonValue::Kind::array); }
    bool end_array() { return close(); }

    bool parse_error(std::size_t, std::string const&, nlohmann::detail::exception const& ex) {
        // The message reads "[json.exception.parse_error.101] parse error at line 3, column 5: syntax
        // error while parsing ..." or "[json.exception.out_of_range.406] number overflow parsing
        // '1e400'"; keep what follows the id and position, ours replace them. It quotes the text
        // read, so it is escaped and shortened.
        std::string_view msg = ex.what();
        if (msg.starts_with("[json.exception.")) {
            if (auto close = msg.find("] "); close != std::string_view::npos) msg.remove_prefix(close + 2);
        }
        if (msg.starts_with("parse error")) {
            if (auto pos = msg.find("column "); pos != std::string_view::npos) {
                if (auto colon = msg.find(": ", pos); colon != std::string_view::npos) msg.remove_prefix(colon + 2);
            }
        }
        throw DesiredStateError(file_, tracker_.lastCharLine, currentPath(), echoMessage(msg));
    }

  private:
    // The field path of the value being read ("units[0].actionEntries[3].vrf"), as the reader of
    // the tree names fields; empty at the top level.
    std::string currentPath() const {
        std::string path;
        auto step = [&path](JsonValue const& parent, std::string_view key, std::size_t index) {
            if (parent.kind == JsonValue::Kind::array) {
                path += fmt::format("[{}]", index);
            } else {
                if (!path.empty()) path += '.';
                path += echoText(key);
            }
        };
        for (std::size_t i = 1; i < stack_.size(); ++i) {
            JsonValue const& parent = *stack_[i - 1];
            step(parent, stack_[i]->key, parent.items.size() - 1 + parent.handedOver);
        }
        if (!stack_.empty()) {
            JsonValue const& top = *stack_.back();
            if (top.kind == JsonValue::Kind::array || keyPending_)
                step(top, pendingKey_, top.items.size() + top.handedOver);
        }
        return path;
    }

    bool open(JsonValue::Kind kind) {
        if (stack_.size() >= kMaxJsonDepth)
            throw DesiredStateError(file_, tracker_.lastNonSpaceLine, currentPath(),
                                    fmt::format("arrays and objects nested deeper than {} levels", kMaxJsonDepth));
        JsonValue x;
        x.kind = kind;
        JsonValue* placed = place(std::move(x));
        stack_.push_back(placed);
        return true;
    }
    bool close() {
        stack_.pop_back();
        offer();
        return true;
    }
    bool add(JsonValue x) {
        place(std::move(x));
        offer();
        return true;
    }
    // Offers the value just completed to the sink when it is an array element.
    void offer() {
        if (!sink_ || stack_.empty() || stack_.back()->kind != JsonValue::Kind::array) return;
        JsonValue* array = stack_.back();
        std::size_t const index = array->items.size() - 1 + array->handedOver;
        if (sink_(std::span<JsonValue const* const>(stack_.data(), stack_.size()), index,
                  std::move(array->items.back()))) {
            array->items.pop_back();
            ++array->handedOver;
        }
    }
    // Puts the value where the parser is: the root, the next array element or the pending member.
    JsonValue* place(JsonValue x) {
        x.line = tracker_.lastNonSpaceLine;
        if (stack_.empty()) {
            root_ = std::move(x);
            return &root_;
        }
        JsonValue* parent = stack_.back();
        if (parent->kind == JsonValue::Kind::object) {
            x.key = std::move(pendingKey_);
            x.keyLine = pendingKeyLine_;
            keyPending_ = false;
        }
        // Growing the parent's items moves only its finished children; the open values on the
        // stack are the parent and its ancestors, which stay where they are.
        parent->items.push_back(std::move(x));
        return &parent->items.back();
    }

    LineTracker const& tracker_;
    std::string const& file_;
    JsonElementSink const& sink_;
    JsonValue root_;
    std::vector<JsonValue*> stack_;
    std::string pendingKey_;
    int pendingKeyLine_ = 0;
    bool keyPending_ = false;  // a member name has been read and its value not yet
};

}  // namespace

JsonValue const* JsonValue::member(std::string_view name) const {
    for (auto const& m : items)
        if (m.key == name) return &m;
    return nullptr;
}

JsonValue readJsonTree(std::string_view text, std::string const& file, JsonElementSink const& sink) {
    bool onlySpace = true;
    for (char c : text) onlySpace = onlySpace && isJsonSpace(c);
    if (onlySpace) throw DesiredStateError(file, 1, "", "the file is empty");

    LineTracker tracker;
    TreeBuilder builder(tracker, file, sink);
    CountingIterator first(text.data(), &tracker);
    CountingIterator last(text.data() + text.size(), &tracker);
    nlohmann::json::sax_parse(first, last, &builder);
    return builder.takeRoot();
}

std::string_view describeKind(JsonValue::Kind kind) {
    switch (kind) {
        case JsonValue::Kind::null:
            return "null";
        case JsonValue::Kind::boolean:
            return "a boolean";
        case JsonValue::Kind::signedInt:
        case JsonValue::Kind::unsignedInt:
            return "an integer";
        case JsonValue::Kind::floating:
            return "a number";
        case JsonValue::Kind::string:
            return "a string";
        case JsonValue::Kind::array:
            return "an array";
        case JsonValue::Kind::object:
            return "an object";
    }
    return "a value";
}

}  // namespace VornTcamAgent::detail
