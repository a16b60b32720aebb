// Whole solves through the host layer: every method end to end, then what is
// particular to block GMRES (restarts, deflation) and to the two Lanczos
// solvers (agreement, left block, breakdowns, drift).
#include <dlfcn.h>
#include <omp.h>

#include <limits>

#include "support/host_helpers.hpp"

namespace {

using namespace host_test;

// Complex-symmetric indefinite Helmholtz: k^2 = 400 lies well inside the
// spectrum of the discrete Laplacian.
CsrMatrix helmholtz() { return examples::helmholtz_2d(40, 40, 20.0, 0.05); }

// ||x - y|| / ||x|| over len entries.
double difference(const complex* x, const complex* y, std::size_t len) {
  double d = 0.0, m = 0.0;
  for (std::size_t i = 0; i < len; ++i) d += std::norm(x[i] - y[i]), m += std::norm(x[i]);
  return std::sqrt(d / m);
}

class EndToEnd : public ::testing::TestWithParam<std::tuple<Method, int>> {};

// Each method on a problem that suits it, over block sizes: converged on the
// true residual; products as each method spends them: per iteration one (a
// GMRES column), s (symmetric) or 2 s (two-sided), plus a true residual of the
// block per GMRES cycle, or a few for the Lanczos solvers (not one per step).
// The QMR quasi-residual of a single column (the estimate) never grows.
TEST_P(EndToEnd, ConvergesAndCountsProducts) {
  const auto [m, s] = GetParam();
  const int g = m == Method::gmres ? 30 : 40;
  const CsrMatrix a = m == Method::symmetric
                          ? helmholtz()
                          : examples::convection_diffusion_2d(g, g, 20.0, {10.0, 30.0});
  const double rtol = m == Method::gmres ? 1e-10 : 1e-8;
  const auto B = random_block(a.n, s, 20 * static_cast<int>(m) + 1 + s);
  Block X(B.size());
  const Report rep = solve(m, a, s, B.data(), X.data(), with_rtol(rtol));
  expect_residuals(a, s, B.data(), X.data(), rep, rtol);
  EXPECT_TRUE(rep.method == m && rep.breakdowns == 0) << rep.message;
  EXPECT_EQ(static_cast<long>(rep.history.size()), rep.iterations);
  const long per_iteration = m == Method::gmres ? 1 : m == Method::qmr ? 2 * s : s;
  const long extra = rep.products - per_iteration * rep.iterations;
  EXPECT_GE(extra, s);
  EXPECT_LE(extra, s * (rep.restarts + (m == Method::gmres ? 1 : 4))) << rep.message;
  for (std::size_t i = 1; s == 1 && m != Method::gmres && i < rep.history.size(); ++i)
    EXPECT_LE(rep.history[i], rep.history[i - 1] * (1 + 1e-12)) << "step " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EndToEnd,
    ::testing::Combine(::testing::Values(Method::symmetric, Method::qmr, Method::gmres),
                       ::testing::Values(1, 2, 4, 8)),
    [](const auto& info) {
      return to_string(std::get<0>(info.param)) + ("_s" + std::to_string(std::get<1>(info.param)));
    });

// Short cycles restart from the true residual and still get there; a restart
// length below 2 s is raised, one far beyond n is capped at n (the basis would
// not fit otherwise, and reflectors end at index n), also where 2 s > n.
TEST(Gmres, RestartLengths) {
  struct { int nx, ny, s, restart, min_restarts; } cases[] = {
      {20, 20, 2, 8, 3}, {12, 12, 4, 1, 0}, {12, 12, 4, std::numeric_limits<int>::max(), 0},
      {3, 1, 2, 60, 0}};
  for (const auto& c : cases) {
    const CsrMatrix a = examples::convection_diffusion_2d(c.nx, c.ny, 5.0, {10.0, 20.0});
    const auto B = random_block(a.n, c.s, 9);
    Block X(B.size());
    Options opt = with_rtol(1e-10);
    opt.restart = c.restart;
    const Report rep = solve(Method::gmres, a, c.s, B.data(), X.data(), opt);
    EXPECT_GE(rep.restarts, c.min_restarts) << rep.message;
    expect_residuals(a, c.s, B.data(), X.data(), rep, opt.rtol);
  }
}

// One cycle of block GMRES; its least-squares residual estimate (the last
// history entry) must equal the true residual formed after the cycle.
Report one_cycle(const CsrMatrix& a, int s, const Block& B, Block& X) {
  Options opt = with_rtol(1e-10);
  opt.restart = 600;
  const Report rep = solve(Method::gmres, a, s, B.data(), X.data(), opt);
  expect_residuals(a, s, B.data(), X.data(), rep, opt.rtol);
  EXPECT_EQ(rep.restarts, 0);
  EXPECT_NEAR(rep.history.back(), max_of(rep.residuals), 1e-3 * max_of(rep.residuals));
  return rep;
}

// Deflation: a duplicate column and a dependent one. Their iterates are the
// recorded combinations of the kept ones, and they cost nothing: the solve
// takes as many columns as the block of the three independent columns alone.
TEST(Gmres, DependentColumnsAreDeflatedAndCombined) {
  const CsrMatrix a = examples::convection_diffusion_2d(25, 25, 10.0, {-30.0, 40.0});
  const int n = a.n;
  auto B = random_block(n, 5, 17);
  const complex c1(2.0, 0.0), c2(0.0, -1.0);
  for (int i = 0; i < n; ++i) B[2 * n + i] = B[i], B[4 * n + i] = c1 * B[i] + c2 * B[n + i];
  Block X(B.size()), combination(n);
  const Report rep = one_cycle(a, 5, B, X);
  for (int i = 0; i < n; ++i) combination[i] = c1 * X[i] + c2 * X[n + i];
  EXPECT_LT(difference(X.data(), X.data() + 2 * n, n), 1e-8);
  EXPECT_LT(difference(combination.data(), X.data() + 4 * n, n), 1e-8);
  Block B3(B.begin(), B.begin() + 3 * n), X3(B3.size());
  std::copy(B.begin() + 3 * n, B.begin() + 4 * n, B3.begin() + 2 * n);
  EXPECT_LE(rep.iterations, one_cycle(a, 3, B3, X3).iterations + 3);

  // With the default capacity, sized by the kept columns, the cycles are
  // those of the independent block, in every cycle (the dependent columns
  // stay deflated after the first): as many restarts and products, but for
  // the dependent columns' true residuals at each restart.
  const CsrMatrix hard = examples::helmholtz_2d(40, 40, 25.0, 0.5);
  Block Bh = random_block(hard.n, 5, 21), Xh(Bh.size());
  for (int i = 0; i < hard.n; ++i) Bh[2 * hard.n + i] = Bh[i], Bh[4 * hard.n + i] = c1 * Bh[i] + c2 * Bh[hard.n + i];
  Block Bh3(Bh.begin(), Bh.begin() + 3 * hard.n), Xh3(Bh3.size());
  std::copy(Bh.begin() + 3 * hard.n, Bh.begin() + 4 * hard.n, Bh3.begin() + 2 * hard.n);
  const Report r5 = solve(Method::gmres, hard, 5, Bh.data(), Xh.data(), with_rtol(1e-9));
  const Report r3 = solve(Method::gmres, hard, 3, Bh3.data(), Xh3.data(), with_rtol(1e-9));
  expect_residuals(hard, 5, Bh.data(), Xh.data(), r5, 1e-9);
  EXPECT_GT(r3.restarts, 0);
  EXPECT_EQ(r5.restarts, r3.restarts);
  EXPECT_LE(r5.products, r3.products + 2 * (r5.restarts + 1));
}

// Right-hand sides of wildly different sizes, the smallest one first: each
// column is deflated only when it depends on the others relative to its own
// size, so every column converges relative to its own b_j, in one cycle.
TEST(Gmres, ColumnsOfVeryDifferentScales) {
  const CsrMatrix a = examples::convection_diffusion_2d(25, 25, 10.0, {-30.0, 40.0});
  auto B = random_block(a.n, 4, 29);
  const double scales[] = {1e-30, 1.0, 1e-8, 1e9};
  for (std::size_t i = 0; i < B.size(); ++i) B[i] *= scales[i / a.n];
  Block X(B.size());
  one_cycle(a, 4, B, X);
}

// On a complex-symmetric matrix: a block solve gives each column what its own
// s = 1 solve gives, for no more products (the block shares its Krylov
// space); the two-sided method with the default left block (W_1 = V_1)
// builds the same iterates as the symmetric one.
TEST(Lanczos, BlockAgreesWithSingleColumnsAndTwoSidedWithSymmetric) {
  const CsrMatrix a = helmholtz();
  const int n = a.n;
  const auto B = random_block(n, 3, 5);
  Block X(B.size()), Xq(B.size()), x(n);
  const Report sym = solve(Method::symmetric, a, 3, B.data(), X.data(), with_rtol(1e-10));
  const Report qmr = solve(Method::qmr, a, 3, B.data(), Xq.data(), with_rtol(1e-10));
  ASSERT_TRUE(sym.converged && qmr.converged) << sym.message << "\n" << qmr.message;
  long single = 0;
  for (int j = 0; j < 3; ++j) {
    single += solve(Method::symmetric, a, 1, B.data() + j * n, x.data(), with_rtol(1e-10)).products;
    EXPECT_LT(difference(x.data(), X.data() + j * n, n), 1e-6) << "column " << j;
  }
  EXPECT_LE(sym.products, single * 11 / 10);
  // Equal in exact arithmetic; rounding drifts apart over some 230 steps.
  EXPECT_NEAR(static_cast<double>(qmr.iterations), static_cast<double>(sym.iterations), 0.03 * sym.iterations);
  for (std::size_t i = 0; i < 20; ++i)
    EXPECT_NEAR(qmr.history[i], sym.history[i], 1e-8 * sym.history[i]) << "step " << i;
  EXPECT_LT(difference(X.data(), Xq.data(), X.size()), 1e-6);
}

// An explicit left block works (a random one). One orthogonal to the residual
// in the bilinear form makes d_1 = W_1^T V_1 singular: the start fails, a
// restart would fail the same way, so the solve ends at once, X untouched.
TEST(Qmr, LeftStartingBlock) {
  const CsrMatrix a = examples::convection_diffusion_2d(25, 25, 10.0, {20.0, 20.0});
  const auto B = random_block(a.n, 2, 12), W = random_block(a.n, 2, 13);
  Block X(B.size());
  Options opt = with_rtol(1e-8);
  opt.left_start = W.data();
  Report rep = solve(Method::qmr, a, 2, B.data(), X.data(), opt);
  expect_residuals(a, 2, B.data(), X.data(), rep, opt.rtol);

  const CsrMatrix small = examples::convection_diffusion_2d(10, 10, 1.0, {5.0, 1.0});
  Block b(small.n), w(small.n), x(small.n);
  b[0] = w[1] = 1.0;  // w^T b = 0
  opt.left_start = w.data();
  testing::internal::CaptureStdout();
  rep = solve(Method::qmr, small, 1, b.data(), x.data(), opt);
  const std::string records = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rep.status, Status::breakdown);
  EXPECT_TRUE(rep.breakdowns == 1 && rep.restarts == 0 && rep.iterations == 0 && rep.products == 0)
      << rep.message;
  EXPECT_NE(records.find("SINGULAR [d_n] DISCOVERED:"), std::string::npos) << records;
  EXPECT_EQ(x, Block(small.n));
  EXPECT_EQ(rep.residuals, std::vector<double>{1.0});
}

// An operator that returns garbage once: the step fails, the host restarts
// from the last good iterate with a fresh residual and converges. Garbage
// again and again (calls 1-5 are steps, 6 fails; each restart forms a residual
// and makes four steps before the next multiple of 6 fails): max_breakdowns
// restarts, then a report of the breakdown with the last good iterate.
TEST(Lanczos, BreakdownsRestartUpToTheLimit) {
  const CsrMatrix a = helmholtz();
  const int s = 2;
  const auto B = random_block(a.n, s, 21);
  for (Method m : {Method::symmetric, Method::qmr}) {
    for (bool repeated : {false, true}) {
      int calls = 0;
      const Operator A = [&](int k, const complex* x, complex* y) {
        a.multiply(k, x, y);
        if (repeated ? ++calls % 6 == 0 : ++calls == 30)
          y[3] = std::numeric_limits<double>::infinity();
      };
      Block X(B.size());
      Options opt = with_rtol(repeated ? 1e-12 : 1e-8);
      opt.max_breakdowns = 3;
      testing::internal::CaptureStdout();
      const Report rep = run(m, a.n, s, A, op(a, true), B.data(), a.n, X.data(), a.n, opt);
      testing::internal::GetCapturedStdout();
      EXPECT_TRUE(rep.breakdowns == (repeated ? 4 : 1) && rep.restarts == (repeated ? 3 : 1))
          << rep.message;
      if (repeated) {
        EXPECT_EQ(rep.status, Status::breakdown) << rep.message;
        EXPECT_LT(max_of(expect_residuals(a, s, B.data(), X.data(), rep)), 1.0);  // good steps kept
      } else {
        expect_residuals(a, s, B.data(), X.data(), rep, opt.rtol);
      }
    }
  }
}

// Asking for more than the recurrences can deliver: the drift from the true
// residual is reset by restarts, and the estimate never triggers a true
// residual at every step (that would double the products).
TEST(Lanczos, TightToleranceRestartsFromTrueResidualWithoutCheckingEveryStep) {
  const CsrMatrix a = helmholtz();
  const auto B = random_block(a.n, 4, 41);
  for (Method m : {Method::symmetric, Method::qmr}) {
    Block X(B.size());
    const Report rep = solve(m, a, 4, B.data(), X.data(), with_rtol(1e-14));
    EXPECT_LE(rep.products - (m == Method::qmr ? 8 : 4) * rep.iterations, 15L * 4) << rep.message;
    EXPECT_TRUE(rep.status == Status::converged || rep.status == Status::stagnated) << rep.message;
    EXPECT_LT(max_of(expect_residuals(a, 4, B.data(), X.data(), rep)), 1e-12) << rep.message;
  }
}

// One Solver serves many systems: more columns than its block size are
// solved block after block, each block exactly as a solve of those columns
// alone, and the report aggregates them; the solver is reused for a second
// right-hand side set. atol finishes columns whose residual is already small
// in absolute terms; max_iterations ends a solve with its own status.
TEST(SolverObject, BlocksReuseAndLimits) {
  const CsrMatrix a = examples::helmholtz_2d(16, 16, 3.0, 0.5);
  const int n = a.n, s = 3, nrhs = 7;
  for (Method m : {Method::symmetric, Method::qmr, Method::gmres}) {
    SCOPED_TRACE(to_string(m));
    Solver solver(m, n, s, with_rtol(1e-9));
    ASSERT_TRUE(solver.valid());
    for (unsigned seed : {51u, 52u}) {
      const auto B = random_block(n, nrhs, seed);
      Block X(B.size());
      const Report rep = solver.solve(op(a), op(a, true), nrhs, B.data(), n, X.data(), n);
      expect_residuals(a, nrhs, B.data(), X.data(), rep, 1e-9);
      EXPECT_EQ(rep.blocks, 3);
      long products = 0;
      for (int j0 = 0; j0 < nrhs; j0 += s) {  // the same blocks one by one
        const int sb = std::min(s, nrhs - j0);
        Block Xb(static_cast<std::size_t>(n) * sb);
        const Report rb = solve(m, a, sb, B.data() + j0 * n, Xb.data(), with_rtol(1e-9));
        EXPECT_TRUE(std::equal(Xb.begin(), Xb.end(), X.begin() + j0 * n)) << "block at " << j0;
        products += rb.products;
      }
      EXPECT_EQ(rep.products, products);
    }
    const auto B = random_block(n, s, 53);
    Block X(B.size());
    solver.options().atol = 1e10;  // above every ||b_j||: done before any product
    EXPECT_TRUE(solver.solve(op(a), op(a, true), s, B.data(), n, X.data(), n).converged);
    EXPECT_EQ(solver.report().products, 0);
    solver.options().atol = 0.0;
    solver.options().max_iterations = 3;
    const Report& rep = solver.solve(op(a), op(a, true), s, B.data(), n, X.data(), n);
    EXPECT_EQ(rep.status, Status::max_iterations) << rep.message;
    EXPECT_EQ(rep.iterations, 3);
    expect_residuals(a, s, B.data(), X.data(), rep);
  }
}

// The threads of a solve: `threads` OpenMP threads while it runs, then the
// caller's setting again; a threaded OpenBLAS runs on one thread during the
// solve and gets its count back after it, also when solves nest.
TEST(SolverObject, ThreadsDuringASolve) {
  using Get = int (*)();
  using Set = void (*)(int);
  void* blas = ::dlopen("libopenblas.so.0", RTLD_LAZY | RTLD_NOLOAD);
  const auto get = blas ? reinterpret_cast<Get>(::dlsym(blas, "openblas_get_num_threads")) : nullptr;
  const auto set = blas ? reinterpret_cast<Set>(::dlsym(blas, "openblas_set_num_threads")) : nullptr;
  if (set) set(2);
  const CsrMatrix a = examples::helmholtz_2d(10, 10, 3.0, 0.5);
  const auto B = random_block(a.n, 2, 61);
  omp_set_num_threads(3);
  Options opt = with_rtol(1e-9);
  opt.threads = 1;
  int seen_omp = -1, seen_blas = -1, depth = 0;
  opt.progress = [&](const Progress&) {
    seen_omp = omp_get_max_threads();
    if (get) seen_blas = get();
    if (depth++ == 0) {  // a nested solve leaves the outer one's settings alone
      Block Y(B.size());
      EXPECT_TRUE(solve(Method::symmetric, a, 2, B.data(), Y.data(), with_rtol(1e-6)).converged);
      EXPECT_EQ(omp_get_max_threads(), 1);
      if (get) { EXPECT_EQ(get(), 1); }
    }
    return true;
  };
  Block X(B.size());
  EXPECT_TRUE(solve(Method::gmres, a, 2, B.data(), X.data(), opt).converged);
  EXPECT_EQ(seen_omp, 1);
  EXPECT_EQ(omp_get_max_threads(), 3);
  if (get) {
    EXPECT_EQ(seen_blas, 1);
    EXPECT_EQ(get(), 2);
  }
}

// Equal, zero and dependent right-hand sides cost nothing extra with the
// Lanczos methods (they are deflated and recovered as combinations), and
// strongly correlated ones, which break the block down, converge in smaller
// blocks.
TEST(Lanczos, DependentAndCorrelatedColumns) {
  const CsrMatrix a = examples::helmholtz_2d(24, 24, 6.0, 0.3);
  const int n = a.n;
  const auto b = random_block(n, 2, 71);
  Block dep(static_cast<std::size_t>(n) * 5), corr(static_cast<std::size_t>(n) * 4);
  const auto noise = random_block(n, 4, 72);
  for (int i = 0; i < n; ++i) {
    dep[i] = b[i], dep[n + i] = b[n + i];
    dep[2 * n + i] = b[i];                                   // equal to column 1
    dep[3 * n + i] = 2.0 * b[i] - complex(0, 1) * b[n + i];  // 2 b1 - i b2
    dep[4 * n + i] = 0.0;                                    // zero
    for (int j = 0; j < 4; ++j) corr[j * n + i] = b[i] + 1e-5 * noise[j * n + i];
  }
  for (Method m : {Method::symmetric, Method::qmr}) {
    SCOPED_TRACE(to_string(m));
    Block X2(b.size()), X(dep.size());
    const Report two = solve(m, a, 2, b.data(), X2.data(), with_rtol(1e-9));
    const Report rep = solve(m, a, 5, dep.data(), X.data(), with_rtol(1e-9));
    expect_residuals(a, 5, dep.data(), X.data(), rep, 1e-9);
    EXPECT_LE(rep.products, two.products + 3 * 5) << rep.message;  // + a true residual or so per column
    Block Xc(corr.size());
    const Report rc = solve(m, a, 4, corr.data(), Xc.data(), with_rtol(1e-9));
    expect_residuals(a, 4, corr.data(), Xc.data(), rc, 1e-9);
  }
}

}  // namespace
