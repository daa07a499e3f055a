#pragma once

#include "dynamic/dynamic_run.h"
#include "generator/creation.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/generator.h"
#include "network/path_bounds.h"
#include "writers/trace_output.h"

namespace grouptrace {

// One run of the model the configuration names into a sink of events.
template <class Sink>
RunResult runModel(const RunConfig& config, Sink& sink) {
  if (config.dynamic) {
    const dynamic::DynamicResult r =
        dynamic::runDynamic(config.parameters, config.seed, *config.dynamic, sink);
    return RunResult{RunStatus::complete, r.joins + r.leaves, r.joins, r.leaves, r.blocked};
  }
  checkParameters(config.parameters);
  // The run owns its stream, so nothing here is shared with other runs: no
  // lock, and a handler may start a run of its own.
  Creation creation(config.parameters);
  return creation.run(config.seed, sink);
}

// One whole run into a sink of events: the network checked first, then the
// model's run, its joins given the requirements the network options ask for.
template <class Sink>
RunResult runInto(const RunConfig& config, Sink& sink) {
  const std::shared_ptr<const Topology> network = prepareNetwork(config);
  if (!PathBounds::needed(config)) return runModel(config, sink);
  PathBounds bounds(config, network);
  PathBoundSink<Sink> bounded(bounds, sink);
  return runModel(config, bounded);
}

template <template <class> class Writer>
RunResult writeWith(const RunConfig& config, ByteSink& sink) {
  BlockOutput output(sink);
  Writer<BlockOutput> writer(output);
  const RunResult result = runInto(config, writer);
  writer.flush();
  return result;
}

}  // namespace grouptrace
