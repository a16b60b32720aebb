// The two block Lanczos / block QMR solvers end to end through the host layer.
#include <gtest/gtest.h>

#include <atomic>

#include "support/host_helpers.hpp"

namespace {

using blockkrylov::complex;
using blockkrylov::CsrMatrix;
using blockkrylov::Method;
using blockkrylov::Options;
using blockkrylov::Report;
using blockkrylov::Status;
namespace problems = blockkrylov::problems;
using host_test::max_of;
using host_test::relative_residuals;

void expect_solved(const CsrMatrix& a, int s, const std::vector<complex>& B,
                   const std::vector<complex>& X, const Report& rep, double rtol) {
  ASSERT_TRUE(rep.converged) << rep.message;
  EXPECT_EQ(rep.status, Status::converged);
  const auto res = relative_residuals(a, s, B.data(), X.data());
  for (int j = 0; j < s; ++j) {
    EXPECT_LE(res[j], rtol * (1 + 1e-6)) << "column " << j;
    EXPECT_NEAR(rep.residuals[j], res[j], 1e-3 * rtol) << "column " << j;
  }
}

double relative_difference(const std::vector<complex>& x, const std::vector<complex>& y) {
  double d = 0.0, m = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    d += std::norm(x[i] - y[i]);
    m += std::norm(x[i]);
  }
  return std::sqrt(d / m);
}

// Complex-symmetric indefinite Helmholtz: k^2 = 400 lies well inside the
// spectrum of the discrete Laplacian.
CsrMatrix helmholtz() { return problems::helmholtz_2d(40, 40, 20.0, 0.05); }

class SymmetricBlock : public ::testing::TestWithParam<int> {};

TEST_P(SymmetricBlock, HelmholtzReachesEightDigits) {
  const int s = GetParam();
  const CsrMatrix a = helmholtz();
  const auto B = host_test::random_block(a.n, s, 40 + s);
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-8;
  const Report rep = blockkrylov::solve_symmetric(a.n, s, host_test::op(a), B.data(), a.n,
                                                  X.data(), a.n, opt);
  expect_solved(a, s, B, X, rep, opt.rtol);
  EXPECT_EQ(rep.method, Method::symmetric);
  EXPECT_EQ(rep.breakdowns, 0);
  // s products per step, plus a few true residuals (not one per step).
  EXPECT_GE(rep.products, s * rep.iterations);
  EXPECT_LE(rep.products, s * rep.iterations + 4 * s);
}

class QmrBlock : public ::testing::TestWithParam<int> {};

TEST_P(QmrBlock, ConvectionDiffusionReachesEightDigits) {
  const int s = GetParam();
  const CsrMatrix a = problems::convection_diffusion_2d(40, 40, 20.0, {10.0, 30.0});
  const auto B = host_test::random_block(a.n, s, 60 + s);
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-8;
  const Report rep = blockkrylov::solve_qmr(a.n, s, host_test::op(a), host_test::op_transpose(a),
                                            B.data(), a.n, X.data(), a.n, opt);
  expect_solved(a, s, B, X, rep, opt.rtol);
  EXPECT_EQ(rep.method, Method::qmr);
  // 2 s products per step (A and A^T), plus a few true residuals.
  EXPECT_GE(rep.products, 2 * s * rep.iterations);
  EXPECT_LE(rep.products, 2 * s * rep.iterations + 4 * s);
}

TEST_P(QmrBlock, RandomSparseWithDominantDiagonal) {
  const int s = GetParam();
  const CsrMatrix a = problems::random_sparse(3000, 8, 7, 1.3);
  const auto B = host_test::random_block(a.n, s, 80 + s);
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-8;
  const Report rep = blockkrylov::solve_qmr(a.n, s, host_test::op(a), host_test::op_transpose(a),
                                            B.data(), a.n, X.data(), a.n, opt);
  expect_solved(a, s, B, X, rep, opt.rtol);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, SymmetricBlock, ::testing::Values(1, 2, 4, 8));
INSTANTIATE_TEST_SUITE_P(BlockSizes, QmrBlock, ::testing::Values(1, 2, 4, 8));

// s = 1 is the scalar method: its quasi-residual never grows; and a block
// solve gives each column the solution its own s = 1 solve gives.
TEST(Symmetric, BlockAgreesWithSingleColumnSolves) {
  const CsrMatrix a = helmholtz();
  const int s = 3;
  const auto B = host_test::random_block(a.n, s, 5);
  Options opt;
  opt.rtol = 1e-10;
  std::vector<complex> X(B.size());
  const Report block = blockkrylov::solve_symmetric(a.n, s, host_test::op(a), B.data(), a.n,
                                                    X.data(), a.n, opt);
  ASSERT_TRUE(block.converged) << block.message;
  long single_products = 0;
  for (int j = 0; j < s; ++j) {
    const std::vector<complex> b(B.begin() + j * a.n, B.begin() + (j + 1) * a.n);
    std::vector<complex> x(a.n);
    const Report one = blockkrylov::solve_symmetric(a.n, 1, host_test::op(a), b.data(), a.n,
                                                    x.data(), a.n, opt);
    ASSERT_TRUE(one.converged) << one.message;
    single_products += one.products;
    for (std::size_t i = 1; i < one.history.size(); ++i)
      EXPECT_LE(one.history[i], one.history[i - 1] * (1 + 1e-12)) << "step " << i;
    const std::vector<complex> xb(X.begin() + j * a.n, X.begin() + (j + 1) * a.n);
    EXPECT_LT(relative_difference(x, xb), 1e-6) << "column " << j;
  }
  // The block shares its Krylov space: no dearer than the separate solves.
  EXPECT_LE(block.products, single_products * 11 / 10);
}

// On a complex-symmetric matrix with the default left block (W_1 = V_1) the
// two-sided method builds the same iterates as the symmetric one, at twice
// the products per step.
TEST(Qmr, AgreesWithSymmetricOnComplexSymmetricMatrix) {
  const CsrMatrix a = problems::helmholtz_2d(30, 30, 12.0, 0.1);
  const int s = 2;
  const auto B = host_test::random_block(a.n, s, 8);
  Options opt;
  opt.rtol = 1e-9;
  std::vector<complex> Xs(B.size()), Xq(B.size());
  const Report sym = blockkrylov::solve_symmetric(a.n, s, host_test::op(a), B.data(), a.n,
                                                  Xs.data(), a.n, opt);
  const Report qmr = blockkrylov::solve_qmr(a.n, s, host_test::op(a), host_test::op_transpose(a),
                                            B.data(), a.n, Xq.data(), a.n, opt);
  ASSERT_TRUE(sym.converged) << sym.message;
  ASSERT_TRUE(qmr.converged) << qmr.message;
  EXPECT_NEAR(static_cast<double>(qmr.iterations), static_cast<double>(sym.iterations), 2.0);
  for (std::size_t i = 0; i < 20 && i < sym.history.size(); ++i)
    EXPECT_NEAR(qmr.history[i], sym.history[i], 1e-8 * sym.history[i]) << "step " << i;
  EXPECT_LT(relative_difference(Xs, Xq), 1e-6);
}

// An explicit left block works as well (here a random one).
TEST(Qmr, ExplicitLeftStartingBlock) {
  const CsrMatrix a = problems::convection_diffusion_2d(25, 25, 10.0, {20.0, 20.0});
  const int s = 2;
  const auto B = host_test::random_block(a.n, s, 12);
  const auto W = host_test::random_block(a.n, s, 13);
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-8;
  opt.left_start = W.data();
  const Report rep = blockkrylov::solve_qmr(a.n, s, host_test::op(a), host_test::op_transpose(a),
                                            B.data(), a.n, X.data(), a.n, opt);
  expect_solved(a, s, B, X, rep, opt.rtol);
}

// A left block orthogonal to the residual in the bilinear form makes
// d_1 = W_1^T V_1 singular: the start fails, a restart would fail the same
// way, so the solve ends at once and X is left as it was.
TEST(Qmr, LeftBlockOrthogonalToResidualEndsAtOnce) {
  const CsrMatrix a = problems::convection_diffusion_2d(10, 10, 1.0, {5.0, 1.0});
  const int n = a.n;
  std::vector<complex> B(n, complex(0.0)), W(n, complex(0.0)), X(n, complex(0.0));
  B[0] = 1.0;
  W[1] = 1.0;  // W^T B = 0
  Options opt;
  opt.left_start = W.data();
  testing::internal::CaptureStdout();
  const Report rep = blockkrylov::solve_qmr(n, 1, host_test::op(a), host_test::op_transpose(a),
                                            B.data(), n, X.data(), n, opt);
  const std::string records = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rep.status, Status::breakdown);
  EXPECT_EQ(rep.breakdowns, 1);
  EXPECT_EQ(rep.restarts, 0);
  EXPECT_EQ(rep.iterations, 0);
  EXPECT_EQ(rep.products, 0);
  EXPECT_NE(records.find("SINGULAR [d_n] DISCOVERED:"), std::string::npos) << records;
  for (const auto& x : X) EXPECT_EQ(x, complex(0.0));
  EXPECT_DOUBLE_EQ(rep.residuals[0], 1.0);
}

// An operator that returns garbage once: the step fails, the host restarts
// from the last good iterate with a fresh residual and still converges.
TEST(Lanczos, RecoversFromAFailedStepByRestarting) {
  const CsrMatrix a = helmholtz();
  const int s = 2;
  const auto B = host_test::random_block(a.n, s, 21);
  for (Method m : {Method::symmetric, Method::qmr}) {
    std::atomic<int> calls{0};
    blockkrylov::Operator A = [&](int k, const complex* x, complex* y) {
      a.multiply(k, x, y);
      if (++calls == 30) y[3] = complex(std::numeric_limits<double>::quiet_NaN(), 0.0);
    };
    std::vector<complex> X(B.size());
    Options opt;
    opt.rtol = 1e-8;
    testing::internal::CaptureStdout();
    const Report rep =
        m == Method::symmetric
            ? blockkrylov::solve_symmetric(a.n, s, A, B.data(), a.n, X.data(), a.n, opt)
            : blockkrylov::solve_qmr(a.n, s, A, host_test::op_transpose(a), B.data(), a.n,
                                     X.data(), a.n, opt);
    testing::internal::GetCapturedStdout();
    expect_solved(a, s, B, X, rep, opt.rtol);
    EXPECT_EQ(rep.breakdowns, 1) << rep.message;
    EXPECT_EQ(rep.restarts, 1) << rep.message;
  }
}

// Failing again and again: at most max_breakdowns restarts, then a report
// of the breakdown with the last good iterate and its true residual.
TEST(Lanczos, GivesUpAfterMaxBreakdowns) {
  const CsrMatrix a = helmholtz();
  const int s = 2;
  const auto B = host_test::random_block(a.n, s, 22);
  // Calls 1-5 are steps, 6 fails; then each restart forms a residual (one
  // call) and makes four steps before the next multiple of 6 fails.
  int calls = 0;
  blockkrylov::Operator A = [&](int k, const complex* x, complex* y) {
    a.multiply(k, x, y);
    if (++calls % 6 == 0) y[0] = complex(std::numeric_limits<double>::infinity(), 0.0);
  };
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-12;
  opt.max_breakdowns = 3;
  testing::internal::CaptureStdout();
  const Report rep = blockkrylov::solve_symmetric(a.n, s, A, B.data(), a.n, X.data(), a.n, opt);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rep.status, Status::breakdown) << rep.message;
  EXPECT_EQ(rep.breakdowns, 4);
  EXPECT_EQ(rep.restarts, 3);
  const auto res = relative_residuals(a, s, B.data(), X.data());
  for (int j = 0; j < s; ++j) {
    EXPECT_TRUE(std::isfinite(res[j]));
    EXPECT_LT(res[j], 1.0);  // the good steps were kept
  }
}

// Asking for more than the recurrences can deliver: the drift from the true
// residual is reset by restarts, and the estimate never triggers a true
// residual at every step (that would double the products).
TEST(Lanczos, TightToleranceRestartsFromTrueResidualWithoutCheckingEveryStep) {
  const CsrMatrix a = helmholtz();
  const int s = 4;
  const auto B = host_test::random_block(a.n, s, 41);
  for (Method m : {Method::symmetric, Method::qmr}) {
    std::vector<complex> X(B.size());
    Options opt;
    opt.rtol = 1e-14;
    const Report rep = host_test::solve(m, a, s, B.data(), X.data(), opt);
    const long per_step = (m == Method::qmr ? 2 : 1) * s;
    const long residual_products = rep.products - per_step * rep.iterations;
    EXPECT_LE(residual_products, 15L * s) << rep.message;
    EXPECT_TRUE(rep.status == Status::converged || rep.status == Status::stagnated) << rep.message;
    const auto res = relative_residuals(a, s, B.data(), X.data());
    EXPECT_LT(max_of(res), 1e-12) << rep.message;
    for (int j = 0; j < s; ++j) EXPECT_NEAR(rep.residuals[j], res[j], 1e-3 * res[j] + 1e-18);
  }
}

}  // namespace
