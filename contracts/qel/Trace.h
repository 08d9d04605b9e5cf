#pragma once
// Named trace handles with levels 1 to 9.
//
// A handle is enabled up to a level by the environment variable QEL_TRACE
// ("TcamSwTable/8,SwTableIter/9", "*/3" for every handle) read when the handle is
// created, or at run time with TraceHandle::levelIs. QEL_TRACE_AT tests the level before
// anything is formatted, so a disabled trace costs one load and one compare.
// Records go to every installed sink: stderr by default, or a TraceCapture in tests.
#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Qel {

struct TraceRecord {
    int level = 0;
    std::string handle;     // the module's trace handle name
    std::string function;   // the function that traced
    std::string className;  // the class the function belongs to, empty for free functions
    int line = 0;
    std::string message;
};

class TraceSink {
  public:
    virtual ~TraceSink() = default;
    virtual void record(TraceRecord const& r) = 0;
};

class TraceHandle {
  public:
    explicit TraceHandle(std::string name);
    TraceHandle(TraceHandle const&) = delete;
    TraceHandle& operator=(TraceHandle const&) = delete;
    ~TraceHandle();

    std::string const& name() const { return name_; }
    bool enabled(int level) const { return level <= level_; }
    int level() const { return level_; }
    void levelIs(int level) { level_ = level; }

    // Emits a record; callers test enabled() first (QEL_TRACE_AT does).
    // `className` names the class when the function signature cannot (template code); null
    // takes it from the signature. A leading namespace is dropped.
    void emit(int level, char const* prettyFunction, int line, std::string message,
              char const* className = nullptr) const;

    // Sets the level of every handle whose name matches (a name or "*"), now and for handles made later.
    static void levelIs(std::string_view name, int level);
    // Parses a list "NAME/LEVEL,NAME/LEVEL" as QEL_TRACE does.
    static void configure(std::string_view definition);

  private:
    std::string name_;
    int level_ = 0;
};

// Installs a sink for the lifetime of the object; with `exclusive` the default stderr sink is muted.
class TraceSinkRegistration {
  public:
    TraceSinkRegistration(TraceSink* sink, bool exclusive);
    ~TraceSinkRegistration();
    TraceSinkRegistration(TraceSinkRegistration const&) = delete;
    TraceSinkRegistration& operator=(TraceSinkRegistration const&) = delete;

  private:
    TraceSink* sink_;
    bool exclusive_;
};

// Keeps every record in memory, for tests. Enables all handles to level 9 while alive.
class TraceCapture : public TraceSink {
  public:
    explicit TraceCapture(int level = 9);
    ~TraceCapture() override;
    void record(TraceRecord const& r) override { records_.push_back(r); }
    std::vector<TraceRecord> const& records() const { return records_; }
    void clear() { records_.clear(); }
    // Records of one handle (and optionally one level).
    std::vector<TraceRecord> of(std::string_view handle, int level = 0) const;
    // The messages of one handle, in order.
    std::vector<std::string> messages(std::string_view handle, int level = 0) const;
    // Whether any record's message equals `message`.
    bool has(std::string_view message) const;
    std::size_t count(std::string_view message) const;

  private:
    std::vector<TraceRecord> records_;
    TraceSinkRegistration reg_;
    int savedGlobal_;
};

// Extracts "Class" from a __PRETTY_FUNCTION__ text, empty for a free function.
std::string classNameOf(std::string_view prettyFunction);

}  // namespace Qel

// The class a trace record names. A class template that implements a family's class (the
// software table, the entry log, ...) declares a static member of this name answering that
// class's type name; unqualified lookup inside its members finds the member, everywhere else
// this fallback, which leaves the class to the function signature.
constexpr char const* qelTraceClassName() { return nullptr; }

// QEL_TRACE_AT(handle, level, "fmt {}", args...): formats and emits only when enabled.
#define QEL_TRACE_AT(handle, lvl, ...)                                                                            \
    do {                                                                                                          \
        if ((handle).enabled(lvl)) [[unlikely]]                                                                   \
            (handle).emit((lvl), __PRETTY_FUNCTION__, __LINE__, ::fmt::format(__VA_ARGS__), qelTraceClassName()); \
    } while (0)

#pragma GCC visibility pop
