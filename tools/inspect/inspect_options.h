#pragma once

#include <stdexcept>
#include <string>

#include "common/usage_error.h"
#include "grouptrace/generator.h"
#include "svg_plot.h"

namespace grouptrace {

enum class InspectCommand { check, stats, plot, exportTrace, help, version };

// What the command line asked for.
struct InspectOptions {
  InspectCommand command = InspectCommand::help;
  std::string input = "-";  // "-" is standard input
  // plot: "-" is standard output, else a name ending in .svg; export: "-"
  // (the default) or a file
  std::string output;
  PlotStyle style;                        // plot only
  TraceFormat format = TraceFormat::csv;  // export only
};

// Throws UsageError, with a message for the user, for anything it cannot take.
InspectOptions parseInspectOptions(int argc, const char* const argv[]);

}  // namespace grouptrace
