#include "inspect_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/atomic_file.h"
#include "common/message_text.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/fd_source.h"
#include "grouptrace/file_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_handler.h"
#include "grouptrace/trace_reader.h"
#include "grouptrace/version.h"
#include "inspect_options.h"
#include "plot_recorder.h"
#include "trace_stats.h"
#include "wording.h"

namespace grouptrace {
namespace {

constexpr std::string_view kUsage = R"(usage: grouptrace-inspect check [--] [FILE]
       grouptrace-inspect stats [--] [FILE]
       grouptrace-inspect plot -o OUT.svg [PLOT OPTIONS] [--] [FILE]
       grouptrace-inspect export --format csv|jsonl [-o OUT] [--] [FILE]
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
                        - for standard output; a file appears only whole
          --title TEXT  the heading, by default "Group size over the request
                        sequence"; --title "" leaves it out
          --width N     width in pixels, 320 to 4000 (default 960)
          --height N    height in pixels, 180 to 4000 (default 540)
export  the trace's events in a machine-readable form, the same as
        grouptrace --format writes for the run that made the trace:
          --format csv    a header row "phase,kind,node,session,band,delay,
                          hops", a "source" row per session, a row per request
          --format jsonl  one JSON object per line: header, sources, requests,
                          summary
          -o OUT          where to write it, whole or not at all; - (the
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
// behind however the program ends. Throws FileError naming the directory.
int openSpool(const std::string& directory) {
  std::string pattern = directory + "/grouptrace-inspect-spool.XXXXXX";
  const int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) {
    const int errnum = errno;
    throw FileError("cannot create the export's spool file in " + shownPath(directory) + ": " +
                        std::strerror(errnum) + " (TMPDIR chooses where the export waits)",
                    errnum);
  }
  unlink(pattern.c_str());
  return fd;
}

// Copies a spooled export to standard output.
void copyOut(int spool) {
  if (lseek(spool, 0, SEEK_SET) != 0) throw WriteError(errno);
  FdSink out(STDOUT_FILENO);
  std::vector<char> block(std::size_t{1} << 20);
  for (;;) {
    const ssize_t n = read(spool, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
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
      throw FileError("cannot write the export's spool file in " + shownPath(directory_) + ": " +
                          std::strerror(e.errnum()) + " (TMPDIR chooses where the export waits)",
                      e.errnum());
    }
  }

 private:
  FdSink sink_;
  std::string directory_;
};

// The converted trace reaches its destination only once the trace has been
// read whole and found sound: a file is renamed into place at the end, and
// standard output is written from a spool file, so that a long trace need not
// fit in memory and a faulty one leaves nothing half-written.
int exportTrace(const InspectOptions& options, ByteSource& source, AtomicFile* file) {
  try {
    if (file != nullptr) {
      FdSink sink(file->fd());
      readTrace(source, *makeTraceWriter(options.format, sink));
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
    readTrace(source, *makeTraceWriter(options.format, sink));
    copyOut(spool);
    return kInspectOk;
  } catch (const FileError& e) {
    complain(e.what());
  } catch (const WriteError& e) {
    const std::string name = file != nullptr ? shownPath(file->path()) : kStdout;
    // A reader that went away is an ordinary end for a filter.
    if (file == nullptr && e.errnum() == EPIPE) return kInspectTrouble;
    std::fprintf(stderr, "%s: cannot write: %s\n", name.c_str(), std::strerror(e.errnum()));
  }
  return kInspectTrouble;
}

// `file`: where plot or export writes, when that is a file.
int inspect(const InspectOptions& options, ByteSource& source, AtomicFile* file) {
  if (options.command == InspectCommand::exportTrace) return exportTrace(options, source, file);
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
      return writeStdout(line) ? kInspectOk : kInspectTrouble;
    }
    case InspectCommand::stats: {
      TraceStats stats;
      while (reader.next(event)) stats.add(event);
      return writeStdout(stats.report()) ? kInspectOk : kInspectTrouble;
    }
    case InspectCommand::plot: {
      PlotRecorder plot;
      while (reader.next(event)) plot.add(event);
      const std::string caption = options.input == "-" ? "standard input" : options.input;
      const std::string svg = plot.svg(caption, options.style);
      if (file == nullptr) return writeStdout(svg) ? kInspectOk : kInspectTrouble;
      try {
        file->write(svg);
        file->commit();
        return kInspectOk;
      } catch (const FileError& e) {
        complain(e.what());
        return kInspectTrouble;
      }
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
  // Past a file-size limit a write must fail, to be reported and its partial
  // file removed, rather than the process die without a word.
  std::signal(SIGXFSZ, SIG_IGN);
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
    return writeStdout(kUsage) ? kInspectOk : kInspectTrouble;
  }
  if (options.command == InspectCommand::version) {
    return writeStdout(std::string("grouptrace-inspect ") + kVersion + "\n") ? kInspectOk
                                                                             : kInspectTrouble;
  }

  const std::string name = options.input == "-" ? "<stdin>" : shownPath(options.input);
  std::unique_ptr<ByteSource> source;
  try {
    if (options.input == "-") {
      source = std::make_unique<FdSource>(0);
    } else {
      source = std::make_unique<FileSource>(options.input);
    }
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "%s: cannot open: %s\n", name.c_str(), e.code().message().c_str());
    return kInspectTrouble;
  }
  // The output file is checked, and refused when it is the trace itself,
  // before a long trace is read for nothing.
  std::optional<AtomicFile> file;
  const bool writesFile =
      (options.command == InspectCommand::plot || options.command == InspectCommand::exportTrace) &&
      options.output != "-";
  if (writesFile) {
    const bool overwritesInput = options.input == "-" ? isSameFile(options.output, STDIN_FILENO)
                                                      : isSameFile(options.output, options.input);
    if (overwritesInput) {
      complain("-o " + shownPath(options.output) + " is the trace being read (" + name +
               "); writing it would replace the trace, so give the output another name");
      return kInspectTrouble;
    }
    try {
      file.emplace(options.output);
    } catch (const FileError& e) {
      complain(e.what());
      return kInspectTrouble;
    }
  }
  try {
    return inspect(options, *source, file ? &*file : nullptr);
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
