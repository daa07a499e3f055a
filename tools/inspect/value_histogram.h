#pragma once

#include <array>
#include <cstdint>

#include "grouptrace/types.h"

namespace grouptrace {

// Minimum, mean, maximum and a coarse histogram of whole numbers seen one at a
// time, in fixed memory. The range is not known in advance (standard input is
// read once), so the bins start one unit wide and double in width whenever a
// value falls outside them, just enough to span everything seen. Counts stay
// exact; only the bin edges coarsen. Bin edges are multiples of the width.
class ValueHistogram {
 public:
  static constexpr int kBins = 10;

  void add(std::int64_t value);

  Count count() const { return count_; }
  std::int64_t min() const { return min_; }
  std::int64_t max() const { return max_; }
  double mean() const { return count_ == 0 ? 0.0 : sum_ / static_cast<double>(count_); }

  std::int64_t binWidth() const { return width_; }
  // The lowest value bin i holds; it holds up to binLow(i) + binWidth() - 1.
  std::int64_t binLow(int i) const { return low_ + i * width_; }
  Count binCount(int i) const { return bins_[static_cast<std::size_t>(i)]; }

 private:
  // Moves the bins, coarsening them as needed, until they span min_ to max_.
  void refit();

  Count count_ = 0;
  std::int64_t min_ = 0;
  std::int64_t max_ = 0;
  double sum_ = 0;
  std::int64_t low_ = 0;
  std::int64_t width_ = 1;
  std::array<Count, kBins> bins_{};
};

}  // namespace grouptrace
