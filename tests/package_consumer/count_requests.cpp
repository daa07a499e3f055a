// Counts the joins and leaves of a trace file through the model library, or
// says why it cannot.
#include <cstdio>
#include <string>

#include "trace_model.h"

int main(int argc, char* argv[]) {
  if (argc != 2) return 2;
  RequestCounts counts;
  std::string error;
  if (!countRequests(argv[1], counts, error)) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::printf("joins %lld leaves %lld\n", counts.joins, counts.leaves);
  return 0;
}
