// Whole solves with a small host loop: both drivers reach a true relative
// residual of 1e-8 on every column, and steady-state calls allocate nothing.
#include <atomic>
#include <cstdlib>
#include <new>

#include "support/lanczos_host.hpp"

// Counts the test program's allocations (out of line, so that no inlined
// free is paired with the library's new).
static std::atomic<long> g_allocations{0};
__attribute__((noinline)) void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace lanczos_test;

// Non-symmetric, complex, strictly diagonally dominant by rows (|a_ii| > 2.55,
// off-diagonal sum < 2.2): a skewed convection stencil with a long-range
// coupling. transpose = true gives the plain transpose.
Op convection(int n, bool transpose) {
  return [n, transpose](const zc* x, zc* y) {
    const int offs[3] = {-1, 1, 9};
    const zc vals[3] = {{-1.2, 0.3}, {-0.4, -0.2}, {0.0, 0.5}};
    for (int i = 0; i < n; ++i) y[i] = zc(2.5, 0.5 + 0.002 * i) * x[i];
    for (int i = 0; i < n; ++i)
      for (int k = 0; k < 3; ++k)
        if (const int j = i + offs[k]; j >= 0 && j < n) {
          if (transpose)
            y[j] += vals[k] * x[i];
          else
            y[i] += vals[k] * x[j];
        }
  };
}

template <class S>
void solve_to_tolerance(S& w, const Op& A, const Op& At, const Block& B) {
  w.start(A, B);
  double res = 1.0;
  int k = 0;
  for (; k < 300 && res > 1e-8; ++k) {
    ASSERT_EQ(w.step(A, At), 0) << "step " << k + 1;
    res = max_rel_residual(A, w.n, w.s, B, w.X);
  }
  EXPECT_LE(res, 1e-8) << "after " << k << " block steps";
}

class BlockSize : public testing::TestWithParam<int> {};

TEST_P(BlockSize, ComplexSymmetricIndefiniteLaplacian) {
  const int s = GetParam(), n = 256;
  const Op A = laplacian_2d(16, zc(-0.5, 0.1));  // indefinite, lightly damped
  SymSolve w(n, s);
  solve_to_tolerance(w, A, A, random_block(n, s, 60 + s));
}

TEST_P(BlockSize, TwoSidedNonSymmetric) {
  const int s = GetParam(), n = 300;
  TwoSolve w(n, s);
  solve_to_tolerance(w, convection(n, false), convection(n, true), random_block(n, s, 70 + s));
}

INSTANTIATE_TEST_SUITE_P(Lanczos, BlockSize, testing::Values(1, 2, 4));

// After the first call (which may size the per-thread decomposition scratch),
// whole block steps of both drivers allocate nothing.
TEST(LanczosAllocation, SteadyStateCallsAllocateNothing) {
  const Op L = laplacian_2d(5, zc(0.2, 0.5)), A = convection(30, false), At = convection(30, true);
  SymSolve sym(25, 3);
  TwoSolve two(30, 3);
  sym.start(L, random_block(25, 3, 80));
  two.start(A, random_block(30, 3, 81));
  ASSERT_EQ(sym.call() + two.call(), 0);
  sym.serve(L, L);
  two.serve(A, At);
  const long before = g_allocations.load();
  int failures = 0;
  for (int k = 0; k < 4; ++k) failures += sym.step(L, L) + two.step(A, At);
  const long during = g_allocations.load() - before;
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(during, 0);
}

}  // namespace
