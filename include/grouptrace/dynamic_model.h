#pragma once

#include <optional>
#include <string_view>

// The library exports what these headers declare and nothing else.
#pragma GCC visibility push(default)

// The opt-in timed model: each session a queue with unlimited servers in
// continuous time (seconds), whose joins arrive as a Poisson process and whose
// members stay a random holding time. A run of it is asked for by setting
// RunConfig::dynamic (generator.h); the classic model's traces are unchanged.
namespace grouptrace::dynamic {

// The timed model's versions. Traces made under one version stay the same bits
// for good; a change to any draw or rule makes a new version, and new runs take
// the newest. dynamic-2 starts a session from the state the daily rhythm is in
// at time 0 and, on a network a session can fill, from the law of a session
// that fills; its draws come from streams of their own.
enum class ModelVersion { dynamic1 = 1, dynamic2 = 2 };
inline constexpr ModelVersion kNewestModel = ModelVersion::dynamic2;

// The newest version's name, as traces, manifests and Python record it.
inline constexpr std::string_view kModelVersion = "dynamic-2";

// "dynamic-1" or "dynamic-2"; empty for a value that is no version.
inline std::string_view modelVersionName(ModelVersion version) {
  switch (version) {
    case ModelVersion::dynamic1:
      return "dynamic-1";
    case ModelVersion::dynamic2:
      return "dynamic-2";
  }
  return {};
}

// The version a name stands for; nothing for any other name.
inline std::optional<ModelVersion> parseModelVersion(std::string_view name) {
  if (name == "dynamic-1") return ModelVersion::dynamic1;
  if (name == "dynamic-2") return ModelVersion::dynamic2;
  return std::nullopt;
}

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
  // The model version that makes the trace; a stored trace of an older one is
  // made again by naming it.
  ModelVersion model = kNewestModel;
};

}  // namespace grouptrace::dynamic

#pragma GCC visibility pop
