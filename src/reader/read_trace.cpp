#include "grouptrace/trace_handler.h"
#include "grouptrace/trace_reader.h"

namespace grouptrace {

void readTrace(ByteSource& source, TraceHandler& handler) {
  TraceReader reader(source);
  TraceEvent event;
  while (reader.next(event)) deliver(event, handler);
}

}  // namespace grouptrace
