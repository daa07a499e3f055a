#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/run_monitor.h"
#include "grouptrace/any_trace_reader.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/byte_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/trace_handler.h"
#include "reader/form_reader.h"

namespace grouptrace {

// What a format can hold of a trace. What it cannot, its reader reports as
// the installed reader's documentation says (0, +infinity, counted records).
struct FormatHolds {
  // The times of a timed run's requests.
  bool times;
  // The header's avgSize and orderedJoinLeave, which the classic rules need.
  bool headerValues;
  // The summary's Trans: the counter, which starts at a parameter.
  bool counter;
  // How long a timed run was.
  bool duration;
  // A summary row, with a timed run's blocked arrivals.
  bool summary;
  // Band and delay as exactly as generated, never rounded.
  bool exactValues;
};

// Everything the system knows of one output format. The command line, the
// inspector, --help, the Python module, the readers and the manual page's
// test take what they know of formats from here.
struct FormatEntry {
  TraceFormat format;
  std::string_view name;
  // What messages call a trace in this format ("CSV").
  std::string_view title;
  // One line: what a file in this format holds.
  std::string_view description;
  // Whether a trace's first bytes (kDetectionBytes, or the whole first line)
  // open this format.
  bool (*opens)(std::string_view firstBytes);
  // A whole run written in this format.
  RunResult (*write)(const RunConfig& config, ByteSink& sink, RunMonitor monitor);
  // A handler that writes the events it receives (stored or generated).
  std::unique_ptr<TraceHandler> (*handler)(ByteSink& sink);
  // A reader of a trace in this format.
  std::unique_ptr<FormReader> (*reader)(ByteSource& source, std::size_t bufferSize);
  FormatHolds holds;
};

// Its rows; a new format is a row, its size following.
extern const std::span<const FormatEntry> kFormatTable;

// How many first bytes tell every format apart.
inline constexpr std::size_t kDetectionBytes = 23;

const FormatEntry& formatEntry(TraceFormat format);

// The first format of the table that can hold what `holds` asks for: the
// default of a run whose trace needs it (a timed run's times).
const FormatEntry& firstFormatHolding(bool FormatHolds::*holds);

// What a trace read from this format records, as AnyTraceReader::recorded
// says.
TraceRecorded recordedBy(const FormatEntry& entry, bool timed);

// The format whose first bytes these are; null for none.
const FormatEntry* formatOpening(std::string_view firstBytes);

// writeTrace with a watcher of the run (see RunMonitor).
RunResult writeTrace(const RunConfig& config, ByteSink& sink, RunMonitor monitor);

// The names for a message or a help text, the last after `lastSeparator`;
// with `holding`, those of the formats that hold it.
std::string formatNameList(std::string_view lastSeparator = " or ",
                           bool FormatHolds::*holding = nullptr);

}  // namespace grouptrace
