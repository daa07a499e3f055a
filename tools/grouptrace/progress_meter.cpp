#include "progress_meter.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace grouptrace {
namespace {

constexpr std::int64_t kFirstShow = 1'000'000'000;  // a run shorter than a second shows nothing
constexpr std::int64_t kEvery = 500'000'000;

// 12,345,678: a count a person reads at a glance.
std::string grouped(Count n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') out += ',';
    out += digits[i];
  }
  return out;
}

}  // namespace

ProgressMeter::ProgressMeter(std::optional<double> duration, Clock clock, Writer write)
    : duration_(duration), clock_(clock), write_(write), start_(clock()) {
}

ProgressMeter::~ProgressMeter() {
  // The line goes once the run is over, whatever ended it: the shell's prompt
  // or the error message takes its place.
  if (shown_) write_("\r\x1b[K");
}

std::string ProgressMeter::line(const RunProgress& progress, std::optional<double> duration) {
  // Appended, not added: GCC 12 warns wrongly about a copy in `"x" + s`.
  std::string text = "grouptrace: ";
  text += grouped(progress.requests);
  text += " requests";
  if (progress.time && duration) {
    char time[96];
    if (*duration > 0) {
      std::snprintf(time, sizeof time, ", %.6g of %.6g s simulated (%.0f%%)", *progress.time,
                    *duration, 100 * *progress.time / *duration);
    } else {
      std::snprintf(time, sizeof time, ", at %.6g s", *progress.time);
    }
    text += time;
  }
  return text;
}

void ProgressMeter::update(const RunProgress& progress) {
  const std::int64_t now = clock_();
  if (now - start_ < kFirstShow || (shown_ && now - last_ < kEvery)) return;
  last_ = now;
  shown_ = true;
  std::string text = "\r";
  text += line(progress, duration_);
  text += "\x1b[K";
  write_(text);
}

std::int64_t ProgressMeter::steadyNanoseconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

void ProgressMeter::toStandardError(const std::string& text) {
  // Best effort: a terminal that went away is no reason to stop the run.
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace grouptrace
