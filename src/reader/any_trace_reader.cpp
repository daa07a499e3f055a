#include "grouptrace/any_trace_reader.h"

#include <memory>

#include "formats/format_table.h"
#include "opening_source.h"

namespace grouptrace {

class AnyTraceReader::Impl {
 public:
  Impl(ByteSource& source, std::size_t bufferSize) : source_(source), bufferSize_(bufferSize) {}

  bool next(TraceEvent& event) {
    if (!reader_) start();
    return reader_->next(event);
  }

  void start() {
    const FormatEntry* found = formatOpening(source_.readOpening(kDetectionBytes));
    // Anything else is left to the text reader, whose message names the title it expected.
    entry_ = found != nullptr ? found : &kFormatTable.front();
    reader_ = entry_->reader(source_, bufferSize_);
  }

  OpeningSource source_;
  std::size_t bufferSize_;
  const FormatEntry* entry_ = &kFormatTable.front();
  std::unique_ptr<FormReader> reader_;
  TraceHeader noHeader_;
};

AnyTraceReader::AnyTraceReader(ByteSource& source, std::size_t bufferSize)
    : impl_(std::make_unique<Impl>(source, bufferSize)) {
}
AnyTraceReader::AnyTraceReader(AnyTraceReader&& other) noexcept = default;
AnyTraceReader& AnyTraceReader::operator=(AnyTraceReader&& other) noexcept = default;
AnyTraceReader::~AnyTraceReader() = default;

bool AnyTraceReader::next(TraceEvent& event) {
  return impl_->next(event);
}

TraceFormat AnyTraceReader::format() const {
  return impl_->entry_->format;
}
TraceRecorded AnyTraceReader::recorded() const {
  return recordedBy(*impl_->entry_, timed());
}
bool AnyTraceReader::timed() const {
  return impl_->reader_ ? impl_->reader_->timed() : false;
}
std::uint64_t AnyTraceReader::line() const {
  return impl_->reader_ ? impl_->reader_->line() : 0;
}
const TraceHeader& AnyTraceReader::header() const {
  return impl_->reader_ ? impl_->reader_->header() : impl_->noHeader_;
}
std::int32_t AnyTraceReader::sessionCount() const {
  return impl_->reader_ ? impl_->reader_->sessionCount() : 0;
}
NODEID AnyTraceReader::source(std::int32_t session) const {
  return impl_->reader_->source(session);
}
Count AnyTraceReader::groupSize(std::int32_t session) const {
  return impl_->reader_->groupSize(session);
}
bool AnyTraceReader::isMember(std::int32_t session, NODEID node) const {
  return impl_->reader_->isMember(session, node);
}
std::optional<TracePhase> AnyTraceReader::phase() const {
  return impl_->reader_ ? impl_->reader_->phase() : std::nullopt;
}
Count AnyTraceReader::joins() const {
  return impl_->reader_ ? impl_->reader_->joins() : 0;
}
Count AnyTraceReader::leaves() const {
  return impl_->reader_ ? impl_->reader_->leaves() : 0;
}

}  // namespace grouptrace
