#include "command_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string_view>

#include "command_options.h"
#include "common/atomic_file.h"
#include "common/message_text.h"
#include "generator/build_config.h"
#include "generator/creation.h"
#include "generator/parameter_stream.h"
#include "generator/trace_writer.h"
#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"
#include "grouptrace/version.h"
#include "manifest.h"

namespace grouptrace {
namespace {

constexpr std::string_view kUsage = R"(usage: grouptrace [OPTION...] [SEED] < PARAMS > TRACE
       grouptrace [OPTION...] -p PARAMS -o TRACE [--manifest RECORD]
       grouptrace --help | -h | --version

Writes a synthetic trace of multicast group join and leave requests with QoS
requirements. The same parameters and seed always give the same trace.

Options:
  -s, --seed N         the seed, a signed 32-bit integer (default 0)
  -p, --params FILE    read the parameter stream from FILE instead of standard
                       input ("-" is standard input)
  -o, --output FILE    write the trace to FILE instead of standard output ("-"
                       is standard output); FILE appears only once the trace is
                       complete and on disk, and after any failure an existing
                       FILE is left as it was
      --manifest FILE  after the run, write a JSON record of how the trace was
                       made to FILE, whole or not at all: version, seed,
                       parameters, status, trans, joins, leaves, requests,
                       bytes, output, format; "-" is standard output, for a
                       trace written to a file with -o
      --format FORMAT  trace (the default): the request trace text below;
                       csv: a header row "phase,kind,node,session,band,delay,
                       hops", a "source" row per session, then a row per
                       request; jsonl: one JSON object per line (header,
                       sources, requests, summary). csv and jsonl write band
                       and delay exactly, as whole numbers
      --print-params   write the 13 resolved parameters as a stream, each with
                       its name (to FILE of -o when given), and exit without
                       generating
      --legacy-numbers read the stream as version 1.0.0 did: text glued to a
                       number ("20,000", "20k") is a comment, so that
                       "20,000" is 20; the manifest records the option
  -h, --help           write this text and exit; reads no input
      --version        write the version and exit; reads no input
  --                   ends the options: what follows is not an option
A long option takes its value as "--seed 42" or "--seed=42", a short one as
"-s 42". Given twice, an option counts the last time; the seed may be given
only once. Unknown options and options without their value are refused.

SEED     without --seed, the first argument that is not an option (one that
         starts with a dash and a letter, or with two dashes), read like atoi:
         leading blanks, a sign and digits; anything after the digits is
         ignored, and no digits means 0. Without either the seed is 0. Further
         arguments are ignored.

PARAMS   13 values, one per line, in this order; anything after the number on
         its line is a comment when a blank, "#" or "//" separates it from the
         number ("20,000" and "20k" are refused). Values are truncated toward
         zero to signed 32-bit integers. The option beside each gives it by name and overrides
         the stream's value (the stream must still hold all 13); when all 13
         are given as options, no stream is read.
   1  nNodes            --nodes N       nodes in the network (at least 1)
   2  nSessions         --sessions N    multicast sessions (at least 1)
   3  maxTrans          --max-trans N   the join-leave phase runs until the
                                        counter reaches this
   4  currTrans         --curr-trans N  starting value of the transaction
                                        counter
   5  avgSize           --avg-size N    target group size reached in the beef-up
                                        phase
   6  nQoSLevels        --qos-levels N  QoS levels (recorded, does not change
                                        the trace)
   7  maxBand           --max-band N    bandwidth upper bound
   8  minBand           --min-band N    bandwidth lower bound
   9  minDelay          --min-delay N   delay lower bound
  10  maxDelay          --max-delay N   delay upper bound
  11  minHops           --min-hops N    hop-count lower bound
  12  maxHops           --max-hops N    hop-count upper bound
  13  orderedJoinLeave  --ordered N     nonzero: strict join/leave alternation;
                                        0: random

TRACE    a commented header, the session table "S : session : source", then one
         block per request:
           GRP_REQ {
           I : 0
           U : node : session : type : band : delay : hops
           }
         type 1 is a join, 2 a leave (band, delay and hops are 0). Phase markers
         "// Start: Beef up session", "// JOIN-LEAVE ...", " // LEAVE end of
         session" separate the phases; the last line is
         " // Trans: T J: joins R: leaves".

Exit status:
  0  the trace is complete
  1  the run could not finish soundly: a write error, memory exhausted, or a
     join-leave phase that can never progress (the trace is still finished on
     standard output; a FILE of -o is left as it was)
  2  bad usage or a bad parameter stream; nothing was written to standard output
)";

void report(const std::string& message) {
  std::fprintf(stderr, "grouptrace: %s\n", message.c_str());
}

// Help, version and parameters go to standard output whole through the same
// sink as a trace, so a full disk or a closed descriptor is said, not just
// signalled by the status.
int printToStdout(std::string_view text) {
  try {
    FdSink(STDOUT_FILENO).write(text.data(), text.size());
    return kExitComplete;
  } catch (const WriteError& e) {
    if (e.errnum() != EPIPE)
      report(std::string("cannot write to standard output: ") + std::strerror(e.errnum()));
    return kExitFailure;
  }
}

// Passes blocks on to a descriptor, counting what was written.
class CountingSink final : public ByteSink {
 public:
  explicit CountingSink(int fd) : sink_(fd) {}
  void write(const char* data, std::size_t size) override {
    sink_.write(data, size);
    bytes_ += size;
  }
  std::uint64_t bytes() const { return bytes_; }

 private:
  FdSink sink_;
  std::uint64_t bytes_ = 0;
};

// Stream insertion for the straightforward build. Standard output goes through
// std::cout as it always has, so the build measured against stays the one
// measured; a file goes through a buffer of its own. Either way the bytes are
// counted, and a failed write reaches the caller: a sink's WriteError through
// the stream (badbit is in its exceptions), std::cout's through the stream's
// state, which StreamOutput::flush turns into a WriteError.
class CountingStreambuf final : public std::streambuf {
 public:
  // Into `target`, or, when it is null, into `sink` through a buffer.
  CountingStreambuf(std::streambuf* target, ByteSink& sink) : target_(target), sink_(sink) {
    if (target_ == nullptr) {
      buffer_.reset(new char[kSize]);
      setp(buffer_.get(), buffer_.get() + kSize);
    }
  }
  std::uint64_t bytes() const { return bytes_ + static_cast<std::uint64_t>(pptr() - pbase()); }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return sync() == 0 ? 0 : c;
    const char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    if (target_ != nullptr) {
      const std::streamsize written = target_->sputn(data, size);
      bytes_ += static_cast<std::uint64_t>(written);
      return written;
    }
    if (size > epptr() - pptr()) drain();
    if (size > epptr() - pptr()) {
      sink_.write(data, static_cast<std::size_t>(size));
      bytes_ += static_cast<std::uint64_t>(size);
    } else {
      std::memcpy(pptr(), data, static_cast<std::size_t>(size));
      pbump(static_cast<int>(size));
    }
    return size;
  }
  int sync() override {
    if (target_ != nullptr) return target_->pubsync();
    drain();
    return 0;
  }

 private:
  static constexpr std::size_t kSize = std::size_t{1} << 16;
  void drain() {
    const auto size = static_cast<std::size_t>(pptr() - pbase());
    sink_.write(pbase(), size);
    bytes_ += size;
    setp(buffer_.get(), buffer_.get() + kSize);
  }
  std::streambuf* target_;
  ByteSink& sink_;
  std::unique_ptr<char[]> buffer_;
  std::uint64_t bytes_ = 0;
};

struct RunOutcome {
  RunResult run;
  std::uint64_t bytes = 0;
};

// The straightforward build's trace text, by stream insertion.
RunOutcome streamTrace(int fd, const Parameters& parameters, SEED_type seed) {
  CountingSink sink(fd);
  const bool toCout = fd == STDOUT_FILENO;
  CountingStreambuf buffer(toCout ? std::cout.rdbuf() : nullptr, sink);
  std::ostream stream(&buffer);
  if (!toCout) stream.exceptions(std::ios::badbit);
  StreamOutput output(stream);
  BasicTraceWriter<StreamOutput> writer(output);
  Creation creation(parameters);
  const RunResult run = creation.run(seed, writer);
  writer.flush();
  return {run, buffer.bytes()};
}

// The one place a run is started: everything else on the command line only
// decides what goes in and where the text goes.
RunOutcome generate(const Parameters& parameters, SEED_type seed, int fd, TraceFormat format) {
  if (kBaselineBuild && format == TraceFormat::trace) return streamTrace(fd, parameters, seed);
  CountingSink sink(fd);
  const RunResult run = writeTrace(parameters, seed, format, sink);
  return {run, sink.bytes()};
}

std::string missingParameters(const CommandOptions& options) {
  std::string list;
  for (std::size_t i = 0; i < kParameterOptions.size(); ++i) {
    if (options.parameters[i]) continue;
    if (!list.empty()) list += ", ";
    list += std::string(kParameterOptions[i]) + " (" + std::string(kParameterNames[i]) + ")";
  }
  return "no parameter stream, and parameters are missing: " + list +
         "; give them as options, or give all 13 as a stream on standard input or with -p FILE";
}

// Reads the stream when one is needed: a file of -p, or standard input.
Parameters readStream(const CommandOptions& options, std::string& where) {
  const bool fromStdin = !options.paramsPath || *options.paramsPath == "-";
  std::FILE* in = stdin;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(nullptr, std::fclose);
  if (!fromStdin) {
    where = shownPath(*options.paramsPath) + ": ";
    file.reset(std::fopen(options.paramsPath->c_str(), "rb"));
    struct stat info;
    const int errnum = file == nullptr                                                  ? errno
                       : fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode) ? EISDIR
                                                                                        : 0;
    if (errnum != 0) {
      throw UsageError("cannot read the parameters from " + shownPath(*options.paramsPath) + ": " +
                       std::strerror(errnum));
    }
    in = file.get();
  } else if (isatty(STDIN_FILENO)) {
    report(
        "reading the 13 parameter values from the terminal, one per line, nNodes first; end "
        "with Ctrl-D (see grouptrace --help)");
  }
  if (options.anyParameterGiven()) {
    // With some values given by name, an empty input is a forgotten option
    // rather than a stream cut short: say which ones.
    const int first = std::getc(in);
    if (first == EOF) throw UsageError(missingParameters(options));
    std::ungetc(first, in);
  }
  myIO io(in);
  const NumberEnd numberEnd = options.legacyNumbers ? NumberEnd::legacy : NumberEnd::separated;
  try {
    // Alone, the stream is checked whole, its messages naming their lines;
    // with options, once they have replaced some of its values.
    return options.anyParameterGiven() ? readParameterValues(io, numberEnd)
                                       : readParameters(io, numberEnd);
  } catch (const GluedNumberError& e) {
    throw UsageError(where + e.what() +
                     " (--legacy-numbers reads it as version 1.0.0 did, the glued text a comment)");
  } catch (const ParameterError& e) {
    throw UsageError(where + e.what());
  }
}

// The 13 values the run uses: the stream's, replaced by those given as options.
Parameters resolveParameters(const CommandOptions& options) {
  Parameters parameters;
  std::string where;
  const bool readsStream = options.paramsPath || !options.allParametersGiven();
  if (readsStream) parameters = readStream(options, where);
  for (std::size_t i = 0; i < kParameterOptions.size(); ++i) {
    if (options.parameters[i]) parameterAt(parameters, i) = *options.parameters[i];
  }
  try {
    checkParameters(parameters);
  } catch (const ParameterError& e) {
    const auto index = static_cast<std::size_t>(e.line() - 1);
    if (!options.parameters[index]) throw UsageError(where + e.what());
    throw UsageError(std::string(kParameterOptions[index]) + " (" +
                     std::string(kParameterNames[index]) + "): " + e.problem());
  }
  return parameters;
}

// A stream that gives the same trace when read back, each value named.
std::string parameterStream(const Parameters& parameters) {
  std::string text;
  for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "%-11d %s\n", parameterAt(parameters, i),
                  std::string(kParameterNames[i]).c_str());
    text += line;
  }
  return text;
}

bool writesFile(const std::optional<std::string>& path) {
  return path && *path != "-";
}

// A file written over the parameter stream it was made from (-o p with -p p or
// < p) would replace the stream with no word said.
void refuseOverwritingInput(const CommandOptions& options, const std::optional<std::string>& output,
                            std::string_view option) {
  const bool readsStream = options.paramsPath || !options.allParametersGiven();
  if (!writesFile(output) || !readsStream) return;
  const bool fromStdin = !options.paramsPath || *options.paramsPath == "-";
  if (fromStdin ? isSameFile(*output, STDIN_FILENO) : isSameFile(*output, *options.paramsPath)) {
    throw UsageError(std::string(option) + " " + shownPath(*output) +
                     " is the parameter stream the run reads; writing it would replace the "
                     "stream, so give the output another name");
  }
}

int printParameters(const CommandOptions& options, const Parameters& parameters) {
  const std::string text = parameterStream(parameters);
  if (!writesFile(options.outputPath)) return printToStdout(text);
  std::optional<AtomicFile> file;
  try {
    file.emplace(*options.outputPath);
  } catch (const FileError& e) {
    report(e.what());
    return kExitBadInput;
  }
  try {
    file->write(text);
    file->commit();
    return kExitComplete;
  } catch (const FileError& e) {
    report(e.what());
    return kExitFailure;
  }
}

// Runs the scenario into standard output or a file that appears only whole,
// then records the run in the manifest.
int runAndRecord(const CommandOptions& options, const Parameters& parameters) {
  std::optional<AtomicFile> traceFile;
  std::optional<AtomicFile> manifestFile;
  try {
    if (writesFile(options.outputPath)) traceFile.emplace(*options.outputPath);
    // Its temporary file is made only once the run has ended: a run ended by
    // its reader (| head) leaves nothing behind.
    if (writesFile(options.manifestPath)) {
      manifestFile.emplace(*options.manifestPath, AtomicFile::Start::atFirstWrite);
    }
  } catch (const FileError& e) {
    report(e.what());
    return kExitBadInput;
  }
  const std::string unchanged = traceFile && traceFile->keepsOldContent()
                                    ? "; " + shownPath(traceFile->path()) + " is unchanged"
                                    : "";

  const SEED_type seed = options.seed.value_or(0);
  RunOutcome outcome;
  try {
    outcome =
        generate(parameters, seed, traceFile ? traceFile->fd() : STDOUT_FILENO, options.format);
  } catch (const WriteError& e) {
    // A reader that went away (head, a closed pipe) is an ordinary end for a
    // Unix filter; anything else is a failure the caller must see.
    if (traceFile) {
      report("cannot write " + shownPath(traceFile->path()) + ": " + std::strerror(e.errnum()) +
             unchanged);
    } else if (e.errnum() != EPIPE) {
      report(e.what());
    }
    return kExitFailure;
  } catch (const std::bad_alloc&) {
    report("out of memory: the scenario needs more memory than the system can give" + unchanged);
    return kExitFailure;
  }

  Manifest manifest{kVersion,      seed,         parameters,    outcome.run,
                    outcome.bytes, std::nullopt, options.format};
  if (traceFile) manifest.output = traceFile->path();
  manifest.legacyNumbers = options.legacyNumbers;
  const bool stalled = outcome.run.status == RunStatus::stalled;
  if (stalled) {
    report(
        "the join-leave phase cannot progress: no session can accept a join or give up a "
        "member (a network of 1 node), so the transaction counter cannot reach maxTrans; the "
        "trace was finished early" +
        unchanged);
    // A manifest describes a trace that was delivered: a stalled one on
    // standard output was, one meant for a file was not kept.
    if (traceFile) return kExitFailure;
  }
  try {
    if (traceFile) traceFile->commit();
    if (manifestFile) {
      manifestFile->write(manifestJson(manifest));
      manifestFile->commit();
    }
  } catch (const FileError& e) {
    report(e.what());
    return kExitFailure;
  }
  // "--manifest -": the trace is in its file, the record goes to the caller.
  if (options.manifestPath == "-" && printToStdout(manifestJson(manifest)) != kExitComplete) {
    return kExitFailure;
  }
  return stalled ? kExitFailure : kExitComplete;
}

}  // namespace

int runCommandLine(int argc, char* argv[]) {
  // Past a file-size limit a write must fail, to be reported and its partial
  // file removed, rather than the process die without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  CommandOptions options;
  Parameters parameters;
  try {
    options = parseCommandOptions(argc, argv);
    if (options.help) return printToStdout(kUsage);
    if (options.version) return printToStdout("grouptrace " + std::string(kVersion) + "\n");
    parameters = resolveParameters(options);
    refuseOverwritingInput(options, options.outputPath, "-o");
    refuseOverwritingInput(options, options.manifestPath, "--manifest");
  } catch (const UsageError& e) {
    report(e.what());
    return kExitBadInput;
  } catch (const std::bad_alloc&) {
    report("out of memory while reading the command line");
    return kExitFailure;
  }
  if (options.printParams) return printParameters(options, parameters);
  return runAndRecord(options, parameters);
}

}  // namespace grouptrace
