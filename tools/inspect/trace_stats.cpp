#include "trace_stats.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>
#include <vector>

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

// Smallest, mean and largest of a value over all sessions.
template <class Value>
std::string spreadLine(const char* label, std::int32_t sessions,
                       Value (*value)(std::int32_t, const TraceStats&), const TraceStats& stats) {
  Value low = value(0, stats);
  Value high = low;
  double sum = 0;
  for (std::int32_t s = 0; s < sessions; ++s) {
    const Value v = value(s, stats);
    low = std::min(low, v);
    high = std::max(high, v);
    sum += static_cast<double>(v);
  }
  const double mean = sum / sessions;
  if constexpr (std::is_integral_v<Value>) {
    return format("  %-16s min %-10lld mean %-10.2f max %lld\n", label, static_cast<long long>(low),
                  mean, static_cast<long long>(high));
  } else {
    return format("  %-16s min %-10.2f mean %-10.2f max %.2f\n", label, low, mean, high);
  }
}

}  // namespace

void TraceStats::change(std::int32_t session, int delta) {
  Group& g = groups_[static_cast<std::size_t>(session)];
  ++steps_;
  // The size held still over the requests of other sessions since its last change.
  g.area += static_cast<double>(g.size) * static_cast<double>(steps_ - 1 - g.since);
  g.size += delta;
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

void TraceStats::add(const TraceEvent& event) {
  if (const auto* join = std::get_if<JoinRecord>(&event)) {
    ++joins_[index(phase_)];
    change(join->session, +1);
    band_.add(static_cast<std::int64_t>(join->band));
    delay_.add(static_cast<std::int64_t>(join->delay));
    hops_.add(join->hops);
  } else if (const auto* leave = std::get_if<LeaveRecord>(&event)) {
    ++leaves_[index(phase_)];
    change(leave->session, -1);
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
  std::string out = traceCounts(n, allJoins, allLeaves) +
                    format("; summary Trans %lld\n", static_cast<long long>(summary_.trans));
  out += format("average group size %d, join-leave %s\n\n", header_.avgSize,
                header_.orderedJoinLeave != 0 ? "ordered" : "random");

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
  return out;
}

}  // namespace grouptrace
