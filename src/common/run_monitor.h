#pragma once

#include <cstdint>
#include <optional>

#include "grouptrace/types.h"

namespace grouptrace {

// Where a run stands: requests handed out so far and, in a timed run, the
// time reached.
struct RunProgress {
  Count requests = 0;
  std::optional<double> time;
};

// Called by a run between stretches of its work, never once per request: every
// kMonitorSteps steps of any of its loops, those that hand out nothing (a
// start's draws, arrivals refused) included. A caller that must be able to stop
// the run (an interpreter's Ctrl-C) throws from here; one that shows progress
// reads it. Null when nobody watches.
struct RunMonitor {
  void (*call)(void* context, const RunProgress& progress) = nullptr;
  void* context = nullptr;
};
inline constexpr std::uint32_t kMonitorSteps = std::uint32_t{1} << 16;

// Tells the watcher, if any, that `requests` have been handed out.
inline void watchRun(const RunMonitor& monitor, Count requests) {
  if (monitor.call != nullptr) monitor.call(monitor.context, RunProgress{requests, std::nullopt});
}

}  // namespace grouptrace
