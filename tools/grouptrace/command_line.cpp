#include "command_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>

#include "command_options.h"
#include "common/message_text.h"
#include "dynamic/dynamic_options.h"
#include "formats/format_table.h"
#include "grouptrace/fd_source.h"
#include "grouptrace/file_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"
#include "grouptrace/version.h"
#include "help_text.h"
#include "io/atomic_file.h"
#include "io/pipe_size.h"
#include "io/read_whole.h"
#include "io/sha256.h"
#include "manifest/manifest.h"
#include "network/network_options.h"
#include "network/path_bounds.h"
#include "parameters/parameter_stream.h"
#include "parameters/parameter_table.h"
#include "progress_meter.h"

namespace grouptrace {
namespace {

constexpr std::string_view kUsageHead = R"(usage: grouptrace [OPTION...] [SEED] < PARAMS > TRACE
       grouptrace [OPTION...] -p PARAMS -o TRACE [--manifest RECORD]
       grouptrace --replay RECORD [-o TRACE] [--manifest RECORD]
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
                       bytes, output, sha256 (of the trace), format; "-" is
                       standard output, for a trace written to a file with -o
      --replay FILE    make again exactly the trace the manifest FILE
                       describes (its parameters, seed and format), and fail
                       unless it has the recorded size and sha256; refuses a
                       manifest of another major version
)";

constexpr std::string_view kUsageOptions =
    R"(      --print-params   write the 13 resolved parameters as a stream, each with
                       its name (to FILE of -o when given), and exit without
                       generating
      --legacy-numbers read the stream as version 1.0.0 did: text glued to a
                       number ("20,000", "20k") is a comment, so that
                       "20,000" is 20; the manifest records the option
  -h, --help           write this text and exit; reads no input
      --version        write the version and exit; reads no input
  --                   ends the options: what follows is not an option
A long option takes its value as "--seed 42" or "--seed=42", a short one as
"-s 42" or "-s=42". Given twice, an option counts the last time; the seed may
be given only once. Unknown options and options without their value are
refused.

SEED     without --seed, the first argument that is not an option (one that
         starts with a dash and a letter, or with two dashes), read like atoi:
         leading blanks, a sign and digits; anything after the digits is
         ignored, and no digits means 0. Without either the seed is 0. Further
         arguments are ignored.

PARAMS   13 values, one per line, in this order; anything after the number on
         its line is a comment when a blank, "#" or "//" separates it from the
         number ("20,000" and "20k" are refused). A file that starts with "{"
         is JSON instead: an object with the 13 names below as keys, or a
         manifest. Values are truncated toward zero to signed 32-bit integers.
         The option beside each gives it by name and overrides
         the stream's value (the stream must still hold all 13); when all 13
         are given as options, no stream is read.
)";

constexpr std::string_view kUsageTail = R"(
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

// The help text. Its formats and parameters come from the tables every other
// part of the system uses, so that --help cannot fall behind them.
std::string usageText() {
  std::string text(kUsageHead);
  std::string formats = "      --format FORMAT  ";
  for (const FormatEntry& entry : kFormatTable) {
    std::string line = std::string(entry.name) + ": " + std::string(entry.description) + ";";
    if (&entry == &kFormatTable.front())
      line = std::string(entry.name) + " (the default): " + std::string(entry.description) + ";";
    formats += wrapped(line, 57, 23) + "\n                       ";
  }
  text += formats.substr(0, formats.rfind('\n') + 1);
  text += "                       " + formatNameList(" and ", &FormatHolds::exactValues) +
          " write band and delay exactly\n";
  text += kUsageOptions;
  for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
    const ParameterEntry& entry = kParameterTable[i];
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "  %2zu  %-17s %-12s N  ", i + 1,
                  std::string(entry.name).c_str(), std::string(entry.option).c_str());
    text += prefix + wrapped(entry.meaning, 40, 40) + "\n";
  }
  text +=
      "\nTIMED    --model dynamic runs the opt-in timed model instead: each session a\n"
      "         queue with unlimited servers in continuous time, whose requests\n"
      "         carry times (seconds) and are written as CSV (the default) or\n"
      "         JSON Lines. It takes nNodes, nSessions, avgSize and the QoS ranges;\n"
      "         maxTrans and currTrans do not apply and orderedJoinLeave must be 0.\n"
      "         dynamic is its newest version, " +
      std::string(dynamic::kModelVersion) +
      "; --model dynamic-1 makes the traces of\n"
      "         the first version, whose start ignores the daily rhythm's state.\n";
  for (const dynamic::OptionEntry& entry : dynamic::kOptionTable) {
    text += "  " + std::string(entry.form) + "\n         " + wrapped(entry.meaning, 70, 9) + "\n";
  }
  text +=
      "\nNETWORK  --topology runs either model on a network read from a file (Inet,\n"
      "         Orbis, Rocketfuel weights or GraphML): trace node i is the file's\n"
      "         node i, and the manifest records the file's SHA-256 and node ids.\n";
  for (const network::OptionEntry& entry : network::kOptionTable) {
    text += "  " + std::string(entry.form) + "\n         " + wrapped(entry.meaning, 70, 9) + "\n";
  }
  text += kUsageTail;
  return text;
}
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
// Passes blocks on to a descriptor, counting what was written and, for a
// manifest, hashing it: the hash costs more than the formatting, so only a
// run that records one pays for it.
class CountingSink final : public ByteSink {
 public:
  CountingSink(int fd, bool hashed) : sink_(fd) {
    if (hashed) hash_.emplace();
  }
  void write(const char* data, std::size_t size) override {
    sink_.write(data, size);
    bytes_ += size;
    if (hash_) hash_->update(data, size);
  }
  std::uint64_t bytes() const { return bytes_; }
  std::string hex() { return hash_ ? hash_->hex() : std::string(); }

 private:
  FdSink sink_;
  std::uint64_t bytes_ = 0;
  std::optional<Sha256> hash_;
};

struct RunOutcome {
  RunResult run;
  std::uint64_t bytes = 0;
  std::string sha256;  // when asked for
};

// The one place a run is started: everything else on the command line only
// decides what goes in and where the text goes.
RunOutcome generate(const RunConfig& config, int fd, bool hashed) {
  // A pipe of the kernel's default 64 KiB would put the writer to sleep four
  // times within each block it hands over.
  fitPipeToWrites(fd);
  CountingSink sink(fd, hashed);
  // Progress is for a person at a terminal, and only where it cannot mix
  // with the trace.
  std::optional<ProgressMeter> meter;
  if (isatty(STDERR_FILENO) && !isatty(fd)) {
    meter.emplace(config.dynamic ? std::optional(config.dynamic->duration) : std::nullopt,
                  &ProgressMeter::steadyNanoseconds, &ProgressMeter::toStandardError);
  }
  const RunResult run = writeTrace(config, sink, meter ? meter->monitor() : RunMonitor{});
  return {run, sink.bytes(), sink.hex()};
}

std::string missingParameters(const CommandOptions& options) {
  std::string list;
  for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
    if (options.parameters[i]) continue;
    if (!list.empty()) list += ", ";
    list += std::string(kParameterTable[i].option) + " (" + std::string(kParameterNames[i]) + ")";
  }
  return "no parameter stream, and parameters are missing: " + list +
         "; give them as options, or give all 13 as a stream on standard input or with -p FILE";
}

// A JSON parameter file whole: small, so a bound keeps a mistaken input (a
// trace, a device) from filling memory.
std::string readWhole(ByteSource& in, const std::string& where, std::string text = {}) {
  bool whole = false;
  try {
    whole = readWhole(in, text, std::size_t{1} << 20);
  } catch (const std::system_error& e) {
    throw UsageError(where + "cannot read the parameters: " + std::strerror(e.code().value()));
  }
  if (!whole) throw UsageError(where + "a JSON parameter file of over 1 MiB");
  return text;
}

// A manifest of a timed run read as parameters: -p takes only parameters from
// a manifest, so running it would silently make a classic trace of the timed
// run's parameters. Repeating the run is --replay's; a variant of it names its
// model and options, which the message spells out.
void refuseTimedManifest(const std::string& text, const std::string& where) {
  const std::optional<std::string> model = timedModelOf(text);
  if (!model) return;
  std::string flags;
  try {
    const Manifest manifest = readManifest(text);
    if (manifest.config.dynamic) {
      flags = "--model ";
      flags += dynamic::modelVersionName(manifest.config.dynamic->model);
      for (const dynamic::OptionEntry& entry : dynamic::kOptionTable) {
        const std::string value = entry.text(*manifest.config.dynamic);
        if (value.empty()) continue;
        (flags += ' ') += entry.option;
        (flags += ' ') += value;
      }
    }
  } catch (const ManifestError&) {
    // A manifest this version cannot read still names its model below.
  }
  throw UsageError(where + "the manifest of a timed run (" + shownText(*model, 40) +
                   "), whose model -p does not take from it; make the run again with "
                   "--replay, or give its model and options with the parameters" +
                   (flags.empty() ? std::string() : " (" + flags + ")"));
}

// Reads the stream when one is needed: a file of -p, or standard input.
Parameters readStream(const CommandOptions& options, std::string& where) {
  const bool fromStdin = !options.paramsPath || *options.paramsPath == "-";
  std::optional<FdSource> standardInput;
  std::optional<FileSource> file;
  if (!fromStdin) {
    where = shownPath(*options.paramsPath) + ": ";
    int errnum = 0;
    try {
      file.emplace(*options.paramsPath);
      struct stat info;
      if (fstat(file->fd(), &info) == 0 && S_ISDIR(info.st_mode)) errnum = EISDIR;
    } catch (const std::system_error& e) {
      errnum = e.code().value();
    }
    if (errnum != 0) {
      throw UsageError("cannot read the parameters from " + shownPath(*options.paramsPath) + ": " +
                       std::strerror(errnum));
    }
  } else {
    standardInput.emplace(STDIN_FILENO);
  }
  ByteSource& in = file ? static_cast<ByteSource&>(*file) : *standardInput;
  if (fromStdin && isatty(STDIN_FILENO)) {
    report(
        "reading the 13 parameter values from the terminal, one per line, nNodes first; end "
        "with Ctrl-D (see grouptrace --help)");
  }
  myIO io(in);
  const int first = io.peekValueStart();
  // With some values given by name, an empty input is a forgotten option
  // rather than a stream cut short: say which ones.
  if (first == EOF && options.anyParameterGiven()) throw UsageError(missingParameters(options));
  // A JSON parameter file (or a manifest) opens with its brace, after the
  // same blanks and byte-order mark a stream may have; a stream with a number.
  if (first == '{') {
    try {
      // Appended, not added: GCC 12 warns wrongly about a copy in `"{" + s`.
      // The brace and whatever the stream reader has read ahead come first.
      const std::string text = readWhole(in, where, io.takeBuffered());
      const Parameters parameters = readJsonParameters(text);
      if (!options.modelGiven) refuseTimedManifest(text, where);
      return parameters;
    } catch (const ManifestError& e) {
      throw UsageError(where + e.what());
    }
  }
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

// The manifest of --replay, refused unless this version makes the traces it
// describes.
Manifest replayedManifest(const std::string& path) {
  std::optional<FileSource> file;
  try {
    file.emplace(path);
  } catch (const std::system_error& e) {
    throw UsageError("cannot read the manifest " + shownPath(path) + ": " +
                     std::strerror(e.code().value()));
  }
  const std::string where = shownPath(path) + ": ";
  Manifest manifest;
  try {
    manifest = readManifest(readWhole(*file, where));
  } catch (const ManifestError& e) {
    throw UsageError(where + e.what());
  }
  if (!sameTraces(manifest.version, kVersion)) {
    throw UsageError(where + "made by grouptrace " + shownText(manifest.version, 40) +
                     ", whose traces differ from those of " + std::string(kVersion) +
                     " (another major version)");
  }
  try {
    checkParameters(manifest.config.parameters);
    if (manifest.config.dynamic) {
      // Checked here, before any file is made, as the options of a new run are.
      if (!formatEntry(manifest.config.format).holds.times) {
        throw UsageError(where + "a timed run recorded in the format " +
                         std::string(formatName(manifest.config.format)) +
                         ", which has no place for its times (" +
                         formatNameList(" or ", &FormatHolds::times) + ")");
      }
      dynamic::validate(manifest.config.parameters, *manifest.config.dynamic);
    }
  } catch (const ParameterError& e) {
    throw UsageError(where + e.what());
  } catch (const std::invalid_argument& e) {
    throw UsageError(where + e.what());
  }
  return manifest;
}

// The run made what the manifest recorded: the same bytes, the same hash
// where it holds one, and the same ending and counts, the blocked joins
// included, which a CSV trace's bytes do not hold.
bool sameTrace(const Manifest& expected, const RunOutcome& outcome) {
  const RunResult& was = expected.run;
  const RunResult& is = outcome.run;
  return expected.bytes == outcome.bytes && was.status == is.status && was.trans == is.trans &&
         was.joins == is.joins && was.leaves == is.leaves && was.blocked == is.blocked &&
         (expected.sha256.empty() || expected.sha256 == outcome.sha256);
}

// The timed model's options, each read and checked as given, then together
// with the parameters they run with.
dynamic::DynamicOptions timedModelOptions(const CommandOptions& options,
                                          const Parameters& parameters) {
  dynamic::DynamicOptions timed;
  timed.model = options.modelVersion;
  bool haveDuration = false;
  try {
    for (const auto& [row, text] : options.dynamicOptions) {
      dynamic::kOptionTable[row].apply(timed, text);
      haveDuration = haveDuration || row == 0;
    }
    if (!haveDuration) {
      throw UsageError("--model dynamic needs --duration SECONDS: how long the run lasts");
    }
    dynamic::validate(parameters, timed);
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
  return timed;
}

// The options on the network, each read as given; whether they go together is
// checked with the network (prepareNetwork).
void applyNetworkOptions(const CommandOptions& options, RunConfig& config) {
  try {
    for (const auto& [row, text] : options.networkOptions) {
      network::kOptionTable[row].apply(config, text);
    }
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
}

// Reads and checks the network before any file is made or byte written, and
// keeps it for the run; a replayed run's network must be the one recorded.
void readNetwork(RunConfig& config, const std::optional<Manifest>& expected,
                 const std::optional<std::string>& replayPath) {
  std::shared_ptr<const Topology> network;
  try {
    network = prepareNetwork(config);
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
  if (!network) return;
  config.topology->network = network;
  if (expected && expected->topologyNodes != network->nodeIds()) {
    throw UsageError(shownPath(*replayPath) + ": the nodes of " + shownPath(config.topology->path) +
                     " are not those the manifest records: this version numbers them otherwise");
  }
}

// The 13 values the run uses: the stream's, replaced by those given as options.
Parameters resolveParameters(const CommandOptions& options) {
  Parameters parameters;
  std::string where;
  const bool readsStream = options.paramsPath || !options.allParametersGiven();
  if (readsStream) parameters = readStream(options, where);
  for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
    if (options.parameters[i]) parameterAt(parameters, i) = *options.parameters[i];
  }
  try {
    checkParameters(parameters);
  } catch (const ParameterError& e) {
    const auto index = static_cast<std::size_t>(e.line() - 1);
    if (!options.parameters[index]) throw UsageError(where + e.what());
    throw UsageError(std::string(kParameterTable[index].option) + " (" +
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
  if (!writesFile(output)) return;
  if (options.replayPath && isSameFile(*output, *options.replayPath)) {
    throw UsageError(std::string(option) + " " + shownPath(*output) +
                     " is the manifest being replayed; writing it would replace the record, so "
                     "give the output another name");
  }
  const bool readsStream =
      !options.replayPath && (options.paramsPath || !options.allParametersGiven());
  if (!readsStream) return;
  const bool fromStdin = !options.paramsPath || *options.paramsPath == "-";
  if (fromStdin ? isSameFile(*output, STDIN_FILENO) : isSameFile(*output, *options.paramsPath)) {
    throw UsageError(std::string(option) + " " + shownPath(*output) +
                     " is the parameter stream the run reads; writing it would replace the "
                     "stream, so give the output another name");
  }
}

// The trace's name as the manifest records it: as given to -o, except that a
// relative name is given from the manifest's folder, so that the pair can be
// moved together and verified from anywhere.
std::string recordedOutput(const std::string& trace, const std::optional<std::string>& manifest) {
  const std::filesystem::path given(trace);
  if (given.is_absolute() || !writesFile(manifest)) return trace;
  std::error_code error;
  const auto cwd = std::filesystem::current_path(error);
  if (error) return trace;
  const auto folder = (cwd / *manifest).lexically_normal().parent_path();
  const auto relative = (cwd / given).lexically_normal().lexically_relative(folder);
  return relative.empty() ? trace : relative.string();
}

int printParameters(const CommandOptions& options, const Parameters& parameters) {
  const std::string text = parameterStream(parameters);
  if (!writesFile(options.outputPath)) return printToStdout(text);
  std::optional<AtomicFile> file;
  try {
    file.emplace(*options.outputPath);
  } catch (const IoError& e) {
    report(e.what());
    return kExitBadInput;
  }
  try {
    file->write(text);
    file->commit();
    return kExitComplete;
  } catch (const IoError& e) {
    report(e.what());
    return kExitFailure;
  }
}

// Runs the scenario into standard output or a file that appears only whole,
// then records the run in the manifest.
int runAndRecord(const CommandOptions& options, const RunConfig& config,
                 const std::optional<Manifest>& expected) {
  std::optional<AtomicFile> traceFile;
  std::optional<AtomicFile> manifestFile;
  try {
    if (writesFile(options.outputPath)) traceFile.emplace(*options.outputPath);
    // Its temporary file is made only once the run has ended: a run ended by
    // its reader (| head) leaves nothing behind.
    if (writesFile(options.manifestPath)) {
      manifestFile.emplace(*options.manifestPath, AtomicFile::Start::atFirstWrite);
    }
  } catch (const IoError& e) {
    report(e.what());
    return kExitBadInput;
  }
  const std::string unchanged = traceFile && traceFile->keepsOldContent()
                                    ? "; " + shownPath(traceFile->path()) + " is unchanged"
                                    : "";

  RunOutcome outcome;
  try {
    outcome = generate(config, traceFile ? traceFile->fd() : STDOUT_FILENO,
                       options.manifestPath.has_value() || expected.has_value());
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
  } catch (const std::invalid_argument& e) {
    // The options were checked before; a run refused here still leaves no
    // file behind.
    report(e.what() + unchanged);
    return kExitBadInput;
  }

  Manifest manifest{kVersion,     config,         outcome.run,           outcome.bytes,
                    std::nullopt, outcome.sha256, options.legacyNumbers, {}};
  if (traceFile) manifest.output = recordedOutput(traceFile->path(), options.manifestPath);
  if (expected && !sameTrace(*expected, outcome)) {
    report("the trace differs from the one " + shownPath(*options.replayPath) + " describes (" +
           std::to_string(outcome.bytes) + " bytes, sha256 " + outcome.sha256 + "; it says " +
           std::to_string(expected->bytes) + " bytes, sha256 " +
           (expected->sha256.empty() ? std::string("not recorded") : expected->sha256) + ")" +
           unchanged);
    return kExitFailure;
  }
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
    if (manifestFile) manifestFile->write(manifestJson(manifest));
    // A trace and its manifest change together or not at all.
    if (traceFile && manifestFile) {
      commitTogether(*traceFile, *manifestFile);
    } else if (traceFile) {
      traceFile->commit();
    } else if (manifestFile) {
      manifestFile->commit();
    }
  } catch (const IoError& e) {
    report(e.what());
    return kExitFailure;
  }
  // "--manifest -": the trace is in its file, the record goes to the caller.
  if (options.manifestPath == "-" && printToStdout(manifestJson(manifest)) != kExitComplete) {
    return kExitFailure;
  }
  return stalled ? kExitFailure : kExitComplete;
}

int run(int argc, char* argv[]) {
  CommandOptions options;
  // The run's whole configuration, built here once and handed on as it is.
  RunConfig config;
  // For --replay: the trace the manifest says the run made.
  std::optional<Manifest> expected;
  try {
    options = parseCommandOptions(argc, argv);
    if (options.help) return printToStdout(usageText());
    if (options.version) return printToStdout("grouptrace " + std::string(kVersion) + "\n");
    if (options.replayPath) {
      const Manifest replayed = replayedManifest(*options.replayPath);
      config = replayed.config;
      expected = replayed;
    } else {
      config.parameters = resolveParameters(options);
      config.seed = options.seed.value_or(0);
      config.format = options.format;
      if (options.dynamicModel) {
        config.dynamic = timedModelOptions(options, config.parameters);
        // The default format has no place for time: a timed run is written
        // in the first format that has, unless another is asked for.
        const FormatEntry& timedDefault = firstFormatHolding(&FormatHolds::times);
        if (!options.formatGiven) config.format = timedDefault.format;
        if (!formatEntry(config.format).holds.times) {
          std::string others;
          for (const FormatEntry& entry : kFormatTable) {
            if (entry.holds.times && &entry != &timedDefault) {
              others += (others.empty() ? "" : " or ") + std::string(entry.name);
            }
          }
          throw UsageError("--format " + std::string(formatName(config.format)) + ": the " +
                           std::string(formatEntry(config.format).title) +
                           " has no place for the times of --model dynamic; write it as --format " +
                           std::string(timedDefault.name) + " (the default for the timed model)" +
                           (others.empty() ? "" : " or " + others));
        }
      }
      applyNetworkOptions(options, config);
    }
    if (!options.printParams) readNetwork(config, expected, options.replayPath);
    refuseOverwritingInput(options, options.outputPath, "-o");
    refuseOverwritingInput(options, options.manifestPath, "--manifest");
  } catch (const UsageError& e) {
    report(e.what());
    return kExitBadInput;
  } catch (const TopologyError& e) {
    report(e.what());
    return kExitBadInput;
  } catch (const std::bad_alloc&) {
    report("out of memory while reading the command line");
    return kExitFailure;
  }
  if (options.printParams) return printParameters(options, config.parameters);
  return runAndRecord(options, config, expected);
}

}  // namespace

int runCommandLine(int argc, char* argv[]) {
  // Past a file-size limit a write must fail, to be reported and its partial
  // file removed, rather than the process die without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  // The last boundary: whatever a run throws that no part above foresaw ends
  // it with a word and its temporary files removed, never in an abort.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    report("out of memory");
  } catch (const std::exception& e) {
    report(e.what());
  }
  return kExitFailure;
}

}  // namespace grouptrace
