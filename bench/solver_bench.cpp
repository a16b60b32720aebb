// Whole solves through the host layer on generated problems of moderate size,
// for s = 1, 4 and 8 right-hand sides. Counters: iterations and products per
// solve, and products per right-hand side (the fair comparison). Then the
// built-in problem of bksolve (2D Helmholtz, 500 x 500, k = 300, damping
// 1.5, point sources, rtol 1e-6, the complex-symmetric method), without a
// preconditioner and with ict: wall time per right-hand side at s = 1, 4, 8
// in one run, and the ratio of s = 8 to s = 1 (a block method should make
// that well below 1).
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "blockkrylov/csr.hpp"
#include "blockkrylov/examples.hpp"
#include "blockkrylov/preconditioners.hpp"
#include "blockkrylov/solver.hpp"

namespace {

using blockkrylov::complex;
using blockkrylov::CsrMatrix;
using blockkrylov::Method;
namespace examples = blockkrylov::examples;

const int kGrid = 80;  // n = 6400

const CsrMatrix& helmholtz() {
  static const CsrMatrix a = examples::helmholtz_2d(kGrid, kGrid, 20.0, 0.05);
  return a;
}
const CsrMatrix& convection() {
  static const CsrMatrix a = examples::convection_diffusion_2d(kGrid, kGrid, 20.0, {10.0, 30.0});
  return a;
}

void BM_Solve(benchmark::State& state, Method method) {
  const CsrMatrix& a = method == Method::symmetric ? helmholtz() : convection();
  const int s = static_cast<int>(state.range(0));
  const std::vector<complex> B = examples::point_sources(kGrid, kGrid, s);
  std::vector<complex> X(B.size());
  blockkrylov::Operator A = [&a](int k, const complex* x, complex* y) { a.multiply(k, x, y); };
  blockkrylov::Operator At = [&a](int k, const complex* x, complex* y) {
    a.multiply_transpose(k, x, y);
  };
  blockkrylov::Options opt;
  opt.rtol = 1e-8;
  blockkrylov::Report rep;
  for (auto _ : state) {
    std::fill(X.begin(), X.end(), complex(0.0));
    switch (method) {
      case Method::symmetric:
        rep = blockkrylov::solve_symmetric(a.n, s, A, B.data(), a.n, X.data(), a.n, opt);
        break;
      case Method::qmr:
        rep = blockkrylov::solve_qmr(a.n, s, A, At, B.data(), a.n, X.data(), a.n, opt);
        break;
      case Method::gmres:
        rep = blockkrylov::solve_gmres(a.n, s, A, B.data(), a.n, X.data(), a.n, opt);
        break;
    }
    benchmark::DoNotOptimize(X.data());
  }
  if (!rep.converged) state.SkipWithError(rep.message.c_str());
  state.counters["iterations"] = static_cast<double>(rep.iterations);
  state.counters["products"] = static_cast<double>(rep.products);
  state.counters["products_per_rhs"] = static_cast<double>(rep.products) / s;
}

BENCHMARK_CAPTURE(BM_Solve, symmetric, Method::symmetric)
    ->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Solve, qmr, Method::qmr)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Solve, gmres, Method::gmres)
    ->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_BuiltinPerRhs(benchmark::State& state, bool ict) {
  const int grid = 500;
  static const CsrMatrix a = examples::helmholtz_2d(grid, grid, 300.0, 1.5);
  blockkrylov::Options opt;
  opt.rtol = 1e-6;
  if (ict) opt.preconditioner = blockkrylov::precond::ict(a);
  blockkrylov::Operator A = [](int k, const complex* x, complex* y) { a.multiply(k, x, y); };
  double per_rhs[3] = {0, 0, 0};
  const int sizes[3] = {1, 4, 8};
  for (auto _ : state) {
    for (int i = 0; i < 3; ++i) {
      const int s = sizes[i];
      const std::vector<complex> B = examples::point_sources(grid, grid, 8);
      std::vector<complex> X(static_cast<std::size_t>(a.n) * s);
      const auto t0 = std::chrono::steady_clock::now();
      const auto rep = blockkrylov::solve_symmetric(a.n, s, A, B.data(), a.n, X.data(), a.n, opt);
      per_rhs[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / s;
      if (!rep.converged) state.SkipWithError(rep.message.c_str());
      state.counters["products_per_rhs_s" + std::to_string(s)] = static_cast<double>(rep.products) / s;
    }
  }
  state.counters["per_rhs_s1"] = per_rhs[0];
  state.counters["per_rhs_s4"] = per_rhs[1];
  state.counters["per_rhs_s8"] = per_rhs[2];
  state.counters["ratio_s8_s1"] = per_rhs[2] / per_rhs[0];
}
BENCHMARK_CAPTURE(BM_BuiltinPerRhs, none, false)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_BuiltinPerRhs, ict, true)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
