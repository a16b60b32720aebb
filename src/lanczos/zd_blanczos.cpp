// ZD_BLANCZOS: two-sided block Lanczos with block QMR for general A, by
// reverse communication with products by A and by A^T (plain transpose).
//
// Two sequences, biorthogonal in the bilinear form Y^T Z: right blocks V_n
// from A, left blocks W_n from A^T, with direction blocks P_n and Q_n. With
// V_1 = R_0 diag(rho_0)^-1 and W_1 the normalised starting left block:
//   d_n = W_n^T V_n,  e_n = Q_n^T A P_n,
//   P_1 = V_1, Q_1 = W_1, and for n >= 2
//   P_n = V_n - P_{n-1} e_{n-1}^-1 diag(xi_n) d_n,
//   Q_n = W_n - Q_{n-1} e_{n-1}^-T diag(rho_n) d_n^T,
//   A P_n   = V_n alpha_n + V_{n+1} diag(rho_{n+1}),  alpha_n = d_n^-1 e_n,
//   A^T Q_n = W_n beta_n  + W_{n+1} diag(xi_{n+1}),   beta_n = d_n^-T e_n^T.
// The block QMR step is the one of the symmetric driver, on the right-side
// Lanczos matrix [alpha_n; diag(rho_{n+1})]; gamma accumulates rho/xi column
// by column. No look-ahead: a singular or ill-conditioned d_n or e_n ends the
// solve with result 1.
//
// Protocol (REVCOM between calls):
//   0 start: normalise Vn and Wn, set up, form P_1, Q_1 -> 1, host: Zn = A Pn
//   1: alpha_n, beta_n, next right block                -> 2, host: Zn = A^T Qn
//   2: next left block, QMR update of X                 -> 3, X is current
//   3: next direction blocks                            -> 1, host: Zn = A Pn
// Any other REVCOM: record, result -REVCOM. A failing call leaves REVCOM as
// it was. jcur/jprev are exchanged at the end of a call with 2 only.
//
// The pass that forms W_{n+1} in a call with 2 also forms d_{n+1} =
// W_{n+1}^T V_{n+1} into panel 1 of DSVB, which the call with 3 tests.
#include "common/blas.hpp"
#include "common/records.hpp"
#include "lanczos/fused.hpp"
#include "lanczos/lanczos.hpp"
#include "lanczos/steps.hpp"

namespace bk {
namespace {

using lanczos::ConditionRecords;

const ConditionRecords kRecordsD = {
    "ERROR IN ZD_BLANCZOS:",
    "LINPACK SVD RETURN ERROR FOR d_n:",
    "SINGULAR [d_n] DISCOVERED:",
    ">>WARNING IN ZD_LANCZOS:NEAR BREAKDOWN IN LANCZOS:",
    ">>CONDITION NO. OF [d_n] = [Wn]^T * [Vn] IS BAD:",
};
const ConditionRecords kRecordsE = {
    "ERROR IN ZD_BLANCZOS:",
    "LINPACK SVD RETURN ERROR FOR e_n:",
    "SINGULAR [e_n] DISCOVERED:",
    ">>WARNING IN ZD_LANCZOS:NEAR BREAKDOWN IN LANCZOS:",
    ">>CONDITION NO. OF [e_n] = [Qn]^T * [A]*[Pn]  BAD:",
};

// The arguments of one call: those the symmetric driver has too (Z is Zn),
// then the left-side ones.
struct Two : lanczos::Blocks {
  zc *Wn, *Qn;
  double *xi, *xiold;
  zc *QRSW, *UQ;
};

// Start: offsets, normalised V_1 then W_1, QMR right-hand side, zeroed work
// arrays. X, Pn, Qn, gamma, rhoold and xiold are not touched.
int step_start(const Two& a) {
  const int ss = *a.s;
  *a.jcur = 0;
  *a.jprev = ss;
  if (lanczos::normalise_start(a.Vn, a.rho, a.n, a.s,
                               "Error in zd_blanczos: Vn col found with zero norm:") != 0)
    return 1;
  if (lanczos::normalise_start(a.Wn, a.xi, a.n, a.s,
                               "Error in zd_blanczos: Wn col found with zero norm:") != 0)
    return 1;
  lanczos::start_rhs(a.s, a.TAU, a.rho);
  for (int j = 0; j < ss; ++j) {
    a.rho[j] = 1.0;
    a.xi[j] = 1.0;
    a.gammaold[j] = 1.0;
  }
  lanczos::clear_work(a);
  lanczos::zero(a.UQ, 1LL * ss * ss);
  lanczos::zero(a.QRSW, (3LL * ss + 3) * 2 * ss);
  return 0;
}

// gamma, d_n, its test, and the direction blocks P_n and Q_n.
int step_p(const Two& a, bool first) {
  const int ss = *a.s;
  for (int j = 0; j < ss; ++j) a.gamma[j] = (a.rho[j] * a.gammaold[j]) / a.xi[j];

  // d_n: formed here on the start call, else by the call with 2.
  if (lanczos::coupling_test(a, first, false, a.Wn, a.Vn, a.DSVB, a.dsv, kRecordsD) != 0)
    return 1;

  if (first) {
    lanczos::copy_block(a.n, a.s, a.Vn, a.Pn);
    lanczos::copy_block(a.n, a.s, a.Wn, a.Qn);
  } else {
    // SVWORK block 1 = diag(xi) d_n, block 2 = diag(rho) d_n^T.
    const auto w = mat(a.SVWORK, ss);
    lanczos::scaled_rows(a.s, a.xi, a.DSVB, "N", w.at(1, 1));
    lanczos::scaled_rows(a.s, a.rho, a.DSVB, "T", w.at(1, ss + 1));
    // UP = e_{n-1}^-1 diag(xi) d_n, UQ = e_{n-1}^-T diag(rho) d_n^T.
    const zc* einv = mat(a.ESVB, ss).at(1, 3 * ss + 1);
    blas::zgemm('N', 'N', ss, ss, ss, zc(1.0, 0.0), einv, ss, w.at(1, 1), ss, zc(0.0, 0.0), a.UP,
                ss);
    blas::zgemm('T', 'N', ss, ss, ss, zc(1.0, 0.0), einv, ss, w.at(1, ss + 1), ss, zc(0.0, 0.0),
                a.UQ, ss);
    lanczos::fused_next_direction(*a.n, ss, a.Pn, a.Vn, a.UP);
    lanczos::fused_next_direction(*a.n, ss, a.Qn, a.Wn, a.UQ);
  }
  for (int j = 0; j < ss; ++j) a.gammaold[j] = a.gamma[j];
  return 0;
}

// e_n, its test, alpha_n and beta_n, and the next right block V_{n+1}.
int step_m(const Two& a) {
  const int ss = *a.s;
  const int ldq = 3 * ss + 3;
  if (lanczos::coupling_test(a, true, false, a.Qn, a.Z, a.ESVB, a.esv, kRecordsE) != 0) return 1;

  const zc* alpha = lanczos::right_coefficient(a);
  const zc* dinv = mat(a.DSVB, ss).at(1, 3 * ss + 1);
  zc* beta = mat(a.QRSW, ldq).at(ss + 1, *a.jcur + 1);
  blas::zgemm('T', 'T', ss, ss, ss, zc(1.0, 0.0), dinv, ss, a.ESVB, ss, zc(0.0, 0.0), beta, ldq);

  lanczos::fused_next_block(*a.n, ss, a.Z, a.Vn, alpha, ldq, a.rho, a.rhoold, nullptr, nullptr);
  return 0;
}

// The next left block W_{n+1} with d_{n+1} = W_{n+1}^T V_{n+1}, the newest
// Lanczos columns, and the QMR update.
int step_l(const Two& a) {
  const int ss = *a.s;
  const int ldq = 3 * ss + 3;
  const int jc = *a.jcur;
  const auto qw = mat(a.QRSW, ldq);
  lanczos::fused_next_block(*a.n, ss, a.Z, a.Wn, qw.at(ss + 1, jc + 1), ldq, a.xi, a.xiold, a.DSVB,
                            a.Vn, false);

  lanczos::qmr_column(a);
  // QRSW's block [0; beta_n; diag(xi_{n+1})] is kept for the record only.
  for (int j = 1; j <= ss; ++j)
    for (int k = 1; k <= ss; ++k) {
      qw(j, jc + k) = zc(0.0, 0.0);
      qw(2 * ss + j, jc + k) = k == j ? zc(a.xi[j - 1], 0.0) : zc(0.0, 0.0);
    }

  return lanczos::qmr_step(a, "Error in zd_blanczos: [Rnn] inverse QMR failure:");
}

}  // namespace

// n: order of A, ld of every block. s: block size (>= 1). REVCOM: protocol
// state (above). X: iterate block, holds X_0, changed only by the QMR update.
// Vn: R_0 on the start call, then the current right block. Wn: the starting
// left block on the start call (any block whose normalised form gives a
// well-conditioned d_1), then the current left block. Pn, Qn: direction
// blocks for A and A^T. D: QMR direction block. Zn: the host's product before
// a call with 1 or 2, scratch otherwise. gamma, gammaold, rho, rhoold, xi,
// xiold: s reals (rho, xi the norms divided out of the newest Vn, Wn).
// ESVB, DSVB: s x 4s panels of SVDINV_SS; esv, dsv: s+1 entries. QRS, QRSW:
// (3s+3) x 2s; RINV: s x 2s; UP, UQ: s x s; TAU: 2s x s; SVWORK: s x 3s.
// jcur, jprev: the calling thread's block offsets for this driver.
// Result: 0 with a request in REVCOM; 1 for a zero starting column or a
// breakdown; the QMR update's code; -REVCOM for an unknown REVCOM.
int ZD_BLANCZOS(const int* n, const int* s, int* REVCOM, zc* X, zc* Vn, zc* Wn, zc* Pn, zc* Qn,
                zc* D, zc* Zn, double* gamma, double* gammaold, double* rho, double* rhoold,
                double* xi, double* xiold, zc* ESVB, zc* esv, zc* DSVB, zc* dsv, zc* QRS,
                zc* RINV, zc* QRSW, zc* UP, zc* UQ, zc* TAU, zc* SVWORK, int* jcur,
                int* jprev) {
  const int state = *REVCOM;
  if (state < 0 || state > 3)
    return lanczos::bad_revcom("ERROR IN ZD_BLANCZOS:BAD INPUT REVCOM:", REVCOM);

  const Two a{{n, s, X, Vn, Pn, D, Zn, gamma, gammaold, rho, rhoold, ESVB, esv, DSVB, dsv, QRS,
               RINV, UP, TAU, SVWORK, jcur, jprev},
              Wn, Qn, xi, xiold, QRSW, UQ};
  switch (state) {
    case 1:
      if (step_m(a) != 0) return 1;
      *REVCOM = 2;
      return 0;
    case 2:
      if (const int r = step_l(a); r != 0) return r;
      *REVCOM = 3;
      return 0;
    default: {  // 0 or 3
      const bool first = state == 0;
      if (first && step_start(a) != 0) return 1;
      if (step_p(a, first) != 0) return 1;
      *REVCOM = 1;
      return 0;
    }
  }
}

}  // namespace bk
