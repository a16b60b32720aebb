// Degenerate input, limits, the progress callback and argument checks, for
// each of the three methods.
#include <gtest/gtest.h>

#include <limits>

#include "support/host_helpers.hpp"

namespace {

using blockkrylov::complex;
using blockkrylov::CsrMatrix;
using blockkrylov::Method;
using blockkrylov::Options;
using blockkrylov::Progress;
using blockkrylov::Report;
using blockkrylov::Status;
namespace problems = blockkrylov::problems;
using host_test::relative_residuals;

// A matrix every method can solve: complex-symmetric, so the symmetric
// solver applies too, and well conditioned.
CsrMatrix matrix() { return problems::helmholtz_2d(16, 16, 3.0, 0.5); }

class EachMethod : public ::testing::TestWithParam<Method> {};

TEST_P(EachMethod, ZeroRightHandSideGivesZeroAtOnce) {
  const CsrMatrix a = matrix();
  const int s = 3;
  std::vector<complex> B(static_cast<std::size_t>(a.n) * s, complex(0.0));
  std::vector<complex> X(B.size(), complex(4.0, -1.0));  // a nonzero guess is discarded
  int calls = 0;
  Options opt;
  opt.progress = [&](const Progress&) { return ++calls, true; };
  const Report rep = host_test::solve(GetParam(), a, s, B.data(), X.data(), opt);
  EXPECT_TRUE(rep.converged) << rep.message;
  EXPECT_EQ(rep.status, Status::converged);
  EXPECT_EQ(rep.iterations, 0);
  EXPECT_EQ(rep.products, 0);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(rep.residuals, std::vector<double>(s, 0.0));
  for (const auto& x : X) EXPECT_EQ(x, complex(0.0));
}

// A zero column among nonzero ones: it would stop the Lanczos drivers at once
// and must not lead block GMRES (whose first column is never tested); its
// solution is exactly zero, the others converge.
TEST_P(EachMethod, ZeroColumnAmongOthers) {
  const CsrMatrix a = matrix();
  const int s = 3, n = a.n;
  auto B = host_test::random_block(n, s, 2);
  for (int zero_col : {0, 1}) {
    auto Bz = B;
    std::fill(Bz.begin() + zero_col * n, Bz.begin() + (zero_col + 1) * n, complex(0.0));
    std::vector<complex> X(Bz.size(), complex(0.0));
    Options opt;
    opt.rtol = 1e-9;
    testing::internal::CaptureStdout();
    const Report rep = host_test::solve(GetParam(), a, s, Bz.data(), X.data(), opt);
    const std::string records = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(rep.converged) << rep.message;
    EXPECT_EQ(records, "");  // no driver complained
    for (int i = 0; i < n; ++i) EXPECT_EQ(X[zero_col * n + i], complex(0.0));
    const auto res = relative_residuals(a, s, Bz.data(), X.data());
    for (int j = 0; j < s; ++j) EXPECT_LE(res[j], 1e-9 * (1 + 1e-6));
  }
}

// X0 already the solution: one true residual (s products), nothing else.
TEST_P(EachMethod, StartingGuessAlreadySolves) {
  const CsrMatrix a = matrix();
  const int s = 2;
  const auto B = host_test::random_block(a.n, s, 3);
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-10;
  ASSERT_TRUE(host_test::solve(GetParam(), a, s, B.data(), X.data(), opt).converged);
  const auto X0 = X;
  opt.rtol = 1e-8;
  const Report rep = host_test::solve(GetParam(), a, s, B.data(), X.data(), opt);
  EXPECT_TRUE(rep.converged);
  EXPECT_EQ(rep.iterations, 0);
  EXPECT_EQ(rep.products, s);
  EXPECT_EQ(X, X0);
}

// One column already solved, the other not: only the open one is worked on.
TEST_P(EachMethod, ConvergedColumnIsLeftAlone) {
  const CsrMatrix a = matrix();
  const int n = a.n, s = 2;
  const auto B = host_test::random_block(n, s, 4);
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-10;
  ASSERT_TRUE(host_test::solve(GetParam(), a, 1, B.data(), X.data(), opt).converged);
  const std::vector<complex> x0(X.begin(), X.begin() + n);
  opt.rtol = 1e-9;
  const Report rep = host_test::solve(GetParam(), a, s, B.data(), X.data(), opt);
  EXPECT_TRUE(rep.converged) << rep.message;
  EXPECT_TRUE(std::equal(x0.begin(), x0.end(), X.begin()));
  const long per_step = GetParam() == Method::qmr ? 2 : 1;
  if (GetParam() != Method::gmres) {
    EXPECT_LE(rep.products, per_step * rep.iterations + 2 * s);
  }
}

TEST_P(EachMethod, ProductLimitStopsWithCurrentResiduals) {
  const CsrMatrix a = matrix();
  const int s = 4;
  const auto B = host_test::random_block(a.n, s, 5);
  std::vector<complex> X(B.size());
  Options opt;
  opt.rtol = 1e-12;
  opt.max_products = 50;
  const Report rep = host_test::solve(GetParam(), a, s, B.data(), X.data(), opt);
  EXPECT_EQ(rep.status, Status::max_products) << rep.message;
  EXPECT_FALSE(rep.converged);
  EXPECT_LE(rep.products, 50);
  EXPECT_GT(rep.iterations, 0);
  EXPECT_NE(rep.message.find("product limit"), std::string::npos) << rep.message;
  const auto res = relative_residuals(a, s, B.data(), X.data());
  for (int j = 0; j < s; ++j) {
    EXPECT_NEAR(rep.residuals[j], res[j], 1e-12);
    EXPECT_LT(res[j], 1.0);
  }
}

TEST_P(EachMethod, CallbackSeesProgressAndCanStop) {
  const CsrMatrix a = matrix();
  const int s = 2;
  const auto B = host_test::random_block(a.n, s, 6);
  std::vector<complex> X(B.size());
  std::vector<Progress> seen;
  Options opt;
  opt.rtol = 1e-12;
  opt.progress = [&](const Progress& p) {
    seen.push_back(p);
    return p.iteration < 5;
  };
  const Report rep = host_test::solve(GetParam(), a, s, B.data(), X.data(), opt);
  EXPECT_EQ(rep.status, Status::stopped) << rep.message;
  EXPECT_EQ(rep.iterations, 5);
  ASSERT_EQ(seen.size(), 5u);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].method, GetParam());
    EXPECT_EQ(seen[i].iteration, static_cast<long>(i) + 1);
    EXPECT_EQ(seen[i].estimate, rep.history[i]);
    EXPECT_GE(seen[i].percent, 0.0);
    EXPECT_LE(seen[i].percent, 100.0);
    if (i > 0) {
      EXPECT_GT(seen[i].products, seen[i - 1].products);
    }
  }
  // The estimates fell, so a prediction exists.
  EXPECT_GE(seen.back().predicted, seen.back().iteration);
  EXPECT_GT(seen.back().percent, 0.0);
  // The iterate of the last step is kept and its true residual reported.
  const auto res = relative_residuals(a, s, B.data(), X.data());
  for (int j = 0; j < s; ++j) EXPECT_NEAR(rep.residuals[j], res[j], 1e-12);
}

TEST_P(EachMethod, RejectsUnusableArguments) {
  const CsrMatrix a = matrix();
  const int n = a.n;
  auto B = host_test::random_block(n, 2, 7);
  std::vector<complex> X(B.size(), complex(1.0, 1.0));
  const auto X0 = X;
  const auto A = host_test::op(a);
  const auto At = host_test::op_transpose(a);
  auto run = [&](int nn, int s, const blockkrylov::Operator& op, const complex* b, int ldb,
                 complex* x, int ldx, const Options& opt) {
    switch (GetParam()) {
      case Method::symmetric: return blockkrylov::solve_symmetric(nn, s, op, b, ldb, x, ldx, opt);
      case Method::qmr: return blockkrylov::solve_qmr(nn, s, op, At, b, ldb, x, ldx, opt);
      case Method::gmres: break;
    }
    return blockkrylov::solve_gmres(nn, s, op, b, ldb, x, ldx, opt);
  };
  Options ok, bad_rtol, nan_rtol;
  bad_rtol.rtol = -1.0;
  nan_rtol.rtol = std::numeric_limits<double>::quiet_NaN();
  std::vector<Report> reps = {
      run(0, 2, A, B.data(), n, X.data(), n, ok),
      run(n, 0, A, B.data(), n, X.data(), n, ok),
      run(n, 2, A, B.data(), n - 1, X.data(), n, ok),
      run(n, 2, A, B.data(), n, X.data(), n - 1, ok),
      run(n, 2, A, nullptr, n, X.data(), n, ok),
      run(n, 2, A, B.data(), n, nullptr, n, ok),
      run(n, 2, blockkrylov::Operator(), B.data(), n, X.data(), n, ok),
      run(n, 2, A, B.data(), n, X.data(), n, bad_rtol),
      run(n, 2, A, B.data(), n, X.data(), n, nan_rtol),
      run(1, 2, A, B.data(), n, X.data(), n, ok),  // s > n
  };
  for (std::size_t i = 0; i < reps.size(); ++i) {
    EXPECT_EQ(reps[i].status, Status::invalid) << "case " << i;
    EXPECT_FALSE(reps[i].converged);
    EXPECT_NE(reps[i].message.find("invalid"), std::string::npos) << reps[i].message;
  }
  if (GetParam() == Method::qmr) {
    const Report r = blockkrylov::solve_qmr(n, 2, A, blockkrylov::Operator(), B.data(), n,
                                            X.data(), n, ok);
    EXPECT_EQ(r.status, Status::invalid);
  }
  EXPECT_EQ(X, X0);  // nothing was touched

  // A right-hand side that is not finite is refused before any work.
  B[5] = complex(std::numeric_limits<double>::infinity(), 0.0);
  const Report inf = run(n, 2, A, B.data(), n, X.data(), n, ok);
  EXPECT_EQ(inf.status, Status::invalid);
  EXPECT_EQ(inf.products, 0);
}

INSTANTIATE_TEST_SUITE_P(Methods, EachMethod,
                         ::testing::Values(Method::symmetric, Method::qmr, Method::gmres),
                         [](const auto& info) { return blockkrylov::to_string(info.param); });

TEST(Gmres, BlockAsWideAsTheMatrixIsRefused) {
  // Block GMRES needs a basis vector beyond the block: s = n is refused
  // (the kernels would stop the process), s = n - 1 works.
  const CsrMatrix a = problems::convection_diffusion_2d(3, 1, 1.0, {4.0, 1.0});
  auto B = host_test::random_block(3, 3, 9);
  std::vector<complex> X(B.size());
  EXPECT_EQ(blockkrylov::solve_gmres(3, 3, host_test::op(a), B.data(), 3, X.data(), 3).status,
            Status::invalid);
  Options opt;
  opt.rtol = 1e-12;
  const Report rep = blockkrylov::solve_gmres(3, 2, host_test::op(a), B.data(), 3, X.data(), 3, opt);
  EXPECT_TRUE(rep.converged) << rep.message;
}

TEST(Names, StatusAndMethodStrings) {
  EXPECT_STREQ(blockkrylov::to_string(Status::converged), "converged");
  EXPECT_STREQ(blockkrylov::to_string(Status::max_products), "max_products");
  EXPECT_STREQ(blockkrylov::to_string(Status::breakdown), "breakdown");
  EXPECT_STREQ(blockkrylov::to_string(Status::stagnated), "stagnated");
  EXPECT_STREQ(blockkrylov::to_string(Status::stopped), "stopped");
  EXPECT_STREQ(blockkrylov::to_string(Status::invalid), "invalid");
  EXPECT_STREQ(blockkrylov::to_string(Method::symmetric), "symmetric");
  EXPECT_STREQ(blockkrylov::to_string(Method::qmr), "qmr");
  EXPECT_STREQ(blockkrylov::to_string(Method::gmres), "gmres");
}

}  // namespace
