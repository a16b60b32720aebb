// The C entry points on their own: one whole block GMRES cycle (steps and
// products), one orthogonalisation step deep in a cycle, and one block step
// of each Lanczos driver (its two or three calls and the products).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "blockkrylov.h"
#include "blockkrylov/csr.hpp"
#include "blockkrylov/examples.hpp"

namespace {

using blockkrylov::complex;
using blockkrylov::CsrMatrix;
namespace examples = blockkrylov::examples;

const int kGrid = 100;  // n = 10^4

const CsrMatrix& convection() {
  static const CsrMatrix a = examples::convection_diffusion_2d(kGrid, kGrid, 20.0, {10.0, 30.0});
  return a;
}
const CsrMatrix& helmholtz() {
  static const CsrMatrix a = examples::helmholtz_2d(kGrid, kGrid, 20.0, 0.05);
  return a;
}

std::vector<complex> start_block(int n, int s) {
  std::vector<complex> b(static_cast<std::size_t>(n) * s);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = complex(1.0 + (i * 7919 % 13), (i * 104729 % 17) - 8.0);
  return b;
}

// Arrays of one GMRES cycle with capacity m for block size s.
struct Cycle {
  int32_t n, s, m, ldg, lds;
  std::vector<complex> V, vpiv, beta, sigma, G, LM, H, sn, dcoef, work, w, X;
  std::vector<double> cs;
  std::vector<int32_t> kept, dtab;
  int32_t p = 0, ndefl = 0, sk = 0;
  const double tol = 1e-12;

  Cycle(int32_t n_, int32_t s_, int32_t m_)
      : n(n_), s(s_), m(m_), ldg(m_), lds(s_), V(static_cast<std::size_t>(n_) * m_), vpiv(m_),
        beta(m_), sigma(m_), G(static_cast<std::size_t>(m_) * s_), LM(static_cast<std::size_t>(m_) * m_),
        H(static_cast<std::size_t>(m_) * m_), sn(static_cast<std::size_t>(s_) * m_),
        dcoef(static_cast<std::size_t>(s_) * s_), work(m_ + 1), w(n_),
        X(static_cast<std::size_t>(n_) * s_), cs(static_cast<std::size_t>(s_) * m_), kept(s_),
        dtab(2 * s_) {}

  void initial(const std::vector<complex>& R) {
    std::copy(R.begin(), R.end(), V.begin());
    ndefl = C_INITIALBLOCKGMRES(&s, &tol, &p, V.data(), &n, vpiv.data(), beta.data(), sigma.data(),
                                G.data(), &ldg, LM.data(), &m, kept.data(), dtab.data(), &lds,
                                dcoef.data(), &lds, work.data());
    sk = s - ndefl;
  }
  // Hessenberg column jcol: basis vector, product, orthogonalisation, rotations.
  void column(const CsrMatrix& a, int32_t jcol) {
    const int32_t k = jcol + sk;
    int32_t nd = ndefl;
    C_PARENTBASISCONSTRUCT(&jcol, w.data(), &k, &p, V.data(), &n, beta.data(), LM.data(), &m,
                           work.data());
    a.multiply(1, w.data(), V.data() + static_cast<std::size_t>(k - 1) * n);
    C_GMRESHOUSEORTHOG(&jcol, &k, &tol, &nd, V.data(), &n, vpiv.data(), beta.data(), sigma.data(),
                       LM.data(), &m, H.data(), &m, work.data());
    C_GMRESUPDATELM(&k, V.data(), &n, beta.data(), LM.data(), &m);
    C_GMRESHMQR(&jcol, &sk, H.data(), &m, G.data(), &ldg, cs.data(), &lds, sn.data(), &lds);
  }
  void finish(int32_t jc) {
    C_GMRESLEASTSQS(&jc, &sk, G.data(), &ldg, H.data(), &m, G.data(), &ldg);
    C_GMRESITERATEUPDATE(&jc, &sk, &p, kept.data(), V.data(), &n, beta.data(), LM.data(), &m,
                         work.data(), G.data(), &ldg, X.data(), &n, w.data());
    C_GMRESDEFLATEDITERATES(&ndefl, kept.data(), dtab.data(), &lds, dcoef.data(), &lds, X.data(), &n);
  }
};

// One whole cycle with m = 40: initial factorisation, m - s columns, update.
void BM_GmresCycle(benchmark::State& state) {
  const CsrMatrix& a = convection();
  const int32_t s = static_cast<int32_t>(state.range(0)), m = 40;
  const auto R = start_block(a.n, s);
  Cycle c(a.n, s, m);
  for (auto _ : state) {
    c.initial(R);
    int32_t jc = 0;
    for (int32_t jcol = 1; jcol + c.sk <= m; ++jcol) c.column(a, jc = jcol);
    c.finish(jc);
    benchmark::DoNotOptimize(c.X.data());
  }
  state.counters["columns"] = m - s;
}
BENCHMARK(BM_GmresCycle)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

// C_GMRESHOUSEORTHOG alone at reflector k (k - 1 reflectors to reduce by).
void BM_GmresHouseOrthog(benchmark::State& state) {
  const CsrMatrix& a = convection();
  const int32_t s = 4, k = static_cast<int32_t>(state.range(0)), m = 2 * k + 2;
  Cycle c(a.n, s, m);
  c.initial(start_block(a.n, s));
  const int32_t jcol = k - c.sk;
  for (int32_t j = 1; j < jcol; ++j) c.column(a, j);
  C_PARENTBASISCONSTRUCT(&jcol, c.w.data(), &k, &c.p, c.V.data(), &c.n, c.beta.data(), c.LM.data(),
                         &c.m, c.work.data());
  std::vector<complex> z(a.n);
  a.multiply(1, c.w.data(), z.data());
  complex* col = c.V.data() + static_cast<std::size_t>(k - 1) * a.n;
  for (auto _ : state) {
    std::copy(z.begin(), z.end(), col);
    int32_t nd = 0;
    C_GMRESHOUSEORTHOG(&jcol, &k, &c.tol, &nd, c.V.data(), &c.n, c.vpiv.data(), c.beta.data(),
                       c.sigma.data(), c.LM.data(), &c.m, c.H.data(), &c.m, c.work.data());
    benchmark::DoNotOptimize(c.H.data());
  }
}
BENCHMARK(BM_GmresHouseOrthog)->Arg(10)->Arg(40)->Unit(benchmark::kMicrosecond);

// One block step of a Lanczos driver (calls and products); a fresh start
// every 50 steps, outside the timing, keeps the process away from breakdown.
template <bool TwoSided>
void BM_LanczosStep(benchmark::State& state) {
  const CsrMatrix& a = TwoSided ? convection() : helmholtz();
  const int32_t n = a.n, s = static_cast<int32_t>(state.range(0));
  const std::size_t ns = static_cast<std::size_t>(n) * s, ss = static_cast<std::size_t>(s) * s;
  const auto R = start_block(n, s);
  std::vector<complex> X(ns), Vn(ns), Wn(ns), Pn(ns), Qn(ns), D(ns), Zn(ns);
  std::vector<double> g(s), go(s), rho(s), rhoo(s), xi(s), xio(s);
  std::vector<complex> ESVB(4 * ss), DSVB(4 * ss), esv(s + 1), dsv(s + 1), QRS((3 * s + 3) * 2 * s),
      QRSW(QRS.size()), RINV(2 * ss), UP(ss), UQ(ss), TAU(2 * ss), SVW(3 * ss);
  int32_t revcom = 0;
  auto call = [&] {
    return TwoSided ? C_ZD_BLANCZOS(&n, &s, &revcom, X.data(), Vn.data(), Wn.data(), Pn.data(),
                                    Qn.data(), D.data(), Zn.data(), g.data(), go.data(), rho.data(),
                                    rhoo.data(), xi.data(), xio.data(), ESVB.data(), esv.data(),
                                    DSVB.data(), dsv.data(), QRS.data(), RINV.data(), QRSW.data(),
                                    UP.data(), UQ.data(), TAU.data(), SVW.data())
                    : C_ZDSYM_BLANCZOS1(&n, &s, &revcom, X.data(), Vn.data(), Pn.data(), D.data(),
                                        Zn.data(), g.data(), go.data(), rho.data(), rhoo.data(),
                                        ESVB.data(), esv.data(), DSVB.data(), dsv.data(),
                                        QRS.data(), RINV.data(), UP.data(), TAU.data(), SVW.data());
  };
  const int32_t done = TwoSided ? 3 : 2;
  auto restart = [&] {
    std::fill(X.begin(), X.end(), complex(0.0));
    std::copy(R.begin(), R.end(), Vn.begin());
    std::copy(R.begin(), R.end(), Wn.begin());
    revcom = 0;
    if (call() != 0) return false;  // now revcom = 1
    a.multiply(s, Pn.data(), Zn.data());
    return true;
  };
  // Runs calls from a pending product request up to the next updated iterate.
  auto step = [&] {
    do {
      if (call() != 0) return false;
      if (revcom == 1) a.multiply(s, Pn.data(), Zn.data());
      if (TwoSided && revcom == 2) a.multiply_transpose(s, Qn.data(), Zn.data());
    } while (revcom != done && revcom != 1);
    return true;
  };
  if (!restart()) {
    state.SkipWithError("the Lanczos start failed");
    return;
  }
  long steps = 0;
  for (auto _ : state) {
    if (++steps % 50 == 0) {
      state.PauseTiming();
      restart();
      state.ResumeTiming();
    }
    // From "product stored" through the update to the next product.
    if (!step() || !step()) {
      state.SkipWithError("breakdown");
      break;
    }
    benchmark::DoNotOptimize(X.data());
  }
}
BENCHMARK_TEMPLATE(BM_LanczosStep, false)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_LanczosStep, true)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMicrosecond);

}  // namespace
