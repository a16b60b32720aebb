#include "common/blas.hpp"
#include "monitor/monitor.hpp"

namespace bk {

// nrm(j) = ||X(1:n, j)||_2 for j = 1..s; rows beyond n (up to ldx) are not read.
void COLBLOCKNORMS(const zc* X, const int* ldx, const int* n, const int* s, double* nrm) {
  const auto x = mat(X, *ldx);
  for (int j = 1; j <= *s; ++j) nrm[j - 1] = blas::dznrm2(*n, x.at(1, j), 1);
}

}  // namespace bk
