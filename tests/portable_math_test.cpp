#include "dynamic/portable_math.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "dynamic/philox.h"

namespace grouptrace::dynamic {
namespace {

namespace pm = portable;
using Long = long double;

constexpr double kInf = std::numeric_limits<double>::infinity();
const Long kPi = 3.141592653589793238462643383279502884L;

// |approx - exact| in units of the last place of the exact value rounded to double.
double ulpError(double approx, Long exact) {
  const double rounded = static_cast<double>(exact);
  const double mag = std::fabs(rounded);
  const double ulp = std::nextafter(mag, kInf) - mag;
  return static_cast<double>(std::fabs(static_cast<Long>(approx) - exact) / ulp);
}

// Samples spread over every binade between 2^lo and 2^hi, with random significands.
std::vector<double> acrossBinades(int lo, int hi, int perBinade, std::int32_t session) {
  DrawStream stream(1, Purpose::source, session);
  std::vector<double> xs;
  for (int e = lo; e < hi; ++e) {
    for (int i = 0; i < perBinade; ++i) xs.push_back(std::ldexp(1 + stream.nextUniform(), e));
  }
  return xs;
}

std::vector<double> uniformIn(double a, double b, int n, std::int32_t session) {
  DrawStream stream(2, Purpose::source, session);
  std::vector<double> xs;
  for (int i = 0; i < n; ++i) xs.push_back(a + (b - a) * stream.nextUniform());
  return xs;
}

TEST(PortableLog, WithinOneUlpEverywhere) {
  std::vector<double> xs = acrossBinades(-1074, 1024, 40, 0);
  for (int k = -2000; k <= 2000; ++k) xs.push_back(1 + k * 0x1p-40);  // around the zero
  for (double x : {DBL_MIN, DBL_TRUE_MIN, DBL_MAX, 0.5, 2.0, M_SQRT2, std::nextafter(M_SQRT2, 0.0),
                   M_SQRT1_2, 1 - 0x1p-53, 1 + 0x1p-52, 0x1p-53}) {
    xs.push_back(x);
  }
  double worst = 0;
  for (double x : xs) {
    const double e = ulpError(pm::log(x), std::log(static_cast<Long>(x)));
    if (e > worst) worst = e;
    ASSERT_LE(e, 1.0) << "log(" << x << ")";
  }
  std::cout << "log: largest error " << worst << " ulp over " << xs.size() << " arguments\n";
  EXPECT_EQ(pm::log(1.0), 0.0);
  EXPECT_EQ(pm::log(0.0), -kInf);
  EXPECT_EQ(pm::log(kInf), kInf);
  EXPECT_TRUE(std::isnan(pm::log(-1.0)));
  EXPECT_TRUE(std::isnan(pm::log(std::nan(""))));
}

TEST(PortableExp, WithinOneUlpOverTheNormalRangeAndRoundedInTheSubnormals) {
  std::vector<double> xs = uniformIn(-708.3, 709.78, 50000, 0);
  for (double x : acrossBinades(-60, 9, 200, 1)) {
    if (x < 709.78) xs.push_back(x);
    xs.push_back(-x);
  }
  double worst = 0;
  for (double x : xs) {
    const double e = ulpError(pm::exp(x), std::exp(static_cast<Long>(x)));
    if (e > worst) worst = e;
    ASSERT_LE(e, 1.0) << "exp(" << x << ")";
  }
  std::cout << "exp: largest error " << worst << " ulp over " << xs.size() << " arguments\n";
  // Subnormal results: within one step of the subnormal grid.
  for (double x : uniformIn(-745.1, -708.4, 20000, 2)) {
    const Long exact = std::exp(static_cast<Long>(x));
    ASSERT_LE(std::fabs(static_cast<Long>(pm::exp(x)) - exact), static_cast<Long>(DBL_TRUE_MIN))
        << "exp(" << x << ")";
  }
  EXPECT_EQ(pm::exp(0.0), 1.0);
  EXPECT_EQ(pm::exp(710.0), kInf);
  EXPECT_EQ(pm::exp(-746.0), 0.0);
  EXPECT_EQ(pm::exp(-kInf), 0.0);
  EXPECT_EQ(pm::exp(kInf), kInf);
  EXPECT_LT(pm::exp(709.78), kInf);
  EXPECT_GT(pm::exp(-745.0), 0.0);
  EXPECT_TRUE(std::isnan(pm::exp(std::nan(""))));
}

TEST(PortablePow, RelativeErrorGrowsOnlyWithTheExponentTimesTheLog) {
  // The model's uses: zipf weights (s + 1)^-alpha and Pareto stays u^(-1/shape).
  std::vector<std::pair<double, double>> cases;
  DrawStream stream(3, Purpose::source, 0);
  for (int i = 0; i < 40000; ++i) {
    const double u = stream.nextUniform();
    const double shape = 1 + 9 * stream.nextUniform();
    cases.push_back({u * u * u, -1 / shape});
    const double s = std::floor(1 + 1e7 * stream.nextUniform() * stream.nextUniform());
    cases.push_back({s, -3 * stream.nextUniform()});
  }
  double worst = 0;
  for (auto [x, y] : cases) {
    const Long exact = std::pow(static_cast<Long>(x), static_cast<Long>(y));
    const double bound = 2 + std::fabs(y * std::log(x));
    const double e = ulpError(pm::pow(x, y), exact) / 2;  // in units of 2^-52 relative
    if (e / bound > worst) worst = e / bound;
    ASSERT_LE(e, bound) << x << "^" << y;
  }
  std::cout << "pow: largest error " << worst << " of the bound\n";
  EXPECT_EQ(pm::pow(1.0, -2.5), 1.0);
  EXPECT_EQ(pm::pow(7.0, 0.0), 1.0);
}

// cos(2 pi t), reduced by exact steps in long double so that the reference keeps
// its accuracy next to the zeros too.
Long referenceCosTurns(double t) {
  Long f = std::fabs(static_cast<Long>(t));
  f -= std::floor(f);
  if (f > 0.5L) f = 1 - f;
  Long sign = 1;
  if (f > 0.25L) {
    f = 0.5L - f;
    sign = -1;
  }
  return sign * std::sin(2 * kPi * (0.25L - f));
}

TEST(PortableCosTurns, WithinOneAndAHalfUlpAtAnyDistanceFromZero) {
  std::vector<double> ts = uniformIn(-3, 3, 50000, 3);
  for (double t : acrossBinades(-40, -2, 100, 4)) {
    ts.push_back(t);             // near a whole turn
    ts.push_back(0.25 - t / 8);  // near the zeros
    ts.push_back(0.5 + t / 8);   // near half a turn
    ts.push_back(0.75 + t / 8);
  }
  for (double t : acrossBinades(2, 52, 100, 5)) ts.push_back(t);  // many days into a run
  double worst = 0;
  for (double t : ts) {
    const Long exact = referenceCosTurns(t);
    if (exact == 0) continue;
    const double e = ulpError(pm::cosTurns(t), exact);
    if (e > worst) worst = e;
    ASSERT_LE(e, 1.5) << "cosTurns(" << t << ")";
  }
  std::cout << "cosTurns: largest error " << worst << " ulp over " << ts.size() << " arguments\n";
  EXPECT_EQ(pm::cosTurns(0.0), 1.0);
  EXPECT_EQ(pm::cosTurns(0.5), -1.0);
  EXPECT_EQ(pm::cosTurns(-3.0), 1.0);
  EXPECT_EQ(pm::cosTurns(0.25), 0.0);
  EXPECT_EQ(pm::cosTurns(1e300), 1.0);
  EXPECT_EQ(pm::cosTurns(0.125), std::sqrt(0.5));
  EXPECT_TRUE(std::isnan(pm::cosTurns(kInf)));
}

TEST(PortableNormalQuantile, WithinThirteenUlpsFromTailToTail) {
  std::vector<double> ps = uniformIn(0, 1, 40000, 6);
  for (double p : acrossBinades(-1074, -1, 10, 7)) {
    ps.push_back(p);
    ps.push_back(1 - p);
    ps.push_back(0.5 + p / 4);  // near the centre
    ps.push_back(0.5 - p / 4);
  }
  for (double p : {0.02425, std::nextafter(0.02425, 1.0), 0.25, std::nextafter(0.25, 0.0)}) {
    ps.push_back(p);
  }
  double worst = 0;
  for (double p : ps) {
    if (p == 0.5 || p == 1) continue;
    const double x = pm::normalQuantile(p);
    // The quantile's error is how far Phi(x) misses p over the density there;
    // the miss is taken where it does not cancel.
    const Long lx = x;
    const Long lp = p;
    const Long root2 = std::sqrt(2.0L);
    const Long miss = std::fabs(lx) < 0.5L ? 0.5L * std::erf(lx / root2) - (lp - 0.5L)
                      : x < 0              ? 0.5L * std::erfc(-lx / root2) - lp
                                           : (1 - lp) - 0.5L * std::erfc(lx / root2);
    const Long density = std::exp(-lx * lx / 2) / std::sqrt(2 * kPi);
    const double mag = std::fabs(x);
    const double e =
        static_cast<double>(std::fabs(miss / density) / (std::nextafter(mag, kInf) - mag));
    if (e > worst) worst = e;
    ASSERT_LE(e, 13.0) << "normalQuantile(" << p << ") = " << x;
    if (1 - (1 - p) == p) {
      ASSERT_EQ(pm::normalQuantile(1 - p), -x) << p;  // symmetric
    }
  }
  std::cout << "normalQuantile: largest error " << worst << " ulp over " << ps.size()
            << " arguments\n";
  EXPECT_EQ(pm::normalQuantile(0.5), 0.0);
  EXPECT_EQ(pm::normalQuantile(0.0), -kInf);
  EXPECT_EQ(pm::normalQuantile(1.0), kInf);
  EXPECT_TRUE(std::isnan(pm::normalQuantile(1.5)));
  EXPECT_NEAR(pm::normalQuantile(0.975), 1.959963984540054, 1e-15);
}

}  // namespace
}  // namespace grouptrace::dynamic
