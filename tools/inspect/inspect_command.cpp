#include "inspect_command.h"

#include <unistd.h>

#include <cerrno>
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
#include "io/pipe_size.h"
#include "plot_recorder.h"
#include "trace_stats.h"
#include "wording.h"
#include "writers/format_table.h"

namespace grouptrace {
namespace {

constexpr std::string_view kUsageHead = R"(usage: grouptrace-inspect check [--] [FILE]
       grouptrace-inspect stats [--] [FILE]
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
        trace gets one line on standard output; the first faulty line is named
        on standard error as "FILE:N: what is wrong".
stats   a plain-text report: requests per phase, group sizes per session (at
        the end, mean and largest over the trace), and the spread of the joins'
        band, delay and hop requirements.
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
  fitPipeToWrites(STDOUT_FILENO);
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

int inspect(const InspectOptions& options, ByteSource& source) {
  if (options.command == InspectCommand::exportTrace) return exportTrace(options, source);
  TraceReader reader(source);
  TraceEvent event;
  switch (options.command) {
    case InspectCommand::check: {
      TraceSummary summary;
      while (reader.next(event)) {
        if (const auto* s = std::get_if<TraceSummary>(&event)) summary = *s;
      }
      const std::string line =
          "valid: " + traceCounts(reader.sessionCount(), summary.joins, summary.leaves) +
          ", Trans " + std::to_string(summary.trans) + "\n";
      return writeAll(stdout, line, kStdout) ? kInspectOk : kInspectTrouble;
    }
    case InspectCommand::stats: {
      TraceStats stats;
      while (reader.next(event)) stats.add(event);
      return writeAll(stdout, stats.report(), kStdout) ? kInspectOk : kInspectTrouble;
    }
    case InspectCommand::plot: {
      PlotRecorder plot;
      while (reader.next(event)) plot.add(event);
      const std::string caption = options.input == "-" ? "standard input" : options.input;
      return writeFile(options.output, plot.svg(caption, options.style));
    }
    case InspectCommand::exportTrace:
    case InspectCommand::help:
    case InspectCommand::version:
      break;
  }
  return kInspectTrouble;
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

  const std::string name = options.input == "-" ? "<stdin>" : options.input;
  std::unique_ptr<ByteSource> source;
  try {
    if (options.input == "-") {
      // Either end of a pipe can grow it: a trace piped in from a writer
      // that did not then arrives in fewer, larger rounds.
      fitPipeToWrites(0);
      source = std::make_unique<FdSource>(0);
    } else {
      source = std::make_unique<FileSource>(options.input);
    }
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "%s: cannot open: %s\n", name.c_str(), e.code().message().c_str());
    return kInspectTrouble;
  }
  try {
    return inspect(options, *source);
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

}  // namespace grouptrace
