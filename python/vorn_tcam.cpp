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
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

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

    py::object entries(std::string const& table, Asic::UnitId unit, bool inDeletion) const {
        StoredViewRequest request;
        request.entries = true;
        request.table = tableNamed(table);
        request.unit = unit;
        StoredView const view = readStoredView(open(), nameSpace_, request);
        checked();
        for (auto const& t : view.tables)
            for (auto const& u : t.units)
                if (u.unitId == unit) return toPython(storedEntriesJson(inDeletion ? u.inDeletion : u.live));
        throw py::key_error("table " + table + " has no unit " + std::to_string(unit) + " stored");
    }

    py::object summary() const {
        StoredView const view = readStoredView(open(), nameSpace_, {});
        checked();
        return toPython(storedViewJson(view));
    }

  private:
    // The open view, its snapshot checked before it is read.
    QelSharedMem::ReadOnlyView const& open() const {
        if (!view_) throw py::value_error("the view is closed");
        view_->checkSnapshot();
        return *view_;
    }
    // What was read came from the snapshot only if it is still held afterwards.
    void checked() const { view_->checkSnapshot(); }

    static std::string tableNamed(std::string const& table) {
        if (!knownTable(table)) throw py::key_error("no table named \"" + table + "\" (Tcam or TcamAction)");
        return table;
    }

    std::string nameSpace_;
    std::unique_ptr<QelSharedMem::ReadOnlyView> view_;
};

}  // namespace

}  // namespace VornTcamAgent

PYBIND11_MODULE(vorn_tcam, m) {
    using VornTcamAgent::View;
    m.doc() = "Read-only view of the tunnel-termination TCAM tables stored in shared memory";
    py::register_exception<QelSharedMem::StoreUnavailableError>(m, "StoreUnavailableError", PyExc_RuntimeError);

    py::class_<View>(m, "View", "One read-only snapshot of a namespace's stored tables")
        .def_property_readonly("namespace", &View::nameSpace)
        .def_property_readonly("closed", &View::closed)
        .def("tables", &View::tables, "the table names: [\"Tcam\", \"TcamAction\"]")
        .def("units", &View::units, py::arg("table"), "the units the table has stored, by number")
        .def("entries", &View::entries, py::arg("table"), py::arg("unit"), py::arg("in_deletion") = false,
             "the unit's live entries (or those in deletion) as [{\"key\": str, \"entry\": dict}], in key order")
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
