// The Python module: conversions between Python objects and the library's
// types, and the GIL released around every run, read and write. The work
// itself (tables of requests, chunked reading, writing whole files) is the
// library's, in src/table.

#include <Python.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/number_text.h"
#include "common/run_monitor.h"
#include "dynamic/dynamic_options.h"
#include "formats/format_table.h"
#include "grouptrace/any_trace_reader.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/fd_source.h"
#include "grouptrace/file_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/version.h"
#include "io/atomic_file.h"
#include "io/digest_source.h"
#include "io/fd_io.h"
#include "io/pipe_size.h"
#include "manifest/manifest.h"
#include "network/network_options.h"
#include "network/path_bounds.h"
#include "parameters/parameter_table.h"
#include "reader/opening_source.h"
#include "table/request_table.h"

namespace py = pybind11;

namespace grouptrace {
namespace {

// The keyword of parameter i, from the one table of parameters.
std::string keyword(std::size_t i) {
  return std::string(kParameterTable.at(i).keyword);
}

// The column names of the requests' dtype, in the order users see them.
constexpr std::array<const char*, 7> kColumns = {"phase", "kind",  "node", "session",
                                                 "band",  "delay", "hops"};

// The module's exception and warning types. They live as long as the
// interpreter, which holds them through the module; no destructor may run
// after it has gone.
PyObject* traceErrorType = nullptr;
PyObject* parameterErrorType = nullptr;
PyObject* topologyErrorType = nullptr;
PyObject* stalledRunWarningType = nullptr;
PyObject* requestDtype = nullptr;

// ---------------------------------------------------------------- errors

// A system call on a named file failed; raised as OSError(errno, text, path),
// which Python turns into FileNotFoundError, PermissionError and the like.
struct PathFailure {
  int errnum;
  std::string path;
};

// A faulty trace read from a named file: TraceError with the file's name.
struct FileTraceFailure {
  TraceError error;
  std::string path;
};

py::object pathObject(const std::string& path) {
  py::object object = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!object) throw py::error_already_set();
  return object;
}

// Runs f and reports a failed system call against the path.
template <class F>
decltype(auto) onPath(const std::string& path, F&& f) {
  try {
    return f();
  } catch (const TraceError& e) {
    throw FileTraceFailure{e, path};
  } catch (const std::system_error& e) {
    throw PathFailure{e.code().value(), path};
  } catch (const WriteError& e) {
    throw PathFailure{e.errnum(), path};
  } catch (const IoError& e) {
    throw PathFailure{e.errnum(), path};
  }
}

// Messages quote what a trace or stream holds, which need not be UTF-8: a
// byte that is not shows as \xNN rather than failing to convert.
py::str messageText(std::string_view text) {
  PyObject* const decoded =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

// Raises an instance of `type` with the message and the attributes.
[[noreturn]] void raise(PyObject* type, const std::string& message,
                        std::initializer_list<std::pair<const char*, py::object>> attributes) {
  py::object error = py::reinterpret_borrow<py::object>(type)(messageText(message));
  for (const auto& [name, value] : attributes) error.attr(name) = value;
  PyErr_SetObject(type, error.ptr());
  throw py::error_already_set();
}

void translate(std::exception_ptr thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const PathFailure& e) {
    try {
      // OSError(errno, text, path) becomes the subclass for the errno.
      PyErr_SetObject(PyExc_OSError,
                      py::make_tuple(e.errnum, std::strerror(e.errnum), pathObject(e.path)).ptr());
    } catch (py::error_already_set& set) {
      set.restore();
    }
  } catch (const FileTraceFailure& e) {
    try {
      raise(traceErrorType, e.error.what(),
            {{"line", py::int_(e.error.line())},
             {"reason", messageText(e.error.reason())},
             {"filename", pathObject(e.path)}});
    } catch (py::error_already_set& set) {
      set.restore();
    }
  } catch (const TraceError& e) {
    try {
      raise(traceErrorType, e.what(),
            {{"line", py::int_(e.line())},
             {"reason", messageText(e.reason())},
             {"filename", py::none()}});
    } catch (py::error_already_set& set) {
      set.restore();
    }
  } catch (const TopologyError& e) {
    try {
      raise(topologyErrorType, e.what(),
            {{"line", py::int_(e.line())},
             {"reason", messageText(e.reason())},
             {"filename", pathObject(e.path())}});
    } catch (py::error_already_set& set) {
      set.restore();
    }
  } catch (const ManifestError& e) {
    PyErr_SetObject(PyExc_ValueError, messageText(e.what()).ptr());
  } catch (const py::cast_error& e) {
    // A value of the wrong type that reached a conversion.
    PyErr_SetObject(PyExc_TypeError, messageText(e.what()).ptr());
  } catch (const ParameterError& e) {
    try {
      raise(parameterErrorType, e.what(),
            {{"line", py::int_(e.line())},
             {"parameter", py::str(keyword(static_cast<std::size_t>(e.line() - 1)))}});
    } catch (py::error_already_set& set) {
      set.restore();
    }
  }
}

// ------------------------------------------------------------ GIL and signals

// Lets Python run its signal handlers while a long run, read or write goes on
// without the GIL: Ctrl-C interrupts it as it would any Python loop.
void checkSignals(void*) {
  py::gil_scoped_acquire acquire;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}
constexpr PollHook kInterruptible{&checkSignals, nullptr};
// The same between the run's own stretches of work, those that add no text (a
// steady start's draws) included.
constexpr RunMonitor kInterruptibleRun{[](void*, const RunProgress&) { checkSignals(nullptr); },
                                       nullptr};

// Passes blocks of text on, and checks for signals between them.
class InterruptibleSink final : public ByteSink {
 public:
  explicit InterruptibleSink(ByteSink& next) : next_(next) {}
  void write(const char* data, std::size_t size) override {
    next_.write(data, size);
    checkSignals(nullptr);
  }

 private:
  ByteSink& next_;
};

// ---------------------------------------------------------------- parameters

std::string where(std::size_t i) {
  return std::string(kParameterNames[i]) + " (" + keyword(i) + "): ";
}

[[noreturn]] void badParameter(std::size_t i, const std::string& reason) {
  raise(parameterErrorType, where(i) + reason,
        {{"line", py::int_(i + 1)}, {"parameter", py::str(keyword(i))}});
}

// A value as the parameter stream takes it: a number truncated toward zero to
// a signed 32-bit integer, anything that does not land there refused.
std::int32_t parameterValue(py::handle value, std::size_t i) {
  PyObject* const object = value.ptr();
  if (PyLong_Check(object) || (!PyFloat_Check(object) && PyIndex_Check(object))) {
    py::object integer = py::reinterpret_steal<py::object>(PyNumber_Index(object));
    if (!integer) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow == 0 && v >= kInt32Min && v <= kInt32Max) {
      return static_cast<std::int32_t>(v);
    }
    std::string text = py::str(integer);
    // As the program's messages do, a number of a thousand digits shows 40.
    if (text.size() > 40) text = text.substr(0, 40) + "...";
    badParameter(i, text + " is outside the signed 32-bit range");
  }
  if (PyFloat_Check(object) || (Py_TYPE(object)->tp_as_number != nullptr &&
                                Py_TYPE(object)->tp_as_number->nb_float != nullptr)) {
    const double v = PyFloat_AsDouble(object);
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    try {
      return grouptrace::parameterValue(i, v);
    } catch (const ParameterError& e) {
      badParameter(i, e.problem());
    }
  }
  throw py::type_error(where(i) + "expected a number, got " +
                       std::string(Py_TYPE(object)->tp_name));
}

// The scenario checks of the program, located by keyword rather than line.
void checkKeywordParameters(const Parameters& p) {
  try {
    checkParameters(p);
  } catch (const ParameterError& e) {
    const std::string_view what = e.what();
    const std::size_t reason = what.find("): ");
    badParameter(static_cast<std::size_t>(e.line() - 1),
                 std::string(reason == std::string_view::npos ? what : what.substr(reason + 3)));
  }
}

Parameters parametersFromKeywords(const py::args& args, const py::kwargs& kwargs) {
  if (!args.empty()) {
    throw py::type_error("Parameters() takes keyword arguments only, got " +
                         std::to_string(args.size()) + " positional");
  }
  Parameters p;
  std::array<bool, 13> given{};
  for (const auto& [key, value] : kwargs) {
    const std::string name = py::str(key);
    std::size_t i = 0;
    while (i < kParameterTable.size() && name != keyword(i)) ++i;
    if (i == kParameterTable.size()) {
      throw py::type_error("Parameters() got an unexpected keyword argument '" + name + "'");
    }
    given[i] = true;
    parameterAt(p, i) = parameterValue(value, i);
  }
  std::string missing;
  for (std::size_t i = 0; i < given.size(); ++i) {
    if (!given[i]) missing += (missing.empty() ? "" : ", ") + std::string(keyword(i));
  }
  if (!missing.empty()) {
    throw py::type_error("Parameters() needs all 13 values; missing: " + missing);
  }
  checkKeywordParameters(p);
  return p;
}

// The 13-line stream, as the program reads it from standard input.
Parameters parametersFromStream(const py::object& text) {
  std::string bytes;
  if (PyUnicode_Check(text.ptr())) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
      // A lone surrogate, say: no byte stream the program could read.
      PyErr_Clear();
      throw py::value_error(
          "from_stream(): the text is not valid Unicode (it holds a lone surrogate); pass the "
          "stream's bytes instead");
    }
    bytes.assign(utf8, static_cast<std::size_t>(size));
  } else if (PyBytes_Check(text.ptr())) {
    bytes = std::string(py::bytes(text));
  } else {
    throw py::type_error("from_stream() takes str or bytes, got " +
                         std::string(Py_TYPE(text.ptr())->tp_name));
  }
  // A JSON file's faults are std::invalid_argument: ValueError.
  return parseParameterFile(bytes);
}

py::dict parametersDict(const Parameters& p) {
  py::dict values;
  for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
    values[py::str(kParameterTable[i].keyword.data())] = parameterAt(p, i);
  }
  return values;
}

// A copy with some values changed, checked as Parameters() checks them.
Parameters replacedParameters(const Parameters& p, const py::args& args, const py::kwargs& kwargs) {
  if (!args.empty()) throw py::type_error("replace() takes keyword arguments only");
  Parameters changed = p;
  for (const auto& [key, value] : kwargs) {
    const std::string name = py::str(key);
    std::size_t i = 0;
    while (i < kParameterTable.size() && name != kParameterTable[i].keyword) ++i;
    if (i == kParameterTable.size()) {
      throw py::type_error("replace() got an unexpected keyword argument '" + name + "'");
    }
    parameterAt(changed, i) = parameterValue(value, i);
  }
  checkKeywordParameters(changed);
  return changed;
}

std::string parametersRepr(const Parameters& p) {
  std::string out = "Parameters(";
  for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
    out += (i == 0 ? "" : ", ") + std::string(keyword(i)) + "=" + std::to_string(parameterAt(p, i));
  }
  return out + ")";
}

SEED_type seedValue(const py::object& seed) {
  if (PyFloat_Check(seed.ptr()) || !PyIndex_Check(seed.ptr())) {
    throw py::type_error("the seed must be an integer, got " +
                         std::string(Py_TYPE(seed.ptr())->tp_name));
  }
  py::object integer = py::reinterpret_steal<py::object>(PyNumber_Index(seed.ptr()));
  if (!integer) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
  if (overflow != 0 || v < kInt32Min || v > kInt32Max) {
    throw py::value_error("the seed " + std::string(py::str(integer)) + " is outside " +
                          std::string(kInt32RangeText));
  }
  return static_cast<SEED_type>(v);
}

TraceFormat formatValue(const std::string& name) {
  const auto format = parseTraceFormat(name);
  if (!format) {
    std::string names;
    for (const FormatEntry& entry : kFormatTable) {
      names += std::string(names.empty()                    ? ""
                           : &entry == &kFormatTable.back() ? " or "
                                                            : ", ") +
               "'" + std::string(entry.name) + "'";
    }
    throw py::value_error("format must be " + names + ", got '" + name + "'");
  }
  return *format;
}

std::string formatText(const py::object& format) {
  if (!PyUnicode_Check(format.ptr())) {
    throw py::type_error("format must be a str or None, got " +
                         std::string(Py_TYPE(format.ptr())->tp_name));
  }
  return format.cast<std::string>();
}

// str, bytes or os.PathLike, as the operating system takes it.
std::string pathValue(const py::object& path) {
  PyObject* converted = nullptr;
  if (PyUnicode_FSConverter(path.ptr(), &converted) == 0) throw py::error_already_set();
  const py::bytes bytes = py::reinterpret_steal<py::bytes>(converted);
  return std::string(bytes);
}

void warnIfStalled(const RunResult& result) {
  if (result.status != RunStatus::stalled) return;
  if (PyErr_WarnEx(stalledRunWarningType,
                   "the join-leave phase cannot progress: no session can accept a join or give up "
                   "a member (a network of 1 node), so the transaction counter cannot reach "
                   "max_trans; the trace was finished early",
                   1) != 0) {
    throw py::error_already_set();
  }
}

// ---------------------------------------------------------------- dynamics

const dynamic::OptionEntry* dynamicOption(const std::string& keyword) {
  for (const dynamic::OptionEntry& entry : dynamic::kOptionTable) {
    if (keyword == entry.keyword) return &entry;
  }
  return nullptr;
}

// A message of the timed model's options in the keywords' terms: the
// command line's "--join-rate JOINS_PER_SECOND: ..." becomes "join_rate: ...".
std::string keywordMessage(const std::string& message) {
  for (const dynamic::OptionEntry& entry : dynamic::kOptionTable) {
    const std::string form = std::string(entry.form) + ": ";
    if (message.rfind(form, 0) != 0) continue;
    std::string rest = message.substr(form.size());
    const std::string keyword(entry.keyword);
    const std::string words(entry.form.substr(entry.option.size() + 1));
    // A value of one word ("SECONDS") is the keyword itself; a form of
    // several ("exp:MEAN, ...") says what the value may be.
    if (words.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") == std::string::npos) {
      for (std::size_t at; (at = rest.find(words)) != std::string::npos;) {
        rest.replace(at, words.size(), keyword);
      }
      return rest.rfind(keyword, 0) == 0 ? rest : keyword + ": " + rest;
    }
    return keyword + " (" + words + "): " + rest;
  }
  return message;
}

// Runs f, whose refusals of the timed model's options are std::invalid_argument,
// and raises them as ValueError in the keywords' terms.
template <class F>
decltype(auto) withKeywordMessages(F&& f) {
  try {
    return f();
  } catch (const std::invalid_argument& e) {
    throw py::value_error(keywordMessage(e.what()));
  }
}

// A number as the option's text: an integer of any kind (int, numpy.int64)
// exactly, any other number (float, numpy.float32) as its shortest double.
std::optional<std::string> numberText(py::handle value) {
  PyObject* const object = value.ptr();
  if (!PyFloat_Check(object) && PyIndex_Check(object)) {
    py::object integer = py::reinterpret_steal<py::object>(PyNumber_Index(object));
    if (!integer) throw py::error_already_set();
    return std::string(py::str(integer));
  }
  if (PyFloat_Check(object) || (Py_TYPE(object)->tp_as_number != nullptr &&
                                Py_TYPE(object)->tp_as_number->nb_float != nullptr)) {
    const double v = PyFloat_AsDouble(object);
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
  }
  return std::nullopt;
}

// The model version a text names, as the manifest records it.
dynamic::ModelVersion modelVersionValue(const py::handle& value) {
  if (PyUnicode_Check(value.ptr())) {
    if (const auto version = dynamic::parseModelVersion(value.cast<std::string>())) return *version;
  }
  throw py::value_error("Dynamics(): model takes \"dynamic-1\" or \"" +
                        std::string(dynamic::kModelVersion) + "\" (the default), got " +
                        std::string(py::repr(value)));
}

// Each value as the program's option takes it: a number becomes its text.
dynamic::DynamicOptions dynamicsFromKeywords(const py::args& args, const py::kwargs& kwargs) {
  if (!args.empty()) throw py::type_error("Dynamics() takes keyword arguments only");
  dynamic::DynamicOptions options;
  bool duration = false;
  for (const auto& [key, value] : kwargs) {
    const std::string name = py::str(key);
    if (name == "model") {
      // The version, as --model names it: new runs take the newest.
      if (!value.is_none()) options.model = modelVersionValue(value);
      continue;
    }
    const dynamic::OptionEntry* entry = dynamicOption(name);
    if (entry == nullptr) {
      throw py::type_error("Dynamics() got an unexpected keyword argument '" + name + "'");
    }
    if (value.is_none()) continue;
    std::optional<std::string> text;
    if (PyUnicode_Check(value.ptr())) {
      text = value.cast<std::string>();
    } else {
      text = numberText(value);
    }
    if (!text) {
      throw py::type_error("Dynamics(): " + name + " takes a number or a text, got " +
                           std::string(Py_TYPE(value.ptr())->tp_name));
    }
    withKeywordMessages([&] { entry->apply(options, *text); });
    duration = duration || name == "duration";
  }
  if (!duration) throw py::type_error("Dynamics() needs duration= (seconds)");
  withKeywordMessages([&] { dynamic::validate(options); });
  return options;
}

py::dict dynamicsDict(const dynamic::DynamicOptions& options) {
  py::dict values;
  for (const dynamic::OptionEntry& entry : dynamic::kOptionTable) {
    const std::string text = entry.text(options);
    values[py::str(entry.keyword.data())] = text.empty() ? py::object(py::none()) : py::str(text);
  }
  values["model"] = py::str(std::string(dynamic::modelVersionName(options.model)));
  return values;
}

std::string dynamicsRepr(const dynamic::DynamicOptions& options) {
  std::string out = "Dynamics(";
  bool first = true;
  for (const dynamic::OptionEntry& entry : dynamic::kOptionTable) {
    const std::string text = entry.text(options);
    if (text.empty()) continue;
    out += (first ? "" : ", ") + std::string(entry.keyword) + "='" + text + "'";
    first = false;
  }
  return out + ", model='" + std::string(dynamic::modelVersionName(options.model)) + "')";
}

// ---------------------------------------------------------------- arrays

// Rows handed to NumPy without a copy: the array's base owns them.
template <class Owner>
py::array rowArray(const RequestRows& rows, std::shared_ptr<Owner> owner) {
  const py::dtype dtype = py::reinterpret_borrow<py::dtype>(requestDtype);
  if (rows.empty()) return py::array(dtype, std::vector<py::ssize_t>{0});
  py::capsule base(new std::shared_ptr<Owner>(std::move(owner)),
                   [](void* p) { delete static_cast<std::shared_ptr<Owner>*>(p); });
  return py::array(dtype, {static_cast<py::ssize_t>(rows.size())},
                   {static_cast<py::ssize_t>(sizeof(RequestRow))}, rows.data(), base);
}

void makeReadOnly(py::array& array) {
  array.attr("flags").attr("writeable") = false;
}

py::dtype makeRequestDtype() {
  py::dict layout;
  py::list names;
  for (const char* name : kColumns) names.append(name);
  layout["names"] = names;
  layout["formats"] = py::make_tuple("u1", "u1", "i4", "i4", "f8", "f8", "i4");
  layout["offsets"] = py::make_tuple(offsetof(RequestRow, phase), offsetof(RequestRow, kind),
                                     offsetof(RequestRow, node), offsetof(RequestRow, session),
                                     offsetof(RequestRow, band), offsetof(RequestRow, delay),
                                     offsetof(RequestRow, hops));
  layout["itemsize"] = sizeof(RequestRow);
  return py::dtype::from_args(layout);
}

// A timed trace's rows: its time first, then a request's fields as above.
constexpr std::size_t kTimedRowSize = sizeof(double) + sizeof(RequestRow);
PyObject* timedRequestDtype = nullptr;

py::dtype makeTimedRequestDtype() {
  py::dict layout;
  py::list names;
  names.append("time");
  for (const char* name : kColumns) names.append(name);
  layout["names"] = names;
  layout["formats"] = py::make_tuple("f8", "u1", "u1", "i4", "i4", "f8", "f8", "i4");
  constexpr std::size_t t = sizeof(double);
  layout["offsets"] =
      py::make_tuple(0, t + offsetof(RequestRow, phase), t + offsetof(RequestRow, kind),
                     t + offsetof(RequestRow, node), t + offsetof(RequestRow, session),
                     t + offsetof(RequestRow, band), t + offsetof(RequestRow, delay),
                     t + offsetof(RequestRow, hops));
  layout["itemsize"] = kTimedRowSize;
  return py::dtype::from_args(layout);
}

// The rows of a timed trace with their times, copied once into an array of
// their own (the table keeps times beside its fixed rows).
py::array timedRows(const TraceTable& table) {
  const py::dtype dtype = py::reinterpret_borrow<py::dtype>(timedRequestDtype);
  py::array rows(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(table.requests.size())});
  auto* out = static_cast<char*>(rows.mutable_data());
  for (std::size_t i = 0; i < table.requests.size(); ++i) {
    std::memcpy(out + i * kTimedRowSize, &table.times[i], sizeof(double));
    std::memcpy(out + i * kTimedRowSize + sizeof(double), &table.requests[i], sizeof(RequestRow));
  }
  return rows;
}

// ---------------------------------------------------------------- Trace

// Writes into a socket without SIGPIPE, however the host treats that signal:
// a checker that stops reading at a fault ends the writing with EPIPE.
class SocketSink final : public ByteSink {
 public:
  explicit SocketSink(int fd) : fd_(fd) {}
  void write(const char* data, std::size_t size) override {
    if (const int errnum = writeAll(fd_, data, size, io_)) throw WriteError(errnum);
  }

 private:
  struct SendIo final : RawIo {
    ssize_t write(int fd, const void* data, std::size_t size) override {
      return ::send(fd, data, size, MSG_NOSIGNAL);
    }
  };
  int fd_;
  SendIo io_;
};

// Checks a table as the reader checks the trace it holds: its JSON Lines text,
// written on one thread and read on this one, so that memory does not follow
// the trace. A table read from CSV, which holds no duration, average size or
// summary, is checked as CSV, its summary against its records. Throws
// TraceError, or std::invalid_argument for rows of no trace (replayTable).
// What a table read from a form that leaves something out holds in its place
// (see TraceRecorded) is checked as that form's reader gives it.
void checkTable(const TraceTable& table, const TraceRecorded& recorded) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    throw std::system_error(errno, std::generic_category(), "socketpair");
  }
  const FormatEntry* form = nullptr;
  for (const FormatEntry& entry : kFormatTable) {
    if (entry.holds.times && entry.holds.exactValues &&
        entry.holds.headerValues == recorded.headerValues &&
        entry.holds.summary == recorded.summary) {
      form = &entry;
      break;
    }
  }
  if (form == nullptr) throw std::invalid_argument("no form holds what the trace records");
  const bool summaryCounted = !recorded.summary;
  std::exception_ptr writeFailure;
  std::thread writer([&] {
    try {
      SocketSink sink(ends[1]);
      replayTable(table, *makeTraceWriter(form->format, sink));
    } catch (const WriteError&) {
      // The reader stopped at a fault, which it reports.
    } catch (...) {
      writeFailure = std::current_exception();
    }
    ::shutdown(ends[1], SHUT_WR);
  });
  std::exception_ptr readFailure;
  try {
    FdSource source(ends[0]);
    AnyTraceReader reader(source);
    TraceEvent event;
    while (reader.next(event)) {
      const auto* summary = std::get_if<TraceSummary>(&event);
      if (summaryCounted && summary != nullptr && *summary != table.summary) {
        throw TraceError(reader.line(), "the summary differs from the records' counts");
      }
    }
  } catch (...) {
    readFailure = std::current_exception();
  }
  ::shutdown(ends[0], SHUT_RDWR);
  writer.join();
  ::close(ends[0]);
  ::close(ends[1]);
  // Rows no trace holds are refused by the writer, before the reader sees them.
  if (writeFailure) std::rethrow_exception(writeFailure);
  if (readFailure) std::rethrow_exception(readFailure);
}

// A generated or read trace. It never changes: its arrays are read-only, so
// the text it writes is always that of the trace it was made from.
class Trace {
 public:
  // `parameters` and `seed` are what made the trace, when that is known.
  explicit Trace(std::shared_ptr<const TraceTable> table,
                 std::optional<Parameters> parameters = std::nullopt,
                 std::optional<SEED_type> seed = std::nullopt,
                 std::optional<dynamic::DynamicOptions> dynamics = std::nullopt,
                 std::optional<TraceRecorded> recorded = std::nullopt)
      : table_(std::move(table)), parameters_(parameters), seed_(seed), dynamics_(dynamics) {
    // A generated trace records everything it has.
    recorded_ = recorded.value_or(TraceRecorded{true, timed(), true, true});
    requests_ = table_->times.empty() ? rowArray(table_->requests, table_) : timedRows(*table_);
    makeReadOnly(requests_);
    // The table owns the sources too: an array over them whose base is not
    // an array of its own cannot be made writeable again, so they can never
    // disagree with text().
    py::capsule base(new std::shared_ptr<const TraceTable>(table_),
                     [](void* p) { delete static_cast<std::shared_ptr<const TraceTable>*>(p); });
    sources_ = py::array_t<std::int32_t>({static_cast<py::ssize_t>(table_->sources.size())},
                                         {static_cast<py::ssize_t>(sizeof(NODEID))},
                                         table_->sources.data(), base);
    makeReadOnly(sources_);
  }

  const TraceTable& table() const { return *table_; }
  const std::optional<Parameters>& parameters() const { return parameters_; }
  const std::optional<SEED_type>& seed() const { return seed_; }
  const std::optional<dynamic::DynamicOptions>& dynamics() const { return dynamics_; }
  bool timed() const { return table_->header.duration.has_value(); }
  // The format text() and write() use when none is named: the first of the
  // table, or for a timed trace the first that holds its times.
  std::string defaultFormat() const {
    return std::string(timed() ? firstFormatHolding(&FormatHolds::times).name
                               : kFormatTable.front().name);
  }

  // Everything the trace holds, exactly: rows and sources as bytes.
  py::tuple state() const {
    const TraceTable& t = *table_;
    const py::bytes rows(reinterpret_cast<const char*>(t.requests.data()),
                         t.requests.size() * sizeof(RequestRow));
    const py::bytes sources(reinterpret_cast<const char*>(t.sources.data()),
                            t.sources.size() * sizeof(NODEID));
    const py::bytes times(reinterpret_cast<const char*>(t.times.data()),
                          t.times.size() * sizeof(double));
    return py::make_tuple(
        2, t.header.avgSize, t.header.orderedJoinLeave, sources, rows, t.summary.trans,
        t.summary.joins, t.summary.leaves,
        parameters_ ? py::object(py::cast(*parameters_)) : py::object(py::none()),
        seed_ ? py::object(py::int_(*seed_)) : py::object(py::none()), times,
        t.header.duration ? py::object(py::float_(*t.header.duration)) : py::object(py::none()),
        t.summary.blocked, dynamics_ ? py::object(py::cast(*dynamics_)) : py::object(py::none()),
        t.header.modelVersion,
        py::make_tuple(recorded_.headerValues, recorded_.duration, recorded_.counter,
                       recorded_.summary));
  }

  static Trace fromState(const py::tuple& state) {
    auto table = std::make_shared<TraceTable>();
    std::optional<Parameters> parameters;
    std::optional<SEED_type> seed;
    std::optional<dynamic::DynamicOptions> dynamics;
    TraceRecorded recorded;
    try {
      // 16 items since a trace says what its form recorded, 15 since the
      // header carries its model version; the shorter are states pickled
      // before.
      if (state.size() < 14 || state.size() > 16 || state[0].cast<int>() != 2) {
        throw py::cast_error();
      }
      table->header.avgSize = state[1].cast<std::int32_t>();
      table->header.orderedJoinLeave = state[2].cast<std::int32_t>();
      const std::string sources = state[3].cast<std::string>();
      const std::string rows = state[4].cast<std::string>();
      const std::string times = state[10].cast<std::string>();
      const std::size_t count = rows.size() / sizeof(RequestRow);
      if (sources.size() % sizeof(NODEID) != 0 || rows.size() % sizeof(RequestRow) != 0 ||
          times.size() % sizeof(double) != 0 ||
          (!times.empty() && times.size() / sizeof(double) != count)) {
        throw py::value_error("a grouptrace.Trace state with a partial row");
      }
      table->sources.resize(sources.size() / sizeof(NODEID));
      if (!sources.empty()) std::memcpy(table->sources.data(), sources.data(), sources.size());
      table->requests.reserve(count);
      for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(&table->requests.append(), rows.data() + i * sizeof(RequestRow),
                    sizeof(RequestRow));
      }
      table->times.resize(times.size() / sizeof(double));
      if (!times.empty()) std::memcpy(table->times.data(), times.data(), times.size());
      if (!state[11].is_none()) table->header.duration = state[11].cast<double>();
      table->summary = TraceSummary{state[5].cast<Count>(), state[6].cast<Count>(),
                                    state[7].cast<Count>(), state[12].cast<Count>()};
      if (!state[8].is_none()) parameters = state[8].cast<Parameters>();
      if (!state[9].is_none()) seed = state[9].cast<SEED_type>();
      if (!state[13].is_none()) dynamics = state[13].cast<dynamic::DynamicOptions>();
      if (state.size() >= 15) {
        table->header.modelVersion = state[14].cast<std::int32_t>();
      } else if (dynamics) {
        table->header.modelVersion = static_cast<std::int32_t>(dynamics->model);
      }
      if (state.size() == 16) {
        const auto flags = state[15].cast<py::tuple>();
        if (flags.size() != 4) throw py::cast_error();
        recorded = TraceRecorded{flags[0].cast<bool>(), flags[1].cast<bool>(),
                                 flags[2].cast<bool>(), flags[3].cast<bool>()};
      } else {
        // A state pickled before says it only by what a trace read from a
        // form that records none of these holds in their place: an
        // infinite duration, or a classic header of zeros.
        const bool none = table->header.duration ? !std::isfinite(*table->header.duration)
                                                 : table->header.avgSize == 0;
        recorded = TraceRecorded{!none, !none && table->header.duration.has_value(), !none, !none};
      }
    } catch (const py::cast_error&) {
      throw py::value_error("not the state of a grouptrace.Trace of this version");
    }
    // A state is bytes anyone can write: it becomes a Trace only if it is a
    // trace the checker takes, as a file read would be.
    {
      py::gil_scoped_release release;
      try {
        checkTable(*table, recorded);
      } catch (const TraceError& e) {
        throw py::value_error(std::string("not the state of a sound trace: ") + e.what());
      } catch (const std::invalid_argument& e) {
        throw py::value_error(std::string("not the state of a sound trace: ") + e.what());
      }
    }
    return Trace(std::move(table), parameters, seed, dynamics, recorded);
  }
  const py::array& requests() const { return requests_; }
  const py::array& sources() const { return sources_; }

  py::str text(const py::object& formatObject) const {
    const TraceFormat format =
        formatValue(formatObject.is_none() ? defaultFormat() : formatText(formatObject));
    StringSink sink;
    {
      py::gil_scoped_release release;
      InterruptibleSink interruptible(sink);
      replayTable(*table_, *makeTraceWriter(format, interruptible));
    }
    const std::string& text = sink.text();
    return py::str(text.data(), text.size());
  }

  void write(const py::object& pathObject, const py::object& formatObject) const {
    const TraceFormat format =
        formatValue(formatObject.is_none() ? defaultFormat() : formatText(formatObject));
    const std::string path = pathValue(pathObject);
    py::gil_scoped_release release;
    onPath(path, [&] {
      AtomicFile file(path);
      FdSink descriptor(file.fd());
      InterruptibleSink sink(descriptor);
      replayTable(*table_, *makeTraceWriter(format, sink));
      file.commit();
    });
  }

  // Phase and kind as categories with the words the CSV form writes.
  py::object toPandas() const {
    const py::object pandas = py::module_::import("pandas");
    const py::object numpy = py::module_::import("numpy");
    py::list phases;
    for (const TracePhase phase :
         {TracePhase::beefUp, TracePhase::joinLeave, TracePhase::endOfSession}) {
      phases.append(std::string(phaseName(phase)));
    }
    const py::object categorical = pandas.attr("Categorical").attr("from_codes");
    const py::object phaseCodes = requests_[py::str("phase")].attr("astype")(numpy.attr("int8"));
    const py::object kindCodes =
        (requests_[py::str("kind")].attr("astype")(numpy.attr("int8")) - py::int_(1));
    py::dict columns;
    if (timed()) columns["time"] = requests_[py::str("time")];
    columns["phase"] = categorical(phaseCodes, phases);
    columns["kind"] = categorical(kindCodes, py::make_tuple("join", "leave"));
    for (const char* name : kColumns) {
      if (std::string_view(name) != "phase" && std::string_view(name) != "kind") {
        columns[name] = requests_[py::str(name)];
      }
    }
    return pandas.attr("DataFrame")(columns);
  }

  std::string repr() const {
    const TraceTable& t = *table_;
    return "<grouptrace.Trace: " + std::to_string(t.sources.size()) +
           (t.sources.size() == 1 ? " session, " : " sessions, ") +
           std::to_string(t.requests.size()) + " requests (" + std::to_string(t.summary.joins) +
           " joins, " + std::to_string(t.summary.leaves) + " leaves), trans " +
           std::to_string(t.summary.trans) + ">";
  }

 private:
  std::shared_ptr<const TraceTable> table_;
  std::optional<Parameters> parameters_;
  std::optional<SEED_type> seed_;
  std::optional<dynamic::DynamicOptions> dynamics_;
  TraceRecorded recorded_;
  py::array requests_;
  py::array sources_;
};

// The options on the network by keyword (topology=, delay_bound=, ...), each
// the text its command-line option takes; None leaves one out.
void applyNetworkKeywords(RunConfig& config, const py::kwargs& kwargs) {
  for (const auto& [key, value] : kwargs) {
    const std::string name = key.cast<std::string>();
    const network::OptionEntry* entry = nullptr;
    for (const network::OptionEntry& e : network::kOptionTable) {
      if (e.keyword == name) entry = &e;
    }
    if (entry == nullptr) throw py::type_error("unexpected keyword argument '" + name + "'");
    if (value.is_none()) continue;
    std::string text;
    if (name == "topology") {
      text = pathValue(py::reinterpret_borrow<py::object>(value));
    } else if (py::isinstance<py::str>(value)) {
      text = value.cast<std::string>();
    } else {
      throw py::type_error(name + " takes a str, as the option " + std::string(entry->option) +
                           " does (" + std::string(entry->form) + ")");
    }
    entry->apply(config, text);  // std::invalid_argument: ValueError
  }
}

// A run's configuration from the module's arguments: the classic model, or
// the timed one when `dynamics` is a Dynamics, on a network when asked for.
// The network is read and checked here, before any file is made.
RunConfig runConfig(const Parameters& parameters, const py::object& seedObject,
                    const py::object& dynamicsObject, const py::kwargs& network) {
  RunConfig config;
  config.parameters = parameters;
  config.seed = seedValue(seedObject);
  if (!dynamicsObject.is_none()) {
    if (!py::isinstance<dynamic::DynamicOptions>(dynamicsObject)) {
      throw py::type_error("dynamics must be a grouptrace.Dynamics or None, got " +
                           std::string(Py_TYPE(dynamicsObject.ptr())->tp_name));
    }
    config.dynamic = dynamicsObject.cast<dynamic::DynamicOptions>();
    withKeywordMessages([&] { dynamic::validate(parameters, *config.dynamic); });
  }
  applyNetworkKeywords(config, network);
  std::shared_ptr<const Topology> read;
  {
    py::gil_scoped_release release;
    read = prepareNetwork(config);
  }
  if (read) config.topology->network = read;
  return config;
}

Trace generateTrace(const Parameters& parameters, const py::object& seedObject,
                    const py::object& dynamicsObject, const py::kwargs& network) {
  const RunConfig config = runConfig(parameters, seedObject, dynamicsObject, network);
  auto table = std::make_shared<TraceTable>();
  RunResult result;
  {
    py::gil_scoped_release release;
    result = generateTable(config, *table, kInterruptible);
  }
  Trace trace(std::move(table), parameters, config.seed, config.dynamic);
  warnIfStalled(result);
  return trace;
}

// The manifest of read(..., manifest=), whole: small, so a bound keeps a
// mistaken path (a trace, a device) from filling memory.
Manifest manifestFile(const std::string& path) {
  py::gil_scoped_release release;
  try {
    Manifest manifest;
    onPath(path, [&] { manifest = readManifestFile(path); });
    return manifest;
  } catch (const ManifestError& e) {
    throw py::value_error(path + ": not a manifest: " + e.what());
  }
}

Trace readTraceFile(const py::object& pathObject, const py::object& manifestObject) {
  const std::string path = pathValue(pathObject);
  // A manifest says what made the trace, once the trace is seen to be its.
  std::optional<Manifest> manifest;
  if (!manifestObject.is_none()) manifest = manifestFile(pathValue(manifestObject));
  auto table = std::make_shared<TraceTable>();
  TraceFound found;
  {
    py::gil_scoped_release release;
    onPath(path, [&] {
      // Opened once and its form told from the bytes read, which the reader
      // then gets again: a named pipe cannot be opened a second time.
      FileSource file(path);
      fitPipeToWrites(file.fd());
      struct stat st;
      const bool sized = ::fstat(file.fd(), &st) == 0 && S_ISREG(st.st_mode);
      // Against a manifest, the bytes are counted and hashed as they are read.
      DigestSource digest(file, manifest ? manifest->bytes : 0);
      OpeningSource source(manifest ? static_cast<ByteSource&>(digest) : file);
      found.format = detectTraceFormat(source.readOpening(64)).value_or(TraceFormat::trace);
      try {
        if (*found.format != TraceFormat::trace) {
          // CSV and JSON Lines, classic or timed, through the reader of every form.
          TraceTableBuilder builder(*table, kInterruptible);
          readTrace(source, builder);
        } else {
          readTable(source, *table, kInterruptible,
                    sized ? static_cast<std::uint64_t>(st.st_size) : 0);
        }
      } catch (const TraceError&) {
        // Other bytes than the manifest records are the fault to name.
        if (!manifest) throw;
        digest.drain();
        found.format.reset();
        found.bytes = digest.bytes();
        found.sha256 = digest.sha256();
        if (traceMismatches(*manifest, found).empty()) throw;
        return;
      }
      if (!manifest) return;
      digest.drain();
      found.bytes = digest.bytes();
      found.sha256 = digest.sha256();
    });
  }
  const TraceRecorded recorded = recordedBy(formatEntry(found.format.value_or(TraceFormat::trace)),
                                            table->header.duration.has_value());
  if (!manifest) return Trace(std::move(table), std::nullopt, std::nullopt, std::nullopt, recorded);
  found.timed = table->header.duration.has_value();
  found.summary = table->summary;
  const std::string faults = traceMismatches(*manifest, found);
  if (!faults.empty()) {
    throw py::value_error(path + " does not hold the trace the manifest describes (" +
                          faults.substr(2) + ")");
  }
  return Trace(std::move(table), manifest->config.parameters, manifest->config.seed,
               manifest->config.dynamic, recorded);
}

void writeTraceFile(const Parameters& parameters, const py::object& seedObject,
                    const py::object& pathObject, const py::object& formatObject,
                    const py::object& dynamicsObject, const py::kwargs& network) {
  RunConfig config = runConfig(parameters, seedObject, dynamicsObject, network);
  const std::string path = pathValue(pathObject);
  // The timed model's times need a format that holds them: the first such
  // unless one is named.
  config.format = formatObject.is_none()
                      ? (config.dynamic ? firstFormatHolding(&FormatHolds::times).format
                                        : kFormatTable.front().format)
                      : formatValue(formatText(formatObject));
  RunResult result;
  std::optional<AtomicFile> file;
  {
    py::gil_scoped_release release;
    result = onPath(path, [&] {
      file.emplace(path);
      // A named pipe is grown as the program grows its standard output.
      fitPipeToWrites(file->fd());
      FdSink descriptor(file->fd());
      InterruptibleSink sink(descriptor);
      return writeTrace(config, sink, kInterruptibleRun);
    });
    // As the program does with -o: the file is replaced only once the run is
    // known to be sound, or once the warning of a stalled run has been let
    // through. Warnings turned into errors leave the old file as it was.
  }
  warnIfStalled(result);
  {
    py::gil_scoped_release release;
    onPath(path, [&] { file->commit(); });
  }
}

// ---------------------------------------------------------------- iter_read

// The requests of a trace file, a chunk at a time. Each chunk is an array of
// its own that owns its rows, so memory follows the chunks a caller keeps.
class TraceChunks {
 public:
  TraceChunks(const py::object& pathObject, py::ssize_t chunkSize) {
    if (chunkSize < 1) {
      throw py::value_error("chunk_size must be at least 1, got " + std::to_string(chunkSize));
    }
    chunkSize_ = static_cast<std::size_t>(chunkSize);
    path_ = pathValue(pathObject);
    // Opening a named pipe waits for its writer, which may be another thread.
    py::gil_scoped_release release;
    onPath(path_, [&] { file_ = std::make_unique<FileSource>(path_); });
    fitPipeToWrites(file_->fd());
    reader_ = std::make_unique<TraceChunkReader>(*file_);
    struct stat st;
    if (::fstat(file_->fd(), &st) == 0 && S_ISREG(st.st_mode)) {
      mostRows_ = mostRequests(static_cast<std::uint64_t>(st.st_size));
    }
  }

  py::array next() {
    // Two threads on one iterator would share the reader, which the GIL no
    // longer guards while a chunk is read.
    if (busy_) throw py::value_error("iter_read() iterator already executing");
    if (!reader_) throw py::stop_iteration();
    const BusyScope scope(busy_);
    auto rows = std::make_shared<RequestRows>();
    std::size_t got = 0;
    try {
      py::gil_scoped_release release;
      onPath(path_, [&] {
        // Room for a chunk is taken as it fills beyond a first block: a
        // huge chunk_size or a small file reserves nothing it does not use.
        rows->reserve(std::min({chunkSize_, kPollRows, mostRows_}));
        got = reader_->read(*rows, chunkSize_, kInterruptible);
        rows->shrinkToFit();
      });
    } catch (...) {
      // Like a generator that raised, the iteration is over.
      finish();
      throw;
    }
    if (got < chunkSize_) finish();
    if (got == 0) throw py::stop_iteration();
    return rowArray(*rows, rows);
  }

 private:
  void finish() {
    reader_.reset();
    file_.reset();
  }

  struct BusyScope {
    explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
    ~BusyScope() { busy_ = false; }
    bool& busy_;
  };

  std::string path_;
  std::size_t chunkSize_ = 0;
  // The most requests the file can hold, when it is a regular file.
  std::size_t mostRows_ = std::numeric_limits<std::size_t>::max();
  bool busy_ = false;  // changed only with the GIL held
  std::unique_ptr<FileSource> file_;
  std::unique_ptr<TraceChunkReader> reader_;
};

// ---------------------------------------------------------------- docstrings

constexpr const char* kModuleDoc =
    "The compiled part of the grouptrace package; import grouptrace instead.";

constexpr const char* kParametersDoc = R"(The 13 values of a parameter stream.

Parameters(nodes=, sessions=, max_trans=, curr_trans=, avg_size=, qos_levels=,
           max_band=, min_band=, min_delay=, max_delay=, min_hops=, max_hops=,
           ordered=)

All 13 keywords are required. Each value (an int, a bool or a float) is
truncated toward zero to a signed 32-bit integer, as the program reads its
stream: 2.9 gives 2. A value that does not land in that range, or NaN, raises
ParameterError; so do fewer than 1 node or 1 session. Anything but a number
raises TypeError. The attributes carry the same names and are read-only.)";

constexpr const char* kFromStreamDoc =
    R"(Parameters from the 13-line stream the program reads on standard input.

One value per line; the rest of a line is a comment. Raises ParameterError
with the program's message and the stream line (its `line` attribute).)";

constexpr const char* kGenerateDoc = R"(Runs the generator and returns the whole trace.

The same parameters and seed (a signed 32-bit integer) always give the same
trace: text() is byte for byte what `grouptrace SEED` writes. Runs without
the GIL and takes no lock: runs in several threads proceed at once. A run whose join-leave phase
can never progress (a network of 1 node) emits StalledRunWarning; its trace
is still complete. With dynamics, a Dynamics, the run is one of the timed
model instead, whose requests carry times (the requests' dtype is then
TIMED_REQUEST_DTYPE, with a time field first).

Keywords on the network take the texts of the program's options of the same
names: topology (a path: node i is the file's node i, and params must have
its node count), topology_format ("inet", "orbis", "rocketfuel" or
"graphml"), delay_bound and hop_bound ("slack:LO:HI": ceil(U * d), U uniform
in [LO, HI], d the least delay or hop count from the session's source; they
need topology) and band ("per-join" or "per-session"). A network file that
cannot be used raises TopologyError.)";

constexpr const char* kDynamicsDoc = R"(The options of the timed model.

Dynamics(duration=, holding="exp:1800", popularity="uniform", join_rate=None,
         diurnal=0, start="steady", end="leave", model="dynamic-2")

duration (seconds, required), join_rate (joins per second over all
sessions; by default avg_size * sessions / E[H]) and diurnal (A, or
"A:PERIOD:PEAK") take numbers or their text; holding takes "exp:MEAN",
"lognormal:MU:SIGMA" or "pareto:SCALE:SHAPE", popularity "uniform" or
"zipf:ALPHA", start "steady" or "empty", end "leave" or "open", as the
program's options of the same names do. model names the model version, as
--model does: "dynamic-2" (MODEL_VERSION, the newest) or "dynamic-1".)";

constexpr const char* kReadDoc = R"(Reads and checks a whole trace file.

Every line is checked as `grouptrace-inspect check` does; the first faulty
one raises TraceError, whose `line` is its 1-based number. Band and delay
come back as the text holds them (six significant digits from a million on).
Raises OSError (FileNotFoundError, ...) when the file cannot be read. Any form
grouptrace writes is read (the trace text, CSV or JSON Lines, classic or
timed). With manifest, the record grouptrace --manifest wrote for the trace,
the trace carries its parameters, seed and Dynamics (a trace whose counts
differ from the manifest's raises ValueError); without it they are None.)";

constexpr const char* kIterReadDoc =
    R"(Reads a trace file's requests in chunks of at most chunk_size rows.

Yields structured arrays of the same dtype as Trace.requests, each owning its
rows, so memory follows the chunk size rather than the trace. The trace is
checked as read() checks it: a faulty line raises TraceError when reading
reaches it, after the chunks before it were yielded. The file is opened at
once (a missing file raises OSError here, not at the first chunk).
np.concatenate(chunks, dtype=REQUEST_DTYPE) joins chunks in the same layout.)";

// The formats' names come from the table of formats.
std::string writeTraceDoc() {
  std::string names;
  for (const FormatEntry& entry : kFormatTable) {
    names += std::string(names.empty()                    ? ""
                         : &entry == &kFormatTable.back() ? " or "
                                                          : ", ") +
             "\"" + std::string(entry.name) + "\"" +
             (&entry == &kFormatTable.front() ? " (the text the program writes)" : "");
  }
  return R"(Generates a trace straight into a file, without holding it in memory.

format is )" +
         names + R"(. The file
appears whole or not at all: the text goes to a temporary file beside it that
replaces it once complete (a device or pipe is written directly). Raises
OSError naming the path when it cannot be written. Takes the keywords on the
network that generate() takes.)";
}

}  // namespace
}  // namespace grouptrace

PYBIND11_MODULE(_grouptrace, m) {
  using namespace grouptrace;
  m.doc() = kModuleDoc;
  m.attr("__version__") = kVersion;

  // Kept for the life of the interpreter: the module's attributes hold them too.
  traceErrorType = PyErr_NewExceptionWithDoc(
      "grouptrace.TraceError",
      "A trace line that is malformed or contradicts what came before it.\n\n"
      "`line` is its 1-based number (one past the last line for a trace that ends\n"
      "early), `reason` what is wrong; str() reads \"line N: reason\".",
      PyExc_ValueError, nullptr);
  parameterErrorType = PyErr_NewExceptionWithDoc(
      "grouptrace.ParameterError",
      "A parameter value that cannot describe a scenario.\n\n"
      "`line` is its position in the parameter stream (1 to 13), `parameter` its\n"
      "keyword.",
      PyExc_ValueError, nullptr);
  stalledRunWarningType = PyErr_NewExceptionWithDoc(
      "grouptrace.StalledRunWarning",
      "A run whose join-leave phase could never progress; its trace is complete\n"
      "but its counter never reached max_trans (the program exits with status 1).",
      PyExc_RuntimeWarning, nullptr);
  topologyErrorType = PyErr_NewExceptionWithDoc(
      "grouptrace.TopologyError",
      "A network file (topology=) that cannot be read or describes no usable network.\n\n"
      "`filename` is its path, `line` the 1-based line at fault (0 when the file as a\n"
      "whole is: it cannot be opened, it has changed, its node count is not nodes),\n"
      "`reason` what is wrong; str() reads \"PATH:LINE: reason\".",
      PyExc_ValueError, nullptr);
  if (traceErrorType == nullptr || parameterErrorType == nullptr || topologyErrorType == nullptr ||
      stalledRunWarningType == nullptr) {
    throw py::error_already_set();
  }
  // Pickled at every protocol as protocol 2 pickles them: a new object given
  // its state. Protocols 0 and 1 would otherwise build the object without
  // its C++ value.
  const py::object newObject = py::module_::import("copyreg").attr("__newobj__");
  const auto reduceEx = [newObject](const py::object& self, int) {
    return py::make_tuple(newObject, py::make_tuple(py::type::of(self)),
                          self.attr("__getstate__")());
  };

  m.attr("TraceError") = py::handle(traceErrorType);
  m.attr("ParameterError") = py::handle(parameterErrorType);
  m.attr("TopologyError") = py::handle(topologyErrorType);
  m.attr("StalledRunWarning") = py::handle(stalledRunWarningType);
  py::register_exception_translator(&translate);

  const py::dtype dtype = makeRequestDtype();
  requestDtype = dtype.inc_ref().ptr();
  m.attr("REQUEST_DTYPE") = dtype;
  const py::dtype timedDtype = makeTimedRequestDtype();
  timedRequestDtype = timedDtype.inc_ref().ptr();
  m.attr("TIMED_REQUEST_DTYPE") = timedDtype;

  py::class_<Parameters> parameters(m, "Parameters", kParametersDoc);
  parameters.def(py::init(&parametersFromKeywords));
  for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
    parameters.def_property_readonly(
        kParameterTable[i].keyword.data(), [i](const Parameters& p) { return parameterAt(p, i); },
        (std::string("line ") + std::to_string(i + 1) + " of the stream, " +
         std::string(kParameterNames[i]))
            .c_str());
  }
  parameters.def_static("from_stream", &parametersFromStream, py::arg("text"), kFromStreamDoc)
      .def("__repr__", &parametersRepr)
      .def(
          "__eq__",
          [](const Parameters& a, const Parameters& b) {
            for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
              if (parameterAt(a, i) != parameterAt(b, i)) return false;
            }
            return true;
          },
          py::is_operator())
      .def("__hash__",
           [](const Parameters& p) {
             py::tuple values(kParameterTable.size());
             for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
               values[i] = parameterAt(p, i);
             }
             return py::hash(values);
           })
      .def("to_dict", &parametersDict,
           "The 13 values by keyword, in stream order: Parameters(**d) gives them back.")
      .def("replace", &replacedParameters,
           "A copy with the values given by keyword changed, checked as Parameters() checks.")
      .def(py::pickle([](const Parameters& p) { return parametersDict(p); },
                      [](const py::dict& values) {
                        return parametersFromKeywords(py::args(), py::kwargs(values));
                      }))
      .def("__reduce_ex__", reduceEx);

  py::class_<dynamic::DynamicOptions> dynamics(m, "Dynamics", kDynamicsDoc);
  dynamics.def(py::init(&dynamicsFromKeywords));
  for (const dynamic::OptionEntry& entry : dynamic::kOptionTable) {
    const std::string keyword(entry.keyword);
    dynamics.def_property_readonly(
        entry.keyword.data(),
        [keyword](const dynamic::DynamicOptions& o) { return dynamicsDict(o)[py::str(keyword)]; },
        entry.meaning.data());
  }
  dynamics.def_property_readonly(
      "model",
      [](const dynamic::DynamicOptions& o) {
        return std::string(dynamic::modelVersionName(o.model));
      },
      "The model version the run takes: \"dynamic-2\", the newest (the default), or "
      "\"dynamic-1\", to make its stored traces again.");
  dynamics.def("to_dict", &dynamicsDict, "The options by keyword, as texts Dynamics() takes.")
      .def("__repr__", &dynamicsRepr)
      .def(
          "__eq__",
          [](const dynamic::DynamicOptions& a, const dynamic::DynamicOptions& b) {
            return dynamicsRepr(a) == dynamicsRepr(b);
          },
          py::is_operator())
      .def("__hash__",
           [](const dynamic::DynamicOptions& o) { return py::hash(py::str(dynamicsRepr(o))); })
      .def(py::pickle([](const dynamic::DynamicOptions& o) { return dynamicsDict(o); },
                      [](const py::dict& values) {
                        return dynamicsFromKeywords(py::args(), py::kwargs(values));
                      }))
      .def("__reduce_ex__", reduceEx);
  m.attr("MODEL_VERSION") = std::string(dynamic::kModelVersion);

  py::class_<Trace>(m, "Trace",
                    "A whole trace: its header, session table, requests and summary.\n\n"
                    "Made by generate() and read(); it never changes.")
      .def_property_readonly("requests", &Trace::requests,
                             "The requests in trace order, a read-only structured array.")
      .def_property_readonly("sources", &Trace::sources,
                             "Each session's source node (int32), indexed by session.")
      .def_property_readonly(
          "trans", [](const Trace& t) { return t.table().summary.trans; },
          "The final transaction counter (the summary's Trans).")
      .def_property_readonly(
          "joins", [](const Trace& t) { return t.table().summary.joins; }, "Join requests.")
      .def_property_readonly(
          "leaves", [](const Trace& t) { return t.table().summary.leaves; }, "Leave requests.")
      .def_property_readonly(
          "avg_size", [](const Trace& t) { return t.table().header.avgSize; },
          "The average group size of the header.")
      .def_property_readonly(
          "ordered", [](const Trace& t) { return t.table().header.orderedJoinLeave; },
          "The header's ordered flag as written: nonzero for strict join-leave alternation.")
      .def("text", &Trace::text, py::arg("format") = py::none(),
           "The trace as the program writes it (format \"trace\"), or as CSV or JSON Lines.")
      .def("write", &Trace::write, py::arg("path"), py::arg("format") = py::none(),
           "Writes text() to a file, whole or not at all, without building it in memory.")
      .def("to_pandas", &Trace::toPandas,
           "The requests as a pandas DataFrame with one column per field.")
      .def_property_readonly(
          "parameters",
          [](const Trace& t) {
            return t.parameters() ? py::object(py::cast(*t.parameters())) : py::object(py::none());
          },
          "The Parameters that made the trace; None for a trace read from a file.")
      .def_property_readonly(
          "seed",
          [](const Trace& t) {
            return t.seed() ? py::object(py::int_(*t.seed())) : py::object(py::none());
          },
          "The seed that made the trace; None for a trace read from a file.")
      .def_property_readonly(
          "dynamics",
          [](const Trace& t) {
            return t.dynamics() ? py::object(py::cast(*t.dynamics())) : py::object(py::none());
          },
          "The Dynamics of a generated timed trace; None otherwise.")
      .def_property_readonly(
          "model",
          [](const Trace& t) {
            if (!t.timed()) return std::string("classic");
            const auto version = static_cast<dynamic::ModelVersion>(t.table().header.modelVersion);
            const std::string_view name = dynamic::modelVersionName(version);
            return name.empty() ? std::string("dynamic") : std::string(name);
          },
          "\"classic\", or the timed model's version (\"dynamic-2\", \"dynamic-1\"); "
          "\"dynamic\" for a timed trace read from a form that does not record it (CSV).")
      .def_property_readonly(
          "duration",
          [](const Trace& t) {
            const auto& d = t.table().header.duration;
            return d ? py::object(py::float_(*d)) : py::object(py::none());
          },
          "A timed trace's duration in seconds; None for the classic model.")
      .def_property_readonly(
          "blocked", [](const Trace& t) { return t.table().summary.blocked; },
          "Timed model: arrivals refused because every node was a member.")
      .def("__len__", [](const Trace& t) { return t.table().requests.size(); })
      .def("__repr__", &Trace::repr)
      // A trace never changes, so a copy may be the trace itself.
      .def("__copy__", [](py::object self) { return self; })
      .def("__deepcopy__", [](py::object self, py::object) { return self; })
      .def(py::pickle([](const Trace& t) { return t.state(); },
                      [](const py::tuple& state) { return Trace::fromState(state); }))
      .def("__reduce_ex__", reduceEx);

  py::class_<TraceChunks>(m, "TraceChunks", "The iterator iter_read() returns.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &TraceChunks::next);

  m.def("generate", &generateTrace, py::arg("params"), py::arg("seed") = 0,
        py::arg("dynamics") = py::none(), kGenerateDoc);
  m.def("read", &readTraceFile, py::arg("path"), py::arg("manifest") = py::none(), kReadDoc);
  m.def(
      "iter_read",
      [](const py::object& path, py::ssize_t chunkSize) { return TraceChunks(path, chunkSize); },
      py::arg("path"), py::arg("chunk_size") = 1'000'000, kIterReadDoc);
  // Documentation lives as long as the module.
  static const std::string writeDoc = writeTraceDoc();
  m.def("write_trace", &writeTraceFile, py::arg("params"), py::arg("seed"), py::arg("path"),
        py::arg("format") = py::none(), py::arg("dynamics") = py::none(), writeDoc.c_str());

  for (const char* name : {"Parameters", "Dynamics", "Trace", "TraceChunks"}) {
    m.attr(name).attr("__module__") = "grouptrace";
  }
}
