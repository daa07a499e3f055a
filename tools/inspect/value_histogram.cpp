#include "value_histogram.h"

namespace grouptrace {
namespace {

// Rounds down to a multiple of step, negative values included.
std::int64_t floorTo(std::int64_t value, std::int64_t step) {
  std::int64_t q = value / step;
  if (value % step != 0 && value < 0) --q;
  return q * step;
}

}  // namespace

void ValueHistogram::add(std::int64_t value) {
  if (count_ == 0) {
    min_ = max_ = low_ = value;
  } else {
    if (value < min_) min_ = value;
    if (value > max_) max_ = value;
  }
  ++count_;
  sum_ += static_cast<double>(value);
  if (value < low_ || value - low_ >= kBins * width_) refit();
  ++bins_[static_cast<std::size_t>((value - low_) / width_)];
}

void ValueHistogram::refit() {
  std::int64_t width = width_;
  while (max_ - floorTo(min_, width) >= kBins * width) width *= 2;
  const std::int64_t low = floorTo(min_, width);
  std::array<Count, kBins> bins{};
  // A filled old bin lies wholly inside one new bin: the old edges are
  // multiples of the old width, the new ones of a multiple of it, and its
  // values lie between min_ and max_, which the new bins span.
  for (int i = 0; i < kBins; ++i) {
    const Count n = bins_[static_cast<std::size_t>(i)];
    if (n != 0) bins[static_cast<std::size_t>((binLow(i) - low) / width)] += n;
  }
  bins_ = bins;
  low_ = low;
  width_ = width;
}

}  // namespace grouptrace
