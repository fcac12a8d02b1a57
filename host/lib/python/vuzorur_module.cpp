// `import vuzorur`: the FA line from Python, through the session library's
// line scheduler (py_line.h). The GIL is released while the line works;
// failures raise the module's exceptions with the diagnosis in words and as
// fields.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>

#include "cli/diagnosis_text.h"
#include "py_interruptible.h"
#include "py_line.h"
#include "python_names.h"
#include "vuzorur_tags.h"
#include "session/gates/gate_address.h"
#include "session/stations/station_kind.h"

namespace py = pybind11;

namespace qel::python {
namespace {

using session::GateFailure;
using session::GateResult;

// The exception classes, made once when the module loads.
struct Exceptions {
    PyObject* error = nullptr;
    PyObject* gate = nullptr;
    PyObject* line = nullptr;
    PyObject* down = nullptr;
    PyObject* noAnswer = nullptr;
};
Exceptions exceptions;

PyObject* ClassOf(GateFailure failure) {
    switch (failure) {
        case GateFailure::BadGate:
        case GateFailure::BadValue:
        case GateFailure::NotAllowed: return exceptions.gate;
        case GateFailure::StationDown: return exceptions.down;
        case GateFailure::NoAnswer: return exceptions.noAnswer;
        default: return exceptions.line;
    }
}

std::string Words(const GateResult& r) {
    // A station held down is told apart from one that just did not answer:
    // nothing was sent, and it comes back by itself.
    if (r.failure == GateFailure::StationDown && r.line)
        return "station " + std::to_string(r.line->station) +
               " is held down: it stopped answering, so its requests fail at once without being sent, while it is "
               "probed in the background; it is served again as soon as it answers (" +
               cli::DiagnosisText(*r.line, PythonNames()) + ")";
    if (r.line) return cli::DiagnosisText(*r.line, PythonNames());
    if (r.gate) return cli::GateDiagnosisText(*r.gate, PythonNames());
    return r.reason;
}

// The exception for a failed result, its fields set: gate, station,
// failure (the line's failure kind, or what is wrong with the gate), hint.
py::object ExceptionOf(const GateResult& r) {
    py::object error = py::reinterpret_borrow<py::object>(ClassOf(r.failure))(Words(r));
    py::object station = py::none();
    py::object failure = py::str(session::GateFailureKey(r.failure));
    py::object hint = py::none();
    if (r.line) {
        station = py::int_(r.line->station);
        failure = py::str(session::FailureKindKey(r.line->outcome.failure));
        if (r.line->outcome.failure == session::FailureKind::None)
            failure = py::str(r.line->outcome.result == session::DriverResult::Refused ? "refused" : "line_failure");
        hint = py::str(session::HintKey(r.line->hint));
    } else if (r.gate) {
        if (!r.gate->station3.empty()) station = py::int_(r.gate->station);
        hint = py::str(session::GateFaultKey(r.gate->fault));
    } else if (const auto address = session::GateAddress::Parse(r.gas)) {
        station = py::int_(address->station);
    }
    error.attr("gate") = r.gas;
    error.attr("station") = station;
    error.attr("failure") = failure;
    error.attr("hint") = hint;
    return error;
}

[[noreturn]] void Raise(const GateResult& r) {
    py::object error = ExceptionOf(r);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

py::object ValuesOf(const GateResult& r) {
    if (r.count == 1 && r.values.size() == 1) return py::int_(r.values.front());
    py::list list;
    for (const std::uint16_t v : r.values) list.append(v);
    return list;
}

py::dict StationDict(const session::StationStats& s) {
    py::dict failures;
    for (int k = 1; k < session::kFailureKindCount; ++k)
        if (s.failures[static_cast<std::size_t>(k)] != 0)
            failures[session::FailureKindKey(static_cast<session::FailureKind>(k))] = s.failures[static_cast<std::size_t>(k)];
    py::dict d;
    d["station"] = s.station;
    d["model"] = s.model;
    d["state"] = session::StationStateName(s.state);
    d["state_since"] = s.stateSince;
    d["requests"] = s.requests;
    d["exchanges"] = s.exchanges;
    d["attempts"] = s.attempts;
    d["retries"] = s.retries;
    d["failures"] = failures;
    d["answer_median"] = s.answerMedian;
    d["answer_p99"] = s.answerP99;
    d["answer_count"] = s.answerCount;
    d["last_success"] = s.lastSuccess;
    d["last_failure"] = s.lastFailure == session::FailureKind::None ? py::object(py::none())
                                                                   : py::str(session::FailureKindKey(s.lastFailure));
    d["last_failure_gate"] = s.lastFailureGate;
    d["block_check"] = session::BlockCheckName(s.blockCheck);
    return d;
}

py::dict StatsDict(const session::LineSnapshot& snapshot) {
    py::dict line;
    line["busy_share_minute"] = snapshot.line.busyShareMinute;
    line["busy_share_total"] = snapshot.line.busyShareTotal;
    line["queue_depth"] = snapshot.line.queueDepth;
    line["queue_depth_max"] = snapshot.line.queueDepthMax;
    line["exchanges_per_second"] = snapshot.line.exchangesPerSecond;
    line["exchanges"] = snapshot.line.exchanges;
    line["line_errors"] = snapshot.line.lineErrors;
    line["port_reopens"] = snapshot.line.portReopens;
    line["port_open"] = snapshot.line.portOpen;
    line["started"] = snapshot.line.started;
    py::list stations;
    for (const session::StationStats& s : snapshot.stations) stations.append(StationDict(s));
    py::dict d;
    d["line"] = line;
    d["stations"] = stations;
    return d;
}

void CheckGateText(const std::string& gas) {
    if (const std::string why = RefuseGateText(gas); !why.empty()) throw py::value_error(why);
}

double Now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// One round of a poll: when it was read, each gate's value (None when it
// failed) and each failed gate's exception.
struct Round {
    double time = 0;
    py::dict values;
    py::dict errors;
};

// The rounds of Line.poll: every `every` seconds (counted from the first
// round's start, so that a slow round does not shift the others), `rounds`
// of them (0: without end).
class Poll {
public:
    Poll(std::shared_ptr<Line> line, std::vector<session::Gate> gates, double every, long rounds)
        : line_(std::move(line)), gates_(std::move(gates)), every_(every), rounds_(rounds) {}

    Round Next() {
        if (rounds_ > 0 && done_ >= rounds_) throw py::stop_iteration();
        const auto now = std::chrono::steady_clock::now();
        if (done_ == 0) start_ = now;
        const auto due = start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(every_ * static_cast<double>(done_)));
        // Waits in short steps, so that Ctrl-C ends the wait.
        while (std::chrono::steady_clock::now() < due) {
            {
                py::gil_scoped_release release;
                std::this_thread::sleep_until(std::min(due, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        Round round;
        round.time = Now();
        std::vector<GateResult> results;
        {
            py::gil_scoped_release release;
            results = line_->ReadMany(gates_);
        }
        for (const GateResult& r : results) {
            if (r.ok()) {
                round.values[py::str(r.gas)] = ValuesOf(r);
            } else {
                round.values[py::str(r.gas)] = py::none();
                round.errors[py::str(r.gas)] = ExceptionOf(r);
            }
        }
        ++done_;
        return round;
    }

private:
    std::shared_ptr<Line> line_;
    std::vector<session::Gate> gates_;
    double every_;
    long rounds_;
    long done_ = 0;
    std::chrono::steady_clock::time_point start_{};
};

PyObject* NewException(py::module_& m, const char* name, PyObject* base, const char* doc) {
    const std::string full = std::string("vuzorur.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(full.c_str(), doc, base, nullptr);
    if (type == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

std::shared_ptr<Line> Open(const std::string& port, long long baud, const std::map<long long, std::string>& stations,
                           const std::string& models, const std::string& parity, long long dataBits,
                           const std::string& stopBits, double timeout, double probeTimeout, double downHold,
                           const std::string& driver, bool driverRetries, int qel, const std::string& log) {
    if (baud < 0 || baud > 0xffffffffLL) throw py::value_error("baud: " + std::to_string(baud) + "; a rate from 50 to 57600");
    if (dataBits < 5 || dataBits > 8) throw py::value_error("data_bits: " + std::to_string(dataBits) + "; 5, 6, 7 or 8");
    LineSettings s;
    s.port = port;
    s.baud = static_cast<unsigned>(baud);
    s.models = models;
    s.parity = parity;
    s.dataBits = static_cast<unsigned>(dataBits);
    s.stopBits = stopBits;
    s.timeout = timeout;
    s.probeTimeout = probeTimeout;
    s.downHold = downHold;
    s.driver = driver;
    s.driverRetries = driverRetries;
    s.qel = qel;
    s.log = log;
    for (const auto& [station, model] : stations) {
        if (station < 0 || station > 255)
            throw py::value_error("stations: " + std::to_string(station) + " is not a station; 0 to 255");
        if (session::StationKindOf(model) == session::StationKind::Other)
            throw py::value_error("stations: the model of " + std::to_string(station) + " is FA2 or FA3, not " + model);
        s.stations[static_cast<unsigned>(station)] = model;
    }
    if (const std::string why = RefuseSettings(s); !why.empty()) throw py::value_error(why);
    if (!(timeout > 0) || !(probeTimeout > 0) || !(downHold > 0))
        throw py::value_error("timeout, probe_timeout and down_hold are seconds above 0");
    std::shared_ptr<Line> line;
    std::vector<std::string> warnings;
    try {
        py::gil_scoped_release release;
        line = std::make_shared<Line>(s);
    } catch (const OpenError& e) {
        if (e.badSetting) throw py::value_error(e.what());
        py::object error = py::reinterpret_borrow<py::object>(exceptions.line)(e.what());
        error.attr("gate") = py::none();
        error.attr("station") = py::none();
        error.attr("failure") = "port";
        error.attr("hint") = py::none();
        PyErr_SetObject(exceptions.line, error.ptr());
        throw py::error_already_set();
    }
    const py::object warn = py::module_::import("warnings").attr("warn");
    for (const std::string& w : line->warnings()) warn(w, py::module_::import("builtins").attr("UserWarning"), 2);
    return line;
}

}  // namespace

void RaiseGate(const GateResult& result) { Raise(result); }

}  // namespace qel::python

PYBIND11_MODULE(vuzorur, m) {
    using namespace qel::python;
    namespace session = qel::session;
    m.doc() = "FA-2/FA-3 controllers on a serial line, by their own gate addresses (\"001DR0010\"), through the "
              "line scheduler: station health, shared exchanges, learned block trailers.";
    exceptions.error = NewException(m, "Error", PyExc_Exception, "Any failure of the FA line or of a gate.");
    // A bad gate, count or value is a bad argument too: a ValueError as well.
    const py::tuple gateBases = py::make_tuple(py::reinterpret_borrow<py::object>(exceptions.error),
                                               py::reinterpret_borrow<py::object>(PyExc_ValueError));
    exceptions.gate = NewException(m, "GateError", gateBases.ptr(),
                                   "The driver refuses the gate, the count or the value; nothing was sent.");
    exceptions.line = NewException(m, "LineError", exceptions.error,
                                   "The line failed: the port, a garbled or refused answer.");
    exceptions.down = NewException(m, "StationDown", exceptions.line,
                                   "The station is held down after it stopped answering: failed at once, nothing "
                                   "sent. It is probed in the background and comes back by itself.");
    exceptions.noAnswer = NewException(m, "NoAnswer", exceptions.line, "The station did not answer.");
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const ClosedError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const ForkedError& e) {
            PyErr_SetString(exceptions.error, e.what());
        }
    });

    py::class_<Round>(m, "Round", "One round of a poll.")
        .def_readonly("time", &Round::time, "When the round was read: seconds since the epoch.")
        .def_readonly("values", &Round::values, "Each gate's value (a list for a count), None when it failed.")
        .def_readonly("errors", &Round::errors, "The exception of each gate that failed.")
        .def("__getitem__", [](const Round& r, const py::str& gas) { return r.values[gas]; })
        .def("__repr__", [](const Round& r) {
            return "Round(time=" + std::to_string(r.time) + ", values=" + py::repr(r.values).cast<std::string>() + ")";
        });

    py::class_<Poll>(m, "Poll", "The rounds of Line.poll, an iterator.")
        .def("__iter__", [](Poll& p) -> Poll& { return p; })
        .def("__next__", &Poll::Next);

    BindTags(m);

    py::class_<Line, std::shared_ptr<Line>>(m, "Line", "One FA line: a serial port and the stations on it.")
        .def("tags", &LineTags, py::arg("source"),
             "The named tags of a gate list (a file's path, or a dict {name: \"001DR0010 type=int16 scale=0.1\"}), "
             "each checked by the driver.")
        .def(py::init(&Open), py::arg("port"), py::arg("baud") = 9600, py::kw_only(),
             py::arg("stations") = std::map<unsigned, std::string>{}, py::arg("models") = "",
             py::arg("parity") = "even", py::arg("data_bits") = 8, py::arg("stop_bits") = "1",
             py::arg("timeout") = 1.0, py::arg("probe_timeout") = 0.1, py::arg("down_hold") = 10.0,
             py::arg("driver") = "", py::arg("driver_retries") = false, py::arg("qel") = 1,
             py::arg("log") = "")
        .def("read",
             [](const std::shared_ptr<Line>& line, const std::string& gas, int count) {
                 CheckGateText(gas);
                 const std::uint64_t client = line->NewClient();
                 const GateResult r = Interruptible<GateResult>([line, gas, count, client] { return line->Read(gas, count, client); },
                                                                [&] { line->Withdraw(client); });
                 if (!r.ok()) Raise(r);
                 return ValuesOf(r);
             },
             py::arg("gate"), py::arg("count") = 1)
        .def("write",
             [](const std::shared_ptr<Line>& line, const std::string& gas, long long value) {
                 CheckGateText(gas);
                 const std::uint64_t client = line->NewClient();
                 const GateResult r = Interruptible<GateResult>([line, gas, value, client] { return line->Write(gas, value, client); },
                                                                [&] { line->Withdraw(client); });
                 if (!r.ok()) Raise(r);
             },
             py::arg("gate"), py::arg("value"))
        .def("scan",
             [](const std::shared_ptr<Line>& line, const py::iterable& stations) {
                 std::vector<unsigned> list;
                 for (const py::handle s : stations) {
                     const long long station = s.cast<long long>();
                     if (station < 0 || station > 255)
                         throw py::value_error("stations: " + std::to_string(station) + " is not a station; 0 to 255");
                     list.push_back(static_cast<unsigned>(station));
                 }
                 if (list.empty())
                     for (unsigned s = 0; s < 256; ++s) list.push_back(s);
                 auto cancel = std::make_shared<std::atomic<bool>>(false);
                 return Interruptible<std::map<unsigned, std::string>>([line, list, cancel] { return line->Scan(list, cancel.get()); },
                                                                       [&] { cancel->store(true); });
             },
             py::arg("stations") = py::make_tuple())
        .def("poll",
             [](const std::shared_ptr<Line>& line, const std::vector<std::string>& names, double every, long rounds) {
                 if (!(every >= 0)) throw py::value_error("every is seconds, 0 or more");
                 std::vector<session::Gate> gates;
                 for (const std::string& gas : names) {
                     CheckGateText(gas);
                     gates.push_back({gas, session::GuessDataType(gas), 1, {}});
                 }
                 std::vector<GateResult> checked;
                 {
                     py::gil_scoped_release release;
                     checked = line->Check(gates);
                 }
                 for (const GateResult& r : checked)
                     if (!r.ok()) Raise(r);
                 return Poll(line, std::move(gates), every, rounds);
             },
             py::arg("gates"), py::arg("every") = 1.0, py::arg("rounds") = 0)
        .def("stats", [](Line& line) {
                 session::LineSnapshot snapshot;
                 {
                     py::gil_scoped_release release;
                     snapshot = line.Stats();
                 }
                 return StatsDict(snapshot);
             })
        .def("close", &Line::Close, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("closed", &Line::Closed)
        .def("__enter__", [](const std::shared_ptr<Line>& line) { return line; })
        .def("__exit__", [](Line& line, const py::args&) {
                 py::gil_scoped_release release;
                 line.Close();
                 return false;
             })
        .def("__repr__", &Line::Describe);
}
