// The block QMR step and the reflector application under it.
#include <unistd.h>

#include <cstdlib>

#include "support/lanczos_host.hpp"

namespace {

using namespace lanczos_test;

// The arrays of ZD_BQMR1 and the drivers' hand-over between steps.
struct Qmr {
  int n, s, jcur = 0, jprev;
  Block QRS, RINV, TAU, D, P, X, WK;
  Qmr(int n_, int s_)
      : n(n_),
        s(s_),
        jprev(s_),
        QRS((3 * s + 3) * 2 * s),
        RINV(2 * s * s),
        TAU(2 * s * s),
        D(n * s, zc(5, -3)),
        P(n * s, 1.0),
        X(n * s),
        WK(n * s, zc(9, 9)) {}
  zc& q(int i, int j) { return QRS[(j - 1) * (3 * s + 3) + i - 1]; }
  zc& tau(int i, int j) { return TAU[(j - 1) * 2 * s + i - 1]; }
  // Newest block column [0; alpha; diag(rho)], then the step.
  int step(const Block& alpha, const std::vector<double>& rho) {
    for (int j = 1; j <= s; ++j)
      for (int i = 1; i <= s; ++i) {
        q(i, jcur + j) = 0.0;
        q(s + i, jcur + j) = alpha[(j - 1) * s + i - 1];
        q(2 * s + i, jcur + j) = i == j ? rho[i - 1] : 0.0;
      }
    return bk::ZD_BQMR1(&n, &s, &jcur, &jprev, QRS.data(), RINV.data(), TAU.data(), D.data(),
                        P.data(), X.data(), WK.data());
  }
  void hand_over() {
    for (int j = 1; j <= s; ++j)
      for (int i = 1; i <= s; ++i) tau(i, j) = tau(s + i, j), tau(s + i, j) = 0.0;
    std::swap(jcur, jprev);
  }
};

TEST(ZdBqmr1, WorkedExampleTwoSteps) {
  Qmr m(1, 1);
  m.tau(1, 1) = 1.0;
  ASSERT_EQ(m.step({3.0}, {4.0}), 0);  // column (0, 3, 4)
  EXPECT_EQ(Block(m.QRS.begin(), m.QRS.begin() + 6), (Block{0.0, -5.0, 4.0, 8.0, 40.0, 5.0}));
  EXPECT_NEAR(std::abs(m.RINV[0] + 0.2), 0.0, 1e-16);
  EXPECT_NEAR(std::abs(m.tau(1, 1) + 0.6), 0.0, 1e-16);
  EXPECT_NEAR(std::abs(m.tau(2, 1) + 0.8), 0.0, 1e-16);
  EXPECT_EQ(m.WK[0], zc(0.0, 0.0));
  EXPECT_NEAR(std::abs(m.D[0] + 0.2), 0.0, 1e-16);
  EXPECT_NEAR(std::abs(m.X[0] - 0.12), 0.0, 1e-16);  // min |1 - (3, 4) z| at 3/25

  // Column (0, 1, 2): the first reflector maps (0, 1) to (-0.8, 0.6).
  m.hand_over();
  ASSERT_EQ(m.step({1.0}, {2.0}), 0);
  EXPECT_NEAR(std::abs(m.q(1, 2) + 0.8), 0.0, 1e-15);
  EXPECT_NEAR(std::abs(m.q(2, 2) + std::sqrt(4.36)), 0.0, 1e-15);  // -||(0.6, 2)||
}

TEST(ZdBqmr1, ZeroColumnReturnsOneAndTouchesNothingElse) {
  Qmr m(3, 2);
  m.X = random_block(3, 2, 6);
  m.TAU = random_block(4, 2, 7);
  const Qmr before = m;
  EXPECT_EQ(m.step(Block(4, 0.0), {0.0, 0.0}), 1);
  EXPECT_EQ(m.RINV, before.RINV);
  EXPECT_EQ(m.TAU, before.TAU);
  EXPECT_EQ(m.D, before.D);
  EXPECT_EQ(m.X, before.X);
}

// Four steps on random block columns with P_k = rows of the identity, so
// that X holds the QMR coefficients z of min ||[diag(rho_0); 0] - L z||
// column by column. Optimality: L^H (b - L z) = 0, and the remainder left in
// TAU has the norm of b - L z.
TEST(ZdBqmr1, SolvesTheLeastSquaresProblem) {
  for (int s : {1, 2, 3}) {
    const int K = 4, n = K * s, rows = n + s;
    Qmr m(n, s);
    Block L(rows * n);
    for (int j = 1; j <= s; ++j) m.tau(j, j) = 1.25;
    for (int k = 0; k < K; ++k) {
      const Block alpha = random_block(s, s, 300 + 10 * s + k);
      const std::vector<double> rho(s, 0.5 + 0.25 * k);
      std::fill(m.P.begin(), m.P.end(), 0.0);
      for (int j = 0; j < s; ++j) {
        for (int i = 0; i < s; ++i) L[(k * s + i) + (k * s + j) * rows] = alpha[j * s + i];
        L[((k + 1) * s + j) + (k * s + j) * rows] = rho[j];
        m.P[k * s + j + j * n] = 1.0;
      }
      if (k > 0) m.hand_over();
      ASSERT_EQ(m.step(alpha, rho), 0);
    }
    for (int c = 0; c < s; ++c) {
      Block r(rows, 0.0);
      r[c] = 1.25;
      for (int a = 0; a < n; ++a)
        for (int i = 0; i < rows; ++i) r[i] -= L[i + a * rows] * m.X[c * n + a];
      for (int a = 0; a < n; ++a) {
        zc g = 0.0;
        for (int i = 0; i < rows; ++i) g += std::conj(L[i + a * rows]) * r[i];
        EXPECT_NEAR(std::abs(g), 0.0, 1e-13) << "s = " << s;
      }
      double rem = 0.0;
      for (int i = 1; i <= s; ++i) rem += std::norm(m.tau(s + i, c + 1));
      EXPECT_NEAR(std::sqrt(rem), norm2(r.data(), rows), 1e-14);
    }
  }
}

TEST(Pmvect1, TrivialReflectorsLeaveVector) {
  const int one = 1, n = 5;
  const Block x = random_block(n, 1, 12);
  const zc zero(0.0, 0.0), vp(1.0, 2.0);
  Block y = x;
  bk::PMVECT1(&n, &n, x.data(), &vp, &zero, y.data());      // m = n: beta 0 does not matter
  bk::PMVECT1(&one, &n, x.data(), &zero, &zero, y.data());  // vpiv = beta = 0
  EXPECT_EQ(y, x);
}

// Inconsistent reflector data end the process with a failure status, which a
// host's caller cannot mistake for success. The child sends its stdout to
// stderr, where the death test reads the record.
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
