#include "dynamic/start_law.h"

#include <array>

#include "dynamic/portable_math.h"

namespace grouptrace::dynamic {
namespace {

constexpr double kTwoPi = 6.28318530717958647693;

// Chebyshev points of the first kind for 8 nodes, cos((2k + 1) pi / 16).
constexpr int kNodes = 8;
constexpr std::array<double, kNodes> kPoints = {0.98078528040323044913,  0.83146961230254523708,
                                                0.55557023301960222474,  0.19509032201612826785,
                                                -0.19509032201612826785, -0.55557023301960222474,
                                                -0.83146961230254523708, -0.98078528040323044913};

using Matrix = std::array<std::array<double, kNodes>, kNodes>;

// The inverse of the Vandermonde matrix of the points: row j gives the
// coefficient of t^j of the polynomial through the values at the points. Formed
// once, by Gauss-Jordan elimination in basic operations.
const Matrix& inverseVandermonde() {
  static const Matrix inverse = [] {
    Matrix a{}, b{};
    for (int k = 0; k < kNodes; ++k) {
      double power = 1;
      for (int j = 0; j < kNodes; ++j) {
        a[k][j] = power;  // row k: the point's powers
        power *= kPoints[k];
      }
      b[k][k] = 1;
    }
    for (int col = 0; col < kNodes; ++col) {
      int pivot = col;
      for (int r = col + 1; r < kNodes; ++r) {
        if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
      }
      std::swap(a[col], a[pivot]);
      std::swap(b[col], b[pivot]);
      const double scale = a[col][col];
      for (int j = 0; j < kNodes; ++j) {
        a[col][j] /= scale;
        b[col][j] /= scale;
      }
      for (int r = 0; r < kNodes; ++r) {
        if (r == col) continue;
        const double factor = a[r][col];
        for (int j = 0; j < kNodes; ++j) {
          a[r][j] -= factor * a[col][j];
          b[r][j] -= factor * b[col][j];
        }
      }
    }
    // b = (V)^-1 with V[k][j] = t_k^j: coefficients = b times the values.
    return b;
  }();
  return inverse;
}

// The moments integral_-1^1 t^j e^(i theta t) dt for j < 8: real for even j,
// imaginary for odd j, given here as the real number m[j] (the imaginary part
// for odd j). A series where theta is small, where the recurrence by parts
// would multiply its rounding by j / theta at each step; the recurrence
// beyond, where it shrinks it.
std::array<double, kNodes> moments(double theta, double thetaTurns) {
  std::array<double, kNodes> m{};
  if (theta < 2) {
    // j even: sum over even n of (-1)^(n/2) theta^n / n! * 2 / (j + n + 1);
    // j odd: sum over odd n of (-1)^((n-1)/2) theta^n / n! * 2 / (j + n + 1).
    for (int j = 0; j < kNodes; ++j) {
      double term = (j % 2 == 0) ? 1 : theta;  // theta^n / n! for the first n
      int n = j % 2;
      double sum = 0;
      for (int step = 0; step < 40; ++step) {
        const double next = sum + term * 2 / (j + n + 1);
        if (next == sum && step > 0) break;
        sum = next;
        term *= -theta * theta / ((n + 1) * (n + 2));
        n += 2;
      }
      m[j] = sum;
    }
    return m;
  }
  const double s = 2 * portable::sinTurns(thetaTurns) / theta;
  const double c = 2 * portable::cosTurns(thetaTurns) / theta;
  m[0] = s;
  for (int j = 1; j < kNodes; ++j) {
    m[j] = (j % 2 == 0) ? s - (j / theta) * m[j - 1] : -c + (j / theta) * m[j - 1];
  }
  return m;
}

// integral_a^b S(u) cos(2 pi (u + peak) / period) du by Filon's rule of degree
// 7, S given at the points mapped onto [a, b].
double filonPiece(double a, double b, const std::array<double, kNodes>& values,
                  const Diurnal& rhythm) {
  const double half = (b - a) / 2;
  const double middle = a + half;
  const double halfTurns = half / rhythm.period;
  const std::array<double, kNodes> m = moments(kTwoPi * halfTurns, halfTurns);
  const Matrix& inverse = inverseVandermonde();
  double even = 0, odd = 0;
  for (int j = 0; j < kNodes; ++j) {
    double coefficient = 0;
    for (int k = 0; k < kNodes; ++k) coefficient += inverse[j][k] * values[k];
    if (j % 2 == 0) {
      even += coefficient * m[j];
    } else {
      odd += coefficient * m[j];
    }
  }
  // The real part of half e^(i phi) (even + i odd), phi the phase at the middle.
  const double phase = (middle + rhythm.peak) / rhythm.period;
  return half * (portable::cosTurns(phase) * even - portable::sinTurns(phase) * odd);
}

// integral_0^x cos(2 pi (u + peak) / period) du, the part where the survival is 1.
double flatPart(double x, const Diurnal& rhythm) {
  return x * portable::sincTurns(x / (2 * rhythm.period)) *
         portable::cosTurns((rhythm.peak + x / 2) / rhythm.period);
}

// Lognormal stays: S(u) = 1 - Phi((ln u - MU) / SIGMA). Pieces of at most 1/8 in
// z, 1/(4|z|) where the tail falls fast, and 1/(8 SIGMA), so that u grows by
// at most e^(1/8) across one.
double lognormalSurvival(const HoldingLaw& law, double u) {
  return portable::normalUpperTail((portable::log(u) - law.first) / law.second);
}
double lognormalNext(const HoldingLaw& law, double end) {
  const double z = (portable::log(end) - law.first) / law.second;
  double step = 0.125;
  if (std::fabs(z) > 2) step = std::fmin(step, 1 / (4 * std::fabs(z)));
  step = std::fmin(step, 0.125 / law.second);
  return portable::exp(law.first + law.second * (z + step));
}
double lognormalTail(const HoldingLaw& law, double u) {
  // integral_u^inf S = E[H] (1 - Phi(z - SIGMA)) - u (1 - Phi(z)) <= the first term.
  const double z = (portable::log(u) - law.first) / law.second;
  return meanHolding(law) * portable::normalUpperTail(z - law.second);
}

// Pareto stays: S(u) = (SCALE / u)^SHAPE from SCALE on, pieces of at most 1/8
// and 1/(4 SHAPE) in ln u.
double paretoSurvival(const HoldingLaw& law, double u) {
  return portable::pow(law.first / u, law.second);
}
double paretoNext(const HoldingLaw& law, double end) {
  return end * portable::exp(std::fmin(0.125, 0.25 / law.second));
}
double paretoTail(const HoldingLaw& law, double u) {
  return u * paretoSurvival(law, u) / (law.second - 1);
}

constexpr double kLargestPiece = 1e300;  // ends beyond this would overflow
constexpr int kMostPieces = 200000;

}  // namespace

double logOf(double x) {
  return portable::log(x);
}

double cosineIntegral(const HoldingLaw& law, const SurvivalShape& shape, const Diurnal& rhythm) {
  const double mean = meanHolding(law);
  const double omega = kTwoPi / rhythm.period;
  const double enough = 0x1p-56 * mean;
  double total = flatPart(shape.start, rhythm);
  double a = shape.start;
  for (int piece = 0; piece < kMostPieces; ++piece) {
    // What is left beyond a is at most its mass, and, the survival falling,
    // at most 2 S(a) / omega (the second mean value theorem): stop once either
    // is negligible.
    const double left = std::fmin(2 * shape.survival(law, a) / omega, shape.tailMass(law, a));
    if (left <= enough || !(a < kLargestPiece)) return total;
    const double b = shape.nextEnd(law, a);
    const double half = (b - a) / 2;
    std::array<double, kNodes> values{};
    for (int k = 0; k < kNodes; ++k) values[k] = shape.survival(law, a + half * (1 + kPoints[k]));
    total += filonPiece(a, b, values, rhythm);
    a = b;
  }
  return total;
}

double steadyPresence(const HoldingLaw& law, const Diurnal& rhythm) {
  const double mean = meanHolding(law);
  const double amplitude = rhythm.amplitude;
  if (!(amplitude > 0)) return mean;
  double cosine = 0;
  switch (law.family) {
    case HoldingFamily::exponential: {
      // MEAN (cos phi - x sin phi) / (1 + x^2), x = omega MEAN, phi = omega PEAK;
      // divided through by x past 1, where x^2 could overflow.
      const double x = kTwoPi * (law.first / rhythm.period);
      const double c = portable::cosTurns(rhythm.peak / rhythm.period);
      const double s = portable::sinTurns(rhythm.peak / rhythm.period);
      cosine = x <= 1 ? law.first * (c - x * s) / (1 + x * x)
                      : (law.first / x) * (c / x - s) / (1 + 1 / (x * x));
      break;
    }
    case HoldingFamily::lognormal: {
      if (!(law.second > 0)) {
        // Every stay is exp(MU): the survival is a step.
        cosine = flatPart(mean, rhythm);
        break;
      }
      const SurvivalShape shape{lognormalSurvival, portable::exp(law.first - 9 * law.second),
                                lognormalNext, lognormalTail};
      cosine = cosineIntegral(law, shape, rhythm);
      break;
    }
    case HoldingFamily::pareto: {
      const SurvivalShape shape{paretoSurvival, law.first, paretoNext, paretoTail};
      cosine = cosineIntegral(law, shape, rhythm);
      break;
    }
  }
  const double presence = mean + amplitude * cosine;
  // The rhythm's factor lies in [1 - A, 1 + A], and so does the result over E[H]:
  // rounding must not take it out.
  return std::fmin(std::fmax(presence, (1 - amplitude) * mean), (1 + amplitude) * mean);
}

double rhythmMass(const Diurnal& rhythm, double t1, double t2) {
  const double length = t2 - t1;
  if (!(rhythm.amplitude > 0)) return length;
  const double middle = t1 + length / 2;
  return length *
         (1 + rhythm.amplitude * portable::cosTurns((middle - rhythm.peak) / rhythm.period) *
                  portable::sincTurns(length / (2 * rhythm.period)));
}

namespace {

// log(n!) - (n + 1/2) log n + n - log(sqrt(2 pi)), the error of Stirling's
// formula: from n! itself up to 15 (exact in a double), by its series beyond.
double stirlingError(double n) {
  constexpr double kLogSqrtTwoPi = 0.91893853320467274178;
  if (n <= 15) {
    double factorial = 1;
    for (int i = 2; i <= n; ++i) factorial *= i;
    return portable::log(factorial) - (n + 0.5) * portable::log(n) + n - kLogSqrtTwoPi;
  }
  const double nn = n * n;
  return (1.0 / 12 - (1.0 / 360 - (1.0 / 1260 - (1.0 / 1680 - 1.0 / (1188 * nn)) / nn) / nn) / nn) /
         n;
}

// x log(x / m) + m - x, by its series in v = (x - m) / (x + m) where x is near m
// and the three terms would cancel.
double deviance(double x, double m) {
  if (std::fabs(x - m) < 0.1 * (x + m)) {
    const double v = (x - m) / (x + m);
    double sum = (x - m) * v;
    double power = 2 * x * v;
    for (int j = 1; j < 1000; ++j) {
      power *= v * v;
      const double next = sum + power / (2 * j + 1);
      if (next == sum) break;
      sum = next;
    }
    return sum;
  }
  return x * portable::log(x / m) + m - x;
}

}  // namespace

double logPoissonMass(double k, double mean) {
  if (k == 0) return -mean;
  constexpr double kLogTwoPi = 1.83787706640934548356;
  return -stirlingError(k) - deviance(k, mean) - 0.5 * (kLogTwoPi + portable::log(k));
}

}  // namespace grouptrace::dynamic
