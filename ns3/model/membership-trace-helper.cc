#include "grouptrace-ns3/membership-trace-helper.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "grouptrace/any_trace_reader.h"
#include "grouptrace/file_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/trace_error.h"
#include "grouptrace/trace_handler.h"
#include "ns3/abort.h"
#include "ns3/boolean.h"
#include "ns3/enum.h"
#include "ns3/fatal-error.h"
#include "ns3/log.h"
#include "ns3/simulator.h"

namespace ns3 {

NS_LOG_COMPONENT_DEFINE("MembershipTraceHelper");
NS_OBJECT_ENSURE_REGISTERED(MembershipTraceHelper);

namespace {

// The latest time ns-3's clock holds, in seconds. A double this large is
// already past the clock's last nanosecond, so a time must stay below it.
double ClockLimit() {
  return Time::Max().GetSeconds();
}

int64_t WallNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// Collects a trace's sources and requests, stored or generated alike, and
// where the largest node first shows, for messages.
class MembershipTraceHelper::Loader : public grouptrace::TraceHandler {
 public:
  void onSession(const grouptrace::SessionEntry& entry) override {
    sources.push_back(static_cast<uint32_t>(entry.source));
    Grow(entry.source);
  }
  void onJoin(const grouptrace::JoinRecord& record) override {
    requests.emplace_back(record);
    lastRequestLine = line;
    Grow(record.node);
  }
  void onLeave(const grouptrace::LeaveRecord& record) override {
    requests.emplace_back(record);
    lastRequestLine = line;
    Grow(record.node);
  }

  std::vector<uint32_t> sources;
  std::vector<Request> requests;
  uint32_t networkSize = 0;  // largest node seen plus one
  uint64_t line = 0;         // of the event being handed in
  uint64_t largestNodeLine = 0;
  uint64_t lastRequestLine = 0;

 private:
  void Grow(grouptrace::NODEID node) {
    if (static_cast<uint32_t>(node) + 1 > networkSize) {
      networkSize = static_cast<uint32_t>(node) + 1;
      largestNodeLine = line;
    }
  }
};

TypeId MembershipTraceHelper::GetTypeId() {
  static TypeId tid =
      TypeId("ns3::MembershipTraceHelper")
          .SetParent<Object>()
          .SetGroupName("Grouptrace")
          .AddConstructor<MembershipTraceHelper>()
          .AddAttribute("StartTime", "When the first request happens.", TimeValue(Seconds(1)),
                        MakeTimeAccessor(&MembershipTraceHelper::m_start), MakeTimeChecker(Time(0)))
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
          .AddAttribute("AbortOnError",
                        "End the program with NS_FATAL_ERROR on a trace, parameters or a "
                        "container the helper refuses; false: throw MembershipTraceError.",
                        BooleanValue(true),
                        MakeBooleanAccessor(&MembershipTraceHelper::m_abortOnError),
                        MakeBooleanChecker())
          .AddAttribute("Progress",
                        "Show the simulated time and the requests done on standard error "
                        "while it is a terminal.",
                        BooleanValue(true), MakeBooleanAccessor(&MembershipTraceHelper::m_progress),
                        MakeBooleanChecker())
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
      m_abortOnError(true),
      m_progress(true),
      m_gap(CreateObject<ExponentialRandomVariable>()),
      m_loaded(false),
      m_installed(false),
      m_networkSize(0),
      m_largestNodeLine(0),
      m_lastRequestLine(0),
      m_done(0),
      m_showProgress(false),
      m_progressShownAt(0) {
}

MembershipTraceHelper::~MembershipTraceHelper() = default;

void MembershipTraceHelper::DoDispose() {
  m_gap = nullptr;
  m_nodes = NodeContainer();
  Object::DoDispose();
}

void MembershipTraceHelper::Fail(const std::string& message) const {
  if (m_abortOnError) NS_FATAL_ERROR("MembershipTraceHelper: " << message);
  throw MembershipTraceError(message);
}

void MembershipTraceHelper::Load(Loader& loader) {
  if (m_installed) Fail("a trace cannot be replaced once installed");
  m_sources = std::move(loader.sources);
  m_requests = std::move(loader.requests);
  m_networkSize = loader.networkSize;
  m_largestNodeLine = loader.largestNodeLine;
  m_lastRequestLine = loader.lastRequestLine;
  m_members.assign(m_sources.size(), {});
  m_done = 0;
  m_loaded = true;
  CheckTimes();
}

// A timed request past what ns-3's clock holds would wrap around to the past:
// refused with the limit, before anything is scheduled. A timed trace's
// requests come in time order, so the last one is the latest.
void MembershipTraceHelper::CheckTimes() const {
  if (m_requests.empty()) return;
  const std::optional<double>& time =
      std::visit([](const auto& record) -> const std::optional<double>& { return record.time; },
                 m_requests.back());
  if (!time || *time < ClockLimit() - m_start.GetSeconds()) return;
  std::ostringstream message;
  if (!m_traceFile.empty()) message << m_traceFile << ":" << m_lastRequestLine << ": ";
  message << "a request timed at " << *time << " s from StartTime " << m_start.GetSeconds()
          << " s falls past the latest time ns-3 can hold, " << static_cast<uint64_t>(ClockLimit())
          << " s";
  Fail(message.str());
}

void MembershipTraceHelper::SetTraceFile(const std::string& path) {
  Loader loader;
  m_traceFile = path;
  try {
    grouptrace::FileSource file(path);
    grouptrace::AnyTraceReader reader(file);
    grouptrace::TraceEvent event;
    while (reader.next(event)) {
      loader.line = reader.line();
      grouptrace::deliver(event, loader);
    }
  } catch (const grouptrace::TraceError& e) {
    Fail(path + ":" + std::to_string(e.line()) + ": " + e.reason());
  } catch (const std::system_error& e) {
    // FileSource names the path itself.
    Fail(e.what());
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
  m_traceFile.clear();
  try {
    grouptrace::generate(config, loader);
  } catch (const grouptrace::ParameterError& e) {
    Fail(std::string("parameters refused: ") + e.what());
  } catch (const std::invalid_argument& e) {
    Fail(std::string("the timed model refuses its configuration: ") + e.what());
  }
  // A generated trace knows its network, which can hold nodes no request names.
  loader.networkSize = static_cast<uint32_t>(config.parameters.nNodes);
  loader.largestNodeLine = 0;
  Load(loader);
}

void MembershipTraceHelper::SetParameterFile(const std::string& path, int32_t seed) {
  // Thirteen numbers and their comments: what is longer is no parameter file,
  // and a device that never ends (/dev/zero) is refused, not read forever.
  constexpr std::size_t kMostBytes = std::size_t{1} << 20;
  std::string text;
  try {
    grouptrace::FileSource file(path);
    char block[1 << 16];
    while (const std::size_t got = file.read(block, sizeof block)) {
      text.append(block, got);
      if (text.size() > kMostBytes) Fail(path + ": a parameter file of over 1 MiB");
    }
  } catch (const std::system_error& e) {
    // FileSource names the path itself.
    Fail(std::string("cannot read the parameter file: ") + e.what());
  }
  grouptrace::Parameters parameters;
  try {
    parameters = grouptrace::parseParameterFile(text);
  } catch (const grouptrace::ParameterError& e) {
    Fail(path + ": " + e.what());
  } catch (const std::invalid_argument& e) {
    Fail(path + ": " + e.what());
  }
  SetParameters(parameters, seed);
}

uint32_t MembershipTraceHelper::GetNetworkSize() const {
  return m_networkSize;
}

uint64_t MembershipTraceHelper::GetLargestNodeLine() const {
  return m_largestNodeLine;
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
  if (!m_loaded) Fail("Install: no trace loaded (SetTraceFile or SetParameters)");
  if (m_installed) Fail("Install: already installed");
  if (nodes.GetN() < m_networkSize) {
    std::ostringstream message;
    message << "Install: the trace needs " << m_networkSize << " nodes (0 to " << m_networkSize - 1
            << ") but the container holds " << nodes.GetN();
    Fail(message.str());
  }
  // StartTime may have moved since the trace was loaded.
  CheckTimes();
  CheckSpacing();
  m_nodes = nodes;
  m_installed = true;
  m_showProgress = m_progress && isatty(STDERR_FILENO) == 1;
  if (!m_requests.empty()) {
    ScheduleRequest(0, Time(0));
  }
}

int64_t MembershipTraceHelper::AssignStreams(int64_t stream) {
  m_gap->SetStream(stream);
  return 1;
}

// When request `index` happens, the one before it having happened at
// `previous`; `gap` is the spacing after it for a request without a time of
// its own. Gaps that add up past the clock's end are a fault of the
// simulation's configuration, refused here.
Time MembershipTraceHelper::RequestTime(uint32_t index, Time previous, double gap) const {
  const std::optional<double>& time =
      std::visit([](const auto& record) -> const std::optional<double>& { return record.time; },
                 m_requests[index]);
  double seconds;
  if (time) {
    seconds = m_start.GetSeconds() + *time;
  } else if (index == 0) {
    seconds = m_start.GetSeconds();
  } else {
    seconds = previous.GetSeconds() + gap;
  }
  if (seconds >= ClockLimit()) {
    std::ostringstream message;
    message << "request " << index + 1 << " would happen at " << seconds
            << " s, past the latest time ns-3 can hold, " << static_cast<uint64_t>(ClockLimit())
            << " s: give a shorter Interval";
    Fail(message.str());
  }
  return time ? m_start + Seconds(*time) : Seconds(seconds);
}

// Under FIXED spacing every request's time is known before the run, so a
// spacing that runs past the clock's end is refused by Install. Found during
// the run, it would have to leave Simulator::Run by an exception out of an
// event, which the simulator never releases.
void MembershipTraceHelper::CheckSpacing() const {
  if (m_spacing != FIXED) return;
  Time previous(0);
  for (uint32_t index = 0; index < m_requests.size(); ++index) {
    previous = RequestTime(index, previous, m_interval.GetSeconds());
  }
}

// Requests are scheduled one at a time, each when the one before happens, so
// that a long trace does not fill the event queue and the POISSON gaps are
// drawn in request order whatever else draws in between.
void MembershipTraceHelper::ScheduleRequest(uint32_t index, Time previous) {
  const bool timed =
      std::visit([](const auto& record) { return record.time.has_value(); }, m_requests[index]);
  const double gap = m_spacing == POISSON && !timed && index > 0
                         ? m_gap->GetValue(m_interval.GetSeconds(), 0)
                         : m_interval.GetSeconds();
  const Time at = RequestTime(index, previous, gap);
  NS_ABORT_MSG_IF(timed && index > 0 && at < previous, "MembershipTraceHelper: request "
                                                           << index + 1 << " is timed at "
                                                           << at.As(Time::S)
                                                           << ", before the one before it");
  Time now = Simulator::Now();
  if (at < now) {
    std::ostringstream message;
    message << "request " << index + 1 << " falls at " << at.As(Time::S)
            << ", before the simulated time Install was called at, " << now.As(Time::S)
            << ": give a later StartTime";
    Fail(message.str());
  }
  Simulator::Schedule(at - now, &MembershipTraceHelper::Apply, this, index);
}

void MembershipTraceHelper::Apply(uint32_t index) {
  ++m_done;
  if (const auto* join = std::get_if<grouptrace::JoinRecord>(&m_requests[index])) {
    m_members[static_cast<uint32_t>(join->session)].insert(static_cast<uint32_t>(join->node));
    NS_LOG_INFO(Simulator::Now().As(Time::S)
                << " join node " << join->node << " session " << join->session << " band "
                << join->band << " delay " << join->delay << " hops " << join->hops);
    m_joinTrace(*join);
  } else {
    const auto& leave = std::get<grouptrace::LeaveRecord>(m_requests[index]);
    m_members[static_cast<uint32_t>(leave.session)].erase(static_cast<uint32_t>(leave.node));
    NS_LOG_INFO(Simulator::Now().As(Time::S)
                << " leave node " << leave.node << " session " << leave.session);
    m_leaveTrace(leave);
  }
  const bool last = index + 1 == m_requests.size();
  if (m_showProgress) ShowProgress(last);
  if (!last) {
    ScheduleRequest(index + 1, Simulator::Now());
  } else {
    m_finishedTrace();
  }
}

// A few times a second at most: a terminal is slow, and a long replay does
// millions of requests.
void MembershipTraceHelper::ShowProgress(bool last) {
  const int64_t now = WallNanoseconds();
  if (!last && now - m_progressShownAt < 250000000) return;
  m_progressShownAt = now;
  std::fprintf(stderr, "\r%.3f s simulated, %u of %zu requests done%s",
               Simulator::Now().GetSeconds(), m_done, m_requests.size(), last ? "\n" : "");
  std::fflush(stderr);
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
