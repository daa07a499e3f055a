#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "grouptrace/byte_sink.h"
#include "grouptrace/parameters.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/trace_handler.h"
#include "grouptrace/types.h"

namespace grouptrace {

// How a run ended. A stalled run still handed out a complete trace (every
// phase and the summary), but its join-leave phase stopped early because no
// request could ever be performed again (a network of one node), so the
// counter never reached maxTrans.
enum class RunStatus { complete, stalled };

// What a run reports once its summary is out.
struct RunResult {
  RunStatus status = RunStatus::complete;
  Count trans = 0;   // the final transaction counter
  Count joins = 0;   // join records
  Count leaves = 0;  // leave records
};

// Runs the scenario with this seed and hands every event to the handler, with
// exact values (band and delay are whole numbers of the 32-bit range) and the
// same draws, in the same order, as the program: the events are exactly those
// of the trace `grouptrace SEED` writes for these parameters. No text is made.
//
// Throws ParameterError for parameters that checkParameters refuses. Throws std::bad_alloc when the
// session table cannot fit in memory, and whatever the handler throws, which ends the run. Runs in
// one process are serialized: the draws come from one stream.
RunResult generate(const Parameters& parameters, SEED_type seed, TraceHandler& handler);

// The forms a trace can be written in.
enum class TraceFormat {
  trace,  // the request trace text that simulators parse
  csv,    // phase,kind,node,session,band,delay,hops: sources, then requests
  jsonl,  // one JSON object per line: header, sources, requests, summary
};

// "trace", "csv" or "jsonl", and back; nothing for any other name.
std::optional<TraceFormat> parseTraceFormat(std::string_view name);
std::string_view formatName(TraceFormat format);

// A handler that writes the events it receives to the sink in the format,
// flushing once it has the summary. Writing a stored trace's events gives the
// same bytes as writing the generated ones, as far as the stored text is exact
// (band and delay below a million). Throws WriteError when the sink fails.
std::unique_ptr<TraceHandler> makeTraceWriter(TraceFormat format, ByteSink& sink);

// Generates the trace into the sink in the format, without holding it in
// memory. Throws as generate does, and WriteError when the sink fails.
RunResult writeTrace(const Parameters& parameters, SEED_type seed, TraceFormat format,
                     ByteSink& sink);

}  // namespace grouptrace
