#include "inspect_command.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/help_text.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/fd_source.h"
#include "grouptrace/file_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_handler.h"
#include "grouptrace/trace_reader.h"
#include "grouptrace/version.h"
#include "inspect_options.h"
#include "io/atomic_file.h"
#include "io/sha256.h"
#include "manifest/manifest.h"
#include "plot_recorder.h"
#include "trace_stats.h"
#include "wording.h"
#include "writers/format_table.h"

namespace grouptrace {
namespace {

constexpr std::string_view kUsageHead = R"(usage: grouptrace-inspect check [--] [FILE...]
       grouptrace-inspect stats [--format text|json|csv] [--] [FILE...]
       grouptrace-inspect verify MANIFEST [TRACE]
       grouptrace-inspect plot -o OUT.svg [PLOT OPTIONS] [--] [FILE]
       grouptrace-inspect export --format FORMAT [-o OUT] [--] [FILE]
       grouptrace-inspect --help | --version

Reads a request trace written by grouptrace, from FILE or, when FILE is "-" or
absent, from standard input. Options may come before or after FILE; "--" ends
them, so that a FILE named like an option can follow it (use ./-x for a file
named -x, ./- for a file named -).

check   replays the trace and verifies it: the exact format, every record's
        session against the session table, that a join never names a member
        and a leave never a non-member or a source, the phase markers in their
        order, the beef-up passes, and the summary's J and R counts. A sound
        trace gets one line on standard output, "FILE: valid: ..."; the first
        faulty line is named on standard error as "FILE:N: what is wrong".
        Several FILEs are checked one after the other.
stats   a plain-text report: requests per phase, group sizes per session (at
        the end, mean and largest over the trace), and the spread of the joins'
        band, delay and hop requirements; one per FILE.
          --format json  one JSON object per FILE on a line of its own
          --format csv   a header row, then one row per FILE
        (the keys are listed in the manual page, grouptrace-inspect(1))
verify  checks a trace against the manifest that grouptrace wrote for it:
        size, SHA-256 and, for the trace text, the summary's counts. The trace
        is the manifest's output unless TRACE names it.
plot    a standalone SVG picture of group size over the request sequence, one
        line per session for up to 8 sessions (each with its own colour, dash
        pattern and marker, so that greyscale print keeps them apart), else the
        band from the smallest to the largest group with the mean; the phases
        shaded and named above the plot. Text is sized in proportion to the
        picture, so that it stays readable in a paper's column.
          -o OUT.svg    where to write it (required): a name ending in .svg, or
                        - for standard output
          --title TEXT  the heading, by default "Group size over the request
                        sequence"; --title "" leaves it out
          --width N     width in pixels, 320 to 4000 (default 960)
          --height N    height in pixels, 180 to 4000 (default 540)
export  the trace's events in a machine-readable form, the same as
        grouptrace --format writes for the run that made the trace:
)";

constexpr std::string_view kUsageTail =
    R"(          -o OUT          where to write it; - (the default) is standard output
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

// False, with a message naming `name`, when the text could not all be written.
bool writeAll(std::FILE* out, std::string_view text, const std::string& name) {
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (!written || std::fflush(out) != 0 || std::ferror(out)) {
    std::fprintf(stderr, "%s: cannot write: %s\n", name.c_str(),
                 std::strerror(errno != 0 ? errno : EIO));
    return false;
  }
  return true;
}

constexpr const char* kStdout = "<stdout>";

int writeFile(const std::string& path, const std::string& text) {
  if (path == "-") return writeAll(stdout, text, kStdout) ? kInspectOk : kInspectTrouble;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "%s: cannot open for writing: %s\n", path.c_str(), std::strerror(errno));
    return kInspectTrouble;
  }
  const bool written = writeAll(out, text, path);
  const bool closed = std::fclose(out) == 0;
  if (written && !closed) {
    std::fprintf(stderr, "%s: cannot write: %s\n", path.c_str(), std::strerror(errno));
  }
  return written && closed ? kInspectOk : kInspectTrouble;
}

// Copies a spooled export to standard output.
void copyOut(std::FILE* spool) {
  if (std::fflush(spool) != 0 || std::fseek(spool, 0, SEEK_SET) != 0) throw WriteError(errno);
  FdSink out(STDOUT_FILENO);
  std::vector<char> block(std::size_t{1} << 20);
  for (;;) {
    const std::size_t n = std::fread(block.data(), 1, block.size(), spool);
    if (n > 0) out.write(block.data(), n);
    if (n < block.size()) {
      if (std::ferror(spool)) throw WriteError(errno != 0 ? errno : EIO);
      return;
    }
  }
}

// The converted trace reaches its destination only once the trace has been
// read whole and found sound: a file is renamed into place at the end, and
// standard output is written from a spool file, so that a long trace need not
// fit in memory and a faulty one leaves nothing half-written.
int exportTrace(const InspectOptions& options, ByteSource& source) {
  const bool toStdout = options.output == "-";
  const std::string name = toStdout ? kStdout : options.output;
  try {
    if (!toStdout) {
      AtomicFile file(options.output);
      FdSink sink(file.fd());
      readTrace(source, *makeTraceWriter(options.format, sink));
      file.commit();
      return kInspectOk;
    }
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> spool(std::tmpfile(), std::fclose);
    if (spool == nullptr) throw WriteError(errno);
    FdSink sink(fileno(spool.get()));
    readTrace(source, *makeTraceWriter(options.format, sink));
    copyOut(spool.get());
    return kInspectOk;
  } catch (const FileError& e) {
    complain(e.what());
  } catch (const WriteError& e) {
    // A reader that went away is an ordinary end for a filter.
    if (toStdout && e.errnum() == EPIPE) return kInspectTrouble;
    std::fprintf(stderr, "%s: cannot write: %s\n", name.c_str(), std::strerror(e.errnum()));
  }
  return kInspectTrouble;
}

// The one-line verdict of check, named after the trace it is about.
std::string checkLine(const std::string& name, TraceReader& reader) {
  TraceEvent event;
  TraceSummary summary;
  while (reader.next(event)) {
    if (const auto* s = std::get_if<TraceSummary>(&event)) summary = *s;
  }
  return name + ": valid: " + traceCounts(reader.sessionCount(), summary.joins, summary.leaves) +
         ", Trans " + std::to_string(summary.trans) + "\n";
}

std::string statsOutput(const InspectOptions& options, const std::string& name,
                        TraceReader& reader) {
  TraceStats stats;
  TraceEvent event;
  while (reader.next(event)) stats.add(event);
  switch (options.statsFormat) {
    case StatsFormat::json:
      return stats.json(name);
    case StatsFormat::csv:
      return stats.csvRow(name);
    case StatsFormat::text:
      break;
  }
  // Several reports are told apart by a heading each.
  if (options.inputs.size() > 1) return "== " + name + "\n" + stats.report() + "\n";
  return stats.report();
}

int inspect(const InspectOptions& options, const std::string& name, ByteSource& source) {
  if (options.command == InspectCommand::exportTrace) return exportTrace(options, source);
  TraceReader reader(source);
  switch (options.command) {
    case InspectCommand::check:
      return writeAll(stdout, checkLine(name, reader), kStdout) ? kInspectOk : kInspectTrouble;
    case InspectCommand::stats:
      return writeAll(stdout, statsOutput(options, name, reader), kStdout) ? kInspectOk
                                                                           : kInspectTrouble;
    case InspectCommand::plot: {
      PlotRecorder plot;
      TraceEvent event;
      while (reader.next(event)) plot.add(event);
      const std::string caption = options.input == "-" ? "standard input" : options.input;
      return writeFile(options.output, plot.svg(caption, options.style));
    }
    case InspectCommand::exportTrace:
    case InspectCommand::verify:
    case InspectCommand::help:
    case InspectCommand::version:
      break;
  }
  return kInspectTrouble;
}

// The bytes of a file, hashed and counted as they are read.
struct FileDigest {
  std::uint64_t bytes = 0;
  std::string sha256;
};

FileDigest digestOf(const std::string& path) {
  FileSource file(path);
  Sha256 hash;
  FileDigest digest;
  std::vector<char> block(std::size_t{1} << 20);
  for (std::size_t n; (n = file.read(block.data(), block.size())) > 0;) {
    hash.update(block.data(), n);
    digest.bytes += n;
  }
  digest.sha256 = hash.hex();
  return digest;
}

// verify: the trace a manifest describes, checked against it byte for byte
// (size and SHA-256) and, for the trace text, by its summary's counts.
int verifyManifest(const InspectOptions& options) {
  const std::string& manifestPath = options.inputs.front();
  Manifest manifest;
  try {
    FileSource file(manifestPath);
    std::string text;
    char block[4096];
    for (std::size_t n; (n = file.read(block, sizeof block)) > 0;) {
      text.append(block, n);
      if (text.size() > (std::size_t{1} << 20)) throw ManifestError("over 1 MiB: no manifest");
    }
    manifest = readManifest(text);
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "%s: cannot read: %s\n", manifestPath.c_str(), e.code().message().c_str());
    return kInspectTrouble;
  } catch (const ManifestError& e) {
    std::fprintf(stderr, "%s: not a manifest: %s\n", manifestPath.c_str(), e.what());
    return kInspectTrouble;
  }
  std::string tracePath;
  if (options.inputs.size() > 1) {
    tracePath = options.inputs[1];
  } else if (manifest.output) {
    tracePath = *manifest.output;
  } else {
    complain(manifestPath +
             " records a trace written to standard output; name the trace: "
             "verify MANIFEST TRACE");
    return kInspectTrouble;
  }
  FileDigest digest;
  try {
    digest = digestOf(tracePath);
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "%s: cannot read: %s\n", tracePath.c_str(), e.code().message().c_str());
    return kInspectTrouble;
  }
  std::string faults;
  if (digest.bytes != manifest.bytes) {
    faults += "; " + std::to_string(digest.bytes) + " bytes where it records " +
              std::to_string(manifest.bytes);
  }
  if (!manifest.sha256.empty() && digest.sha256 != manifest.sha256) {
    faults += "; sha256 " + digest.sha256 + " where it records " + manifest.sha256;
  }
  std::string counts;
  if (manifest.config.format == TraceFormat::trace && faults.empty()) {
    try {
      FileSource file(tracePath);
      TraceReader reader(file);
      TraceEvent event;
      TraceSummary summary;
      while (reader.next(event)) {
        if (const auto* s = std::get_if<TraceSummary>(&event)) summary = *s;
      }
      if (summary.trans != manifest.run.trans || summary.joins != manifest.run.joins ||
          summary.leaves != manifest.run.leaves) {
        faults += "; its summary differs from the counts recorded";
      }
      counts = ", " + std::to_string(summary.joins) + " joins, " + std::to_string(summary.leaves) +
               " leaves, Trans " + std::to_string(summary.trans);
    } catch (const TraceError& e) {
      std::fprintf(stderr, "%s:%llu: %s\n", tracePath.c_str(),
                   static_cast<unsigned long long>(e.line()), e.reason().c_str());
      return kInspectBadTrace;
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "%s: cannot read: %s\n", tracePath.c_str(), e.code().message().c_str());
      return kInspectTrouble;
    }
  }
  if (!faults.empty()) {
    std::fprintf(stderr, "%s: does not match %s%s\n", tracePath.c_str(), manifestPath.c_str(),
                 faults.c_str());
    return kInspectBadTrace;
  }
  const std::string line = tracePath + ": matches " + manifestPath + ": " +
                           std::to_string(digest.bytes) + " bytes" +
                           (manifest.sha256.empty() ? std::string(", no sha256 recorded")
                                                    : ", sha256 " + digest.sha256) +
                           counts + "\n";
  return writeAll(stdout, line, kStdout) ? kInspectOk : kInspectTrouble;
}

// One trace, opened and inspected, its faults reported under its name.
int inspectInput(const InspectOptions& options, const std::string& input) {
  const std::string name = input == "-" ? "<stdin>" : input;
  std::unique_ptr<ByteSource> source;
  try {
    if (input == "-") {
      if (isatty(STDIN_FILENO)) {
        complain(
            "reading a trace from the terminal; end it with Ctrl-D, or name a FILE (see "
            "grouptrace-inspect --help)");
      }
      source = std::make_unique<FdSource>(0);
    } else {
      source = std::make_unique<FileSource>(input);
    }
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "%s: cannot open: %s\n", name.c_str(), e.code().message().c_str());
    return kInspectTrouble;
  }
  try {
    return inspect(options, name, *source);
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
  }
}

}  // namespace

int runInspect(int argc, const char* const argv[]) {
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
    return writeAll(stdout, usageText(), kStdout) ? kInspectOk : kInspectTrouble;
  }
  if (options.command == InspectCommand::version) {
    return writeAll(stdout, std::string("grouptrace-inspect ") + kVersion + "\n", kStdout)
               ? kInspectOk
               : kInspectTrouble;
  }

  if (options.command == InspectCommand::verify) return verifyManifest(options);
  if (options.command == InspectCommand::stats && options.statsFormat == StatsFormat::csv &&
      !writeAll(stdout, TraceStats::csvHeader(), kStdout)) {
    return kInspectTrouble;
  }
  // Every trace is inspected, a faulty one or one that cannot be read
  // included; the status is the worst of them.
  int status = kInspectOk;
  for (const std::string& input : options.inputs) {
    status = std::max(status, inspectInput(options, input));
  }
  return status;
}

}  // namespace grouptrace
