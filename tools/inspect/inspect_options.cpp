#include "inspect_options.h"

#include <string_view>

namespace grouptrace {

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
  } else {
    throw UsageError("unknown command \"" + std::string(command) + "\"");
  }

  bool haveInput = false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-o" || arg.starts_with("--output")) {
      if (options.command != InspectCommand::plot) {
        throw UsageError("-o is an option of plot only");
      }
      if (arg.starts_with("--output=")) {
        options.output = arg.substr(9);
      } else if (arg == "-o" || arg == "--output") {
        if (i + 1 >= argc) throw UsageError(std::string(arg) + " needs a file name");
        options.output = argv[++i];
      } else {
        throw UsageError("unknown option \"" + std::string(arg) + "\"");
      }
      if (options.output.empty()) throw UsageError("the output file name is empty");
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("unknown option \"" + std::string(arg) + "\"");
    } else if (haveInput) {
      throw UsageError("more than one trace given (\"" + options.input + "\" and \"" +
                       std::string(arg) + "\")");
    } else {
      options.input = arg;
      haveInput = true;
    }
  }
  if (options.command == InspectCommand::plot && options.output.empty()) {
    throw UsageError("plot needs -o OUT.svg (or -o - for standard output)");
  }
  return options;
}

}  // namespace grouptrace
