// Start of a block GMRES cycle: Householder QR of the block of initial
// residuals B (n x s) with deflation of dependent columns.
//
// Columns are taken in order u = 1..s. Column u is reduced by the reflectors
// already formed, Q_{j-1}^H b_u = (r_1..r_{j-1}, rest); reflector j maps the
// rest onto -sigma_j e_j, and |sigma_j| is the norm of the part of b_u that
// the kept columns before it do not explain. A column with |sigma_j| > tol is
// kept at position j: b_u = Q_j (R(1..j, j), 0, ...). Otherwise it is
// deflated: b_u ~ Q_{j-1} r = sum_i y_i b_kept(i) with R11 y = r, R11 the
// leading triangle of the kept columns, and its iterate will later be the
// same combination of kept iterates. A deflated column gives up its position.
//
// The first p = min(s_k, floor(m/2)) basis vectors q_k = Q e_k are then
// cached at the back of V (q_k in column m+1-k) for the host's first products.
#include <algorithm>
#include <cmath>

#include "common/blas.hpp"
#include "common/comm.hpp"
#include "gmres/extended.hpp"
#include "gmres/gmres.hpp"

namespace bk {

// Returns ndefl, the number of deflated columns; s_k = s - ndefl are kept.
//   s      in      columns of the block, >= 1
//   tol    in      absolute deflation threshold on |sigma_j| (a NaN compares
//                  unordered and keeps the column); must be >= 0
//   p      out     number of cached basis vectors (see below)
//   V      in,out  n x m. In: B in columns 1..s. Out: Householder vectors
//                  1..s_k, and q_k in column m+1-k for k = 1..p
//   n      in      vector length, leading dimension of V; s <= n
//   vpiv, beta, sigma  out  reflector data, positions 1..s_k
//   R      out     ldr x s, cleared; column j = 1..s_k holds R(1..j, j) with
//                  R(j,j) = -sigma_j (ldr >= s)
//   LM     out     m x m: identity, then filled for positions 1..s_k
//   m      in      capacity of the reflector set (columns of V, order of LM)
//   kept   out     s entries: block column kept at each position; 0 after s_k
//   dtab   out     ldd x 2, cleared; row d = (block column, kept columns
//                  before it) of the d-th deflated column (ldd >= s-1)
//   dcoef  out     ldc x s, cleared; column d = coefficients y of the d-th
//                  deflated column in rows 1..dtab(d,2) (ldc >= s-1)
//   work   scratch s entries
// Column 1 is never tested and must be nonzero. When the last column is
// deflated, position s_k+1 (column of V and R, entry of vpiv/beta/sigma)
// keeps what was computed for it; the next step overwrites it.
// The cache never reaches the columns holding reflectors: p is also capped at
// m - s_k, which only bites when s_k > ceil(m/2).
int INITIALBLOCKGMRES(const int* s, const double* tol, int* p, zc* V, const int* n, zc* vpiv,
                      zc* beta, zc* sigma, zc* R, const int* ldr, zc* LM, const int* m,
                      int* kept, int* dtab, const int* ldd, zc* dcoef, const int* ldc,
                      zc* work) {
  const int ns = *s, nn = *n, mm = *m;
  require_pivot_rows(mm, nn);
  const bool mine = comm::root();  // rows 1..m are here
  const auto v = mat(V, nn);
  const auto r = mat(R, *ldr);
  const auto lm = mat(LM, mm);
  const auto dt = mat(dtab, *ldd);
  const auto dc = mat(dcoef, *ldc);

  for (int jj = 1; jj <= mm; ++jj)
    for (int i = 1; i <= mm; ++i) lm(i, jj) = (i == jj) ? 1.0 : 0.0;
  for (int jj = 1; jj <= ns; ++jj) {
    for (int i = 1; i <= *ldr; ++i) r(i, jj) = 0.0;
    for (int i = 1; i <= *ldc; ++i) dc(i, jj) = 0.0;
    kept[jj - 1] = 0;
  }
  for (int i = 1; i <= *ldd; ++i) dt(i, 1) = dt(i, 2) = 0;
  int ndefl = 0;

  // First column: always kept, never tested.
  const int one = 1;
  kept[0] = 1;
  house(&one, n, v.at(1, 1), &vpiv[0], &beta[0], &sigma[0], nullptr);
  if (mine) v(1, 1) = vpiv[0];
  r(1, 1) = -sigma[0];

  int j = 1;
  for (int u = 2; u <= ns; ++u) {
    ++j;
    if (j != u) blas::zcopy(nn, v.at(1, u), 1, v.at(1, j), 1);
    const int nref = j - 1;
    HOUSEREDUCE(&nref, v.at(1, j), V, n, beta, LM, m, work);
    house(&j, n, v.at(1, j), &vpiv[j - 1], &beta[j - 1], &sigma[j - 1], work);
    for (int i = 1; i <= j - 1; ++i) {
      r(i, j) = work[i - 1];
      if (mine) v(i, j) = 0.0;
    }
    if (mine) v(j, j) = vpiv[j - 1];
    r(j, j) = -sigma[j - 1];

    if (!(std::abs(sigma[j - 1]) <= *tol)) {  // kept (also when unordered)
      kept[j - 1] = u;
      HOUSEUPDATELM(&j, V, n, beta, LM, m);
      continue;
    }

    // Deflated: solve R11 y = R(1..j-1, j) in place by back substitution.
    const int d = ++ndefl;
    dt(d, 1) = u;
    dt(d, 2) = j - 1;
    r(j - 1, j) = narrow(zdiv(widen(r(j - 1, j)), widen(r(j - 1, j - 1))));
    for (int i = j - 2; i >= 1; --i) {
      zl acc = widen(r(i, j));
      for (int l = i + 1; l <= j - 1; ++l) acc -= ext::mul(widen(r(i, l)), widen(r(l, j)));
      r(i, j) = narrow(zdiv(acc, widen(r(i, i))));
    }
    for (int i = 1; i <= j - 1; ++i) dc(i, d) = r(i, j);
    --j;
  }

  const int nkept = ns - ndefl;
  const int pp = std::max(0, std::min({nkept, mm / 2, mm - nkept}));
  *p = pp;
  for (int k = 1; k <= pp; ++k) HOUSEBASISVEC(&k, v.at(1, mm + 1 - k), V, n, beta, LM, m, work);
  return ndefl;
}

}  // namespace bk
