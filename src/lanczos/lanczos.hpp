// Block Lanczos solvers with a block QMR update of the iterate, and the small
// dense routines only they use. Every argument is passed by address; indices
// are 1-based, arrays column-major; all inner products are the bilinear form
// Y^T Z (no conjugation).
#pragma once

#include "common/core.hpp"

namespace bk {

// Scales each column of X (rows 1..n) to unit length; norms into nrm.
// Returns 1 (with two records) at the first column of norm exactly zero.
int NRM_SS(zc* X, double* nrm, const int* ldx, const int* n, const int* s);

// SVD of the s x s matrix in panel 1 of SVB (s x 4s): V*inv(Sigma) in panel 2,
// U in panel 3, the inverse in panel 4; sv: singular values; svwork: s^2+2s.
void SVDINV_SS(const int* s, zc* SVB, zc* sv, zc* svwork, int* info, int* sing, double* cond);

// y <- H y for the reflector with pivot m covering entries m..n.
void PMVECT1(const int* m, const int* n, const zc* v, const zc* vpiv, const zc* beta, zc* y);

// One block QMR step on the newest block column of the Lanczos matrix.
int ZD_BQMR1(const int* n, const int* s, const int* jcur, const int* jprev, zc* QRS, zc* RINV,
             zc* TAU, zc* D, const zc* P, zc* X, zc* WK);

int ZDSYM_BLANCZOS1(const int* n, const int* s, int* REVCOM, zc* X, zc* Vn, zc* Pn, zc* D,
                    zc* APn, double* gamma, double* gammaold, double* rho, double* rhoold,
                    zc* ESVB, zc* esv, zc* DSVB, zc* dsv, zc* QRS, zc* RINV, zc* UP, zc* TAU,
                    zc* SVWORK, int* jcur, int* jprev);

int ZD_BLANCZOS(const int* n, const int* s, int* REVCOM, zc* X, zc* Vn, zc* Wn, zc* Pn, zc* Qn,
                zc* D, zc* Zn, double* gamma, double* gammaold, double* rho, double* rhoold,
                double* xi, double* xiold, zc* ESVB, zc* esv, zc* DSVB, zc* dsv, zc* QRS,
                zc* RINV, zc* QRSW, zc* UP, zc* UQ, zc* TAU, zc* SVWORK, int* jcur,
                int* jprev);

}  // namespace bk
