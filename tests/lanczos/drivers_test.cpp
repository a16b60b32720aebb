// The two block Lanczos drivers through their entry points: protocol,
// records, the state a failure leaves, and per-thread block offsets.
#include <omp.h>

#include <climits>
#include <limits>

#include "support/lanczos_host.hpp"

namespace {

using namespace lanczos_test;
using Pair = std::pair<int, int>;  // (jcur, jprev) or (result, REVCOM)
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const Lines kSingularSym =
    hard_breakdown("ERROR IN ZDSYM_BLANCZOS1:", "SINGULAR [d_n] DISCOVERED:");

TEST(LanczosDrivers, UnknownRevcom) {
  SymSolve w(4, 2);
  TwoSolve v(4, 2);
  for (int bad : {3, -1, INT_MIN}) {  // -INT_MIN does not fit: still nonzero
    int r = 0;
    w.revcom = bad;
    EXPECT_EQ(records([&] { r = w.call(); }),
              Lines{rec("ERROR IN ZDSYM_BLANCZOS1:BAD INPUT REVCOM:", bad)});
    EXPECT_EQ(r, bad == INT_MIN ? INT_MIN : -bad);
    EXPECT_EQ(w.revcom, bad);
  }
  v.revcom = 4;
  EXPECT_EQ(records([&] { EXPECT_EQ(v.call(), -4); }),
            Lines{rec("ERROR IN ZD_BLANCZOS:BAD INPUT REVCOM:", 4)});
}

TEST(LanczosDrivers, StartCallFailures) {
  int r = 0;
  SymSolve zero(5, 3);  // zero second column
  zero.Vn = random_block(5, 3, 2);
  std::fill_n(zero.Vn.begin() + 5, 5, 0.0);
  Lines want = zero_column(2);
  want.push_back(rec("Error in zdSym_blanczos1: col of Vn with 0 norm:"));
  EXPECT_EQ(records([&] { r = zero.call(); }), want);
  EXPECT_EQ(Pair(r, zero.revcom), Pair(1, 0));

  SymSolve equal(6, 2);  // d_1 singular to rounding: either record set
  const Block c = random_block(6, 1, 3);
  std::copy(c.begin(), c.end(), equal.Vn.begin());
  std::copy(c.begin(), c.end(), equal.Vn.begin() + 6);
  const Lines out = records([&] { r = equal.call(); });
  EXPECT_EQ(Pair(r, equal.revcom), Pair(1, 0));
  if (out.size() == 2) {
    EXPECT_EQ(out[0], rec(">>WARNING IN ZDSYM_LANCZOS1:NEAR LANCZOS BREAKDOWN:"));
    EXPECT_EQ(out[1].rfind(rec(">>CONDITION NO. OF [d_n] = [Vn]^T * [Vn] IS BAD:"), 0), 0u);
  } else {
    EXPECT_EQ(out, kSingularSym);
  }

  TwoSolve orth(2, 1);  // W_1^T V_1 = 0
  orth.Vn = {1.0, 0.0};
  orth.Wn = {0.0, zc(0.0, 2.0)};
  EXPECT_EQ(records([&] { r = orth.call(); }),
            hard_breakdown("ERROR IN ZD_BLANCZOS:", "SINGULAR [d_n] DISCOVERED:"));
  EXPECT_EQ(Pair(r, orth.revcom), Pair(1, 0));

  TwoSolve wzero(4, 2);  // zero column in Wn only: Vn is normalised
  wzero.Vn = random_block(4, 2, 4);
  wzero.Wn = random_block(4, 2, 5);
  std::fill_n(wzero.Wn.begin() + 4, 4, 0.0);
  want = zero_column(2);
  want.push_back(rec("Error in zd_blanczos: Wn col found with zero norm:"));
  EXPECT_EQ(records([&] { r = wzero.call(); }), want);
  EXPECT_EQ(r, 1);
  EXPECT_NEAR(norm2(&wzero.Vn[0], 4) + norm2(&wzero.Vn[4], 4), 2.0, 1e-15);
}

// A = I, X0 = 0: alpha_1 = I to rounding and X = B after the first step; the
// offsets are (0, s) after the start and exchanged by every step.
TEST(LanczosDrivers, IdentityGivesBAfterOneStepAndOffsetsAlternate) {
  const int n = 8, s = 3;
  SymSolve w(n, s);
  const Block B = random_block(n, s, 6);
  w.Vn = B;
  ASSERT_EQ(w.call(), 0);
  EXPECT_EQ(w.offsets(), Pair(0, s));
  w.serve(identity(n), nullptr);
  ASSERT_EQ(w.call(), 0);
  EXPECT_EQ(w.offsets(), Pair(s, 0));
  for (int k = 0; k < n * s; ++k) EXPECT_NEAR(std::abs(w.X[k] - B[k]), 0.0, 1e-14);
  ASSERT_EQ(w.step(identity(n), nullptr), 0);
  EXPECT_EQ(w.offsets(), Pair(0, s));
}

// Regression: when a step finds an exact invariant subspace the new Lanczos
// block has a zero column, whose norm must enter the QMR step as 0 and not as
// the stale value in rho. A = I, B = 3: X = 3 exactly (a stale norm gave
// 1.5); the next call reports the breakdown and keeps X.
TEST(LanczosDrivers, ExactInvariantSubspaceGivesExactIterate) {
  SymSolve w(1, 1);
  w.Vn = {3.0};
  ASSERT_EQ(w.call(), 0);
  w.serve(identity(1), nullptr);
  int r = -1;
  EXPECT_EQ(records([&] { r = w.call(); }), zero_column(1));
  EXPECT_EQ(r, 0);
  EXPECT_EQ(w.X[0], zc(3.0, 0.0));
  EXPECT_EQ(records([&] { r = w.call(); }), kSingularSym);
  EXPECT_EQ(Pair(r, w.revcom), Pair(1, 2));
  EXPECT_EQ(w.X[0], zc(3.0, 0.0));

  TwoSolve v(2, 2);  // both new columns zero: each reported, each norm 0
  v.Vn = v.Wn = {3.0, 0.0, 0.0, 4.0};
  ASSERT_EQ(v.call(), 0);
  v.serve(identity(2), identity(2));
  Lines both = zero_column(1);
  both.insert(both.end(), {zero_column(2)[0], zero_column(2)[1]});
  EXPECT_EQ(records([&] { r = v.call(); }), both);
  v.serve(identity(2), identity(2));
  EXPECT_EQ(records([&] { r += v.call(); }), both);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(v.X, (Block{3.0, 0.0, 0.0, 4.0}));
}

TEST(LanczosDrivers, NonzeroStartConvergesToSameSolution) {
  const int n = 36, s = 2;
  const Op A = laplacian_2d(6, zc(0.2, 0.3));
  const Block B = random_block(n, s, 7);
  SymSolve from_zero(n, s), from_guess(n, s);
  from_guess.X = random_block(n, s, 8);
  for (SymSolve* w : {&from_zero, &from_guess}) {
    w->start(A, B);
    for (int k = 0; k < 60 && max_rel_residual(A, n, s, B, w->X) > 1e-11; ++k)
      ASSERT_EQ(w->step(A, A), 0);
  }
  for (int k = 0; k < n * s; ++k)
    EXPECT_NEAR(std::abs(from_zero.X[k] - from_guess.X[k]), 0.0, 1e-9);
}

// A cond that is not a number is a near breakdown: a NaN in the starting
// block or in the host's product ends the call before the QMR update, so X
// keeps its last finite value.
TEST(LanczosDrivers, NaNConditionIsABreakdown) {
  const int n = 16, s = 2;
  const Op A = laplacian_2d(4, zc(0.5, 0.5));
  SymSolve start(n, s), sym(n, s);
  TwoSolve two(n, s);
  start.Vn = random_block(n, s, 10);
  start.Vn[3] = kNaN;
  int r = 0;
  EXPECT_EQ(unsigned_nan(records([&] { r = start.call(); })),
            nan_condition(">>WARNING IN ZDSYM_LANCZOS1:NEAR LANCZOS BREAKDOWN:",
                          ">>CONDITION NO. OF [d_n] = [Vn]^T * [Vn] IS BAD:"));
  EXPECT_EQ(r, 1);
  EXPECT_EQ(start.X, Block(n * s, 0.0));

  sym.start(A, random_block(n, s, 11));
  two.start(A, random_block(n, s, 12));
  ASSERT_EQ(sym.step(A, A) + sym.call() + two.step(A, A) + two.call(), 0);
  sym.serve(A, A);
  two.serve(A, A);
  sym.Zn[5] = zc(0.0, kNaN);
  two.Zn[2] = kNaN;
  const Block sym_x = sym.X, two_x = two.X;
  int r2 = 0;
  EXPECT_EQ(unsigned_nan(records([&] { r = sym.call(); })),
            nan_condition(">>WARNING IN ZDSYM_LANCZOS1:NEAR LANCZOS BREAKDOWN:",
                          ">>CONDITION NO. [e_n] = [Pn]^T * [A] * [Pn]  BAD:"));
  EXPECT_EQ(unsigned_nan(records([&] { r2 = two.call(); })),
            nan_condition(">>WARNING IN ZD_LANCZOS:NEAR BREAKDOWN IN LANCZOS:",
                          ">>CONDITION NO. OF [e_n] = [Qn]^T * [A]*[Pn]  BAD:"));
  EXPECT_EQ(Pair(r, sym.revcom), Pair(1, 1));
  EXPECT_EQ(Pair(r2, two.revcom), Pair(1, 1));
  EXPECT_EQ(sym.X, sym_x);
  EXPECT_EQ(two.X, two_x);
}

// Complex-symmetric A with Wn = Vn: the two-sided iterates follow the
// symmetric driver's step for step, gamma stays 1, and only the call with 2
// exchanges the offsets.
TEST(LanczosDrivers, TwoSidedWithWnEqualVnFollowsSymmetricDriver) {
  const int n = 25, s = 2;
  const Op A = laplacian_2d(5, zc(0.1, 0.6));
  const Block B = random_block(n, s, 13);
  SymSolve sym(n, s);
  TwoSolve two(n, s);
  sym.start(A, B);
  two.start(A, B);
  for (int k = 0; k < 10; ++k) {
    ASSERT_EQ(sym.step(A, A), 0);
    for (int c = 1; c <= 3; ++c) {
      ASSERT_EQ(two.call(), 0);
      ASSERT_EQ(two.revcom, c);
      EXPECT_EQ(two.offsets().first, (k + (c == 3)) % 2 == 0 ? 0 : s);
      two.serve(A, A);
    }
    for (int i = 0; i < n * s; ++i) EXPECT_NEAR(std::abs(sym.X[i] - two.X[i]), 0.0, 1e-12);
    for (double g : two.gamma) EXPECT_NEAR(g, 1.0, 1e-10);
  }
}

// Two symmetric solves on OpenMP threads 0 and 1 interleaved call by call,
// and on one thread a symmetric and a two-sided solve interleaved, give
// exactly what each gives alone.
TEST(LanczosDrivers, PerThreadOffsetsKeepSolvesApart) {
  const int n = 16, steps = 5;
  const Op A = laplacian_2d(4, zc(0.3, 0.4));
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

  SymSolve sym(n, 2), sym_alone(n, 2);
  TwoSolve two(n, 3), two_alone(n, 3);
  sym.start(A, random_block(n, 2, 22));
  two.start(A, random_block(n, 3, 23));
  sym_alone = sym;
  two_alone = two;
  for (int k = 0; k < steps; ++k) failures += two_alone.step(A, A);
  for (int k = 0; k < steps; ++k) failures += sym_alone.step(A, A);
  for (int k = 0; k < steps; ++k)
    for (int c = 0; c < 3; ++c) {  // sym, two, sym, two, two
      if (c < 2) failures += sym.call(), sym.serve(A, A);
      failures += two.call(), two.serve(A, A);
    }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(sym.X, sym_alone.X);
  EXPECT_EQ(two.X, two_alone.X);
}

}  // namespace
