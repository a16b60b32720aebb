// Allocate once, then never. This program replaces malloc and its relatives
// with counting wrappers around the C library's own allocator (skipped under
// AddressSanitizer, which brings its own).
#include <atomic>
#include <cstddef>
#include <cstdlib>

#include "support/host_helpers.hpp"

#ifdef __SANITIZE_ADDRESS__
#  define HOST_COUNT_MALLOC 0
#else
#  define HOST_COUNT_MALLOC 1
#endif

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
inline void note() {
  if (g_counting.load(std::memory_order_relaxed))
    g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#if HOST_COUNT_MALLOC
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void* malloc(std::size_t size) noexcept { return note(), __libc_malloc(size); }
void* calloc(std::size_t k, std::size_t size) noexcept { return note(), __libc_calloc(k, size); }
void* realloc(void* p, std::size_t size) noexcept { return note(), __libc_realloc(p, size); }
void* memalign(std::size_t align, std::size_t size) noexcept {
  return note(), __libc_memalign(align, size);
}
void* aligned_alloc(std::size_t align, std::size_t size) noexcept { return memalign(align, size); }
int posix_memalign(void** out, std::size_t align, std::size_t size) noexcept {
  return (*out = memalign(align, size)) != nullptr ? 0 : 12;  // ENOMEM
}
}
#endif

namespace {

using namespace host_test;

void count(bool on) {
  if (on) g_allocations = 0;
  g_counting = on;
}

// Between the progress callbacks of iterations 5 and 40 the entry points the
// solvers drive (GMRES cycles, new ones included, Lanczos steps, monitoring),
// the true residuals and the host's bookkeeping allocate nothing. First, the
// counter itself must count.
TEST(Allocations, SolverIterationsAllocateNothing) {
  if (!HOST_COUNT_MALLOC) GTEST_SKIP() << "malloc is not counted under AddressSanitizer";
  count(true);
  void* volatile p = std::malloc(64);
  std::free(p);
  int* volatile q = new int(3);
  delete q;
  count(false);
  ASSERT_EQ(g_allocations.load(), 2);

  const CsrMatrix a = examples::helmholtz_2d(20, 20, 3.0, 0.3);
  const int s = 3;
  const auto B = random_block(a.n, s, 3);
  for (Method m : {Method::symmetric, Method::qmr, Method::gmres}) {
    Block X(B.size());
    Options opt = with_rtol(1e-14);
    opt.restart = 12;  // several GMRES cycles inside the counted window
    long counted = -1;
    opt.progress = [&](const Progress& pr) {
      if (pr.iteration == 5) count(true);
      if (pr.iteration == 40) count(false), counted = g_allocations.load();
      return true;
    };
    const Report rep = solve(m, a, s, B.data(), X.data(), opt);
    count(false);
    ASSERT_GT(rep.iterations, 40) << rep.message;
    EXPECT_GE(rep.restarts, m == Method::gmres ? 3 : 0);
    EXPECT_EQ(counted, 0) << to_string(m);
  }
}

}  // namespace
