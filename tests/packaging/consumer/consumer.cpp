// Uses the installed header-only C++ layer: a generated complex-symmetric
// problem solved with two right-hand sides.
#include <blockkrylov/csr.hpp>
#include <blockkrylov/examples.hpp>
#include <blockkrylov/solver.hpp>
#include <cstdio>
#include <vector>

int main() {
  using blockkrylov::complex;
  const int g = 20, n = g * g, s = 2;
  const blockkrylov::CsrMatrix A = blockkrylov::examples::helmholtz_2d(g, g, 5.0, 0.5);
  const std::vector<complex> B = blockkrylov::examples::point_sources(g, g, s);
  std::vector<complex> X(static_cast<size_t>(n) * s, complex(0.0, 0.0));
  blockkrylov::Operator op = [&](int k, const complex* x, complex* y) { A.multiply(k, x, y); };
  blockkrylov::Options opt;
  opt.rtol = 1e-8;
  const blockkrylov::Report r = blockkrylov::solve_symmetric(n, s, op, B.data(), n, X.data(), n, opt);
  if (!r.converged) {
    std::printf("consumer_cxx: %s\n", r.message.c_str());
    return 1;
  }
  std::printf("consumer_cxx: OK (%ld products)\n", r.products);
  return 0;
}
