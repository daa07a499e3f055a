#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "grouptrace/types.h"
#include "size_spread.h"

namespace grouptrace {

// The smallest, largest and mean value a series took over a run of steps.
struct SizeBucket {
  Count min = 0;
  Count max = 0;
  double sum = 0;
  Count samples = 0;
  double mean() const { return samples == 0 ? 0.0 : sum / static_cast<double>(samples); }
};

// Group sizes over the request sequence, reduced to at most a fixed number of
// buckets of equal width so that a trace of any length fits in fixed memory.
// Step 0 is the start, step k the state after the k-th request. When the
// buckets are full, neighbours merge in pairs and the width doubles.
//
// With few sessions there is one series per session; with more, a single
// series holds, at each step, the smallest and largest group and the mean.
class GroupSizeSeries {
 public:
  GroupSizeSeries(std::int32_t sessions, std::int32_t mostLines, std::size_t maxBuckets);

  // Records the sizes after one more step; `time` is when it happened, in a
  // trace whose requests carry times.
  void sample(const SizeSpread& sizes, double time = 0);

  bool perSession() const { return perSession_; }
  std::size_t seriesCount() const { return series_; }
  std::size_t bucketCount() const { return used_; }
  Count bucketWidth() const { return width_; }
  Count steps() const { return steps_; }
  // The steps bucket b covers: from firstStep(b) up to lastStep(b).
  Count firstStep(std::size_t b) const { return static_cast<Count>(b) * width_; }
  Count lastStep(std::size_t b) const;
  // The time of bucket b's first step.
  double firstTime(std::size_t b) const { return times_[b]; }
  const SizeBucket& bucket(std::size_t b, std::size_t series) const {
    return buckets_[b * series_ + series];
  }
  Count largest() const { return largest_; }

  // Several traces side by side: one series per trace, its mean group size
  // over its sessions, on a common grid of at most `maxBuckets` buckets over
  // the longest trace's steps (or, `timed`, its time). A trace that ends
  // before another leaves its later buckets empty (no samples), so that its
  // line stops where it ends. Each trace must be one series (many sessions).
  static GroupSizeSeries compare(const std::vector<const GroupSizeSeries*>& traces, bool timed,
                                 double duration, std::size_t maxBuckets);

 private:
  void mergePairs();
  void add(std::size_t series, Count min, Count max, double value);

  bool perSession_;
  std::size_t series_;
  std::size_t maxBuckets_;
  std::vector<SizeBucket> buckets_;
  std::vector<double> times_;
  std::size_t used_ = 0;
  Count width_ = 1;
  Count steps_ = 0;
  Count largest_ = 1;
};

}  // namespace grouptrace
