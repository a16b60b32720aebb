// The initial block QR with deflation and the Householder orthogonalisation step.
#include <gtest/gtest.h>

#include "support/gmres_fixture.hpp"

namespace {
using namespace gmres_test;

// Runs the initial step on the block B (n x s) with capacity m.
struct Initial {
  int n, s, m, p = -1, ndefl;
  CV V, vpiv, beta, sigma, R, LM, dcoef, work;
  std::vector<int> kept, dtab;
  Initial(const CV& B, int n_, int s_, int m_, double tol)
      : n(n_), s(s_), m(m_), V(n_ * m_, 7.0), vpiv(m_), beta(m_), sigma(m_), R(s_ * s_, 7.0),
        LM(m_ * m_, 7.0), dcoef(s_ * s_, 7.0), work(s_ + m_), kept(s_, 7), dtab(2 * s_, 7) {
    std::copy(B.begin(), B.end(), V.begin());
    ndefl = bk::INITIALBLOCKGMRES(&s, &tol, &p, V.data(), &n, vpiv.data(), beta.data(),
                                  sigma.data(), R.data(), &s, LM.data(), &m, kept.data(),
                                  dtab.data(), &s, dcoef.data(), &s, work.data());
  }
  CV q(int j) {
    CV y(n);
    bk::HOUSEBASISVEC(&j, y.data(), V.data(), &n, beta.data(), LM.data(), &m, work.data());
    return y;
  }
};

TEST(InitialBlockGmres, DependentColumnsAreDeflatedWithTheirCoefficients) {
  const int n = 10;
  CV B = randc(n * 5, 21);  // columns 1, 2, 4, 5 independent
  for (int r = 0; r < n; ++r) B[2 * n + r] = 2.0 * B[r] - I1 * B[n + r];
  for (int r = 0; r < n; ++r) B[4 * n + r] = B[3 * n + r];  // a duplicate of column 4
  Initial in(B, n, 5, 10, 1e-10);
  EXPECT_EQ(in.ndefl, 2);
  EXPECT_EQ(in.kept, (std::vector<int>{1, 2, 4, 0, 0}));
  EXPECT_EQ(in.dtab, (std::vector<int>{3, 5, 0, 0, 0, 2, 3, 0, 0, 0}));
  const zc want[2][5] = {{2.0, -I1, 0, 0, 0}, {0, 0, 1.0, 0, 0}};
  for (int d = 0; d < 2; ++d) EXPECT_LT(dist(&in.dcoef[5 * d], want[d], 5), 1e-13);
  for (int i = 10; i < 25; ++i) EXPECT_EQ(in.dcoef[i], 0.0);
  EXPECT_EQ(in.p, 3);
  // Kept columns are Q R; R is zero below the triangle and beyond column 4.
  for (int j = 1; j <= 3; ++j) {
    CV qr(n, 0.0);
    for (int i = 1; i <= j; ++i) {
      const CV qi = in.q(i);
      EXPECT_EQ(dist(qi.data(), &in.V[(10 - i) * n], n), 0.0);  // the cached copy
      for (int r = 0; r < n; ++r) qr[r] += in.R[(i - 1) + (j - 1) * 5] * qi[r];
    }
    EXPECT_LT(dist(qr.data(), &B[(in.kept[j - 1] - 1) * n], n), 1e-14);
  }
  for (int j = 1; j <= 5; ++j)
    for (int i = j + 1; i <= 5; ++i) EXPECT_EQ(in.R[(i - 1) + (j - 1) * 5], 0.0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(in.R[i + 20], 0.0);
}

TEST(InitialBlockGmres, AllButFirstDeflated) {
  const int n = 6;
  CV B = randc(n, 5);
  for (zc f : {zc(2.0), -I1}) for (int r = 0; r < n; ++r) B.push_back(f * B[r]);
  Initial in(B, n, 3, 4, 1e-12);
  EXPECT_EQ(in.ndefl, 2);
  EXPECT_EQ(in.kept, (std::vector<int>{1, 0, 0}));
  EXPECT_EQ(in.p, 1);
  EXPECT_LT(std::abs(in.dcoef[0] - 2.0) + std::abs(in.dcoef[3] + I1), 1e-14);
}

TEST(InitialBlockGmres, CacheCapForOddSmallAndCrowdedCapacity) {
  const int n = 8;
  EXPECT_EQ(Initial(randc(n * 3, 6), n, 3, 5, 0.0).p, 2);  // floor(5/2)
  EXPECT_EQ(Initial(randc(n, 7), n, 1, 1, 0.0).p, 0);
  // Regression: s = 3 > ceil(4/2) must not let the cache overwrite reflector 3.
  Initial crowded(randc(n * 3, 8), n, 3, 4, 0.0), roomy(randc(n * 3, 8), n, 3, 6, 0.0);
  EXPECT_EQ(crowded.p, 1);
  EXPECT_EQ(dist(&crowded.V[2 * n], &roomy.V[2 * n], n), 0.0);
}

TEST(GmresHouseOrthog, ArnoldiRelationAndDeflation) {
  const int n = 9, m = 8;
  Initial in(randc(n * 2, 31), n, 2, m, 0.0);
  CV A = randc(n * n, 32), H(m * 3, 0.0);
  const CV q1 = in.q(1), q2 = in.q(2);
  int ldh = m, ndefl = 0;
  auto orthog = [&](int jcol, int k, const CV& z, double tol) {
    std::copy(z.begin(), z.end(), in.V.begin() + (k - 1) * n);
    const int before = ndefl;
    const int r = bk::GMRESHOUSEORTHOG(&jcol, &k, &tol, &ndefl, in.V.data(), &n, in.vpiv.data(),
                                       in.beta.data(), in.sigma.data(), in.LM.data(), &in.m,
                                       H.data(), &ldh, in.work.data());
    EXPECT_EQ(ndefl - before, r);
    return r;
  };
  // A q1 = Q_3 H(1..3, 1).
  CV z(n, 0.0);
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) z[r] += A[r + c * n] * q1[c];
  EXPECT_EQ(orthog(1, 3, z, 1e-10), 0);
  int k = 3;
  bk::GMRESUPDATELM(&k, in.V.data(), &n, in.beta.data(), in.LM.data(), &in.m);
  CV qh(n, 0.0);
  for (int i = 1; i <= 3; ++i) {
    const CV qi = in.q(i);
    for (int r = 0; r < n; ++r) qh[r] += H[i - 1] * qi[r];
  }
  EXPECT_LT(dist(qh.data(), z.data(), n), 1e-14);
  EXPECT_EQ(H[2], -in.sigma[2]);
  // A product in span(q1, q2): deflated at 1e-10, kept at tol = 0.
  CV w(n);
  for (int r = 0; r < n; ++r) w[r] = 3.0 * q1[r] - 2.0 * I1 * q2[r];
  EXPECT_EQ(orthog(2, 4, w, 1e-10), 1);
  EXPECT_LT(std::abs(H[m] - 3.0) + std::abs(H[m + 1] + 2.0 * I1), 1e-14);
  EXPECT_EQ(orthog(2, 4, w, 0.0), 0);
  EXPECT_EQ(orthog(2, 4, CV(n, 0.0), 0.0), 1);  // only an exact zero at tol = 0
  // k = 1: no reduction, |sigma| = ||z||.
  EXPECT_EQ(orthog(3, 1, CV(n, zc(0.0, 2.0)), 1e-10), 0);
  EXPECT_NEAR(std::abs(H[2 * m]), 2.0 * std::sqrt(double(n)), 1e-14);
}

}  // namespace
