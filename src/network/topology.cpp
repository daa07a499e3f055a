#include "grouptrace/topology.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "common/message_text.h"
#include "common/number_text.h"
#include "grouptrace/file_source.h"
#include "io/read_whole.h"
#include "io/sha256.h"
#include "network_draft.h"

namespace grouptrace {
namespace {

struct FormatName {
  TopologyFormat format;
  std::string_view name;
};
constexpr FormatName kFormatNames[] = {
    {TopologyFormat::inet, "inet"},
    {TopologyFormat::orbis, "orbis"},
    {TopologyFormat::rocketfuel, "rocketfuel"},
    {TopologyFormat::graphml, "graphml"},
};

std::string whereText(const std::string& path, std::uint64_t line) {
  return line == 0 ? path : path + ":" + std::to_string(line);
}

// A node as a message names it: its number, its name in the file and where.
std::string nodeName(const Topology& network, const std::vector<std::uint64_t>& lines,
                     NODEID node) {
  const auto at = static_cast<std::size_t>(node);
  const std::string shown = quotedText(network.nodeId(node));
  const std::uint64_t line = at < lines.size() ? lines[at] : 0;
  return "node " + std::to_string(node) + " (" + shown +
         (line > 0 ? ", line " + std::to_string(line) : std::string()) + ")";
}

// The number of connected pieces, and the first node (in trace order) that
// node 0 cannot reach.
std::pair<std::uint64_t, NODEID> pieces(const Topology& network) {
  const auto n = static_cast<std::size_t>(network.nodeCount());
  std::vector<std::uint32_t> piece(n, 0);
  std::vector<NODEID> queue;
  queue.reserve(n);
  std::uint32_t count = 0;
  NODEID firstApart = -1;
  for (std::size_t start = 0; start < n; ++start) {
    if (piece[start] != 0) continue;
    ++count;
    if (count == 2) firstApart = static_cast<NODEID>(start);
    piece[start] = count;
    queue.assign(1, static_cast<NODEID>(start));
    for (std::size_t head = 0; head < queue.size(); ++head) {
      const auto v = static_cast<std::size_t>(queue[head]);
      for (auto i = network.adjacencyOffsets()[v]; i < network.adjacencyOffsets()[v + 1]; ++i) {
        const NODEID w = network.neighbours()[i];
        if (piece[static_cast<std::size_t>(w)] == 0) {
          piece[static_cast<std::size_t>(w)] = count;
          queue.push_back(w);
        }
      }
    }
  }
  return {count, firstApart};
}

// Far above the files of the networks a trace is drawn on (an AS-level map of
// the whole Internet takes a few MB), and low enough that a device that never
// ends (/dev/zero) is refused within seconds instead of filling memory.
constexpr std::size_t kMostTopologyBytes = std::size_t{256} << 20;

std::string readFile(const std::string& path) {
  std::string text;
  bool whole = false;
  try {
    FileSource source(path);
    whole = readWhole(source, text, kMostTopologyBytes);
  } catch (const std::system_error& e) {
    throw TopologyError(path, 0, e.code().message());
  }
  if (!whole) throw TopologyError(path, 0, "over 256 MiB, larger than any network file this reads");
  return text;
}

}  // namespace

std::optional<TopologyFormat> parseTopologyFormat(std::string_view name) {
  for (const FormatName& entry : kFormatNames) {
    if (entry.name == name) return entry.format;
  }
  return std::nullopt;
}

std::string_view topologyFormatName(TopologyFormat format) {
  for (const FormatName& entry : kFormatNames) {
    if (entry.format == format) return entry.name;
  }
  return "?";
}

TopologyError::TopologyError(const std::string& path, std::uint64_t line, const std::string& reason)
    : std::runtime_error(whereText(path, line) + ": " + reason),
      path_(path),
      line_(line),
      reason_(reason) {
}

Topology::Topology(std::vector<std::string> nodeIds, std::vector<Link> links, TopologyFormat format,
                   std::string sha256, const std::string& path) {
  NetworkDraft draft;
  draft.ids = std::move(nodeIds);
  draft.links = std::move(links);
  *this = TopologyBuilder::build(std::move(draft), format, std::move(sha256), path);
}

Topology TopologyBuilder::build(NetworkDraft draft, TopologyFormat format, std::string sha256,
                                const std::string& path) {
  const auto lineOfLink = [&](std::size_t i) -> std::uint64_t {
    return i < draft.linkLines.size() ? draft.linkLines[i] : 0;
  };
  if (draft.ids.empty()) throw TopologyError(path, 1, "the network has no nodes");
  if (draft.ids.size() > static_cast<std::size_t>(std::numeric_limits<NODEID>::max())) {
    throw TopologyError(path, 0, "more nodes than node numbers of 32 bits can name");
  }
  const auto n = static_cast<NODEID>(draft.ids.size());

  Topology network;
  network.format_ = format;
  network.sha256_ = std::move(sha256);
  network.links_.reserve(draft.links.size());
  std::unordered_set<std::uint64_t> seen;
  seen.reserve(draft.links.size());
  for (std::size_t i = 0; i < draft.links.size(); ++i) {
    const Topology::Link& link = draft.links[i];
    for (const NODEID end : {link.a, link.b}) {
      if (end < 0 || end >= n) {
        throw TopologyError(path, lineOfLink(i),
                            "a link ends at node " + std::to_string(end) +
                                ", outside the network's nodes 0 to " + std::to_string(n - 1));
      }
    }
    if (!std::isfinite(link.delay) || link.delay < 0) {
      throw TopologyError(path, lineOfLink(i),
                          "a link's delay must be a finite number of at least 0");
    }
    if (!std::isfinite(link.capacity) || link.capacity < 0) {
      throw TopologyError(path, lineOfLink(i),
                          "a link's capacity must be a finite number of at least 0");
    }
    const auto low = static_cast<std::uint64_t>(std::min(link.a, link.b));
    const auto high = static_cast<std::uint64_t>(std::max(link.a, link.b));
    if (low == high || !seen.insert(low << 32 | high).second) {
      ++network.leftOut_;
      continue;
    }
    if (network.links_.size() >= static_cast<std::size_t>(kInt32Max)) {
      throw TopologyError(path, lineOfLink(i), "more links than this reader can hold");
    }
    network.links_.push_back(link);
  }
  network.ids_ = std::move(draft.ids);

  // Each node's links in the order of links(): a counting sort by end.
  network.offsets_.assign(static_cast<std::size_t>(n) + 1, 0);
  for (const Topology::Link& link : network.links_) {
    ++network.offsets_[static_cast<std::size_t>(link.a) + 1];
    ++network.offsets_[static_cast<std::size_t>(link.b) + 1];
  }
  for (std::size_t v = 0; v < static_cast<std::size_t>(n); ++v) {
    network.offsets_[v + 1] += network.offsets_[v];
  }
  network.neighbours_.resize(network.links_.size() * 2);
  network.neighbourLinks_.resize(network.links_.size() * 2);
  std::vector<std::uint32_t> next(network.offsets_.begin(), network.offsets_.end() - 1);
  for (std::uint32_t i = 0; i < network.links_.size(); ++i) {
    const Topology::Link& link = network.links_[i];
    const std::uint32_t atA = next[static_cast<std::size_t>(link.a)]++;
    network.neighbours_[atA] = link.b;
    network.neighbourLinks_[atA] = i;
    const std::uint32_t atB = next[static_cast<std::size_t>(link.b)]++;
    network.neighbours_[atB] = link.a;
    network.neighbourLinks_[atB] = i;
  }

  const auto [count, apart] = pieces(network);
  if (count > 1) {
    const std::uint64_t line = static_cast<std::size_t>(apart) < draft.nodeLines.size()
                                   ? draft.nodeLines[static_cast<std::size_t>(apart)]
                                   : 0;
    throw TopologyError(path, line,
                        "the network is in " + std::to_string(count) +
                            " pieces: " + nodeName(network, draft.nodeLines, apart) +
                            " cannot be reached from " + nodeName(network, draft.nodeLines, 0));
  }
  return network;
}

Topology parseTopology(std::string_view text, const std::string& path,
                       std::optional<TopologyFormat> format) {
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    throw TopologyError(path, 1, "the file is empty");
  }
  if (!format) format = network::detectFormat(text);
  if (!format) {
    throw TopologyError(path, 1,
                        "the form of the network cannot be told from its text; name it: "
                        "inet, orbis, rocketfuel or graphml");
  }
  NetworkDraft draft;
  switch (*format) {
    case TopologyFormat::inet:
      draft = network::readInet(text, path);
      break;
    case TopologyFormat::orbis:
      draft = network::readOrbis(text, path);
      break;
    case TopologyFormat::rocketfuel:
      draft = network::readRocketfuel(text, path);
      break;
    case TopologyFormat::graphml:
      draft = network::readGraphml(text, path);
      break;
  }
  Sha256 hash;
  hash.update(text.data(), text.size());
  return TopologyBuilder::build(std::move(draft), *format, hash.hex(), path);
}

Topology readTopology(const std::string& path, std::optional<TopologyFormat> format) {
  const std::string text = readFile(path);
  return parseTopology(text, path, format);
}

}  // namespace grouptrace
