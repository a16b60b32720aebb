// Block GMRES with Householder orthogonalisation and deflation: the reflector
// set and the steps of one cycle. Every argument is passed by address;
// indices are 1-based, arrays column-major.
//
// Reflector j of a cycle is H_j = I - v_j v_j^H / beta_j, beta_j = ||v_j||^2/2,
// with v_j in column j of V (zero above row j). The basis of the cycle is the
// columns of Q = H_1 H_2 ... H_k; LM couples the reflectors:
// LM(i,j) = v_i^H v_j / beta_i for i < j, LM(j,i) = conj(LM(i,j)), unit diagonal.
#pragma once

#include "common/core.hpp"

namespace bk {

// Reflector that maps x(m..n) onto -sigma e_m: vpiv replaces x(m) in the
// Householder vector, beta = ||v||^2/2 (real part). m = n gives the identity
// (vpiv = beta = 0, sigma = -x(m)). m > n is fatal.
void HOUSE1(const int* m, const int* n, const zc* x, zc* vpiv, zc* beta, zc* sigma);

// HOUSE1 works on a vector the caller holds whole (also the short columns of
// the block QMR step, which every rank holds alike). house is the same for a
// column of the GMRES basis, whose rows may be split over ranks, and also
// returns x(1..m-1) in above (m-1 entries, null: not wanted). With rows
// split only rank 0 holds those rows; above then receives rank 0's values on
// every rank, in the same reduction that completes the norm.
void house(const int* m, const int* n, const zc* x, zc* vpiv, zc* beta, zc* sigma, zc* above);

// With rows split over ranks, the pivot rows 1..m of a reflector set of
// capacity m lie on rank 0, which must hold more than m rows (n, its own
// count): otherwise the record is written and the job ends.
void require_pivot_rows(int m, int n);

// z <- Q_k^H z = H_k ... H_1 z for the first k reflectors; work: k entries.
void HOUSEREDUCE(const int* k, zc* z, const zc* V, const int* n, const zc* beta, const zc* LM,
                 const int* ldlm, zc* work);

// Adds reflector j to LM: LM(j,i) = v_j^H v_i / beta_i, LM(i,j) = conj of it.
void HOUSEUPDATELM(const int* j, const zc* V, const int* n, const zc* beta, zc* LM,
                   const int* ldlm);

// y = Q e_k (k-th basis vector of the cycle); work: k entries.
void HOUSEBASISVEC(const int* k, zc* y, const zc* V, const int* n, const zc* beta, const zc* LM,
                   const int* ldlm, zc* work);

// Plane rotations: x' = c x - conj(s) y, y' = s x + c y.
void GIVENS_MAKE(const zc* a, const zc* b, double* c, zc* s);
void GIVENS_APPLY(zc* x, zc* y, const double* c, const zc* s);

int INITIALBLOCKGMRES(const int* s, const double* tol, int* p, zc* V, const int* n, zc* vpiv,
                      zc* beta, zc* sigma, zc* R, const int* ldr, zc* LM, const int* m,
                      int* kept, int* dtab, const int* ldd, zc* dcoef, const int* ldc,
                      zc* work);
void PARENTBASISCONSTRUCT(const int* j, zc* w, const int* k, int* p, zc* V, const int* n,
                          const zc* beta, const zc* LM, const int* m, zc* work);
int GMRESHOUSEORTHOG(const int* jcol, const int* k, const double* tol, int* ndefl, zc* V,
                     const int* n, zc* vpiv, zc* beta, zc* sigma, const zc* LM,
                     const int* ldlm, zc* H, const int* ldh, zc* work);
void GMRESHMQR(const int* jcol, const int* s, zc* H, const int* ldh, zc* G, const int* ldg,
               double* cs, const int* ldcs, zc* sn, const int* ldsn);
void GMRESUPDATELM(const int* k, const zc* V, const int* n, const zc* beta, zc* LM,
                   const int* ldlm);
void GMRESLEASTSQS(const int* k, const int* s, zc* Y, const int* ldy, const zc* H,
                   const int* ldh, const zc* G, const int* ldg);
void GMRESITERATEUPDATE(const int* k, const int* s, const int* p, const int* kept, const zc* V,
                        const int* n, const zc* beta, const zc* LM, const int* m, zc* work,
                        const zc* Y, const int* ldy, zc* X, const int* ldx, zc* w);
void GMRESDEFLATEDITERATES(const int* ndefl, const int* kept, const int* dtab, const int* ldd,
                           const zc* dcoef, const int* ldc, zc* X, const int* n);

}  // namespace bk
