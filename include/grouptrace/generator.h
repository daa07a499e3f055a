#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "grouptrace/byte_sink.h"
#include "grouptrace/dynamic_model.h"
#include "grouptrace/parameters.h"
#include "grouptrace/topology.h"
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

// The network a run's nodes are: node i of the trace is node i of the file.
struct TopologyChoice {
  std::string path;
  // Absent: the form the file shows (see readTopology).
  std::optional<TopologyFormat> format;
  // When set, the SHA-256 the file must have (a replayed run's record): a file
  // that has changed since is refused rather than quietly run on.
  std::string sha256;
  // The network read already, for a caller that reads it before the run (to
  // refuse a bad file before anything is written) or runs on it many times;
  // otherwise the run reads `path` as it starts.
  std::shared_ptr<const Topology> network;
};

// A requirement drawn from the path to the joining node: ceil(U * d), U
// uniform in [low, high] and d the least delay (or the fewest hops) from the
// session's source to the node. The command line's "slack:LO:HI".
struct PathSlack {
  double low = 1;
  double high = 1;
};

// Whether each join draws its band (perJoin), or a session draws one band for
// all its joins (perSession: a tree carries one rate).
enum class BandChoice { perJoin, perSession };

// Where a join's node lies in the network. uniform: any non-member alike, as
// without a network. affinity: a non-member v with probability proportional
// to exp(-beta h(v)), h(v) its hop distance to the nearest node of the
// session's tree (its source and members); beta > 0 clusters the members
// around the tree, beta < 0 spreads them, 0 takes every non-member alike. The
// command line's "uniform" or "affinity:BETA".
struct Placement {
  enum class Kind { uniform, affinity };
  Kind kind = Kind::uniform;
  double beta = 0;  // affinity only; finite
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
  // The network, for either model; its node count must be nNodes.
  std::optional<TopologyChoice> topology;
  // Requirements from the paths of the network (which they need). Each draws
  // its U from a stream of its own, and the joins still make the draws they
  // make without it, so no other value of the trace moves.
  std::optional<PathSlack> delayBound;
  std::optional<PathSlack> hopBound;
  BandChoice band = BandChoice::perJoin;
  // Placement by affinity needs the network. The join's node draw picks the
  // distance and a stream of its own the node at it, so no other draw moves;
  // uniform placement is the run without a network, draw for draw.
  Placement placement;
};

// Runs the scenario and hands every event to the handler, with exact values
// (band and delay are whole numbers of the 32-bit range) and the same draws,
// in the same order, as the program: the events are exactly those of the
// trace `grouptrace SEED` writes for these parameters. No text is made.
//
// Throws ParameterError for parameters that checkParameters refuses, and
// std::invalid_argument for a timed run whose parameters or options the model
// refuses (the message names the option and the form it takes), or for bounds
// from paths or placement by affinity without a network. Throws TopologyError for a network file
// that cannot be read, has changed from its recorded hash, or whose node count is not nNodes.
// Throws std::bad_alloc when the session table cannot fit in memory, and whatever the handler
// throws, which ends the run. Each run owns its draws: runs in several threads proceed at once, and
// a handler may start a run of its own, each giving exactly its own trace.
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
