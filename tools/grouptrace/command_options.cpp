#include "command_options.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "common/message_text.h"
#include "common/number_text.h"
#include "dynamic/dynamic_options.h"
#include "formats/format_table.h"
#include "io/atomic_file.h"
#include "network/network_options.h"
#include "parameters/parameter_table.h"
#include "seed_argument.h"

namespace grouptrace {
namespace {

enum class Action {
  help,
  version,
  printParams,
  legacyNumbers,
  seed,
  params,
  output,
  manifest,
  replay,
  format,
  model,
  dynamicOption,
  networkOption,
  parameter
};

struct OptionSpec {
  std::string_view name;
  std::string_view shortName;  // empty when there is none
  Action action;
  bool takesValue;
  std::size_t parameter = 0;  // for Action::parameter
};

constexpr std::array<OptionSpec, 11> kGeneralOptions = {{
    {"--help", "-h", Action::help, false},
    {"--version", "", Action::version, false},
    {"--print-params", "", Action::printParams, false},
    {"--legacy-numbers", "", Action::legacyNumbers, false},
    {"--seed", "-s", Action::seed, true},
    {"--params", "-p", Action::params, true},
    {"--output", "-o", Action::output, true},
    {"--manifest", "", Action::manifest, true},
    {"--replay", "", Action::replay, true},
    {"--format", "", Action::format, true},
    {"--model", "", Action::model, true},
}};

std::vector<OptionSpec> allOptions() {
  std::vector<OptionSpec> specs(kGeneralOptions.begin(), kGeneralOptions.end());
  for (std::size_t i = 0; i < kParameterTable.size(); ++i) {
    specs.push_back({kParameterTable[i].option, "", Action::parameter, true, i});
  }
  for (std::size_t i = 0; i < dynamic::kOptionTable.size(); ++i) {
    specs.push_back({dynamic::kOptionTable[i].option, "", Action::dynamicOption, true, i});
  }
  for (std::size_t i = 0; i < network::kOptionTable.size(); ++i) {
    specs.push_back({network::kOptionTable[i].option, "", Action::networkOption, true, i});
  }
  return specs;
}

// An argument as a message shows it: quoted, escaped, and short enough for one
// line whatever a script passed.
std::string shown(std::string_view text) {
  return quotedText(text, 40);
}

bool isLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Only these are taken for options: everything else keeps its old meaning (the
// seed, or an ignored argument), so "-7" and " 42" stay seeds.
bool looksLikeOption(std::string_view arg) {
  return arg.size() >= 2 && arg[0] == '-' && (isLetter(arg[1]) || arg[1] == '-');
}

// Edits (insertions, deletions, substitutions, swaps of neighbours) between two
// words: how far a misspelt option is from a known one.
std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::string unknownOption(std::string_view arg, const std::vector<OptionSpec>& specs) {
  std::string_view name = arg.substr(0, arg.find('='));
  // "-seed" is a long option with one dash too few; single letters are too
  // short for a guess to mean anything.
  std::string word(name.substr(name.starts_with("--") ? 2 : 1));
  const OptionSpec* best = nullptr;
  std::size_t bestDistance = 0;
  if (word.size() > 1) {
    for (const OptionSpec& known : specs) {
      const std::string_view candidate = known.name.substr(2);
      const std::size_t distance = editDistance(word, candidate);
      if (distance <= std::max<std::size_t>(1, candidate.size() / 3) &&
          (best == nullptr || distance < bestDistance)) {
        best = &known;
        bestDistance = distance;
      }
    }
  }
  std::string message = "unknown option " + shown(name);
  if (best != nullptr) return message + "; did you mean " + std::string(best->name) + "?";
  return message + " (see grouptrace --help)";
}

SEED_type seedOptionValue(std::string_view option, std::string_view text) {
  const ReadNumber<std::int64_t> seed =
      readInteger(text, IntegerForm::signedDigits, kInt32Min, kInt32Max);
  if (seed.status == NumberStatus::malformed) {
    throw UsageError(std::string(option) + ": expected a whole number for the seed, found " +
                     shown(text));
  }
  if (seed.status == NumberStatus::outOfRange) {
    throw UsageError("the seed " + shown(text) + " is outside " + std::string(kInt32RangeText));
  }
  return static_cast<SEED_type>(seed.value);
}

TraceFormat formatValue(std::string_view text) {
  if (const auto format = parseTraceFormat(text)) return *format;
  throw UsageError("unknown --format " + shown(text) + ": expected " + formatNameList());
}

std::string fileName(std::string_view option, std::string_view text) {
  if (text.empty()) throw UsageError(std::string(option) + ": the file name is empty");
  return std::string(text);
}

// Records the seed, refusing a second one: "--seed 3 4" would otherwise run
// with one of them while the caller believes it ran with the other.
void setSeed(CommandOptions& options, std::string& seedText, std::string_view text,
             SEED_type seed) {
  if (options.seed) {
    throw UsageError("the seed is given twice (" + shown(seedText) + " and " + shown(text) + ")");
  }
  options.seed = seed;
  seedText = text;
}

}  // namespace

bool CommandOptions::allParametersGiven() const {
  return std::all_of(parameters.begin(), parameters.end(),
                     [](const auto& v) { return v.has_value(); });
}

bool CommandOptions::anyParameterGiven() const {
  return std::any_of(parameters.begin(), parameters.end(),
                     [](const auto& v) { return v.has_value(); });
}

std::int32_t parameterOptionValue(std::size_t index, std::string_view text) {
  try {
    return parseParameterValue(index, text);
  } catch (const ParameterError& e) {
    throw UsageError(std::string(kParameterTable[index].option) + " (" +
                     std::string(kParameterNames[index]) + "): " + e.problem());
  }
}

CommandOptions parseCommandOptions(int argc, const char* const argv[]) {
  CommandOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return options;
    }
    if (arg == "--version") {
      options.version = true;
      return options;
    }
  }

  const std::vector<OptionSpec> specs = allOptions();
  std::string seedText;
  bool positionalSeen = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || !looksLikeOption(arg)) {
      // Only the first counts, read like atoi, as scripts have always called
      // the program; later ones were always ignored.
      if (positionalSeen) continue;
      positionalSeen = true;
      const auto seed = parseSeedArgument(argv[i]);
      if (!seed) {
        throw UsageError("the seed " + shown(arg) + " is outside " + std::string(kInt32RangeText));
      }
      setSeed(options, seedText, arg, *seed);
      continue;
    }

    // Long options may carry their value after "="; short ones take the next
    // argument or, as "-o=FILE", theirs after "=" straight after the letter,
    // so "-output" cannot quietly become "-o utput".
    const bool isLong = arg.starts_with("--");
    const std::size_t equals =
        isLong ? arg.find('=') : (arg.size() > 2 && arg[2] == '=' ? 2 : std::string_view::npos);
    const std::string_view name = arg.substr(0, equals);
    const auto known = std::find_if(specs.begin(), specs.end(), [&](const OptionSpec& s) {
      return name == s.name || (!s.shortName.empty() && name == s.shortName);
    });
    if (known == specs.end()) throw UsageError(unknownOption(arg, specs));

    std::string_view value;
    if (!known->takesValue) {
      if (equals != std::string_view::npos) {
        throw UsageError("option " + std::string(name) + " takes no value");
      }
    } else if (equals != std::string_view::npos) {
      value = arg.substr(equals + 1);
    } else {
      if (i + 1 >= argc) throw UsageError("option " + std::string(name) + " needs a value");
      value = argv[++i];
      // "-o --seed 4" is a forgotten file name, not a file called "--seed".
      if (looksLikeOption(value)) {
        throw UsageError("option " + std::string(name) + " needs a value, found the option " +
                         shown(value));
      }
    }

    switch (known->action) {
      case Action::help:
      case Action::version:
        break;  // handled above
      case Action::printParams:
        options.printParams = true;
        break;
      case Action::legacyNumbers:
        options.legacyNumbers = true;
        break;
      case Action::seed:
        setSeed(options, seedText, value, seedOptionValue(name, value));
        break;
      case Action::params:
        options.paramsPath = fileName(name, value);
        break;
      case Action::output:
        options.outputPath = fileName(name, value);
        break;
      case Action::manifest:
        options.manifestPath = fileName(name, value);
        break;
      case Action::replay:
        options.replayPath = fileName(name, value);
        break;
      case Action::format:
        options.format = formatValue(value);
        options.formatGiven = true;
        break;
      case Action::model: {
        // "dynamic" is the newest version; an older one is named to make its
        // stored traces again.
        const auto version = value == "dynamic" ? std::optional(dynamic::kNewestModel)
                                                : dynamic::parseModelVersion(value);
        if (value != "classic" && !version) {
          throw UsageError("unknown --model " + shown(value) +
                           ": expected classic, dynamic (the timed model, " +
                           std::string(dynamic::kModelVersion) + ") or dynamic-1");
        }
        options.dynamicModel = version.has_value();
        if (version) options.modelVersion = *version;
        options.modelGiven = true;
        break;
      }
      case Action::dynamicOption:
        options.dynamicOptions.emplace_back(known->parameter, std::string(value));
        break;
      case Action::networkOption:
        options.networkOptions.emplace_back(known->parameter, std::string(value));
        break;
      case Action::parameter:
        options.parameters[known->parameter] = parameterOptionValue(known->parameter, value);
        break;
    }
  }

  if (options.replayPath && (options.seed || options.paramsPath || options.anyParameterGiven() ||
                             options.formatGiven || options.printParams || options.modelGiven ||
                             !options.dynamicOptions.empty() || !options.networkOptions.empty())) {
    throw UsageError(
        "--replay takes the parameters, seed, format and network from the manifest; give only "
        "-o and --manifest with it");
  }
  if (!options.dynamicModel && !options.dynamicOptions.empty()) {
    throw UsageError(
        std::string(dynamic::kOptionTable[options.dynamicOptions.front().first].option) +
        " is an option of the timed model: give --model dynamic with it");
  }
  if (options.printParams && options.manifestPath) {
    throw UsageError("--manifest records a run, and --print-params does not run one");
  }
  // "--manifest -" is for a trace written to a file: on standard output the
  // record would run into the trace.
  if (options.manifestPath == "-" && (!options.outputPath || *options.outputPath == "-")) {
    throw UsageError(
        "--manifest - writes the record to standard output, where the trace goes; give the "
        "trace a file with -o, or the record a file of its own");
  }
  // Both are renamed into place at the end: the second would replace the first.
  if (options.outputPath && options.manifestPath && *options.outputPath != "-" &&
      *options.manifestPath != "-") {
    if (writesSameFile(*options.outputPath, *options.manifestPath)) {
      throw UsageError("the trace and the manifest would be the same file, " +
                       shown(*options.manifestPath));
    }
  }
  return options;
}

}  // namespace grouptrace
