#include "network/network_options.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "common/message_text.h"
#include "common/number_text.h"

namespace grouptrace::network {
namespace {

[[noreturn]] void refuse(std::string_view form, const std::string& problem) {
  throw std::invalid_argument(std::string(form) + ": " + problem);
}

std::string quoted(std::string_view text) {
  return quotedText(text, 64);
}

// The shortest text that reads back as the same double.
std::string shown(double v) {
  char buffer[32];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, error == std::errc() ? end : buffer);
}

TopologyChoice& topologyOf(RunConfig& config) {
  if (!config.topology) config.topology.emplace();
  return *config.topology;
}

}  // namespace

PathSlack parsePathSlack(std::string_view form, std::string_view text) {
  constexpr std::string_view kPrefix = "slack:";
  const auto colon = text.find(':', kPrefix.size());
  if (!text.starts_with(kPrefix) || colon == std::string_view::npos) {
    refuse(form, "expected this form, found " + quoted(text));
  }
  const auto low = parseReal(text.substr(kPrefix.size(), colon - kPrefix.size()));
  const auto high = parseReal(text.substr(colon + 1));
  if (!low || !high) refuse(form, "expected this form, found " + quoted(text));
  if (!std::isfinite(*low) || !std::isfinite(*high)) {
    refuse(form, "LO and HI must be finite, found " + quoted(text));
  }
  if (!(*low >= 0) || *low > *high) {
    refuse(form, "LO and HI must satisfy 0 <= LO <= HI, found " + quoted(text));
  }
  return PathSlack{*low, *high};
}

std::string pathSlackText(const PathSlack& slack) {
  return "slack:" + shown(slack.low) + ":" + shown(slack.high);
}

Placement parsePlacement(std::string_view text) {
  constexpr std::string_view kAffinity = "affinity:";
  if (text == "uniform") return Placement{};
  if (!text.starts_with(kAffinity))
    refuse(kPlacementForm, "expected this form, found " + quoted(text));
  const auto beta = parseReal(text.substr(kAffinity.size()));
  if (!beta) refuse(kPlacementForm, "expected this form, found " + quoted(text));
  if (!std::isfinite(*beta)) refuse(kPlacementForm, "BETA must be finite, found " + quoted(text));
  return Placement{Placement::Kind::affinity, *beta};
}

std::string placementText(const Placement& placement) {
  return placement.kind == Placement::Kind::uniform ? "uniform"
                                                    : "affinity:" + shown(placement.beta);
}

const std::array<OptionEntry, 6> kOptionTable = {{
    {"--topology", "topology", kTopologyForm,
     "the network: node i of the trace is the file's node i; nNodes must be its node count",
     [](RunConfig& c, std::string_view t) {
       if (t.empty()) refuse(kTopologyForm, "the file name is empty");
       topologyOf(c).path = std::string(t);
     },
     [](const RunConfig& c) { return c.topology ? c.topology->path : std::string(); }},
    {"--topology-format", "topology_format", kTopologyFormatForm,
     "the form of the --topology file, where its text does not tell it",
     [](RunConfig& c, std::string_view t) {
       const auto format = parseTopologyFormat(t);
       if (!format) refuse(kTopologyFormatForm, "unknown form " + quoted(t));
       topologyOf(c).format = format;
     },
     [](const RunConfig& c) {
       return c.topology && c.topology->format
                  ? std::string(topologyFormatName(*c.topology->format))
                  : std::string();
     }},
    {"--delay-bound", "delay_bound", kDelayBoundForm,
     "a join's delay is ceil(U * d), U uniform in [LO, HI], d the least delay (ms) from the "
     "session's source to the node (default: drawn from minDelay..maxDelay)",
     [](RunConfig& c, std::string_view t) { c.delayBound = parsePathSlack(kDelayBoundForm, t); },
     [](const RunConfig& c) {
       return c.delayBound ? pathSlackText(*c.delayBound) : std::string();
     }},
    {"--hop-bound", "hop_bound", kHopBoundForm,
     "a join's hops are ceil(U * h), h the fewest links from the session's source to the node "
     "(default: drawn from minHops..maxHops)",
     [](RunConfig& c, std::string_view t) { c.hopBound = parsePathSlack(kHopBoundForm, t); },
     [](const RunConfig& c) { return c.hopBound ? pathSlackText(*c.hopBound) : std::string(); }},
    {"--band", "band", kBandForm,
     "per-session: every join of a session carries one band, drawn once for the session "
     "(default per-join)",
     [](RunConfig& c, std::string_view t) {
       if (t == "per-join") {
         c.band = BandChoice::perJoin;
       } else if (t == "per-session") {
         c.band = BandChoice::perSession;
       } else {
         refuse(kBandForm, "expected this form, found " + quoted(t));
       }
     },
     [](const RunConfig& c) {
       return c.band == BandChoice::perSession ? std::string("per-session") : std::string();
     }},
    {"--placement", "placement", kPlacementForm,
     "affinity:BETA: a join takes a non-member v with probability in proportion to "
     "exp(-BETA h(v)), h(v) the hops from v to the session's nearest member or source; BETA > 0 "
     "clusters the members, < 0 spreads them (default uniform: any non-member alike)",
     [](RunConfig& c, std::string_view t) { c.placement = parsePlacement(t); },
     [](const RunConfig& c) {
       return c.placement.kind == Placement::Kind::uniform ? std::string()
                                                           : placementText(c.placement);
     }},
}};

void validate(const RunConfig& config) {
  const bool network =
      config.topology && (!config.topology->path.empty() || config.topology->network);
  if (config.topology && !network) {
    refuse(kTopologyFormatForm,
           "names the form of the network file; give the file with --topology");
  }
  if (config.delayBound && !network) {
    refuse(kDelayBoundForm,
           "d is the least delay over the network's links; give the network with --topology");
  }
  if (config.hopBound && !network) {
    refuse(kHopBoundForm,
           "h is the hop distance over the network; give the network with --topology");
  }
  if (config.placement.kind == Placement::Kind::affinity && !network) {
    refuse(kPlacementForm,
           "h is the hop distance to the session's tree over the network; give the network with "
           "--topology");
  }
}

}  // namespace grouptrace::network
