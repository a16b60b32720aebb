// Parent basis with its cache, the iterate update and the deflated iterates.
#include <gtest/gtest.h>

#include "support/gmres_fixture.hpp"

namespace {
using namespace gmres_test;

struct Parent {
  Set set{10, 8, 4};  // 4 reflectors; q_1..q_4 cached in columns 8..5
  CV w = CV(10);
  int call(int j, int k, int p, int m = 8) {
    bk::PARENTBASISCONSTRUCT(&j, w.data(), &k, &p, set.V.data(), &set.n, set.beta.data(),
                             set.LM.data(), &m, set.work.data());
    return p;
  }
};

TEST(ParentBasisConstruct, CapsTheCountAndServesOrBuildsVectors) {
  Parent pb;
  ASSERT_EQ(pb.set.p, 4);
  const CV V0 = pb.set.V;
  EXPECT_EQ(pb.call(1, 0, 5, 7), 3);  // m = 7: cap floor(7/2)
  EXPECT_EQ(pb.call(1, 6, 4), 2);     // m = 8, k = 6: cap 2, then a hit
  EXPECT_EQ(pb.w, CV(pb.set.col(8), pb.set.col(8) + 10));
  EXPECT_EQ(pb.call(3, 8, 4), 0);  // k = m: nothing cached, q_3 built
  EXPECT_LT(dist(pb.w.data(), pb.set.q(3).data(), 10), 1e-15);
  EXPECT_EQ(pb.call(3, 6, 2), 2);  // at the cap: built, not cached
  EXPECT_EQ(pb.set.V, V0);
  // Regression: a request out of order is not cached, since the count
  // would then claim a column that does not hold its vector.
  EXPECT_EQ(pb.call(3, 4, 0), 0);
  EXPECT_EQ(pb.set.V, V0);
  pb.set.V.assign(V0.size(), 0.0);
  std::copy(V0.begin(), V0.begin() + 40, pb.set.V.begin());  // reflectors only
  for (int j = 1; j <= 4; ++j) EXPECT_EQ(pb.call(j, 4, j - 1), j);
  EXPECT_EQ(pb.set.V, V0);  // rebuilt cache equals the initial one
}

TEST(GmresIterateUpdate, CachedAndBuiltBasisGiveTheSameIterates) {
  Set set(10, 8, 4);
  int k = 4, s = 2, n = 10, p = 0, ldx = 12;
  const int kept[2] = {3, 1};
  const CV Y = randc(k * s, 51);
  CV X0 = randc(ldx * 3, 52), X1 = X0, X2 = X0, want(n, 0.0), w(n);
  const auto update = [&](int kk, int pp, CV& X) {
    bk::GMRESITERATEUPDATE(&kk, &s, &pp, kept, set.V.data(), &n, set.beta.data(),
                           set.LM.data(), &set.m, set.work.data(), Y.data(), &k, X.data(),
                           &ldx, w.data());
  };
  update(k, p, X1);
  update(k, 4, X2);
  EXPECT_LT(dist(X1.data(), X2.data(), ldx * 3), 1e-15);
  for (int j = 1; j <= k; ++j) {
    const CV q = set.explicit_q(j, j);
    for (int r = 0; r < n; ++r) want[r] += Y[j - 1] * q[r];  // column 1 of Y -> X(:, 3)
  }
  EXPECT_LT(dist(&X1[2 * ldx], want.data(), n), 1e-14);
  EXPECT_TRUE(std::equal(X0.begin() + ldx, X0.begin() + 2 * ldx, X1.begin() + ldx));
  EXPECT_EQ(X1[2 * ldx + n], X0[2 * ldx + n]);  // rows beyond n untouched
  update(0, 0, X1);
  for (int r = 0; r < n; ++r) EXPECT_TRUE(X1[r] == 0.0 && X1[2 * ldx + r] == 0.0);
}

TEST(GmresDeflatedIterates, CombinationsOfKeptIteratesAndZeroForNone) {
  int n = 3, ndefl = 2, ldd = 3, ldc = 2;
  const int kept[2] = {1, 2}, dtab[6] = {3, 4, 0, 2, 0, 0};
  const CV dcoef = {2.0, -I1, 5.0, 5.0};
  CV X = randc(n * 4, 61);
  const CV X0 = X;
  bk::GMRESDEFLATEDITERATES(&ndefl, kept, dtab, &ldd, dcoef.data(), &ldc, X.data(), &n);
  for (int r = 0; r < n; ++r) {
    EXPECT_LT(std::abs(X[2 * n + r] - (2.0 * X0[r] - I1 * X0[n + r])), 1e-15);
    EXPECT_EQ(X[3 * n + r], 0.0);
  }
  EXPECT_TRUE(std::equal(X0.begin(), X0.begin() + 2 * n, X.begin()));
  const CV X1 = X;
  ndefl = 0;
  bk::GMRESDEFLATEDITERATES(&ndefl, kept, dtab, &ldd, dcoef.data(), &ldc, X.data(), &n);
  EXPECT_EQ(X, X1);
}

}  // namespace
