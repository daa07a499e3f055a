// The laws a timed run's traces must follow, checked on fixed seeds with the
// tests' 0.1% critical values: Kolmogorov-Smirnov D > 1.95 / sqrt(n) and the
// chi-square quantiles. Each check also shows that its sample is large enough to
// tell a nearby wrong law apart, so that a pass says something.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <vector>

#include "dynamic_test_support.h"

namespace grouptrace::dynamic {
namespace {

using dyntest::runEvents;
using dyntest::scenario;
using dyntest::Stay;
using dyntest::stays;
using Cdf = std::function<double(double)>;

constexpr double kPi = 3.14159265358979323846;

double ksThreshold(std::size_t n) {
  return 1.95 / std::sqrt(static_cast<double>(n));
}

// A sample observed up to `cap`: the values at most cap, sorted, and how many
// there were in all (the others are known only to exceed cap).
struct Censored {
  std::vector<double> seen;
  std::size_t total = 0;
  double cap = 0;
};

// The Kolmogorov-Smirnov distance between the sample's empirical distribution
// and `cdf`, over the range below the cap where the sample is seen.
double ksDistance(const Censored& s, const Cdf& cdf) {
  const double n = static_cast<double>(s.total);
  double d = 0;
  for (std::size_t i = 0; i < s.seen.size(); ++i) {
    const double f = cdf(s.seen[i]);
    d = std::max({d, std::fabs(f - i / n), std::fabs(f - (i + 1) / n)});
  }
  return std::max(d, std::fabs(cdf(s.cap) - s.seen.size() / n));
}

double normalCdf(double z) {
  return 0.5 * std::erfc(-z / std::sqrt(2.0));
}

Cdf holdingCdf(const HoldingLaw& law) {
  switch (law.family) {
    case HoldingFamily::exponential:
      return [m = law.first](double x) { return 1 - std::exp(-x / m); };
    case HoldingFamily::lognormal:
      return [law](double x) { return normalCdf((std::log(x) - law.first) / law.second); };
    case HoldingFamily::pareto:
      return
          [law](double x) { return x < law.first ? 0 : 1 - std::pow(law.first / x, law.second); };
  }
  return {};
}

// The equilibrium law of the remaining stay, (1/E[H]) * integral of 1 - F from 0 to x.
Cdf remainingStayCdf(const HoldingLaw& law) {
  const double mean = meanHolding(law);
  switch (law.family) {
    case HoldingFamily::exponential:
      return holdingCdf(law);
    case HoldingFamily::lognormal:
      return [law, mean](double x) {
        const double z = (std::log(x) - law.first) / law.second;
        return (x * (1 - normalCdf(z)) + mean * normalCdf(z - law.second)) / mean;
      };
    case HoldingFamily::pareto:
      return [law, mean](double x) {
        const double a = law.first, k = law.second;
        if (x < a) return x / mean;
        return (a + a / (k - 1) * (1 - std::pow(a / x, k - 1))) / mean;
      };
  }
  return {};
}

// The stay of a member picked at a random moment, x f(x) / E[H].
Cdf lengthBiasedCdf(const HoldingLaw& law) {
  switch (law.family) {
    case HoldingFamily::exponential:
      return [m = law.first](double x) { return 1 - std::exp(-x / m) * (1 + x / m); };
    case HoldingFamily::lognormal:
      return holdingCdf({law.family, law.first + law.second * law.second, law.second});
    case HoldingFamily::pareto:
      return holdingCdf({law.family, law.first, law.second - 1});
  }
  return {};
}

// The completed stays of joins made while requests ran, up to `cap`.
Censored staysOfJoins(const std::vector<Stay>& all, double duration, double cap) {
  Censored s{{}, 0, cap};
  for (const Stay& st : all) {
    if (st.phase != TracePhase::joinLeave || *st.join.time > duration - cap) continue;
    ++s.total;
    if (st.completed && st.length <= cap) s.seen.push_back(st.length);
  }
  std::sort(s.seen.begin(), s.seen.end());
  return s;
}

// How long the members present at time 0 stayed, up to the end of the run.
Censored staysOfFirstMembers(const std::vector<Stay>& all, double duration) {
  Censored s{{}, 0, duration};
  for (const Stay& st : all) {
    if (st.phase != TracePhase::beefUp) continue;
    ++s.total;
    if (st.completed) s.seen.push_back(st.length);
  }
  std::sort(s.seen.begin(), s.seen.end());
  return s;
}

struct FamilyCase {
  HoldingLaw law;
  double cap;         // where the observation of a stay is cut off
  HoldingLaw nearby;  // a law the sample must tell apart
};

const FamilyCase kFamilies[] = {
    {{HoldingFamily::exponential, 10, 0}, 50, {HoldingFamily::exponential, 10.8, 0}},
    {{HoldingFamily::lognormal, 2, 1}, 100, {HoldingFamily::lognormal, 2.08, 1}},
    {{HoldingFamily::pareto, 5, 2.5}, 100, {HoldingFamily::pareto, 5, 2.3}},
};

TEST(DynamicLaws, StaysFollowTheirHoldingFamily) {
  for (const FamilyCase& c : kFamilies) {
    DynamicOptions o;
    o.duration = 1000;
    o.holding = c.law;
    o.joinRate = 10;
    o.start = StartState::empty;
    const Censored sample =
        staysOfJoins(stays(runEvents(scenario(2000000000, 4), 31, o)), o.duration, c.cap);
    SCOPED_TRACE(::testing::Message() << "family " << static_cast<int>(c.law.family));
    ASSERT_GT(sample.total, 8000u);
    const double limit = ksThreshold(sample.total);
    EXPECT_LT(ksDistance(sample, holdingCdf(c.law)), limit);
    EXPECT_GT(ksDistance(sample, holdingCdf(c.nearby)), limit);
  }
}

TEST(DynamicLaws, MembersAtASteadyStartStayTheEquilibriumRemainder) {
  for (const FamilyCase& c : kFamilies) {
    const double mean = meanHolding(c.law);
    DynamicOptions o;
    o.duration = 3 * mean;
    o.holding = c.law;
    o.joinRate = 3000 / mean;  // 3000 members at time 0 on average
    const Censored sample =
        staysOfFirstMembers(stays(runEvents(scenario(2000000000, 4), 32, o)), o.duration);
    SCOPED_TRACE(::testing::Message() << "family " << static_cast<int>(c.law.family));
    ASSERT_GT(sample.total, 2700u);
    const double limit = ksThreshold(sample.total);
    EXPECT_LT(ksDistance(sample, remainingStayCdf(c.law)), limit);
    // The length-biased stay without its uniform share would be far off, and so
    // would full stays (except for the memoryless exponential, where they agree).
    EXPECT_GT(ksDistance(sample, lengthBiasedCdf(c.law)), limit);
    if (c.law.family != HoldingFamily::exponential) {
      EXPECT_GT(ksDistance(sample, holdingCdf(c.law)), limit);
    }
  }
}

TEST(DynamicLaws, EachSessionsArrivalsArePoissonAtItsOwnRate) {
  DynamicOptions o;
  o.duration = 2000;
  o.holding = {HoldingFamily::exponential, 5, 0};
  o.joinRate = 30;
  o.popularity.alpha = 1;
  o.start = StartState::empty;
  const Parameters p = scenario(2000000000, 3);
  std::map<std::int32_t, std::vector<double>> gaps;
  std::map<std::int32_t, double> last;
  for (const TraceEvent& e : runEvents(p, 33, o)) {
    const auto* j = std::get_if<JoinRecord>(&e);
    if (j == nullptr) continue;
    gaps[j->session].push_back(*j->time - last[j->session]);
    last[j->session] = *j->time;
  }
  const double harmonic = 1 + 1 / 2.0 + 1 / 3.0;
  for (std::int32_t s = 0; s < 3; ++s) {
    const double rate = 30 * (1 / (s + 1.0)) / harmonic;
    Censored sample{gaps[s], gaps[s].size(), 1e300};
    std::sort(sample.seen.begin(), sample.seen.end());
    ASSERT_GT(sample.total, 10000u);
    const double limit = ksThreshold(sample.total);
    auto expCdf = [](double r) { return [r](double x) { return 1 - std::exp(-r * x); }; };
    EXPECT_LT(ksDistance(sample, expCdf(rate)), limit) << "session " << s;
    EXPECT_GT(ksDistance(sample, expCdf(rate * 1.1)), limit) << "session " << s;
    EXPECT_GT(ksDistance(sample, expCdf(rate / 1.1)), limit) << "session " << s;
  }
}

TEST(DynamicLaws, JoinsSpreadOverSessionsAsZipfWeights) {
  const std::int32_t k = 8;
  DynamicOptions o;
  o.duration = 1000;
  o.holding = {HoldingFamily::exponential, 5, 0};
  o.joinRate = 20;
  o.popularity.alpha = 0.8;
  o.start = StartState::empty;
  std::vector<double> counts(k, 0);
  for (const TraceEvent& e : runEvents(scenario(1000000, k), 34, o)) {
    if (const auto* j = std::get_if<JoinRecord>(&e)) ++counts[j->session];
  }
  double n = 0;
  for (double c : counts) n += c;
  auto chiSquare = [&](double alpha) {
    double total = 0;
    for (std::int32_t s = 0; s < k; ++s) total += std::pow(s + 1.0, -alpha);
    double x2 = 0;
    for (std::int32_t s = 0; s < k; ++s) {
      const double expected = n * std::pow(s + 1.0, -alpha) / total;
      x2 += (counts[s] - expected) * (counts[s] - expected) / expected;
    }
    return x2;
  };
  ASSERT_GT(n, 18000);
  const double critical = 24.32;  // 7 degrees of freedom, 0.1%
  EXPECT_LT(chiSquare(0.8), critical);
  EXPECT_GT(chiSquare(0.7), critical);
  EXPECT_GT(chiSquare(0), critical);
}

// Each session's members besides its source, averaged over (0, T].
std::vector<double> timeAverageSizes(const std::vector<TraceEvent>& events, std::int32_t sessions,
                                     double duration) {
  std::vector<double> size(sessions, 0), area(sessions, 0), since(sessions, 0);
  TracePhase phase = TracePhase::beefUp;
  for (const TraceEvent& e : events) {
    if (const auto* m = std::get_if<PhaseStart>(&e)) phase = m->phase;
    if (phase == TracePhase::endOfSession) break;
    double step = 0;
    std::int32_t s = 0;
    double t = 0;
    if (const auto* j = std::get_if<JoinRecord>(&e)) {
      s = j->session, t = *j->time, step = 1;
    } else if (const auto* l = std::get_if<LeaveRecord>(&e)) {
      s = l->session, t = *l->time, step = -1;
    } else {
      continue;
    }
    area[s] += size[s] * (t - since[s]);
    since[s] = t;
    size[s] += step;
  }
  for (std::int32_t s = 0; s < sessions; ++s) {
    area[s] += size[s] * (duration - since[s]);
    area[s] /= duration;
  }
  return area;
}

TEST(DynamicLaws, GroupsHoldAvgSizeMembersOverTimeAndAtASteadyStart) {
  // The default join rate, avgSize * nSessions / E[H], makes lambda p_s E[H] = avgSize.
  const std::int32_t sessions = 4;
  DynamicOptions o;
  o.duration = 2000;
  o.holding = {HoldingFamily::exponential, 10, 0};
  const Parameters p = scenario(1000000, sessions, 50);
  dyntest::RecordingSink sink;
  const DynamicResult result = runDynamic(p, 35, o, sink);
  EXPECT_DOUBLE_EQ(result.joinRate, 20);
  double mean = 0;
  for (double a : timeAverageSizes(sink.events, sessions, o.duration)) mean += a / sessions;
  const double standardError = std::sqrt(2 * 10 * 50 / o.duration) / std::sqrt(sessions * 1.0);
  EXPECT_NEAR(mean, 50, 4 * standardError);

  // At time 0: Poisson counts of mean avgSize, so mean and variance both 50.
  const std::int32_t many = 200;
  o.duration = 0.001;
  std::vector<double> atZero(many, 0);
  TracePhase phase = TracePhase::beefUp;
  for (const TraceEvent& e : runEvents(scenario(1000000, many, 50), 36, o)) {
    if (const auto* m = std::get_if<PhaseStart>(&e)) phase = m->phase;
    const auto* j = std::get_if<JoinRecord>(&e);
    if (j != nullptr && phase == TracePhase::beefUp) ++atZero[j->session];
  }
  double sum = 0, squares = 0;
  for (double c : atZero) sum += c;
  const double sampleMean = sum / many;
  for (double c : atZero) squares += (c - sampleMean) * (c - sampleMean);
  const double sampleVariance = squares / (many - 1);
  EXPECT_NEAR(sampleMean, 50, 4 * std::sqrt(50.0 / many));
  EXPECT_NEAR(sampleVariance, 50, 4 * 50 * std::sqrt(2.0 / many));
}

TEST(DynamicLaws, HourlyJoinsFollowTheDailyCurve) {
  const double amplitude = 0.6, period = 86400, peak = 72000, rate = 0.5;
  DynamicOptions o;
  o.duration = period;
  o.holding = {HoldingFamily::exponential, 1, 0};
  o.joinRate = rate;
  o.diurnal = {amplitude, period, peak};
  o.start = StartState::empty;
  std::vector<double> hourly(24, 0);
  for (const TraceEvent& e : runEvents(scenario(1000000, 2), 37, o)) {
    if (const auto* j = std::get_if<JoinRecord>(&e)) {
      ++hourly[std::min(23, static_cast<int>(*j->time / 3600))];
    }
  }
  // The integral of rate * (1 + A cos(2 pi (t - peak) / period)) over each hour.
  auto expectedIn = [&](double a, double t0, double t1) {
    const double w = 2 * kPi / period;
    return rate * ((t1 - t0) + a / w * (std::sin(w * (t1 - peak)) - std::sin(w * (t0 - peak))));
  };
  auto chiSquare = [&](double a) {
    double x2 = 0;
    for (int h = 0; h < 24; ++h) {
      const double e = expectedIn(a, h * 3600.0, (h + 1) * 3600.0);
      x2 += (hourly[h] - e) * (hourly[h] - e) / e;
    }
    return x2;
  };
  const double critical = 51.18;  // 24 degrees of freedom (Poisson counts), 0.1%
  EXPECT_LT(chiSquare(amplitude), critical);
  EXPECT_GT(chiSquare(0), critical);
  EXPECT_GT(chiSquare(amplitude * 0.9), critical);
  // The busiest hour is one of the two that meet at the peak, 20:00.
  const auto busiest = std::max_element(hourly.begin(), hourly.end()) - hourly.begin();
  EXPECT_TRUE(busiest == 19 || busiest == 20) << busiest;
}

}  // namespace
}  // namespace grouptrace::dynamic
