#pragma once

#include <cstdint>
#include <vector>

#include "grouptrace/types.h"

namespace grouptrace {

// Every session's group size, with the smallest, largest and total kept up to
// date in constant time per change: a plot of thousands of sessions samples
// them after every request.
class SizeSpread {
 public:
  // Every session starts with its source alone.
  explicit SizeSpread(std::int32_t sessions);

  // One member more (+1) or fewer (-1).
  void change(std::int32_t session, int delta);
  // The session's size after one member came or went, as a reader counted it.
  void set(std::int32_t session, Count size);

  std::int32_t sessions() const { return static_cast<std::int32_t>(sizes_.size()); }
  Count size(std::int32_t session) const { return sizes_[static_cast<std::size_t>(session)]; }
  Count min() const { return min_; }
  Count max() const { return max_; }
  double mean() const { return static_cast<double>(total_) / static_cast<double>(sizes_.size()); }

 private:
  std::vector<Count> sizes_;
  // How many sessions have each size. Since a size moves by one at a time, the
  // extremes move by at most one per change and need no search.
  std::vector<Count> withSize_;
  Count min_ = 1;
  Count max_ = 1;
  Count total_;
};

}  // namespace grouptrace
