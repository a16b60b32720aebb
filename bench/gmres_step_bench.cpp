// One GMRES step per Hessenberg column against the memory bound of this
// machine, measured in the same run.
//
// The step is what a host runs around its product with A for column jcol =
// k - 1 (block size 1): C_PARENTBASISCONSTRUCT builds q_jcol from reflectors
// 1..jcol and stores it in the cache at the back of V, C_GMRESHOUSEORTHOG
// reduces z (column k) by reflectors 1..k-1 and forms reflector k, and
// C_GMRESUPDATELM adds reflector k to LM. The host's product is not timed:
// z is copied into column k before each step, outside the timing.
//
// Bytes the step must move, in complex entries of 16 bytes. Reflector i is
// nonzero in rows i..n only, so a pass over reflectors 1..c reads
// P(c) = sum_{i=1..c} (n - i + 1) entries. The three calls are separate
// entry points and LM is read-only in the orthogonalisation, so the fewest
// passes over the reflectors are: one for q_jcol = Q e_jcol, two for
// Q_{k-1}^H z (all of V_{k-1}^H z is needed before z can be updated), one
// for the couplings v_k^H v_i over rows k..n. Vectors: q written twice (w
// and its cache column), z read twice and written once, v_k read once.
//     bytes = 16 * (4 P(k-1) + 6 n)        (jcol = k - 1)
// (the coupling pass reads rows k..n only: fewer by under k^2 entries).
// The bound is bytes / B, with B the best triad bandwidth of this machine
// on 1 or 2 threads (bench/machine.hpp: 24 bytes per element, two arrays
// read and one written), measured in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "blockkrylov.h"
#include "machine.hpp"

namespace {

using complex = std::complex<double>;
using bench::Clock;

double triad_bandwidth() { return std::max(bench::triad_bandwidth(1), bench::triad_bandwidth(2)); }

// Reflectors 1..k-1 in V (n x m), with beta and LM exactly as the library's
// own steps would leave them, built in O(n + k^2): v_i is a_i in row i and
// c_i t(r) in rows r > i, with one shared tail t. Then, with S(j) the sum of
// |t(r)|^2 over r >= j,
//     v_i^H v_j = conj(c_i t(j)) a_j + conj(c_i) c_j S(j+1)    (i < j)
//     beta_i    = (|a_i|^2 + |c_i|^2 S(i+1)) / 2.
struct ReflectorSet {
  int32_t n, m, k;
  std::vector<complex> V, beta, vpiv, sigma, LM, H, work, w, z;

  ReflectorSet(int32_t n_, int32_t k_)
      : n(n_), m(2 * k_), k(k_), V(static_cast<std::size_t>(n_) * m), beta(m), vpiv(m),
        sigma(m), LM(static_cast<std::size_t>(m) * m), H(static_cast<std::size_t>(m) * m),
        work(m), w(n_), z(n_) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    auto rnd = [&] { return complex(u(gen), u(gen)); };
    std::vector<complex> t(n), a(k), c(k);
    for (auto& x : t) x = rnd();
    for (auto& x : z) x = rnd();
    std::vector<long double> S(n + 2, 0.0L);  // S[r] = sum over rows r..n (1-based)
    for (int32_t r = n; r >= 1; --r) S[r] = S[r + 1] + std::norm(t[r - 1]);
    for (int32_t i = 1; i < k; ++i) {
      a[i - 1] = rnd() + complex(2.0, 0.0);
      c[i - 1] = rnd();
      complex* v = V.data() + static_cast<std::size_t>(i - 1) * n;
      v[i - 1] = a[i - 1];
      for (int32_t r = i + 1; r <= n; ++r) v[r - 1] = c[i - 1] * t[r - 1];
      beta[i - 1] = static_cast<double>(
          (std::norm(a[i - 1]) + std::norm(c[i - 1]) * S[i + 1]) / 2.0L);
    }
    for (int32_t i = 1; i <= m; ++i) LM[static_cast<std::size_t>(i - 1) * (m + 1)] = 1.0;
    for (int32_t j = 2; j < k; ++j)
      for (int32_t i = 1; i < j; ++i) {
        const complex d = std::conj(c[i - 1] * t[j - 1]) * a[j - 1] +
                          std::conj(c[i - 1]) * c[j - 1] * static_cast<double>(S[j + 1]);
        const complex l = d / beta[i - 1].real();  // LM(i,j) = v_i^H v_j / beta_i
        LM[(i - 1) + static_cast<std::size_t>(j - 1) * m] = l;
        LM[(j - 1) + static_cast<std::size_t>(i - 1) * m] = std::conj(l);
      }
  }

  // Entries in a pass over reflectors 1..c.
  double pass(int32_t c) const { return double(c) * n - double(c) * (c - 1) / 2.0; }
  double bytes() const { return 16.0 * (4.0 * pass(k - 1) + 6.0 * n); }

  // One step; returns its seconds. The cache holds q_1..q_{jcol-1} as far as
  // the count says, so q_jcol is built and cached, as in a cycle's first half.
  double step() {
    std::copy(z.begin(), z.end(), V.begin() + static_cast<std::ptrdiff_t>(k - 1) * n);
    const int32_t jcol = k - 1;
    int32_t p = jcol - 1, ndefl = 0;
    const double tol = 0.0;
    const auto t0 = Clock::now();
    C_PARENTBASISCONSTRUCT(&jcol, w.data(), &k, &p, V.data(), &n, beta.data(), LM.data(), &m,
                           work.data());
    C_GMRESHOUSEORTHOG(&jcol, &k, &tol, &ndefl, V.data(), &n, vpiv.data(), beta.data(),
                       sigma.data(), LM.data(), &m, H.data(), &m, work.data());
    C_GMRESUPDATELM(&k, V.data(), &n, beta.data(), LM.data(), &m);
    return std::chrono::duration<double>(Clock::now() - t0).count();
  }
};

// Arguments: n, k (the reflector the step forms).
void BM_GmresStepPerColumn(benchmark::State& state) {
  const double bw = triad_bandwidth();
  ReflectorSet set(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  set.step();  // warm-up: pages touched, BLAS threads started
  double best = 1e300;
  for (auto _ : state) {
    const double sec = set.step();
    best = std::min(best, sec);
    state.SetIterationTime(sec);
    benchmark::DoNotOptimize(set.LM.data());
  }
  const double bound = set.bytes() / bw;
  state.counters["best_ms"] = best * 1e3;
  state.counters["bound_ms"] = bound * 1e3;
  state.counters["ratio"] = best / bound;
  state.counters["triad_GBs"] = bw * 1e-9;
}
// Few iterations (the largest set is 3.2 GB); ratio is taken from the best.
BENCHMARK(BM_GmresStepPerColumn)
    ->ArgNames({"n", "k"})
    ->Args({100000, 10})->Args({100000, 50})->Args({100000, 100})
    ->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GmresStepPerColumn)
    ->ArgNames({"n", "k"})
    ->Args({1000000, 10})->Args({1000000, 50})->Args({1000000, 100})
    ->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
