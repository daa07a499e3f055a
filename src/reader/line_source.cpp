#include "line_source.h"

#include <cstring>
#include <string>

#include "grouptrace/trace_error.h"

namespace grouptrace {

LineSource::LineSource(ByteSource& source, std::size_t bufferSize)
    : source_(source),
      capacity_(bufferSize < 2 ? 2 : bufferSize),
      buffer_(new char[capacity_]),
      next_(buffer_.get()),
      end_(buffer_.get()) {
}

bool LineSource::refill() {
  const auto kept = static_cast<std::size_t>(end_ - next_);
  if (kept == capacity_) {
    throw TraceError(number_ + 1, "the line is longer than " + std::to_string(capacity_) +
                                      " bytes, far beyond any line of a trace");
  }
  if (kept > 0 && next_ != buffer_.get()) std::memmove(buffer_.get(), next_, kept);
  next_ = buffer_.get();
  end_ = next_ + kept;
  const std::size_t got = source_.read(buffer_.get() + kept, capacity_ - kept);
  end_ += got;
  return got > 0;
}

bool LineSource::next(std::string_view& line) {
  std::size_t searched = 0;
  for (;;) {
    const auto available = static_cast<std::size_t>(end_ - next_);
    if (const void* nl = std::memchr(next_ + searched, '\n', available - searched)) {
      const char* stop = static_cast<const char*>(nl);
      line = std::string_view(next_, static_cast<std::size_t>(stop - next_));
      position_ += line.size() + 1;
      next_ = stop + 1;
      ++number_;
      return true;
    }
    searched = available;
    if (!ended_ && refill()) continue;
    ended_ = true;
    if (next_ == end_) return false;
    line = std::string_view(next_, static_cast<std::size_t>(end_ - next_));
    position_ += line.size();
    next_ = end_;
    ++number_;
    unterminated_ = true;
    return true;
  }
}

}  // namespace grouptrace
