// Sparse block products y = A x and y = A^T x of the CSR helper, for block
// widths 1, 4 and 8 on a 5-point grid matrix and a random sparse matrix, on 1
// and 2 threads. The bound is the bytes a product must move at this
// machine's triad bandwidth (measured in the same run): the matrix once
// (16 + 4 bytes an entry, 8 a row pointer; the transpose pattern's extra
// index too for A^T), x read and y written once (16 n k bytes each).
#include <benchmark/benchmark.h>

#include <vector>

#include "blockkrylov/csr.hpp"
#include "blockkrylov/examples.hpp"
#include "machine.hpp"

namespace {

using blockkrylov::complex;
using blockkrylov::CsrMatrix;
namespace examples = blockkrylov::examples;

const CsrMatrix& grid() {
  static const CsrMatrix a = examples::convection_diffusion_2d(300, 300, 20.0, {10.0, 30.0});
  return a;
}
const CsrMatrix& random() {
  static const CsrMatrix a = examples::random_sparse(90000, 10, 1, 1.5);
  return a;
}

void BM_Spmm(benchmark::State& state, const CsrMatrix& (*matrix)(), bool transpose) {
  const CsrMatrix& a = matrix();
  const int k = static_cast<int>(state.range(0)), threads = static_cast<int>(state.range(1));
  bench::set_threads(threads);
  const double bandwidth = bench::triad_bandwidth(threads);
  std::vector<complex> x(static_cast<std::size_t>(a.n) * k, complex(1.0, -0.5)), y(x.size());
  const auto t0 = bench::Clock::now();
  for (auto _ : state) {
    if (transpose) a.multiply_transpose(k, x.data(), y.data());
    else a.multiply(k, x.data(), y.data());
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * a.nnz() * k);  // multiply-adds
  state.counters["n"] = a.n;
  const double wall = bench::seconds_since(t0);
  const double bytes = a.nnz() * (transpose ? 28.0 : 20.0) + 8.0 * (a.n + 1) + 32.0 * a.n * k;
  const double bound = bytes / bandwidth;
  state.counters["bound_ms"] = 1e3 * bound;
  state.counters["ratio"] = wall / static_cast<double>(state.iterations()) / bound;
  bench::set_threads(1);
}

BENCHMARK_CAPTURE(BM_Spmm, grid, grid, false)->ArgsProduct({{1, 4, 8}, {1, 2}})->UseRealTime();
BENCHMARK_CAPTURE(BM_Spmm, grid_transpose, grid, true)->ArgsProduct({{1, 4, 8}, {1, 2}})->UseRealTime();
BENCHMARK_CAPTURE(BM_Spmm, random, random, false)->ArgsProduct({{1, 4, 8}, {1, 2}})->UseRealTime();
BENCHMARK_CAPTURE(BM_Spmm, random_transpose, random, true)->ArgsProduct({{1, 4, 8}, {1, 2}})->UseRealTime();

}  // namespace
