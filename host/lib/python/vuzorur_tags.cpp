// Line.tags and the class Tags it gives: a gate list's named tags read and
// written by name in their engineering units, the errors as the module's
// exceptions (KeyError for a name no tag has).
#include "vuzorur_tags.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/line_file.h"
#include "py_interruptible.h"
#include "session/gates/tag.h"
#include "session/gates/tag_table.h"

namespace py = pybind11;

namespace qel::python {
namespace {

// The tags of a gate list on a line (Line.tags).
struct Tags {
    std::shared_ptr<Line> line;
    std::shared_ptr<const session::TagTable> table;
    std::string origin;
};

py::object TagValue(const session::TagSpec& spec, double v) {
    if (spec.type == session::TagType::Bool) return py::bool_(v != 0);
    v = session::TidyValue(v);
    if (v == std::trunc(v) && std::fabs(v) < 9e15) return py::int_(static_cast<long long>(v));
    return py::float_(v);
}

// Raises for a failed tag call: KeyError for a name no tag has, else the
// gate's exception.
void Check(const session::TagResult& r) {
    if (!r.known) throw py::key_error(r.gate.reason);
    if (!r.gate.ok()) RaiseGate(r.gate);
}

// The lines of a list: a file's path, or a dict {name: "GAS fields"} or
// {name: {"gate": GAS, "type": ..., ...}}.
std::vector<common::TextLine> TagLines(const py::object& source, std::string& origin) {
    std::vector<common::TextLine> lines;
    if (py::isinstance<py::str>(source)) {
        origin = source.cast<std::string>();
        std::string error;
        if (!common::ReadTextLines(origin, lines, error)) throw py::value_error("cannot read the gate list " + origin);
        return lines;
    }
    if (!py::isinstance<py::dict>(source))
        throw py::type_error("tags come from a gate list's path or a dict {name: \"001DR0010 type=int16\"}");
    origin = "tags";
    unsigned number = 0;
    for (const auto& [key, value] : source.cast<py::dict>()) {
        const std::string name = py::str(key);
        std::string text;
        if (py::isinstance<py::str>(value)) {
            text = value.cast<std::string>();
        } else if (py::isinstance<py::dict>(value)) {
            const py::dict fields = value.cast<py::dict>();
            if (!fields.contains("gate")) throw py::value_error("tag " + name + ": the entry names no gate");
            text = py::str(fields["gate"]).cast<std::string>();
            if (fields.contains("count")) text += " " + py::str(fields["count"]).cast<std::string>();
            for (const auto& [field, v] : fields) {
                const std::string f = py::str(field);
                if (f == "gate" || f == "count") continue;
                text += " " + f + "=\"" + py::str(v).cast<std::string>() + "\"";
            }
        } else {
            throw py::type_error("tag " + name + ": an entry is a string or a dict of fields");
        }
        lines.push_back({++number, text + " tag=" + name});
    }
    return lines;
}

}  // namespace

void BindTags(py::module_& m) {
    py::class_<Tags>(m, "Tags", "The named tags of a gate list on a line, in their engineering units.")
        .def("read",
             [](Tags& t, const std::string& name) {
                 // As a gate's read: Ctrl-C ends it, its request withdrawn.
                 const std::shared_ptr<Line> line = t.line;
                 const std::shared_ptr<const session::TagTable> table = t.table;
                 const std::uint64_t client = line->NewClient();
                 const session::TagResult r = Interruptible<session::TagResult>(
                     [line, table, name, client] { return line->ReadTag(*table, name, client); },
                     [&] { line->Withdraw(client); });
                 Check(r);
                 if (!r.block) return TagValue(r.spec, r.values.front());
                 py::list list;
                 for (const double v : r.values) list.append(TagValue(r.spec, v));
                 return py::object(list);
             },
             py::arg("name"), "The tag's value: a number (a bool for bool), a list for an array.")
        .def("write",
             [](Tags& t, const std::string& name, double value) {
                 const std::shared_ptr<Line> line = t.line;
                 const std::shared_ptr<const session::TagTable> table = t.table;
                 const std::uint64_t client = line->NewClient();
                 const session::TagResult r = Interruptible<session::TagResult>(
                     [line, table, name, value, client] { return line->WriteTag(*table, name, value, client); },
                     [&] { line->Withdraw(client); });
                 Check(r);
                 return TagValue(r.spec, r.values.front());
             },
             py::arg("name"), py::arg("value"),
             "Writes the value in the tag's units, rounded to its nearest step; returns the value written.")
        .def_property_readonly("names", [](const Tags& t) { return t.table->Names(); })
        .def("__contains__", [](const Tags& t, const std::string& name) {
                 const auto names = t.table->Names();
                 return std::find(names.begin(), names.end(), name) != names.end();
             })
        .def("__repr__", [](const Tags& t) { return "Tags(" + t.origin + ", " + std::to_string(t.table->Names().size()) + " tags)"; });
}

py::object LineTags(const std::shared_ptr<Line>& line, const py::object& source) {
    std::string origin;
    const std::vector<qel::common::TextLine> lines = TagLines(source, origin);
    std::shared_ptr<const session::TagTable> table;
    try {
        py::gil_scoped_release release;
        table = line->LoadTags(lines, origin);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
    return py::cast(Tags{line, table, origin});
}

}  // namespace qel::python
