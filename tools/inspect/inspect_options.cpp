#include "inspect_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <string_view>

#include "common/message_text.h"
#include "common/number_text.h"
#include "formats/format_table.h"

namespace grouptrace {
namespace {

// "--format NAME or --format NAME": every format that can hold any trace
// read, a timed one's times included.
std::string exportFormats() {
  std::string list;
  for (const FormatEntry& entry : kFormatTable) {
    if (!entry.holds.times) continue;
    if (!list.empty()) list += " or ";
    list += "--format " + std::string(entry.name);
  }
  return list;
}

bool endsWithSvg(std::string_view name) {
  constexpr std::string_view kSuffix = ".svg";
  if (name.size() <= kSuffix.size()) return false;
  const std::string_view end = name.substr(name.size() - kSuffix.size());
  return std::equal(end.begin(), end.end(), kSuffix.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

// Plain decimal digits within the bounds: "1e3", "+960" and "960px" are
// mistakes to point out rather than sizes to guess.
int sizeValue(std::string_view option, std::string_view text, int low, int high) {
  const auto value = parseInteger(text, IntegerForm::digits, low, high);
  if (!value) {
    throw UsageError(std::string(option) + " takes a whole number from " + std::to_string(low) +
                     " to " + std::to_string(high) + ", not " + quotedText(text, 40));
  }
  return static_cast<int>(*value);
}

}  // namespace

InspectOptions parseInspectOptions(int argc, const char* const argv[]) {
  InspectOptions options;
  if (argc < 2) throw UsageError("no command given");
  const std::string_view command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    options.command = InspectCommand::help;
    return options;
  }
  if (command == "--version") {
    options.command = InspectCommand::version;
    return options;
  }
  if (command == "check") {
    options.command = InspectCommand::check;
  } else if (command == "stats") {
    options.command = InspectCommand::stats;
  } else if (command == "plot") {
    options.command = InspectCommand::plot;
  } else if (command == "export") {
    options.command = InspectCommand::exportTrace;
  } else if (command == "verify") {
    options.command = InspectCommand::verify;
  } else {
    throw UsageError("unknown command \"" + std::string(command) + "\"");
  }
  const bool plot = options.command == InspectCommand::plot;
  const bool exportTrace = options.command == InspectCommand::exportTrace;
  const bool stats = options.command == InspectCommand::stats;
  const bool verify = options.command == InspectCommand::verify;
  const bool severalInputs = options.command == InspectCommand::check || stats || plot;
  const std::size_t mostInputs = severalInputs ? SIZE_MAX : verify ? 2 : 1;
  bool haveFormat = false;

  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
    if (!isOption) {
      if (options.inputs.size() == mostInputs) {
        throw UsageError(verify ? "verify takes a manifest and at most one trace"
                                : "more than one trace given (\"" + options.inputs.front() +
                                      "\" and \"" + std::string(arg) + "\")");
      }
      options.inputs.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      options.command = InspectCommand::help;
      return options;
    }
    // The plot's switches, which take no value.
    if (arg == "--no-subtitle" || arg == "--no-footnote") {
      if (!plot) throw UsageError(std::string(arg) + " is an option of plot only");
      (arg == "--no-subtitle" ? options.style.subtitle : options.style.footnote) = false;
      continue;
    }
    // "--name=value" or "--name value"; -o is the one short form, as "-o
    // value" or "-o=value".
    const std::size_t equals = arg.find('=');
    const bool shortOutput = arg == "-o" || arg.starts_with("-o=");
    const std::string_view name = shortOutput ? "--output" : arg.substr(0, equals);
    if (name != "--output" && name != "--title" && name != "--width" && name != "--height" &&
        name != "--format") {
      throw UsageError("unknown option \"" + std::string(arg) + "\"");
    }
    const std::string shown = shortOutput ? "-o" : std::string(name);
    if (name == "--format"   ? !exportTrace && !stats
        : name == "--output" ? !plot && !exportTrace
                             : !plot) {
      throw UsageError(shown + " is an option of " +
                       (name == "--format"   ? "stats and export"
                        : name == "--output" ? "plot and export"
                                             : "plot") +
                       " only");
    }
    std::string_view value;
    if (arg != "-o" && equals != std::string_view::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      throw UsageError(shown + " needs a value");
    }
    if (name == "--output") {
      if (value.empty()) throw UsageError("the output file name is empty");
      options.output = value;
    } else if (name == "--format" && stats) {
      if (value == "text") {
        options.statsFormat = StatsFormat::text;
      } else if (value == "json") {
        options.statsFormat = StatsFormat::json;
      } else if (value == "csv") {
        options.statsFormat = StatsFormat::csv;
      } else {
        throw UsageError("stats writes --format text, json or csv, not " + quotedText(value, 40));
      }
    } else if (name == "--format") {
      const auto format = parseTraceFormat(value);
      if (!format || !formatEntry(*format).holds.times) {
        throw UsageError("export writes " + exportFormats() + ", not " + quotedText(value, 40));
      }
      options.format = *format;
      haveFormat = true;
    } else if (name == "--title") {
      options.style.title = value;
    } else if (name == "--width") {
      options.style.width = sizeValue(name, value, PlotStyle::kMinWidth, PlotStyle::kMaxWidth);
    } else {
      options.style.height = sizeValue(name, value, PlotStyle::kMinHeight, PlotStyle::kMaxHeight);
    }
  }
  if (verify && options.inputs.empty()) throw UsageError("verify needs a manifest");
  if (options.inputs.empty()) options.inputs.emplace_back("-");
  options.input = options.inputs.front();
  if (exportTrace && !haveFormat) throw UsageError("export needs " + exportFormats());
  if (exportTrace && options.output.empty()) options.output.push_back('-');
  if (plot && options.output.empty()) {
    throw UsageError("plot needs -o OUT.svg (or -o - for standard output)");
  }
  if (plot && options.output != "-" && !endsWithSvg(options.output)) {
    throw UsageError(
        "plot writes SVG only: the output name must end in .svg (or be - for "
        "standard output), not " +
        quotedText(options.output, options.output.size()));
  }
  return options;
}

}  // namespace grouptrace
