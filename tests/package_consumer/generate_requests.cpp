// Generates the first stored example in-process through the installed library
// and compares it with the stored trace given as the argument; reads a network
// too, which links what the network reader needs (libxml2 where it reads GraphML).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "grouptrace/byte_sink.h"
#include "grouptrace/generator.h"
#include "grouptrace/topology.h"
#include "grouptrace/version.h"

static_assert(__cplusplus == 201703L, "the consumer is to be compiled as C++17");

int main(int argc, char* argv[]) {
  if (argc != 2) return 2;
  if (std::strcmp(grouptrace::kVersion, PACKAGE_VERSION) != 0) {
    std::fprintf(stderr, "version.h says %s, the package %s\n", grouptrace::kVersion,
                 PACKAGE_VERSION);
    return 1;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot open\n", argv[1]);
    return 2;
  }
  const std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  // tests/golden/000.params, seed 0.
  grouptrace::Parameters p;
  p.nNodes = 3;
  p.nSessions = 2;
  p.maxTrans = 6;
  p.currTrans = 0;
  p.avgSize = 2;
  p.nQoSLevels = 1;
  p.maxBand = 100;
  p.minBand = 10;
  p.minDelay = 1;
  p.maxDelay = 5;
  p.minHops = 1;
  p.maxHops = 4;
  p.orderedJoinLeave = 1;
  grouptrace::StringSink sink;
  const grouptrace::RunResult result =
      grouptrace::writeTrace(p, 0, grouptrace::TraceFormat::trace, sink);
  if (sink.text() != stored) {
    std::fprintf(stderr, "the generated trace differs from %s\n", argv[1]);
    return 1;
  }
  const std::string network = grouptrace::readsGraphml()
                                  ? "<graphml><graph><node id=\"a\"/><node id=\"b\"/>"
                                    "<edge source=\"a\" target=\"b\"/></graph></graphml>"
                                  : "2 1\n0 0 0\n1 0 0\n0 1 1\n";
  if (grouptrace::hopDistances(grouptrace::parseTopology(network, "network"), 1)[0] != 1) return 1;
  std::printf("grouptrace %s joins %lld leaves %lld\n", grouptrace::kVersion,
              static_cast<long long>(result.joins), static_cast<long long>(result.leaves));
  return 0;
}
