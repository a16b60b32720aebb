// Shared pieces of the block Lanczos drivers (see steps.hpp).
//
// The condition test fails a cond that is not a number: it arises only from
// non-finite data in the Lanczos blocks or in the host's product, and letting
// it pass would carry NaN into X, D and the recurrence while the call reports
// success. Failing it keeps X at the last finite iterate, since the test runs
// before the QMR update.
//
// next_block normalises every column even past an exactly zero one and gives
// that column the norm 0. The norms become the subdiagonal of the Lanczos
// matrix in the QMR step that follows; a zero column means the block step
// found an invariant subspace, and the QMR update must see the 0 there to
// deliver the exact iterate instead of one built on stale norms. The next
// test of d_n then reports the breakdown.
#include <cmath>
#include <cstddef>

#include "common/blas.hpp"
#include "common/records.hpp"
#include "lanczos/lanczos.hpp"
#include "lanczos/steps.hpp"

namespace bk::lanczos {
namespace {
const zc kOne(1.0, 0.0);
const zc kZero(0.0, 0.0);
const char* const kBreakdown = "THIS IS A BREAKDOWN IN THE INDEFINITE LANCZOS ALG:";
const char* const kLookAhead = "..SHOULD HAVE STAYED WITH LOOK-AHEAD!?";
}  // namespace

void zero(zc* a, long long count) {
  for (long long i = 0; i < count; ++i) a[i] = kZero;
}

int normalise_start(zc* X, double* nrm, const int* n, const int* s, const char* message) {
  if (NRM_SS(X, nrm, n, n, s) == 0) return 0;
  record(message);
  return 1;
}

int condition_test(const int* s, zc* SVB, zc* sv, zc* SVWORK, const ConditionRecords& r) {
  int info = 0, sing = 0;
  double cond = 1.0;
  SVDINV_SS(s, SVB, sv, SVWORK, &info, &sing, &cond);
  if (info != 0) {
    record(r.error);
    record(r.svd_error, info);
    record(kBreakdown);
    record(kLookAhead);
    return 1;
  }
  if (sing != 0) {
    record(r.error);
    record(r.singular);
    record(kBreakdown);
    record(kLookAhead);
    return 1;
  }
  if (cond > kCondLimit || std::isnan(cond)) {
    record(r.warning);
    record(r.bad_cond, cond);
    return 1;
  }
  return 0;
}

void next_block(const int* n, const int* s, zc* Z, zc* Y, const zc* C, const int* ldc,
                double* nrm, double* nrmold) {
  const int nn = *n, ss = *s;
  blas::zgemm('N', 'N', nn, ss, ss, -kOne, Y, nn, C, *ldc, kOne, Z, nn);
  for (int j = 0; j < ss; ++j) nrmold[j] = nrm[j];
  const auto z = mat(Z, nn);
  const auto y = mat(Y, nn);
  for (int j = 1; j <= ss; ++j) blas::zcopy(nn, z.at(1, j), 1, y.at(1, j), 1);
  int first = 1;
  while (const int jzero = normalise_from(Y, nrm, n, n, &first, s)) {
    nrm[jzero - 1] = 0.0;
    first = jzero + 1;
  }
}

void next_direction(const int* n, const int* s, zc* P, const zc* V, const zc* U, zc* Z) {
  const int nn = *n, ss = *s;
  blas::zgemm('N', 'N', nn, ss, ss, kOne, P, nn, U, ss, kZero, Z, nn);
  const auto p = mat(P, nn);
  const auto v = mat(V, nn);
  const auto z = mat(Z, nn);
  for (int j = 1; j <= ss; ++j) {
    blas::zcopy(nn, v.at(1, j), 1, p.at(1, j), 1);
    blas::zaxpy(nn, -kOne, z.at(1, j), 1, p.at(1, j), 1);
  }
}

void start_rhs(const int* s, zc* TAU, const double* nrm) {
  const int ss = *s;
  const auto t = mat(TAU, 2 * ss);
  zero(TAU, 2LL * ss * ss);
  for (int j = 1; j <= ss; ++j) t(j, j) = zc(nrm[j - 1], 0.0);
}

void qmr_column(const int* s, const int* jcur, zc* QRS, zc* RINV, zc* TAU, const double* rho) {
  const int ss = *s, jc = *jcur;
  const auto q = mat(QRS, 3 * ss + 3);
  const auto r = mat(RINV, ss);
  const auto t = mat(TAU, 2 * ss);
  for (int j = 1; j <= ss; ++j) {
    for (int k = 1; k <= ss; ++k) t(ss + j, k) = kZero;
    for (int k = 1; k <= j - 1; ++k) r(j, jc + k) = kZero;
    for (int k = 1; k <= ss; ++k) {
      q(j, jc + k) = kZero;
      q(2 * ss + j, jc + k) = k == j ? zc(rho[j - 1], 0.0) : kZero;
    }
  }
}

int qmr_step(const int* n, const int* s, int* jcur, int* jprev, zc* QRS, zc* RINV, zc* TAU,
             zc* D, const zc* P, zc* X, zc* WK, const char* message) {
  const int r = ZD_BQMR1(n, s, jcur, jprev, QRS, RINV, TAU, D, P, X, WK);
  if (r != 0) {
    record(message);
    return r;
  }
  const int ss = *s;
  const auto t = mat(TAU, 2 * ss);
  for (int j = 1; j <= ss; ++j) blas::zcopy(ss, t.at(ss + 1, j), 1, t.at(1, j), 1);
  const int held = *jcur;
  *jcur = *jprev;
  *jprev = held;
  return 0;
}

int bad_revcom(const char* text, const int* REVCOM) {
  record(text, *REVCOM);
  return static_cast<int>(0u - static_cast<unsigned>(*REVCOM));
}

}  // namespace bk::lanczos
