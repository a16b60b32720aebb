// Restarted block GMRES end to end through the host layer.
#include <gtest/gtest.h>

#include <limits>

#include "support/host_helpers.hpp"

namespace {

using blockkrylov::complex;
using blockkrylov::CsrMatrix;
using blockkrylov::Options;
using blockkrylov::Report;
using blockkrylov::Status;
namespace problems = blockkrylov::problems;
using host_test::max_of;
using host_test::relative_residuals;

// The reported residuals are the true ones, recomputed here independently.
void expect_true_residuals(const CsrMatrix& a, int s, const std::vector<complex>& B,
                           const std::vector<complex>& X, const Report& rep, double rtol) {
  const auto res = relative_residuals(a, s, B.data(), X.data());
  ASSERT_EQ(rep.residuals.size(), static_cast<std::size_t>(s));
  for (int j = 0; j < s; ++j) {
    EXPECT_LE(res[j], rtol * (1 + 1e-6)) << "column " << j;
    EXPECT_NEAR(rep.residuals[j], res[j], 1e-3 * rtol + 1e-15) << "column " << j;
  }
}

class GmresBlock : public ::testing::TestWithParam<int> {};

TEST_P(GmresBlock, ConvectionDiffusionReachesTenDigits) {
  const int s = GetParam();
  const CsrMatrix a = problems::convection_diffusion_2d(30, 30, 20.0, {10.0, 30.0});
  const auto B = host_test::random_block(a.n, s, 1 + s);
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-10;
  const Report rep = blockkrylov::solve_gmres(a.n, s, host_test::op(a), B.data(), a.n, X.data(),
                                              a.n, opt);
  ASSERT_TRUE(rep.converged) << rep.message;
  EXPECT_EQ(rep.status, Status::converged);
  EXPECT_EQ(rep.method, blockkrylov::Method::gmres);
  EXPECT_EQ(static_cast<long>(rep.history.size()), rep.iterations);
  // One product per Hessenberg column, plus the true residual of each cycle.
  EXPECT_GE(rep.products, rep.iterations + s);
  EXPECT_LE(rep.products, rep.iterations + s * (rep.restarts + 1));
  expect_true_residuals(a, s, B, X, rep, opt.rtol);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, GmresBlock, ::testing::Values(1, 2, 4, 8));

TEST(Gmres, LargerGridWithPointSources) {
  const int nx = 100, s = 4;  // n = 10^4
  const CsrMatrix a = problems::convection_diffusion_2d(nx, nx, 10.0, {2000.0, 500.0});
  const auto B = problems::point_sources(nx, nx, s);
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-10;
  opt.restart = 80;
  const Report rep = blockkrylov::solve_gmres(a.n, s, host_test::op(a), B.data(), a.n, X.data(),
                                              a.n, opt);
  ASSERT_TRUE(rep.converged) << rep.message;
  expect_true_residuals(a, s, B, X, rep, opt.rtol);
}

// Short cycles: the solve must restart from the true residual and still get
// there; every cycle's corrections add up.
TEST(Gmres, ShortRestartsStillConverge) {
  const int s = 2;
  const CsrMatrix a = problems::convection_diffusion_2d(20, 20, 5.0, {10.0, 20.0});
  const auto B = host_test::random_block(a.n, s, 9);
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-10;
  opt.restart = 8;  // four Hessenberg columns per cycle at s_k = 2
  const Report rep = blockkrylov::solve_gmres(a.n, s, host_test::op(a), B.data(), a.n, X.data(),
                                              a.n, opt);
  ASSERT_TRUE(rep.converged) << rep.message;
  EXPECT_GE(rep.restarts, 3);
  expect_true_residuals(a, s, B, X, rep, opt.rtol);
}

// The restart length is adjusted: below 2 s it is raised (s = 4 with
// restart = 1), far beyond n it is capped at n (the basis array would not fit
// otherwise, and reflectors end at index n).
TEST(Gmres, RestartLengthIsAdjusted) {
  const CsrMatrix a = problems::convection_diffusion_2d(12, 12, 5.0, {10.0, 20.0});
  const int s = 4;
  const auto B = host_test::random_block(a.n, s, 3);
  for (int restart : {1, std::numeric_limits<int>::max()}) {
    std::vector<complex> X(B.size());
    Options opt;
    opt.rtol = 1e-10;
    opt.restart = restart;
    const Report rep = blockkrylov::solve_gmres(a.n, s, host_test::op(a), B.data(), a.n,
                                                X.data(), a.n, opt);
    ASSERT_TRUE(rep.converged) << rep.message;
    expect_true_residuals(a, s, B, X, rep, opt.rtol);
  }
}

// Deflation: a duplicate column and a dependent one. The deflated columns'
// iterates are the recorded combinations of the kept ones, and they cost
// nothing: in one cycle the solve takes as many columns as the block of the
// three independent right-hand sides alone.
TEST(Gmres, DependentColumnsAreDeflatedAndCombined) {
  const CsrMatrix a = problems::convection_diffusion_2d(25, 25, 10.0, {-30.0, 40.0});
  const int n = a.n, s = 5;
  auto B = host_test::random_block(n, s, 17);
  const complex c1(2.0, 0.0), c2(0.0, -1.0);
  for (int i = 0; i < n; ++i) {
    B[2 * n + i] = B[0 * n + i];                              // column 3 = column 1
    B[4 * n + i] = c1 * B[0 * n + i] + c2 * B[1 * n + i];     // column 5 = 2 b1 - i b2
  }
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-10;
  opt.restart = 600;
  const Report rep = blockkrylov::solve_gmres(n, s, host_test::op(a), B.data(), n, X.data(), n, opt);
  ASSERT_TRUE(rep.converged) << rep.message;
  expect_true_residuals(a, s, B, X, rep, opt.rtol);
  const double scale = host_test::norm(X.data(), 2 * n);
  for (int i = 0; i < n; ++i) {
    EXPECT_NEAR(std::abs(X[2 * n + i] - X[0 * n + i]), 0.0, 1e-9 * scale);
    EXPECT_NEAR(std::abs(X[4 * n + i] - (c1 * X[0 * n + i] + c2 * X[1 * n + i])), 0.0, 1e-9 * scale);
  }
  std::vector<complex> B3(3 * static_cast<std::size_t>(n)), X3(B3.size());
  std::copy(B.begin(), B.begin() + 2 * n, B3.begin());
  std::copy(B.begin() + 3 * n, B.begin() + 4 * n, B3.begin() + 2 * n);
  const Report rep3 =
      blockkrylov::solve_gmres(n, 3, host_test::op(a), B3.data(), n, X3.data(), n, opt);
  ASSERT_TRUE(rep3.converged);
  EXPECT_EQ(rep.restarts, 0);
  EXPECT_LE(rep.iterations, rep3.iterations + 3);
}

// Right-hand sides of wildly different sizes, the smallest one first: each
// column is deflated only when it depends on the others relative to its own
// size, so every column converges relative to its own b_j, in one cycle.
TEST(Gmres, ColumnsOfVeryDifferentScales) {
  const CsrMatrix a = problems::convection_diffusion_2d(25, 25, 10.0, {-30.0, 40.0});
  const int n = a.n, s = 4;
  auto B = host_test::random_block(n, s, 29);
  const double scales[] = {1e-30, 1.0, 1e-8, 1e9};
  for (int j = 0; j < s; ++j)
    for (int i = 0; i < n; ++i) B[j * n + i] *= scales[j];
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-10;
  opt.restart = 600;
  const Report rep = blockkrylov::solve_gmres(n, s, host_test::op(a), B.data(), n, X.data(), n, opt);
  ASSERT_TRUE(rep.converged) << rep.message;
  EXPECT_EQ(rep.restarts, 0);
  expect_true_residuals(a, s, B, X, rep, opt.rtol);
}

// The least-squares residual read from G after the last column equals the
// true residual formed after the cycle, to a few digits.
TEST(Gmres, LeastSquaresResidualMatchesTrueResidual) {
  const int s = 3;
  const CsrMatrix a = problems::convection_diffusion_2d(20, 20, 10.0, {-20.0, 30.0});
  const auto B = host_test::random_block(a.n, s, 23);
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-7;
  opt.restart = 400;  // one cycle
  const Report rep = blockkrylov::solve_gmres(a.n, s, host_test::op(a), B.data(), a.n, X.data(),
                                              a.n, opt);
  ASSERT_TRUE(rep.converged) << rep.message;
  ASSERT_EQ(rep.restarts, 0);
  const double est = rep.history.back();
  const double tru = max_of(rep.residuals);
  EXPECT_NEAR(est, tru, 1e-3 * tru);
  // The history goes down overall.
  EXPECT_LT(rep.history.back(), 1e-3 * rep.history.front());
}

// A nonzero starting guess is used (starting near the solution needs fewer
// iterations), and leading dimensions larger than n are honoured: the rows
// beyond n are neither read nor written.
TEST(Gmres, UsesTheGuessAndHonoursLeadingDimensions) {
  const int s = 2;
  const CsrMatrix a = problems::convection_diffusion_2d(20, 20, 10.0, {-20.0, 30.0});
  const int n = a.n, ld = n + 7;
  const auto Bc = host_test::random_block(n, s, 31);
  std::vector<complex> X0(Bc.size());
  Options opt;
  opt.rtol = 1e-10;
  const Report cold = blockkrylov::solve_gmres(n, s, host_test::op(a), Bc.data(), n, X0.data(), n, opt);
  ASSERT_TRUE(cold.converged);

  std::vector<complex> B(static_cast<std::size_t>(ld) * s, complex(1e300, 0));
  std::vector<complex> X(static_cast<std::size_t>(ld) * s, complex(-7.0, 0.0));
  for (int j = 0; j < s; ++j) {
    std::copy(Bc.begin() + j * n, Bc.begin() + (j + 1) * n, B.begin() + j * ld);
    for (int i = 0; i < n; ++i) X[j * ld + i] = X0[j * n + i] * complex(1.0 + 1e-5, 0.0);
  }
  const Report warm = blockkrylov::solve_gmres(n, s, host_test::op(a), B.data(), ld, X.data(), ld, opt);
  ASSERT_TRUE(warm.converged) << warm.message;
  EXPECT_LT(warm.iterations, cold.iterations);
  std::vector<complex> Xc(static_cast<std::size_t>(n) * s);
  for (int j = 0; j < s; ++j) {
    std::copy(X.begin() + j * ld, X.begin() + j * ld + n, Xc.begin() + j * n);
    for (int i = n; i < ld; ++i) EXPECT_EQ(X[j * ld + i], complex(-7.0, 0.0));
  }
  expect_true_residuals(a, s, Bc, Xc, warm, opt.rtol);
}

}  // namespace
