// Shared helpers of the GMRES tests: random complex data, and a reflector set
// started by the initial block step.
#pragma once

#include <algorithm>
#include <complex>
#include <random>
#include <vector>

#include "gmres/gmres.hpp"

namespace gmres_test {

using bk::zc;
using CV = std::vector<zc>;
const zc I1{0.0, 1.0};

inline CV randc(int count, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  CV v(count);
  for (auto& x : v) x = {u(gen), u(gen)};
  return v;
}

// Largest entry of |a - b|; NaN when any entry is NaN.
inline double dist(const zc* a, const zc* b, int n) {
  double d = 0;
  for (int i = 0; i < n; ++i)
    if (const double e = std::abs(a[i] - b[i]); !(e <= d)) d = e;
  return d;
}

// The initial block step on the first s columns of B (n rows), capacity m.
// Outputs start as 7 so that what the step clears shows.
struct Initial {
  int n, s, m, p = -1, ndefl;
  CV V, vpiv, beta, sigma, R, LM, dcoef, work;
  std::vector<int> kept, dtab;
  Initial(const CV& B, int n_, int s_, int m_, double tol)
      : n(n_), s(s_), m(m_), V(n_ * m_), vpiv(m_), beta(m_), sigma(m_), R(s_ * s_, 7.0),
        LM(m_ * m_, 7.0), dcoef(s_ * s_, 7.0), work(s_ + m_), kept(s_, 7), dtab(2 * s_, 7) {
    std::copy(B.begin(), B.begin() + n * s, V.begin());
    ndefl = bk::INITIALBLOCKGMRES(&s, &tol, &p, V.data(), &n, vpiv.data(), beta.data(),
                                  sigma.data(), R.data(), &s, LM.data(), &m, kept.data(),
                                  dtab.data(), &s, dcoef.data(), &s, work.data());
  }
  zc* col(int j) { return &V[(j - 1) * n]; }
  CV q(int j) {  // q_j through HOUSEBASISVEC
    CV y(n);
    bk::HOUSEBASISVEC(&j, y.data(), V.data(), &n, beta.data(), LM.data(), &m, work.data());
    return y;
  }
};

}  // namespace gmres_test
