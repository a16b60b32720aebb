// Pieces that the two block Lanczos drivers share: the arguments both receive,
// the normalisation of a starting block with its message, the clearing of the
// work arrays at the start, the forming and condition test of a small coupling
// matrix with its records, the right coefficient alpha_n, the recurrence step
// that turns a product block into the next normalised Lanczos block, the
// direction update, and the hand-over of the newest Lanczos column to the
// block QMR step.
//
// All blocks are n x s with leading dimension n; small matrices s x s with
// leading dimension s unless stated.
#pragma once

#include "common/core.hpp"

namespace bk::lanczos {

// The condition limit on d_n and e_n.
inline constexpr double kCondLimit = 1.0E10;

// The arguments of one driver call that both drivers have, under the names of
// their arguments, except Z: the block where the host leaves A*Pn (APn of the
// symmetric driver, Zn of the two-sided one), scratch otherwise.
struct Blocks {
  const int* n;
  const int* s;
  zc *X, *Vn, *Pn, *D, *Z;
  double *gamma, *gammaold, *rho, *rhoold;
  zc *ESVB, *esv, *DSVB, *dsv, *QRS, *RINV, *UP, *TAU, *SVWORK;
  int *jcur, *jprev;
};

// Texts of one condition test: one driver, one small matrix.
struct ConditionRecords {
  const char* error;      // first record of the two hard failures
  const char* svd_error;  // followed by the decomposition's info
  const char* singular;   // exactly singular matrix
  const char* warning;    // first record of the near breakdown
  const char* bad_cond;   // followed by cond
};

// Normalises columns first..s of X (ld ldx, length n), norms into nrm. Stops
// at the first column of norm exactly zero, writes the two NRM_SS records
// naming it and returns its index; returns 0 when every column was scaled.
int normalise_from(zc* X, double* nrm, const int* ldx, const int* n, const int* first,
                   const int* s);

// Normalises a starting block (ld n). On a zero column: NRM_SS's records, then
// `message`; result 1. Otherwise 0.
int normalise_start(zc* X, double* nrm, const int* n, const int* s, const char* message);

// Zeroes D, Z, UP, all of QRS (zero reflectors act as the identity), RINV,
// DSVB, ESVB, dsv, esv and SVWORK.
void clear_work(const Blocks& a);

// Panel 1 of SVB (s x 4s) = L^T R when `form` (L, R: blocks; sym: L and R
// are the same block, so the product is symmetric), else panel 1 already
// holds the product, formed by the pass that made the newest block. The
// flags, never the pointers, decide: a rank that holds no rows may pass null
// blocks and still takes part in the sum. Then SVDINV_SS on it with a.SVWORK
// as scratch, then in order: info != 0, sing != 0, cond above the limit or
// not a number. The first that holds writes its records and gives 1;
// otherwise 0 with the inverse in panel 4.
int coupling_test(const Blocks& a, bool form, bool sym, const zc* L, const zc* R, zc* SVB, zc* sv,
                  const ConditionRecords& r);

// alpha_n = d_n^-1 e_n (panel 4 of DSVB times panel 1 of ESVB) into rows
// s+1..2s, columns jcur+1..jcur+s of QRS (ld 3s+3); returns its address.
zc* right_coefficient(const Blocks& a);

// W (s x s) = diag(scale) op(M), op(M) = M for trans 'N', M^T for 'T': row j
// of W is row j (or column j) of M times the real scale(j).
void scaled_rows(const int* s, const double* scale, const zc* M, const char* trans, zc* W);

// Y := X, columns 1..s.
void copy_block(const int* n, const int* s, const zc* X, zc* Y);

// next_block, copy_block and next_direction are the plain sequence of BLAS
// calls; the drivers run the fused passes of fused.hpp, which the tests
// compare against these.

// Next Lanczos block from a product block Z:
//   Z := Z - Y C (C: s x s, ld ldc), nrmold := nrm, Y := Z, normalise Y.
// A column of Y that comes out exactly zero gets the NRM_SS records, norm 0
// and stays zero; the columns after it are still normalised.
void next_block(const int* n, const int* s, zc* Z, zc* Y, const zc* C, const int* ldc,
                double* nrm, double* nrmold);

// Direction update P := V - P U, with Z as scratch for P U.
void next_direction(const int* n, const int* s, zc* P, const zc* V, const zc* U, zc* Z);

// Right-hand side of the QMR problem at the start: TAU (2s x s) = [diag(nrm); 0].
void start_rhs(const int* s, zc* TAU, const double* nrm);

// Newest block column of the Lanczos matrix, for each j = 1..s: row s+j of TAU
// cleared, the strictly lower part of column jcur+j of RINV cleared, and
// column jcur+j of QRS (ld 3s+3) set to [0; alpha (kept); rho(j) e_j] in its
// rows 1..3s.
void qmr_column(const Blocks& a);

// Steps 1-4 of ZD_BQMR1 (the s x s work): its result, and on 0 everything
// it leaves but D and X.
int qmr_reduce(const int* s, const int* jcur, const int* jprev, zc* QRS, zc* RINV, zc* TAU);

// The block QMR update and what follows it: ZD_BQMR1's steps on (n, s, jcur,
// jprev, QRS, RINV, TAU, D, Pn, X), the update of D and X in one fused pass;
// on a nonzero result r, writes `message` and returns r. Otherwise moves rows
// s+1..2s of TAU up to rows 1..s, exchanges jcur and jprev and returns 0.
int qmr_step(const Blocks& a, const char* message);

// A REVCOM the driver does not know: the record with its value, and -REVCOM
// (wrapping for the one value whose negation does not fit, so the result is
// never 0).
int bad_revcom(const char* text, const int* REVCOM);

// Sets count complex entries to zero.
void zero(zc* a, long long count);

}  // namespace bk::lanczos
