// PMVECT1: apply one stored Householder reflector to a vector.
//
// H = I - v v^H / beta with v(1..m-1) = 0, v(m) = vpiv and v(m+1..n) the tail
// left in place by HOUSE1, so
//   g = (v^H y) / beta = (conj(vpiv) y(m) + sum_{i>m} conj(v(i)) y(i)) / beta,
//   y(m) <- y(m) - vpiv g,   y(i) <- y(i) - g v(i)  (i > m).
// A reflector with vpiv = beta = 0 is the identity (the zeroed reflectors of a
// first block QMR step), and so is the one-entry reflector m = n. The quotient
// and the new y(m) are carried in long double and rounded once.
#include "common/blas.hpp"
#include "common/records.hpp"
#include "lanczos/lanczos.hpp"

namespace bk {

// m: pivot index; n: vector length. v: Householder vector storage, entries
// m+1..n read (v(i) = v[i-1]). vpiv, beta: pivot entry and scale. y: n
// entries, replaced by H y.
// A zero beta with a nonzero vpiv is inconsistent reflector data that valid
// input never produces: the record is written and the process ends with a
// failure status.
void PMVECT1(const int* m, const int* n, const zc* v, const zc* vpiv, const zc* beta, zc* y) {
  if (is_exact_zero(*vpiv) && is_exact_zero(*beta)) return;
  if (*m == *n) return;
  if (is_exact_zero(*beta)) fatal_record("ERROR IN PMVECT1:HVPI SCALE ZERO:");

  const int mm = *m;
  const int tail = *n - mm;
  const zc w = blas::zdotc(tail, v + mm, 1, y + mm, 1);
  const zl t = std::conj(widen(*vpiv)) * widen(y[mm - 1]) + widen(w);
  const zl g = zdiv(t, widen(*beta));
  y[mm - 1] = narrow(widen(y[mm - 1]) - widen(*vpiv) * g);
  blas::zaxpy(tail, narrow(-g), v + mm, 1, y + mm, 1);
}

}  // namespace bk
