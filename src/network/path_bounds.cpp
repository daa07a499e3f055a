#include "network/path_bounds.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/number_text.h"
#include "dynamic/philox.h"
#include "network/network_options.h"

namespace grouptrace {
namespace {

using dynamic::DrawStream;
using dynamic::Purpose;

constexpr double kLargest = kInt32Max;

std::string shown(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", v);
  return buffer;
}

// Every path between two nodes is at most twice the longest from node 0, so a
// bound of HI times that stays within the trace's 32-bit range for any source.
void requireInRange(const PathSlack& slack, double longestFromFirst, std::string_view form,
                    std::string_view measure) {
  if (slack.high * 2 * longestFromFirst > kLargest) {
    throw std::invalid_argument(std::string(form) + ": with HI = " + shown(slack.high) + " and " +
                                std::string(measure) + " of up to " + shown(longestFromFirst) +
                                " from node 0, a bound could pass 2147483647, the largest a "
                                "trace holds; lower HI");
  }
}

double uniformIn(const PathSlack& slack, SEED_type seed, Purpose purpose, std::int32_t session,
                 std::uint64_t index) {
  const double u = DrawStream::uniformFromBits(
      DrawStream(seed, purpose, session, dynamic::kNetworkKeyTag).bitsAt(index));
  return slack.low + u * (slack.high - slack.low);
}

}  // namespace

std::shared_ptr<const Topology> prepareNetwork(const RunConfig& config) {
  network::validate(config);
  if (!config.topology) return nullptr;
  const TopologyChoice& choice = *config.topology;
  std::shared_ptr<const Topology> net = choice.network;
  if (!net) net = std::make_shared<const Topology>(readTopology(choice.path, choice.format));
  const std::string& path = choice.path.empty() ? std::string("(network)") : choice.path;
  if (!choice.sha256.empty() && choice.sha256 != net->sha256()) {
    throw TopologyError(path, 0,
                        "the file has changed since the run was recorded: its SHA-256 is " +
                            net->sha256() + ", the record says " + choice.sha256);
  }
  if (net->nodeCount() != config.parameters.nNodes) {
    throw TopologyError(path, 0,
                        "the network has " + std::to_string(net->nodeCount()) +
                            " nodes, but nNodes is " + std::to_string(config.parameters.nNodes) +
                            ": a trace's nodes are the network's");
  }
  if (config.delayBound) {
    const auto delays = leastDelays(*net, 0);
    requireInRange(*config.delayBound, *std::max_element(delays.begin(), delays.end()),
                   network::kDelayBoundForm, "least delays (ms)");
  }
  if (config.hopBound) {
    const auto hops = hopDistances(*net, 0);
    requireInRange(*config.hopBound, *std::max_element(hops.begin(), hops.end()),
                   network::kHopBoundForm, "hop distances");
  }
  return net;
}

bool PathBounds::needed(const RunConfig& config) {
  return config.delayBound || config.hopBound || config.band == BandChoice::perSession;
}

PathBounds::PathBounds(const RunConfig& config, std::shared_ptr<const Topology> network)
    : network_(std::move(network)),
      seed_(config.seed),
      delay_(config.delayBound),
      hops_(config.hopBound),
      sessionBand_(config.band == BandChoice::perSession),
      minBand_(config.parameters.minBand),
      maxBand_(config.parameters.maxBand),
      joins_(static_cast<std::size_t>(std::max(config.parameters.nSessions, 0)), 0) {
  sources_.reserve(joins_.size());
}

void PathBounds::session(const SessionEntry& entry) {
  sources_.push_back(entry.source);
}

const std::vector<double>& PathBounds::delaysFrom(NODEID source) {
  auto found = delays_.find(source);
  if (found == delays_.end()) found = delays_.emplace(source, leastDelays(*network_, source)).first;
  return found->second;
}

const std::vector<HOPS>& PathBounds::hopsFrom(NODEID source) {
  auto found = hopCounts_.find(source);
  if (found == hopCounts_.end()) {
    found = hopCounts_.emplace(source, hopDistances(*network_, source)).first;
  }
  return found->second;
}

void PathBounds::rewrite(JoinRecord& join) {
  const auto s = static_cast<std::size_t>(join.session);
  const std::uint64_t k = joins_[s]++;
  const NODEID source = sources_[s];
  const auto node = static_cast<std::size_t>(join.node);
  if (delay_) {
    const double d = delaysFrom(source)[node];
    join.delay = std::ceil(uniformIn(*delay_, seed_, Purpose::delaySlack, join.session, k) * d);
  }
  if (hops_) {
    const double h = hopsFrom(source)[node];
    join.hops = static_cast<HOPS>(
        std::ceil(uniformIn(*hops_, seed_, Purpose::hopSlack, join.session, k) * h));
  }
  if (sessionBand_) {
    // Index 0 for every join of the session: its one band.
    const std::uint64_t bits =
        DrawStream(seed_, Purpose::sessionBand, join.session, dynamic::kNetworkKeyTag).bitsAt(0);
    join.band = static_cast<double>(DrawStream::roundedFromBits(bits, minBand_, maxBand_));
  }
}

}  // namespace grouptrace
