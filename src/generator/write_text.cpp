#include "generator/run_into.h"
#include "generator/trace_writer.h"

namespace grouptrace {

std::mutex& runMutex() {
  static std::mutex mutex;
  return mutex;
}

RunResult writeText(const Parameters& parameters, SEED_type seed, ByteSink& sink) {
  return writeWith<BasicTraceWriter>(parameters, seed, sink);
}

}  // namespace grouptrace
