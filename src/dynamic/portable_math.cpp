#include "dynamic/portable_math.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace grouptrace::dynamic::portable {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ln 2 split so that k * kLn2Hi is exact for |k| < 2^11: kLn2Hi has 21 trailing
// zero bits.
constexpr double kLn2Hi = 6.93147180369123816490e-01;  // 0x3FE62E42FEE00000
constexpr double kLn2Lo = 1.90821492927058770002e-10;  // 0x3DEA39EF35793C76
constexpr double kInvLn2 = 1.44269504088896338700e+00;
constexpr double kSqrtTwo = 1.41421356237309504880;

// 2^e as a double, for -1022 <= e <= 1023.
double powerOfTwo(int e) {
  return std::bit_cast<double>(static_cast<std::uint64_t>(1023 + e) << 52);
}

}  // namespace

double log(double x) {
  if (!(x > 0)) return x == 0 ? -kInf : kNaN;
  if (x == kInf) return kInf;
  int e = 0;
  if (x < 0x1p-1022) {  // subnormal: scale into the normal range exactly
    x *= 0x1p54;
    e = -54;
  }
  const auto bits = std::bit_cast<std::uint64_t>(x);
  e += static_cast<int>(bits >> 52) - 1023;
  // m in [sqrt(1/2), sqrt(2)), so that log m is small and never cancels with e ln 2.
  double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
  if (m > kSqrtTwo) {
    m *= 0.5;
    ++e;
  }
  // log(1 + f) = 2 atanh(s) with s = f / (2 + f); since 2s = f - s f this is
  // f - s (f - R) with R = 2 s^2/3 + 2 s^4/5 + ..., which keeps the exact f as the
  // leading term. |s| < 0.1716, so eleven terms of R leave a truncation below 2^-60.
  const double f = m - 1;  // exact: m lies within a factor 2 of 1
  const double s = f / (2 + f);
  const double z = s * s;
  double r = 2.0 / 23;
  r = r * z + 2.0 / 21;
  r = r * z + 2.0 / 19;
  r = r * z + 2.0 / 17;
  r = r * z + 2.0 / 15;
  r = r * z + 2.0 / 13;
  r = r * z + 2.0 / 11;
  r = r * z + 2.0 / 9;
  r = r * z + 2.0 / 7;
  r = r * z + 2.0 / 5;
  r = r * z + 2.0 / 3;
  r *= z;
  const double logM = f - s * (f - r);
  const double k = e;
  return k * kLn2Hi + (logM + k * kLn2Lo);
}

double exp(double x) {
  if (x != x) return x;
  if (x > 709.782712893383973096) return kInf;
  if (x < -745.133219101941108420) return 0;
  // x = k ln 2 + r with |r| <= ln 2 / 2; k * kLn2Hi is exact and so is the
  // subtraction from x, so r carries only the rounding of the low part.
  const double k = std::floor(x * kInvLn2 + 0.5);
  const double hi = x - k * kLn2Hi;
  const double lo = k * kLn2Lo;
  const double r = hi - lo;
  // e^r - 1 - r by its Taylor series: |r| < 0.347, so the terms past r^14/14!
  // stay below 2^-58.
  double p = 1.0 / 87178291200;  // 1/14!
  p = p * r + 1.0 / 6227020800;
  p = p * r + 1.0 / 479001600;
  p = p * r + 1.0 / 39916800;
  p = p * r + 1.0 / 3628800;
  p = p * r + 1.0 / 362880;
  p = p * r + 1.0 / 40320;
  p = p * r + 1.0 / 5040;
  p = p * r + 1.0 / 720;
  p = p * r + 1.0 / 120;
  p = p * r + 1.0 / 24;
  p = p * r + 1.0 / 6;
  p = p * r + 0.5;
  const double y = 1 + (r + r * r * p);
  const int n = static_cast<int>(k);
  if (n > 1023) return y * powerOfTwo(1023) * 2;
  if (n < -1022) return y * powerOfTwo(n + 1000) * 0x1p-1000;  // one rounding, into the subnormals
  return y * powerOfTwo(n);
}

double pow(double x, double y) {
  return exp(y * log(x));
}

namespace {

// An angle held as an unevaluated sum hi + lo, |lo| <= ulp(hi) / 2.
struct Angle {
  double hi;
  double lo;
};

// cos and sin of hi + lo for |hi| <= pi/4 by their Taylor series, truncated below
// 2^-60; lo enters through the first-order term.
double cosSmall(Angle x) {
  const double z = x.hi * x.hi;
  double p = 1.0 / 20922789888000;  // 1/16!
  p = p * -z + 1.0 / 87178291200;
  p = p * -z + 1.0 / 479001600;
  p = p * -z + 1.0 / 3628800;
  p = p * -z + 1.0 / 40320;
  p = p * -z + 1.0 / 720;
  p = p * -z + 1.0 / 24;
  return 1 - ((0.5 * z - z * z * p) + x.hi * x.lo);
}

double sinSmall(Angle x) {
  const double z = x.hi * x.hi;
  double p = 1.0 / 355687428096000;  // 1/17!
  p = p * -z + 1.0 / 1307674368000;
  p = p * -z + 1.0 / 6227020800;
  p = p * -z + 1.0 / 39916800;
  p = p * -z + 1.0 / 362880;
  p = p * -z + 1.0 / 5040;
  p = p * -z + 1.0 / 120;
  return x.hi - (x.hi * z * (1.0 / 6 - z * p) - x.lo);
}

// 2 pi split in two.
constexpr double kTwoPiHi = 6.28318530717958623200e+00;
constexpr double kTwoPiLo = 2.44929359829470635445e-16;

// Veltkamp's split: a = hi + lo exactly, each half with at most 26 significant bits,
// so that products of halves are exact.
Angle split(double a) {
  const double c = 134217729.0 * a;  // 2^27 + 1
  const double hi = c - (c - a);
  return {hi, a - hi};
}

// 2 pi g as hi + lo to about 2^-100 relative: Dekker's exact product of g and the
// high part of 2 pi, without a fused multiply-add.
Angle turnsToRadians(double g) {
  const double p = g * kTwoPiHi;
  const Angle a = split(g);
  const Angle b = split(kTwoPiHi);
  const double err = ((a.hi * b.hi - p) + a.hi * b.lo + a.lo * b.hi) + a.lo * b.lo;
  const double lo = err + g * kTwoPiLo;
  const double hi = p + lo;
  return {hi, lo - (hi - p)};
}

}  // namespace

double cosTurns(double t) {
  if (!(t - t == 0)) return kNaN;  // infinite or NaN
  // cos is even; then the fraction of a turn is exact (floor(t) >= t / 2 for t >= 1).
  t = t < 0 ? -t : t;
  double f = t - std::floor(t);
  if (f > 0.5) f = 1 - f;  // exact, and each step below is exact too
  double sign = 1;
  if (f > 0.25) {
    f = 0.5 - f;
    sign = -1;
  }
  // Near a quarter turn the cosine is small: sin of the exact distance to the
  // quarter keeps its relative accuracy there.
  const double c = f <= 0.125 ? cosSmall(turnsToRadians(f)) : sinSmall(turnsToRadians(0.25 - f));
  return sign * c;
}

double sinTurns(double t) {
  if (!(t - t == 0)) return kNaN;
  // sin is odd; then the fraction of a turn is exact, and so is each fold below.
  double sign = 1;
  if (t < 0) {
    t = -t;
    sign = -1;
  }
  double f = t - std::floor(t);
  if (f > 0.5) {
    f = 1 - f;
    sign = -sign;
  }
  if (f > 0.25) f = 0.5 - f;
  const double s = f <= 0.125 ? sinSmall(turnsToRadians(f)) : cosSmall(turnsToRadians(0.25 - f));
  return sign * s;
}

double sincTurns(double t) {
  if (t < 0) t = -t;
  if (t < 0.0625) {
    // x = 2 pi t <= pi / 8: the series sum (-x^2)^n / (2n + 1)! to below 2^-60.
    const double x = turnsToRadians(t).hi;
    const double z = x * x;
    double p = 1.0 / 355687428096000;  // 1/17!
    p = p * -z + 1.0 / 1307674368000;
    p = p * -z + 1.0 / 6227020800;
    p = p * -z + 1.0 / 39916800;
    p = p * -z + 1.0 / 362880;
    p = p * -z + 1.0 / 5040;
    p = p * -z + 1.0 / 120;
    p = p * -z + 1.0 / 6;
    return 1 - z * p;
  }
  return sinTurns(t) / turnsToRadians(t).hi;
}

namespace {

constexpr double kInvSqrtTwoPi = 0.39894228040143267794;
constexpr double kSqrtTwoPi = 2.50662827463100050242;

double normalDensity(double x) {
  return kInvSqrtTwoPi * exp(-0.5 * (x * x));
}

// Phi(x) - 1/2 for |x| < 1.5, as phi(x) times the series sum of x^(2n+1) / (2n+1)!!,
// whose terms all share the sign of x: no cancellation, relative error of a few
// ulps.
double centralMass(double x) {
  const double z = x * x;
  double term = x;
  double sum = x;
  for (int n = 1; n < 100; ++n) {
    term *= z / (2 * n + 1);
    const double next = sum + term;
    if (next == sum) break;
    sum = next;
  }
  return normalDensity(x) * sum;
}

// The Mills ratio (1 - Phi(x)) / phi(x) for x >= 1.5 by Laplace's continued
// fraction, 1 / (x + 1 / (x + 2 / (x + 3 / ...))), to full precision: it
// converges slowly near 0, and 250 levels are enough from 1.5 on, 150 from 2.
double millsRatio(double x) {
  const int depth = x >= 2 ? 150 : 250;
  double f = x;
  for (int k = depth; k >= 1; --k) f = x + k / f;
  return 1 / f;
}

// Acklam's rational approximation, relative error below 1.15e-9.
double roughQuantile(double p) {
  static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                                 -2.759285104469687e+02, 1.383577518672690e+02,
                                 -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                                 -1.556989798598866e+02, 6.680131188771972e+01,
                                 -1.328068155288572e+01};
  static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                                 -2.400758277161838e+00, -2.549732539343734e+00,
                                 4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01,
                                 2.445134137142996e+00, 3.754408661907416e+00};
  constexpr double kLow = 0.02425;
  if (p < kLow) {
    const double q = std::sqrt(-2 * log(p));
    return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
           ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
  }
  const double q = p - 0.5;
  const double r = q * q;
  return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
         (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
}

}  // namespace

double normalUpperTail(double z) {
  if (z != z) return z;
  if (z >= 1.5) return z > 40 ? 0 : normalDensity(z) * millsRatio(z);
  if (z > -1.5) return 0.5 - centralMass(z);
  return z < -40 ? 1 : 1 - normalDensity(z) * millsRatio(-z);
}

double normalQuantile(double p) {
  if (!(p > 0 && p < 1)) {
    if (p == 0) return -kInf;
    if (p == 1) return kInf;
    return kNaN;
  }
  // Work in the lower half, where p is exact: 1 - p is exact for p >= 1/2.
  const bool upper = p > 0.5;
  const double lower = upper ? 1 - p : p;
  double x = roughQuantile(lower);
  if (x < 0) {
    // One Halley step on Phi(x) = lower takes the 1e-9 start to the precision of
    // the residual (Phi(x) - lower) / phi(x), formed where it does not cancel:
    // against p - 1/2 (exact for p >= 1/4) in the middle; against 1/2 - p, split
    // exactly in two, to x = -1.5; beyond, as the Mills ratio less lower / phi(x),
    // taken through logarithms since phi(x) underflows long before lower does.
    double u = 0;
    if (lower >= 0.25) {
      u = (centralMass(x) - (lower - 0.5)) / normalDensity(x);
    } else if (x > -1.5) {
      const double hi = 0.5 - lower;
      const double lo = (0.5 - hi) - lower;  // hi + lo == 1/2 - lower exactly
      u = ((hi - centralMass(-x)) + lo) / normalDensity(x);
    } else {
      u = millsRatio(-x) - kSqrtTwoPi * exp(0.5 * (x * x) + log(lower));
    }
    x -= u / (1 + 0.5 * x * u);
  }
  return upper ? -x : x;
}

}  // namespace grouptrace::dynamic::portable
