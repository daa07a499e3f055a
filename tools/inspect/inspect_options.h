#pragma once

#include <stdexcept>
#include <string>

#include "svg_plot.h"

namespace grouptrace {

enum class InspectCommand { check, stats, plot, help, version };

// What the command line asked for.
struct InspectOptions {
  InspectCommand command = InspectCommand::help;
  std::string input = "-";  // "-" is standard input
  std::string output;       // plot only; "-" is standard output, else a name ending in .svg
  PlotStyle style;          // plot only
};

// A command line that asks for nothing sensible.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws UsageError, with a message for the user, for anything it cannot take.
InspectOptions parseInspectOptions(int argc, const char* const argv[]);

}  // namespace grouptrace
