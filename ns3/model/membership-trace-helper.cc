#include "grouptrace-ns3/membership-trace-helper.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include "grouptrace/file_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_handler.h"
#include "ns3/abort.h"
#include "ns3/enum.h"
#include "ns3/fatal-error.h"
#include "ns3/log.h"
#include "ns3/simulator.h"
#include "record-time.h"

namespace ns3 {

NS_LOG_COMPONENT_DEFINE("MembershipTraceHelper");
NS_OBJECT_ENSURE_REGISTERED(MembershipTraceHelper);

// One request as the helper keeps it: a join carries its requirements, a
// leave only its node and session. The widest fields come first so that a
// request takes 48 bytes, and a trace of millions stays well within what a
// simulation of it needs anyway.
struct MembershipTraceHelper::Request {
  double band;
  double delay;
  std::optional<double> time;  // seconds from StartTime, when the record says
  uint32_t node;
  uint32_t session;
  int32_t hops;
  bool join;
};

// Collects a trace's sources and requests, stored or generated alike.
class MembershipTraceHelper::Loader : public grouptrace::TraceHandler {
 public:
  void onSession(const grouptrace::SessionEntry& entry) override {
    sources.push_back(static_cast<uint32_t>(entry.source));
    Grow(entry.source);
  }
  void onJoin(const grouptrace::JoinRecord& record) override {
    requests.push_back(Request{record.band, record.delay, grouptrace_ns3::RecordTime(record),
                               static_cast<uint32_t>(record.node),
                               static_cast<uint32_t>(record.session), record.hops, true});
    Grow(record.node);
  }
  void onLeave(const grouptrace::LeaveRecord& record) override {
    requests.push_back(Request{0, 0, grouptrace_ns3::RecordTime(record),
                               static_cast<uint32_t>(record.node),
                               static_cast<uint32_t>(record.session), 0, false});
    Grow(record.node);
  }

  std::vector<uint32_t> sources;
  std::vector<Request> requests;
  uint32_t networkSize = 0;  // largest node seen plus one

 private:
  void Grow(grouptrace::NODEID node) {
    networkSize = std::max(networkSize, static_cast<uint32_t>(node) + 1);
  }
};

TypeId MembershipTraceHelper::GetTypeId() {
  static TypeId tid =
      TypeId("ns3::MembershipTraceHelper")
          .SetParent<Object>()
          .SetGroupName("Grouptrace")
          .AddConstructor<MembershipTraceHelper>()
          .AddAttribute("StartTime", "When the first request happens.", TimeValue(Seconds(1)),
                        MakeTimeAccessor(&MembershipTraceHelper::m_start), MakeTimeChecker())
          .AddAttribute("Interval",
                        "The gap between requests that carry no time of their own: fixed, "
                        "or the mean of the exponential gaps under POISSON spacing.",
                        TimeValue(Seconds(1)), MakeTimeAccessor(&MembershipTraceHelper::m_interval),
                        MakeTimeChecker(Time(0)))
          .AddAttribute("Spacing", "How requests without a time of their own are spaced.",
                        EnumValue(MembershipTraceHelper::FIXED),
                        MakeEnumAccessor(&MembershipTraceHelper::m_spacing),
                        MakeEnumChecker(MembershipTraceHelper::FIXED, "Fixed",
                                        MembershipTraceHelper::POISSON, "Poisson"))
          .AddTraceSource("Join", "A node joined a session.",
                          MakeTraceSourceAccessor(&MembershipTraceHelper::m_joinTrace),
                          "ns3::MembershipTraceHelper::JoinTracedCallback")
          .AddTraceSource("Leave", "A node left a session.",
                          MakeTraceSourceAccessor(&MembershipTraceHelper::m_leaveTrace),
                          "ns3::MembershipTraceHelper::LeaveTracedCallback")
          .AddTraceSource("Finished", "The last request of the trace has happened.",
                          MakeTraceSourceAccessor(&MembershipTraceHelper::m_finishedTrace),
                          "ns3::TracedCallback::Void");
  return tid;
}

MembershipTraceHelper::MembershipTraceHelper()
    : m_start(Seconds(1)),
      m_interval(Seconds(1)),
      m_spacing(FIXED),
      m_gap(CreateObject<ExponentialRandomVariable>()),
      m_loaded(false),
      m_installed(false),
      m_networkSize(0),
      m_done(0) {
}

MembershipTraceHelper::~MembershipTraceHelper() = default;

void MembershipTraceHelper::DoDispose() {
  m_gap = nullptr;
  m_nodes = NodeContainer();
  Object::DoDispose();
}

void MembershipTraceHelper::Load(Loader& loader) {
  static_assert(sizeof(void*) != 8 || sizeof(Request) <= 48, "a request outgrew 48 bytes");
  NS_ABORT_MSG_IF(m_installed, "MembershipTraceHelper: a trace cannot be replaced once installed");
  m_sources = std::move(loader.sources);
  m_requests = std::move(loader.requests);
  m_networkSize = loader.networkSize;
  m_members.assign(m_sources.size(), {});
  m_done = 0;
  m_loaded = true;
}

void MembershipTraceHelper::SetTraceFile(const std::string& path) {
  Loader loader;
  try {
    grouptrace::FileSource file(path);
    grouptrace::readTrace(file, loader);
  } catch (const grouptrace::TraceError& e) {
    NS_FATAL_ERROR("MembershipTraceHelper: " << path << ":" << e.line() << ": " << e.reason());
  } catch (const std::system_error& e) {
    // FileSource names the path itself.
    NS_FATAL_ERROR("MembershipTraceHelper: " << e.what());
  }
  Load(loader);
  NS_LOG_INFO("loaded " << path << ": " << m_requests.size() << " requests, " << m_sources.size()
                        << " sessions, " << m_networkSize << " nodes");
}

void MembershipTraceHelper::SetParameters(const grouptrace::Parameters& parameters, int32_t seed) {
  grouptrace::RunConfig config;
  config.parameters = parameters;
  config.seed = seed;
  SetRunConfig(config);
}

void MembershipTraceHelper::SetRunConfig(const grouptrace::RunConfig& config) {
  Loader loader;
  try {
    grouptrace::generate(config, loader);
  } catch (const grouptrace::ParameterError& e) {
    NS_FATAL_ERROR("MembershipTraceHelper: parameters refused: " << e.what());
  } catch (const std::invalid_argument& e) {
    NS_FATAL_ERROR(
        "MembershipTraceHelper: the timed model refuses its configuration: " << e.what());
  }
  // A generated trace knows its network, which can hold nodes no request names.
  loader.networkSize = static_cast<uint32_t>(config.parameters.nNodes);
  Load(loader);
}

void MembershipTraceHelper::SetParameterFile(const std::string& path, int32_t seed) {
  std::ifstream in(path, std::ios::binary);
  NS_ABORT_MSG_IF(!in, "MembershipTraceHelper: cannot open parameter file " << path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  grouptrace::Parameters parameters;
  try {
    parameters = grouptrace::parseParameters(text);
  } catch (const grouptrace::ParameterError& e) {
    NS_FATAL_ERROR("MembershipTraceHelper: " << path << ": " << e.what());
  }
  SetParameters(parameters, seed);
}

uint32_t MembershipTraceHelper::GetNetworkSize() const {
  return m_networkSize;
}

uint32_t MembershipTraceHelper::GetSessionCount() const {
  return static_cast<uint32_t>(m_sources.size());
}

uint32_t MembershipTraceHelper::GetRequestCount() const {
  return static_cast<uint32_t>(m_requests.size());
}

uint32_t MembershipTraceHelper::GetRequestsDone() const {
  return m_done;
}

void MembershipTraceHelper::Install(NodeContainer nodes) {
  NS_ABORT_MSG_IF(
      !m_loaded, "MembershipTraceHelper::Install: no trace loaded (SetTraceFile or SetParameters)");
  NS_ABORT_MSG_IF(m_installed, "MembershipTraceHelper::Install: already installed");
  if (nodes.GetN() < m_networkSize) {
    NS_FATAL_ERROR("MembershipTraceHelper::Install: the trace needs "
                   << m_networkSize << " nodes (0 to " << m_networkSize - 1
                   << ") but the container holds " << nodes.GetN());
  }
  m_nodes = nodes;
  m_installed = true;
  if (!m_requests.empty()) {
    ScheduleRequest(0, Time(0));
  }
}

int64_t MembershipTraceHelper::AssignStreams(int64_t stream) {
  m_gap->SetStream(stream);
  return 1;
}

// Requests are scheduled one at a time, each when the one before happens, so
// that a long trace does not fill the event queue and the POISSON gaps are
// drawn in request order whatever else draws in between.
void MembershipTraceHelper::ScheduleRequest(uint32_t index, Time previous) {
  const Request& request = m_requests[index];
  Time at;
  if (request.time) {
    at = m_start + Seconds(*request.time);
    NS_ABORT_MSG_IF(index > 0 && at < previous, "MembershipTraceHelper: request "
                                                    << index << " is timed at " << at.As(Time::S)
                                                    << ", before the one before it");
  } else if (index == 0) {
    at = m_start;
  } else if (m_spacing == POISSON) {
    at = previous + Seconds(m_gap->GetValue(m_interval.GetSeconds(), 0));
  } else {
    at = previous + m_interval;
  }
  Time now = Simulator::Now();
  NS_ABORT_MSG_IF(at < now, "MembershipTraceHelper: request " << index << " falls at "
                                                              << at.As(Time::S)
                                                              << ", before Install was called");
  Simulator::Schedule(at - now, &MembershipTraceHelper::Apply, this, index);
}

void MembershipTraceHelper::Apply(uint32_t index) {
  const Request& r = m_requests[index];
  ++m_done;
  if (r.join) {
    m_members[r.session].insert(r.node);
    NS_LOG_INFO(Simulator::Now().As(Time::S)
                << " join node " << r.node << " session " << r.session << " band " << r.band
                << " delay " << r.delay << " hops " << r.hops);
    m_joinTrace(r.node, r.session, r.band, r.delay, r.hops);
  } else {
    m_members[r.session].erase(r.node);
    NS_LOG_INFO(Simulator::Now().As(Time::S)
                << " leave node " << r.node << " session " << r.session);
    m_leaveTrace(r.node, r.session);
  }
  if (index + 1 < m_requests.size()) {
    ScheduleRequest(index + 1, Simulator::Now());
  } else {
    m_finishedTrace();
  }
}

void MembershipTraceHelper::CheckSession(uint32_t session) const {
  NS_ABORT_MSG_IF(session >= m_sources.size(), "MembershipTraceHelper: no session "
                                                   << session << " (the trace has "
                                                   << m_sources.size() << ")");
}

Ptr<Node> MembershipTraceHelper::GetNode(uint32_t traceNode) const {
  NS_ABORT_MSG_IF(!m_installed, "MembershipTraceHelper::GetNode: not installed");
  NS_ABORT_MSG_IF(traceNode >= m_nodes.GetN(),
                  "MembershipTraceHelper::GetNode: no node " << traceNode);
  return m_nodes.Get(traceNode);
}

uint32_t MembershipTraceHelper::Source(uint32_t session) const {
  CheckSession(session);
  return m_sources[session];
}

std::vector<uint32_t> MembershipTraceHelper::Members(uint32_t session) const {
  CheckSession(session);
  return std::vector<uint32_t>(m_members[session].begin(), m_members[session].end());
}

bool MembershipTraceHelper::IsMember(uint32_t session, uint32_t node) const {
  CheckSession(session);
  return m_members[session].count(node) != 0;
}

}  // namespace ns3
