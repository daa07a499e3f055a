#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "common/run_monitor.h"
#include "grouptrace/byte_sink.h"
#include "grouptrace/byte_source.h"
#include "grouptrace/generator.h"
#include "grouptrace/trace_handler.h"
#include "reader/form_reader.h"

// The pieces of the JSON Lines format's row in the table of formats.
namespace grouptrace::json_lines_form {

// Whether a trace's first bytes open this format.
bool opens(std::string_view firstBytes);
// A whole run written in this format.
RunResult write(const RunConfig& config, ByteSink& sink, RunMonitor monitor);
// A handler that writes the events it receives (stored or generated).
std::unique_ptr<TraceHandler> handler(ByteSink& sink);
// A reader of a trace in this format.
std::unique_ptr<FormReader> reader(ByteSource& source, std::size_t bufferSize);

}  // namespace grouptrace::json_lines_form
