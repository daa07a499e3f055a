#pragma once

// A QoS multicast study on ns-3: a membership trace replayed by
// MembershipTraceHelper over a network, a central controller that admits each
// join on a QoS path (qos-tree.h) and installs every session's tree as static
// multicast routes, and one stream per session at the rate its tree reserves,
// measured where it arrives: who got which packet, how late, and how loaded
// each link was.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace grouptrace_ns3 {

// The largest ring the study generates; a larger network is given as a file.
constexpr uint32_t kMostGeneratedNodes = 1000000;

struct StudyConfig {
  // The trace: a stored file, or parameters generated in-process with a seed.
  std::string traceFile;
  std::string parameterFile;
  int32_t seed = 0;

  // The network: a topology file, or a generated ring of `nodes` nodes with
  // `chords` random chords (see GenerateTopology).
  std::string topologyFile;
  std::string topologyType;    // empty: told from the file's text
  uint32_t nodes = 0;          // 0: as many as the trace needs, up to kMostGeneratedNodes
  int32_t chords = -1;         // -1: as many as nodes
  double capacity = 10000;     // kbit/s, where the network gives none
  uint32_t minLinkDelay = 1;   // ms, whole, where the network gives none
  uint32_t maxLinkDelay = 10;  // ms, whole

  std::string routing = "delay";

  // When requests happen.
  double start = 1;     // s
  double interval = 1;  // s
  bool poisson = false;

  // The sessions' streams: packets of this many bytes of UDP payload.
  bool stream = true;
  uint32_t packetSize = 1000;

  std::string csvFile;     // per-request outcomes
  std::string packetFile;  // per-packet deliveries
  std::string jsonFile;    // the summary
};

struct StudySummary {
  uint64_t joins = 0;
  uint64_t leaves = 0;
  uint64_t admitted = 0;
  uint64_t blocked = 0;
  double meanTreeCost = 0;  // links, after each admitted join
  uint64_t packetsSent = 0;
  // Packets handed up the stack at a node, counted at the IP layer: at a
  // member of the packet's session at that moment, or at any other node.
  uint64_t packetsToMembers = 0;
  uint64_t packetsToNonMembers = 0;
  // Packets a node sent on a link that is not one of its tree's links to a
  // child: routes left behind by a prune, or installed where no tree goes.
  uint64_t packetsOffTree = 0;
  // Of the packets a session sent while a node was its member (from its join
  // until its delay bound before its leave), those the node never got.
  uint64_t packetsLost = 0;
  // Packets a member got later than its delay bound after they were sent.
  uint64_t packetsLate = 0;
  // The largest share of a second that a link spent sending in one
  // direction, over every second that ends as a packet has gone out whole.
  double maxLinkLoad = 0;
  // Over every packet a member got, ms; nothing without one.
  std::optional<double> delayMean;
  std::optional<double> delayP99;
  std::optional<double> delayMax;
  uint32_t networkNodes = 0;
  uint32_t networkLinks = 0;
};

// A study that cannot run as configured, or whose output cannot be written:
// what() is one line, and status() the exit status for it (2 for what the
// command line asked for, 1 for a faulty trace or a failed write).
class StudyError : public std::runtime_error {
 public:
  StudyError(const std::string& message, int status)
      : std::runtime_error(message), m_status(status) {}
  int status() const { return m_status; }

 private:
  int m_status;
};

// Runs the whole study (one ns-3 simulation) and writes the files it names,
// each whole or not at all. Throws StudyError; a fault inside the simulation
// ends the program through NS_FATAL_ERROR.
StudySummary RunStudy(const StudyConfig& config);

// The summary as one JSON object, and as the lines the program prints.
std::string SummaryJson(const StudyConfig& config, const StudySummary& summary);
std::string SummaryText(const StudyConfig& config, const StudySummary& summary);

}  // namespace grouptrace_ns3
