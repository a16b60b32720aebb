// The twelve exported entry points. Each forwards its arguments unchanged to
// the routine of the same name; the three with per-thread state add the
// addresses of the calling thread's slots.
#include "blockkrylov.h"

#include "api/slots.hpp"
#include "gmres/gmres.hpp"
#include "lanczos/lanczos.hpp"
#include "monitor/monitor.hpp"

static_assert(sizeof(bk_complex) == 16, "complex numbers are two doubles");

using bk::zc;

extern "C" {

void C_COLBLOCKNORMS(const zc* X, const int32_t* ldx, const int32_t* n, const int32_t* s,
                     double* nrm) {
  bk::COLBLOCKNORMS(X, ldx, n, s, nrm);
}

int32_t C_CONVERGENCEPROGRESS(const int32_t* it, const int32_t* itold, const double* tol,
                              double* rmax, const double* nrm, const int32_t* m, int32_t* itpred,
                              double* pct) {
  return bk::CONVERGENCEPROGRESS(it, itold, tol, rmax, nrm, m, itpred, pct, bk::progress_slot());
}

int32_t C_ZDSYM_BLANCZOS1(const int32_t* n, const int32_t* s, int32_t* REVCOM, zc* X, zc* Vn,
                          zc* Pn, zc* D, zc* APn, double* gamma, double* gammaold, double* rho,
                          double* rhoold, zc* ESVB, zc* esv, zc* DSVB, zc* dsv, zc* QRS,
                          zc* RINV, zc* UP, zc* TAU, zc* SVWORK) {
  bk::BlockOffsets* o = bk::symmetric_offsets();
  return bk::ZDSYM_BLANCZOS1(n, s, REVCOM, X, Vn, Pn, D, APn, gamma, gammaold, rho, rhoold, ESVB,
                             esv, DSVB, dsv, QRS, RINV, UP, TAU, SVWORK, &o->jcur, &o->jprev);
}

int32_t C_ZD_BLANCZOS(const int32_t* n, const int32_t* s, int32_t* REVCOM, zc* X, zc* Vn, zc* Wn,
                      zc* Pn, zc* Qn, zc* D, zc* Zn, double* gamma, double* gammaold,
                      double* rho, double* rhoold, double* xi, double* xiold, zc* ESVB,
                      zc* esv, zc* DSVB, zc* dsv, zc* QRS, zc* RINV, zc* QRSW, zc* UP, zc* UQ,
                      zc* TAU, zc* SVWORK) {
  bk::BlockOffsets* o = bk::twosided_offsets();
  return bk::ZD_BLANCZOS(n, s, REVCOM, X, Vn, Wn, Pn, Qn, D, Zn, gamma, gammaold, rho, rhoold,
                         xi, xiold, ESVB, esv, DSVB, dsv, QRS, RINV, QRSW, UP, UQ, TAU, SVWORK,
                         &o->jcur, &o->jprev);
}

int32_t C_INITIALBLOCKGMRES(const int32_t* s, const double* tol, int32_t* p, zc* V,
                            const int32_t* n, zc* vpiv, zc* beta, zc* sigma, zc* R,
                            const int32_t* ldr, zc* LM, const int32_t* m, int32_t* kept,
                            int32_t* dtab, const int32_t* ldd, zc* dcoef, const int32_t* ldc,
                            zc* work) {
  return bk::INITIALBLOCKGMRES(s, tol, p, V, n, vpiv, beta, sigma, R, ldr, LM, m, kept, dtab, ldd,
                               dcoef, ldc, work);
}

void C_PARENTBASISCONSTRUCT(const int32_t* j, zc* w, const int32_t* k, int32_t* p, zc* V,
                            const int32_t* n, const zc* beta, const zc* LM, const int32_t* m,
                            zc* work) {
  bk::PARENTBASISCONSTRUCT(j, w, k, p, V, n, beta, LM, m, work);
}

int32_t C_GMRESHOUSEORTHOG(const int32_t* jcol, const int32_t* k, const double* tol,
                           int32_t* ndefl, zc* V, const int32_t* n, zc* vpiv, zc* beta,
                           zc* sigma, const zc* LM, const int32_t* ldlm, zc* H,
                           const int32_t* ldh, zc* work) {
  return bk::GMRESHOUSEORTHOG(jcol, k, tol, ndefl, V, n, vpiv, beta, sigma, LM, ldlm, H, ldh,
                              work);
}

void C_GMRESHMQR(const int32_t* jcol, const int32_t* s, zc* H, const int32_t* ldh, zc* G,
                 const int32_t* ldg, double* cs, const int32_t* ldcs, zc* sn,
                 const int32_t* ldsn) {
  bk::GMRESHMQR(jcol, s, H, ldh, G, ldg, cs, ldcs, sn, ldsn);
}

void C_GMRESUPDATELM(const int32_t* k, const zc* V, const int32_t* n, const zc* beta, zc* LM,
                     const int32_t* ldlm) {
  bk::GMRESUPDATELM(k, V, n, beta, LM, ldlm);
}

void C_GMRESLEASTSQS(const int32_t* k, const int32_t* s, zc* Y, const int32_t* ldy, const zc* H,
                     const int32_t* ldh, const zc* G, const int32_t* ldg) {
  bk::GMRESLEASTSQS(k, s, Y, ldy, H, ldh, G, ldg);
}

void C_GMRESITERATEUPDATE(const int32_t* k, const int32_t* s, const int32_t* p,
                          const int32_t* kept, const zc* V, const int32_t* n, const zc* beta,
                          const zc* LM, const int32_t* m, zc* work, const zc* Y,
                          const int32_t* ldy, zc* X, const int32_t* ldx, zc* w) {
  bk::GMRESITERATEUPDATE(k, s, p, kept, V, n, beta, LM, m, work, Y, ldy, X, ldx, w);
}

void C_GMRESDEFLATEDITERATES(const int32_t* ndefl, const int32_t* kept, const int32_t* dtab,
                             const int32_t* ldd, const zc* dcoef, const int32_t* ldc, zc* X,
                             const int32_t* n) {
  bk::GMRESDEFLATEDITERATES(ndefl, kept, dtab, ldd, dcoef, ldc, X, n);
}

}  // extern "C"
