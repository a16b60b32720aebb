// ZD_BQMR1: one block QMR step.
//
// The Lanczos drivers build A [P_1 .. P_n] = [V_1 .. V_{n+1}] L_n with L_n block
// lower bidiagonal (diagonal blocks alpha_k, subdiagonal blocks diag(rho_{k+1})).
// The QMR iterate is X_n = X_0 + [P_1 .. P_n] z with z minimising
// || [diag(rho_0); 0; ...] - L_n z ||. With L_n = Q R, R is block upper
// bidiagonal; this step adds one block column:
//   1. the previous step's s reflectors turn the new column's rows
//      [0; alpha_n] into [R_{n-1,n}; *] (block rows n-1 and n);
//   2. s new reflectors (HOUSE1) reduce rows [*; diag(rho_{n+1})] to the upper
//      triangle R_nn;
//   3. R_nn is inverted (the "[Rnn]" of the records);
//   4. the new reflectors act on the right-hand side block TAU = [tau~_n; 0],
//      giving [tau_n; tau~_{n+1}];
//   5. D_n = (P_n - D_{n-1} R_{n-1,n}) R_nn^-1 and X := X + D_n tau_n, since
//      [D_1 .. D_n] R = [P_1 .. P_n].
//
// Column jcur+j of QRS (ld 3s+3) holds: rows 1..s R_{n-1,n}(:, j); rows
// s+1..s+j-1 R_nn(1:j-1, j); row s+j R_nn(j, j) = -sigma_j; rows s+j+1..3s the
// tail of reflector j; rows 3s+1..3s+3 its vpiv, beta, sigma. Reflector j
// acts on rows s+1..3s of its own block and, one step later, on rows 1..2s of
// the next block, whose block rows n and n+1 are this step's n+1 and n+2.
// A zeroed previous block acts as the identity, so the first step of a solve
// needs no special case.
#include "common/blas.hpp"
#include "common/records.hpp"
#include "gmres/gmres.hpp"
#include "lanczos/lanczos.hpp"

namespace bk {

namespace lanczos {

// Steps 1-4: everything but the n-length update of D and X (arguments and
// results as ZD_BQMR1's).
int qmr_reduce(const int* s, const int* jcur, const int* jprev, zc* QRS, zc* RINV, zc* TAU) {
  const int ss = *s, jc = *jcur, jp = *jprev;
  const int two = 2 * ss;
  const int ldq = 3 * ss + 3;
  const auto Q = mat(QRS, ldq);
  const auto R = mat(RINV, ss);
  const auto T = mat(TAU, two);
  const int ivp = 3 * ss + 1, ibeta = 3 * ss + 2, isig = 3 * ss + 3;  // reflector scalars

  // 1. Previous step's reflectors on rows 1..2s of every new column.
  for (int j = 1; j <= ss; ++j)
    for (int i = 1; i <= ss; ++i)
      PMVECT1(&i, &two, Q.at(ss + 1, jp + i), Q.at(ivp, jp + i), Q.at(ibeta, jp + i),
              Q.at(1, jc + j));

  // 2. New reflectors, column by column, on rows s+1..3s.
  for (int j = 1; j <= ss; ++j) {
    zc* x = Q.at(ss + 1, jc + j);
    for (int i = 1; i <= j - 1; ++i)
      PMVECT1(&i, &two, Q.at(ss + 1, jc + i), Q.at(ivp, jc + i), Q.at(ibeta, jc + i), x);
    zc vpiv, beta, sigma;
    HOUSE1(&j, &two, x, &vpiv, &beta, &sigma);
    if (is_exact_zero(beta)) return 1;
    Q(ivp, jc + j) = vpiv;
    Q(ibeta, jc + j) = beta;
    Q(isig, jc + j) = sigma;
    Q(ss + j, jc + j) = -sigma;
  }

  // 3. R_nn into RINV, inverted in place.
  for (int j = 1; j <= ss; ++j) blas::zcopy(j, Q.at(ss + 1, jc + j), 1, R.at(1, jc + j), 1);
  const int k = lapack::ztrtri('U', 'N', ss, R.at(1, jc + 1), ss);
  if (k != 0) {
    record("ERROR IN ZD_BQMR1:SINGULAR [Rnn] FOUND:");
    record(">>LANZCOS BREAKDOWN:");
    return k;
  }

  // 4. New reflectors on the right-hand side.
  for (int j = 1; j <= ss; ++j)
    for (int i = 1; i <= ss; ++i)
      PMVECT1(&i, &two, Q.at(ss + 1, jc + i), Q.at(ivp, jc + i), Q.at(ibeta, jc + i),
              T.at(1, j));

  return 0;
}

}  // namespace lanczos

// n: vector length (ld of D, P, X, WK); s: block size (>= 1).
// jcur, jprev: column offsets (0 or s) of this step's and the previous step's
//   blocks in QRS and RINV.
// QRS: (3s+3) x 2s, in/out, layout above. On entry the current block holds
//   [0; alpha_n; diag(rho_{n+1})] in rows 1..3s.
// RINV: s x 2s, out: columns jcur+1..jcur+s get R_nn^-1 (upper triangle).
// TAU: 2s x s, in/out: [tau~_n; 0] on entry, [tau_n; tau~_{n+1}] on return.
// D: in/out, D_{n-1} -> D_n. P: in, P_n. X: in/out. WK: scratch.
// Result: 0; 1 when a new reflector has beta exactly zero (nothing written but
// QRS); k when R_nn(k, k) is exactly zero (two records; QRS complete, TAU, D,
// X, WK untouched).
int ZD_BQMR1(const int* n, const int* s, const int* jcur, const int* jprev, zc* QRS, zc* RINV,
             zc* TAU, zc* D, const zc* P, zc* X, zc* WK) {
  if (const int r = lanczos::qmr_reduce(s, jcur, jprev, QRS, RINV, TAU); r != 0) return r;
  const int nn = *n, ss = *s, jc = *jcur;
  const int two = 2 * ss;
  const int ldq = 3 * ss + 3;
  const auto Q = mat(QRS, ldq);
  const auto R = mat(RINV, ss);

  // 5. D_n = (P_n - D_{n-1} R_{n-1,n}) R_nn^-1 ...
  const zc one(1.0, 0.0), zero(0.0, 0.0);
  blas::zgemm('N', 'N', nn, ss, ss, one, D, nn, Q.at(1, jc + 1), ldq, zero, WK, nn);
  const auto d = mat(D, nn);
  const auto p = mat(P, nn);
  const auto wk = mat(WK, nn);
  for (int j = 1; j <= ss; ++j) blas::zcopy(nn, p.at(1, j), 1, d.at(1, j), 1);
  for (int j = 1; j <= ss; ++j) blas::zaxpy(nn, zc(-1.0, -0.0), wk.at(1, j), 1, d.at(1, j), 1);
  blas::ztrmm('R', 'U', 'N', 'N', nn, ss, one, R.at(1, jc + 1), ss, D, nn);

  // ... and X := X + D_n tau_n.
  blas::zgemm('N', 'N', nn, ss, ss, one, D, nn, TAU, two, one, X, nn);
  return 0;
}

}  // namespace bk
