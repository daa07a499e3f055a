#pragma once

// Where a request's time comes from. Today's records (JoinRecord, LeaveRecord)
// carry no time, and the helper spaces them itself; a record type that gains a
// `std::optional<double> time` (seconds from the start of the trace) is
// scheduled at that time instead, with no change here or in the helper.

#include <optional>
#include <type_traits>
#include <utility>

namespace grouptrace_ns3 {

template <class Record, class = void>
struct HasTime : std::false_type {};

template <class Record>
struct HasTime<Record, std::void_t<decltype(std::declval<const Record&>().time)>> : std::true_type {
};

// The one place a record's own time is taken.
template <class Record>
std::optional<double> RecordTime(const Record& record) {
  if constexpr (HasTime<Record>::value) {
    return std::optional<double>(record.time);
  } else {
    (void)record;
    return std::nullopt;
  }
}

}  // namespace grouptrace_ns3
