#include "trace_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string_view>
#include <type_traits>
#include <vector>

#include "manifest/manifest.h"
#include "wording.h"

namespace grouptrace {
namespace {

std::string format(const char* pattern, auto... values) {
  char line[256];
  std::snprintf(line, sizeof line, pattern, values...);
  return line;
}

std::string histogramLines(const char* name, const ValueHistogram& h) {
  if (h.count() == 0) return format("%s: no joins\n", name);
  std::string out =
      format("%-6s min %lld   mean %.2f   max %lld\n", name, static_cast<long long>(h.min()),
             h.mean(), static_cast<long long>(h.max()));
  int first = 0;
  int last = ValueHistogram::kBins - 1;
  while (h.binCount(first) == 0) ++first;
  while (h.binCount(last) == 0) --last;
  Count most = 0;
  std::size_t labelWidth = 0;
  std::vector<std::string> labels;
  for (int i = first; i <= last; ++i) {
    most = std::max(most, h.binCount(i));
    const long long low = h.binLow(i);
    const long long high = low + h.binWidth() - 1;
    labels.push_back(h.binWidth() == 1 ? format("%lld", low) : format("%lld .. %lld", low, high));
    labelWidth = std::max(labelWidth, labels.back().size());
  }
  constexpr int kBar = 40;
  for (int i = first; i <= last; ++i) {
    const Count n = h.binCount(i);
    const int bar = static_cast<int>((n * kBar + most - 1) / most);
    out +=
        format("  %*s  %-*s %lld\n", static_cast<int>(labelWidth),
               labels[static_cast<std::size_t>(i - first)].c_str(), kBar,
               std::string(static_cast<std::size_t>(bar), '#').c_str(), static_cast<long long>(n));
  }
  return out;
}

// Smallest, mean and largest of a per-session figure, over sessions >= 1.
template <class Value>
struct Spread {
  Value low;
  double mean;
  Value high;
};

template <class Value>
Spread<Value> spreadOf(std::int32_t sessions, Value (*value)(std::int32_t, const TraceStats&),
                       const TraceStats& stats) {
  Value low = value(0, stats);
  Value high = low;
  double sum = 0;
  for (std::int32_t s = 0; s < sessions; ++s) {
    const Value v = value(s, stats);
    low = std::min(low, v);
    high = std::max(high, v);
    sum += static_cast<double>(v);
  }
  return {low, sum / sessions, high};
}

template <class Value>
std::string spreadLine(const char* label, std::int32_t sessions,
                       Value (*value)(std::int32_t, const TraceStats&), const TraceStats& stats) {
  const Spread<Value> s = spreadOf(sessions, value, stats);
  if constexpr (std::is_integral_v<Value>) {
    return format("  %-16s min %-10lld mean %-10.2f max %lld\n", label,
                  static_cast<long long>(s.low), s.mean, static_cast<long long>(s.high));
  } else {
    return format("  %-16s min %-10.2f mean %-10.2f max %.2f\n", label, s.low, s.mean, s.high);
  }
}

}  // namespace

void TraceStats::change(std::int32_t session, Count size) {
  Group& g = groups_[static_cast<std::size_t>(session)];
  ++steps_;
  // The size held still over the requests of other sessions since its last change.
  g.area += static_cast<double>(g.size) * static_cast<double>(steps_ - 1 - g.since);
  g.size = size;
  g.largest = std::max(g.largest, g.size);
  g.area += static_cast<double>(g.size);
  g.since = steps_;
}

double TraceStats::meanSize(std::int32_t session) const {
  const Group& g = group(session);
  if (steps_ == 0) return static_cast<double>(g.size);
  const double area = g.area + static_cast<double>(g.size) * static_cast<double>(steps_ - g.since);
  return area / static_cast<double>(steps_);
}

void TraceStats::changeAt(std::int32_t session, NODEID node, int delta,
                          const std::optional<double>& time) {
  if (!time) return;
  const double t = *time;
  Group& g = groups_[static_cast<std::size_t>(session)];
  g.timeArea += static_cast<double>(g.size) * (t - g.changed);
  g.changed = t;
  lastTime_ = t;
  const std::uint64_t key =
      (std::uint64_t{static_cast<std::uint32_t>(session)} << 32) | static_cast<std::uint32_t>(node);
  if (delta > 0) {
    if (t > 0) {
      ++arrivals_;
      joinedAt_[key] = t;
    }
    return;
  }
  const auto it = joinedAt_.find(key);
  if (it == joinedAt_.end()) return;
  // A leave forced by the end of the run cuts the stay short.
  if (phase_ == TracePhase::joinLeave) {
    stays_.push_back(t - it->second);
    staysSorted_ = false;
  }
  joinedAt_.erase(it);
}

double TraceStats::duration() const {
  return durationRecorded() ? *header_.duration : lastTime_;
}

bool TraceStats::durationRecorded() const {
  return timed() && recorded_.duration;
}

double TraceStats::joinRate() const {
  const double t = duration();
  return t > 0 ? static_cast<double>(arrivals_) / t : 0;
}

double TraceStats::stayQuantile(double q) const {
  if (!staysSorted_) {
    std::sort(stays_.begin(), stays_.end());
    staysSorted_ = true;
  }
  const auto n = static_cast<double>(stays_.size());
  const auto rank = static_cast<std::size_t>(std::max(std::ceil(q * n), 1.0));
  return stays_[std::min(rank, stays_.size()) - 1];
}

double TraceStats::stayMean() const {
  double sum = 0;
  for (const double h : stays_) sum += h;
  return sum / static_cast<double>(stays_.size());
}

double TraceStats::timeMeanSize(std::int32_t session) const {
  const Group& g = group(session);
  const double t = duration();
  if (t <= 0) return static_cast<double>(g.size);
  return (g.timeArea + static_cast<double>(g.size) * (t - g.changed)) / t;
}

void TraceStats::read(AnyTraceReader& reader) {
  for (TraceEvent event; reader.next(event);) add(event, reader);
  recorded_ = reader.recorded();
}

// The reader has applied each request before handing it out: its group size
// is the size after the request.
void TraceStats::add(const TraceEvent& event, const AnyTraceReader& reader) {
  if (const auto* join = std::get_if<JoinRecord>(&event)) {
    ++joins_[index(phase_)];
    changeAt(join->session, join->node, +1, join->time);
    change(join->session, reader.groupSize(join->session));
    band_.add(static_cast<std::int64_t>(join->band));
    delay_.add(static_cast<std::int64_t>(join->delay));
    hops_.add(join->hops);
  } else if (const auto* leave = std::get_if<LeaveRecord>(&event)) {
    ++leaves_[index(phase_)];
    changeAt(leave->session, leave->node, -1, leave->time);
    change(leave->session, reader.groupSize(leave->session));
  } else if (const auto* start = std::get_if<PhaseStart>(&event)) {
    phase_ = start->phase;
  } else if (const auto* entry = std::get_if<SessionEntry>(&event)) {
    groups_.push_back(Group{entry->source});
  } else if (const auto* header = std::get_if<TraceHeader>(&event)) {
    header_ = *header;
  } else if (const auto* summary = std::get_if<TraceSummary>(&event)) {
    summary_ = *summary;
  }
}

std::string TraceStats::report() const {
  const auto n = sessions();
  Count allJoins = 0;
  Count allLeaves = 0;
  for (std::size_t p = 0; p < 3; ++p) {
    allJoins += joins_[p];
    allLeaves += leaves_[p];
  }
  std::string out = traceCounts(n, allJoins, allLeaves);
  if (recorded_.headerValues) {
    out += format("; summary Trans %lld\n", static_cast<long long>(summary_.trans));
    out += format("average group size %d, join-leave %s\n\n", header_.avgSize,
                  header_.orderedJoinLeave != 0 ? "ordered" : "random");
  } else {
    out += "\n(CSV records neither the header's values nor the transaction counter)\n\n";
  }

  out += format("%-18s %12s %12s %12s\n", "requests by phase", "joins", "leaves", "total");
  for (std::size_t p = 0; p < 3; ++p) {
    out += format("  %-16s %12lld %12lld %12lld\n",
                  std::string(phaseName(static_cast<TracePhase>(p))).c_str(),
                  static_cast<long long>(joins_[p]), static_cast<long long>(leaves_[p]),
                  static_cast<long long>(joins_[p] + leaves_[p]));
  }
  out += format("  %-16s %12lld %12lld %12lld\n\n", "whole trace", static_cast<long long>(allJoins),
                static_cast<long long>(allLeaves), static_cast<long long>(allJoins + allLeaves));

  if (n == 0) return out;
  out += "group size (members, source included; mean over the states after each request)\n";
  out += spreadLine<Count>(
      "at end", n, [](std::int32_t s, const TraceStats& t) { return t.sizeAtEnd(s); }, *this);
  out += spreadLine<double>(
      "mean over trace", n, [](std::int32_t s, const TraceStats& t) { return t.meanSize(s); },
      *this);
  out += spreadLine<Count>(
      "max over trace", n, [](std::int32_t s, const TraceStats& t) { return t.largestSize(s); },
      *this);
  if (n <= kListedSessions) {
    out += format("  %8s %10s %8s %10s %8s\n", "session", "source", "at end", "mean", "max");
    for (std::int32_t s = 0; s < n; ++s) {
      out += format("  %8d %10d %8lld %10.2f %8lld\n", s, group(s).source,
                    static_cast<long long>(sizeAtEnd(s)), meanSize(s),
                    static_cast<long long>(largestSize(s)));
    }
  }
  out += "\nQoS requirements of the joins\n";
  out += histogramLines("band", band_);
  out += histogramLines("delay", delay_);
  out += histogramLines("hops", hops_);
  if (!timed()) return out;

  const double t = duration();
  if (durationRecorded()) {
    out += format("\ntimed run over %.6g s, %s\n", t,
                  counted(blocked(), "arrival blocked", "arrivals blocked").c_str());
  } else {
    out += format(
        "\ntimed run, the last request at %.6g s (CSV records neither the run's duration nor "
        "its blocked arrivals)\n",
        t);
  }
  out += format("join rate %.6g per second (%lld joins in (0, %.6g] s)\n", joinRate(),
                static_cast<long long>(arrivals_), t);
  const Count censored = censoredStays();
  if (stays_.empty()) {
    out += "holding time: no stay seen whole (joined after 0 and left before the end)\n";
  } else {
    out += format("holding time of %s (joined after 0, left before the end), in s\n",
                  counted(static_cast<long long>(stays_.size()), "stay", "stays").c_str());
    out +=
        format("  p10 %-10.4g p50 %-10.4g p90 %-10.4g p99 %-10.4g mean %.4g\n", stayQuantile(0.10),
               stayQuantile(0.50), stayQuantile(0.90), stayQuantile(0.99), stayMean());
  }
  // Said every time: the figures above leave these stays out, and a reader of
  // an open-ended run would otherwise take them for the whole.
  out += format("  %s cut off by the end of the run%s\n",
                counted(static_cast<long long>(censored), "stay", "stays").c_str(),
                censored == 0 || stays_.empty()
                    ? ""
                    : ": left out, so the figures above understate the holding time");
  out += "group size averaged over time (members, source included)\n";
  out += spreadLine<double>(
      "over 0 to T", n, [](std::int32_t s, const TraceStats& x) { return x.timeMeanSize(s); },
      *this);
  if (n <= kListedSessions) {
    out += format("  %8s %10s\n", "session", "time mean");
    for (std::int32_t s = 0; s < n; ++s) out += format("  %8d %10.2f\n", s, timeMeanSize(s));
  }
  return out;
}

namespace {

// The keys of the data forms, in order; the manual page lists them.
constexpr std::string_view kKeys[] = {"file",
                                      "sessions",
                                      "joins",
                                      "leaves",
                                      "requests",
                                      "trans",
                                      "avg_size",
                                      "ordered",
                                      "beef_up_joins",
                                      "join_leave_joins",
                                      "join_leave_leaves",
                                      "end_of_session_leaves",
                                      "size_end_min",
                                      "size_end_mean",
                                      "size_end_max",
                                      "size_mean_min",
                                      "size_mean_mean",
                                      "size_mean_max",
                                      "size_max_min",
                                      "size_max_mean",
                                      "size_max_max",
                                      "band_min",
                                      "band_mean",
                                      "band_max",
                                      "delay_min",
                                      "delay_mean",
                                      "delay_max",
                                      "hops_min",
                                      "hops_mean",
                                      "hops_max",
                                      "duration",
                                      "blocked",
                                      "join_rate",
                                      "stays",
                                      "stays_censored",
                                      "stay_p10",
                                      "stay_p50",
                                      "stay_p90",
                                      "stay_p99",
                                      "stay_mean",
                                      "time_size_min",
                                      "time_size_mean",
                                      "time_size_max"};

// A value as JSON writes it; "null" stands for none.
std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

// Smallest, mean and largest of a per-session figure.
template <class Value>
void spread(std::vector<std::string>& values, std::int32_t sessions,
            Value (*value)(std::int32_t, const TraceStats&), const TraceStats& stats) {
  if (sessions == 0) {
    values.insert(values.end(), 3, "null");
    return;
  }
  const Spread<Value> s = spreadOf(sessions, value, stats);
  values.push_back(number(static_cast<double>(s.low)));
  values.push_back(number(s.mean));
  values.push_back(number(static_cast<double>(s.high)));
}

void histogram(std::vector<std::string>& values, const ValueHistogram& h) {
  const bool any = h.count() > 0;
  values.push_back(any ? std::to_string(h.min()) : "null");
  values.push_back(any ? number(h.mean()) : "null");
  values.push_back(any ? std::to_string(h.max()) : "null");
}

std::string csvCell(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// The figures in the order of kKeys, the file's own left empty.
std::vector<std::string> statsValues(const TraceStats& t, Count trans, const TraceHeader& header) {
  Count joins = 0, leaves = 0;
  for (const TracePhase p : {TracePhase::beefUp, TracePhase::joinLeave, TracePhase::endOfSession}) {
    joins += t.joins(p);
    leaves += t.leaves(p);
  }
  const auto n = t.sessions();
  std::vector<std::string> values = {std::string(),
                                     std::to_string(n),
                                     std::to_string(joins),
                                     std::to_string(leaves),
                                     std::to_string(joins + leaves),
                                     std::to_string(trans),
                                     std::to_string(header.avgSize),
                                     std::to_string(header.orderedJoinLeave),
                                     std::to_string(t.joins(TracePhase::beefUp)),
                                     std::to_string(t.joins(TracePhase::joinLeave)),
                                     std::to_string(t.leaves(TracePhase::joinLeave)),
                                     std::to_string(t.leaves(TracePhase::endOfSession))};
  spread<Count>(
      values, n, [](std::int32_t s, const TraceStats& x) { return x.sizeAtEnd(s); }, t);
  spread<double>(
      values, n, [](std::int32_t s, const TraceStats& x) { return x.meanSize(s); }, t);
  spread<Count>(
      values, n, [](std::int32_t s, const TraceStats& x) { return x.largestSize(s); }, t);
  histogram(values, t.band());
  histogram(values, t.delay());
  histogram(values, t.hops());
  if (!t.timed()) {
    values.insert(values.end(), 13, "null");
    return values;
  }
  values.push_back(t.durationRecorded() ? number(t.duration()) : "null");
  values.push_back(t.durationRecorded() ? std::to_string(t.blocked()) : "null");
  values.push_back(number(t.joinRate()));
  values.push_back(std::to_string(t.stays().size()));
  values.push_back(std::to_string(t.censoredStays()));
  if (t.stays().empty()) {
    values.insert(values.end(), 5, "null");
  } else {
    for (const double q : {0.10, 0.50, 0.90, 0.99}) values.push_back(number(t.stayQuantile(q)));
    values.push_back(number(t.stayMean()));
  }
  spread<double>(
      values, n, [](std::int32_t s, const TraceStats& x) { return x.timeMeanSize(s); }, t);
  return values;
}

}  // namespace

std::string TraceStats::json(const std::string& file) const {
  std::vector<std::string> values = statsValues(*this, summary_.trans, header_);
  values[0] = jsonString(file);
  if (!recorded_.headerValues) std::fill(values.begin() + 5, values.begin() + 8, "null");
  static_assert(std::size(kKeys) == 43);
  std::string out = "{";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    out += jsonString(kKeys[i]);
    out += ':';
    out += values[i];
  }
  return out + "}\n";
}

std::string TraceStats::csvRow(const std::string& file) const {
  std::vector<std::string> values = statsValues(*this, summary_.trans, header_);
  values[0] = csvCell(file);
  if (!recorded_.headerValues) std::fill(values.begin() + 5, values.begin() + 8, "null");
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    if (values[i] != "null") out += values[i];
  }
  return out + "\n";
}

std::string TraceStats::csvHeader() {
  std::string out;
  for (const std::string_view key : kKeys) {
    if (!out.empty()) out += ',';
    out += key;
  }
  return out + "\n";
}

}  // namespace grouptrace
