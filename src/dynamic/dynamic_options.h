#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "grouptrace/parameters.h"

namespace grouptrace::dynamic {

// The timed model's version: traces made under one version stay the same bits
// for good; a change to any draw or rule makes a new version.
inline constexpr std::string_view kModelVersion = "dynamic-1";

// How long a member stays.
enum class HoldingFamily { exponential, lognormal, pareto };

struct HoldingLaw {
  HoldingFamily family = HoldingFamily::exponential;
  // exponential: first = MEAN. lognormal: first = MU, second = SIGMA (of ln H).
  // pareto: first = SCALE, second = SHAPE (> 1, so that the mean is finite).
  double first = 1800;
  double second = 0;
};

// The mean stay E[H].
double meanHolding(const HoldingLaw& law);

// Which sessions draw the joins: each in proportion to (s + 1)^-alpha; alpha 0
// is uniform.
struct Popularity {
  double alpha = 0;
};

// Every rate times 1 + amplitude cos(2 pi (t - peak) / period).
struct Diurnal {
  double amplitude = 0;
  double period = 86400;
  double peak = 72000;
};

enum class StartState { steady, empty };
enum class EndRule { leave, open };

// The options of a timed run, beside the classic parameters it shares (nodes,
// sessions, avgSize, the QoS ranges).
struct DynamicOptions {
  double duration = 86400;  // seconds; requests fall in (0, duration]
  HoldingLaw holding;
  Popularity popularity;
  // Joins per second over all sessions; by default avgSize * nSessions / E[H],
  // so that a session holds avgSize members besides its source on average.
  std::optional<double> joinRate;
  Diurnal diurnal;
  StartState start = StartState::steady;
  EndRule end = EndRule::leave;
};

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
// or one that overflows, SHAPE <= 1, A outside [0, 1), a period of 0.
void validate(const DynamicOptions& options);

// Refuses classic parameters a timed run cannot use: fewer than 2 nodes (a
// session needs a node besides its source), no session, orderedJoinLeave other
// than 0 (strict alternation has no meaning in continuous time), and a negative
// avgSize when it sets the join rate. maxTrans and currTrans are ignored.
void validate(const Parameters& parameters, const DynamicOptions& options);

}  // namespace grouptrace::dynamic
