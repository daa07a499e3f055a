#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "grouptrace/dynamic_model.h"
#include "grouptrace/generator.h"
#include "grouptrace/parameters.h"
#include "grouptrace/types.h"
#include "usage_error.h"

namespace grouptrace {

// What the command line asks for.
struct CommandOptions {
  bool help = false;
  bool version = false;
  bool printParams = false;
  // --legacy-numbers: text glued to a stream's number is a comment, as in 1.0.0.
  bool legacyNumbers = false;
  std::optional<SEED_type> seed;
  // Absent: standard input / standard output ("-" means those too).
  std::optional<std::string> paramsPath;
  std::optional<std::string> outputPath;
  std::optional<std::string> manifestPath;
  // --model dynamic (or dynamic-N): a run of the timed model, of this version.
  bool dynamicModel = false;
  dynamic::ModelVersion modelVersion = dynamic::kNewestModel;
  bool modelGiven = false;
  // The timed model's options as given: their row of dynamic::kOptionTable and
  // their text, in the order given (a later one counts).
  std::vector<std::pair<std::size_t, std::string>> dynamicOptions;
  // The options on the network (--topology, the bounds from paths, --band):
  // their row of network::kOptionTable and their text, in the order given.
  std::vector<std::pair<std::size_t, std::string>> networkOptions;
  // --replay: the manifest whose run to make again.
  std::optional<std::string> replayPath;
  TraceFormat format = TraceFormat::trace;
  bool formatGiven = false;
  // Values given by name, already checked as a stream's values are.
  std::array<std::optional<std::int32_t>, 13> parameters;

  bool allParametersGiven() const;
  bool anyParameterGiven() const;
};

// Reads argv. -h/--help and --version win wherever they stand (before "--"),
// so asking for help never fails. The first argument that is not an option is
// the seed, read like atoi as it always was; later ones are ignored.
CommandOptions parseCommandOptions(int argc, const char* const argv[]);

// A parameter's value given as the text of an option, read and checked as the
// stream's values are but refusing anything after the number: an option has no
// room for a comment. Throws UsageError naming the option and the parameter.
std::int32_t parameterOptionValue(std::size_t index, std::string_view text);

}  // namespace grouptrace
