// The reflector set of a GMRES cycle and the three operations on it.
//
// Reflector i is H_i = I - v_i v_i^H / beta_i with v_i in column i of V (zero
// above row i, so H_i acts on rows i..n). With V_k the first k columns of V
// and T_k upper triangular, T(i,i) = beta_i, T(i,j) = v_i^H v_j (i < j),
//
//     Q_k = H_1 H_2 ... H_k = I - V_k T_k^{-1} V_k^H.
//
// LM holds T row-scaled by 1/beta_i: LM = U (unit upper, U(i,j) = T(i,j)/beta_i)
// above the diagonal and U^H below it, so T = D U and T^H = U^H D with
// D = diag(beta) real. Hence
//     Q_k^H z = z - V_k D^{-1} U^{-H} (V_k^H z)    (forward substitution, then / beta)
//     Q_k e_j = e_j - V_k U^{-1} D^{-1} (V_k^H e_j) (/ beta, then back substitution)
// and no basis vector is ever stored to apply Q or Q^H.
//
// Each operation makes one pass over the reflectors per product with V_k or
// V_k^H (a matrix-vector product), not one per reflector. Only entries on
// and below the diagonal of V are read: the top k x k part goes through a
// triangular product, rows k+1..n through a full one; every inner product
// v_i^H v_j (i < j) runs over rows j..n. Quotients are num * conj(d) / |d|^2
// and the substitutions accumulate in long double; each value is rounded to
// double once, when it is stored in work or LM.
//
// Rows split over ranks: the triangle (rows 1..k) lies on rank 0, whose rows
// come first; every other rank holds only rows below it, which enter the
// full products. The k-vectors V^H z and V^H v_j are summed across ranks
// before they are used, and the coefficients of a basis vector (which need
// row k) are formed on rank 0 and broadcast.
#include <algorithm>

#include "common/blas.hpp"
#include "common/comm.hpp"
#include "gmres/extended.hpp"
#include "gmres/gmres.hpp"

namespace bk {

// z <- Q_k^H z = H_k ... H_2 H_1 z.
//   k    in      number of reflectors to apply (k <= 0: nothing is done)
//   z    in,out  column of length n; on exit rows 1..k are the coefficients of
//                z against q_1..q_k and rows k+1..n the part still to reflect
//   V    in      Householder vectors 1..k, leading dimension n
//   beta in      beta_1..beta_k (all nonzero)
//   LM   in      coupling matrix; its strict lower triangle in rows 2..k is read
//   work scratch k entries (the coefficient vector w, then V_k's top rows times w)
void HOUSEREDUCE(const int* k, zc* z, const zc* V, const int* n, const zc* beta, const zc* LM,
                 const int* ldlm, zc* work) {
  const int kk = *k, nn = *n;
  if (kk <= 0) return;
  const auto v = mat(V, nn);
  const auto lm = mat(LM, *ldlm);
  zc* const w = work - 1;  // 1-based
  zc* const zz = z - 1;
  // Reflectors with entries: past row n (k > n) they are empty; with rows
  // split, rank 0 holds more rows than there are reflectors. Rows 1..top of
  // this rank hold the triangle.
  const int t = comm::split() ? kk : std::min(kk, nn);
  const int top = comm::root() ? t : 0;

  // w = V_k^H z: the triangle, then rows top+1..n in one pass.
  blas::zcopy(top, z, 1, work, 1);
  blas::ztrmv('L', 'C', 'N', top, V, nn, work, 1);
  for (int i = top + 1; i <= kk; ++i) w[i] = 0.0;
  blas::zgemv('C', nn - top, t, 1.0, v.at(top + 1, 1), nn, &zz[top + 1], 1, 1.0, work, 1);
  comm::sum(work, t);

  // Forward substitution with the unit lower triangle U^H (= lower part of LM).
  for (int i = 2; i <= kk; ++i) {
    zl acc = widen(w[i]);
    for (int l = i - 1; l >= 1; --l) acc -= ext::mul(widen(lm(i, l)), widen(w[l]));
    w[i] = narrow(acc);
  }
  for (int i = 1; i <= kk; ++i) w[i] = narrow(zdiv(widen(w[i]), widen(beta[i - 1])));

  // z = z - V_k w: rows top+1..n in one pass, then the triangle (w is not
  // needed after that, so the triangular product overwrites it).
  blas::zgemv('N', nn - top, t, -1.0, v.at(top + 1, 1), nn, work, 1, 1.0, &zz[top + 1], 1);
  blas::ztrmv('L', 'N', 'N', top, V, nn, work, 1);
  blas::zaxpy(top, -1.0, work, 1, z, 1);
}

// Adds reflector j to LM: for i < j, LM(j,i) = v_j^H v_i / beta_i and
// LM(i,j) = conj(LM(j,i)). j <= 1 writes nothing. Must follow the formation
// of reflector j and precede any use of it in HOUSEREDUCE or HOUSEBASISVEC.
void HOUSEUPDATELM(const int* j, const zc* V, const int* n, const zc* beta, zc* LM,
                   const int* ldlm) {
  const int jj = *j, nn = *n;
  if (jj <= 1) return;
  const auto v = mat(V, nn);
  const auto lm = mat(LM, *ldlm);
  // Column j of LM receives V(j:n, 1:j-1)^H v_j(j:n) in one pass: entry i is
  // v_i^H v_j = conj(v_j^H v_i). No rows (j > n) leaves zeros. A rank after
  // rank 0 holds rows below row j only: all of them enter.
  zc* const c = lm.at(1, jj);
  for (int i = 0; i < jj - 1; ++i) c[i] = 0.0;
  const int first = comm::root() ? jj : 1;
  blas::zgemv('C', nn - first + 1, jj - 1, 1.0, v.at(first, 1), nn, v.at(first, jj), 1, 1.0, c, 1);
  comm::sum(c, jj - 1);
  for (int i = 1; i <= jj - 1; ++i) {
    const zc t = narrow(zdiv(ext::conj(widen(lm(i, jj))), widen(beta[i - 1])));
    lm(jj, i) = t;
    lm(i, jj) = std::conj(t);
  }
}

// The same update, exported for the host after each orthogonalisation step.
void GMRESUPDATELM(const int* k, const zc* V, const int* n, const zc* beta, zc* LM,
                   const int* ldlm) {
  HOUSEUPDATELM(k, V, n, beta, LM, ldlm);
}

// y = Q e_k, the k-th basis vector of the cycle (unit length).
//   k    in      1 <= k <= n; reflectors 1..k are used, 1..n-1 when k = n
//                (the n-th reflector covers one entry and is the identity)
//   y    out     n entries
//   V, n, beta, LM, ldlm in  the reflector set (strict upper triangle of LM)
//   work scratch k entries
// V, beta and LM are only read, so y may be a column of V beyond column k.
void HOUSEBASISVEC(const int* k, zc* y, const zc* V, const int* n, const zc* beta, const zc* LM,
                   const int* ldlm, zc* work) {
  const int kk = *k, nn = *n;
  const auto v = mat(V, nn);
  const auto lm = mat(LM, *ldlm);
  zc* const w = work - 1;
  zc* const yy = y - 1;

  const bool mine = comm::root();  // rows 1..k are here
  for (int i = 1; i <= nn; ++i) yy[i] = 0.0;
  if (mine) yy[kk] = 1.0;
  const int L = (kk == nn && !comm::split()) ? nn - 1 : kk;

  if (mine) {
    // w = D^{-1} V_L^H e_k: the k-th entries of v_i, conjugated, over beta_i.
    for (int i = 1; i <= L; ++i)
      w[i] = narrow(zdiv(ext::conj(widen(v(kk, i))), widen(beta[i - 1])));

    // Back substitution with the unit upper triangle U (upper part of LM).
    for (int i = L - 1; i >= 1; --i) {
      zl acc = widen(w[i]);
      for (int l = i + 1; l <= L; ++l) acc -= ext::mul(widen(lm(i, l)), widen(w[l]));
      w[i] = narrow(acc);
    }
  }
  comm::bcast(work, L);

  // y = e_k - V_L w: rows top+1..n in one pass, then the triangle of rows 1..L.
  const int top = mine ? L : 0;
  blas::zgemv('N', nn - top, L, -1.0, v.at(top + 1, 1), nn, work, 1, 1.0, &yy[top + 1], 1);
  blas::ztrmv('L', 'N', 'N', top, V, nn, work, 1);
  blas::zaxpy(top, -1.0, work, 1, y, 1);
}

}  // namespace bk
