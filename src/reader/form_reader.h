#pragma once

#include <cstdint>
#include <optional>

#include "grouptrace/trace_event.h"
#include "grouptrace/types.h"

namespace grouptrace {

// A reader of one form of trace, made by its format's row of the table:
// AnyTraceReader hands out what the reader of the form it finds reports.
class FormReader {
 public:
  virtual ~FormReader() = default;

  virtual bool next(TraceEvent& event) = 0;
  virtual bool timed() const = 0;
  virtual std::uint64_t line() const = 0;
  virtual const TraceHeader& header() const = 0;
  virtual std::int32_t sessionCount() const = 0;
  virtual NODEID source(std::int32_t session) const = 0;
  virtual Count groupSize(std::int32_t session) const = 0;
  virtual bool isMember(std::int32_t session, NODEID node) const = 0;
  virtual std::optional<TracePhase> phase() const = 0;
  virtual Count joins() const = 0;
  virtual Count leaves() const = 0;
};

}  // namespace grouptrace
