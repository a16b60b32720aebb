// The block QMR step and the reflector application under it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gmres/gmres.hpp"
#include "lanczos/lanczos.hpp"
#include "support/lanczos_host.hpp"

namespace {

using namespace lanczos_test;

// The arrays of ZD_BQMR1, with the drivers' hand-over between steps.
struct Qmr {
  int n, s, jcur = 0, jprev;
  Block QRS, RINV, TAU, D, P, X, WK;
  Qmr(int n_, int s_)
      : n(n_), s(s_), jprev(s_), QRS((3 * s_ + 3) * 2 * s_), RINV(2 * s_ * s_),
        TAU(2 * s_ * s_), D(n_ * s_, zc(5, -3)), P(n_ * s_), X(n_ * s_), WK(n_ * s_, zc(9, 9)) {}
  zc& q(int i, int j) { return QRS[(j - 1) * (3 * s + 3) + i - 1]; }
  zc& tau(int i, int j) { return TAU[(j - 1) * 2 * s + i - 1]; }
  // Newest block column [0; alpha; diag(rho)] into the current block.
  void column(const Block& alpha, const std::vector<double>& rho) {
    for (int j = 1; j <= s; ++j)
      for (int i = 1; i <= s; ++i) {
        q(i, jcur + j) = 0.0;
        q(s + i, jcur + j) = alpha[(j - 1) * s + i - 1];
        q(2 * s + i, jcur + j) = i == j ? rho[i - 1] : 0.0;
      }
  }
  int step() {
    return bk::ZD_BQMR1(&n, &s, &jcur, &jprev, QRS.data(), RINV.data(), TAU.data(), D.data(),
                        P.data(), X.data(), WK.data());
  }
  // What the drivers do after a successful step.
  void hand_over() {
    for (int j = 1; j <= s; ++j)
      for (int i = 1; i <= s; ++i) {
        tau(i, j) = tau(s + i, j);
        tau(s + i, j) = 0.0;
      }
    std::swap(jcur, jprev);
  }
};

TEST(ZdBqmr1, WorkedExampleTwoSteps) {
  Qmr m(1, 1);
  m.P = {1.0};
  m.tau(1, 1) = 1.0;
  m.column({3.0}, {4.0});
  ASSERT_EQ(m.step(), 0);
  const Block col1 = {0.0, -5.0, 4.0, 8.0, 40.0, 5.0};
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(m.q(i, 1), col1[i - 1]) << "row " << i;
  EXPECT_NEAR(std::abs(m.RINV[0] - (-0.2)), 0.0, 1e-16);
  EXPECT_NEAR(std::abs(m.tau(1, 1) - (-0.6)), 0.0, 1e-16);
  EXPECT_NEAR(std::abs(m.tau(2, 1) - (-0.8)), 0.0, 1e-16);
  EXPECT_EQ(m.WK[0], zc(0.0, 0.0));
  EXPECT_NEAR(std::abs(m.D[0] - (-0.2)), 0.0, 1e-16);
  EXPECT_NEAR(std::abs(m.X[0] - 0.12), 0.0, 1e-16);  // 3/25

  // Second column (0, 1, 2): the first reflector maps rows 1..2 = (0, 1) to
  // (-0.8, 0.6); the new reflector is made from (0.6, 2).
  m.hand_over();
  m.column({1.0}, {2.0});
  ASSERT_EQ(m.step(), 0);
  EXPECT_NEAR(std::abs(m.q(1, 2) - (-0.8)), 0.0, 1e-15);
  const double sigma = std::sqrt(0.36 + 4.0);
  EXPECT_NEAR(std::abs(m.q(2, 2) + sigma), 0.0, 1e-15);
  EXPECT_NEAR(std::abs(m.q(4, 2) - (0.6 + sigma)), 0.0, 1e-15);
  EXPECT_NEAR(std::abs(m.q(6, 2) - sigma), 0.0, 1e-15);
  // Least squares min |(1,0,0) - [[3,0],[4,1],[0,2]] z| gives z = (15, -12)/109;
  // with P_1 = P_2 = 1, X = z_1 + z_2; the remainder is the residual norm.
  EXPECT_NEAR(std::abs(m.X[0] - 3.0 / 109.0), 0.0, 1e-15);
  EXPECT_NEAR(std::abs(m.tau(2, 1)), std::sqrt(6976.0) / 109.0, 1e-15);
}

TEST(ZdBqmr1, ZeroColumnReturnsOneAndTouchesNothingElse) {
  Qmr m(3, 2);
  m.P = random_block(3, 2, 5);
  m.X = random_block(3, 2, 6);
  m.TAU = random_block(4, 2, 7);
  m.RINV.assign(m.RINV.size(), zc(4, 4));
  m.column({0.0, 0.0, 0.0, 0.0}, {0.0, 0.0});
  const Qmr before = m;
  EXPECT_EQ(m.step(), 1);
  EXPECT_EQ(m.RINV, before.RINV);
  EXPECT_EQ(m.TAU, before.TAU);
  EXPECT_EQ(m.D, before.D);
  EXPECT_EQ(m.X, before.X);
  EXPECT_EQ(m.q(10, 1), zc(0.0, 0.0));  // no reflector stored
}

// Solves the normal equations G z = h (G Hermitian positive definite) in long
// double; small and well conditioned here.
std::vector<std::complex<long double>> solve(std::vector<std::complex<long double>> g,
                                             std::vector<std::complex<long double>> h, int k) {
  for (int c = 0; c < k; ++c)
    for (int r = c + 1; r < k; ++r) {
      const auto f = g[r + c * k] / g[c + c * k];
      for (int j = c; j < k; ++j) g[r + j * k] -= f * g[c + j * k];
      h[r] -= f * h[c];
    }
  for (int r = k - 1; r >= 0; --r) {
    for (int j = r + 1; j < k; ++j) h[r] -= g[r + j * k] * h[j];
    h[r] /= g[r + r * k];
  }
  return h;
}

// Several steps on random block columns: X equals sum_k P_k z_k with z the
// least-squares solution of min ||[diag(rho_0); 0] - L z|| column by column,
// and the remainder left in TAU has the norms of its residuals.
TEST(ZdBqmr1, MatchesDirectLeastSquares) {
  for (int s : {1, 2, 3}) {
    const int n = 5, K = 4, rows = (K + 1) * s, cols = K * s;
    Qmr m(n, s);
    std::vector<std::complex<long double>> L(rows * cols);
    std::vector<double> rho0(s);
    std::mt19937 gen(40 + s);
    std::uniform_real_distribution<double> u(0.5, 1.5);
    for (int j = 0; j < s; ++j) m.tau(j + 1, j + 1) = rho0[j] = u(gen);
    Block expected(n * s, 0.0);
    std::vector<Block> P;
    for (int k = 0; k < K; ++k) {
      const Block alpha = random_block(s, s, 300 + 10 * s + k);
      std::vector<double> rho(s);
      for (auto& r : rho) r = u(gen);
      for (int j = 0; j < s; ++j) {
        for (int i = 0; i < s; ++i) L[(k * s + i) + (k * s + j) * rows] = {alpha[j * s + i].real(), alpha[j * s + i].imag()};
        L[((k + 1) * s + j) + (k * s + j) * rows] = rho[j];
      }
      m.P = random_block(n, s, 500 + 10 * s + k);
      P.push_back(m.P);
      m.column(alpha, rho);
      ASSERT_EQ(m.step(), 0);
      if (k < K - 1) m.hand_over();
    }
    for (int c = 0; c < s; ++c) {  // right-hand side rho0(c) e_c
      std::vector<std::complex<long double>> g(cols * cols), h(cols);
      for (int a = 0; a < cols; ++a) {
        h[a] = std::conj(L[c + a * rows]) * static_cast<long double>(rho0[c]);
        for (int b = 0; b < cols; ++b)
          for (int r = 0; r < rows; ++r) g[a + b * cols] += std::conj(L[r + a * rows]) * L[r + b * rows];
      }
      const auto z = solve(g, h, cols);
      long double res2 = 0.0L;
      for (int r = 0; r < rows; ++r) {
        std::complex<long double> v = r == c ? static_cast<long double>(rho0[c]) : 0.0L;
        for (int a = 0; a < cols; ++a) v -= L[r + a * rows] * z[a];
        res2 += std::norm(v);
      }
      double remainder = 0.0;
      for (int i = 1; i <= s; ++i) remainder += std::norm(m.tau(s + i, c + 1));
      EXPECT_NEAR(std::sqrt(remainder), std::sqrt(static_cast<double>(res2)), 1e-13);
      for (int i = 0; i < n; ++i) {
        std::complex<long double> x = 0.0L;
        for (int k = 0; k < K; ++k)
          for (int j = 0; j < s; ++j)
            x += std::complex<long double>(P[k][j * n + i].real(), P[k][j * n + i].imag()) * z[k * s + j];
        EXPECT_NEAR(std::abs(m.X[c * n + i] - zc(static_cast<double>(x.real()), static_cast<double>(x.imag()))), 0.0, 1e-12)
            << "s = " << s << ", column " << c << ", row " << i;
      }
    }
  }
}

TEST(Pmvect1, TrivialReflectorsLeaveVector) {
  const Block y0 = random_block(4, 1, 8);
  Block y = y0;
  const Block v = random_block(4, 1, 9);
  const int four = 4, one = 1;
  const zc z0(0.0, 0.0), vp(1.0, 2.0);
  bk::PMVECT1(&four, &four, v.data(), &vp, &z0, y.data());  // m = n, even with beta 0
  EXPECT_EQ(y, y0);
  bk::PMVECT1(&one, &four, v.data(), &z0, &z0, y.data());  // vpiv = beta = 0
  EXPECT_EQ(y, y0);
}

TEST(Pmvect1, ReflectsOntoPivotAndIsAnInvolution) {
  const int m = 2, n = 5;
  const Block x = random_block(n, 1, 12);
  zc vpiv, beta, sigma;
  bk::HOUSE1(&m, &n, x.data(), &vpiv, &beta, &sigma);
  Block y = x;
  bk::PMVECT1(&m, &n, x.data(), &vpiv, &beta, y.data());
  EXPECT_EQ(y[0], x[0]);
  EXPECT_NEAR(std::abs(y[1] + sigma), 0.0, 1e-15);
  for (int i = 2; i < n; ++i) EXPECT_NEAR(std::abs(y[i]), 0.0, 1e-15);

  const Block z0 = random_block(n, 1, 13);
  Block z = z0;
  bk::PMVECT1(&m, &n, x.data(), &vpiv, &beta, z.data());
  bk::PMVECT1(&m, &n, x.data(), &vpiv, &beta, z.data());
  for (int i = 0; i < n; ++i) EXPECT_NEAR(std::abs(z[i] - z0[i]), 0.0, 1e-15);
}

// Inconsistent reflector data end the process with a failure status, so a
// host's caller does not read the stop as success. The record goes to stdout;
// the child sends it to stderr where the death test can see it.
TEST(Pmvect1DeathTest, ZeroScaleWithPivotIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const int m = 1, n = 3;
  const zc vpiv(1.0, 0.0), beta(0.0, 0.0);
  Block v(3, 1.0), y(3, 1.0);
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        bk::PMVECT1(&m, &n, v.data(), &vpiv, &beta, y.data());
      },
      testing::ExitedWithCode(EXIT_FAILURE), "^ ERROR IN PMVECT1:HVPI SCALE ZERO:\n$");
}

}  // namespace
