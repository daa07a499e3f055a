#include "grouptrace/any_trace_reader.h"
#include "grouptrace/trace_handler.h"

namespace grouptrace {

void readTrace(ByteSource& source, TraceHandler& handler) {
  AnyTraceReader reader(source);
  TraceEvent event;
  while (reader.next(event)) deliver(event, handler);
}

}  // namespace grouptrace
