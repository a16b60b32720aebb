// Allocate once, then never: after a warm-up, the library's steady-state
// calls and the host layer's iterations allocate nothing.
//
// This program replaces malloc and its relatives with counting wrappers around
// the C library's own allocator. AddressSanitizer brings its own allocator, so
// under it the tests are skipped.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>

#include "support/host_helpers.hpp"

#if defined(__SANITIZE_ADDRESS__)
#  define HOST_COUNT_MALLOC 0
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer)
#    define HOST_COUNT_MALLOC 0
#  endif
#endif
#ifndef HOST_COUNT_MALLOC
#  define HOST_COUNT_MALLOC 1
#endif

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
inline void note() {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#if HOST_COUNT_MALLOC
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t size) noexcept {
  note();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  note();
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept {
  note();
  return __libc_realloc(p, size);
}
void* memalign(std::size_t align, std::size_t size) noexcept {
  note();
  return __libc_memalign(align, size);
}
void* aligned_alloc(std::size_t align, std::size_t size) noexcept {
  note();
  return __libc_memalign(align, size);
}
int posix_memalign(void** out, std::size_t align, std::size_t size) noexcept {
  note();
  void* p = __libc_memalign(align, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}
#endif

namespace {

using blockkrylov::complex;
using blockkrylov::CsrMatrix;
using blockkrylov::Method;
using blockkrylov::Options;
namespace problems = blockkrylov::problems;

// Counts the allocations made while f runs.
template <class F>
long allocations_in(F&& f) {
  g_allocations = 0;
  g_counting = true;
  f();
  g_counting = false;
  return g_allocations.load();
}

#define SKIP_WITHOUT_COUNTING() \
  if (!HOST_COUNT_MALLOC) GTEST_SKIP() << "malloc is not counted under AddressSanitizer"

TEST(Allocations, CountingWorks) {
  SKIP_WITHOUT_COUNTING();
  const long k = allocations_in([] {
    void* volatile p = std::malloc(64);
    std::free(p);
    int* volatile q = new int(3);
    delete q;
  });
  EXPECT_EQ(k, 2);
}

// Between two progress callbacks, after a warm-up of five iterations, many
// iterations allocate nothing: every entry point the solvers drive (the
// Lanczos steps, all GMRES cycle steps including new cycles, the monitoring
// utilities), the true residuals and the host's own bookkeeping.
TEST(Allocations, SolverIterationsAllocateNothing) {
  SKIP_WITHOUT_COUNTING();
  const CsrMatrix a = problems::helmholtz_2d(20, 20, 3.0, 0.3);
  const int s = 3;
  const auto B = host_test::random_block(a.n, s, 3);
  for (Method m : {Method::symmetric, Method::qmr, Method::gmres}) {
    std::vector<complex> X(B.size());
    Options opt;
    opt.rtol = 1e-14;
    opt.restart = 12;  // several GMRES cycles inside the counted window
    long counted = -1;
    opt.progress = [&](const blockkrylov::Progress& p) {
      if (p.iteration == 5) {
        g_allocations = 0;
        g_counting = true;
      } else if (p.iteration == 40) {
        g_counting = false;
        counted = g_allocations.load();
      }
      return true;
    };
    const auto rep = host_test::solve(m, a, s, B.data(), X.data(), opt);
    g_counting = false;
    ASSERT_GT(rep.iterations, 40) << rep.message;
    if (m == Method::gmres) {
      EXPECT_GE(rep.restarts, 3);
    }
    EXPECT_EQ(counted, 0) << blockkrylov::to_string(m);
  }
}

}  // namespace
