// Convergence progress from the largest residual norm.
//
// With r_max the largest norm at the previous call and mx the largest now,
// the reduction in decimal digits is log10(r_max / mx), and the rate is that
// per iteration. Rates are smoothed with weight one half into avgrate (the
// thread's slot); the remaining iterations are then log10(mx / tol) / avgrate,
// capped at 1000, and the percentage is it / (it + remaining).
#include <cmath>

#include "monitor/monitor.hpp"

namespace bk {

int CONVERGENCEPROGRESS(const int* it, const int* itold, const double* tol, double* rmax,
                        const double* nrm, const int* m, int* itpred, double* pct,
                        double* avgrate) {
  if (*itold == 0) {
    *avgrate = 0.0;
    *pct = 0.0;
  }

  // A NaN entry compares false both ways and so changes neither conv nor mx.
  int conv = 1;
  double mx = 0.0;
  for (int i = 0; i < *m; ++i) {
    if (nrm[i] > *tol) conv = 0;
    if (nrm[i] > mx) mx = nrm[i];
  }

  if (conv == 1) {
    *pct = 100.0;
    *itpred = *it;
    *rmax = mx;
    return 1;
  }

  const double r = std::fmax(0.0, std::log10(*rmax / mx));  // fmax drops a NaN
  if (!(r > 0.0)) {
    *avgrate = 0.0;
    *rmax = mx;
    return 0;
  }

  const double rate = r / static_cast<double>(*it - *itold);
  *avgrate = (rate + *avgrate) * 0.5;
  // Capped by comparison, so that a NaN quotient stays NaN (and gives k = 1).
  double q = std::log10(mx / *tol) / *avgrate;
  if (q > 1000.0) q = 1000.0;
  // q to the nearest integer, halves upward; a NaN or non-positive q gives 1.
  int k = 1;
  if (q + 0.5 >= 1.0) k = static_cast<int>(q + 0.5);
  *itpred = *it + k;
  *pct = (*it * 100.0) / *itpred;
  *rmax = mx;
  return 0;
}

}  // namespace bk
