// NRM_SS: block normalisation.
//
// Each column x_j of the block is replaced by x_j / nu_j with nu_j = ||x_j||_2,
// and nu_j is returned, so that X_in = X_out * diag(nu). The Lanczos drivers
// use it on their starting blocks (where the norms become the right-hand side
// of the QMR problem) and on every new Lanczos block (where the norms become
// the subdiagonal of the Lanczos matrix).
//
// A column of norm exactly zero cannot be scaled. NRM_SS reports the first
// one it meets and stops there: columns before it are scaled and their norms
// stored, that column and the later ones are left as they are and their norm
// entries keep their old contents. A NaN norm is not zero; the column is
// scaled by it like any other.
#include <vector>

#include "common/blas.hpp"
#include "common/comm.hpp"
#include "common/records.hpp"
#include "lanczos/lanczos.hpp"
#include "lanczos/steps.hpp"

namespace bk {

namespace lanczos {
namespace {
double* norm_scratch(int len) {
  thread_local std::vector<double> buf;
  if (buf.size() < static_cast<std::size_t>(len)) buf.resize(len);
  return buf.data();
}
}  // namespace

int normalise_from(zc* X, double* nrm, const int* ldx, const int* n, const int* first,
                   const int* s) {
  const auto x = mat(X, *ldx);
  if (*first > *s) return 0;
  // All norms first, in one reduction across ranks; columns are independent.
  double* const nu_all = norm_scratch(*s - *first + 1);
  comm::norms(*n, *s - *first + 1, x.at(1, *first), *ldx, nu_all);
  for (int j = *first; j <= *s; ++j) {
    const double nu = nu_all[j - *first];
    if (nu == 0.0) {
      record("ERROR IN NRM_SS:");
      record("SP COL VECTOR WITH ZERO NORM...", j);
      return j;
    }
    nrm[j - 1] = nu;
    blas::zscal(*n, zc(1.0 / nu, 0.0 / nu), x.at(1, j), 1);
  }
  return 0;
}

}  // namespace lanczos

// X: complex block, leading dimension ldx, columns 1..s of length n; scaled in
//    place. nrm: s doubles, out, the norms divided out.
// Result: 0, or 1 at the first column of norm exactly zero (two records; see
// the top of this file for the state left behind). s < 1 does nothing.
int NRM_SS(zc* X, double* nrm, const int* ldx, const int* n, const int* s) {
  if (*s < 1) return 0;
  const int first = 1;
  return lanczos::normalise_from(X, nrm, ldx, n, &first, s) != 0 ? 1 : 0;
}

}  // namespace bk
