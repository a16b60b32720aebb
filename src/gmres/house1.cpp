// HOUSE1: complex Householder reflector H = I - v v^H / beta that maps the
// range x(m..n) onto -sigma e_m.
//
// sigma = phase(x(m)) * ||x(m..n)||, and v is x with x(m) replaced by
// vpiv = x(m) + sigma; both terms share a phase, so |vpiv| = |x(m)| + ||x||
// and no cancellation occurs. beta = ||v||^2 / 2, so that H is unitary.
//
// Arguments (all by address):
//   m     in   pivot index; the reflected range is x(m..n)
//   n     in   last index of the column
//   x     in   the column, at least n entries; not modified (the caller
//              stores vpiv into x(m) when it keeps x as the Householder vector)
//   vpiv  out  new pivot entry of the Householder vector
//   beta  out  ||v||^2 / 2 in the real part, imaginary part 0
//   sigma out  the reflected range becomes -sigma e_m
// Degenerate cases: m = n gives the identity (vpiv = beta = 0, sigma = -x(m),
// so the triangular entry -sigma is x(m)); an all-zero range gives
// vpiv = beta = sigma = 0. Both leave beta = 0, which callers never divide by.
// m > n cannot come from valid input: the record is written and the process
// ends with a failure status.
//
// The phase and the sums are carried in long double: besides rounding once
// per stored value, this keeps |x(m)| = sqrt(re^2 + im^2) from underflowing
// to zero (or overflowing) for a pivot entry far outside the unit range.
#include <cmath>

#include "common/blas.hpp"
#include "common/records.hpp"
#include "gmres/gmres.hpp"

namespace bk {

void HOUSE1(const int* m, const int* n, const zc* x, zc* vpiv, zc* beta, zc* sigma) {
  if (*m > *n) fatal_record("ERROR IN HOUSE1: M>N ILLEGAL CONDITION INPUT:");
  const int mm = *m, nn = *n;
  const zc xm = x[mm - 1];

  if (mm == nn) {  // one-entry range: the identity, with triangular entry x(m)
    *sigma = -xm;
    *vpiv = 0.0;
    *beta = 0.0;
    return;
  }

  // phase = x(m) / |x(m)|, or 1 for an exactly zero pivot entry.
  long double ph_re = 1.0L, ph_im = 0.0L;
  if (!is_exact_zero(xm)) {
    const long double re = xm.real(), im = xm.imag();
    const long double a = std::sqrt(re * re + im * im);
    ph_re = re / a;
    ph_im = im / a;
  }
  const long double nrm = blas::dznrm2(nn - mm + 1, x + (mm - 1), 1);
  const zl sig{ph_re * nrm, ph_im * nrm};
  *sigma = narrow(sig);
  *vpiv = narrow(widen(xm) + sig);

  // beta = (|vpiv|^2 + sum_{i>m} |x(i)|^2) / 2 over the vector actually stored.
  long double acc = static_cast<long double>(vpiv->real()) * vpiv->real() +
                    static_cast<long double>(vpiv->imag()) * vpiv->imag();
  for (int i = mm + 1; i <= nn; ++i) {
    const zc xi = x[i - 1];
    acc += static_cast<long double>(xi.real()) * xi.real() +
           static_cast<long double>(xi.imag()) * xi.imag();
  }
  *beta = zc(static_cast<double>(0.5L * acc), 0.0);
}

}  // namespace bk
