// The building blocks under the Lanczos drivers: block normalisation,
// small-block conditioning by singular values, the block QMR step and the
// reflector application under it.
#include <unistd.h>

#include <cstdlib>
#include <limits>

#include "support/lanczos_host.hpp"

namespace {

using namespace lanczos_test;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

int nrm_ss(Block& x, std::vector<double>& nrm, int ldx, int n, int s) {
  return bk::NRM_SS(x.data(), nrm.data(), &ldx, &n, &s);
}

// s = 0 (no access) and n = 0 (column 1 has norm 0); then ld 2 > n = 1 with
// columns (3, 4), NaN (scaled by its NaN norm), 0 (reported: it and the next
// column are left as they are, and so are their norms).
TEST(NrmSs, ScalesUpToTheFirstZeroColumn) {
  Block x = {{3, 4}, {9, 9}, {kNaN, 1}, 9.0, 0.0, 9.0, 2.0, 9.0};
  std::vector<double> nrm(4, -1.0);
  int r = -1;
  EXPECT_EQ(records([&] { r = nrm_ss(x, nrm, 2, 1, 0); }), Lines{});
  EXPECT_EQ(records([&] { r += nrm_ss(x, nrm, 2, 0, 2); }), zero_column(1));
  EXPECT_EQ(r, 1);
  EXPECT_EQ(nrm, std::vector<double>(4, -1.0));
  const Block before = x;
  EXPECT_EQ(records([&] { r = nrm_ss(x, nrm, 2, 1, 4); }), zero_column(3));
  EXPECT_EQ(r, 1);
  EXPECT_EQ(nrm[0], 5.0);
  EXPECT_NEAR(std::abs(x[0] - zc(0.6, 0.8)), 0.0, 2e-16);
  EXPECT_TRUE(std::isnan(nrm[1]) && std::isnan(x[2].real()) && std::isnan(x[2].imag()));
  EXPECT_EQ(x[1], zc(9, 9));  // row 2 lies beyond n
  EXPECT_EQ(Block(x.begin() + 3, x.end()), Block(before.begin() + 3, before.end()));
  EXPECT_EQ(std::vector<double>(nrm.begin() + 2, nrm.end()), std::vector<double>(2, -1.0));
}

struct Svd {
  int s, info = -9, sing = -9;
  double cond = -9.0;
  Block svb, sv, work;
  explicit Svd(const Block& m)
      : s(static_cast<int>(std::lround(std::sqrt(m.size())))), svb(4 * m.size(), zc(7, 7)),
        sv(s + 1), work(m.size() + 2 * s) {
    std::copy(m.begin(), m.end(), svb.begin());
    bk::SVDINV_SS(&s, svb.data(), sv.data(), work.data(), &info, &sing, &cond);
  }
  zc at(int panel, int i, int j) const { return svb[(panel - 1) * s * s + (j - 1) * s + i - 1]; }
};

// An exactly singular M: sing = 1, cond = -1 and no inverse (panel 4 keeps
// its 7s); a NaN entry: a cond that is not a number, which the drivers test.
TEST(SvdinvSs, SingularAndNaNMatrices) {
  const Svd sing(Block{1.0, 0.0, 0.0, 0.0});
  EXPECT_EQ(sing.info, 0);
  EXPECT_EQ(sing.sing, 1);
  EXPECT_EQ(sing.cond, -1.0);
  EXPECT_EQ(Block(sing.svb.begin() + 12, sing.svb.end()), Block(4, zc(7, 7)));
  const Svd nan(Block{1.0, kNaN, 0.0, 1.0});
  EXPECT_EQ(nan.info + nan.sing, 0);
  EXPECT_TRUE(std::isnan(nan.cond));
}

// Random complex M (sizes grow, then shrink to reuse the scratch): panel 1
// untouched, singular values real and non-increasing, cond their ratio, and
// M M^-1 = I (which also needs the singular values and vectors right).
TEST(SvdinvSs, RandomMatricesDecomposeAndInvert) {
  for (int s : {1, 2, 3, 5, 8, 3}) {
    const Block m = random_block(s, s, 100 + s);
    const Svd d(m);
    ASSERT_EQ(d.info + d.sing, 0);
    EXPECT_EQ(Block(d.svb.begin(), d.svb.begin() + s * s), m);
    for (int j = 1; j < s; ++j) EXPECT_LE(d.sv[j].real(), d.sv[j - 1].real());
    for (int j = 0; j < s; ++j) EXPECT_EQ(d.sv[j].imag(), 0.0);
    EXPECT_NEAR(d.cond, d.sv[0].real() / d.sv[s - 1].real(), 1e-13 * d.cond);
    for (int i = 1; i <= s; ++i)
      for (int j = 1; j <= s; ++j) {
        zc mi = 0.0;
        for (int k = 1; k <= s; ++k) mi += m[(k - 1) * s + i - 1] * d.at(4, k, j);
        EXPECT_NEAR(std::abs(mi - (i == j ? 1.0 : 0.0)), 0.0, 1e-12 * d.cond);
      }
  }
}

// The arrays of ZD_BQMR1, with D and WK holding garbage that the first step
// must not use, and the drivers' hand-over between steps.
struct Qmr {
  int n, s, jcur = 0, jprev;
  Block QRS, RINV, TAU, D, P, X, WK;
  Qmr(int n_, int s_)
      : n(n_), s(s_), jprev(s_), QRS((3 * s + 3) * 2 * s), RINV(2 * s * s), TAU(2 * s * s),
        D(n * s, zc(5, -3)), P(n * s), X(n * s), WK(n * s, zc(9, 9)) {}
  zc& tau(int i, int j) { return TAU[(j - 1) * 2 * s + i - 1]; }
  // Newest block column [0; alpha; rho I], then the step.
  int step(const Block& alpha, double rho) {
    for (int j = 1; j <= s; ++j)
      for (int i = 1; i <= 3 * s; ++i)
        QRS[(jcur + j - 1) * (3 * s + 3) + i - 1] =
            i > s && i <= 2 * s ? alpha[(j - 1) * s + i - s - 1] : i == 2 * s + j ? rho : 0.0;
    return bk::ZD_BQMR1(&n, &s, &jcur, &jprev, QRS.data(), RINV.data(), TAU.data(), D.data(),
                        P.data(), X.data(), WK.data());
  }
  void hand_over() {
    for (int j = 1; j <= s; ++j)
      for (int i = 1; i <= s; ++i) tau(i, j) = tau(s + i, j), tau(s + i, j) = 0.0;
    std::swap(jcur, jprev);
  }
};

// A column with nothing below its top block: result 1, no record, nothing
// else touched.
TEST(ZdBqmr1, ZeroColumnReturnsOneAndTouchesNothingElse) {
  Qmr m(3, 2);
  m.X = random_block(3, 2, 6);
  m.TAU = random_block(4, 2, 7);
  const Qmr before = m;
  EXPECT_EQ(records([&] { EXPECT_EQ(m.step(Block(4, 0.0), 0.0), 1); }), Lines{});
  EXPECT_TRUE(m.RINV == before.RINV && m.TAU == before.TAU && m.D == before.D);
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
      const double rho = 0.5 + 0.25 * k;
      std::fill(m.P.begin(), m.P.end(), 0.0);
      for (int j = 0; j < s; ++j) {
        for (int i = 0; i < s; ++i) L[(k * s + i) + (k * s + j) * rows] = alpha[j * s + i];
        L[((k + 1) * s + j) + (k * s + j) * rows] = rho;
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

// Trivial reflectors (m = n, even with beta = 0; vpiv = beta = 0) leave y;
// inconsistent data (a pivot with a zero scale) end the process with a
// failure status, which a host's caller cannot mistake for success. The
// child sends its stdout to stderr, where the death test reads the record.
TEST(Pmvect1DeathTest, TrivialReflectorsAndFatalZeroScale) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const int one = 1, n = 3;
  const zc zero(0.0, 0.0), vp(1.0, 2.0);
  const Block x = random_block(n, 1, 12);
  Block y = x;
  bk::PMVECT1(&n, &n, x.data(), &vp, &zero, y.data());
  bk::PMVECT1(&one, &n, x.data(), &zero, &zero, y.data());
  EXPECT_EQ(y, x);
  EXPECT_EXIT(
      {
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        bk::PMVECT1(&one, &n, x.data(), &vp, &zero, y.data());
      },
      testing::ExitedWithCode(EXIT_FAILURE), "^ ERROR IN PMVECT1:HVPI SCALE ZERO:\n$");
}

}  // namespace
