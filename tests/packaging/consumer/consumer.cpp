// Uses the installed header-only C++ layer: a generated complex-symmetric
// problem solved with two right-hand sides.
#include <blockkrylov/csr.hpp>
#include <blockkrylov/examples.hpp>
#include <blockkrylov/solver.hpp>
#include <cstdio>

int main() {
  namespace bk = blockkrylov;
  const bk::CsrMatrix A = bk::examples::helmholtz_2d(20, 20, 5.0, 0.5);
  const auto B = bk::examples::point_sources(20, 20, 2);
  std::vector<bk::complex> X(B.size());
  const bk::Operator op = [&](int k, const bk::complex* x, bk::complex* y) { A.multiply(k, x, y); };
  const bk::Report r = bk::solve_symmetric(A.n, 2, op, B.data(), A.n, X.data(), A.n, bk::Options());
  std::printf("consumer_cxx: %s (%ld products)\n", r.converged ? "OK" : r.message.c_str(), r.products);
  return r.converged ? 0 : 1;
}
