// HOUSE1, basis vectors of a reflector set, the initial block QR with
// deflation and the orthogonalisation step.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/gmres_fixture.hpp"

namespace {
using namespace gmres_test;

// The phase rules (zero pivot entry: phase 1; real data: sign(x(m)) times
// the norm), the one-entry range (the identity), and H x = -sigma e_m on
// random data for every pivot.
TEST(House1, PhaseRulesAndReflectorMapsRangeOntoMinusSigmaEm) {
  zc vpiv, beta, sigma;
  auto house = [&](CV x, int m) {
    int n = x.size();
    bk::HOUSE1(&m, &n, x.data(), &vpiv, &beta, &sigma);
  };
  house({7.0, 0.0, 3.0, 4.0}, 2);
  EXPECT_TRUE(sigma == 5.0 && vpiv == 5.0 && beta == 25.0);
  house({-3.0, 4.0}, 1);
  EXPECT_TRUE(sigma == -5.0 && vpiv == -8.0);
  house({-3.0, 4.0}, 2);
  EXPECT_TRUE(sigma == -4.0 && vpiv == 0.0 && beta == 0.0);
  for (int m = 1; m <= 6; ++m) {
    CV x = randc(7, 10 + m), v = x;
    if (m == 6) x[5] = v[5] = {1e-170, -1e-170};  // regression: |x(m)|^2 underflows in double
    house(x, m);
    zc d = 0;
    v[m - 1] = vpiv;
    for (int i = m - 1; i < 7; ++i) d += std::conj(v[i]) * x[i];
    for (int i = 0; i < 7; ++i) {
      const zc hx = i < m - 1 ? x[i] : x[i] - v[i] * d / beta;
      const zc want = i < m - 1 ? x[i] : (i == m - 1 ? -sigma : zc(0.0));
      EXPECT_LT(std::abs(hx - want), 4e-15) << "m=" << m << " i=" << i;
    }
  }
}

// m > n ends the process with a failure status and its record; the child
// sends its stdout to stderr, where the death test reads the record.
TEST(House1DeathTest, PivotBeyondColumnEndsTheProcessWithItsRecord) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // BLAS may have started threads
  const CV x(3, 1.0);
  int m = 4, n = 3;
  zc vpiv, beta, sigma;
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        bk::HOUSE1(&m, &n, x.data(), &vpiv, &beta, &sigma);
      },
      testing::ExitedWithCode(EXIT_FAILURE),
      "^ ERROR IN HOUSE1: M>N ILLEGAL CONDITION INPUT:\n$");
}

// s = n: q_1..q_n form a unitary matrix (the n-th reflector is the identity
// and must be skipped), each cached in column m+1-k.
TEST(HouseBasisVec, BasisIsUnitaryAndCachedAtTheBack) {
  const int n = 6;
  Initial set(randc(n * n, 1), n, n, 2 * n, 0.0);
  ASSERT_EQ(set.beta[n - 1], 0.0);
  std::vector<CV> q;
  for (int k = 1; k <= n; ++k) {
    q.push_back(set.q(k));
    EXPECT_EQ(dist(q.back().data(), set.col(2 * n + 1 - k), n), 0.0);
  }
  for (int i = 0; i < n * n; ++i) {
    zc d = 0;
    for (int r = 0; r < n; ++r) d += std::conj(q[i / n][r]) * q[i % n][r];
    EXPECT_LT(std::abs(d - (i / n == i % n ? 1.0 : 0.0)), 1e-14) << i;
  }
}

TEST(InitialBlockGmres, DependentColumnsAreDeflatedWithTheirCoefficients) {
  const int n = 10;
  CV B = randc(n * 5, 21);  // 1, 2, 4 independent; 3 = 2 b1 - i b2; 5 = b4
  for (int r = 0; r < n; ++r) {
    B[2 * n + r] = 2.0 * B[r] - I1 * B[n + r];
    B[4 * n + r] = B[3 * n + r];
  }
  Initial in(B, n, 5, 10, 1e-10);
  EXPECT_EQ(in.ndefl, 2);
  EXPECT_EQ(in.kept, (std::vector<int>{1, 2, 4, 0, 0}));
  EXPECT_EQ(in.dtab, (std::vector<int>{3, 5, 0, 0, 0, 2, 3, 0, 0, 0}));
  const CV want = {2.0, -I1, 0, 0, 0, 0, 0, 1.0, 0, 0};
  EXPECT_LT(dist(in.dcoef.data(), want.data(), 10), 1e-13);
  EXPECT_EQ(CV(in.dcoef.begin() + 10, in.dcoef.end()), CV(15, 0.0));
  EXPECT_EQ(in.p, 3);
  for (int j = 1; j <= 5; ++j) {  // kept columns are Q R; R is zero elsewhere
    CV qr(n, 0.0);
    for (int i = 1; i <= 5; ++i) {
      const zc rij = in.R[(i - 1) + (j - 1) * 5];
      if (i > j || j == 5) {
        EXPECT_EQ(rij, 0.0) << i << "," << j;
      } else if (j <= 3) {
        const CV qi = in.q(i);
        for (int r = 0; r < n; ++r) qr[r] += rij * qi[r];
      }
    }
    EXPECT_TRUE(j > 3 || dist(qr.data(), &B[(in.kept[j - 1] - 1) * n], n) < 1e-14) << j;
  }
}

TEST(InitialBlockGmres, AllButFirstDeflatedAndCacheCaps) {
  const int n = 6;
  CV B = randc(n, 5);
  for (zc f : {zc(2.0), -I1})
    for (int r = 0; r < n; ++r) B.push_back(f * B[r]);
  Initial in(B, n, 3, 4, 1e-12);
  EXPECT_EQ(in.kept, (std::vector<int>{1, 0, 0}));
  EXPECT_EQ(in.p, 1);
  EXPECT_LT(std::abs(in.dcoef[0] - 2.0) + std::abs(in.dcoef[3] + I1), 1e-14);
  EXPECT_EQ(Initial(B, n, 3, 4, std::nan("")).ndefl, 0);  // unordered: kept
  const CV C = randc(n * 3, 6);
  EXPECT_EQ(Initial(C, n, 3, 5, 0.0).p, 2);  // floor(5/2)
  EXPECT_EQ(Initial(C, n, 1, 1, 0.0).p, 0);
  // Regression: s = 3 > ceil(4/2) must not let the cache overwrite reflector 3.
  Initial crowded(C, n, 3, 4, 0.0), roomy(C, n, 3, 6, 0.0);
  EXPECT_EQ(crowded.p, 1);
  EXPECT_EQ(dist(crowded.col(3), roomy.col(3), n), 0.0);
}

TEST(GmresHouseOrthog, DeflationFlagFollowsTheRemainder) {
  const int n = 9;
  Initial in(randc(n * 3, 31), n, 3, 8, 0.0);  // reflectors 1..3
  CV H(8, 0.0), w(n);
  const CV q1 = in.q(1), q2 = in.q(2);
  for (int r = 0; r < n; ++r) w[r] = 3.0 * q1[r] - 2.0 * I1 * q2[r];
  int ldh = 8, ndefl = 0;
  auto orthog = [&](int k, const CV& z, double tol) {
    std::copy(z.begin(), z.end(), in.col(k));
    const int before = ndefl, jcol = 1;
    const int flag = bk::GMRESHOUSEORTHOG(&jcol, &k, &tol, &ndefl, in.V.data(), &n,
                                          in.vpiv.data(), in.beta.data(), in.sigma.data(),
                                          in.LM.data(), &in.m, H.data(), &ldh, in.work.data());
    EXPECT_EQ(ndefl - before, flag);
    return flag;
  };
  EXPECT_EQ(orthog(4, w, 1e-10), 1);  // coefficients against q1..q3, a negligible rest
  EXPECT_LT(std::abs(H[0] - 3.0) + std::abs(H[1] + 2.0 * I1) + std::abs(H[2]), 1e-14);
  EXPECT_TRUE(in.col(4)[0] == 0.0 && in.col(4)[2] == 0.0 && in.col(4)[3] == in.vpiv[3]);
  EXPECT_EQ(H[3], -in.sigma[3]);
  EXPECT_EQ(in.LM[2 * 8], std::conj(in.LM[2]));  // LM(1,3) = conj(LM(3,1)) exactly
  EXPECT_EQ(orthog(4, w, 0.0), 0);  // tol = 0: only an exact zero deflates
  EXPECT_EQ(orthog(4, CV(n, 0.0), 0.0), 1);
  EXPECT_EQ(orthog(4, w, std::nan("")), 0);  // unordered: kept
}

}  // namespace
