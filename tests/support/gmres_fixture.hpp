// Shared helpers of the GMRES tests: random complex data and a reflector set
// of k reflectors built from a random block.
#pragma once

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

inline double dist(const zc* a, const zc* b, int n) {
  double d = 0;
  for (int i = 0; i < n; ++i) d = std::max(d, std::abs(a[i] - b[i]));
  return d;
}

// Reflector set of k reflectors (k independent random columns), n x m.
struct Set {
  int n, m, k, p = 0;
  CV V, vpiv, beta, sigma, R, LM, dcoef, work;
  std::vector<int> kept, dtab;
  Set(int n_, int m_, int k_, unsigned seed = 1)
      : n(n_), m(m_), k(k_), V(n_ * m_), vpiv(m_), beta(m_), sigma(m_), R(k_ * k_),
        LM(m_ * m_), dcoef(k_ * k_), work(m_), kept(k_), dtab(2 * k_) {
    const CV b = randc(n * k, seed);
    std::copy(b.begin(), b.end(), V.begin());
    const double tol = 0.0;
    bk::INITIALBLOCKGMRES(&k, &tol, &p, V.data(), &n, vpiv.data(), beta.data(), sigma.data(),
                          R.data(), &k, LM.data(), &m, kept.data(), dtab.data(), &k,
                          dcoef.data(), &k, work.data());
  }
  zc* col(int j) { return &V[(j - 1) * n]; }
  CV q(int j) {  // q_j through HOUSEBASISVEC
    CV y(n);
    bk::HOUSEBASISVEC(&j, y.data(), V.data(), &n, beta.data(), LM.data(), &m, work.data());
    return y;
  }
  // H_1 H_2 ... H_L e_j formed reflector by reflector (beta = 0 is the identity).
  CV explicit_q(int j, int L) {
    CV y(n, 0.0);
    y[j - 1] = 1.0;
    for (int i = L; i >= 1; --i) {
      if (beta[i - 1] == 0.0) continue;
      zc d = 0;
      for (int r = 0; r < n; ++r) d += std::conj(col(i)[r]) * y[r];
      for (int r = 0; r < n; ++r) y[r] -= col(i)[r] * d / beta[i - 1];
    }
    return y;
  }
};

}  // namespace gmres_test
