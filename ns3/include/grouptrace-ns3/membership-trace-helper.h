#pragma once

// Replays a grouptrace membership trace in an ns-3 simulation, the way
// Ns2MobilityHelper replays a movement trace: every join and leave of the
// trace becomes a scheduled event that updates the sessions' membership and
// fires a trace source with the library's own record of the request.
//
//   void OnJoin(const grouptrace::JoinRecord& join) { ... join.node, join.band ... }
//   void OnLeave(const grouptrace::LeaveRecord& leave) { ... }
//
//   Ptr<MembershipTraceHelper> membership = CreateObject<MembershipTraceHelper>();
//   membership->SetAttribute("Spacing", EnumValue(MembershipTraceHelper::POISSON));
//   membership->SetAttribute("Interval", TimeValue(Seconds(2)));
//   membership->SetTraceFile("run.trace");          // or SetParameters(params, seed)
//   membership->TraceConnectWithoutContext("Join", MakeCallback(&OnJoin));
//   membership->TraceConnectWithoutContext("Leave", MakeCallback(&OnLeave));
//   NodeContainer nodes;
//   nodes.Create(membership->GetNetworkSize());
//   membership->Install(nodes);                     // trace node i is nodes.Get(i)
//   membership->AssignStreams(10);                  // optional: pin the spacing's draws
//   Simulator::Run();
//
// Node and session numbers in the trace sources and queries are the trace's:
// node i is the i-th node of the installed container (GetNode(i)), whatever
// its ns-3 node id.
//
// Errors are configuration errors, so by default they end the program with
// NS_FATAL_ERROR and a message naming the cause, as ns-3's own helpers do: a
// trace file that cannot be read or is malformed (the message names the file
// and line), parameters the generator refuses, a request later than ns-3's
// clock can hold (timed, or after fixed gaps: Install refuses it), a container
// smaller than the trace's network, Install called twice or before anything
// was loaded. A program that reports them itself sets the attribute
// AbortOnError to false and catches MembershipTraceError instead. Only POISSON
// gaps that run past the clock are found during the run: the exception then
// leaves Simulator::Run, and ns-3 does not release the event it left.

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"
#include "grouptrace/trace_event.h"
#include "ns3/node-container.h"
#include "ns3/nstime.h"
#include "ns3/object.h"
#include "ns3/ptr.h"
#include "ns3/random-variable-stream.h"
#include "ns3/traced-callback.h"

namespace ns3 {

// What MembershipTraceHelper refuses when AbortOnError is false: what() is one
// line, "PATH:LINE: reason" where a trace file's line is at fault.
class MembershipTraceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class MembershipTraceHelper : public Object {
 public:
  // How requests are spaced in time when a record does not carry its own time.
  enum Spacing {
    FIXED,    // one request every Interval
    POISSON,  // exponential gaps of mean Interval, drawn from the helper's stream
  };

  // Attributes:
  //   StartTime     Time  when the first request happens (default 1 s)
  //   Interval      Time  the fixed gap, or the mean gap under POISSON (default 1 s)
  //   Spacing       enum  FIXED (default) or POISSON
  //   AbortOnError  bool  NS_FATAL_ERROR on a refused trace (default), or throw
  //   Progress      bool  show simulated time and requests done on standard
  //                       error when it is a terminal (default true)
  // Trace sources:
  //   Join      (const grouptrace::JoinRecord&)   a node joined a session
  //   Leave     (const grouptrace::LeaveRecord&)  a node left a session
  //   Finished  ()                                the last request has happened
  // Each fires after the membership has changed, so a callback that asks
  // Members() already sees the request applied.
  static TypeId GetTypeId();

  typedef void (*JoinTracedCallback)(const grouptrace::JoinRecord& join);
  typedef void (*LeaveTracedCallback)(const grouptrace::LeaveRecord& leave);

  MembershipTraceHelper();
  ~MembershipTraceHelper() override;

  // What to replay. Each call replaces what an earlier one loaded; the trace is
  // read or generated at once, so its faults show before the simulation runs.
  //
  // A stored trace in any form `grouptrace` writes (the trace text, CSV or
  // JSON Lines, told apart by the first line); a timed trace's requests happen
  // at StartTime plus their own times.
  void SetTraceFile(const std::string& path);
  // A trace generated in-process: the same requests as `grouptrace SEED`
  // writes for these parameters, with band and delay exact.
  void SetParameters(const grouptrace::Parameters& parameters, int32_t seed);
  // The same, from a parameter file as `grouptrace -p` reads it: 13 lines, or
  // JSON (an object of the 13 names, or a manifest).
  void SetParameterFile(const std::string& path, int32_t seed);
  // A trace generated in-process from a whole run configuration, the timed
  // model's included (config.dynamic): its requests happen at StartTime plus
  // their own times, in seconds, whatever Spacing says.
  void SetRunConfig(const grouptrace::RunConfig& config);

  // The nodes the trace needs: nNodes for a generated trace, the largest node
  // (sources included) plus one for a stored one.
  uint32_t GetNetworkSize() const;
  // For a stored trace, the line that first names its largest node, so that a
  // program can point at it; 0 for a generated trace.
  uint64_t GetLargestNodeLine() const;
  uint32_t GetSessionCount() const;
  // Joins and leaves in the trace, and how many of them have happened so far.
  uint32_t GetRequestCount() const;
  uint32_t GetRequestsDone() const;

  // Maps trace node i to nodes.Get(i) and schedules the requests. The
  // container may be larger than the trace's network, never smaller.
  void Install(NodeContainer nodes);

  // Pins the stream of the POISSON gaps; returns the number of streams used (1).
  int64_t AssignStreams(int64_t stream);

  Ptr<Node> GetNode(uint32_t traceNode) const;
  // The session's source: a member from start to end, never joining or leaving.
  uint32_t Source(uint32_t session) const;
  // The nodes that have joined the session and not left it at the current
  // simulated time, in increasing order; the source is not among them.
  std::vector<uint32_t> Members(uint32_t session) const;
  bool IsMember(uint32_t session, uint32_t node) const;

 protected:
  void DoDispose() override;

 private:
  using Request = std::variant<grouptrace::JoinRecord, grouptrace::LeaveRecord>;
  class Loader;

  [[noreturn]] void Fail(const std::string& message) const;
  void Load(Loader& loader);
  void CheckTimes() const;
  void CheckSpacing() const;
  Time RequestTime(uint32_t index, Time previous, double gap) const;
  void ScheduleRequest(uint32_t index, Time previous);
  void Apply(uint32_t index);
  void ShowProgress(bool last);
  void CheckSession(uint32_t session) const;

  Time m_start;
  Time m_interval;
  Spacing m_spacing;
  bool m_abortOnError;
  bool m_progress;
  Ptr<ExponentialRandomVariable> m_gap;

  bool m_loaded;
  bool m_installed;
  uint32_t m_networkSize;
  uint64_t m_largestNodeLine;
  uint64_t m_lastRequestLine;
  std::string m_traceFile;
  std::vector<uint32_t> m_sources;
  std::vector<Request> m_requests;
  uint32_t m_done;
  NodeContainer m_nodes;
  std::vector<std::set<uint32_t>> m_members;
  bool m_showProgress;
  int64_t m_progressShownAt;  // steady clock, ns

  TracedCallback<const grouptrace::JoinRecord&> m_joinTrace;
  TracedCallback<const grouptrace::LeaveRecord&> m_leaveTrace;
  TracedCallback<> m_finishedTrace;
};

}  // namespace ns3
