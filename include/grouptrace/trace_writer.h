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
    auto line = out_.line(kLineRoom);
    line.text(
        "// Print Group requests GRP: \n"
        "//  node: session: type of request: band:  del:  hops\n"
        "// Average Group Size: ");
    line.integer(avgSize);
    line.text("\n// Is Join-Leave ordered? (1=YES ): ");
    line.integer(orderedJoinLeave);
    line.text("\n SESSIONS { \n");
  }

  void sessionEntry(std::int32_t session, NODEID source) {
    auto line = out_.line(kLineRoom);
    line.text("S : ");
    line.integer(session);
    line.text(" : ");
    line.integer(source);
    line.text("\n");
  }

  void sessionTableEnd() { wholeLine("} \n"); }

  void groupBlock(std::int32_t session) {
    auto line = out_.line(kLineRoom);
    line.text("GRP_REQ {\nI : ");
    line.integer(session);
    line.text("\n}\n");
  }

  void beefUpMarker() { wholeLine("// Start: Beef up session \n"); }
  void joinLeaveMarker() { wholeLine("// JOIN-LEAVE  Join-Delete Randomly \n"); }
  void endOfSessionMarker() { wholeLine(" // LEAVE end of session \n"); }

  void join(NODEID node, std::int32_t session, double band, double del, HOPS hops) {
    auto line = out_.line(kLineRoom);
    line.text("GRP_REQ {\nI : 0 \nU : ");
    line.integer(node);
    line.text(" : ");
    line.integer(session);
    line.text(" : 1 : ");
    line.real(band);
    line.text(" : ");
    line.real(del);
    line.text(" : ");
    line.integer(hops);
    line.text("\n}\n");
  }

  void leave(NODEID node, std::int32_t session) {
    auto line = out_.line(kLineRoom);
    line.text("GRP_REQ {\nI : 0 \nU : ");
    line.integer(node);
    line.text(" : ");
    line.integer(session);
    line.text(" : 2 : 0 : 0 : 0\n}\n");
  }

  void summary(Count currTrans, Count nJoins, Count nRemoves) {
    auto line = out_.line(kLineRoom);
    line.text(" // Trans: ");
    line.integer(currTrans);
    line.text(" J: ");
    line.integer(nJoins);
    line.text(" R: ");
    line.integer(nRemoves);
    line.text("\n");
  }

  void flush() { out_.flush(); }

 private:
  // Room for the longest text any one operation writes: the header's fixed
  // text and two numbers, a record's fixed text and five numbers.
  static constexpr std::size_t kLineRoom = 512;

  void wholeLine(std::string_view text) { out_.line(text.size()).text(text); }

  Output& out_;
};

// The output this build writes the trace through: the straightforward build
// (GROUPTRACE_BASELINE) keeps stream insertion for side-by-side measurements.
using TraceOutput = std::conditional_t<kBaselineBuild, StreamOutput, BlockOutput>;
using TraceWriter = BasicTraceWriter<TraceOutput>;

}  // namespace grouptrace
