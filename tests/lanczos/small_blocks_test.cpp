// Block normalisation and small-block conditioning by singular values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "lanczos/lanczos.hpp"
#include "support/lanczos_host.hpp"

namespace {

using namespace lanczos_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

int nrm_ss(Block& x, std::vector<double>& nrm, int ldx, int n, int s) {
  return bk::NRM_SS(x.data(), nrm.data(), &ldx, &n, &s);
}

TEST(NrmSs, EmptyBlocks) {
  Block x = {{1, 2}};
  std::vector<double> nrm = {-1.0};
  CaptureStdout();
  EXPECT_EQ(nrm_ss(x, nrm, 1, 1, 0), 0);  // s = 0: nothing read or written
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(x[0], zc(1, 2));
  EXPECT_EQ(nrm[0], -1.0);

  // n = 0: the first column has norm zero.
  std::vector<double> nrm2 = {-1.0, -2.0};
  CaptureStdout();
  EXPECT_EQ(nrm_ss(x, nrm2, 1, 0, 2), 1);
  EXPECT_EQ(lines(GetCapturedStdout()),
            (std::vector<std::string>{rec("ERROR IN NRM_SS:"),
                                      rec("SP COL VECTOR WITH ZERO NORM...", 1)}));
  EXPECT_EQ(nrm2, (std::vector<double>{-1.0, -2.0}));
}

TEST(NrmSs, ZeroThirdColumnStopsThere) {
  const int n = 3, ld = 4, s = 4;  // row 4 of every column lies beyond n
  Block x = random_block(ld, s, 11);
  for (int i = 0; i < n; ++i) x[2 * ld + i] = 0.0;
  const Block before = x;
  std::vector<double> nrm(s, -5.0);
  CaptureStdout();
  EXPECT_EQ(nrm_ss(x, nrm, ld, n, s), 1);
  EXPECT_EQ(lines(GetCapturedStdout()),
            (std::vector<std::string>{rec("ERROR IN NRM_SS:"),
                                      rec("SP COL VECTOR WITH ZERO NORM...", 3)}));
  for (int j = 0; j < 2; ++j) {
    EXPECT_NEAR(norm2(&x[j * ld], n), 1.0, 1e-15);
    EXPECT_NEAR(nrm[j], norm2(&before[j * ld], n), 1e-15);
    EXPECT_EQ(x[j * ld + 3], before[j * ld + 3]);  // beyond n: untouched
  }
  for (int k = 2 * ld; k < s * ld; ++k) EXPECT_EQ(x[k], before[k]);
  EXPECT_EQ(nrm[2], -5.0);
  EXPECT_EQ(nrm[3], -5.0);
}

TEST(NrmSs, ScalesAndPassesNaN) {
  Block x = {{3, 4}, {9, 9}, {kNaN, 1}};  // ld 2, n 1: row 2 lies beyond n
  std::vector<double> nrm(2, 0.0);
  CaptureStdout();
  EXPECT_EQ(nrm_ss(x, nrm, 2, 1, 2), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(nrm[0], 5.0);
  EXPECT_NEAR(x[0].real(), 0.6, 2e-16);
  EXPECT_NEAR(x[0].imag(), 0.8, 2e-16);
  EXPECT_TRUE(std::isnan(nrm[1]));
  EXPECT_TRUE(std::isnan(x[2].real()) && std::isnan(x[2].imag()));
  EXPECT_EQ(x[1], zc(9, 9));
}

struct Svd {
  int s, info = -99, sing = -99;
  double cond = -99.0;
  Block svb, sv, work;
  explicit Svd(const Block& m)
      : s(static_cast<int>(std::lround(std::sqrt(m.size())))), svb(4 * m.size(), zc(7, 7)),
        sv(s + 1, zc(7, 7)), work(m.size() + 2 * s) {
    std::copy(m.begin(), m.end(), svb.begin());
  }
  void run() { bk::SVDINV_SS(&s, svb.data(), sv.data(), work.data(), &info, &sing, &cond); }
  zc panel(int p, int i, int j) const { return svb[(p - 1) * s * s + (j - 1) * s + (i - 1)]; }
};

TEST(SvdinvSs, OneByOneAndDiagonal) {
  Svd one(Block{{2, 0}});
  one.run();
  EXPECT_EQ(one.info, 0);
  EXPECT_EQ(one.sing, 0);
  EXPECT_EQ(one.cond, 1.0);
  EXPECT_EQ(one.sv[0], zc(2, 0));
  EXPECT_NEAR(std::abs(one.panel(4, 1, 1) - 0.5), 0.0, 1e-16);

  Svd d(Block{{2, 0}, {0, 0}, {0, 0}, {0.5, 0}});
  d.run();
  EXPECT_EQ(d.info, 0);
  EXPECT_EQ(d.sing, 0);
  EXPECT_NEAR(d.cond, 4.0, 1e-15);
  EXPECT_NEAR(d.sv[0].real(), 2.0, 1e-15);
  EXPECT_NEAR(d.sv[1].real(), 0.5, 1e-15);
  EXPECT_EQ(d.sv[0].imag(), 0.0);
  EXPECT_EQ(d.sv[1].imag(), 0.0);
  EXPECT_NEAR(std::abs(d.panel(4, 1, 1) - 0.5), 0.0, 1e-15);
  EXPECT_NEAR(std::abs(d.panel(4, 2, 2) - 2.0), 0.0, 1e-15);
  EXPECT_NEAR(std::abs(d.panel(4, 1, 2)), 0.0, 1e-15);
  EXPECT_NEAR(std::abs(d.panel(4, 2, 1)), 0.0, 1e-15);
}

TEST(SvdinvSs, SingularLeavesNoInverse) {
  Svd d(Block{{1, 0}, {0, 0}, {0, 0}, {0, 0}});
  d.run();
  EXPECT_EQ(d.info, 0);
  EXPECT_EQ(d.sing, 1);
  EXPECT_EQ(d.cond, -1.0);
  EXPECT_EQ(d.sv[1], zc(0, 0));
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j) EXPECT_EQ(d.panel(4, i, j), zc(7, 7));
  EXPECT_EQ(d.panel(1, 1, 1), zc(1, 0));
}

// For random complex M: panel 1 untouched, singular values real and
// non-increasing, M (V Sigma^-1) = U, M M^-1 = I, cond = sigma_1 / sigma_s.
TEST(SvdinvSs, RandomMatricesDecomposeAndInvert) {
  for (int s : {1, 2, 3, 5, 8, 3}) {  // the last call reuses grown scratch
    const Block m = random_block(s, s, 100 + s);
    Svd d(m);
    d.run();
    ASSERT_EQ(d.info, 0);
    ASSERT_EQ(d.sing, 0);
    for (int k = 0; k < s * s; ++k) EXPECT_EQ(d.svb[k], m[k]);
    for (int j = 0; j < s; ++j) {
      EXPECT_EQ(d.sv[j].imag(), 0.0);
      if (j > 0) {
        EXPECT_LE(d.sv[j].real(), d.sv[j - 1].real());
      }
    }
    EXPECT_NEAR(d.cond, d.sv[0].real() / d.sv[s - 1].real(), 1e-13 * d.cond);
    double err_u = 0.0, err_i = 0.0;
    for (int i = 1; i <= s; ++i)
      for (int j = 1; j <= s; ++j) {
        zc mv = 0.0, mi = 0.0;
        for (int k = 1; k <= s; ++k) {
          mv += m[(k - 1) * s + i - 1] * d.panel(2, k, j);
          mi += m[(k - 1) * s + i - 1] * d.panel(4, k, j);
        }
        err_u = std::max(err_u, std::abs(mv - d.panel(3, i, j)));
        err_i = std::max(err_i, std::abs(mi - (i == j ? 1.0 : 0.0)));
      }
    EXPECT_LT(err_u, 1e-13) << "s = " << s;
    EXPECT_LT(err_i, 1e-12 * d.cond) << "s = " << s;
  }
}

// Non-finite data reach the drivers' condition test as a cond that is not a
// number, with info and sing both 0.
TEST(SvdinvSs, NaNEntryGivesNaNCond) {
  Svd d(Block{{1, 0}, {kNaN, 0}, {0, 0}, {1, 0}});
  d.run();
  EXPECT_EQ(d.info, 0);
  EXPECT_EQ(d.sing, 0);
  EXPECT_TRUE(std::isnan(d.cond));
  EXPECT_TRUE(std::isnan(d.svb[1].real()));  // panel 1 kept
  EXPECT_EQ(d.svb[3], zc(1, 0));
}

}  // namespace
