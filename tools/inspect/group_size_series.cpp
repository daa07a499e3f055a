#include "group_size_series.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace grouptrace {

GroupSizeSeries::GroupSizeSeries(std::int32_t sessions, std::int32_t mostLines,
                                 std::size_t maxBuckets)
    : perSession_(sessions <= mostLines),
      series_(perSession_ ? static_cast<std::size_t>(sessions) : 1),
      maxBuckets_(maxBuckets),
      buckets_(maxBuckets * series_),
      times_(maxBuckets) {
  if (sessions < 1) throw std::invalid_argument("a trace has at least one session");
  if (maxBuckets < 2 || maxBuckets % 2 != 0) {
    throw std::invalid_argument("the bucket count must be even and at least 2");
  }
}

GroupSizeSeries GroupSizeSeries::compare(const std::vector<const GroupSizeSeries*>& traces,
                                         bool timed, double duration, std::size_t maxBuckets) {
  GroupSizeSeries out(static_cast<std::int32_t>(traces.size()),
                      static_cast<std::int32_t>(traces.size()), maxBuckets);
  Count steps = 1;
  for (const GroupSizeSeries* t : traces) {
    if (t->perSession_ && t->series_ != 1) {
      throw std::invalid_argument("a compared trace is one series, its mean over its sessions");
    }
    steps = std::max(steps, t->steps_);
  }
  out.steps_ = steps;
  out.width_ = std::max<Count>(
      1, (steps + static_cast<Count>(maxBuckets) - 1) / static_cast<Count>(maxBuckets));
  out.used_ = static_cast<std::size_t>((steps + out.width_ - 1) / out.width_);
  const double slot = duration / static_cast<double>(out.used_);
  for (std::size_t b = 0; b < out.used_; ++b) {
    out.times_[b] = timed ? slot * static_cast<double>(b) : 0;
    for (std::size_t i = 0; i < traces.size(); ++i) {
      const GroupSizeSeries& t = *traces[i];
      // The trace's bucket that holds this bucket's start, if the trace
      // reaches it: the last of its buckets to begin at or before it.
      std::size_t at = 0;
      bool reached = false;
      for (std::size_t k = 0; k < t.used_; ++k) {
        const bool begun =
            timed ? t.times_[k] <= out.times_[b] : t.firstStep(k) <= out.firstStep(b);
        if (!begun) break;
        at = k;
        reached = timed || out.firstStep(b) < t.steps_;
      }
      if (!reached) continue;
      const SizeBucket& from = t.bucket(at, 0);
      out.buckets_[b * out.series_ + i] = SizeBucket{from.min, from.max, from.mean(), 1};
      // The axis fits the lines drawn, the means, not the largest group.
      out.largest_ = std::max(out.largest_, static_cast<Count>(std::ceil(from.mean())));
    }
  }
  return out;
}

Count GroupSizeSeries::lastStep(std::size_t b) const {
  return std::min(firstStep(b) + width_, steps_) - 1;
}

void GroupSizeSeries::mergePairs() {
  for (std::size_t b = 0; b < maxBuckets_ / 2; ++b) {
    for (std::size_t s = 0; s < series_; ++s) {
      const SizeBucket& x = buckets_[(2 * b) * series_ + s];
      const SizeBucket& y = buckets_[(2 * b + 1) * series_ + s];
      buckets_[b * series_ + s] = SizeBucket{std::min(x.min, y.min), std::max(x.max, y.max),
                                             x.sum + y.sum, x.samples + y.samples};
    }
  }
  for (std::size_t b = 0; b < maxBuckets_ / 2; ++b) times_[b] = times_[2 * b];
  std::fill(buckets_.begin() + static_cast<std::ptrdiff_t>(maxBuckets_ / 2 * series_),
            buckets_.end(), SizeBucket{});
  used_ = maxBuckets_ / 2;
  width_ *= 2;
}

void GroupSizeSeries::add(std::size_t series, Count min, Count max, double value) {
  SizeBucket& bucket = buckets_[(used_ - 1) * series_ + series];
  if (bucket.samples == 0) {
    bucket.min = min;
    bucket.max = max;
  } else {
    bucket.min = std::min(bucket.min, min);
    bucket.max = std::max(bucket.max, max);
  }
  bucket.sum += value;
  ++bucket.samples;
}

void GroupSizeSeries::sample(const SizeSpread& sizes, double time) {
  const auto b = static_cast<std::size_t>(steps_ / width_);
  if (b == maxBuckets_) mergePairs();
  if (static_cast<std::size_t>(steps_ / width_) == used_) times_[used_++] = time;
  ++steps_;
  largest_ = std::max(largest_, sizes.max());
  if (perSession_) {
    for (std::size_t s = 0; s < series_; ++s) {
      const Count size = sizes.size(static_cast<std::int32_t>(s));
      add(s, size, size, static_cast<double>(size));
    }
  } else {
    add(0, sizes.min(), sizes.max(), sizes.mean());
  }
}

}  // namespace grouptrace
