#include "common/comm.hpp"
#include "monitor/monitor.hpp"

namespace bk {

// nrm(j) = ||X(1:n, j)||_2 for j = 1..s; rows beyond n (up to ldx) are not
// read. Across ranks, the norms are over the rows of all of them.
void COLBLOCKNORMS(const zc* X, const int* ldx, const int* n, const int* s, double* nrm) {
  if (*s > 0) comm::norms(*n, *s, X, *ldx, nrm);
}

}  // namespace bk
