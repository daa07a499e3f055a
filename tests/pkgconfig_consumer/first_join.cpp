// Prints the first join of a trace and the trace's summary, or the first
// faulty line.
#include <cstdio>
#include <system_error>
#include <variant>

#include "grouptrace/file_source.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_reader.h"

int main(int argc, char* argv[]) {
  if (argc != 2) return 2;
  try {
    grouptrace::FileSource file(argv[1]);
    grouptrace::TraceReader reader(file);
    grouptrace::TraceEvent event;
    bool printed = false;
    while (reader.next(event)) {
      const auto* join = std::get_if<grouptrace::JoinRecord>(&event);
      if (join != nullptr && !printed) {
        std::printf("line %llu: node %d joins session %d (band %g, delay %g, hops %d)\n",
                    static_cast<unsigned long long>(reader.line()), join->node, join->session,
                    join->band, join->delay, join->hops);
        printed = true;
      }
      if (const auto* summary = std::get_if<grouptrace::TraceSummary>(&event)) {
        std::printf("trans %lld joins %lld leaves %lld\n", static_cast<long long>(summary->trans),
                    static_cast<long long>(summary->joins),
                    static_cast<long long>(summary->leaves));
      }
    }
    return 0;
  } catch (const grouptrace::TraceError& e) {
    std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
  return 1;
}
