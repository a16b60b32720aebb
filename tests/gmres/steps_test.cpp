// Plane rotations, the parent basis cache and the deflated iterates.
#include <gtest/gtest.h>

#include <limits>

#include "support/gmres_fixture.hpp"

namespace {
using namespace gmres_test;

TEST(Givens, EveryBranchLeavesThePhaseOfATheNormOfThePairAndZero) {
  const zc pairs[][2] = {{{2, 1}, 0},        {0, {3, -4}},       {{1, 1}, {1, -1}},
                         {{0, 0.5}, {3, 1}}, {{3, 1}, {1, -2}},  {{1e-200, 1e-200}, {1e200, 0}},
                         {{-1e200, 0}, {0, 1e-200}}};
  for (const auto& ab : pairs) {
    const zc a = ab[0], b = ab[1];
    double c;
    zc s, x = a, y = b;
    bk::GIVENS_MAKE(&a, &b, &c, &s);
    bk::GIVENS_APPLY(&x, &y, &c, &s);
    const double rho = std::hypot(std::abs(a), std::abs(b));
    const zc want = a == 0.0 ? -b : a / std::abs(a) * rho;
    EXPECT_LT(std::abs(x - want) + std::abs(y), 4e-16 * rho) << a << b;
    EXPECT_NEAR(c * c + std::norm(s), 1.0, 4e-16) << a << b;
    EXPECT_TRUE(b != 0.0 || (c == 1.0 && s == 0.0)) << "identity";
    EXPECT_TRUE(a != 0.0 || b == 0.0 || (c == 0.0 && s == 1.0)) << "exchange";
  }
  zc x{1, 2}, y{std::numeric_limits<double>::infinity(), 0};
  double c = 1.0;
  const zc s = 0.0;
  bk::GIVENS_APPLY(&x, &y, &c, &s);  // skipped: applied, 0 * inf would give NaN
  EXPECT_EQ(x, zc(1, 2));
  c = std::nan("");
  bk::GIVENS_APPLY(&x, &y, &c, &s);
  EXPECT_TRUE(std::isnan(x.real()));
}

TEST(ParentBasisConstruct, CapsTheCountAndServesOrBuildsVectors) {
  Initial set(randc(40, 1), 10, 4, 8, 0.0);  // q_1..q_4 cached in columns 8..5
  ASSERT_EQ(set.p, 4);
  const CV V0 = set.V;
  CV w(10);
  auto call = [&](int j, int k, int p, int m = 8) {
    bk::PARENTBASISCONSTRUCT(&j, w.data(), &k, &p, set.V.data(), &set.n, set.beta.data(),
                             set.LM.data(), &m, set.work.data());
    return p;
  };
  EXPECT_EQ(call(1, 0, 5, 7), 3);  // m = 7, k = 0: cap floor(7/2)
  EXPECT_EQ(call(1, 6, 4), 2);     // m = 8, k = 6: cap 2, then a hit: q_1 from column 8
  EXPECT_EQ(w, set.q(1));
  EXPECT_EQ(call(3, 8, 4), 0);  // k = m: nothing cached, q_3 built
  EXPECT_LT(dist(w.data(), set.q(3).data(), 10), 1e-15);
  EXPECT_EQ(call(3, 6, 2), 2);  // at the cap: built, not cached
  // Regression: out of order, caching q_3 would make the count claim q_1.
  EXPECT_EQ(call(3, 4, 0), 0);
  EXPECT_EQ(set.V, V0);
  EXPECT_EQ(call(1, 4, 0), 1);  // in order: q_1 rebuilt into its own column
  EXPECT_EQ(set.V, V0);
}

TEST(GmresDeflatedIterates, CombinationsOfKeptIteratesAndZeroForNone) {
  int n = 3, ndefl = 2, ldd = 3, ldc = 2;
  const int kept[2] = {1, 2}, dtab[6] = {3, 4, 0, 2, 0, 0};
  const CV dcoef = {2.0, -I1, 5.0, 5.0}, X0 = randc(n * 4, 61);
  CV X = X0;
  bk::GMRESDEFLATEDITERATES(&ndefl, kept, dtab, &ldd, dcoef.data(), &ldc, X.data(), &n);
  for (int r = 0; r < n; ++r) {
    EXPECT_LT(std::abs(X[2 * n + r] - (2.0 * X0[r] - I1 * X0[n + r])), 1e-15);
    EXPECT_TRUE(X[3 * n + r] == 0.0 && X[r] == X0[r] && X[n + r] == X0[n + r]);
  }
}

}  // namespace
