// HOUSE1 and the operations on the reflector set: basis vectors, reduction by
// Q^H, the coupling update.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/gmres_fixture.hpp"

namespace {
using namespace gmres_test;

// Applies I - v v^H / beta, v = x with x(m) replaced by vpiv, to x.
CV reflect(const CV& x, int m, zc vpiv, zc beta) {
  CV v = x, y = x;
  v[m - 1] = vpiv;
  zc d = 0;
  for (int i = m - 1; i < int(x.size()); ++i) d += std::conj(v[i]) * x[i];
  for (int i = m - 1; i < int(x.size()); ++i) y[i] -= v[i] * d / beta;
  return y;
}

TEST(House1, PhaseRulesAndOneEntryRange) {
  zc vpiv, beta, sigma;
  const CV zero_pivot = {7.0, 0.0, 3.0, 4.0};  // pivot 2: phase 1
  int m = 2, n = 4;
  bk::HOUSE1(&m, &n, zero_pivot.data(), &vpiv, &beta, &sigma);
  EXPECT_EQ(sigma, zc(5.0));
  EXPECT_EQ(vpiv, zc(5.0));
  EXPECT_EQ(beta, zc(25.0));  // (25 + 9 + 16) / 2
  const CV real = {-3.0, 4.0};  // sign(x(m)) * norm
  m = 1, n = 2;
  bk::HOUSE1(&m, &n, real.data(), &vpiv, &beta, &sigma);
  EXPECT_EQ(sigma, zc(-5.0));
  EXPECT_EQ(vpiv, zc(-8.0));
  m = n = 2;  // identity whatever x(m) is
  bk::HOUSE1(&m, &n, real.data(), &vpiv, &beta, &sigma);
  EXPECT_EQ(sigma, zc(-4.0));
  EXPECT_EQ(vpiv, zc(0.0));
  EXPECT_EQ(beta, zc(0.0));
}

TEST(House1, MapsRangeOntoMinusSigmaEm) {
  for (int m = 1; m <= 6; ++m) {
    CV x = randc(7, 10 + m);
    if (m == 6) x[m - 1] = {1e-170, -1e-170};  // pivot whose square underflows
    int n = 7;
    zc vpiv, beta, sigma;
    bk::HOUSE1(&m, &n, x.data(), &vpiv, &beta, &sigma);
    ASSERT_TRUE(std::isfinite(std::abs(sigma)) && std::isfinite(beta.real()));
    EXPECT_EQ(beta.imag(), 0.0);
    const CV y = reflect(x, m, vpiv, beta);
    for (int i = 1; i <= n; ++i) {
      const zc want = i < m ? x[i - 1] : (i == m ? -sigma : zc(0.0));
      EXPECT_LT(std::abs(y[i - 1] - want), 1e-15 * 4) << "m=" << m << " i=" << i;
    }
  }
}

TEST(House1DeathTest, PivotBeyondColumnEndsTheProcessWithItsRecord) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // BLAS may have started threads
  const std::string path = testing::TempDir() + "house1_record.txt";
  const CV x(3, 1.0);
  int m = 4, n = 3;
  zc vpiv, beta, sigma;
  EXPECT_EXIT(
      {
        if (!std::freopen(path.c_str(), "w", stdout)) std::_Exit(2);
        bk::HOUSE1(&m, &n, x.data(), &vpiv, &beta, &sigma);
      },
      testing::ExitedWithCode(1), "");
  std::ifstream f(path);
  std::stringstream out;
  out << f.rdbuf();
  EXPECT_EQ(out.str(), " ERROR IN HOUSE1: M>N ILLEGAL CONDITION INPUT:\n");
  std::remove(path.c_str());
}

TEST(HouseBasisVec, OrthonormalAndEqualToExplicitProduct) {
  const int n = 6;
  Set set(n, 2 * n, n);  // k = n: the n-th reflector is the identity
  EXPECT_EQ(set.beta[n - 1], 0.0);
  std::vector<CV> q;
  for (int k = 1; k <= n; ++k) {
    q.push_back(set.q(k));
    EXPECT_LT(dist(q.back().data(), set.explicit_q(k, k == n ? n - 1 : k).data(), n), 1e-15 * 8);
  }
  for (int a = 0; a < n; ++a)
    for (int b = 0; b < n; ++b) {
      zc g = 0;
      for (int r = 0; r < n; ++r) g += std::conj(q[a][r]) * q[b][r];
      EXPECT_LT(std::abs(g - (a == b ? 1.0 : 0.0)), 1e-14);
    }
}

TEST(HouseReduce, CoefficientsAreInnerProductsAndSpanLeavesNoTail) {
  const int n = 9, k = 4;
  Set set(n, 8, k);
  CV z = randc(n, 3), inspan(n, 0.0), c = randc(k, 4);
  for (int i = 1; i <= k; ++i) {
    const CV qi = set.q(i);
    for (int r = 0; r < n; ++r) inspan[r] += c[i - 1] * qi[r];
    zc d = 0;
    for (int r = 0; r < n; ++r) d += std::conj(qi[r]) * z[r];
    c.push_back(d);  // c[k..2k-1]: q_i^H z
  }
  for (CV* col : {&z, &inspan})
    bk::HOUSEREDUCE(&k, col->data(), set.V.data(), &set.n, set.beta.data(), set.LM.data(),
                    &set.m, set.work.data());
  EXPECT_LT(dist(z.data(), &c[k], k), 1e-14);
  EXPECT_LT(dist(inspan.data(), c.data(), k), 1e-14);
  for (int r = k; r < n; ++r) EXPECT_LT(std::abs(inspan[r]), 1e-15 * 8);
}

TEST(GmresUpdateLM, RebuildsRowAndColumnWithExactConjugates) {
  Set set(7, 8, 4);
  const CV full = set.LM;
  const int m = set.m;
  for (int i = 1; i <= 3; ++i) set.LM[(i - 1) + 3 * m] = set.LM[3 + (i - 1) * m] = 99.0;
  int k = 4;
  bk::GMRESUPDATELM(&k, set.V.data(), &set.n, set.beta.data(), set.LM.data(), &set.m);
  EXPECT_EQ(set.LM, full);  // the same update as the initial step makes inline
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(full[(i - 1) + 3 * m], std::conj(full[3 + (i - 1) * m]));
  k = 1;  // writes nothing
  bk::GMRESUPDATELM(&k, set.V.data(), &set.n, set.beta.data(), set.LM.data(), &set.m);
  EXPECT_EQ(set.LM, full);
}

}  // namespace
