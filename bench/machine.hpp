// What this machine can move and compute, measured in the same run as the
// benchmarks that divide by it: streaming bandwidth (a triad) and the zgemm
// rate, for a given number of threads; and one thread count for the
// library's passes and a threaded BLAS alike.
#pragma once

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <map>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// BLAS entries of the process, looked up at run time (the benchmark links only
// the kernel library, which brings its BLAS along).
using ZgemmFn = void (*)(const char*, const char*, const int*, const int*, const int*,
                         const void*, const void*, const int*, const void*, const int*,
                         const void*, void*, const int*, std::size_t, std::size_t);
using SetThreadsFn = void (*)(int);

inline void set_threads(int t) {
  omp_set_num_threads(t);
  static const auto set_blas =
      reinterpret_cast<SetThreadsFn>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads"));
  if (set_blas) set_blas(t);
}

// Best of 5 triads a = b + q c over three arrays of 2^25 doubles (768 MiB in
// all); bytes counted as 24 per element (two reads, one write).
inline double triad_bandwidth(int threads) {
  static std::map<int, double> cache;
  if (auto it = cache.find(threads); it != cache.end()) return it->second;
  const long m = 1L << 25;
  std::vector<double> a(m), b(m, 1.0), c(m, 2.0);
  double best = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    const auto t0 = Clock::now();
#pragma omp parallel for num_threads(threads) schedule(static)
    for (long i = 0; i < m; ++i) a[i] = b[i] + 0.5 * c[i];
    best = std::min(best, seconds_since(t0));
    benchmark::DoNotOptimize(a.data());
  }
  return cache[threads] = 24.0 * m / best;
}

// Best of 3 zgemm calls 1024 x 1024 x 1024 (flops 8 m n k); 0 when the
// process has no zgemm_.
inline double zgemm_rate(int threads) {
  static std::map<int, double> cache;
  if (auto it = cache.find(threads); it != cache.end()) return it->second;
  const auto zgemm = reinterpret_cast<ZgemmFn>(dlsym(RTLD_DEFAULT, "zgemm_"));
  if (!zgemm) return cache[threads] = 0.0;
  const int m = 1024;
  std::vector<std::complex<double>> a(1L * m * m, std::complex<double>(0.5, 0.25)), b(a), c(a);
  const std::complex<double> one(1.0), zero(0.0);
  double best = 1e30;
  for (int rep = 0; rep < 3; ++rep) {
    const auto t0 = Clock::now();
    zgemm("N", "N", &m, &m, &m, &one, a.data(), &m, b.data(), &m, &zero, c.data(), &m, 1, 1);
    best = std::min(best, seconds_since(t0));
  }
  return cache[threads] = 8.0 * m * m * m / best;
}

}  // namespace bench
