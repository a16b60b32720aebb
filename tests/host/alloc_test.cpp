// Allocate once, then never: after a warm-up, the library's entry points and
// the host layer's iterations allocate nothing.
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

// The GMRES steps, one whole cycle after a warm-up cycle, driven by hand.
TEST(Allocations, GmresCycleStepsAllocateNothing) {
  SKIP_WITHOUT_COUNTING();
  const CsrMatrix a = problems::convection_diffusion_2d(12, 12, 4.0, {1.0, 2.0});
  const int32_t n = a.n, s = 3, m = 24, ldg = m, lds = s;
  const auto B = host_test::random_block(n, s, 1);
  std::vector<complex> V(static_cast<std::size_t>(n) * m), vpiv(m), beta(m), sigma(m), G(ldg * s),
      LM(m * m), H(m * m), sn(s * m), dcoef(s * s), work(m + 1), w(n), X(B.size());
  std::vector<double> cs(s * m), nrm(s);
  std::vector<int32_t> kept(s), dtab(2 * s);

  auto cycle = [&](bool count) {
    long total = 0;
    auto lib = [&](auto&& f) {
      if (count) total += allocations_in(f);
      else f();
    };
    std::copy(B.begin(), B.end(), V.begin());
    const double tol = 1e-12;
    int32_t p = 0, ndefl = 0;
    lib([&] {
      ndefl = C_INITIALBLOCKGMRES(&s, &tol, &p, V.data(), &n, vpiv.data(), beta.data(), sigma.data(),
                                  G.data(), &ldg, LM.data(), &m, kept.data(), dtab.data(), &lds,
                                  dcoef.data(), &lds, work.data());
    });
    const int32_t sk = s - ndefl;
    int32_t ndsteps = ndefl, jc = 0;
    for (int32_t jcol = 1; jcol + sk <= m; ++jcol) {
      const int32_t k = jcol + sk;
      lib([&] {
        C_PARENTBASISCONSTRUCT(&jcol, w.data(), &k, &p, V.data(), &n, beta.data(), LM.data(), &m,
                               work.data());
      });
      a.multiply(1, w.data(), V.data() + static_cast<std::size_t>(k - 1) * n);
      lib([&] {
        C_GMRESHOUSEORTHOG(&jcol, &k, &tol, &ndsteps, V.data(), &n, vpiv.data(), beta.data(),
                           sigma.data(), LM.data(), &m, H.data(), &m, work.data());
        C_GMRESUPDATELM(&k, V.data(), &n, beta.data(), LM.data(), &m);
        C_GMRESHMQR(&jcol, &sk, H.data(), &m, G.data(), &ldg, cs.data(), &lds, sn.data(), &lds);
        C_COLBLOCKNORMS(G.data() + jcol, &ldg, &sk, &sk, nrm.data());
      });
      jc = jcol;
    }
    lib([&] {
      C_GMRESLEASTSQS(&jc, &sk, G.data(), &ldg, H.data(), &m, G.data(), &ldg);
      C_GMRESITERATEUPDATE(&jc, &sk, &p, kept.data(), V.data(), &n, beta.data(), LM.data(), &m,
                           work.data(), G.data(), &ldg, X.data(), &n, w.data());
      C_GMRESDEFLATEDITERATES(&ndefl, kept.data(), dtab.data(), &lds, dcoef.data(), &lds, X.data(),
                              &n);
    });
    return total;
  };
  cycle(false);
  EXPECT_EQ(cycle(true), 0);
}

// Lanczos steps of both drivers, counted after three warm-up steps.
TEST(Allocations, LanczosStepsAllocateNothing) {
  SKIP_WITHOUT_COUNTING();
  const CsrMatrix a = problems::helmholtz_2d(12, 12, 3.0, 0.2);
  const int32_t n = a.n, s = 3;
  const std::size_t ns = static_cast<std::size_t>(n) * s, ss = s * s;
  const auto B = host_test::random_block(n, s, 2);
  std::vector<complex> X(ns), Vn(B), Wn(B), Pn(ns), Qn(ns), D(ns), Zn(ns);
  std::vector<double> g(s), go(s), rho(s), rhoo(s), xi(s), xio(s), nrm(s);
  std::vector<complex> ESVB(4 * ss), DSVB(4 * ss), esv(s + 1), dsv(s + 1), QRS((3 * s + 3) * 2 * s),
      QRSW(QRS.size()), RINV(2 * ss), UP(ss), UQ(ss), TAU(2 * ss), SVW(3 * ss);
  const int32_t ldtau = 2 * s;

  for (bool two_sided : {false, true}) {
    int32_t revcom = 0, it = 0, itold = 0, itpred = 0;
    double rmax = 1.0, pct = 0.0, tol = 1e-30;
    std::copy(B.begin(), B.end(), Vn.begin());
    std::copy(B.begin(), B.end(), Wn.begin());
    std::fill(X.begin(), X.end(), complex(0.0));
    long counted = 0;
    for (int step = 0; step < 13; ++step) {
      const bool count = step >= 3;
      const int32_t done = two_sided ? 3 : 2;
      do {
        int32_t r = 0;
        const long k = allocations_in([&] {
          r = two_sided
                  ? C_ZD_BLANCZOS(&n, &s, &revcom, X.data(), Vn.data(), Wn.data(), Pn.data(),
                                  Qn.data(), D.data(), Zn.data(), g.data(), go.data(), rho.data(),
                                  rhoo.data(), xi.data(), xio.data(), ESVB.data(), esv.data(),
                                  DSVB.data(), dsv.data(), QRS.data(), RINV.data(), QRSW.data(),
                                  UP.data(), UQ.data(), TAU.data(), SVW.data())
                  : C_ZDSYM_BLANCZOS1(&n, &s, &revcom, X.data(), Vn.data(), Pn.data(), D.data(),
                                      Zn.data(), g.data(), go.data(), rho.data(), rhoo.data(),
                                      ESVB.data(), esv.data(), DSVB.data(), dsv.data(), QRS.data(),
                                      RINV.data(), UP.data(), TAU.data(), SVW.data());
        });
        if (count) counted += k;
        ASSERT_EQ(r, 0);
        if (revcom == 1) a.multiply(s, Pn.data(), Zn.data());
        if (two_sided && revcom == 2) a.multiply_transpose(s, Qn.data(), Zn.data());
      } while (revcom != done);
      ++it;
      const long k = allocations_in([&] {
        C_COLBLOCKNORMS(TAU.data(), &ldtau, &s, &s, nrm.data());
        C_CONVERGENCEPROGRESS(&it, &itold, &tol, &rmax, nrm.data(), &s, &itpred, &pct);
      });
      if (count) counted += k;
      itold = it;
    }
    EXPECT_EQ(counted, 0) << (two_sided ? "two-sided" : "symmetric");
  }
}

// The host layer itself: between two progress callbacks, many iterations
// (GMRES restarts and true residuals included) allocate nothing.
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
