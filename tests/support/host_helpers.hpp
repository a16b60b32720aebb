// Helpers shared by the host-layer tests: operators bound to a CsrMatrix, the
// three solvers behind one call, and true residuals recomputed independently.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "blockkrylov/csr.hpp"
#include "blockkrylov/examples.hpp"
#include "blockkrylov/solver.hpp"

namespace host_test {

using namespace blockkrylov;
using Block = std::vector<complex>;

// Dense column-major copy of a CSR matrix.
inline Block dense(const CsrMatrix& a) {
  Block d(static_cast<std::size_t>(a.n) * a.n);
  for (int i = 0; i < a.n; ++i)
    for (std::int64_t p = a.rowptr[i]; p < a.rowptr[i + 1]; ++p)
      d[static_cast<std::size_t>(a.col[p]) * a.n + i] += a.val[p];
  return d;
}

inline Operator op(const CsrMatrix& a, bool transpose = false) {
  return [&a, transpose](int k, const complex* x, complex* y) {
    transpose ? a.multiply_transpose(k, x, y) : a.multiply(k, x, y);
  };
}

// Runs method m on A X = B; At serves the two-sided method only.
inline Report run(Method m, int n, int s, const Operator& A, const Operator& At, const complex* B,
                  int ldb, complex* X, int ldx, const Options& opt) {
  switch (m) {
    case Method::symmetric: return solve_symmetric(n, s, A, B, ldb, X, ldx, opt);
    case Method::qmr: return solve_qmr(n, s, A, At, B, ldb, X, ldx, opt);
    case Method::gmres: break;
  }
  return solve_gmres(n, s, A, B, ldb, X, ldx, opt);
}
inline Report solve(Method m, const CsrMatrix& a, int s, const complex* B, complex* X,
                    const Options& opt) {
  return run(m, a.n, s, op(a), op(a, true), B, a.n, X, a.n, opt);
}

inline Options with_rtol(double rtol) {
  Options o;
  o.rtol = rtol;
  return o;
}

inline double max_of(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

// Recomputes ||b_j - A x_j|| / ||b_j|| (the plain norm for a zero b_j) and
// expects the reported residuals to be these; with rtol > 0, also that the
// solve converged and each one meets rtol. Returns the true residuals.
inline std::vector<double> expect_residuals(const CsrMatrix& a, int s, const complex* B,
                                            const complex* X, const Report& rep, double rtol = 0) {
  EXPECT_TRUE(rtol <= 0 || (rep.converged && rep.status == Status::converged)) << rep.message;
  const std::size_t n = a.n;
  Block ax(n * s);
  a.multiply(s, X, ax.data());
  std::vector<double> res(s);
  for (int j = 0; j < s; ++j) {
    // Sums of squares in long double: systems near the ends of the double
    // range are checked too.
    long double r = 0.0L, b = 0.0L;
    for (std::size_t i = j * n; i < (j + 1) * n; ++i)
      r += std::norm(std::complex<long double>(B[i] - ax[i])),
          b += std::norm(std::complex<long double>(B[i]));
    res[j] = static_cast<double>(std::sqrt(b > 0.0L ? r / b : r));
    if (static_cast<std::size_t>(j) < rep.residuals.size()) {
      EXPECT_NEAR(rep.residuals[j], res[j], 1e-6 * res[j] + 1e-15) << "column " << j;
    }
    if (rtol > 0) { EXPECT_LE(res[j], rtol * (1 + 1e-6)) << "column " << j << ": " << rep.message; }
  }
  EXPECT_EQ(rep.residuals.size(), res.size()) << rep.message;
  return res;
}

// Deterministic complex block with entries in [-1, 1) + i [-1, 1).
inline Block random_block(int n, int s, unsigned seed) {
  examples::detail::SplitMix64 g{seed * 7919ULL + 1};
  Block b(static_cast<std::size_t>(n) * s);
  for (auto& z : b) z = complex(2 * g.uniform() - 1, 2 * g.uniform() - 1);
  return b;
}

}  // namespace host_test
