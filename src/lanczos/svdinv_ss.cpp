// SVDINV_SS: conditioning and inverse of a small s x s matrix by its singular
// value decomposition.
//
// M = U * Sigma * V^H with Sigma = diag(sigma_1 >= ... >= sigma_s >= 0). Then
// cond_2(M) = sigma_1 / sigma_s and M^-1 = (V * Sigma^-1) * U^H. The Lanczos
// drivers use cond to detect a (near) breakdown of the recurrence and the
// inverse to continue it.
//
// The decomposition is LAPACK's zgesvd with all left and right vectors; it
// returns V^H, which is conjugate-transposed into panel 2 before the columns
// are scaled by 1/sigma_j. zgesvd needs more scratch than svwork offers (its
// work array, 5s reals, V^H and the real singular values). That scratch lives
// in a per-thread buffer that is sized at the first call on a thread and grown
// only when a larger s arrives, so steady-state calls allocate nothing.
#include <algorithm>
#include <vector>

#include "common/blas.hpp"
#include "lanczos/lanczos.hpp"

namespace bk {
namespace {

// Optimised zgemv kernels inside zgesvd may read a few entries past the end
// of an s x s operand (harmless in practice, but a memory checker in the host
// reports it). Every scratch array gets this many spare entries.
constexpr std::size_t kScratchPad = 8;

struct SvdScratch {
  int cap = 0;  // largest order served so far
  std::vector<zc> vt;
  std::vector<zc> work;
  std::vector<double> sval;
  std::vector<double> rwork;
};

SvdScratch& svd_scratch(int s) {
  thread_local SvdScratch w;
  if (s > w.cap) {
    w.vt.assign(static_cast<std::size_t>(s) * s + kScratchPad, zc(0.0, 0.0));
    w.sval.assign(static_cast<std::size_t>(s) + kScratchPad, 0.0);
    w.rwork.assign(5 * static_cast<std::size_t>(s) + kScratchPad, 0.0);
    // Workspace query; the arrays are not referenced by it.
    zc query(0.0, 0.0);
    zc dummy(0.0, 0.0);
    lapack::zgesvd('A', 'A', s, s, &dummy, s, w.sval.data(), &dummy, s, w.vt.data(), s, &query,
                   -1, w.rwork.data());
    const int lwork = std::max(static_cast<int>(query.real()), 3 * s);
    w.work.assign(static_cast<std::size_t>(lwork) + kScratchPad, zc(0.0, 0.0));
    w.cap = s;
  }
  return w;
}

}  // namespace

// s: order of M (>= 1).
// SVB: s x 4s, ld s. Panel 1 (columns 1..s) holds M and is never modified.
//      On success panel 2 holds V*Sigma^-1, panel 3 U, panel 4 M^-1.
// sv: out, s singular values (non-increasing, imaginary parts 0).
// svwork: scratch; its first s^2 entries receive a copy of M.
// info: zgesvd's code (0 on success). sing: 1 when some sigma_j is exactly 0.
// cond: sigma_1/sigma_s on success; 1.0 when the decomposition failed; -1.0
//       when M is singular.
// Outcomes: info != 0: panels 2 and 4 untouched, panel 3 and sv as zgesvd left
// them. sing = 1: U set, V scaled up to the zero singular value, no inverse.
void SVDINV_SS(const int* s, zc* SVB, zc* sv, zc* svwork, int* info, int* sing, double* cond) {
  *cond = 1.0;
  *info = 0;
  *sing = 0;
  const int ss = *s;
  const auto B = mat(SVB, ss);

  for (int j = 1; j <= ss; ++j) blas::zcopy(ss, B.at(1, j), 1, svwork + (j - 1) * ss, 1);

  SvdScratch& w = svd_scratch(ss);
  *info = lapack::zgesvd('A', 'A', ss, ss, svwork, ss, w.sval.data(), B.at(1, 2 * ss + 1), ss,
                         w.vt.data(), ss, w.work.data(), static_cast<int>(w.work.size() - kScratchPad),
                         w.rwork.data());
  for (int j = 1; j <= ss; ++j) sv[j - 1] = zc(w.sval[j - 1], 0.0);
  if (*info != 0) return;

  // Panel 2 = V = (V^H)^H.
  const auto VT = mat(w.vt.data(), ss);
  for (int j = 1; j <= ss; ++j)
    for (int i = 1; i <= ss; ++i) B(i, ss + j) = std::conj(VT(j, i));

  for (int j = 1; j <= ss; ++j) {
    if (is_exact_zero(sv[j - 1])) {
      *sing = 1;
      *cond = -1.0;
      return;
    }
    const zc recip = narrow(zdiv(zl(1.0L, 0.0L), widen(sv[j - 1])));
    blas::zscal(ss, recip, B.at(1, ss + j), 1);
  }

  // Re(sigma_1 * conj(sigma_s)) / |sigma_s|^2, rounded once.
  *cond = static_cast<double>(zdiv(widen(sv[0]), widen(sv[ss - 1])).real());

  blas::zgemm('N', 'C', ss, ss, ss, zc(1.0, 0.0), B.at(1, ss + 1), ss, B.at(1, 2 * ss + 1), ss,
              zc(0.0, 0.0), B.at(1, 3 * ss + 1), ss);
}

}  // namespace bk
