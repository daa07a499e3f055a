#include "inspect_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/message_text.h"
#include "formats/format_table.h"
#include "grouptrace/any_trace_reader.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/fd_source.h"
#include "grouptrace/file_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_handler.h"
#include "grouptrace/trace_reader.h"
#include "grouptrace/version.h"
#include "help_text.h"
#include "inspect_options.h"
#include "io/atomic_file.h"
#include "io/digest_source.h"
#include "io/fd_io.h"
#include "io/pipe_size.h"
#include "io/sha256.h"
#include "manifest/manifest.h"
#include "plot_recorder.h"
#include "trace_stats.h"
#include "wording.h"

namespace grouptrace {
namespace {

constexpr std::string_view kUsageHead = R"(usage: grouptrace-inspect check [--] [FILE...]
       grouptrace-inspect stats [--format text|json|csv] [--] [FILE...]
       grouptrace-inspect verify MANIFEST [TRACE]
       grouptrace-inspect plot -o OUT.svg [PLOT OPTIONS] [--] [FILE...]
       grouptrace-inspect export --format FORMAT [-o OUT] [--] [FILE]
       grouptrace-inspect --help | --version

Reads a request trace written by grouptrace, in any of its forms (the trace
text, CSV or JSON Lines, classic or timed, told from the first line), from FILE
or, when FILE is "-" or absent, from standard input. Options may come before
or after FILE; "--" ends them, so that a FILE named like an option can follow
it (use ./-x for a file named -x, ./- for a file named -).

check   replays the trace and verifies it: the exact format, every record's
        session against the session table, that a join never names a member
        and a leave never a non-member or a source, the phase markers in their
        order, the beef-up passes, and the summary's J and R counts. A sound
        trace gets one line on standard output, "FILE: valid: ..."; the first
        faulty line is named on standard error as "FILE:N: what is wrong".
        Several FILEs are checked one after the other. CSV and JSON Lines rows
        are checked for their form, sessions, membership and phase order, and
        a timed trace's times for their order and range.
stats   a plain-text report: requests per phase, group sizes per session (at
        the end, mean and largest over the trace), and the spread of the joins'
        band, delay and hop requirements; one per FILE. A timed trace adds the
        join rate, the quantiles of the holding times and the group sizes
        averaged over time.
          --format json  one JSON object per FILE on a line of its own
          --format csv   a header row, then one row per FILE
        (the keys are listed in the manual page, grouptrace-inspect(1))
verify  checks a trace against the manifest that grouptrace wrote for it:
        size, SHA-256 and the summary's counts (the records' in CSV). The trace
        is the manifest's output unless TRACE names it.
plot    a standalone SVG picture of group size over the request sequence, one
        line per session for up to 8 sessions (each with its own colour, dash
        pattern and marker, so that greyscale print keeps them apart), else the
        band from the smallest to the largest group with the mean; the phases
        shaded and named above the plot; a timed trace against time. Text is
        sized in proportion to the picture, so that it stays readable in a
        paper's column.
        Several FILEs share one picture, a line each (its mean group size
        over its sessions), named by file, without phases.
          -o OUT.svg    where to write it (required): a name ending in .svg, or
                        - for standard output; a file appears only whole
          --title TEXT  the heading, by default "Group size over the request
                        sequence"; --title "" leaves it out
          --width N     width in pixels, 320 to 4000 (default 960)
          --height N    height in pixels, 180 to 4000 (default 540)
          --no-subtitle leave out the line under the heading (the trace's
                        name and counts)
          --no-footnote leave out the note on how many requests a step spans
export  the trace's events in a machine-readable form, the same as
        grouptrace --format writes for the run that made the trace:
)";

constexpr std::string_view kUsageTail =
    R"(          -o OUT          where to write it, whole or not at all; - (the
                          default) is standard output, spooled in TMPDIR
        Band and delay are as exact as the trace's text holds them: exact below
        a million, six significant digits from there on. Nothing is written
        unless the whole trace is sound.
        Each option takes its value as the next argument or after "=".

Messages about a trace name it the way compilers do, "FILE:N: what is wrong"
or "FILE: cannot open: why", with <stdin> standing for standard input, so that
a loop over many traces shows which one is at fault.

Exit status:
  0  the trace is sound (and the report or picture was written)
  1  the trace is faulty; stats, plot and export then write nothing
  2  bad usage, or a file that cannot be read or written
)";

// The help text; export's formats come from the one table of formats.
std::string usageText() {
  std::string text(kUsageHead);
  for (const FormatEntry& entry : kFormatTable) {
    if (entry.format == TraceFormat::trace) continue;  // the input's own form
    std::string name(entry.name);
    name.resize(std::max<std::size_t>(name.size(), 6), ' ');
    text += "          --format " + name + " " + wrapped(entry.description, 48, 26) + "\n";
  }
  text += kUsageTail;
  return text;
}
void complain(const std::string& message) {
  std::fprintf(stderr, "grouptrace-inspect: %s\n", message.c_str());
}

constexpr const char* kStdout = "<stdout>";

// Standard output through the generator's own sink, which waits out a
// descriptor left non-blocking instead of losing what it refused. False, with
// a message, when the text could not all be written; a reader that went away
// (| head) ends the program quietly, as it ends any filter.
bool writeStdout(std::string_view text) {
  try {
    FdSink(STDOUT_FILENO).write(text.data(), text.size());
    return true;
  } catch (const WriteError& e) {
    if (e.errnum() != EPIPE) {
      std::fprintf(stderr, "%s: cannot write: %s\n", kStdout, std::strerror(e.errnum()));
    }
    return false;
  }
}

// Where the export to standard output waits until the trace is known to be
// sound: TMPDIR, as for any temporary file, else /tmp.
std::string spoolDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

// A spool file that has no name from the start, so that nothing is left
// behind however the program ends. Throws IoError naming the directory.
int openSpool(const std::string& directory) {
  std::string pattern = directory + "/grouptrace-inspect-spool.XXXXXX";
  const int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) {
    const int errnum = errno;
    throw IoError("cannot create the export's spool file in " + shownPath(directory) + ": " +
                      std::strerror(errnum) + " (TMPDIR chooses where the export waits)",
                  errnum, directory);
  }
  unlink(pattern.c_str());
  return fd;
}

// Copies a spooled export to standard output.
void copyOut(int spool) {
  if (lseek(spool, 0, SEEK_SET) != 0) throw WriteError(errno);
  fitPipeToWrites(STDOUT_FILENO);
  FdSink out(STDOUT_FILENO);
  std::vector<char> block(std::size_t{1} << 20);
  for (;;) {
    const ssize_t n = readSome(spool, block.data(), block.size());
    if (n < 0) throw WriteError(errno);
    if (n == 0) return;
    out.write(block.data(), static_cast<std::size_t>(n));
  }
}

// Writes into the spool; a failure there is the spool's, not standard output's.
class SpoolSink final : public ByteSink {
 public:
  SpoolSink(int fd, std::string directory) : sink_(fd), directory_(std::move(directory)) {}
  void write(const char* data, std::size_t size) override {
    try {
      sink_.write(data, size);
    } catch (const WriteError& e) {
      throw IoError("cannot write the export's spool file in " + shownPath(directory_) + ": " +
                        std::strerror(e.errnum()) + " (TMPDIR chooses where the export waits)",
                    e.errnum(), directory_);
    }
  }

 private:
  FdSink sink_;
  std::string directory_;
};

// A conversion the output form cannot hold.
class ExportRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Hands the events on to the writer, refusing first what it would write wrongly.
class ExportHandler final : public TraceHandler {
 public:
  ExportHandler(TraceHandler& writer, TraceFormat format, const std::string& name,
                const AnyTraceReader& reader)
      : writer_(writer), format_(format), name_(name), reader_(reader) {}
  void onHeader(const TraceHeader& header) override {
    const FormatEntry& to = formatEntry(format_);
    if (reader_.timed() && to.holds.duration && !reader_.recorded().duration) {
      throw ExportRefused(name_ + ": a timed " + std::string(formatEntry(reader_.format()).title) +
                          " trace does not record the run's duration, which the " +
                          std::string(to.title) +
                          " header holds; generate the run with grouptrace --format " +
                          std::string(to.name) + " instead");
    }
    writer_.onHeader(header);
  }
  void onSession(const SessionEntry& e) override { writer_.onSession(e); }
  void onPhase(const PhaseStart& e) override { writer_.onPhase(e); }
  void onJoin(const JoinRecord& e) override { writer_.onJoin(e); }
  void onLeave(const LeaveRecord& e) override { writer_.onLeave(e); }
  void onSummary(const TraceSummary& e) override { writer_.onSummary(e); }

 private:
  TraceHandler& writer_;
  TraceFormat format_;
  const std::string& name_;
  const AnyTraceReader& reader_;
};

// The trace's events to the export's writer, through its checks.
void exportEvents(const InspectOptions& options, const std::string& name, ByteSource& source,
                  TraceHandler& writer) {
  AnyTraceReader reader(source);
  ExportHandler handler(writer, options.format, name, reader);
  TraceEvent event;
  while (reader.next(event)) deliver(event, handler);
}

// The converted trace reaches its destination only once the trace has been
// read whole and found sound: a file is renamed into place at the end, and
// standard output is written from a spool file, so that a long trace need not
// fit in memory and a faulty one leaves nothing half-written.
int exportTrace(const InspectOptions& options, const std::string& name, ByteSource& source,
                AtomicFile* file) {
  try {
    if (file != nullptr) {
      FdSink sink(file->fd());
      const auto writer = makeTraceWriter(options.format, sink);
      exportEvents(options, name, source, *writer);
      file->commit();
      return kInspectOk;
    }
    const std::string directory = spoolDirectory();
    const int spool = openSpool(directory);
    const std::unique_ptr<int, void (*)(int*)> closer(new int(spool), [](int* fd) {
      close(*fd);
      delete fd;
    });
    SpoolSink sink(spool, directory);
    const auto writer = makeTraceWriter(options.format, sink);
    exportEvents(options, name, source, *writer);
    copyOut(spool);
    return kInspectOk;
  } catch (const ExportRefused& e) {
    complain(e.what());
  } catch (const IoError& e) {
    complain(e.what());
  } catch (const WriteError& e) {
    const std::string shown = file != nullptr ? shownPath(file->path()) : kStdout;
    // A reader that went away is an ordinary end for a filter.
    if (file == nullptr && e.errnum() == EPIPE) return kInspectTrouble;
    std::fprintf(stderr, "%s: cannot write: %s\n", shown.c_str(), std::strerror(e.errnum()));
  }
  return kInspectTrouble;
}

// A time in seconds as the report words it: up to six significant digits.
std::string seconds(double t) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", t);
  return text;
}

// The one-line verdict of check, named after the trace it is about.
std::string checkLine(const std::string& name, AnyTraceReader& reader) {
  TraceEvent event;
  TraceSummary summary;
  double lastTime = 0;
  while (reader.next(event)) {
    if (const auto* s = std::get_if<TraceSummary>(&event)) summary = *s;
    if (const auto* j = std::get_if<JoinRecord>(&event); j && j->time) lastTime = *j->time;
    if (const auto* l = std::get_if<LeaveRecord>(&event); l && l->time) lastTime = *l->time;
  }
  std::string line =
      name + ": valid: " + traceCounts(reader.sessionCount(), summary.joins, summary.leaves);
  const TraceRecorded recorded = reader.recorded();
  if (reader.timed() && recorded.duration && recorded.summary) {
    line += ", " + std::to_string(summary.blocked) + " blocked, over " +
            seconds(*reader.header().duration) + " s";
  } else if (reader.timed()) {
    line += ", the last at " + seconds(lastTime) + " s";
  } else if (recorded.counter) {
    // The counter starts at a parameter: a form without it has nothing to say.
    line += ", Trans " + std::to_string(summary.trans);
  }
  return line + "\n";
}

// `input` as given, for the machine-readable forms, whose quoting keeps any
// name a script can map back; `name` escaped for the plain-text report.
std::string statsOutput(const InspectOptions& options, const std::string& input,
                        const std::string& name, AnyTraceReader& reader) {
  TraceStats stats;
  stats.read(reader);
  switch (options.statsFormat) {
    case StatsFormat::json:
      return stats.json(input == "-" ? "<stdin>" : input);
    case StatsFormat::csv:
      return stats.csvRow(input == "-" ? "<stdin>" : input);
    case StatsFormat::text:
      break;
  }
  // Several reports are told apart by a heading each.
  if (options.inputs.size() > 1) return "== " + name + "\n" + stats.report() + "\n";
  return stats.report();
}

// A picture to standard output, or into `file` (null: standard output), which it replaces.
int writePicture(const std::string& svg, AtomicFile* file) {
  if (file == nullptr) return writeStdout(svg) ? kInspectOk : kInspectTrouble;
  try {
    file->write(svg);
    file->commit();
    return kInspectOk;
  } catch (const IoError& e) {
    complain(e.what());
    return kInspectTrouble;
  }
}

// `file`: where plot or export writes, when that is a file.
int inspect(const InspectOptions& options, const std::string& input, const std::string& name,
            ByteSource& source, AtomicFile* file) {
  if (options.command == InspectCommand::exportTrace)
    return exportTrace(options, name, source, file);
  AnyTraceReader reader(source);
  switch (options.command) {
    case InspectCommand::check:
      return writeStdout(checkLine(name, reader)) ? kInspectOk : kInspectTrouble;
    case InspectCommand::stats:
      return writeStdout(statsOutput(options, input, name, reader)) ? kInspectOk : kInspectTrouble;
    case InspectCommand::plot: {
      PlotRecorder plot;
      plot.read(reader);
      const std::string caption = options.input == "-" ? "standard input" : options.input;
      return writePicture(plot.svg(caption, options.style), file);
    }
    case InspectCommand::exportTrace:
    case InspectCommand::verify:
    case InspectCommand::help:
    case InspectCommand::version:
      break;
  }
  return kInspectTrouble;
}

// The trace a manifest names: its `output`, which a relative name gives from
// the manifest's folder, where the run that wrote both put it.
std::string recordedTrace(const std::string& manifestPath, const std::string& output) {
  const std::filesystem::path recorded(output);
  if (recorded.is_absolute()) return output;
  return (std::filesystem::path(manifestPath).parent_path() / recorded).string();
}

// verify: the trace a manifest describes, checked against it byte for byte
// (size and SHA-256) and by the counts it holds, in one reading: a trace that
// is a pipe can be read only once, and one longer than recorded (a device
// that never ends) is read no further than one byte past the recorded size.
int verifyManifest(const InspectOptions& options) {
  const std::string& manifestPath = options.inputs.front();
  const std::string shownManifest = shownPath(manifestPath);
  Manifest manifest;
  try {
    manifest = readManifestFile(manifestPath);
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "%s: cannot read: %s\n", shownManifest.c_str(),
                 e.code().message().c_str());
    return kInspectTrouble;
  } catch (const ManifestError& e) {
    std::fprintf(stderr, "%s: not a manifest: %s\n", shownManifest.c_str(), e.what());
    return kInspectTrouble;
  }
  std::string tracePath;
  if (options.inputs.size() > 1) {
    tracePath = options.inputs[1];
  } else if (manifest.output) {
    tracePath = recordedTrace(manifestPath, *manifest.output);
  } else {
    complain(shownManifest +
             " records a trace written to standard output; name the trace: "
             "verify MANIFEST TRACE");
    return kInspectTrouble;
  }
  const std::string shownTrace = shownPath(tracePath);
  TraceFound found;
  std::optional<TraceError> fault;
  try {
    FileSource file(tracePath);
    DigestSource digest(file, manifest.bytes);
    try {
      AnyTraceReader reader(digest);
      TraceEvent event;
      while (reader.next(event)) {
        if (const auto* s = std::get_if<TraceSummary>(&event)) found.summary = *s;
      }
      found.format = reader.format();
      found.timed = reader.timed();
    } catch (const TraceError& e) {
      fault = e;
    }
    digest.drain();
    found.bytes = digest.bytes();
    found.sha256 = digest.sha256();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "%s: cannot read: %s\n", shownTrace.c_str(), e.code().message().c_str());
    return kInspectTrouble;
  }
  // Other bytes than recorded are the mismatch, whatever they make of a trace.
  TraceFound bytesOnly;
  bytesOnly.bytes = found.bytes;
  bytesOnly.sha256 = found.sha256;
  const std::string bytesDiffer = traceMismatches(manifest, bytesOnly);
  if (fault && bytesDiffer.empty()) {
    std::fprintf(stderr, "%s:%llu: %s\n", shownTrace.c_str(),
                 static_cast<unsigned long long>(fault->line()), fault->reason().c_str());
    return kInspectBadTrace;
  }
  const std::string faults = fault ? bytesDiffer : traceMismatches(manifest, found);
  if (!faults.empty()) {
    std::fprintf(stderr, "%s: does not match %s%s\n", shownTrace.c_str(), shownManifest.c_str(),
                 faults.c_str());
    return kInspectBadTrace;
  }
  const TraceSummary& summary = found.summary;
  const FormatHolds& holds = formatEntry(found.format.value_or(TraceFormat::trace)).holds;
  std::string line =
      shownTrace + ": matches " + shownManifest + ": " + std::to_string(found.bytes) + " bytes" +
      (manifest.sha256.empty() ? std::string(", no sha256 recorded") : ", sha256 " + found.sha256) +
      ", " + std::to_string(summary.joins) + " joins, " + std::to_string(summary.leaves) +
      " leaves";
  if (holds.counter) line += ", Trans " + std::to_string(summary.trans);
  if (holds.summary && found.timed) line += ", " + std::to_string(summary.blocked) + " blocked";
  return writeStdout(line + "\n") ? kInspectOk : kInspectTrouble;
}

// One trace, opened and inspected, its faults reported under its name.
// A trace to read, or null after saying why it cannot be opened.
std::unique_ptr<ByteSource> openInput(const std::string& input, const std::string& name) {
  try {
    if (input != "-") return std::make_unique<FileSource>(input);
    if (isatty(STDIN_FILENO)) {
      complain(
          "reading a trace from the terminal; end it with Ctrl-D, or name a FILE (see "
          "grouptrace-inspect --help)");
    }
    // Either end of a pipe can grow it: a trace piped in from a writer
    // that did not then arrives in fewer, larger rounds.
    fitPipeToWrites(0);
    return std::make_unique<FdSource>(0);
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "%s: cannot open: %s\n", name.c_str(), e.code().message().c_str());
    return nullptr;
  }
}

// The output file of plot or export, checked, and refused when it is a trace
// being read, before a long trace is read for nothing; false after saying why.
bool openOutput(const InspectOptions& options, std::optional<AtomicFile>& file) {
  for (const std::string& input : options.inputs) {
    const bool overwritesInput =
        input == "-" ? isSameFile(options.output, STDIN_FILENO) : isSameFile(options.output, input);
    if (overwritesInput) {
      complain("-o " + shownPath(options.output) + " is the trace being read (" +
               (input == "-" ? std::string("<stdin>") : shownPath(input)) +
               "); writing it would replace the trace, so give the output another name");
      return false;
    }
  }
  try {
    file.emplace(options.output);
    return true;
  } catch (const IoError& e) {
    complain(e.what());
    return false;
  }
}

// The status of a trace that could not be read whole, after saying why; called
// from a catch block.
int readFailure(const std::string& name) {
  try {
    throw;
  } catch (const TraceError& e) {
    // Built from the parts rather than from what(), which starts "line N:".
    std::fprintf(stderr, "%s:%llu: %s\n", name.c_str(), static_cast<unsigned long long>(e.line()),
                 e.reason().c_str());
    return kInspectBadTrace;
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "%s: cannot read: %s\n", name.c_str(), e.code().message().c_str());
    return kInspectTrouble;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: out of memory while reading it\n", name.c_str());
    return kInspectTrouble;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), e.what());
    return kInspectTrouble;
  }
}

// plot of several traces in one picture, a line each: every trace is read
// whole and found sound before anything is written.
int plotSeveral(const InspectOptions& options) {
  std::vector<std::unique_ptr<PlotRecorder>> recorders;
  std::vector<std::string> labels;
  for (const std::string& input : options.inputs) {
    const std::string name = input == "-" ? "<stdin>" : shownPath(input);
    const std::unique_ptr<ByteSource> source = openInput(input, name);
    if (!source) return kInspectTrouble;
    recorders.push_back(std::make_unique<PlotRecorder>(PlotRecorder::kBuckets, 0));
    try {
      AnyTraceReader reader(*source);
      recorders.back()->read(reader);
    } catch (...) {
      return readFailure(name);
    }
    labels.push_back(input == "-" ? "standard input"
                                  : std::filesystem::path(input).filename().string());
  }
  std::string svg;
  try {
    std::vector<const PlotRecorder*> traces;
    for (const auto& r : recorders) traces.push_back(r.get());
    svg = comparisonSvg(traces, labels, options.style);
  } catch (const std::invalid_argument& e) {
    complain(e.what());
    return kInspectTrouble;
  }
  if (options.output == "-") return writePicture(svg, nullptr);
  std::optional<AtomicFile> file;
  if (!openOutput(options, file)) return kInspectTrouble;
  return writePicture(svg, &*file);
}

int inspectInput(const InspectOptions& options, const std::string& input) {
  const std::string name = input == "-" ? "<stdin>" : shownPath(input);
  const std::unique_ptr<ByteSource> source = openInput(input, name);
  if (!source) return kInspectTrouble;
  std::optional<AtomicFile> file;
  const bool writesFile =
      (options.command == InspectCommand::plot || options.command == InspectCommand::exportTrace) &&
      options.output != "-";
  if (writesFile && !openOutput(options, file)) return kInspectTrouble;
  try {
    return inspect(options, input, name, *source, file ? &*file : nullptr);
  } catch (...) {
    return readFailure(name);
  }
}

int run(int argc, const char* const argv[]) {
  InspectOptions options;
  try {
    options = parseInspectOptions(argc, argv);
  } catch (const UsageError& e) {
    complain(e.what());
    const std::string usage = usageText();
    std::fprintf(stderr, "%.*s", static_cast<int>(usage.find('\n', usage.find("--help")) + 1),
                 usage.data());
    return kInspectTrouble;
  }
  if (options.command == InspectCommand::help) {
    return writeStdout(usageText()) ? kInspectOk : kInspectTrouble;
  }
  if (options.command == InspectCommand::version) {
    return writeStdout(std::string("grouptrace-inspect ") + kVersion + "\n") ? kInspectOk
                                                                             : kInspectTrouble;
  }

  if (options.command == InspectCommand::verify) return verifyManifest(options);
  if (options.command == InspectCommand::stats && options.statsFormat == StatsFormat::csv &&
      !writeStdout(TraceStats::csvHeader())) {
    return kInspectTrouble;
  }
  if (options.command == InspectCommand::plot && options.inputs.size() > 1) {
    return plotSeveral(options);
  }
  // Every trace is inspected, a faulty one or one that cannot be read
  // included; the status is the worst of them.
  int status = kInspectOk;
  for (const std::string& input : options.inputs) {
    status = std::max(status, inspectInput(options, input));
  }
  return status;
}

}  // namespace

int runInspect(int argc, const char* const argv[]) {
  // Past a file-size limit a write must fail, to be reported and its partial
  // file removed, rather than the process die without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  // The last boundary: whatever no part above foresaw ends the program with a
  // word and its temporary files removed, never in an abort.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    complain("out of memory");
  } catch (const std::exception& e) {
    complain(e.what());
  }
  return kInspectTrouble;
}

}  // namespace grouptrace
