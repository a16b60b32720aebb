// ZDSYM_BLANCZOS1: block Lanczos with block QMR for complex-symmetric A
// (A = A^T, not Hermitian), by reverse communication.
//
// With the bilinear form Y^T Z (no conjugation) one sequence of Lanczos
// blocks suffices. With rho_0 the column norms of R_0 = B - A X_0 and
// V_1 = R_0 diag(rho_0)^-1:
//   d_n = V_n^T V_n,  e_n = P_n^T A P_n,
//   P_1 = V_1,  P_n = V_n - P_{n-1} e_{n-1}^-1 diag(rho_n) d_n,
//   A P_n = V_n alpha_n + V_{n+1} diag(rho_{n+1}),  alpha_n = d_n^-1 e_n.
// So A [P_1 .. P_n] = [V_1 .. V_{n+1}] L_n with L_n block lower bidiagonal,
// and after every block step ZD_BQMR1 moves X to the minimiser of the quasi
// residual || [diag(rho_0); 0; ...] - L_n z ||. There is no look-ahead: a
// singular or ill-conditioned d_n or e_n (condition number above 1e10) ends
// the solve with result 1.
//
// Protocol (REVCOM between calls):
//   0 start: normalise Vn, set up, form P_1          -> 1, host: APn = A Pn
//   1: use A Pn, next Lanczos block, QMR update of X -> 2, X is current
//   2: next direction block                          -> 1, host: APn = A Pn
// Any other REVCOM: record, result -REVCOM. A failing call leaves REVCOM as
// it was. jcur/jprev (the calling thread's slots) say which column block of
// QRS and RINV is the current step's; they are exchanged after every QMR
// update.
//
// The pass that forms V_{n+1} in a call with 1 also forms d_{n+1} =
// V_{n+1}^T V_{n+1} into panel 1 of DSVB (panel 4, d_n^-1, is used before
// that), so the call with 2 tests d_{n+1} without another pass over Vn.
#include "common/blas.hpp"
#include "common/records.hpp"
#include "lanczos/fused.hpp"
#include "lanczos/lanczos.hpp"
#include "lanczos/steps.hpp"

namespace bk {
namespace {

using lanczos::Blocks;
using lanczos::ConditionRecords;

const ConditionRecords kRecordsD = {
    "ERROR IN ZDSYM_BLANCZOS1:",
    "LINPACK SVD RETURN ERROR FOR d_n:",
    "SINGULAR [d_n] DISCOVERED:",
    ">>WARNING IN ZDSYM_LANCZOS1:NEAR LANCZOS BREAKDOWN:",
    ">>CONDITION NO. OF [d_n] = [Vn]^T * [Vn] IS BAD:",
};
const ConditionRecords kRecordsE = {
    "ERROR IN ZDSYM_BLANCZOS1:",
    "LINPACK SVD RETURN ERROR FOR e_n:",
    "SINGULAR [e_n] DISCOVERED:",
    ">>WARNING IN ZDSYM_LANCZOS1:NEAR LANCZOS BREAKDOWN:",
    ">>CONDITION NO. [e_n] = [Pn]^T * [A] * [Pn]  BAD:",
};

// Start: offsets, normalised V_1, QMR right-hand side, zeroed work arrays.
// X, Pn, gamma and rhoold are not touched.
int step_start(const Blocks& a) {
  const int ss = *a.s;
  *a.jcur = 0;
  *a.jprev = ss;
  if (lanczos::normalise_start(a.Vn, a.rho, a.n, a.s,
                               "Error in zdSym_blanczos1: col of Vn with 0 norm:") != 0)
    return 1;
  lanczos::start_rhs(a.s, a.TAU, a.rho);
  for (int j = 0; j < ss; ++j) {
    a.rho[j] = 1.0;
    a.gammaold[j] = 1.0;
  }
  lanczos::clear_work(a);
  return 0;
}

// d_n, its test, and the direction block P_n.
int step_p(const Blocks& a, bool first) {
  const int ss = *a.s;
  for (int j = 0; j < ss; ++j) a.gamma[j] = (a.gammaold[j] * a.rho[j]) / a.rho[j];

  // After the first step d_n is in DSVB already.
  if (lanczos::coupling_test(a, first, true, a.Vn, a.Vn, a.DSVB, a.dsv, kRecordsD) != 0) return 1;

  if (first) {
    lanczos::copy_block(a.n, a.s, a.Vn, a.Pn);
  } else {
    // SVWORK block 1 = diag(rho) d_n; UP = e_{n-1}^-1 diag(rho) d_n.
    lanczos::scaled_rows(a.s, a.rho, a.DSVB, "N", a.SVWORK);
    const zc* einv = mat(a.ESVB, ss).at(1, 3 * ss + 1);
    blas::zgemm('N', 'N', ss, ss, ss, zc(1.0, 0.0), einv, ss, a.SVWORK, ss, zc(0.0, 0.0), a.UP,
                ss);
    lanczos::fused_next_direction(*a.n, ss, a.Pn, a.Vn, a.UP);
  }
  for (int j = 0; j < ss; ++j) a.gammaold[j] = a.gamma[j];
  return 0;
}

// e_n, its test, alpha_n, the next Lanczos block with d_{n+1}, and the QMR
// update.
int step_m(const Blocks& a) {
  if (lanczos::coupling_test(a, true, false, a.Pn, a.Z, a.ESVB, a.esv, kRecordsE) != 0) return 1;
  const zc* alpha = lanczos::right_coefficient(a);
  const int ldq = 3 * *a.s + 3;
  lanczos::fused_next_block(*a.n, *a.s, a.Z, a.Vn, alpha, ldq, a.rho, a.rhoold, a.DSVB, nullptr,
                            true);
  lanczos::qmr_column(a);
  return lanczos::qmr_step(a, "Error in zdSym_blanczos: [Rnn] inverse QMR failure:");
}

}  // namespace

// n: order of A, ld of every block. s: block size (>= 1). REVCOM: protocol
// state (above). X: iterate block, holds X_0 and is changed only by the QMR
// update. Vn: R_0 on the start call, then the current Lanczos block. Pn: the
// direction block the host multiplies by A. D: QMR direction block. APn: the
// host's A*Pn before a call with 1, scratch otherwise. gamma, gammaold, rho,
// rhoold: s reals (gamma stays 1 for this driver; rho the norms divided out
// of the newest Lanczos block, rhoold the previous ones). ESVB, DSVB: s x 4s
// panels of SVDINV_SS for e_n and d_n; esv, dsv: s+1 entries. QRS:
// (3s+3) x 2s; RINV: s x 2s; UP: s x s; TAU: 2s x s (rows 1..s: the QMR
// remainder, whose column norms estimate the residual norms); SVWORK: s x 3s.
// jcur, jprev: the calling thread's block offsets.
// Result: 0 with a request in REVCOM; 1 for a zero starting column or a
// breakdown; the QMR update's code; -REVCOM for an unknown REVCOM.
int ZDSYM_BLANCZOS1(const int* n, const int* s, int* REVCOM, zc* X, zc* Vn, zc* Pn, zc* D,
                    zc* APn, double* gamma, double* gammaold, double* rho, double* rhoold,
                    zc* ESVB, zc* esv, zc* DSVB, zc* dsv, zc* QRS, zc* RINV, zc* UP, zc* TAU,
                    zc* SVWORK, int* jcur, int* jprev) {
  const int state = *REVCOM;
  if (state < 0 || state > 2)
    return lanczos::bad_revcom("ERROR IN ZDSYM_BLANCZOS1:BAD INPUT REVCOM:", REVCOM);

  const Blocks a{n,    s,   X,   Vn,   Pn,  D,    APn, gamma, gammaold, rho,    rhoold,
                 ESVB, esv, DSVB, dsv, QRS, RINV, UP,  TAU,   SVWORK,   jcur, jprev};
  if (state == 1) {
    if (const int r = step_m(a); r != 0) return r;
    *REVCOM = 2;
    return 0;
  }
  const bool first = state == 0;
  if (first && step_start(a) != 0) return 1;
  if (step_p(a, first) != 0) return 1;
  *REVCOM = 1;
  return 0;
}

}  // namespace bk
