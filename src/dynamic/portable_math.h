#pragma once

namespace grouptrace::dynamic::portable {

// The transcendental functions the timed model draws with, written from IEEE-754
// basic operations (+ - * / and sqrt, all correctly rounded) and exact bit
// manipulation only, so that a seed gives the same bits on every platform; the C
// library's versions differ between libraries and architectures in the last
// place. portable_math.cpp must be compiled without contraction into fused
// multiply-adds (CMake sets -ffp-contract=off on it).
//
// The error bounds below are those the tests measure against long double
// references over the whole domain, rounded up; "ulp" is a unit in the last
// place of the exact result.

// Natural logarithm for x > 0 (subnormals included): within 1 ulp.
// log(0) = -inf, log(+inf) = +inf, NaN for x < 0 or NaN.
double log(double x);

// e^x: within 1 ulp where the result is normal; a subnormal result is rounded
// once from an approximation within 1 ulp of the smallest normal. 0 below
// -745.14, +inf above 709.79.
double exp(double x);

// x^y for x > 0 as exp(y log x): relative error within (2 + |y ln x|) * 2^-52.
// The rounding of log x is magnified by the exponent, which is why the bound
// grows with |y ln x|: alpha ln nSessions for a zipf weight, at most 37 / SHAPE
// for a Pareto stay (u >= 2^-53).
double pow(double x, double y);

// cos(2 pi t), the angle given in turns: within 1.5 ulp, near the zeros too
// (exactly 0 at a quarter turn). Turns reduce exactly whatever the size of t, so
// the daily rhythm's phase is computed as (time - peak) / period in turns.
double cosTurns(double t);

// sin(2 pi t), the angle given in turns: as accurate as cosTurns, and exact in
// sign and relative accuracy near every zero (sinTurns(t) for tiny t is 2 pi t
// to within an ulp or so).
double sinTurns(double t);

// sin(2 pi t) / (2 pi t), 1 at t = 0: the mean of cos over an interval whose
// half-width is t turns, without the cancellation of a difference of sines.
double sincTurns(double t);

// 1 - Phi(z), the standard normal upper tail, for every z: a few ulps relative,
// far into the upper tail too (where 1 - Phi(z) would be 0 computed as a
// difference); 0 once it underflows, near z = 38.5.
double normalUpperTail(double z);

// The standard normal quantile Phi^-1(p) for 0 < p < 1, subnormal p included:
// within 13 ulps (measured 12.05, the worst where 0.67 < |x| < 1.5; a few in
// the middle and the far tails). P. J. Acklam's rational approximation (2003, relative
// error 1.15e-9) starts one Halley step, whose residual Phi(x) - p comes from a series in the
// middle and from Laplace's continued fraction of the Mills ratio beyond.
// Exactly antisymmetric: normalQuantile(1 - p) == -normalQuantile(p) whenever
// 1 - p is exact, as it is for the model's uniforms.
double normalQuantile(double p);

}  // namespace grouptrace::dynamic::portable
