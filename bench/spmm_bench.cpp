// Sparse block products y = A x and y = A^T x of the CSR helper, for block
// widths 1, 4 and 8 on a 5-point grid matrix and a random sparse matrix.
#include <benchmark/benchmark.h>

#include <vector>

#include "blockkrylov/csr.hpp"
#include "blockkrylov/examples.hpp"

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
  const int k = static_cast<int>(state.range(0));
  std::vector<complex> x(static_cast<std::size_t>(a.n) * k, complex(1.0, -0.5)), y(x.size());
  for (auto _ : state) {
    if (transpose) a.multiply_transpose(k, x.data(), y.data());
    else a.multiply(k, x.data(), y.data());
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * a.nnz() * k);  // multiply-adds
  state.counters["n"] = a.n;
}

BENCHMARK_CAPTURE(BM_Spmm, grid, grid, false)->Arg(1)->Arg(4)->Arg(8);
BENCHMARK_CAPTURE(BM_Spmm, grid_transpose, grid, true)->Arg(1)->Arg(4)->Arg(8);
BENCHMARK_CAPTURE(BM_Spmm, random, random, false)->Arg(1)->Arg(4)->Arg(8);
BENCHMARK_CAPTURE(BM_Spmm, random_transpose, random, true)->Arg(1)->Arg(4)->Arg(8);

}  // namespace
