// The steady start of dynamic-2: the mean it starts from under a daily rhythm,
// the state of its members, the law of a session that can fill, and the counts
// drawn on the way. Statistical checks use fixed seeds and 4 standard errors
// (or the 0.1% chi-square quantiles), and each also shows that its sample tells
// the faulty start apart.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

#include "dynamic/philox.h"
#include "dynamic/portable_math.h"
#include "dynamic/start_law.h"
#include "dynamic_test_support.h"

namespace grouptrace::dynamic {
namespace {

using dyntest::runEvents;
using dyntest::scenario;

constexpr double kDay = 86400;

TEST(SteadyPresence, AgreesWithTheClosedFormAndIndependentIntegrals) {
  struct Case {
    HoldingLaw law;
    Diurnal rhythm;
    double expected;   // lambda p_s E[H] = 10,000 for the first three
    double tolerance;  // relative to E[H] past the first three
  };
  const double rate = 10000.0 / 1800;
  const Case cases[] = {
      // The values of the notes on the dynamic model: a peak at 0, 5.6 h
      // after it, and a trough at 0.
      {{HoldingFamily::exponential, 1800, 0}, {0.9, kDay, 0}, 18848 / rate, 0.5 / rate},
      {{HoldingFamily::exponential, 1800, 0}, {0.9, kDay, 20000}, 9877 / rate, 0.5 / rate},
      {{HoldingFamily::exponential, 1800, 0}, {0.9, kDay, 43200}, 1152 / rate, 0.5 / rate},
      // mpmath at 25 digits: the finite part by Gauss-Legendre on pieces of
      // at most 1/8 period and 1/8 in ln u, the rest by quadosc.
      {{HoldingFamily::lognormal, 6, 1.1}, {0.6, 7200, 3600}, 472.70196435466935, 1e-12},
      {{HoldingFamily::lognormal, -5, 1}, {0.9, kDay, 43200}, 0.0011108996538460744, 1e-12},
      {{HoldingFamily::lognormal, 6.5, 1}, {0.9, kDay, 0}, 2065.6438906865986, 1e-12},
      {{HoldingFamily::pareto, 60, 1.5}, {0.6, 7200, 3600}, 92.632205580015126, 1e-12},
      {{HoldingFamily::pareto, 1e-3, 1.2}, {0.9, kDay, 43200}, 0.00078611901427148263, 1e-12},
      {{HoldingFamily::pareto, 600, 2.5}, {0.9, kDay, 0}, 1892.6320498482660, 1e-12},
      // Without a rhythm, the mean stay.
      {{HoldingFamily::pareto, 600, 2.5}, {0, kDay, 0}, 1000, 0},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(::testing::Message() << "family " << static_cast<int>(c.law.family) << " "
                                      << c.law.first << " peak " << c.rhythm.peak);
    const double tolerance = i < 3 ? c.tolerance : c.tolerance * meanHolding(c.law);
    EXPECT_NEAR(steadyPresence(c.law, c.rhythm), c.expected, tolerance);
  }
}

// Filon's rule on the exponential's survival, against its closed form: stays far
// shorter than the period (the moments' series), about as long, and spanning
// thousands of periods per piece (their recurrence).
TEST(SteadyPresence, FilonsRuleMatchesTheExponentialsClosedForm) {
  const SurvivalShape exponential{
      [](const HoldingLaw& law, double u) { return portable::exp(-u / law.first); }, 0,
      [](const HoldingLaw& law, double end) { return end + law.first / 8; },
      [](const HoldingLaw& law, double u) { return law.first * portable::exp(-u / law.first); }};
  for (const double mean : {0.05, 1800.0, 86400.0, 2e7}) {
    for (const double peak : {0.0, 30000.0, 61000.0}) {
      const HoldingLaw law{HoldingFamily::exponential, mean, 0};
      const Diurnal rhythm{1, kDay, peak};
      SCOPED_TRACE(::testing::Message() << "mean " << mean << " peak " << peak);
      EXPECT_NEAR(mean + cosineIntegral(law, exponential, rhythm), steadyPresence(law, rhythm),
                  1e-12 * mean);
    }
  }
}

// A session's size at time t, averaged over many sessions of one run: at a
// steady start every session's size at t is Poisson of mean rate * presence
// with the rhythm's peak moved back by t.
struct SizeCheck {
  std::vector<double> times;
  std::vector<double> meanSize;  // over the sessions, at each time
};

SizeCheck meanSizes(const Parameters& p, SEED_type seed, const DynamicOptions& o,
                    const std::vector<double>& times) {
  std::vector<double> size(static_cast<std::size_t>(p.nSessions), 0);
  SizeCheck out{times, {}};
  std::size_t next = 0;
  auto sampleUpTo = [&](double t) {
    while (next < times.size() && times[next] < t) {
      double total = 0;
      for (const double s : size) total += s;
      out.meanSize.push_back(total / p.nSessions);
      ++next;
    }
  };
  TracePhase phase = TracePhase::beefUp;
  for (const TraceEvent& e : runEvents(p, seed, o)) {
    if (const auto* m = std::get_if<PhaseStart>(&e)) phase = m->phase;
    if (phase == TracePhase::endOfSession) break;
    if (const auto* j = std::get_if<JoinRecord>(&e)) {
      sampleUpTo(*j->time);
      ++size[j->session];
    } else if (const auto* l = std::get_if<LeaveRecord>(&e)) {
      sampleUpTo(*l->time);
      --size[l->session];
    }
  }
  sampleUpTo(o.duration + 1);
  return out;
}

TEST(SteadyStart, UnderARhythmStartsFromItsStateAtZeroAndStaysOnItsCurve) {
  // A strong rhythm of two hours peaking at 0: the start holds far more than
  // the average number of members. Sizes at 0, 15 min and 1 h follow the
  // periodic mean; the members present at 0 must have the ages and remaining
  // stays of that state for the later sizes to agree (stays of the rhythm's
  // average would leave too few at 15 min).
  const std::int32_t sessions = 60;
  const double perSession = 200;  // lambda p_s E[H]
  const std::vector<double> times = {0, 900, 3600};
  constexpr double kPeriod = 7200, kPeak = 0;
  for (const HoldingLaw law : {HoldingLaw{HoldingFamily::exponential, 1800, 0},
                               HoldingLaw{HoldingFamily::lognormal, 6.5, 1},
                               HoldingLaw{HoldingFamily::pareto, 600, 2.5}}) {
    SCOPED_TRACE(::testing::Message() << "family " << static_cast<int>(law.family));
    DynamicOptions o;
    o.duration = 3600;
    o.holding = law;
    o.diurnal = {0.9, kPeriod, kPeak};
    o.joinRate = sessions * perSession / meanHolding(law);
    const Parameters p = scenario(1000000, sessions);
    const SizeCheck got = meanSizes(p, 41, o, times);
    ASSERT_EQ(got.meanSize.size(), times.size());
    const double rate = *o.joinRate / sessions;
    for (std::size_t k = 0; k < times.size(); ++k) {
      const Diurnal shifted{0.9, kPeriod, kPeak - times[k]};
      const double expected = rate * steadyPresence(law, shifted);
      const double error = std::sqrt(expected / sessions);
      EXPECT_NEAR(got.meanSize[k], expected, 4 * error) << "at " << times[k] << " s";
    }
    // The start at the average rate, dynamic-1's, is far below.
    EXPECT_GT(std::fabs(got.meanSize[0] - perSession), 20 * std::sqrt(perSession / sessions));
    o.model = ModelVersion::dynamic1;
    o.duration = 1;
    const SizeCheck old = meanSizes(p, 41, o, {0});
    EXPECT_NEAR(old.meanSize[0], perSession, 4 * std::sqrt(perSession / sessions));
  }
}

TEST(SteadyStart, ASessionThatCanFillStartsFromErlangsLaw) {
  // 9 nodes: 8 besides the source. Mean 6: P(full) = 0.1219, where a Poisson
  // capped at 8 gives 0.2525.
  const std::int32_t sessions = 4000;
  DynamicOptions o;
  o.duration = 0;
  o.holding = {HoldingFamily::lognormal, 3, 1.5};  // the law is the same for every family
  const Parameters p = scenario(9, sessions, 6);
  std::vector<double> members(static_cast<std::size_t>(sessions), 0);
  const auto events = runEvents(p, 43, o);
  for (const TraceEvent& e : events) {
    if (const auto* j = std::get_if<JoinRecord>(&e)) ++members[j->session];
  }
  EXPECT_EQ(std::get<TraceSummary>(events.back()).blocked, 0) << "none is turned away at 0";
  std::vector<double> count(9, 0);
  for (const double m : members) ++count[static_cast<std::size_t>(m)];
  std::vector<double> erlang(9, 1), capped(9, 0);
  double total = 1;
  for (int n = 1; n <= 8; ++n) total += erlang[n] = erlang[n - 1] * 6 / n;
  double poisson = std::exp(-6.0), below = 0;
  for (int n = 0; n <= 8; ++n) {
    erlang[n] /= total;
    capped[n] = n < 8 ? poisson : 1 - below;
    below += poisson;
    poisson *= 6.0 / (n + 1);
  }
  EXPECT_NEAR(erlang[8], 0.1219, 5e-5);
  auto chiSquare = [&](const std::vector<double>& law) {
    double x2 = 0;
    for (int n = 0; n <= 8; ++n) {
      const double e = law[n] * sessions;
      x2 += (count[n] - e) * (count[n] - e) / e;
    }
    return x2;
  };
  const double critical = 26.12;  // 8 degrees of freedom, 0.1%
  EXPECT_LT(chiSquare(erlang), critical);
  EXPECT_GT(chiSquare(capped), critical);
}

TEST(StartCounts, DrawsFollowPoissonAtEveryMean) {
  // The counts of turned-away arrivals: the walk below 100, the transformed
  // rejection beyond, at the means a full session meets.
  for (const double mean : {3.5, 99.0, 150.0, 2.5e4, 1e12}) {
    SCOPED_TRACE(::testing::Message() << "mean " << mean);
    DrawStream stream(7, Purpose::fullCount, 0, kModelKeyTag2);
    const int n = 20000;
    double sum = 0, squares = 0;
    for (int i = 0; i < n; ++i) {
      const std::uint64_t first = stream.position();
      std::uint64_t used = 0;
      const auto k = static_cast<double>(poissonCount(mean, [&](std::uint64_t j) {
        used = std::max(used, j + 1);
        return DrawStream::uniformFromBits(stream.bitsAt(first + j));
      }));
      for (std::uint64_t j = 0; j < used; ++j) stream.nextBits();
      sum += k - mean;
      squares += (k - mean) * (k - mean);
    }
    // Mean and variance both `mean`; the variance's standard error is about
    // mean * sqrt(2 / n).
    EXPECT_NEAR(sum / n, 0, 4 * std::sqrt(mean / n));
    EXPECT_NEAR(squares / n, mean, 4 * mean * std::sqrt(2.0 / n) + 4 * std::sqrt(mean / n));
  }
}

}  // namespace
}  // namespace grouptrace::dynamic
