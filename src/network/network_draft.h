#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "grouptrace/topology.h"

namespace grouptrace {

// What a form's reader takes from a file, before the network is checked as a
// whole: the nodes in trace order, every link line as given, and the lines
// they came from, so that a refusal of the whole can still point into the file.
struct NetworkDraft {
  std::vector<std::string> ids;
  std::vector<std::uint64_t> nodeLines;  // where each node is declared or first named
  std::vector<Topology::Link> links;
  std::vector<std::uint64_t> linkLines;
};

// Drops self-loops and repeats, checks the links' ends and values and that the
// network is in one piece, and builds the adjacency. Hidden: the installed
// header names it only as a friend, and it is no part of the interface (the
// library hides what it does not export).
class TopologyBuilder {
 public:
  static Topology build(NetworkDraft draft, TopologyFormat format, std::string sha256,
                        const std::string& path);
};

namespace network {

NetworkDraft readInet(std::string_view text, const std::string& path);
NetworkDraft readOrbis(std::string_view text, const std::string& path);
NetworkDraft readRocketfuel(std::string_view text, const std::string& path);
NetworkDraft readGraphml(std::string_view text, const std::string& path);

// The form the text shows, or nothing when it could be more than one.
std::optional<TopologyFormat> detectFormat(std::string_view text);

// A link's delay or capacity as a number of the file; throws TopologyError
// unless it is a finite number of at least 0. `what` names it in the message.
double linkValue(std::string_view text, std::string_view what, const std::string& path,
                 std::uint64_t line);

}  // namespace network
}  // namespace grouptrace
