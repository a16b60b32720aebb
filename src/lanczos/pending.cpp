#include "common/records.hpp"
#include "lanczos/lanczos.hpp"
namespace bk {
int NRM_SS(zc* X, double* nrm, const int* ldx, const int* n, const int* s) { fatal_record("NOT YET BUILT: NRM_SS"); }
void SVDINV_SS(const int* s, zc* SVB, zc* sv, zc* svwork, int* info, int* sing, double* cond) { fatal_record("NOT YET BUILT: SVDINV_SS"); }
void PMVECT1(const int* m, const int* n, const zc* v, const zc* vpiv, const zc* beta, zc* y) { fatal_record("NOT YET BUILT: PMVECT1"); }
int ZD_BQMR1(const int* n, const int* s, const int* jcur, const int* jprev, zc* QRS, zc* RINV, zc* TAU, zc* D, const zc* P, zc* X, zc* WK) { fatal_record("NOT YET BUILT: ZD_BQMR1"); }
int ZDSYM_BLANCZOS1(const int* n, const int* s, int* REVCOM, zc* X, zc* Vn, zc* Pn, zc* D, zc* APn, double* gamma, double* gammaold, double* rho, double* rhoold, zc* ESVB, zc* esv, zc* DSVB, zc* dsv, zc* QRS, zc* RINV, zc* UP, zc* TAU, zc* SVWORK, int* jcur, int* jprev) { fatal_record("NOT YET BUILT: ZDSYM_BLANCZOS1"); }
int ZD_BLANCZOS(const int* n, const int* s, int* REVCOM, zc* X, zc* Vn, zc* Wn, zc* Pn, zc* Qn, zc* D, zc* Zn, double* gamma, double* gammaold, double* rho, double* rhoold, double* xi, double* xiold, zc* ESVB, zc* esv, zc* DSVB, zc* dsv, zc* QRS, zc* RINV, zc* QRSW, zc* UP, zc* UQ, zc* TAU, zc* SVWORK, int* jcur, int* jprev) { fatal_record("NOT YET BUILT: ZD_BLANCZOS"); }
}
