#include "size_spread.h"

#include <stdexcept>

namespace grouptrace {

SizeSpread::SizeSpread(std::int32_t sessions)
    : sizes_(static_cast<std::size_t>(sessions > 0 ? sessions : 0), 1),
      withSize_{0, static_cast<Count>(sizes_.size())},
      total_(static_cast<Count>(sizes_.size())) {
  if (sessions < 1) throw std::invalid_argument("a trace has at least one session");
}

void SizeSpread::change(std::int32_t session, int delta) {
  Count& size = sizes_[static_cast<std::size_t>(session)];
  const Count old = size;
  const Count now = old + delta;
  if (now < 1) throw std::logic_error("a group never loses its source");
  if (static_cast<std::size_t>(now) >= withSize_.size())
    withSize_.resize(static_cast<std::size_t>(now) + 1, 0);
  --withSize_[static_cast<std::size_t>(old)];
  ++withSize_[static_cast<std::size_t>(now)];
  size = now;
  total_ += delta;
  if (now > max_) max_ = now;
  if (now < min_) min_ = now;
  // The session that held an extreme alone has moved off it, by one.
  if (withSize_[static_cast<std::size_t>(old)] == 0) {
    if (old == max_) max_ = now;
    if (old == min_) min_ = now;
  }
}

void SizeSpread::set(std::int32_t session, Count size) {
  const Count delta = size - this->size(session);
  if (delta != 1 && delta != -1) throw std::logic_error("a group changes by one member at a time");
  change(session, static_cast<int>(delta));
}

}  // namespace grouptrace
