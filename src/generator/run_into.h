#pragma once

#include <memory>
#include <optional>

#include "common/run_monitor.h"
#include "dynamic/dynamic_run.h"
#include "generator/creation.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/generator.h"
#include "network/path_bounds.h"

namespace grouptrace {

// One run of the model the configuration names into a sink of events, on the
// network when there is one.
template <class Sink>
RunResult runModel(const RunConfig& config, const std::shared_ptr<const Topology>& network,
                   Sink& sink, RunMonitor monitor) {
  std::optional<Locality> locality;
  if (config.placement.kind == Placement::Kind::affinity) {
    locality = Locality{network, config.placement.beta};
  }
  if (config.dynamic) {
    const dynamic::DynamicResult r = dynamic::runDynamic(config.parameters, config.seed,
                                                         *config.dynamic, sink, monitor, locality);
    return RunResult{RunStatus::complete, r.joins + r.leaves, r.joins, r.leaves, r.blocked};
  }
  checkParameters(config.parameters);
  // The run owns its stream, so nothing here is shared with other runs: no
  // lock, and a handler may start a run of its own.
  Creation creation(config.parameters, locality);
  return creation.run(config.seed, sink, monitor);
}

// One whole run into a sink of events: the network checked first, then the
// model's run, its joins given the requirements the network options ask for.
template <class Sink>
RunResult runInto(const RunConfig& config, Sink& sink, RunMonitor monitor = {}) {
  const std::shared_ptr<const Topology> network = prepareNetwork(config);
  if (!PathBounds::needed(config)) return runModel(config, network, sink, monitor);
  PathBounds bounds(config, network);
  PathBoundSink<Sink> bounded(bounds, sink);
  return runModel(config, network, bounded, monitor);
}

// generate() with a watcher of the run (see RunMonitor).
RunResult generateWatched(const RunConfig& config, TraceHandler& handler, RunMonitor monitor);

}  // namespace grouptrace
