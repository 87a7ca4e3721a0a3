// A Zipf-distributed rank sampler: P(k) proportional to 1 / k^s for k in
// 1..n, any s >= 0, constant time and memory per draw whatever n is.
#ifndef OBJSTORE_TOOLS_OSUTIL_ZIPF_H_
#define OBJSTORE_TOOLS_OSUTIL_ZIPF_H_

#include <cstdint>
#include <random>

namespace osutil {

// Rejection-inversion sampling (Hörmann and Derflinger, 1996): draws x by
// inverting the integral H of the continuous density h(x) = x^-s over
// [1.5, n + 0.5], rounds it to the nearest rank k, and accepts k when the
// draw fell under the area that belongs to k. The acceptance rate stays
// above about 90% for every s and n, so a draw costs a few logarithms.
class ZipfSampler {
 public:
  ZipfSampler(uint64_t rankCount, double exponent);

  // A rank in [1, rankCount]; rank 1 is the most frequent.
  uint64_t sample(std::mt19937_64& engine) const;

  uint64_t rankCount() const { return rank_count_; }
  double exponent() const { return exponent_; }

 private:
  double h(double x) const;                 // x^-s
  double hIntegral(double x) const;         // the antiderivative of h, (x^(1-s) - 1) / (1 - s)
  double hIntegralInverse(double x) const;  // its inverse

  uint64_t rank_count_;
  double exponent_;
  double h_integral_x1_;  // H(1.5) - 1: the lower end of the draws
  double h_integral_n_;   // H(n + 0.5): the upper end
  double squeeze_;        // ranks within this of x are accepted without the test
};

}  // namespace osutil

#endif  // OBJSTORE_TOOLS_OSUTIL_ZIPF_H_
