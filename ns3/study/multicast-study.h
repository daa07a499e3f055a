#pragma once

// A QoS multicast study on ns-3: a membership trace replayed by
// MembershipTraceHelper over a topology, a central controller that admits each
// join on a QoS path (qos-tree.h) and installs every session's tree as static
// multicast routes, and a constant-rate UDP stream per session that shows
// whether the routes deliver to the members and to nobody else.

#include <cstdint>
#include <string>

namespace grouptrace_ns3 {

struct StudyConfig {
  // The trace: a stored file, or parameters generated in-process with a seed.
  std::string traceFile;
  std::string parameterFile;
  int32_t seed = 0;

  // The topology: a file read by ns-3's TopologyReaderHelper, or a generated
  // ring of `nodes` nodes with `chords` random chords (see GenerateTopology).
  std::string topologyFile;
  std::string topologyType = "Inet";
  uint32_t nodes = 0;          // 0: as many as the trace needs
  int32_t chords = -1;         // -1: as many as nodes
  double capacity = 10000;     // kbit/s, every link
  uint32_t minLinkDelay = 1;   // ms, whole
  uint32_t maxLinkDelay = 10;  // ms, whole

  std::string routing = "delay";

  // When requests happen.
  double start = 1;     // s
  double interval = 1;  // s
  bool poisson = false;

  // The sessions' streams.
  bool stream = true;
  double packetInterval = 50;  // ms
  uint32_t packetSize = 64;    // bytes

  std::string csvFile;     // per-request outcomes
  std::string packetFile;  // per-packet receptions
};

struct StudySummary {
  uint64_t joins = 0;
  uint64_t leaves = 0;
  uint64_t admitted = 0;
  uint64_t blocked = 0;
  double meanTreeCost = 0;  // links, after each admitted join
  uint64_t deliveredToMembers = 0;
  uint64_t deliveredToNonMembers = 0;
  // Packets a node sent on a link that is not one of its tree's links to a
  // child: routes left behind by a prune, or installed where no tree goes.
  uint64_t forwardedOffTree = 0;
  uint32_t networkNodes = 0;
  uint32_t networkLinks = 0;
};

// Runs the whole study (one ns-3 simulation) and writes the files it names.
// Problems of configuration end the program through NS_FATAL_ERROR.
StudySummary RunStudy(const StudyConfig& config);

}  // namespace grouptrace_ns3
