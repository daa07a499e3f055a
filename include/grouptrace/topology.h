#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "grouptrace/types.h"

namespace grouptrace {
// Declared before the exported region so that it stays the library's own.
class TopologyBuilder;
}  // namespace grouptrace

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

namespace grouptrace {

// The forms a network file can be written in.
//   inet        Inet 3.0: a line "N L", N lines "id x y", L lines "a b weight";
//               nodes are the numbers 0..N-1. A fourth column on a link line,
//               when present, is the link's capacity.
//   orbis       one link "a b" per line, nodes numbered from 0 or from 1
//               without gaps; no weights.
//   rocketfuel  a weights file, one link "a b weight" per line, where a and b
//               are router names; a fourth column is the capacity.
//   graphml     GraphML as the Internet Topology Zoo writes it: the i-th
//               <node> of the first <graph>, its edges, an edge attribute
//               "delay" in ms and "capacity" in kbit/s (or "LinkSpeedRaw" in
//               bit/s).
enum class TopologyFormat { inet, orbis, rocketfuel, graphml };

// "inet", "orbis", "rocketfuel" or "graphml", and back; nothing for any other
// name.
std::optional<TopologyFormat> parseTopologyFormat(std::string_view name);
std::string_view topologyFormatName(TopologyFormat format);

// A network file that cannot be read, or describes no usable network. what()
// reads "PATH:LINE: reason", or "PATH: reason" where no line is to blame (the
// file cannot be opened).
class TopologyError : public std::runtime_error {
 public:
  TopologyError(const std::string& path, std::uint64_t line, const std::string& reason);
  const std::string& path() const { return path_; }
  // 1-based; 0 when the fault lies with the file as a whole.
  std::uint64_t line() const { return line_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string path_;
  std::uint64_t line_;
  std::string reason_;
};

// A connected, undirected network read from a file. Node i of a trace is node
// i here, which is the file's own node i (see TopologyFormat for what that is
// in each form). Repeated links and self-loops are left out as the file is
// read: a link given twice, in either direction, keeps the values it had the
// first time.
class Topology {
 public:
  struct Link {
    NODEID a = 0;
    NODEID b = 0;
    double delay = 1;     // ms: the file's weight or delay, 1 where it gives none
    double capacity = 0;  // kbit/s; 0 where the file gives none
  };

  NODEID nodeCount() const { return static_cast<NODEID>(ids_.size()); }
  // Each node's name in the file: its number as written, a router's name, a
  // GraphML node's id.
  const std::string& nodeId(NODEID node) const { return ids_[static_cast<std::size_t>(node)]; }
  const std::vector<std::string>& nodeIds() const { return ids_; }

  // Every link once, in the order the file first gives it.
  const std::vector<Link>& links() const { return links_; }
  // Link lines or edges the file gave that are not in links(): self-loops
  // and repeats.
  std::uint64_t linksLeftOut() const { return leftOut_; }

  // The links at each node, compressed: those of node n are the entries
  // adjacencyOffsets()[n] .. adjacencyOffsets()[n + 1] - 1 of neighbours()
  // (the node at the other end) and neighbourLinks() (the index into links()),
  // in the order of links().
  const std::vector<std::uint32_t>& adjacencyOffsets() const { return offsets_; }
  const std::vector<NODEID>& neighbours() const { return neighbours_; }
  const std::vector<std::uint32_t>& neighbourLinks() const { return neighbourLinks_; }

  // The SHA-256 of the file's bytes, 64 lowercase hexadecimal digits: a record
  // of a run names the very network it ran on.
  const std::string& sha256() const { return sha256_; }
  TopologyFormat format() const { return format_; }

  // Checks the network (connected, every link between its nodes) and builds
  // the adjacency; throws TopologyError naming `path` otherwise. For networks
  // made in memory; readTopology builds this way too.
  Topology(std::vector<std::string> nodeIds, std::vector<Link> links, TopologyFormat format,
           std::string sha256, const std::string& path = "(network)");

 private:
  friend class TopologyBuilder;
  Topology() = default;

  std::vector<std::string> ids_;
  std::vector<Link> links_;
  std::uint64_t leftOut_ = 0;
  std::vector<std::uint32_t> offsets_;
  std::vector<NODEID> neighbours_;
  std::vector<std::uint32_t> neighbourLinks_;
  std::string sha256_;
  TopologyFormat format_ = TopologyFormat::inet;
};

// Reads a network file in the given form or, without one, in the form its
// text shows: GraphML starts with "<", Inet with a line of two numbers
// followed by a line of three, Orbis has two numbers on every line, and
// Rocketfuel names its routers. Throws TopologyError, with the file's path and
// the line at fault, for a file that cannot be opened or read, that is empty
// or ends early, whose form cannot be told, for a node number out of range or
// numbers that leave gaps, a weight that is negative or not finite, a link to
// a node the file does not declare, and a network in several pieces.
Topology readTopology(const std::string& path, std::optional<TopologyFormat> format = std::nullopt);
// The same for a file's text held in memory; `path` names it in messages.
Topology parseTopology(std::string_view text, const std::string& path,
                       std::optional<TopologyFormat> format = std::nullopt);

// Whether this build reads GraphML (it needs libxml2, which a build may lack).
bool readsGraphml();

// The least delay, in ms over the links' delays, from `source` to every node
// (Dijkstra's search). Throws std::out_of_range for a source outside the
// network.
std::vector<double> leastDelays(const Topology& network, NODEID source);
// The fewest links on a path from `source` to every node (a breadth-first
// search). Throws std::out_of_range for a source outside the network.
std::vector<HOPS> hopDistances(const Topology& network, NODEID source);

}  // namespace grouptrace

#pragma GCC visibility pop
