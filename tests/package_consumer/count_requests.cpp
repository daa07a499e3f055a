// Counts the joins and leaves of a trace file, or names its first faulty line.
#include <cstdio>
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
    long long joins = 0;
    long long leaves = 0;
    while (reader.next(event)) {
      if (std::holds_alternative<grouptrace::JoinRecord>(event)) ++joins;
      if (std::holds_alternative<grouptrace::LeaveRecord>(event)) ++leaves;
    }
    std::printf("joins %lld leaves %lld\n", joins, leaves);
    return 0;
  } catch (const grouptrace::TraceError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
