#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "grouptrace/dynamic_model.h"
#include "grouptrace/types.h"

namespace grouptrace::dynamic {

// The portable logarithm, for the templates below.
double logOf(double x);

// The mean number of members a session holds at time 0 in the steady state its
// daily rhythm keeps, per unit of its average join rate: the integral over
// past ages u of the rhythm's factor at -u times the survival 1 - F(u),
//   E[H] + A * integral_0^inf cos(2 pi (u + PEAK) / PERIOD) (1 - F(u)) du,
// which is E[H] without a rhythm. The exponential family has it in closed
// form; lognormal and Pareto stays take Filon's rule (the survival function
// interpolated by a polynomial of degree 7 on each piece, the cosine
// integrated exactly against it, so that a piece may span any number of
// periods) on pieces over which the survival changes little, up to where the
// rest of the integral is below 2^-56 E[H], and the closed form over the
// stretch where the survival is 1. Only basic operations and the project's
// portable functions: the same bits on every platform.
double steadyPresence(const HoldingLaw& law, const Diurnal& rhythm);

// The same integral by Filon's rule alone, for any survival function the caller
// gives with its tail bounds; exposed so that the rule can be checked against the
// exponential's closed form.
struct SurvivalShape {
  // 1 - F(u) for u >= start.
  double (*survival)(const HoldingLaw& law, double u);
  // Where the survival stops being 1 (to within 1e-17), and the next piece's end
  // from the last one's.
  double start;
  double (*nextEnd)(const HoldingLaw& law, double end);
  // An upper bound on the integral of the survival beyond u.
  double (*tailMass)(const HoldingLaw& law, double u);
};
double cosineIntegral(const HoldingLaw& law, const SurvivalShape& shape, const Diurnal& rhythm);

// The arrivals a rhythm brings over (t1, t2] per unit of the average rate:
// (t2 - t1) (1 + A cos(2 pi (mid - PEAK) / PERIOD) sinc), free of the
// cancellation of a difference of sines when the interval is short.
double rhythmMass(const Diurnal& rhythm, double t1, double t2);

// A draw of the law P(n) proportional to mean^n / n! for 0 <= n <= most (a
// Poisson law cut off at `most`: Erlang's loss law) by inversion of the
// uniform `u` in (0, 1), the values visited outward from the most likely one,
// alternately above and below, until their weights fall below 2^-64 of the
// sum. Its steps number a few standard deviations, at most most + 1: never
// more than the law's own reach. `tick` is called once per step.
template <class Tick>
Count cutPoisson(double mean, Count most, double u, Tick&& tick) {
  if (!(mean > 0) || most <= 0) return 0;
  const double floorMean = std::floor(mean);
  const Count mode = floorMean >= static_cast<double>(most) ? most : static_cast<Count>(floorMean);
  // One walk, twice: first to the total, then to the value where the running
  // sum passes u times it. Both sum the same terms in the same order, so the
  // second walk's sums are the first's and it ends by the first one's end.
  const auto walk = [&](double target, Count& found) {
    double sum = 1;
    if (target <= sum) {
      found = mode;
      return sum;
    }
    Count up = mode, down = mode;
    double upWeight = 1, downWeight = 1;
    bool upLive = up<most, downLive = down> 0;
    constexpr double kNegligible = 0x1p-64;
    while (upLive || downLive) {
      tick();
      if (upLive) {
        upWeight *= mean / static_cast<double>(up + 1);
        ++up;
        if (upWeight < kNegligible * sum) {
          upLive = false;
        } else {
          sum += upWeight;
          if (sum >= target) {
            found = up;
            return sum;
          }
          upLive = up < most;
        }
      }
      if (downLive) {
        downWeight *= static_cast<double>(down) / mean;
        --down;
        if (downWeight < kNegligible * sum) {
          downLive = false;
        } else {
          sum += downWeight;
          if (sum >= target) {
            found = down;
            return sum;
          }
          downLive = down > 0;
        }
      }
    }
    found = mode;
    return sum;
  };
  Count found = mode;
  const double total = walk(std::numeric_limits<double>::infinity(), found);
  walk(u * total, found);
  return found;
}

// The log of the Poisson probability of k at `mean`, to a few ulps of its
// terms at any mean: Loader's saddle-point form -stirlerr(k) - bd0(k, mean) -
// log(2 pi k) / 2 (C. Loader, "Fast and accurate computation of binomial
// probabilities", 2000) instead of -mean + k log(mean) - log(k!), whose terms
// cancel to nothing at large means.
double logPoissonMass(double k, double mean);

// A Poisson draw for counts of arrivals, of means up to 2^52: the walk above for
// means below 100; beyond, Hormann's transformed rejection with squeeze ("The
// transformed rejection method for generating Poisson random variables",
// Insurance: Mathematics and Economics 12, 1993), its final test on
// logPoissonMass. `uniform(i)` gives the draw's i-th uniform in (0, 1); an
// attempt takes two, and nearly every attempt is accepted.
template <class Uniform>
Count poissonCount(double mean, Uniform&& uniform) {
  if (!(mean > 0)) return 0;
  if (mean < 100) {
    return cutPoisson(mean, std::numeric_limits<Count>::max(), uniform(0), [] {});
  }
  const double root = std::sqrt(mean);
  const double b = 0.931 + 2.53 * root;
  const double a = -0.059 + 0.02483 * b;
  const double logInvAlpha = logOf(1.1239 + 1.1328 / (b - 3.4));
  const double vr = 0.9277 - 3.6224 / (b - 2);
  for (std::uint64_t i = 0;; i += 2) {
    const double u = uniform(i) - 0.5;
    const double v = uniform(i + 1);
    const double us = 0.5 - std::fabs(u);
    const double k = std::floor((2 * a / us + b) * u + mean + 0.43);
    if (us >= 0.07 && v <= vr) return static_cast<Count>(k);
    if (k < 0 || k > 0x1p62 || (us < 0.013 && v > us)) continue;
    if (logOf(v) + logInvAlpha - logOf(a / (us * us) + b) <= logPoissonMass(k, mean)) {
      return static_cast<Count>(k);
    }
  }
}

}  // namespace grouptrace::dynamic
