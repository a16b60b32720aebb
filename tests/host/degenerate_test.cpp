// Degenerate input, starting guesses, limits, the progress callback and
// argument checks, for each of the three methods.
#include <limits>

#include "support/host_helpers.hpp"

namespace {

using namespace host_test;

// Complex-symmetric (so every method applies) and well conditioned.
CsrMatrix matrix() { return examples::helmholtz_2d(16, 16, 3.0, 0.5); }

class EachMethod : public ::testing::TestWithParam<Method> {};

// Zero right-hand sides get x = 0 exactly and cost nothing. A zero column
// among others, first or not, must not reach the drivers (it would stop the
// Lanczos ones at once, and block GMRES never tests its first column).
TEST_P(EachMethod, ZeroColumns) {
  const CsrMatrix a = matrix();
  const int n = a.n, s = 3;
  for (int zero : {-1, 0, 1}) {  // -1: every column
    Block B = zero < 0 ? Block(n * s) : random_block(n, s, 2);
    if (zero >= 0) std::fill(B.begin() + zero * n, B.begin() + (zero + 1) * n, complex(0.0));
    Block X(B.size(), complex(4.0, -1.0));  // the guess of a zero column is discarded
    int calls = 0;
    Options opt = with_rtol(1e-9);
    opt.progress = [&](const Progress&) { return ++calls, true; };
    testing::internal::CaptureStdout();
    const Report rep = solve(GetParam(), a, s, B.data(), X.data(), opt);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no driver complained
    expect_residuals(a, s, B.data(), X.data(), rep, opt.rtol);
    for (int j = 0; j < s; ++j)
      if (zero < 0 || j == zero) { EXPECT_EQ(Block(&X[j * n], &X[j * n] + n), Block(n)); }
    EXPECT_TRUE(zero >= 0 || (rep.iterations == 0 && rep.products == 0 && calls == 0));
  }
}

// A guess that already solves costs one true residual and changes nothing; a
// guess near the solution, in arrays with ld > n whose extra rows hold garbage
// (B) and markers (X), leaves those rows alone; a solved column is left as it
// is while the other one is worked on alone.
TEST_P(EachMethod, StartingGuessAndLeadingDimensions) {
  const CsrMatrix a = matrix();
  const int n = a.n, s = 2, ld = n + 7;
  const auto B = random_block(n, s, 3);
  Block X(B.size());
  const Report cold = solve(GetParam(), a, s, B.data(), X.data(), with_rtol(1e-10));
  ASSERT_TRUE(cold.converged) << cold.message;
  const Block X0 = X;
  Report rep = solve(GetParam(), a, s, B.data(), X.data(), with_rtol(1e-8));
  EXPECT_TRUE(rep.converged && rep.iterations == 0 && rep.products == s) << rep.message;
  EXPECT_EQ(X, X0);

  Block Bl(static_cast<std::size_t>(ld) * s, complex(1e300, 0)), Xl(Bl.size(), complex(-7.0, 0));
  for (int p = 0; p < n * s; ++p) Bl[p / n * ld + p % n] = B[p], Xl[p / n * ld + p % n] = 1.00001 * X0[p];
  rep = run(GetParam(), n, s, op(a), op(a, true), Bl.data(), ld, Xl.data(), ld, with_rtol(1e-10));
  for (int p = 0; p < n * s; ++p) X[p] = Xl[p / n * ld + p % n];
  EXPECT_EQ(std::count(Xl.begin(), Xl.end(), complex(-7.0, 0)), (ld - n) * s);
  expect_residuals(a, s, B.data(), X.data(), rep, 1e-10);

  X = X0;
  std::fill(X.begin() + n, X.end(), complex(0.0));
  rep = solve(GetParam(), a, s, B.data(), X.data(), with_rtol(1e-9));
  EXPECT_TRUE(rep.converged) << rep.message;
  EXPECT_TRUE(std::equal(X0.begin(), X0.begin() + n, X.begin()));
  const long per_step = GetParam() == Method::qmr ? 2 : 1;  // one active column
  if (GetParam() != Method::gmres) { EXPECT_LE(rep.products, per_step * rep.iterations + 2 * s); }
}

// Stopping early, on the product limit or at the callback's request (which
// sees every iteration), keeps the last iterate and reports its true residuals.
TEST_P(EachMethod, StopsEarlyWithCurrentResiduals) {
  const CsrMatrix a = matrix();
  const int s = 4;
  const auto B = random_block(a.n, s, 5);
  for (bool limit : {true, false}) {
    Block X(B.size());
    std::vector<Progress> seen;
    Options opt = with_rtol(1e-12);
    opt.max_products = limit ? 50 : 0;
    opt.progress = [&](const Progress& p) { return seen.push_back(p), limit || p.iteration < 5; };
    const Report rep = solve(GetParam(), a, s, B.data(), X.data(), opt);
    EXPECT_EQ(rep.status, limit ? Status::max_products : Status::stopped) << rep.message;
    EXPECT_LT(max_of(expect_residuals(a, s, B.data(), X.data(), rep)), 1.0);
    ASSERT_EQ(static_cast<long>(seen.size()), rep.iterations);
    for (std::size_t i = 0; i < seen.size(); ++i) {
      EXPECT_TRUE(seen[i].method == GetParam() && seen[i].iteration == static_cast<long>(i) + 1);
      EXPECT_EQ(seen[i].estimate, rep.history[i]);
      EXPECT_TRUE(seen[i].percent >= 0.0 && seen[i].percent <= 100.0) << seen[i].percent;
      // GMRES takes a block step's products together, at its first column.
      if (i > 0) { EXPECT_GE(seen[i].products, seen[i - 1].products); }
    }
    EXPECT_GT(seen.back().products, seen.front().products);
    if (limit) {
      EXPECT_TRUE(rep.products <= 50 && rep.iterations > 0) << rep.message;
      EXPECT_NE(rep.message.find("product limit"), std::string::npos) << rep.message;
    } else {  // the estimates fell, so a prediction exists
      ASSERT_EQ(rep.iterations, 5);
      EXPECT_TRUE(seen.back().predicted >= 5 && seen.back().percent > 0.0) << seen.back().predicted;
    }
  }
}

// Unusable arguments, and a right-hand side that is not finite, are refused
// before any work and without touching X.
TEST_P(EachMethod, RejectsUnusableArguments) {
  const CsrMatrix a = matrix();
  const int n = a.n;
  auto B = random_block(n, 2, 7);
  Block X(B.size(), complex(1.0, 1.0));
  const auto X0 = X;
  const Operator A = op(a), At = op(a, true), none;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Options ok, bad_rtol = with_rtol(-1.0), nan_rtol = with_rtol(nan);
  Options bad_breakdowns, nan_deflation;
  bad_breakdowns.max_breakdowns = -1;
  nan_deflation.deflation_tol = nan;
  const Method m = GetParam();
  std::vector<Report> reps = {
      run(m, 0, 2, A, At, B.data(), n, X.data(), n, ok),
      run(m, n, 0, A, At, B.data(), n, X.data(), n, ok),
      run(m, n, 2, A, At, B.data(), n - 1, X.data(), n, ok),
      run(m, n, 2, A, At, B.data(), n, X.data(), n - 1, ok),
      run(m, n, 2, A, At, nullptr, n, X.data(), n, ok),
      run(m, n, 2, A, At, B.data(), n, nullptr, n, ok),
      run(m, n, 2, none, At, B.data(), n, X.data(), n, ok),
      run(m, n, 2, A, At, B.data(), n, X.data(), n, bad_rtol),
      run(m, n, 2, A, At, B.data(), n, X.data(), n, nan_rtol),
      run(m, 1, 2, A, At, B.data(), n, X.data(), n, ok),  // s > n
      run(m, n, 2, A, At, B.data(), n, X.data(), n, bad_breakdowns),
  };
  if (m == Method::qmr) reps.push_back(run(m, n, 2, A, none, B.data(), n, X.data(), n, ok));
  // Block GMRES needs a basis vector beyond the block: s = n is refused.
  if (m == Method::gmres) {
    reps.push_back(run(m, 2, 2, A, At, B.data(), n, X.data(), n, ok));
    reps.push_back(run(m, n, 2, A, At, B.data(), n, X.data(), n, nan_deflation));
  }
  B[5] = complex(std::numeric_limits<double>::infinity(), 0.0);
  reps.push_back(run(m, n, 2, A, At, B.data(), n, X.data(), n, ok));
  for (std::size_t i = 0; i < reps.size(); ++i) {
    const Report& r = reps[i];
    EXPECT_TRUE(r.status == Status::invalid && !r.converged && r.products == 0) << "case " << i;
    EXPECT_NE(r.message.find(": invalid arguments: "), std::string::npos) << r.message;
  }
  EXPECT_EQ(X, X0);
}

INSTANTIATE_TEST_SUITE_P(Methods, EachMethod,
                         ::testing::Values(Method::symmetric, Method::qmr, Method::gmres),
                         [](const auto& info) { return to_string(info.param); });

// The names the command-line tool writes into its reports.
TEST(Names, StatusAndMethodStrings) {
  const char* names[] = {"converged", "max_products", "breakdown", "stagnated", "stopped",
                         "invalid",   "symmetric",    "qmr",       "gmres"};
  for (int i = 0; i < 9; ++i)
    EXPECT_STREQ(i < 6 ? to_string(Status(i)) : to_string(Method(i - 6)), names[i]);
}

}  // namespace
