#include "contracts/qel/Trace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace Qel {
namespace {

struct Registry {
    std::vector<TraceHandle*> handles;
    std::map<std::string, int, std::less<>> levels;  // per-name levels; "*" for all
    std::vector<TraceSink*> sinks;
    int muted = 0;
    bool configured = false;
};

Registry& registry() {
    static Registry r;
    if (!r.configured) {
        r.configured = true;
        if (char const* definition = std::getenv("QEL_TRACE")) {
            TraceHandle::configure(definition);
        }
    }
    return r;
}

int levelFor(Registry& r, std::string const& name) {
    int level = 0;
    if (auto it = r.levels.find("*"); it != r.levels.end()) level = it->second;
    if (auto it = r.levels.find(name); it != r.levels.end()) level = it->second;
    return level;
}

}  // namespace

TraceHandle::TraceHandle(std::string name) : name_(std::move(name)) {
    Registry& r = registry();
    level_ = levelFor(r, name_);
    r.handles.push_back(this);
}

TraceHandle::~TraceHandle() {
    Registry& r = registry();
    r.handles.erase(std::remove(r.handles.begin(), r.handles.end(), this), r.handles.end());
}

void TraceHandle::emit(int level, char const* prettyFunction, int line, std::string message,
                       char const* className) const {
    TraceRecord rec;
    rec.level = level;
    rec.handle = name_;
    std::string_view pf(prettyFunction);
    if (className != nullptr) {
        std::string_view name(className);
        auto const sep = name.find("::");
        rec.className = std::string(sep == std::string_view::npos ? name : name.substr(sep + 2));
    } else {
        rec.className = classNameOf(pf);
    }
    // The bare function name: the identifier before the parameter list.
    auto paren = pf.find('(');
    auto head = pf.substr(0, paren);
    auto sep = head.rfind("::");
    auto space = head.rfind(' ');
    std::size_t start = 0;
    if (sep != std::string_view::npos)
        start = sep + 2;
    else if (space != std::string_view::npos)
        start = space + 1;
    rec.function = std::string(head.substr(start));
    rec.line = line;
    rec.message = std::move(message);
    Registry& r = registry();
    for (TraceSink* s : r.sinks) s->record(rec);
    if (r.muted == 0) {
        std::fprintf(stderr, "[%d] %s %s::%s:%d %s\n", rec.level, rec.handle.c_str(), rec.className.c_str(),
                     rec.function.c_str(), rec.line, rec.message.c_str());
    }
}

void TraceHandle::levelIs(std::string_view name, int level) {
    Registry& r = registry();
    r.levels[std::string(name)] = level;
    for (TraceHandle* h : r.handles) h->level_ = levelFor(r, h->name_);
}

void TraceHandle::configure(std::string_view definition) {
    while (!definition.empty()) {
        auto comma = definition.find(',');
        auto item = definition.substr(0, comma);
        definition = comma == std::string_view::npos ? std::string_view{} : definition.substr(comma + 1);
        auto slash = item.find('/');
        if (item.empty()) continue;
        int level = 9;
        if (slash != std::string_view::npos) {
            level = std::atoi(std::string(item.substr(slash + 1)).c_str());
            item = item.substr(0, slash);
        }
        levelIs(item, std::clamp(level, 0, 9));
    }
}

TraceSinkRegistration::TraceSinkRegistration(TraceSink* sink, bool exclusive) : sink_(sink), exclusive_(exclusive) {
    Registry& r = registry();
    r.sinks.push_back(sink_);
    if (exclusive_) ++r.muted;
}

TraceSinkRegistration::~TraceSinkRegistration() {
    Registry& r = registry();
    r.sinks.erase(std::remove(r.sinks.begin(), r.sinks.end(), sink_), r.sinks.end());
    if (exclusive_) --r.muted;
}

TraceCapture::TraceCapture(int level) : reg_(this, true) {
    Registry& r = registry();
    auto it = r.levels.find("*");
    savedGlobal_ = it == r.levels.end() ? -1 : it->second;
    TraceHandle::levelIs("*", level);
}

TraceCapture::~TraceCapture() {
    Registry& r = registry();
    if (savedGlobal_ < 0) {
        r.levels.erase("*");
        for (TraceHandle* h : r.handles) h->levelIs(levelFor(r, h->name()));
    } else {
        TraceHandle::levelIs("*", savedGlobal_);
    }
}

std::vector<TraceRecord> TraceCapture::of(std::string_view handle, int level) const {
    std::vector<TraceRecord> out;
    for (auto const& r : records_)
        if (r.handle == handle && (level == 0 || r.level == level)) out.push_back(r);
    return out;
}

std::vector<std::string> TraceCapture::messages(std::string_view handle, int level) const {
    std::vector<std::string> out;
    for (auto const& r : of(handle, level)) out.push_back(r.message);
    return out;
}

bool TraceCapture::has(std::string_view message) const { return count(message) > 0; }

std::size_t TraceCapture::count(std::string_view message) const {
    return static_cast<std::size_t>(
        std::count_if(records_.begin(), records_.end(), [&](auto const& r) { return r.message == message; }));
}

std::string classNameOf(std::string_view pf) {
    auto paren = pf.find('(');
    auto head = pf.substr(0, paren);
    // Drop a template argument list at the end of the qualified name ("f<T>").
    auto sep = head.rfind("::");
    if (sep == std::string_view::npos) return {};
    auto qualified = head.substr(0, sep);
    auto space = qualified.rfind(' ');
    // Skip spaces inside template argument lists.
    int depth = 0;
    for (std::size_t i = qualified.size(); i-- > 0;) {
        char c = qualified[i];
        if (c == '>')
            ++depth;
        else if (c == '<')
            --depth;
        else if (c == ' ' && depth == 0) {
            space = i;
            break;
        }
        if (i == 0) space = std::string_view::npos;
    }
    auto cls = space == std::string_view::npos ? qualified : qualified.substr(space + 1);
    auto last = cls.rfind("::");
    // Keep the innermost class name, without namespaces.
    depth = 0;
    for (std::size_t i = cls.size(); i-- > 0;) {
        char c = cls[i];
        if (c == '>')
            ++depth;
        else if (c == '<')
            --depth;
        else if (depth == 0 && c == ':' && i > 0 && cls[i - 1] == ':') {
            last = i - 1;
            break;
        }
        if (i == 0) last = std::string_view::npos;
    }
    return std::string(last == std::string_view::npos ? cls : cls.substr(last + 2));
}

}  // namespace Qel
