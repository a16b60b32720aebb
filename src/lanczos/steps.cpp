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
#include "lanczos/fused.hpp"
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

void clear_work(const Blocks& a) {
  const int ss = *a.s;
  const long long ns = static_cast<long long>(*a.n) * ss;
  zero(a.D, ns);
  zero(a.Z, ns);
  zero(a.UP, 1LL * ss * ss);
  zero(a.QRS, (3LL * ss + 3) * 2 * ss);
  zero(a.RINV, 2LL * ss * ss);
  zero(a.DSVB, 4LL * ss * ss);
  zero(a.ESVB, 4LL * ss * ss);
  zero(a.dsv, ss + 1);
  zero(a.esv, ss + 1);
  zero(a.SVWORK, 3LL * ss * ss);
}

int coupling_test(const Blocks& a, bool form, bool sym, const zc* L, const zc* R, zc* SVB, zc* sv,
                  const ConditionRecords& r) {
  if (form) fused_gram(*a.n, *a.s, L, R, sym, SVB);
  int info = 0, sing = 0;
  double cond = 1.0;
  SVDINV_SS(a.s, SVB, sv, a.SVWORK, &info, &sing, &cond);
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

zc* right_coefficient(const Blocks& a) {
  const int ss = *a.s, ldq = 3 * ss + 3;
  zc* alpha = mat(a.QRS, ldq).at(ss + 1, *a.jcur + 1);
  const zc* dinv = mat(a.DSVB, ss).at(1, 3 * ss + 1);
  blas::zgemm('N', 'N', ss, ss, ss, kOne, dinv, ss, a.ESVB, ss, kZero, alpha, ldq);
  return alpha;
}

void scaled_rows(const int* s, const double* scale, const zc* M, const char* trans, zc* W) {
  const int ss = *s;
  const bool t = *trans == 'T';
  const auto m = mat(M, ss);
  const auto w = mat(W, ss);
  for (int j = 1; j <= ss; ++j) {
    if (t)
      blas::zcopy(ss, m.at(1, j), 1, w.at(j, 1), ss);
    else
      blas::zcopy(ss, m.at(j, 1), ss, w.at(j, 1), ss);
    blas::zscal(ss, zc(scale[j - 1], 0.0), w.at(j, 1), ss);
  }
}

void copy_block(const int* n, const int* s, const zc* X, zc* Y) {
  const auto x = mat(X, *n);
  const auto y = mat(Y, *n);
  for (int j = 1; j <= *s; ++j) blas::zcopy(*n, x.at(1, j), 1, y.at(1, j), 1);
}

void next_block(const int* n, const int* s, zc* Z, zc* Y, const zc* C, const int* ldc,
                double* nrm, double* nrmold) {
  const int nn = *n, ss = *s;
  blas::zgemm('N', 'N', nn, ss, ss, -kOne, Y, nn, C, *ldc, kOne, Z, nn);
  for (int j = 0; j < ss; ++j) nrmold[j] = nrm[j];
  copy_block(n, s, Z, Y);
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

void qmr_column(const Blocks& a) {
  const int ss = *a.s, jc = *a.jcur;
  const auto q = mat(a.QRS, 3 * ss + 3);
  const auto r = mat(a.RINV, ss);
  const auto t = mat(a.TAU, 2 * ss);
  for (int j = 1; j <= ss; ++j) {
    for (int k = 1; k <= ss; ++k) t(ss + j, k) = kZero;
    for (int k = 1; k <= j - 1; ++k) r(j, jc + k) = kZero;
    for (int k = 1; k <= ss; ++k) {
      q(j, jc + k) = kZero;
      q(2 * ss + j, jc + k) = k == j ? zc(a.rho[j - 1], 0.0) : kZero;
    }
  }
}

int qmr_step(const Blocks& a, const char* message) {
  const int r = qmr_reduce(a.s, a.jcur, a.jprev, a.QRS, a.RINV, a.TAU);
  if (r != 0) {
    record(message);
    return r;
  }
  const int ss = *a.s, jc = *a.jcur;
  fused_qmr_update(*a.n, ss, a.D, a.Pn, a.X, mat(a.QRS, 3 * ss + 3).at(1, jc + 1), 3 * ss + 3,
                   mat(a.RINV, ss).at(1, jc + 1), ss, a.TAU, 2 * ss);
  const auto t = mat(a.TAU, 2 * ss);
  for (int j = 1; j <= ss; ++j) blas::zcopy(ss, t.at(ss + 1, j), 1, t.at(1, j), 1);
  const int held = *a.jcur;
  *a.jcur = *a.jprev;
  *a.jprev = held;
  return 0;
}

int bad_revcom(const char* text, const int* REVCOM) {
  record(text, *REVCOM);
  return static_cast<int>(0u - static_cast<unsigned>(*REVCOM));
}

}  // namespace bk::lanczos
