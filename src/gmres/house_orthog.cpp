// One Arnoldi step of the block GMRES with Householder orthogonalisation.
//
// The host has placed z = A q_jcol in column k of V, k - 1 reflectors being
// formed. Reducing z by Q_{k-1}^H gives its coefficients against q_1..q_{k-1}
// in rows 1..k-1 and a remainder in rows k..n; reflector k maps the remainder
// onto -sigma_k e_k. Then
//     A q_jcol = Q_k (H(1..k, jcol), 0, ..., 0)^T,  H(k, jcol) = -sigma_k,
// and |sigma_k| is the norm of the part of A q_jcol outside the current basis:
// when it does not exceed tol the new direction is negligible (deflation).
#include <cmath>

#include "common/comm.hpp"
#include "gmres/gmres.hpp"

namespace bk {

// Returns 1 (and adds 1 to ndefl) when |sigma_k| <= tol, else 0. A NaN sigma
// or tol compares unordered and counts as kept.
//   jcol  in      column of H that receives the result
//   k     in      column of V holding z, and index of the reflector to form;
//                 reflectors 1..k-1 must exist and be in LM
//   tol   in      absolute deflation threshold
//   ndefl in,out  deflation counter of the cycle
//   V     in,out  column k: z in, Householder vector v_k out (rows 1..k-1
//                 zero, row k = vpiv(k)); k > n ends the process (HOUSE1)
//   n     in      vector length, leading dimension of V
//   vpiv, sigma   out     entry k
//   beta  in,out  entries 1..k-1 read, entry k written
//   LM, ldlm      in      coupling matrix of reflectors 1..k-1 (not updated here:
//                         the host adds reflector k with GMRESUPDATELM)
//   H, ldh        out     rows 1..k of column jcol; rows below are not written
//   work  scratch k-1 entries
// A deflated column is still fully written; the host decides what to do next.
int GMRESHOUSEORTHOG(const int* jcol, const int* k, const double* tol, int* ndefl, zc* V,
                     const int* n, zc* vpiv, zc* beta, zc* sigma, const zc* LM,
                     const int* ldlm, zc* H, const int* ldh, zc* work) {
  const int kk = *k, jc = *jcol;
  const auto v = mat(V, *n);
  const auto h = mat(H, *ldh);

  const int nref = kk - 1;
  HOUSEREDUCE(&nref, v.at(1, kk), V, n, beta, LM, ldlm, work);
  // Rows 1..k-1 of the reduced z are the coefficients; work receives them
  // (from rank 0, where those rows are, when rows are split).
  house(k, n, v.at(1, kk), &vpiv[kk - 1], &beta[kk - 1], &sigma[kk - 1], work);

  const bool mine = comm::root();
  for (int i = 1; i <= kk - 1; ++i) {
    h(i, jc) = work[i - 1];
    if (mine) v(i, kk) = 0.0;
  }
  h(kk, jc) = -sigma[kk - 1];
  if (mine) v(kk, kk) = vpiv[kk - 1];

  if (std::abs(sigma[kk - 1]) <= *tol) {
    ++*ndefl;
    return 1;
  }
  return 0;
}

}  // namespace bk
