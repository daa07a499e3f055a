#include "grouptrace/any_trace_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "common/trace_format.h"
#include "opening_source.h"
#include "row_trace_reader.h"

namespace grouptrace {
namespace {

// The text's title up to where every version of it agrees.
constexpr std::string_view kTextOpening = "// Print Group requests";

}  // namespace

std::optional<TraceFormat> detectTraceFormat(std::string_view firstBytes) {
  if (firstBytes.substr(0, kTextOpening.size()) == kTextOpening) return TraceFormat::trace;
  if (firstBytes.starts_with("phase,") || firstBytes.starts_with("time,")) return TraceFormat::csv;
  if (firstBytes.starts_with("{")) return TraceFormat::jsonl;
  return std::nullopt;
}

class AnyTraceReader::Impl {
 public:
  Impl(ByteSource& source, std::size_t bufferSize) : source_(source), bufferSize_(bufferSize) {}

  bool next(TraceEvent& event) {
    if (!text_ && !rows_) start();
    return text_ ? text_->next(event) : rows_->next(event);
  }

  void start() {
    const auto form = detectTraceFormat(source_.readOpening(kTextOpening.size()));
    // Anything else is left to the text reader, whose message names the title it expected.
    if (form == TraceFormat::csv || form == TraceFormat::jsonl) {
      rows_ = std::make_unique<RowTraceReader>(source_, bufferSize_, *form);
    } else {
      text_ = std::make_unique<TraceReader>(source_, bufferSize_);
    }
  }

  OpeningSource source_;
  std::size_t bufferSize_;
  std::unique_ptr<TraceReader> text_;
  std::unique_ptr<RowTraceReader> rows_;
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
  return impl_->rows_ ? impl_->rows_->format() : TraceFormat::trace;
}
bool AnyTraceReader::timed() const {
  return impl_->rows_ ? impl_->rows_->timed() : false;
}
std::uint64_t AnyTraceReader::line() const {
  if (impl_->rows_) return impl_->rows_->line();
  return impl_->text_ ? impl_->text_->line() : 0;
}
const TraceHeader& AnyTraceReader::header() const {
  if (impl_->rows_) return impl_->rows_->header();
  return impl_->text_ ? impl_->text_->header() : impl_->noHeader_;
}
std::int32_t AnyTraceReader::sessionCount() const {
  if (impl_->rows_) return impl_->rows_->sessionCount();
  return impl_->text_ ? impl_->text_->sessionCount() : 0;
}
NODEID AnyTraceReader::source(std::int32_t session) const {
  return impl_->rows_ ? impl_->rows_->source(session) : impl_->text_->source(session);
}
Count AnyTraceReader::groupSize(std::int32_t session) const {
  return impl_->rows_ ? impl_->rows_->groupSize(session) : impl_->text_->groupSize(session);
}
bool AnyTraceReader::isMember(std::int32_t session, NODEID node) const {
  return impl_->rows_ ? impl_->rows_->isMember(session, node)
                      : impl_->text_->isMember(session, node);
}
std::optional<TracePhase> AnyTraceReader::phase() const {
  if (impl_->rows_) return impl_->rows_->phase();
  return impl_->text_ ? impl_->text_->phase() : std::nullopt;
}
Count AnyTraceReader::joins() const {
  if (impl_->rows_) return impl_->rows_->joins();
  return impl_->text_ ? impl_->text_->joins() : 0;
}
Count AnyTraceReader::leaves() const {
  if (impl_->rows_) return impl_->rows_->leaves();
  return impl_->text_ ? impl_->text_->leaves() : 0;
}

}  // namespace grouptrace
