#include "formats/format_table.h"

#include <vector>

#include "formats/csv/csv_format.h"
#include "formats/jsonl/json_lines_format.h"
#include "formats/trace/text_format.h"

namespace grouptrace {

// Each format's run is compiled in a translation unit of its own, so that the
// compiler inlines the whole request path of each as it would for one alone:
// with all three in one unit, the text path ran 12% more instructions.
//
// The first row is also what an unknown opening is read as: the text reader's
// message names the title it expected.
constexpr FormatEntry kRows[] = {
    {TraceFormat::trace,
     "trace",
     "trace text",
     "the request trace text that simulators parse",
     text_form::opens,
     text_form::write,
     text_form::handler,
     text_form::reader,
     {.times = false,
      .headerValues = true,
      .counter = true,
      .duration = false,
      .summary = true,
      .exactValues = false}},
    {TraceFormat::csv,
     "csv",
     "CSV",
     "a header row, a \"source\" row per session, then a row per request",
     csv_form::opens,
     csv_form::write,
     csv_form::handler,
     csv_form::reader,
     {.times = true,
      .headerValues = false,
      .counter = false,
      .duration = false,
      .summary = false,
      .exactValues = true}},
    {TraceFormat::jsonl,
     "jsonl",
     "JSON Lines",
     "one JSON object per line: header, sources, requests, summary",
     json_lines_form::opens,
     json_lines_form::write,
     json_lines_form::handler,
     json_lines_form::reader,
     {.times = true,
      .headerValues = true,
      .counter = true,
      .duration = true,
      .summary = true,
      .exactValues = true}},
};

const std::span<const FormatEntry> kFormatTable(kRows);

const FormatEntry& formatEntry(TraceFormat format) {
  for (const FormatEntry& entry : kFormatTable) {
    if (entry.format == format) return entry;
  }
  return kFormatTable[0];
}

TraceRecorded recordedBy(const FormatEntry& entry, bool timed) {
  TraceRecorded recorded;
  recorded.headerValues = entry.holds.headerValues;
  recorded.duration = timed && entry.holds.duration;
  recorded.counter = entry.holds.counter;
  recorded.summary = entry.holds.summary;
  return recorded;
}

const FormatEntry& firstFormatHolding(bool FormatHolds::*holds) {
  for (const FormatEntry& entry : kFormatTable) {
    if (entry.holds.*holds) return entry;
  }
  return kFormatTable[0];
}

const FormatEntry* formatOpening(std::string_view firstBytes) {
  for (const FormatEntry& entry : kFormatTable) {
    if (entry.opens(firstBytes)) return &entry;
  }
  return nullptr;
}

std::optional<TraceFormat> detectTraceFormat(std::string_view firstBytes) {
  const FormatEntry* entry = formatOpening(firstBytes);
  if (entry == nullptr) return std::nullopt;
  return entry->format;
}

std::string formatNameList(std::string_view lastSeparator, bool FormatHolds::*holding) {
  std::vector<std::string_view> names;
  for (const FormatEntry& entry : kFormatTable) {
    if (holding == nullptr || entry.holds.*holding) names.push_back(entry.name);
  }
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += i + 1 == names.size() ? lastSeparator : ", ";
    list += names[i];
  }
  return list;
}

std::optional<TraceFormat> parseTraceFormat(std::string_view name) {
  for (const FormatEntry& entry : kFormatTable) {
    if (name == entry.name) return entry.format;
  }
  return std::nullopt;
}

std::string_view formatName(TraceFormat format) {
  return formatEntry(format).name;
}

std::unique_ptr<TraceHandler> makeTraceWriter(TraceFormat format, ByteSink& sink) {
  return formatEntry(format).handler(sink);
}

RunResult writeTrace(const RunConfig& config, ByteSink& sink) {
  return writeTrace(config, sink, RunMonitor{});
}

RunResult writeTrace(const RunConfig& config, ByteSink& sink, RunMonitor monitor) {
  // The text writer refuses a timed trace at its header, before it writes.
  return formatEntry(config.format).write(config, sink, monitor);
}

RunResult writeTrace(const Parameters& parameters, SEED_type seed, TraceFormat format,
                     ByteSink& sink) {
  RunConfig config;
  config.parameters = parameters;
  config.seed = seed;
  config.format = format;
  return writeTrace(config, sink);
}

}  // namespace grouptrace
