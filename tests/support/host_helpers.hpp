// Helpers shared by the host-layer tests: dense references for the sparse
// products, true residuals, and operators bound to a CsrMatrix.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "blockkrylov/csr.hpp"
#include "blockkrylov/problems.hpp"
#include "blockkrylov/solver.hpp"

namespace host_test {

using blockkrylov::complex;
using blockkrylov::CsrMatrix;

// Dense column-major copy of a CSR matrix.
inline std::vector<complex> dense(const CsrMatrix& a) {
  std::vector<complex> d(static_cast<std::size_t>(a.n) * a.n);
  for (int i = 0; i < a.n; ++i)
    for (std::int64_t p = a.rowptr[i]; p < a.rowptr[i + 1]; ++p)
      d[static_cast<std::size_t>(a.col[p]) * a.n + i] += a.val[p];
  return d;
}

inline blockkrylov::Operator op(const CsrMatrix& a) {
  return [&a](int k, const complex* x, complex* y) { a.multiply(k, x, y); };
}
inline blockkrylov::Operator op_transpose(const CsrMatrix& a) {
  return [&a](int k, const complex* x, complex* y) { a.multiply_transpose(k, x, y); };
}

inline double norm(const complex* x, int n) {
  double s = 0.0;
  for (int i = 0; i < n; ++i) s += std::norm(x[i]);
  return std::sqrt(s);
}

// ||b_j - A x_j|| / ||b_j|| for every column (0 for a zero b_j with x_j = 0).
inline std::vector<double> relative_residuals(const CsrMatrix& a, int s, const complex* B,
                                              const complex* X) {
  const int n = a.n;
  std::vector<complex> ax(static_cast<std::size_t>(n) * s);
  a.multiply(s, X, ax.data());
  std::vector<double> out(s);
  for (int j = 0; j < s; ++j) {
    double r = 0.0;
    for (int i = 0; i < n; ++i) r += std::norm(B[j * n + i] - ax[j * n + i]);
    const double b = norm(B + static_cast<std::size_t>(j) * n, n);
    out[j] = b > 0.0 ? std::sqrt(r) / b : std::sqrt(r);
  }
  return out;
}

inline double max_of(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m = std::max(m, x);
  return m;
}

// Runs one of the three methods on A X = B (leading dimensions n).
inline blockkrylov::Report solve(blockkrylov::Method m, const CsrMatrix& a, int s, const complex* B,
                                 complex* X, const blockkrylov::Options& opt) {
  switch (m) {
    case blockkrylov::Method::symmetric:
      return blockkrylov::solve_symmetric(a.n, s, op(a), B, a.n, X, a.n, opt);
    case blockkrylov::Method::qmr:
      return blockkrylov::solve_qmr(a.n, s, op(a), op_transpose(a), B, a.n, X, a.n, opt);
    case blockkrylov::Method::gmres:
      break;
  }
  return blockkrylov::solve_gmres(a.n, s, op(a), B, a.n, X, a.n, opt);
}

// Deterministic complex block with entries in [-1, 1) + i [-1, 1).
inline std::vector<complex> random_block(int n, int s, unsigned seed) {
  blockkrylov::problems::detail::SplitMix64 g{seed * 7919ULL + 1};
  std::vector<complex> b(static_cast<std::size_t>(n) * s);
  for (auto& z : b) z = complex(2 * g.uniform() - 1, 2 * g.uniform() - 1);
  return b;
}

}  // namespace host_test
