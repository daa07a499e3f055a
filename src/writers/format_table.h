#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "common/run_monitor.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/generator.h"
#include "grouptrace/trace_handler.h"

namespace grouptrace {

// Everything the system knows of one output format. The command line, the
// inspector's export, --help, the Python module and the manual page's test
// take their list of formats from here.
struct FormatEntry {
  TraceFormat format;
  std::string_view name;
  // One line: what a file in this format holds.
  std::string_view description;
  // A whole run written in this format.
  RunResult (*write)(const RunConfig& config, ByteSink& sink, RunMonitor monitor);
  // A handler that writes the events it receives (stored or generated).
  std::unique_ptr<TraceHandler> (*handler)(ByteSink& sink);
};

extern const std::array<FormatEntry, 3> kFormatTable;

const FormatEntry& formatEntry(TraceFormat format);

// writeTrace with a watcher of the run (see RunMonitor).
RunResult writeTrace(const RunConfig& config, ByteSink& sink, RunMonitor monitor);

// The names for a message or a help text: "trace, csv or jsonl".
std::string formatNameList(std::string_view lastSeparator = " or ");

}  // namespace grouptrace
