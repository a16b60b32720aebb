// One block step of each Lanczos driver against what this machine can do at
// best, in one run: the program first measures the streaming bandwidth (a
// triad over arrays far larger than any cache) and the zgemm rate with the
// benchmark's thread count, then reports per step its time, the bound and
// their ratio.
//
// Bound of a step = max(bytes / bandwidth, flops / zgemm rate), with the
// bytes of the n x s blocks it must stream (16 n s bytes each, a block
// read-modified-written counting twice) and the flops of its n-length work
// (8 n s^2 per n x s by s x s product or Gram product; a triangular one 4 n s^2).
//
// Blocks:
//  - complex-symmetric step (calls 1 and 2): with every pass fused the floor
//    is 12 blocks.
//    The call boundaries keep the passes here at 15: e = P^T AP (read P, AP:
//    2); AP := AP - V alpha with the column norms and the Gram product of the
//    new block (read AP, V, write AP: 3); V := AP diag(rho)^-1 (read AP,
//    write V: 2); D := (P - D R) R_nn^-1 and X := X + D tau (read D, P, X,
//    write D, X: 5); P := V - P U (read V, P, write P: 3).
//  - two-sided step (calls 1, 2 and 3): the floor is 19; here 24:
//    e = Q^T AP (2); right recurrence with norms (3); scaling of V (2); left
//    recurrence with norms and W^T V (read Z, W, V, write Z: 4); scaling of W
//    (2); the QMR pass (5); P := V - P U and Q := W - Q U' (3 + 3).
// The bound below uses the floors (12 and 19), so a ratio of 1.25 is
// the least these passes can reach.
// Flops (n s^2 units of 8): symmetric e 1, recurrence 1, d (symmetric) 1/2,
// QMR 2 1/2, direction 1: 6; two-sided e 1, recurrences 2, d 1, QMR 2 1/2,
// directions 2: 8 1/2.
//
// The "product" is a diagonal A (A = A^T) applied by the benchmark between
// the calls. It is not timed: the benchmark uses manual time, the sum of the
// durations of the library calls of one step (steady_clock around each call),
// so only the library's own work counts. A restart every 20 steps, outside
// the timing, keeps the solve away from convergence and breakdown.
//
// Threads: the benchmark's thread count is set with omp_set_num_threads and,
// when the process has OpenBLAS, with openblas_set_num_threads (found at run
// time), so a threaded BLAS and the library's own passes get the same count.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdint>
#include <map>
#include <vector>

#include "blockkrylov.h"
#include "lanczos_solve.hpp"
#include "machine.hpp"

namespace {

using complex = std::complex<double>;
using bench::Clock;
using bench::seconds_since;
using bench::set_threads;
using bench::triad_bandwidth;
using bench::zgemm_rate;

// One solve of either driver with a diagonal A.
template <bool TwoSided>
struct Step : bench::LanczosSolve<TwoSided> {
  Step(int32_t n, int32_t s) : bench::LanczosSolve<TwoSided>(n, s) {
    for (int32_t i = 0; i < n; ++i) this->diag[i] = complex(1.0 + 3.0 * i / n, 0.2 + 0.1 * (i % 7));
    for (std::size_t i = 0; i < this->R.size(); ++i)
      this->R[i] = complex(1.0 + (i * 7919 % 13), (i * 104729 % 17) - 8.0);
  }
};

// Arguments: n, s, threads.
template <bool TwoSided>
void BM_BlockStep(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0)), s = static_cast<int32_t>(state.range(1));
  const int threads = static_cast<int>(state.range(2));
  set_threads(threads);
  const double bw = triad_bandwidth(threads), rate = zgemm_rate(threads);

  Step<TwoSided> w(n, s);
  if (!w.restart()) {
    state.SkipWithError("the Lanczos start failed");
    return;
  }
  long steps = 0;
  double total = 0.0;
  for (auto _ : state) {
    if (++steps % 20 == 0 && !w.restart()) {
      state.SkipWithError("the Lanczos restart failed");
      break;
    }
    const double t = w.step();
    if (t < 0.0) {
      state.SkipWithError("breakdown");
      break;
    }
    total += t;
    state.SetIterationTime(t);
  }
  const double ns = static_cast<double>(n) * s;
  const double blocks = TwoSided ? 19.0 : 12.0;
  const double flops = 8.0 * ns * s * (TwoSided ? 8.5 : 6.0);
  const double bound = std::max(blocks * 16.0 * ns / bw, rate > 0.0 ? flops / rate : 0.0);
  const double per_step = steps > 0 ? total / static_cast<double>(state.iterations()) : 0.0;
  state.counters["bound_ms"] = bound * 1e3;
  state.counters["ratio"] = per_step / bound;
  state.counters["GBps"] = bw * 1e-9;
  state.counters["zgemm_GFlops"] = rate * 1e-9;
  set_threads(1);
}

void step_args(benchmark::internal::Benchmark* b) {
  for (int64_t n : {100000, 1000000})
    for (int64_t s : {1, 4, 8, 16})
      for (int64_t t : {1, 2}) b->Args({n, s, t});
  b->ArgNames({"n", "s", "threads"})->UseManualTime()->Unit(benchmark::kMillisecond);
}
BENCHMARK_TEMPLATE(BM_BlockStep, false)->Apply(step_args);
BENCHMARK_TEMPLATE(BM_BlockStep, true)->Apply(step_args);

}  // namespace
