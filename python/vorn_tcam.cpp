// vorn_tcam: the Python view of what a namespace's shared memory holds for the two tables,
// read-only. vorn_tcam.open(namespace) returns a View that reads one committed snapshot for its
// whole life (an agent writing meanwhile is seen as of one transaction) and never writes; its
// entries are the dicts `tcam-agent show --json --entries` prints, made by the same code
// (agent/view: StoredView, EntryJson, ShowSummary).
//
// A view holds an LMDB read transaction while open, which keeps the pages of its snapshot from
// being reused by a running agent: close it (or use it as a context manager) when done. Views of
// one namespace in one process share one LMDB handle, so closing one never drops another's
// snapshot; a view whose snapshot can no longer be trusted (used in a forked child, or its
// reader slot freed) raises instead of answering. A store that cannot be read now raises
// vorn_tcam.StoreUnavailableError with the words `tcam-agent show` prints.
//
// entries() yields lazily, a batch at a time, so a full unit is never held at once.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/view/EntryJson.h"
#include "agent/view/ShowSummary.h"
#include "agent/view/StoredTables.h"
#include "agent/view/StoredView.h"
#include "contracts/shm/ReadOnlyView.h"
#include "contracts/shm/SharedMem.h"
#include "contracts/shm/StoreUnavailable.h"

namespace py = pybind11;

namespace VornTcamAgent {

namespace {

// JSON to Python objects, through Python's own JSON reader.
py::object toPython(nlohmann::json const& value) { return py::module_::import("json").attr("loads")(value.dump()); }

class View {
  public:
    explicit View(std::string nameSpace) : nameSpace_(std::move(nameSpace)) {
        view_ = QelSharedMem::ReadOnlyView::open(nameSpace_);
        if (!view_) {
            PyErr_SetString(PyExc_FileNotFoundError, ("no shared memory for namespace \"" + nameSpace_ + "\": " +
                                                      QelSharedMem::environmentPath(nameSpace_) + " does not exist")
                                                         .c_str());
            throw py::error_already_set();
        }
    }

    std::string const& nameSpace() const { return nameSpace_; }
    bool closed() const { return view_ == nullptr; }
    void close() { view_.reset(); }

    py::list tables() const {
        py::list names;
        names.append(TcamFamily::kName);
        names.append(TcamActionFamily::kName);
        return names;
    }

    std::vector<Asic::UnitId> units(std::string const& table) const {
        std::vector<Asic::UnitId> units;
        for (StoredUnitPath const& unit : tableNamed(table) == TcamFamily::kName
                                              ? storedUnits<TcamFamily>(open())
                                              : storedUnits<TcamActionFamily>(open()))
            units.push_back(unit.unitId);
        checked();
        return units;
    }

    // The path of the unit's configuration table; KeyError when the table has not stored it.
    Lumo::String unitPath(std::string const& table, Asic::UnitId unit) const {
        for (StoredUnitPath const& stored : tableNamed(table) == TcamFamily::kName
                                                ? storedUnits<TcamFamily>(open())
                                                : storedUnits<TcamActionFamily>(open()))
            if (stored.unitId == unit) return stored.path;
        throw py::key_error("table " + table + " has no unit " + std::to_string(unit) + " stored");
    }

    py::object summary() const {
        StoredView const view = readStoredView(open(), nameSpace_, {});
        checked();
        return toPython(storedViewJson(view));
    }

    // The open view, its snapshot checked before it is read; ValueError once closed.
    QelSharedMem::ReadOnlyView const& open() const {
        if (!view_) throw py::value_error("the view is closed");
        view_->checkSnapshot();
        return *view_;
    }
    // What was read came from the snapshot only if it is still held afterwards.
    void checked() const { view_->checkSnapshot(); }

  private:
    static std::string tableNamed(std::string const& table) {
        if (!knownTable(table)) throw py::key_error("no table named \"" + table + "\" (Tcam or TcamAction)");
        return table;
    }

    std::string nameSpace_;
    std::unique_ptr<QelSharedMem::ReadOnlyView> view_;
};

// The entries of one unit (live or in deletion) whose key starts with a prefix, at most `limit`
// of them, in key order, read from the view's snapshot a batch at a time. A batch walks the
// table from its first record and steps over those earlier batches visited: the snapshot does
// not change, so positions are stable, and stepping over costs no decoding. Reading after the
// view is closed raises ValueError.
class EntryIterator {
  public:
    static constexpr std::size_t kBatch = 4096;

    EntryIterator(py::object view, std::string table, Lumo::String path, bool inDeletion, std::string prefix,
                  std::optional<std::uint64_t> limit)
        : view_(std::move(view)),
          tcam_(table == TcamFamily::kName),
          path_(std::move(path)),
          inDeletion_(inDeletion),
          prefix_(std::move(prefix)),
          limit_(limit) {}

    py::object next() {
        View const& view = view_.cast<View const&>();
        QelSharedMem::ReadOnlyView const& reader = view.open();
        if (next_ == batch_.size()) {
            refill(reader);
            view.checked();
        }
        if (next_ == batch_.size()) throw py::stop_iteration();
        return batch_[next_++];
    }

  private:
    void refill(QelSharedMem::ReadOnlyView const& reader) {
        std::vector<StoredEntry> entries;
        if (!exhausted_ && !limitReached()) {
            StoredManager const manager = tablesManager();
            std::uint64_t position = 0;
            bool stopped = false;
            reader.forEachRecord(manager.name, manager.local, path_, false, [&](auto const& stored) {
                if (position++ < visited_) return true;
                ++visited_;
                tcam_ ? take<TcamFamily>(stored, entries) : take<TcamActionFamily>(stored, entries);
                stopped = entries.size() >= kBatch || limitReached();
                return !stopped;
            });
            exhausted_ = !stopped;
        }
        batch_ = py::list(toPython(storedEntriesJson(entries)));
        next_ = 0;
    }

    template <typename Family>
    void take(QelSharedMem::ReadOnlyView::Record const& stored, std::vector<StoredEntry>& entries) {
        typename Family::ConfigRecord record;
        if (!decodeRecord(stored, record) || bool(record.inDeletion) != inDeletion_) return;
        std::string key = keyText(record.key());
        if (key.compare(0, prefix_.size(), prefix_) != 0) return;
        ++taken_;
        entries.push_back(StoredEntry{std::move(key), entryJson(entryOf<Family>(record))});
    }

    bool limitReached() const { return limit_ && taken_ >= *limit_; }

    py::object view_;  // keeps the View alive while its entries are read
    bool tcam_;
    Lumo::String path_;
    bool inDeletion_;
    std::string prefix_;
    std::optional<std::uint64_t> limit_;
    std::uint64_t visited_ = 0;  // records of the table walked so far
    std::uint64_t taken_ = 0;    // entries yielded or batched so far
    bool exhausted_ = false;
    py::list batch_;
    std::size_t next_ = 0;
};

}  // namespace

}  // namespace VornTcamAgent

PYBIND11_MODULE(vorn_tcam, m) {
    using VornTcamAgent::EntryIterator;
    using VornTcamAgent::View;
    m.doc() = "Read-only view of the tunnel-termination TCAM tables stored in shared memory";
    py::register_exception<QelSharedMem::StoreUnavailableError>(m, "StoreUnavailableError", PyExc_RuntimeError);

    py::class_<EntryIterator>(m, "EntryIterator", "The entries of one unit, read lazily from the view's snapshot")
        .def(
            "__iter__", [](EntryIterator& it) -> EntryIterator& { return it; },
            py::return_value_policy::reference_internal)
        .def("__next__", &EntryIterator::next);

    py::class_<View>(m, "View", "One read-only snapshot of a namespace's stored tables")
        .def_property_readonly("namespace", &View::nameSpace)
        .def_property_readonly("closed", &View::closed)
        .def("tables", &View::tables, "the table names: [\"Tcam\", \"TcamAction\"]")
        .def("units", &View::units, py::arg("table"), "the units the table has stored, by number")
        .def(
            "entries",
            [](py::object self, std::string const& table, Asic::UnitId unit, bool inDeletion, std::string prefix,
               std::optional<std::uint64_t> limit) {
                Lumo::String path = self.cast<View const&>().unitPath(table, unit);
                return EntryIterator(self, table, std::move(path), inDeletion, std::move(prefix), limit);
            },
            py::arg("table"), py::arg("unit"), py::arg("in_deletion") = false, py::arg("prefix") = "",
            py::arg("limit") = py::none(),
            "yields the unit's live entries (or those in deletion) whose key starts with PREFIX, at most LIMIT, "
            "each {\"key\": str, \"entry\": dict}, in key order, reading a batch at a time")
        .def("summary", &View::summary, "the counts per table and unit, as `tcam-agent show --json` prints them")
        .def("close", &View::close, "ends the snapshot; the view cannot be read afterwards")
        .def(
            "__enter__", [](View& v) -> View& { return v; }, py::return_value_policy::reference)
        .def("__exit__", [](View& v, py::args) { v.close(); });

    m.def(
        "environment_path", [](std::string const& nameSpace) { return QelSharedMem::environmentPath(nameSpace); },
        py::arg("namespace"), "the data file of namespace NAMESPACE's shared memory");
    m.def(
        "open",
        [](std::string const& nameSpace) {
            try {
                return std::make_unique<View>(nameSpace);
            } catch (std::invalid_argument const& e) {
                throw py::value_error(e.what());
            }
        },
        py::arg("namespace"),
        "Opens namespace NAMESPACE (/dev/shm/vorn-tcam.NAMESPACE) read-only; FileNotFoundError when it has no "
        "shared memory");
}
