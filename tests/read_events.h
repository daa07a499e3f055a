#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "grouptrace/any_trace_reader.h"
#include "grouptrace/memory_source.h"
#include "grouptrace/trace_event.h"
#include "grouptrace/trace_reader.h"

namespace grouptrace::testing {

// Every event `Reader` (TraceReader or AnyTraceReader) hands out for `text`; a refusal throws.
template <class Reader>
std::vector<TraceEvent> readEvents(const std::string& text,
                                   std::size_t bufferSize = TraceReader::kDefaultBufferSize) {
  MemorySource source(text);
  Reader reader(source, bufferSize);
  std::vector<TraceEvent> events;
  TraceEvent event;
  while (reader.next(event)) events.push_back(event);
  return events;
}

// One of inspect's recorders (stats, plot) that has read `text` whole.
template <class Recorder>
Recorder readInto(const std::string& text) {
  MemorySource source(text);
  AnyTraceReader reader(source);
  Recorder recorder;
  recorder.read(reader);
  return recorder;
}

}  // namespace grouptrace::testing
