#include "dynamic/dynamic_options.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <vector>

#include "common/message_text.h"
#include "common/number_text.h"
#include "dynamic/portable_math.h"
#include "dynamic/start_law.h"

namespace grouptrace::dynamic {
namespace {

[[noreturn]] void refuse(std::string_view form, std::string_view problem) {
  throw std::invalid_argument(std::string(form) + ": " + std::string(problem));
}

// Text from outside as every message of the project shows it.
std::string quoted(std::string_view text) {
  return quotedText(text, 64);
}

[[noreturn]] void refuseText(std::string_view form, std::string_view text) {
  refuse(form, "expected this form, found " + quoted(text));
}

std::vector<std::string_view> splitColons(std::string_view text) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto colon = text.find(':');
    parts.push_back(text.substr(0, colon));
    if (colon == std::string_view::npos) return parts;
    text.remove_prefix(colon + 1);
  }
}

// A decimal number, the whole of the text; the C locale's form whatever the
// process locale.
double number(std::string_view form, std::string_view whole, std::string_view text) {
  const ReadNumber<double> n = readReal(text);
  if (n.status == NumberStatus::malformed) refuseText(form, whole);
  if (n.status == NumberStatus::outOfRange) refuse(form, quoted(text) + " is out of range");
  // "-0" is 0: a duration of -0 would print its times as -0.
  return n.value + 0.0;
}

std::string shown(double v) {
  char buffer[32];
  const auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, ec == std::errc() ? ptr : buffer);
}

// A number for a message, to two figures: "3.4e+306", "1.5e-08"; a whole
// number below a million in full.
std::string about(double n) {
  char text[32];
  const bool whole = n >= 1 && n < 1e6;
  std::snprintf(text, sizeof text, whole ? "%.0f" : "%.2g", n);
  return text;
}

void requireFinite(std::string_view form, std::string_view what, double v) {
  if (!std::isfinite(v)) refuse(form, std::string(what) + " must be finite, not " + shown(v));
}

void requireAtLeastZero(std::string_view form, std::string_view what, double v) {
  requireFinite(form, what, v);
  if (v < 0) refuse(form, std::string(what) + " must not be negative, found " + shown(v));
}

void requirePositive(std::string_view form, std::string_view what, double v) {
  requireFinite(form, what, v);
  if (!(v > 0)) refuse(form, std::string(what) + " must be greater than 0, found " + shown(v));
}

void validateHolding(const HoldingLaw& law) {
  switch (law.family) {
    case HoldingFamily::exponential:
      requirePositive(kHoldingForm, "MEAN", law.first);
      break;
    case HoldingFamily::lognormal:
      requireFinite(kHoldingForm, "MU", law.first);
      requireAtLeastZero(kHoldingForm, "SIGMA", law.second);
      break;
    case HoldingFamily::pareto:
      requirePositive(kHoldingForm, "SCALE", law.first);
      requireFinite(kHoldingForm, "SHAPE", law.second);
      if (!(law.second > 1)) {
        refuse(kHoldingForm,
               "SHAPE must be greater than 1 (the mean stay is infinite otherwise), found " +
                   shown(law.second));
      }
      break;
    default:
      refuse(kHoldingForm, "unknown holding-time family");
  }
  const double mean = meanHolding(law);
  if (!(mean > 0) || !std::isfinite(mean)) {
    refuse(kHoldingForm, "the mean stay " + shown(mean) + " is not a positive finite number");
  }
}

void validateDiurnal(const Diurnal& d) {
  requireAtLeastZero(kDiurnalForm, "A", d.amplitude);
  if (!(d.amplitude < 1)) {
    refuse(kDiurnalForm,
           "A must be below 1 (a rate cannot fall below 0), found " + shown(d.amplitude));
  }
  requirePositive(kDiurnalForm, "PERIOD", d.period);
  requireAtLeastZero(kDiurnalForm, "PEAK", d.peak);
}

}  // namespace

double meanHolding(const HoldingLaw& law) {
  switch (law.family) {
    case HoldingFamily::exponential:
      return law.first;
    case HoldingFamily::lognormal:
      return portable::exp(law.first + law.second * law.second / 2);
    case HoldingFamily::pareto:
      return law.first * law.second / (law.second - 1);
  }
  return 0;
}

double parseDuration(std::string_view text) {
  const double v = number(kDurationForm, text, text);
  requireAtLeastZero(kDurationForm, "SECONDS", v);
  return v;
}

HoldingLaw parseHolding(std::string_view text) {
  const auto parts = splitColons(text);
  HoldingLaw law;
  if (parts[0] == "exp" && parts.size() == 2) {
    law = {HoldingFamily::exponential, number(kHoldingForm, text, parts[1]), 0};
  } else if (parts[0] == "lognormal" && parts.size() == 3) {
    law = {HoldingFamily::lognormal, number(kHoldingForm, text, parts[1]),
           number(kHoldingForm, text, parts[2])};
  } else if (parts[0] == "pareto" && parts.size() == 3) {
    law = {HoldingFamily::pareto, number(kHoldingForm, text, parts[1]),
           number(kHoldingForm, text, parts[2])};
  } else {
    refuseText(kHoldingForm, text);
  }
  validateHolding(law);
  return law;
}

Popularity parsePopularity(std::string_view text) {
  if (text == "uniform") return {};
  const auto parts = splitColons(text);
  if (parts[0] != "zipf" || parts.size() != 2) refuseText(kPopularityForm, text);
  const Popularity p{number(kPopularityForm, text, parts[1])};
  requireAtLeastZero(kPopularityForm, "ALPHA", p.alpha);
  return p;
}

double parseJoinRate(std::string_view text) {
  const double v = number(kJoinRateForm, text, text);
  requireAtLeastZero(kJoinRateForm, "JOINS_PER_SECOND", v);
  return v;
}

Diurnal parseDiurnal(std::string_view text) {
  const auto parts = splitColons(text);
  if (parts.size() > 3) refuseText(kDiurnalForm, text);
  Diurnal d;
  d.amplitude = number(kDiurnalForm, text, parts[0]);
  if (parts.size() > 1) d.period = number(kDiurnalForm, text, parts[1]);
  if (parts.size() > 2) d.peak = number(kDiurnalForm, text, parts[2]);
  validateDiurnal(d);
  return d;
}

StartState parseStart(std::string_view text) {
  if (text == "steady") return StartState::steady;
  if (text == "empty") return StartState::empty;
  refuseText(kStartForm, text);
}

EndRule parseEnd(std::string_view text) {
  if (text == "leave") return EndRule::leave;
  if (text == "open") return EndRule::open;
  refuseText(kEndForm, text);
}

// Times are doubles: near t they step by ulp(t). A rhythm whose period spans
// fewer than 1024 of those steps would be sampled at a few phases only, or, as
// the phase overflows, at none (every arrival thinned away).
void requireResolvablePeriod(const DynamicOptions& options) {
  const Diurnal& d = options.diurnal;
  if (!(d.amplitude > 0)) return;
  const double latest = std::fmax(options.duration, d.peak);
  const double step = std::nextafter(latest, std::numeric_limits<double>::infinity()) - latest;
  if (!(d.period >= 1024 * step)) {
    refuse(kDiurnalForm, "a PERIOD of " + shown(d.period) +
                             " s is too short for the clock to follow over the run, whose times "
                             "near " +
                             shown(latest) + " s are exact only to " + about(step) +
                             " s; give a period of at least " + about(1024 * step) + " s");
  }
}

void validate(const DynamicOptions& options) {
  requireAtLeastZero(kDurationForm, "SECONDS", options.duration);
  validateHolding(options.holding);
  requireAtLeastZero(kPopularityForm, "ALPHA", options.popularity.alpha);
  if (options.joinRate) requireAtLeastZero(kJoinRateForm, "JOINS_PER_SECOND", *options.joinRate);
  validateDiurnal(options.diurnal);
  if (options.start != StartState::steady && options.start != StartState::empty) {
    refuse(kStartForm, "unknown start state");
  }
  if (options.end != EndRule::leave && options.end != EndRule::open) {
    refuse(kEndForm, "unknown end rule");
  }
  requireResolvablePeriod(options);
  if (modelVersionName(options.model).empty()) {
    throw std::invalid_argument("--model: unknown timed model version " +
                                std::to_string(static_cast<int>(options.model)));
  }
}

namespace {

void validateParameters(const Parameters& parameters, const DynamicOptions& options) {
  if (parameters.nNodes < 2) {
    throw std::invalid_argument(
        "nNodes: a timed run needs at least 2 nodes, a source and one more; found " +
        std::to_string(parameters.nNodes));
  }
  if (parameters.nSessions < 1) {
    throw std::invalid_argument("nSessions: at least 1 session is needed; found " +
                                std::to_string(parameters.nSessions));
  }
  if (parameters.orderedJoinLeave != 0) {
    throw std::invalid_argument(
        "orderedJoinLeave: must be 0 in a timed run, where joins and leaves follow their own "
        "clocks and cannot alternate; found " +
        std::to_string(parameters.orderedJoinLeave));
  }
  if (!options.joinRate && parameters.avgSize < 0) {
    throw std::invalid_argument(
        "avgSize: sets the join rate (unless " + std::string(kJoinRateForm) +
        " is given) and must not be negative; found " + std::to_string(parameters.avgSize));
  }
}

}  // namespace

RunPlan planRun(const Parameters& parameters, const DynamicOptions& options) {
  validate(options);
  validateParameters(parameters, options);
  RunPlan plan;
  const bool second = options.model == ModelVersion::dynamic2;
  const std::int32_t n = parameters.nSessions;
  plan.meanStay = meanHolding(options.holding);
  if (options.joinRate) {
    plan.joinRate = *options.joinRate;
  } else {
    plan.joinRate = static_cast<double>(parameters.avgSize) * n / plan.meanStay;
    if (!std::isfinite(plan.joinRate)) {
      refuse(kHoldingForm, "a mean stay of " + shown(plan.meanStay) +
                               " s makes the join rate avgSize * nSessions / E[H] overflow; give "
                               "a longer stay, or the rate with " +
                               std::string(kJoinRateForm));
    }
  }
  if (!std::isfinite(plan.joinRate * plan.meanStay)) {
    refuse(kJoinRateForm, "the mean group size, join rate times mean stay (" +
                              shown(plan.joinRate) + " * " + shown(plan.meanStay) + "), overflows");
  }
  plan.presence = second ? steadyPresence(options.holding, options.diurnal) : plan.meanStay;

  plan.weights.resize(static_cast<std::size_t>(n));
  double total = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    plan.weights[i] = options.popularity.alpha == 0
                          ? 1.0
                          : portable::pow(static_cast<double>(i) + 1, -options.popularity.alpha);
    total += plan.weights[i];
  }
  for (double& w : plan.weights) w /= total;

  // A session joins at most every node but its source; beyond its start it
  // takes at most the arrivals, and at most as many as its room and the stays
  // ending within the run let in.
  const double room = static_cast<double>(parameters.nNodes) - 1;
  const bool steady = options.start == StartState::steady;
  const double arrivalsPerRate = rhythmMass(options.diurnal, 0, options.duration);
  const double refills = room + room * (options.duration / plan.meanStay);
  // dynamic-2 draws each member present at the start until the rhythm accepts
  // its age: (1 + A) E[H] / presence draws per member on average.
  const double startDraws =
      second ? (1 + options.diurnal.amplitude) * plan.meanStay / plan.presence : 1;
  double joins = 0, arrivals = 0, startLoop = 0;
  for (const double w : plan.weights) {
    const double rate = plan.joinRate * w;
    const double atStart = steady ? rate * plan.presence : 0;
    const double comes = rate * arrivalsPerRate;
    joins += std::fmin(atStart, room) + std::fmin(comes, refills);
    arrivals += comes;
    // dynamic-1 counts the members at the start one by one, room or no room.
    startLoop += second ? std::fmin(atStart, room) * startDraws : atStart;
  }
  plan.requests = 2 * joins;
  // dynamic-2 counts the arrivals a full session turns away at once, dynamic-1
  // one by one.
  plan.idleSteps = second ? startLoop : startLoop + arrivals;
  if (!(plan.requests <= kMostRequests)) {
    throw std::invalid_argument(
        "the timed run would make about " + about(plan.requests) +
        " requests (joins and leaves), more than any machine could write (at most " +
        about(kMostRequests) + "): lower the join rate (" + std::string(kJoinRateForm) +
        "), lengthen the stays (--holding) or shorten the run (--duration)");
  }
  if (!(plan.idleSteps <= kMostRequests)) {
    throw std::invalid_argument(
        "the timed run would draw about " + about(plan.idleSteps) +
        (second ? " times to place the members present at its start"
                : " arrivals and members at its start one by one (" +
                      std::string(modelVersionName(options.model)) +
                      " counts even those its sessions have no room for)") +
        ", more than any machine could finish (at most " + about(kMostRequests) +
        "): lower the join rate, shorten the stays or the run" +
        (second ? std::string(", or weaken the rhythm (--diurnal)") : std::string()));
  }
  // Arrivals turned away are counted exactly only while the counts fit a double's
  // whole numbers.
  if (second && !(arrivals <= 0x1p52)) {
    throw std::invalid_argument("the timed run would see about " + about(arrivals) +
                                " arrivals, more than it can count exactly (2^52): lower the "
                                "join rate or shorten the run");
  }
  return plan;
}

void validate(const Parameters& parameters, const DynamicOptions& options) {
  planRun(parameters, options);
}

namespace {

std::string holdingText(const DynamicOptions& o) {
  switch (o.holding.family) {
    case HoldingFamily::lognormal:
      return "lognormal:" + shown(o.holding.first) + ":" + shown(o.holding.second);
    case HoldingFamily::pareto:
      return "pareto:" + shown(o.holding.first) + ":" + shown(o.holding.second);
    case HoldingFamily::exponential:
      break;
  }
  return "exp:" + shown(o.holding.first);
}

std::string popularityText(const DynamicOptions& o) {
  return o.popularity.alpha == 0 ? "uniform" : "zipf:" + shown(o.popularity.alpha);
}

std::string diurnalText(const DynamicOptions& o) {
  return shown(o.diurnal.amplitude) + ":" + shown(o.diurnal.period) + ":" + shown(o.diurnal.peak);
}

}  // namespace

const std::array<OptionEntry, 7> kOptionTable = {{
    {"--duration", "duration", kDurationForm, "seconds the run lasts; requests fall in (0, T]",
     [](DynamicOptions& o, std::string_view t) { o.duration = parseDuration(t); },
     [](const DynamicOptions& o) { return shown(o.duration); }},
    {"--holding", "holding", kHoldingForm, "how long a member stays (default exp:1800)",
     [](DynamicOptions& o, std::string_view t) { o.holding = parseHolding(t); }, holdingText},
    {"--popularity", "popularity", kPopularityForm,
     "each session's share of the joins (default uniform)",
     [](DynamicOptions& o, std::string_view t) { o.popularity = parsePopularity(t); },
     popularityText},
    {"--join-rate", "join_rate", kJoinRateForm,
     "joins per second over all sessions (default avgSize * nSessions / E[H])",
     [](DynamicOptions& o, std::string_view t) { o.joinRate = parseJoinRate(t); },
     [](const DynamicOptions& o) { return o.joinRate ? shown(*o.joinRate) : std::string(); }},
    {"--diurnal", "diurnal", kDiurnalForm,
     "a daily rhythm of amplitude A, period and peak in seconds (default none)",
     [](DynamicOptions& o, std::string_view t) { o.diurnal = parseDiurnal(t); }, diurnalText},
    {"--start", "start", kStartForm, "steady (default): the stationary state at time 0",
     [](DynamicOptions& o, std::string_view t) { o.start = parseStart(t); },
     [](const DynamicOptions& o) {
       return std::string(o.start == StartState::steady ? "steady" : "empty");
     }},
    {"--end", "end", kEndForm, "leave (default): every member left leaves at T",
     [](DynamicOptions& o, std::string_view t) { o.end = parseEnd(t); },
     [](const DynamicOptions& o) {
       return std::string(o.end == EndRule::leave ? "leave" : "open");
     }},
}};

}  // namespace grouptrace::dynamic
