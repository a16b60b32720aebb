#include "common/records.hpp"
#include "gmres/gmres.hpp"
namespace bk {
void HOUSEREDUCE(const int* k, zc* z, const zc* V, const int* n, const zc* beta, const zc* LM, const int* ldlm, zc* work) { fatal_record("NOT YET BUILT: HOUSEREDUCE"); }
void HOUSEUPDATELM(const int* j, const zc* V, const int* n, const zc* beta, zc* LM, const int* ldlm) { fatal_record("NOT YET BUILT: HOUSEUPDATELM"); }
void HOUSEBASISVEC(const int* k, zc* y, const zc* V, const int* n, const zc* beta, const zc* LM, const int* ldlm, zc* work) { fatal_record("NOT YET BUILT: HOUSEBASISVEC"); }
void GIVENS_MAKE(const zc* a, const zc* b, double* c, zc* s) { fatal_record("NOT YET BUILT: GIVENS_MAKE"); }
void GIVENS_APPLY(zc* x, zc* y, const double* c, const zc* s) { fatal_record("NOT YET BUILT: GIVENS_APPLY"); }
int INITIALBLOCKGMRES(const int* s, const double* tol, int* p, zc* V, const int* n, zc* vpiv, zc* beta, zc* sigma, zc* R, const int* ldr, zc* LM, const int* m, int* kept, int* dtab, const int* ldd, zc* dcoef, const int* ldc, zc* work) { fatal_record("NOT YET BUILT: INITIALBLOCKGMRES"); }
void PARENTBASISCONSTRUCT(const int* j, zc* w, const int* k, int* p, zc* V, const int* n, const zc* beta, const zc* LM, const int* m, zc* work) { fatal_record("NOT YET BUILT: PARENTBASISCONSTRUCT"); }
int GMRESHOUSEORTHOG(const int* jcol, const int* k, const double* tol, int* ndefl, zc* V, const int* n, zc* vpiv, zc* beta, zc* sigma, const zc* LM, const int* ldlm, zc* H, const int* ldh, zc* work) { fatal_record("NOT YET BUILT: GMRESHOUSEORTHOG"); }
void GMRESHMQR(const int* jcol, const int* s, zc* H, const int* ldh, zc* G, const int* ldg, double* cs, const int* ldcs, zc* sn, const int* ldsn) { fatal_record("NOT YET BUILT: GMRESHMQR"); }
void GMRESUPDATELM(const int* k, const zc* V, const int* n, const zc* beta, zc* LM, const int* ldlm) { fatal_record("NOT YET BUILT: GMRESUPDATELM"); }
void GMRESLEASTSQS(const int* k, const int* s, zc* Y, const int* ldy, const zc* H, const int* ldh, const zc* G, const int* ldg) { fatal_record("NOT YET BUILT: GMRESLEASTSQS"); }
void GMRESITERATEUPDATE(const int* k, const int* s, const int* p, const int* kept, const zc* V, const int* n, const zc* beta, const zc* LM, const int* m, zc* work, const zc* Y, const int* ldy, zc* X, const int* ldx, zc* w) { fatal_record("NOT YET BUILT: GMRESITERATEUPDATE"); }
void GMRESDEFLATEDITERATES(const int* ndefl, const int* kept, const int* dtab, const int* ldd, const zc* dcoef, const int* ldc, zc* X, const int* n) { fatal_record("NOT YET BUILT: GMRESDEFLATEDITERATES"); }
}
