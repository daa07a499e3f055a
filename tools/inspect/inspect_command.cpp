#include "inspect_command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>

#include "grouptrace/fd_source.h"
#include "grouptrace/file_source.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_reader.h"
#include "grouptrace/version.h"
#include "inspect_options.h"
#include "plot_recorder.h"
#include "trace_stats.h"

namespace grouptrace {
namespace {

constexpr std::string_view kUsage = R"(usage: grouptrace-inspect check [FILE]
       grouptrace-inspect stats [FILE]
       grouptrace-inspect plot [FILE] -o OUT.svg
       grouptrace-inspect --help | --version

Reads a request trace written by grouptrace, from FILE or, when FILE is "-" or
absent, from standard input.

check   replays the trace and verifies it: the exact format, every record's
        session against the session table, that a join never names a member
        and a leave never a non-member or a source, the phase markers in their
        order, the beef-up passes, and the summary's J and R counts. A sound
        trace gets one line on standard output; the first faulty line is named
        on standard error as "line N: what is wrong".
stats   a plain-text report: requests per phase, group sizes per session (at
        the end, mean and largest over the trace), and the spread of the joins'
        band, delay and hop requirements.
plot    a standalone SVG picture of group size over the request sequence, one
        line per session for up to 8 sessions, else the band from the smallest
        to the largest group with the mean; phases shaded. -o - writes it to
        standard output.

Exit status:
  0  the trace is sound (and the report or picture was written)
  1  the trace is faulty
  2  bad usage, or a file that cannot be read or written
)";

void complain(const std::string& message) {
  std::fprintf(stderr, "grouptrace-inspect: %s\n", message.c_str());
}

// False, with a message, when the text could not all be written.
bool writeAll(std::FILE* out, std::string_view text, const std::string& name) {
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (!written || std::fflush(out) != 0 || std::ferror(out)) {
    complain("cannot write " + name + ": " + std::strerror(errno != 0 ? errno : EIO));
    return false;
  }
  return true;
}

int writeFile(const std::string& path, const std::string& text) {
  if (path == "-") return writeAll(stdout, text, "standard output") ? kInspectOk : kInspectTrouble;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    complain("cannot write " + path + ": " + std::strerror(errno));
    return kInspectTrouble;
  }
  const bool written = writeAll(out, text, path);
  const bool closed = std::fclose(out) == 0;
  if (written && !closed) complain("cannot write " + path + ": " + std::strerror(errno));
  return written && closed ? kInspectOk : kInspectTrouble;
}

int inspect(const InspectOptions& options, ByteSource& source) {
  TraceReader reader(source);
  TraceEvent event;
  switch (options.command) {
    case InspectCommand::check: {
      TraceSummary summary;
      while (reader.next(event)) {
        if (const auto* s = std::get_if<TraceSummary>(&event)) summary = *s;
      }
      const std::string line = "valid: " + std::to_string(reader.sessionCount()) +
                               (reader.sessionCount() == 1 ? " session, " : " sessions, ") +
                               std::to_string(summary.joins + summary.leaves) + " requests (" +
                               std::to_string(summary.joins) + " joins, " +
                               std::to_string(summary.leaves) + " leaves), Trans " +
                               std::to_string(summary.trans) + "\n";
      return writeAll(stdout, line, "standard output") ? kInspectOk : kInspectTrouble;
    }
    case InspectCommand::stats: {
      TraceStats stats;
      while (reader.next(event)) stats.add(event);
      return writeAll(stdout, stats.report(), "standard output") ? kInspectOk : kInspectTrouble;
    }
    case InspectCommand::plot: {
      PlotRecorder plot;
      while (reader.next(event)) plot.add(event);
      const std::string caption = options.input == "-" ? "standard input" : options.input;
      return writeFile(options.output, plot.svg(caption));
    }
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
    std::fprintf(stderr, "%.*s", static_cast<int>(kUsage.find('\n', kUsage.find("--help")) + 1),
                 kUsage.data());
    return kInspectTrouble;
  }
  if (options.command == InspectCommand::help) {
    return writeAll(stdout, kUsage, "standard output") ? kInspectOk : kInspectTrouble;
  }
  if (options.command == InspectCommand::version) {
    return writeAll(stdout, std::string("grouptrace-inspect ") + kVersion + "\n", "standard output")
               ? kInspectOk
               : kInspectTrouble;
  }

  const std::string name = options.input == "-" ? "standard input" : options.input;
  try {
    std::unique_ptr<ByteSource> source;
    if (options.input == "-") {
      source = std::make_unique<FdSource>(0);
    } else {
      source = std::make_unique<FileSource>(options.input);
    }
    return inspect(options, *source);
  } catch (const TraceError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kInspectBadTrace;
  } catch (const std::system_error& e) {
    complain("cannot read " + name + ": " + e.code().message());
    return kInspectTrouble;
  } catch (const std::bad_alloc&) {
    complain("out of memory while reading " + name);
    return kInspectTrouble;
  }
}

}  // namespace grouptrace
