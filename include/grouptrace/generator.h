#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "grouptrace/byte_sink.h"
#include "grouptrace/dynamic_model.h"
#include "grouptrace/parameters.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/trace_handler.h"
#include "grouptrace/types.h"

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

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
  // Timed model: arrivals refused because every node was already a member.
  Count blocked = 0;
};

// The forms a trace can be written in.
enum class TraceFormat {
  trace,  // the request trace text that simulators parse
  csv,    // phase,kind,node,session,band,delay,hops: sources, then requests
  jsonl,  // one JSON object per line: header, sources, requests, summary
};

// Everything that decides a run's output, as one value: built once by
// whoever starts the run (the command line, a manifest, the Python module, a
// C++ caller) and handed to it whole. Options of models to come are added
// here, each with a default that leaves the traces of today unchanged.
struct RunConfig {
  Parameters parameters;
  SEED_type seed = 0;
  // How writeTrace writes the run; generate hands out events and ignores it.
  TraceFormat format = TraceFormat::trace;
  // Present: a run of the timed model (dynamic_model.h) with these options,
  // whose requests carry times. Absent: the classic model. Of the parameters
  // the timed model takes nNodes, nSessions, avgSize and the QoS ranges;
  // maxTrans and currTrans do not apply and orderedJoinLeave must be 0.
  std::optional<dynamic::DynamicOptions> dynamic;
};

// Runs the scenario and hands every event to the handler, with exact values
// (band and delay are whole numbers of the 32-bit range) and the same draws,
// in the same order, as the program: the events are exactly those of the
// trace `grouptrace SEED` writes for these parameters. No text is made.
//
// Throws ParameterError for parameters that checkParameters refuses, and
// std::invalid_argument for a timed run whose parameters or options the model
// refuses (the message names the option and the form it takes). Throws
// std::bad_alloc when the session table cannot fit in memory, and whatever
// the handler throws, which ends the run. Each run owns its draws: runs in
// several threads proceed at once, and a handler may start a run of its own,
// each giving exactly its own trace.
RunResult generate(const RunConfig& config, TraceHandler& handler);
// The same, for a configuration of parameters and seed alone.
RunResult generate(const Parameters& parameters, SEED_type seed, TraceHandler& handler);

// "trace", "csv" or "jsonl", and back; nothing for any other name.
std::optional<TraceFormat> parseTraceFormat(std::string_view name);
std::string_view formatName(TraceFormat format);

// A handler that writes the events it receives to the sink in the format,
// flushing once it has the summary. Writing a stored trace's events gives the
// same bytes as writing the generated ones, as far as the stored text is exact
// (band and delay below a million). Throws WriteError when the sink fails.
std::unique_ptr<TraceHandler> makeTraceWriter(TraceFormat format, ByteSink& sink);

// Generates the trace into the sink in the configuration's format, without
// holding it in memory. Throws as generate does, and WriteError when the sink
// fails. The trace text has no place for time: a timed run in the format
// "trace" throws std::invalid_argument before anything is written.
RunResult writeTrace(const RunConfig& config, ByteSink& sink);
RunResult writeTrace(const Parameters& parameters, SEED_type seed, TraceFormat format,
                     ByteSink& sink);

}  // namespace grouptrace

#pragma GCC visibility pop
