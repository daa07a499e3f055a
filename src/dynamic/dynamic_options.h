#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "grouptrace/dynamic_model.h"
#include "grouptrace/parameters.h"

namespace grouptrace::dynamic {

// The option names and accepted forms the messages below use.
inline constexpr std::string_view kDurationForm = "--duration SECONDS";
inline constexpr std::string_view kHoldingForm =
    "--holding exp:MEAN, lognormal:MU:SIGMA or pareto:SCALE:SHAPE";
inline constexpr std::string_view kPopularityForm = "--popularity uniform or zipf:ALPHA";
inline constexpr std::string_view kJoinRateForm = "--join-rate JOINS_PER_SECOND";
inline constexpr std::string_view kDiurnalForm = "--diurnal A[:PERIOD[:PEAK]]";
inline constexpr std::string_view kStartForm = "--start steady or empty";
inline constexpr std::string_view kEndForm = "--end leave or open";

// Parsers of the option texts. Each reads the whole text or throws
// std::invalid_argument whose message names the option, its accepted form and
// the text found; the values are then checked as validate() does.
double parseDuration(std::string_view text);
HoldingLaw parseHolding(std::string_view text);
Popularity parsePopularity(std::string_view text);
double parseJoinRate(std::string_view text);
Diurnal parseDiurnal(std::string_view text);
StartState parseStart(std::string_view text);
EndRule parseEnd(std::string_view text);

// Refuses values the model cannot run with (std::invalid_argument naming the
// option and what it accepts): non-finite or negative numbers, a mean stay of 0
// or one that overflows, SHAPE <= 1, A outside [0, 1), a period of 0 or one too
// short for the clock to follow over the run, an unknown model version.
void validate(const DynamicOptions& options);

// What a run's parameters and options come to before it starts.
struct RunPlan {
  double meanStay = 0;  // E[H]
  double joinRate = 0;  // lambda, over all sessions
  // The mean number of members a session holds at time 0 per unit of its join
  // rate (dynamic-2: under its rhythm's state at 0; dynamic-1: E[H]).
  double presence = 0;
  std::vector<double> weights;  // each session's share p_s of the joins
  // What the run is expected to do, for the refusal of runs no machine could
  // finish: requests (joins and leaves, those at the start included), and the
  // steps of its loops that hand out nothing.
  double requests = 0;
  double idleSteps = 0;
};

// The most requests a run may be expected to make: 10^15 lines of a few dozen
// bytes are tens of petabytes.
inline constexpr double kMostRequests = 1e15;

// Works the run out, and refuses (std::invalid_argument naming the option or
// parameter) what validate(options) refuses, classic parameters a timed run
// cannot use (fewer than 2 nodes: a session needs a node besides its source; no
// session; orderedJoinLeave other than 0, since strict alternation has no
// meaning in continuous time; a negative avgSize when it sets the join rate),
// rates that overflow, and a run expected to make more than kMostRequests
// requests or idle steps, with the number. maxTrans and currTrans are ignored.
RunPlan planRun(const Parameters& parameters, const DynamicOptions& options);

// The refusals of planRun, without keeping the plan.
void validate(const Parameters& parameters, const DynamicOptions& options);

// Each option as the command line, the Python module and the manifest name it,
// with its reader and its canonical text (which the reader takes back to the
// same value: a manifest records the text).
struct OptionEntry {
  std::string_view option;   // "--holding"
  std::string_view keyword;  // the Python keyword and manifest key: "holding"
  std::string_view form;     // the accepted form, for messages and --help
  std::string_view meaning;  // a short description, for --help
  void (*apply)(DynamicOptions& options, std::string_view text);  // throws invalid_argument
  std::string (*text)(const DynamicOptions& options);             // empty: not set (join rate)
};

// The one table of the timed model's options; --model dynamic and --duration
// are the two a timed run needs.
extern const std::array<OptionEntry, 7> kOptionTable;

}  // namespace grouptrace::dynamic
