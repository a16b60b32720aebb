// Plane rotations, the triangularisation of the band Hessenberg matrix and
// the least-squares solve that follows it.
#include <gtest/gtest.h>

#include <limits>

#include "support/gmres_fixture.hpp"

namespace {
using namespace gmres_test;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Givens, EveryBranchLeavesPhaseOfANormOfPairAndZero) {
  const zc pairs[][2] = {{{2, 1}, 0},           {0, {3, -4}},      {{1, 1}, {1, -1}},
                         {{0, 0.5}, {3, 1}},    {{3, 1}, {1, -2}}, {{1e-200, 1e-200}, {1e200, 0}},
                         {{-1e200, 0}, {0, 1e-200}}};
  for (const auto& ab : pairs) {
    const zc a = ab[0], b = ab[1];
    double c;
    zc s, x = a, y = b;
    bk::GIVENS_MAKE(&a, &b, &c, &s);
    bk::GIVENS_APPLY(&x, &y, &c, &s);
    const double rho = std::hypot(std::abs(a), std::abs(b));
    const zc want = a == 0.0 ? -b : a / std::abs(a) * rho;
    EXPECT_LT(std::abs(x - want), 4e-16 * rho) << a << b;
    EXPECT_LT(std::abs(y), 4e-16 * rho) << a << b;
    EXPECT_NEAR(c * c + std::norm(s), 1.0, 4e-16) << a << b;
    if (b == 0.0) EXPECT_TRUE(c == 1.0 && s == 0.0) << "identity";
    if (a == 0.0) EXPECT_TRUE(c == 0.0 && s == 1.0) << "swap";
  }
}

TEST(Givens, IdentityIsSkippedButNotANaNCosine) {
  zc x{1, 2}, y{std::numeric_limits<double>::infinity(), 0};
  double c = 1.0;
  const zc s = 0.0;
  bk::GIVENS_APPLY(&x, &y, &c, &s);  // applied, 0 * inf would give NaN
  EXPECT_EQ(x, zc(1, 2));
  c = kNaN;
  bk::GIVENS_APPLY(&x, &y, &c, &s);
  EXPECT_TRUE(std::isnan(x.real()));
}

TEST(GmresHmqr, ZeroBandAndEmptyBlockChangeNothing) {
  int jcol = 1, s = 3, ld = 4;
  CV H = {{2, 1}, 0, 0, 0}, G = randc(12, 41), sn(3, 5.0);
  std::vector<double> cs(3, 5.0);
  const CV H0 = H, G0 = G;
  bk::GMRESHMQR(&jcol, &s, H.data(), &ld, G.data(), &ld, cs.data(), &s, sn.data(), &s);
  EXPECT_TRUE(H == H0 && G == G0);
  EXPECT_EQ(cs, std::vector<double>(3, 1.0));
  EXPECT_EQ(sn, CV(3, 0.0));
  s = 0;
  H[1] = 1.0;
  bk::GMRESHMQR(&jcol, &s, H.data(), &ld, G.data(), &ld, cs.data(), &ld, sn.data(), &ld);
  EXPECT_TRUE(H[1] == 1.0 && G == G0 && cs[0] == 1.0);
}

// Column by column rotations of a random band Hessenberg matrix, then the
// triangular solve in place in G: Y must be the least-squares solution of
// Hbar Y = G0, with residual norms read from rows J+1..J+s of G.
TEST(GmresHmqr, RotationsAndBackSubstitutionSolveTheLeastSquaresProblem) {
  int s = 2, ld = 7, J = 5;
  CV Hbar = randc(ld * J, 42), G0 = randc(ld * s, 43);
  for (int j = 1; j <= J; ++j)
    for (int i = j + s + 1; i <= ld; ++i) Hbar[(i - 1) + (j - 1) * ld] = 0.0;
  for (int r = s; r < ld; ++r) G0[r] = G0[r + ld] = 0.0;
  G0[1] = 0.0;  // upper triangular start, as the initial step leaves it
  CV H = Hbar, G = G0, sn(s * J);
  std::vector<double> cs(s * J);
  double g_norm = 0;
  for (const zc& g : G0) g_norm += std::norm(g);
  for (int j = 1; j <= J; ++j) {
    bk::GMRESHMQR(&j, &s, H.data(), &ld, G.data(), &ld, cs.data(), &s, sn.data(), &s);
    double above = 0, col = 0, g_now = 0;
    for (int i = 1; i <= j + s; ++i) col += std::norm(Hbar[(i - 1) + (j - 1) * ld]);
    for (int i = 1; i < j; ++i) above += std::norm(H[(i - 1) + (j - 1) * ld]);
    for (const zc& g : G) g_now += std::norm(g);
    EXPECT_NEAR(std::norm(H[(j - 1) * (ld + 1)]), col - above, 1e-14 * col);
    EXPECT_NEAR(g_now, g_norm, 1e-14 * g_norm);
    for (int i = j + 1; i <= j + s; ++i) {
      EXPECT_LT(std::abs(H[(i - 1) + (j - 1) * ld]), 1e-15 * 4);
      H[(i - 1) + (j - 1) * ld] = kNaN;  // the solve must never read below the diagonal
    }
  }
  bk::GMRESLEASTSQS(&J, &s, G.data(), &ld, H.data(), &ld, G.data(), &ld);  // in place
  for (int l = 0; l < s; ++l) {
    CV res(G0.begin() + l * ld, G0.begin() + (l + 1) * ld);
    for (int j = 0; j < J; ++j)
      for (int i = 0; i < ld; ++i) res[i] -= Hbar[i + j * ld] * G[j + l * ld];
    double rn = 0, tail = 0;
    for (int i = 0; i < ld; ++i) rn += std::norm(res[i]);
    for (int i = J; i < J + s; ++i) tail += std::norm(G[i + l * ld]);
    EXPECT_NEAR(std::sqrt(rn), std::sqrt(tail), 1e-14);
    for (int j = 0; j < J; ++j) {  // normal equations: Hbar^H r = 0
      zc d = 0;
      for (int i = 0; i < ld; ++i) d += std::conj(Hbar[i + j * ld]) * res[i];
      EXPECT_LT(std::abs(d), 1e-14);
    }
  }
  const CV before = G;
  int zero = 0;
  bk::GMRESLEASTSQS(&zero, &s, G.data(), &ld, H.data(), &ld, G.data(), &ld);
  bk::GMRESLEASTSQS(&J, &zero, G.data(), &ld, H.data(), &ld, G.data(), &ld);
  EXPECT_EQ(G, before);
}

}  // namespace
