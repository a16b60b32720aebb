// Explicit basis vectors and iterates of a block GMRES cycle.
//
// The basis q_j = Q e_j is never stored as such: it is built from the
// reflectors (HOUSEBASISVEC) or served from the cache at the back of V, where
// q_j lives in column m+1-j. The cache may use at most half of V and never a
// column that holds a Householder vector, so with k such columns it holds at
// most lim = min(m - k, floor(m/2)) vectors.
//
// The least-squares coefficients Y turn into iterates X(:, kept(l)) =
// sum_j Y(j, l) q_j, formed from the reflectors as one block. A right-hand
// side deflated at the start of the cycle was found to be
// b_u ~ sum_i y_i b_kept(i); by linearity its iterate is sum_i y_i x_kept(i).
#include <algorithm>

#include "common/blas.hpp"
#include "common/comm.hpp"
#include "gmres/extended.hpp"
#include "gmres/gmres.hpp"

namespace bk {

// w = q_j.
//   j     in      wanted index, >= 1
//   w     out     n entries
//   k     in      columns of V holding Householder vectors (the host passes the
//                 index of the reflector about to be formed, whose column is
//                 then free of cached vectors)
//   p     in,out  cache count (q_1..q_p cached): cut to lim when above it,
//                 and advanced by one when q_{p+1} is built below the cap
//   V     in,out  n x m; column m+1-j may receive q_j
//   n, beta, LM, m  in  the reflector set (LM is m x m)
//   work  scratch j entries
// A vector is cached only when it is q_{p+1}, so the count never claims a
// column that holds something else, whatever order the host asks in.
void PARENTBASISCONSTRUCT(const int* j, zc* w, const int* k, int* p, zc* V, const int* n,
                          const zc* beta, const zc* LM, const int* m, zc* work) {
  const int jj = *j, mm = *m, nn = *n;
  const auto v = mat(V, nn);
  const int lim = std::max(0, std::min(mm - *k, mm / 2));
  if (*p > lim) *p = lim;

  if (jj <= *p) {
    blas::zcopy(nn, v.at(1, mm + 1 - jj), 1, w, 1);
    return;
  }
  HOUSEBASISVEC(j, w, V, n, beta, LM, m, work);
  if (*p < lim && jj == *p + 1) {
    ++*p;
    blas::zcopy(nn, w, 1, v.at(1, mm + 1 - jj), 1);
  }
}

// Coefficients c = U^{-1} D^{-1} V_L^H (E_k y) of the combination
// Q_L E_k y = E_k y - V_L c, for one column y (rows 1..k) of Y. Only rows
// 1..min(k, n) of V enter, on and below the diagonal; sums, quotients and
// the back substitution carry long double, each entry rounded once.
static void combination(int L, int k, const Mat<const zc>& v, const Mat<const zc>& lm,
                        const zc* beta, const zc* y, zc* c) {
  for (int i = 1; i <= L; ++i) {
    zl acc = 0.0L;
    for (int r = i; r <= k; ++r) acc += ext::mul(ext::conj(widen(v(r, i))), widen(y[r - 1]));
    c[i - 1] = narrow(zdiv(acc, widen(beta[i - 1])));
  }
  for (int i = L - 1; i >= 1; --i) {
    zl acc = widen(c[i - 1]);
    for (int l = i + 1; l <= L; ++l) acc -= ext::mul(widen(lm(i, l)), widen(c[l - 1]));
    c[i - 1] = narrow(acc);
  }
}

// X(1:n, kept(l)) = sum_{j=1..k} Y(j, l) q_j for l = 1..s; the listed
// columns are replaced (k = 0 zeroes them), no other column is touched.
// With L = min(k, n-1) reflectors (the n-th is the identity) the sum is
// Q_L E_k Y(:, l) = E_k Y(:, l) - V_L C(:, l), so the iterates take one pass
// over V_L, not one per basis vector: a single product with the block C when
// the listed columns are equally spaced and C (L x s) fits in w, else one
// matrix-vector product per column. The cached basis vectors are not read.
//   k     in   number of basis vectors (order of the least-squares system)
//   s     in   number of kept right-hand sides (columns of Y)
//   p     in   cache count; not needed (kept for the callers' sequence)
//   kept  in   column of X for each column of Y
//   V, n, beta, LM, m  in  the reflector set (reflectors 1..min(k, n-1))
//   work  scratch k entries
//   Y     in   rows 1..k, leading dimension ldy
//   X     in,out  leading dimension ldx
//   w     scratch n entries
void GMRESITERATEUPDATE(const int* k, const int* s, const int* /*p*/, const int* kept,
                        const zc* V, const int* n, const zc* beta, const zc* LM, const int* m,
                        zc* work, const zc* Y, const int* ldy, zc* X, const int* ldx, zc* w) {
  // With rows split over ranks, rows 1..k lie on rank 0, which holds more.
  const bool split = comm::split(), mine = comm::root();
  const int kk = split ? *k : std::min(*k, *n), ns = *s, nn = *n;
  const auto v = mat(V, nn);
  const auto lm = mat(LM, *m);
  const auto y = mat(Y, *ldy);
  const auto x = mat(X, *ldx);
  const int L = split ? kk : std::min(kk, nn - 1);
  const int top = mine ? L : 0;  // rows of the triangle held here

  for (int l = 1; l <= ns; ++l)
    for (int i = 1; i <= nn; ++i) x(i, kept[l - 1]) = mine && i <= kk ? y(i, l) : zc(0.0);
  if (L <= 0 || ns <= 0) return;

  const int step = ns > 1 ? kept[1] - kept[0] : 1;
  bool block = !split && ns > 1 && step > 0 && static_cast<long long>(L) * ns <= nn;
  for (int l = 2; block && l < ns; ++l) block = kept[l] - kept[l - 1] == step;

  if (block) {
    for (int l = 1; l <= ns; ++l) combination(L, kk, v, lm, beta, y.at(1, l), w + (l - 1) * L);
    blas::zgemm('N', 'N', nn - L, ns, L, -1.0, v.at(L + 1, 1), nn, w, L, 1.0,
                x.at(L + 1, kept[0]), step * *ldx);
    blas::ztrmm('L', 'L', 'N', 'N', L, ns, 1.0, V, nn, w, L);
    for (int l = 1; l <= ns; ++l)
      blas::zaxpy(L, -1.0, w + (l - 1) * L, 1, x.at(1, kept[l - 1]), 1);
    return;
  }
  // Column by column; across ranks the coefficients (which read rows 1..k)
  // come from rank 0.
  for (int l = 1; l <= ns; ++l) {
    if (mine) combination(L, kk, v, lm, beta, y.at(1, l), work);
    comm::bcast(work, L);
    blas::zgemv('N', nn - top, L, -1.0, v.at(top + 1, 1), nn, work, 1, 1.0,
                x.at(top + 1, kept[l - 1]), 1);
    blas::ztrmv('L', 'N', 'N', top, V, nn, work, 1);
    blas::zaxpy(top, -1.0, work, 1, x.at(1, kept[l - 1]), 1);
  }
}

// X(1:n, dtab(d,1)) = sum_{i=1..dtab(d,2)} dcoef(i, d) X(1:n, kept(i)) for
// d = 1..ndefl. All targets are cleared before any is accumulated; the kept
// iterates must already be final (call after GMRESITERATEUPDATE).
//   ndefl  in      number of deflated right-hand sides (0: nothing changes)
//   kept   in      columns of X of the kept right-hand sides
//   dtab   in      ldd x 2 deflation table
//   dcoef  in      coefficients, one column per deflated right-hand side
//   X      in,out  leading dimension n
void GMRESDEFLATEDITERATES(const int* ndefl, const int* kept, const int* dtab, const int* ldd,
                           const zc* dcoef, const int* ldc, zc* X, const int* n) {
  const int nd = *ndefl, nn = *n;
  const auto dt = mat(dtab, *ldd);
  const auto dc = mat(dcoef, *ldc);
  const auto x = mat(X, nn);

  for (int d = 1; d <= nd; ++d)
    for (int i = 1; i <= nn; ++i) x(i, dt(d, 1)) = 0.0;
  for (int d = 1; d <= nd; ++d)
    for (int i = 1; i <= dt(d, 2); ++i)
      blas::zaxpy(nn, dc(i, d), x.at(1, kept[i - 1]), 1, x.at(1, dt(d, 1)), 1);
}

}  // namespace bk
