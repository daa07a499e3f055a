#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "grouptrace/build_config.h"
#include "grouptrace/trace_output.h"
#include "grouptrace/types.h"

namespace grouptrace {

// Every byte of the request trace is written here, in the order a run calls
// these operations; simulators parse this text, so each blank is deliberate.
template <class Output>
class BasicTraceWriter {
 public:
  explicit BasicTraceWriter(Output& out) : out_(out) {}

  // The commented header, up to the opening of the session table.
  void header(std::int32_t avgSize, std::int32_t orderedJoinLeave) {
    out_.reserve(kLineRoom);
    out_.text(
        "// Print Group requests GRP: \n"
        "//  node: session: type of request: band:  del:  hops\n"
        "// Average Group Size: ");
    out_.integer(avgSize);
    out_.text("\n// Is Join-Leave ordered? (1=YES ): ");
    out_.integer(orderedJoinLeave);
    out_.text("\n SESSIONS { \n");
  }

  void sessionEntry(std::int32_t session, NODEID source) {
    out_.reserve(kLineRoom);
    out_.text("S : ");
    out_.integer(session);
    out_.text(" : ");
    out_.integer(source);
    out_.text("\n");
  }

  void sessionTableEnd() { line("} \n"); }

  void groupBlock(std::int32_t session) {
    out_.reserve(kLineRoom);
    out_.text("GRP_REQ {\nI : ");
    out_.integer(session);
    out_.text("\n}\n");
  }

  void beefUpMarker() { line("// Start: Beef up session \n"); }
  void joinLeaveMarker() { line("// JOIN-LEAVE  Join-Delete Randomly \n"); }
  void endOfSessionMarker() { line(" // LEAVE end of session \n"); }

  void join(NODEID node, std::int32_t session, double band, double del, HOPS hops) {
    out_.reserve(kLineRoom);
    out_.text("GRP_REQ {\nI : 0 \nU : ");
    out_.integer(node);
    out_.text(" : ");
    out_.integer(session);
    out_.text(" : 1 : ");
    out_.real(band);
    out_.text(" : ");
    out_.real(del);
    out_.text(" : ");
    out_.integer(hops);
    out_.text("\n}\n");
  }

  void leave(NODEID node, std::int32_t session) {
    out_.reserve(kLineRoom);
    out_.text("GRP_REQ {\nI : 0 \nU : ");
    out_.integer(node);
    out_.text(" : ");
    out_.integer(session);
    out_.text(" : 2 : 0 : 0 : 0\n}\n");
  }

  void summary(Count currTrans, Count nJoins, Count nRemoves) {
    out_.reserve(kLineRoom);
    out_.text(" // Trans: ");
    out_.integer(currTrans);
    out_.text(" J: ");
    out_.integer(nJoins);
    out_.text(" R: ");
    out_.integer(nRemoves);
    out_.text("\n");
  }

  void flush() { out_.flush(); }

 private:
  // Room for the longest text any one operation writes: the header's fixed
  // text and two numbers, a record's fixed text and five numbers.
  static constexpr std::size_t kLineRoom = 512;

  void line(std::string_view text) {
    out_.reserve(text.size());
    out_.text(text);
  }

  Output& out_;
};

// The output this build writes the trace through: the straightforward build
// (GROUPTRACE_BASELINE) keeps stream insertion for side-by-side measurements.
using TraceOutput = std::conditional_t<kBaselineBuild, StreamOutput, BlockOutput>;
using TraceWriter = BasicTraceWriter<TraceOutput>;

}  // namespace grouptrace
