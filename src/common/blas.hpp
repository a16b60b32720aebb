// The library's one door to BLAS and LAPACK: declarations of the Fortran
// symbols it uses and thin wrappers that take values instead of addresses.
//
// The complex dot product goes through CBLAS's cblas_zdotc_sub, which returns
// its result through a pointer: the Fortran zdotc_ returns a complex value,
// and how that value is returned differs between compilers and BLAS builds.
// Character arguments of the Fortran routines are followed by their hidden
// length arguments, which LAPACK compiled by gfortran expects.
#pragma once

#include <cstddef>

#include "common/core.hpp"

extern "C" {
void zcopy_(const int* n, const void* x, const int* incx, void* y, const int* incy);
void zaxpy_(const int* n, const void* alpha, const void* x, const int* incx, void* y,
            const int* incy);
void zscal_(const int* n, const void* alpha, void* x, const int* incx);
double dznrm2_(const int* n, const void* x, const int* incx);
void cblas_zdotc_sub(int n, const void* x, int incx, const void* y, int incy, void* dotc);
void zgemm_(const char* ta, const char* tb, const int* m, const int* n, const int* k,
            const void* alpha, const void* a, const int* lda, const void* b, const int* ldb,
            const void* beta, void* c, const int* ldc, std::size_t, std::size_t);
void zgemv_(const char* ta, const int* m, const int* n, const void* alpha, const void* a,
            const int* lda, const void* x, const int* incx, const void* beta, void* y,
            const int* incy, std::size_t);
void ztrmv_(const char* uplo, const char* ta, const char* diag, const int* n, const void* a,
            const int* lda, void* x, const int* incx, std::size_t, std::size_t, std::size_t);
void ztrmm_(const char* side, const char* uplo, const char* ta, const char* diag, const int* m,
            const int* n, const void* alpha, const void* a, const int* lda, void* b,
            const int* ldb, std::size_t, std::size_t, std::size_t, std::size_t);
void zgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, void* a,
             const int* lda, double* s, void* u, const int* ldu, void* vt, const int* ldvt,
             void* work, const int* lwork, double* rwork, int* info, std::size_t, std::size_t);
void ztrtri_(const char* uplo, const char* diag, const int* n, void* a, const int* lda, int* info,
             std::size_t, std::size_t);
}

namespace bk::blas {

inline void zcopy(int n, const zc* x, int incx, zc* y, int incy) {
  zcopy_(&n, x, &incx, y, &incy);
}
inline void zaxpy(int n, zc alpha, const zc* x, int incx, zc* y, int incy) {
  zaxpy_(&n, &alpha, x, &incx, y, &incy);
}
inline void zscal(int n, zc alpha, zc* x, int incx) { zscal_(&n, &alpha, x, &incx); }
inline double dznrm2(int n, const zc* x, int incx) { return dznrm2_(&n, x, &incx); }
// sum conj(x(i)) * y(i)
inline zc zdotc(int n, const zc* x, int incx, const zc* y, int incy) {
  zc r{0.0, 0.0};
  if (n > 0) cblas_zdotc_sub(n, x, incx, y, incy, &r);
  return r;
}
inline void zgemm(char ta, char tb, int m, int n, int k, zc alpha, const zc* a, int lda,
                  const zc* b, int ldb, zc beta, zc* c, int ldc) {
  zgemm_(&ta, &tb, &m, &n, &k, &alpha, a, &lda, b, &ldb, &beta, c, &ldc, 1, 1);
}
// y = alpha op(A) x + beta y, A m x n; nothing is done when m or n is 0
// (BLAS returns at once and leaves y as it was, whatever beta).
inline void zgemv(char ta, int m, int n, zc alpha, const zc* a, int lda, const zc* x, int incx,
                  zc beta, zc* y, int incy) {
  if (m > 0 && n > 0) zgemv_(&ta, &m, &n, &alpha, a, &lda, x, &incx, &beta, y, &incy, 1);
}
// x = op(A) x, A n x n triangular; n = 0 does nothing.
inline void ztrmv(char uplo, char ta, char diag, int n, const zc* a, int lda, zc* x, int incx) {
  if (n > 0) ztrmv_(&uplo, &ta, &diag, &n, a, &lda, x, &incx, 1, 1, 1);
}
inline void ztrmm(char side, char uplo, char ta, char diag, int m, int n, zc alpha, const zc* a,
                  int lda, zc* b, int ldb) {
  ztrmm_(&side, &uplo, &ta, &diag, &m, &n, &alpha, a, &lda, b, &ldb, 1, 1, 1, 1);
}

}  // namespace bk::blas

namespace bk::lapack {

// Full SVD A = U diag(s) VT; lwork = -1 asks for the optimal workspace size.
inline int zgesvd(char jobu, char jobvt, int m, int n, zc* a, int lda, double* s, zc* u, int ldu,
                  zc* vt, int ldvt, zc* work, int lwork, double* rwork) {
  int info = 0;
  zgesvd_(&jobu, &jobvt, &m, &n, a, &lda, s, u, &ldu, vt, &ldvt, work, &lwork, rwork, &info, 1,
          1);
  return info;
}
// In-place inverse of a triangular matrix; info = k > 0 when A(k,k) is
// exactly zero (the first such k).
inline int ztrtri(char uplo, char diag, int n, zc* a, int lda) {
  int info = 0;
  ztrtri_(&uplo, &diag, &n, a, &lda, &info, 1, 1);
  return info;
}

}  // namespace bk::lapack
