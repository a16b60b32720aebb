// The two block Lanczos drivers through their entry points: protocol,
// records, the state a failure leaves, per-thread block offsets, and whole
// solves with a small host loop.
#include <omp.h>

#include <climits>
#include <limits>

#include "support/lanczos_host.hpp"

namespace {

using namespace lanczos_test;
using Pair = std::pair<int, int>;  // (jcur, jprev) or (result, REVCOM)
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Calls once; expects exactly these records, result 1 and REVCOM unchanged.
template <class S>
void expect_failure(S& w, const Lines& want) {
  const int revcom = w.revcom;
  int r = 0;
  EXPECT_EQ(records([&] { r = w.call(); }), want);
  EXPECT_EQ(Pair(r, w.revcom), Pair(1, revcom));
}

TEST(LanczosDrivers, UnknownRevcom) {
  SymSolve w(4, 2);
  TwoSolve v(4, 2);
  for (int bad : {3, -1, INT_MIN}) {  // -INT_MIN does not fit: still nonzero
    int r = 0;
    w.revcom = bad;
    EXPECT_EQ(records([&] { r = w.call(); }),
              Lines{rec("ERROR IN ZDSYM_BLANCZOS1:BAD INPUT REVCOM:", bad)});
    EXPECT_EQ(Pair(r, w.revcom), Pair(bad == INT_MIN ? INT_MIN : -bad, bad));
  }
  v.revcom = 4;
  EXPECT_EQ(records([&] { EXPECT_EQ(v.call(), -4); }),
            Lines{rec("ERROR IN ZD_BLANCZOS:BAD INPUT REVCOM:", 4)});
}

// A zero starting column (in Vn, or in Wn only, which leaves Vn normalised),
// W_1^T V_1 = 0, and a NaN entry (its cond is not a number: a breakdown).
TEST(LanczosDrivers, StartCallFailures) {
  SymSolve sym(3, 2);
  sym.Vn = {1.0, 2.0, 2.0, 0.0, 0.0, 0.0};
  Lines want = zero_column(2);
  want.push_back(rec("Error in zdSym_blanczos1: col of Vn with 0 norm:"));
  expect_failure(sym, want);

  TwoSolve two(3, 2);
  two.Vn = {1.0, 2.0, 2.0, 0.0, 0.0, 0.0};
  two.Wn = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0};
  want.back() = rec("Error in zd_blanczos: Vn col found with zero norm:");
  expect_failure(two, want);
  two.Vn = {1.0, 2.0, 2.0, 0.0, 4.0, 3.0};
  two.Wn = {1.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  want.back() = rec("Error in zd_blanczos: Wn col found with zero norm:");
  expect_failure(two, want);
  EXPECT_NEAR(std::abs(two.Vn[5] - 0.6), 0.0, 1e-15);

  TwoSolve orth(2, 1);
  orth.Vn = {1.0, 0.0};
  orth.Wn = {0.0, zc(0.0, 2.0)};
  expect_failure(orth, hard_breakdown("ERROR IN ZD_BLANCZOS:", "SINGULAR [d_n] DISCOVERED:"));

  sym.Vn = random_block(3, 2, 10);
  sym.Vn[3] = kNaN;
  expect_failure(sym, nan_condition(">>WARNING IN ZDSYM_LANCZOS1:NEAR LANCZOS BREAKDOWN:",
                                    ">>CONDITION NO. OF [d_n] = [Vn]^T * [Vn] IS BAD:"));
  EXPECT_EQ(sym.X, Block(6, 0.0));
}

// Regression: when a step finds an exact invariant subspace the new Lanczos
// block has zero columns, whose norms must enter the QMR step as 0 and not as
// the stale values in rho. A = I, B = diag(3, 4): both columns are reported
// and X = B exactly after one step (stale norms gave X = B / 2); the next call
// reports the breakdown and keeps X. The offsets are (0, s) after the start
// and exchanged by the step.
TEST(LanczosDrivers, ExactInvariantSubspaceGivesExactIterate) {
  SymSolve w(2, 2);
  w.Vn = {3.0, 0.0, 0.0, 4.0};
  ASSERT_EQ(w.call(), 0);
  EXPECT_EQ(w.offsets(), Pair(0, 2));
  w.serve(identity(2), nullptr);
  int r = -1;
  Lines both = zero_column(1);
  both.insert(both.end(), {zero_column(2)[0], zero_column(2)[1]});
  EXPECT_EQ(records([&] { r = w.call(); }), both);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(w.offsets(), Pair(2, 0));
  EXPECT_EQ(w.X, (Block{3.0, 0.0, 0.0, 4.0}));
  expect_failure(w, hard_breakdown("ERROR IN ZDSYM_BLANCZOS1:", "SINGULAR [d_n] DISCOVERED:"));
  EXPECT_EQ(w.X, (Block{3.0, 0.0, 0.0, 4.0}));
}

// Regression: a cond that is not a number is a near breakdown. A NaN in the
// host's product ends the call before the QMR update, so X keeps its last
// finite value.
TEST(LanczosDrivers, NaNProductIsABreakdown) {
  const Op A = stencil(4, zc(0.5, 0.5));
  auto nan_product = [&](auto& w, const std::string& warning, const std::string& bad) {
    w.start(A, random_block(16, 2, 11));
    ASSERT_EQ(w.step(A, A) + w.call(), 0);
    w.serve(A, A);
    w.Zn[5] = zc(0.0, kNaN);
    const Block x = w.X;
    expect_failure(w, nan_condition(warning, bad));
    EXPECT_EQ(w.X, x);
  };
  SymSolve sym(16, 2);
  TwoSolve two(16, 2);
  nan_product(sym, ">>WARNING IN ZDSYM_LANCZOS1:NEAR LANCZOS BREAKDOWN:",
              ">>CONDITION NO. [e_n] = [Pn]^T * [A] * [Pn]  BAD:");
  nan_product(two, ">>WARNING IN ZD_LANCZOS:NEAR BREAKDOWN IN LANCZOS:",
              ">>CONDITION NO. OF [e_n] = [Qn]^T * [A]*[Pn]  BAD:");
}

// Complex-symmetric A with Wn = Vn: the two-sided iterates follow the
// symmetric driver's step for step, gamma stays 1, and only the call with 2
// exchanges the offsets. Both start from a nonzero X_0 and converge; their
// calls interleave on one thread, so each needs its own offsets.
TEST(LanczosDrivers, TwoSidedWithWnEqualVnFollowsSymmetricDriver) {
  const int n = 36, s = 2;
  const Op A = stencil(6, zc(0.1, 0.6));
  const Block B = random_block(n, s, 13);
  SymSolve sym(n, s);
  TwoSolve two(n, s);
  sym.X = two.X = random_block(n, s, 14);
  sym.start(A, B);
  two.start(A, B);
  for (int k = 0; k < 40 && max_rel_residual(A, n, s, B, sym.X) > 1e-10; ++k) {
    ASSERT_EQ(sym.step(A, A), 0);
    for (int c = 1; c <= 3; ++c) {
      ASSERT_EQ(two.call(), 0);
      ASSERT_EQ(two.revcom, c);
      EXPECT_EQ(two.offsets().first, (k + (c == 3)) % 2 == 0 ? 0 : s);
      two.serve(A, A);
    }
    for (int i = 0; i < n * s; ++i) EXPECT_NEAR(std::abs(sym.X[i] - two.X[i]), 0.0, 1e-11);
    for (double g : two.gamma) EXPECT_NEAR(g, 1.0, 1e-10);
  }
  EXPECT_LE(max_rel_residual(A, n, s, B, sym.X), 1e-10);
}

// The two-sided driver on a non-symmetric A, where a transposition slip
// would show: each new left block is biorthogonal to the previous right block
// (W_{n+1}^T V_n = 0), and every column's true relative residual gets below
// 1e-8.
TEST(LanczosDrivers, TwoSidedSolvesNonSymmetric) {
  const int n = 256;
  const Op A = stencil(16, zc(0.5, 0.3), 0.6), At = stencil(16, zc(0.5, 0.3), -0.6);
  for (int s : {1, 3}) {
    TwoSolve w(n, s);
    const Block B = random_block(n, s, 70 + s);
    w.start(A, B);
    for (int k = 0; k < 200 && max_rel_residual(A, n, s, B, w.X) > 1e-8; ++k) {
      const Block v = w.Vn;
      ASSERT_EQ(w.step(A, At), 0) << "step " << k + 1;
      for (int c = 0; k < 10 && c < s * s; ++c) {
        zc d = 0.0;
        for (int i = 0; i < n; ++i) d += w.Wn[c / s * n + i] * v[c % s * n + i];
        EXPECT_LT(std::abs(d), 1e-10) << "step " << k + 1;
      }
    }
    EXPECT_LE(max_rel_residual(A, n, s, B, w.X), 1e-8) << "s = " << s;
  }
}

// Two symmetric solves on OpenMP threads 0 and 1, interleaved call by call,
// give exactly what each gives alone.
TEST(LanczosDrivers, PerThreadOffsetsKeepSolvesApart) {
  const int n = 16, steps = 5;
  const Op A = stencil(4, zc(0.3, 0.4));
  std::vector<SymSolve> alone, duo;
  for (int t = 0; t < 2; ++t) {
    alone.emplace_back(n, 2 + t);
    alone[t].start(A, random_block(n, 2 + t, 20 + t));
    duo.push_back(alone[t]);
    for (int k = 0; k < steps; ++k) ASSERT_EQ(alone[t].step(A, A), 0);
  }
  int failures = 0, offsets[2] = {-1, -1};
#pragma omp parallel num_threads(2) reduction(+ : failures)
  {
    const int t = omp_get_thread_num();
    for (int c = 0; c < 4 * steps; ++c) {
      if (c % 2 == t) failures += duo[t].call(), duo[t].serve(A, A);
#pragma omp barrier
    }
    offsets[t] = SymSolve::offsets().first;  // after an odd number of exchanges
  }
  EXPECT_EQ(failures, 0);
  for (int t = 0; t < 2; ++t) {
    EXPECT_EQ(duo[t].X, alone[t].X);
    EXPECT_EQ(offsets[t], 2 + t);
  }
}

}  // namespace
