// grouptrace-ns3-study: replays a membership trace over a network under a
// central QoS multicast controller, sends each session's stream at the rate
// its tree reserves, and reports how many joins it admitted, what the trees
// cost and what the members got.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "common/message_text.h"
#include "common/number_text.h"
#include "grouptrace/topology.h"
#include "io/atomic_file.h"
#include "multicast-study.h"
#include "ns3/command-line.h"
#include "qos-tree.h"

namespace {

using grouptrace_ns3::StudyError;

constexpr int kBadUsage = 2;

// The options as given, numbers included, so that each is checked here with
// a message of its own rather than ns-3's.
struct Arguments {
  std::string trace, params, seed, topology, topologyType, nodes, chords, capacity;
  std::string minLinkDelay, maxLinkDelay, routing = "delay", start, interval, packetSize;
  std::string packetInterval, csv, packets, json;
  bool poisson = false;
  bool stream = true;
};

[[noreturn]] void Refuse(const std::string& message) {
  throw StudyError(message, kBadUsage);
}

std::string Shown(const std::string& name, const std::string& text) {
  return "--" + name + "=" + grouptrace::shownText(text, 40);
}

// A whole number in [low, high]; `fallback` when the option was not given.
int64_t Whole(const std::string& name, const std::string& text, int64_t low, int64_t high,
              int64_t fallback, const char* what) {
  if (text.empty()) return fallback;
  const std::optional<int64_t> value =
      grouptrace::parseInteger(text, grouptrace::IntegerForm::canonical, low, high);
  if (!value) {
    Refuse(Shown(name, text) + ": " + what + ", a whole number from " + std::to_string(low) +
           " to " + std::to_string(high));
  }
  return *value;
}

// A finite real above `low` (or at it, with `lowIncluded`) and at most `high`.
double Real(const std::string& name, const std::string& text, double low, bool lowIncluded,
            double high, double fallback, const char* what) {
  if (text.empty()) return fallback;
  const grouptrace::ReadNumber<double> read = grouptrace::readReal(text);
  const double value = read.value;
  if (!read.ok() || !std::isfinite(value) || (lowIncluded ? value < low : value <= low) ||
      value > high) {
    char range[96];
    std::snprintf(range, sizeof range, lowIncluded ? "from %g to %g" : "above %g and at most %g",
                  low, high);
    Refuse(Shown(name, text) + ": " + what + ", a number " + range);
  }
  return value;
}

void RequireReadable(const std::string& path, const char* what) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    Refuse("cannot read the " + std::string(what) + " " + grouptrace::shownPath(path) + ": " +
           std::strerror(errno));
  }
  close(fd);
}

grouptrace_ns3::StudyConfig Check(const Arguments& a) {
  grouptrace_ns3::StudyConfig c;
  if (a.trace.empty() && a.params.empty()) {
    Refuse(
        "give a trace (--trace=FILE) or a parameter file (--params=FILE); --help lists the "
        "options");
  }
  if (!a.trace.empty() && !a.params.empty()) Refuse("give --trace or --params, not both");
  if (!a.packetInterval.empty()) {
    Refuse(Shown("packetInterval", a.packetInterval) +
           ": streams now send at their session's reserved rate, one --packetSize packet an "
           "interval that the rate sets");
  }
  if (!grouptrace_ns3::MakeTreeRouting(a.routing)) {
    std::string names;
    for (const std::string& name : grouptrace_ns3::TreeRoutingNames()) {
      names += (names.empty() ? "" : ", ") + name;
    }
    Refuse(Shown("routing", a.routing) + ": no such routing; one of " + names);
  }
  c.routing = a.routing;
  c.traceFile = a.trace;
  c.parameterFile = a.params;
  c.seed = static_cast<int32_t>(Whole("seed", a.seed, std::numeric_limits<int32_t>::min(),
                                      std::numeric_limits<int32_t>::max(), 0, "the seed"));
  c.topologyFile = a.topology;
  // Earlier versions took ns-3's names, Inet, Orbis and Rocketfuel.
  for (char ch : a.topologyType) c.topologyType += static_cast<char>(std::tolower(ch));
  if (!c.topologyType.empty() && !grouptrace::parseTopologyFormat(c.topologyType)) {
    Refuse(Shown("topologyType", a.topologyType) +
           ": no such form; one of inet, orbis, rocketfuel, graphml");
  }
  c.nodes = static_cast<uint32_t>(
      Whole("nodes", a.nodes, 0, grouptrace_ns3::kMostGeneratedNodes, 0, "nodes"));
  c.chords = static_cast<int32_t>(Whole("chords", a.chords, -1, 100000000, -1, "chords"));
  // ns-3 counts bit rates in whole bit/s: 1 bit/s at least, and a 64-bit count.
  c.capacity = Real("capacity", a.capacity, 0.001, true, 1e12, c.capacity, "kbit/s");
  c.minLinkDelay = static_cast<uint32_t>(
      Whole("minLinkDelay", a.minLinkDelay, 0, 3600000, c.minLinkDelay, "whole ms"));
  c.maxLinkDelay = static_cast<uint32_t>(
      Whole("maxLinkDelay", a.maxLinkDelay, 0, 3600000, c.maxLinkDelay, "whole ms"));
  if (c.minLinkDelay > c.maxLinkDelay) {
    Refuse("--minLinkDelay=" + std::to_string(c.minLinkDelay) +
           " is more than --maxLinkDelay=" + std::to_string(c.maxLinkDelay));
  }
  // ns-3's clock ends after about 2^63 ns.
  c.start = Real("start", a.start, 0, true, 1e9, c.start, "seconds");
  c.interval = Real("interval", a.interval, 0, true, 1e9, c.interval, "seconds");
  c.poisson = a.poisson;
  c.stream = a.stream;
  // A packet holds its sequence number and time stamp, and fits in one IPv4
  // datagram.
  c.packetSize = static_cast<uint32_t>(
      Whole("packetSize", a.packetSize, 12, 65507, c.packetSize, "bytes of UDP payload"));
  c.csvFile = a.csv;
  c.packetFile = a.packets;
  c.jsonFile = a.json;
  if (!c.traceFile.empty()) RequireReadable(c.traceFile, "trace");
  if (!c.parameterFile.empty()) RequireReadable(c.parameterFile, "parameter file");
  if (!c.topologyFile.empty()) RequireReadable(c.topologyFile, "topology");
  const std::pair<const char*, const std::string*> outputs[] = {
      {"csv", &c.csvFile}, {"packets", &c.packetFile}, {"json", &c.jsonFile}};
  // A file is put in place whole, so two outputs of one name would keep only
  // the last; a device is written in place and takes both (/dev/null).
  const auto replaced = [](const std::string& path) {
    struct stat s;
    return !path.empty() && (stat(path.c_str(), &s) != 0 || S_ISREG(s.st_mode));
  };
  for (std::size_t i = 0; i < std::size(outputs); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      const std::string &first = *outputs[j].second, &second = *outputs[i].second;
      if (!first.empty() && replaced(second) && grouptrace::writesSameFile(first, second)) {
        Refuse(Shown(outputs[i].first, second) + ": the same file as --" + outputs[j].first);
      }
    }
  }
  for (const auto& [name, path] : outputs) {
    for (const std::string* input : {&c.traceFile, &c.parameterFile, &c.topologyFile}) {
      if (!path->empty() && !input->empty() && grouptrace::isSameFile(*path, *input)) {
        Refuse(Shown(name, *path) + ": would replace " + grouptrace::shownPath(*input) +
               ", which the study reads");
      }
    }
  }
  return c;
}

}  // namespace

int main(int argc, char* argv[]) {
  // Past a file-size limit a write must fail, to be reported and its partial
  // file removed, rather than the process die without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  Arguments a;
  ns3::CommandLine cmd("grouptrace-ns3-study");
  cmd.Usage(
      "Replays a grouptrace membership trace over a network: every join is admitted on a path "
      "from its session's tree whose links have room for the session's rate (the largest band "
      "among its members, kbit/s) and whose delay bound from the source (propagation, "
      "transmission and queueing behind the other streams) and hops meet the join's, or "
      "blocked; every leave prunes what no member needs. Trees become static multicast routes, "
      "each carrying its session's stream at the reserved rate. Prints a summary of admissions "
      "and deliveries; --json, --csv and --packets write them. Vary replications with --RngRun.");
  cmd.AddValue("trace", "a stored trace to replay", a.trace);
  cmd.AddValue("params", "a parameter file to generate the trace from instead", a.params);
  cmd.AddValue("seed", "the generator's seed, with --params", a.seed);
  cmd.AddValue("topology", "a network file; without it, a ring with random chords", a.topology);
  cmd.AddValue("topologyType",
               "the file's form: inet, orbis, rocketfuel or graphml (default: told from its text)",
               a.topologyType);
  cmd.AddValue("nodes", "generated network: nodes (at least those the trace needs)", a.nodes);
  cmd.AddValue("chords", "generated network: random chords added to the ring (-1: one per node)",
               a.chords);
  cmd.AddValue("capacity", "capacity of a link the network file gives none for, kbit/s (10000)",
               a.capacity);
  cmd.AddValue("minLinkDelay", "smallest link delay drawn, whole ms (1)", a.minLinkDelay);
  cmd.AddValue("maxLinkDelay", "largest link delay drawn, whole ms (10)", a.maxLinkDelay);
  cmd.AddValue("routing", "delay, hops, spt or cost; list: show them", a.routing);
  cmd.AddValue("start", "time of the first request, s (1)", a.start);
  cmd.AddValue("interval", "time between requests (mean with --poisson), s (1)", a.interval);
  cmd.AddValue("poisson", "space requests by exponential gaps", a.poisson);
  cmd.AddValue("stream", "run the sessions' streams", a.stream);
  cmd.AddValue("packetSize", "a stream's UDP payload, bytes (1000)", a.packetSize);
  cmd.AddValue("packetInterval", "gone: streams send at their reserved rate", a.packetInterval);
  cmd.AddValue("csv", "write each request's outcome here", a.csv);
  cmd.AddValue("packets", "write each packet handed up the stack here", a.packets);
  cmd.AddValue("json", "write the summary here as one JSON object", a.json);
  cmd.Parse(argc, argv);

  if (a.routing == "list") {
    for (const std::string& name : grouptrace_ns3::TreeRoutingNames()) {
      std::printf("%s\n", name.c_str());
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
  }
  try {
    grouptrace_ns3::StudyConfig config = Check(a);
    grouptrace_ns3::StudySummary summary = grouptrace_ns3::RunStudy(config);
    std::fputs(grouptrace_ns3::SummaryText(config, summary).c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "grouptrace-ns3-study: cannot write the summary: %s\n",
                   std::strerror(errno));
      return 1;
    }
  } catch (const StudyError& e) {
    std::fprintf(stderr, "grouptrace-ns3-study: %s\n", e.what());
    return e.status();
  } catch (const std::bad_alloc&) {
    // The last boundary: a run ends with a word and its temporary files
    // removed, never in an abort.
    std::fprintf(stderr, "grouptrace-ns3-study: out of memory\n");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "grouptrace-ns3-study: %s\n", e.what());
    return 1;
  }
  return 0;
}
