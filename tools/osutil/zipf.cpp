#include "tools/osutil/zipf.h"

#include <cmath>

namespace osutil {
namespace {

// log(1 + x) / x, accurate near 0 where the quotient loses every digit.
double log1pOverX(double x) {
  if (std::fabs(x) > 1e-8) return std::log1p(x) / x;
  return 1.0 - x * (0.5 - x * (1.0 / 3.0 - 0.25 * x));
}

// (exp(x) - 1) / x, accurate near 0 for the same reason.
double expm1OverX(double x) {
  if (std::fabs(x) > 1e-8) return std::expm1(x) / x;
  return 1.0 + x * 0.5 * (1.0 + x * (1.0 / 3.0) * (1.0 + 0.25 * x));
}

// A double uniform in [0, 1) from the engine's top 53 bits, the same on
// every platform (the standard distributions are not).
double uniformUnit(std::mt19937_64& engine) {
  return static_cast<double>(engine() >> 11) * 0x1.0p-53;
}

}  // namespace

ZipfSampler::ZipfSampler(uint64_t rankCount, double exponent)
    : rank_count_(rankCount < 1 ? 1 : rankCount), exponent_(exponent) {
  h_integral_x1_ = hIntegral(1.5) - 1.0;
  h_integral_n_ = hIntegral(static_cast<double>(rank_count_) + 0.5);
  squeeze_ = 2.0 - hIntegralInverse(hIntegral(2.5) - h(2.0));
}

double ZipfSampler::h(double x) const { return std::exp(-exponent_ * std::log(x)); }

// Written through log(x) so that s = 1 (where the closed form divides by
// zero) gives log(x) continuously.
double ZipfSampler::hIntegral(double x) const {
  const double logX = std::log(x);
  return expm1OverX((1.0 - exponent_) * logX) * logX;
}

double ZipfSampler::hIntegralInverse(double x) const {
  double t = x * (1.0 - exponent_);
  if (t < -1.0) t = -1.0;  // rounding can push it just past the pole
  return std::exp(log1pOverX(t) * x);
}

uint64_t ZipfSampler::sample(std::mt19937_64& engine) const {
  for (;;) {
    // u is uniform in (H(1.5) - h(1), H(n + 0.5)]: rank 1 owns the stretch of
    // length h(1) = 1 below H(1.5), every other rank k its stretch of
    // [H(k - 0.5), H(k + 0.5)].
    const double u = h_integral_n_ + uniformUnit(engine) * (h_integral_x1_ - h_integral_n_);
    const double x = hIntegralInverse(u);
    double rounded = std::floor(x + 0.5);
    if (rounded < 1.0) rounded = 1.0;
    if (rounded > static_cast<double>(rank_count_)) rounded = static_cast<double>(rank_count_);
    const uint64_t k = static_cast<uint64_t>(rounded);
    // Accept when u lies in the top h(k) of k's stretch, so that every rank
    // is drawn in proportion to h(k); the squeeze accepts most draws without
    // evaluating H again.
    if (rounded - x <= squeeze_ || u >= hIntegral(rounded + 0.5) - h(rounded)) return k;
  }
}

}  // namespace osutil
