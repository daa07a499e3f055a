#include "generator/format_writers.h"
#include "generator/run_into.h"

namespace grouptrace {

RunResult writeCsv(const Parameters& parameters, SEED_type seed, ByteSink& sink) {
  return writeWith<CsvWriter>(parameters, seed, sink);
}

RunResult writeJsonLines(const Parameters& parameters, SEED_type seed, ByteSink& sink) {
  return writeWith<JsonLinesWriter>(parameters, seed, sink);
}

}  // namespace grouptrace
