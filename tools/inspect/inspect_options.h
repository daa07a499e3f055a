#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "grouptrace/generator.h"
#include "svg_plot.h"
#include "usage_error.h"

namespace grouptrace {

enum class InspectCommand { check, stats, plot, exportTrace, verify, help, version };

// The forms stats writes its figures in.
enum class StatsFormat { text, json, csv };

// What the command line asked for.
struct InspectOptions {
  InspectCommand command = InspectCommand::help;
  std::string input = "-";  // the first of inputs; "-" is standard input
  // check and stats take several traces; the others one. verify: the
  // manifest, then the trace when it is named.
  std::vector<std::string> inputs;
  // plot: "-" is standard output, else a name ending in .svg; export: "-"
  // (the default) or a file
  std::string output;
  PlotStyle style;                          // plot only
  TraceFormat format = TraceFormat::trace;  // export only, which needs --format
  StatsFormat statsFormat = StatsFormat::text;
};

// Throws UsageError, with a message for the user, for anything it cannot take.
InspectOptions parseInspectOptions(int argc, const char* const argv[]);

}  // namespace grouptrace
