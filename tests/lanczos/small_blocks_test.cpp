// Block normalisation and small-block conditioning by singular values.
#include <limits>

#include "support/lanczos_host.hpp"

namespace {

using namespace lanczos_test;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

int nrm_ss(Block& x, std::vector<double>& nrm, int ldx, int n, int s) {
  return bk::NRM_SS(x.data(), nrm.data(), &ldx, &n, &s);
}

// s = 0, n = 0, the entry (3, 4), a NaN column, and a zero third column.
TEST(NrmSs, ScalesUpToTheFirstZeroColumn) {
  Block x = {{3, 4}, {9, 9}, {kNaN, 1}};  // ld 2, n 1: row 2 lies beyond n
  std::vector<double> nrm = {-1.0, -2.0};
  int r = -1;
  EXPECT_EQ(records([&] { r = nrm_ss(x, nrm, 2, 1, 0); }), Lines{});  // no access
  EXPECT_EQ(records([&] { r += nrm_ss(x, nrm, 2, 0, 2); }), zero_column(1));
  EXPECT_EQ(r, 1);
  EXPECT_EQ(nrm, (std::vector<double>{-1.0, -2.0}));
  EXPECT_EQ(nrm_ss(x, nrm, 2, 1, 2), 0);
  EXPECT_EQ(nrm[0], 5.0);
  EXPECT_NEAR(std::abs(x[0] - zc(0.6, 0.8)), 0.0, 2e-16);
  EXPECT_EQ(x[1], zc(9, 9));
  EXPECT_TRUE(std::isnan(nrm[1]) && std::isnan(x[2].real()) && std::isnan(x[2].imag()));

  Block y = random_block(3, 4, 11);
  std::fill_n(y.begin() + 6, 3, 0.0);
  const Block before = y;
  nrm.assign(4, -5.0);
  EXPECT_EQ(records([&] { r = nrm_ss(y, nrm, 3, 3, 4); }), zero_column(3));
  EXPECT_EQ(r, 1);
  for (int j = 0; j < 2; ++j)
    EXPECT_NEAR(norm2(&y[3 * j], 3) + nrm[j], 1.0 + norm2(&before[3 * j], 3), 1e-15);
  EXPECT_EQ(Block(y.begin() + 6, y.end()), Block(before.begin() + 6, before.end()));
  EXPECT_EQ(std::vector<double>(nrm.begin() + 2, nrm.end()), std::vector<double>(2, -5.0));
}

struct Svd {
  int s, info = -9, sing = -9;
  double cond = -9.0;
  Block svb, sv, work;
  explicit Svd(const Block& m)
      : s(static_cast<int>(std::lround(std::sqrt(m.size())))),
        svb(4 * m.size(), zc(7, 7)),
        sv(s + 1),
        work(m.size() + 2 * s) {
    std::copy(m.begin(), m.end(), svb.begin());
    bk::SVDINV_SS(&s, svb.data(), sv.data(), work.data(), &info, &sing, &cond);
  }
  zc at(int panel, int i, int j) const { return svb[(panel - 1) * s * s + (j - 1) * s + i - 1]; }
};

TEST(SvdinvSs, KnownMatrices) {
  const Svd one(Block{2.0});
  EXPECT_EQ(one.info + one.sing, 0);
  EXPECT_EQ(one.cond, 1.0);
  EXPECT_EQ(one.sv[0], zc(2, 0));
  EXPECT_NEAR(std::abs(one.at(4, 1, 1) - 0.5), 0.0, 1e-16);

  const Svd d(Block{2.0, 0.0, 0.0, 0.5});
  EXPECT_EQ(d.info + d.sing, 0);
  EXPECT_NEAR(d.cond, 4.0, 1e-15);
  EXPECT_EQ(d.sv[1].imag(), 0.0);
  EXPECT_NEAR(d.sv[1].real(), 0.5, 1e-16);
  for (int k = 0; k < 4; ++k)
    EXPECT_NEAR(std::abs(d.svb[12 + k] - Block{0.5, 0.0, 0.0, 2.0}[k]), 0.0, 1e-15);

  const Svd sing(Block{1.0, 0.0, 0.0, 0.0});  // no inverse: panel 4 keeps its 7s
  EXPECT_EQ(sing.info, 0);
  EXPECT_EQ(sing.sing, 1);
  EXPECT_EQ(sing.cond, -1.0);
  EXPECT_EQ(Block(sing.svb.begin() + 12, sing.svb.end()), Block(4, zc(7, 7)));

  const Svd nan(Block{1.0, kNaN, 0.0, 1.0});  // what the drivers' test sees
  EXPECT_EQ(nan.info + nan.sing, 0);
  EXPECT_TRUE(std::isnan(nan.cond));
}

// Random complex M (sizes grow, then shrink to reuse the scratch): panel 1
// untouched, singular values real and non-increasing, M (V Sigma^-1) = U and
// M M^-1 = I.
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
        zc mv = 0.0, mi = 0.0;
        for (int k = 1; k <= s; ++k) {
          mv += m[(k - 1) * s + i - 1] * d.at(2, k, j);
          mi += m[(k - 1) * s + i - 1] * d.at(4, k, j);
        }
        EXPECT_NEAR(std::abs(mv - d.at(3, i, j)), 0.0, 1e-13);
        EXPECT_NEAR(std::abs(mi - (i == j ? 1.0 : 0.0)), 0.0, 1e-12 * d.cond);
      }
  }
}

}  // namespace
