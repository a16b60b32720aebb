// One whole block GMRES cycle through the exported steps, as a host runs it:
// a dense complex non-symmetric A (n = 40, s = 3), X0 = 0, R serving as the
// least-squares right-hand side G, the annihilated band of H overwritten by
// NaN. After the solve and the iterate updates X must reproduce the residual
// norms read from G, and solve A X = B when the cycle runs to convergence.
#include <gtest/gtest.h>

#include <array>

#include "blockkrylov.h"
#include "support/gmres_fixture.hpp"

namespace {
using namespace gmres_test;

// m: capacity of the reflector set (60 > n, or n: the cycle reaches k = n);
// dependent: B(:,3) = 2 B(:,1) - i B(:,2), deflated at the start; max_cols:
// columns to build (4: an early stop with a real residual left).
void run_cycle(int m, int dependent, int max_cols) {
  int n = 40, s = 3, ldr = m + s, ldh = m + s, p = 0, J = 0, inner_defl = 0;
  CV A = randc(n * n, 71), B = randc(n * s, 72);
  for (zc& a : A) a /= std::sqrt(double(n));  // spectrum: a disc of radius ~0.8 about 20
  for (int i = 0; i < n; ++i) A[i * (n + 1)] += 20.0;
  for (int r = 0; r < n && dependent; ++r) B[2 * n + r] = 2.0 * B[r] - I1 * B[n + r];
  const double bnorm = 5.0, tol = 1e-10 * bnorm;  // columns of B have norms near 5
  auto times_A = [&](const zc* x, zc* y, zc sign) {  // y += sign A x
    for (int c = 0; c < n; ++c)
      for (int r = 0; r < n; ++r) y[r] += sign * A[r + c * n] * x[c];
  };
  CV V(n * m), vpiv(m), beta(m), sigma(m), R(ldr * s), LM(m * m), dcoef(s * s), work(m + s),
      H(ldh * m, 0.0), sn(s * m), X(n * s, 0.0), w(n);
  std::vector<double> cs(s * m);
  std::vector<int> kept(s), dtab(s * 2);
  std::copy(B.begin(), B.end(), V.begin());
  const int ndefl = C_INITIALBLOCKGMRES(&s, &tol, &p, V.data(), &n, vpiv.data(), beta.data(),
                                        sigma.data(), R.data(), &ldr, LM.data(), &m, kept.data(),
                                        dtab.data(), &s, dcoef.data(), &s, work.data());
  int sk = s - ndefl;
  ASSERT_EQ(ndefl, dependent);
  auto g_residual = [&](int l) {  // rows J+1..J+sk of column l of G
    double t = 0;
    for (int i = J + 1; i <= J + sk; ++i) t += std::norm(R[(i - 1) + (l - 1) * ldr]);
    return std::sqrt(t);
  };

  for (int jcol = 1; jcol <= max_cols; ++jcol) {
    int k = jcol + sk;  // the reflector this step forms
    C_PARENTBASISCONSTRUCT(&jcol, w.data(), &k, &p, V.data(), &n, beta.data(), LM.data(), &m,
                           work.data());
    std::fill(V.begin() + (k - 1) * n, V.begin() + k * n, 0.0);
    times_A(w.data(), &V[(k - 1) * n], 1.0);
    const int defl = C_GMRESHOUSEORTHOG(&jcol, &k, &tol, &inner_defl, V.data(), &n, vpiv.data(),
                                        beta.data(), sigma.data(), LM.data(), &m, H.data(),
                                        &ldh, work.data());
    C_GMRESUPDATELM(&k, V.data(), &n, beta.data(), LM.data(), &m);
    C_GMRESHMQR(&jcol, &sk, H.data(), &ldh, R.data(), &ldr, cs.data(), &sk, sn.data(), &sk);
    for (int i = jcol + 1; i <= k; ++i) H[(i - 1) + (jcol - 1) * ldh] = std::nan("");  // unread
    J = jcol;
    double worst = 0;
    for (int l = 1; l <= sk; ++l) worst = std::max(worst, g_residual(l));
    if (defl || worst < 1e-12 * bnorm || k == n) break;  // a negligible direction ends it too
  }
  C_GMRESLEASTSQS(&J, &sk, R.data(), &ldr, H.data(), &ldh, R.data(), &ldr);  // in place
  C_GMRESITERATEUPDATE(&J, &sk, &p, kept.data(), V.data(), &n, beta.data(), LM.data(), &m,
                       work.data(), R.data(), &ldr, X.data(), &n, w.data());
  C_GMRESDEFLATEDITERATES(&ndefl, kept.data(), dtab.data(), &s, dcoef.data(), &s, X.data(), &n);

  std::vector<double> res(s, 0.0);  // true residual norms
  for (int l = 0; l < s; ++l) {
    CV r(B.begin() + l * n, B.begin() + (l + 1) * n);
    times_A(&X[l * n], r.data(), -1.0);
    for (const zc& x : r) res[l] += std::norm(x);
    res[l] = std::sqrt(res[l]);
  }
  for (int l = 1; l <= sk; ++l)
    EXPECT_NEAR(g_residual(l), res[kept[l - 1] - 1], 1e-12 * bnorm + 1e-9 * res[kept[l - 1] - 1]);
  for (int l = 0; l < s; ++l)  // converged, deflated columns included; or a real estimate
    if (J < max_cols)
      EXPECT_LT(res[l], 1e-10 * bnorm) << "column " << l + 1;
    else
      EXPECT_GT(res[l], 1e-6 * bnorm) << "column " << l + 1;
}

TEST(GmresCycle, ResidualFromGMatchesTrueResidual) {
  for (const auto& c : {std::array<int, 3>{60, 0, 37}, {40, 0, 37}, {40, 1, 38}, {40, 0, 4}}) {
    SCOPED_TRACE(testing::Message() << "m " << c[0] << ", dependent " << c[1] << ", columns "
                                    << c[2]);
    run_cycle(c[0], c[1], c[2]);
  }
}

}  // namespace
