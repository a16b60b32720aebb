// Systems at the edges of the double range, and solves that would share the
// kernels' per-thread state: concurrent host threads, nested OpenMP teams and
// a solve started from inside another solve's operator.
#include <omp.h>

#include <thread>

#include "support/host_helpers.hpp"

namespace {

using namespace host_test;

CsrMatrix matrix() { return examples::helmholtz_2d(16, 16, 3.0, 0.5); }

CsrMatrix scaled(CsrMatrix a, double c) {
  for (auto& v : a.val) v *= c;
  return a;
}

class EdgeCases : public ::testing::TestWithParam<Method> {};

// A well-conditioned system scaled by 1e-200 or 1e+200 (A alone, B alone, or
// both) converges like the unscaled one: the kernels see it at unit size, and
// powers of two scale exactly, so even the product counts agree.
TEST_P(EdgeCases, ExtremeScalesSolveLikeUnitScale) {
  const CsrMatrix a = matrix();
  const int n = a.n, s = 3;
  const auto B = random_block(n, s, 11);
  Block X(B.size());
  const Report ref = solve(GetParam(), a, s, B.data(), X.data(), with_rtol(1e-9));
  ASSERT_TRUE(ref.converged) << ref.message;
  for (double c : {1e-200, 1e200}) {
    for (int what : {1, 2, 3}) {  // 1: A, 2: B, 3: both
      const CsrMatrix as = what & 1 ? scaled(a, c) : a;
      Block Bs = B;
      if (what & 2)
        for (auto& b : Bs) b *= c;
      Block Xs(B.size());
      const Report rep = solve(GetParam(), as, s, Bs.data(), Xs.data(), with_rtol(1e-9));
      SCOPED_TRACE("scale " + detail::fmt_g(c) + " on " + (what == 1 ? "A" : what == 2 ? "B" : "A and B"));
      expect_residuals(as, s, Bs.data(), Xs.data(), rep, 1e-9);
      EXPECT_EQ(rep.products, ref.products) << rep.message;
    }
  }
}

// Solves of one method started at once from two plain threads (both OpenMP
// thread number 0), and from the four threads of two nested teams (inner
// numbers 0 and 1 twice), give the results of the same solves run one after
// the other, bit for bit.
TEST_P(EdgeCases, ConcurrentSolvesSharingThreadNumbersAreSerialised) {
  const CsrMatrix a = matrix();
  const int n = a.n, s = 2, solves = 4;
  std::vector<Block> B(solves), Xref(solves), X(solves);
  omp_set_num_threads(1);  // the products run serially inside each solve
  for (int i = 0; i < solves; ++i) {
    B[i] = random_block(n, s, 30 + i);
    Xref[i].assign(B[i].size(), complex(0.0));
    ASSERT_TRUE(solve(GetParam(), a, s, B[i].data(), Xref[i].data(), with_rtol(1e-10)).converged);
  }
  auto run_one = [&](int i) {
    X[i].assign(B[i].size(), complex(0.0));
    solve(GetParam(), a, s, B[i].data(), X[i].data(), with_rtol(1e-10));
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < solves; ++i) threads.emplace_back(run_one, i);
  for (auto& t : threads) t.join();
  for (int i = 0; i < solves; ++i) EXPECT_EQ(X[i], Xref[i]) << "thread " << i;

  const int levels = omp_get_max_active_levels();
  omp_set_max_active_levels(2);
#pragma omp parallel num_threads(2)
  {
    const int outer = omp_get_thread_num();
#pragma omp parallel num_threads(2)
    run_one(2 * outer + omp_get_thread_num());
  }
  omp_set_max_active_levels(levels);
  omp_set_num_threads(2);
  for (int i = 0; i < solves; ++i) EXPECT_EQ(X[i], Xref[i]) << "nested team thread " << i;
}

INSTANTIATE_TEST_SUITE_P(Methods, EdgeCases,
                         ::testing::Values(Method::symmetric, Method::qmr, Method::gmres),
                         [](const auto& info) { return to_string(info.param); });

// A Lanczos solve started from the operator of a solve of the same method on
// the same thread would share the driver's state: it is refused at once, and
// the outer solve is unharmed. Another method may run there (it only goes
// without a progress estimate).
TEST(Nested, SameMethodInsideOperatorIsRefused) {
  const CsrMatrix a = matrix();
  const int n = a.n, s = 2;
  const auto B = random_block(n, s, 41);
  for (Method outer : {Method::symmetric, Method::qmr}) {
    for (Method inner : {Method::symmetric, Method::qmr, Method::gmres}) {
      Report inner_rep;
      bool tried = false;
      Block Xi(B.size());
      const Operator A = [&](int k, const complex* x, complex* y) {
        a.multiply(k, x, y);
        if (tried) return;
        tried = true;
        inner_rep = solve(inner, a, s, B.data(), Xi.data(), with_rtol(1e-9));
      };
      Block X(B.size());
      const Report rep = run(outer, n, s, A, op(a, true), B.data(), n, X.data(), n, with_rtol(1e-9));
      SCOPED_TRACE(std::string(to_string(inner)) + " inside " + to_string(outer));
      expect_residuals(a, s, B.data(), X.data(), rep, 1e-9);
      if (inner == outer) {
        EXPECT_EQ(inner_rep.status, Status::invalid);
        EXPECT_NE(inner_rep.message.find("already running on this thread"), std::string::npos)
            << inner_rep.message;
        EXPECT_EQ(inner_rep.products, 0);
      } else {
        expect_residuals(a, s, B.data(), Xi.data(), inner_rep, 1e-9);
      }
    }
  }
}

}  // namespace
