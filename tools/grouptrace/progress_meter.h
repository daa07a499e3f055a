#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/run_monitor.h"

namespace grouptrace {

// Shows how far a long run has come, on one line of standard error rewritten
// in place: requests handed out and, in a timed run, the simulated time. Only
// for a person watching (the program turns it on when standard error is a
// terminal, and the trace does not go to one): scripts, pipes and tests see
// nothing. The run calls it between stretches of its work, so it costs the
// requests nothing; it writes at most twice a second, from the first second
// on, and clears its line when the run is over.
class ProgressMeter {
 public:
  // `clock` gives monotonic nanoseconds; `write` takes the text to show.
  using Clock = std::int64_t (*)();
  using Writer = void (*)(const std::string& text);
  ProgressMeter(std::optional<double> duration, Clock clock, Writer write);
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  RunMonitor monitor() { return {&ProgressMeter::called, this}; }
  void update(const RunProgress& progress);

  // The line for where a run stands, without the control characters.
  static std::string line(const RunProgress& progress, std::optional<double> duration);

  // Monotonic nanoseconds, and a writer to standard error.
  static std::int64_t steadyNanoseconds();
  static void toStandardError(const std::string& text);

 private:
  static void called(void* meter, const RunProgress& progress) {
    static_cast<ProgressMeter*>(meter)->update(progress);
  }

  std::optional<double> duration_;
  Clock clock_;
  Writer write_;
  std::int64_t start_;
  std::int64_t last_ = 0;
  bool shown_ = false;
};

}  // namespace grouptrace
