#pragma once

#include <mutex>

#include "generator/creation.h"
#include "generator/trace_output.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/generator.h"

namespace grouptrace {

// The draws of every run come from one stream per process: runs from several
// threads take turns.
std::mutex& runMutex();

// One whole run into a sink of events.
template <class Sink>
RunResult runInto(const Parameters& parameters, SEED_type seed, Sink& sink) {
  checkParameters(parameters);
  const std::lock_guard<std::mutex> lock(runMutex());
  Creation creation(parameters);
  return creation.run(seed, sink);
}

template <template <class> class Writer>
RunResult writeWith(const Parameters& parameters, SEED_type seed, ByteSink& sink) {
  BlockOutput output(sink);
  Writer<BlockOutput> writer(output);
  const RunResult result = runInto(parameters, seed, writer);
  writer.flush();
  return result;
}

// Each format's run is compiled in a translation unit of its own, so that the
// compiler inlines the whole request path of each as it would for one alone:
// with all three in one unit, the text path ran 12% more instructions.
RunResult writeText(const Parameters& parameters, SEED_type seed, ByteSink& sink);
RunResult writeCsv(const Parameters& parameters, SEED_type seed, ByteSink& sink);
RunResult writeJsonLines(const Parameters& parameters, SEED_type seed, ByteSink& sink);

}  // namespace grouptrace
