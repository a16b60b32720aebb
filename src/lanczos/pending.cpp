#include "common/records.hpp"
#include "lanczos/lanczos.hpp"
namespace bk {
int ZDSYM_BLANCZOS1(const int* n, const int* s, int* REVCOM, zc* X, zc* Vn, zc* Pn, zc* D, zc* APn, double* gamma, double* gammaold, double* rho, double* rhoold, zc* ESVB, zc* esv, zc* DSVB, zc* dsv, zc* QRS, zc* RINV, zc* UP, zc* TAU, zc* SVWORK, int* jcur, int* jprev) { fatal_record("NOT YET BUILT: ZDSYM_BLANCZOS1"); }
int ZD_BLANCZOS(const int* n, const int* s, int* REVCOM, zc* X, zc* Vn, zc* Wn, zc* Pn, zc* Qn, zc* D, zc* Zn, double* gamma, double* gammaold, double* rho, double* rhoold, double* xi, double* xiold, zc* ESVB, zc* esv, zc* DSVB, zc* dsv, zc* QRS, zc* RINV, zc* QRSW, zc* UP, zc* UQ, zc* TAU, zc* SVWORK, int* jcur, int* jprev) { fatal_record("NOT YET BUILT: ZD_BLANCZOS"); }
}
