#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "grouptrace/generator.h"
#include "grouptrace/topology.h"
#include "grouptrace/trace_event.h"

namespace grouptrace {

// The network a run uses, checked before the run makes anything: the one the
// configuration holds, or its file read now. Null without a network. Throws
// std::invalid_argument for options that need a network without one, or
// bounds that could leave the 32-bit range on this network, and TopologyError
// for a file that cannot be read, that differs from its recorded hash, or
// whose node count is not nNodes.
std::shared_ptr<const Topology> prepareNetwork(const RunConfig& config);

// Gives each join the requirements the network options ask for, in place of
// those the model drew: the model's draws are all still made, so that every
// other value of the trace stays as it is, and the values here come from
// streams of their own (Philox, keyed by the seed, named by purpose, session
// and the session's join count).
class PathBounds {
 public:
  PathBounds(const RunConfig& config, std::shared_ptr<const Topology> network);
  // Whether a run with this configuration rewrites any join.
  static bool needed(const RunConfig& config);

  void session(const SessionEntry& entry);
  void rewrite(JoinRecord& join);

 private:
  // The distances from a session's source, computed once per source.
  const std::vector<double>& delaysFrom(NODEID source);
  const std::vector<HOPS>& hopsFrom(NODEID source);

  std::shared_ptr<const Topology> network_;
  SEED_type seed_;
  std::optional<PathSlack> delay_;
  std::optional<PathSlack> hops_;
  bool sessionBand_;
  std::int64_t minBand_, maxBand_;
  std::vector<NODEID> sources_;
  std::vector<std::uint64_t> joins_;  // per session, so far
  std::unordered_map<NODEID, std::vector<double>> delays_;
  std::unordered_map<NODEID, std::vector<HOPS>> hopCounts_;
};

// A sink that passes every event on, each join with its requirements
// rewritten.
template <class Sink>
class PathBoundSink {
 public:
  PathBoundSink(PathBounds& bounds, Sink& out) : bounds_(bounds), out_(out) {}
  void header(const TraceHeader& e) { out_.header(e); }
  void sessionEntry(const SessionEntry& e) {
    bounds_.session(e);
    out_.sessionEntry(e);
  }
  void phase(const PhaseStart& e) { out_.phase(e); }
  void join(const JoinRecord& e) {
    JoinRecord rewritten = e;
    bounds_.rewrite(rewritten);
    out_.join(rewritten);
  }
  void leave(const LeaveRecord& e) { out_.leave(e); }
  void summary(const TraceSummary& e) { out_.summary(e); }

 private:
  PathBounds& bounds_;
  Sink& out_;
};

}  // namespace grouptrace
