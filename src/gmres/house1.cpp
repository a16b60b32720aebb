// HOUSE1: complex Householder reflector H = I - v v^H / beta that maps the
// range x(m..n) onto -sigma e_m.
//
// sigma = phase(x(m)) * ||x(m..n)||, and v is x with x(m) replaced by
// vpiv = x(m) + sigma; both terms share a phase, so |vpiv| = |x(m)| + ||x||
// and no cancellation occurs. beta = ||v||^2 / 2.
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

  zc phase{1.0, 0.0};
  if (!is_exact_zero(xm)) {
    const double a = std::sqrt(xm.real() * xm.real() + xm.imag() * xm.imag());
    phase = {xm.real() / a, xm.imag() / a};
  }
  const double nrm = blas::dznrm2(nn - mm + 1, x + (mm - 1), 1);
  *sigma = phase * nrm;
  *vpiv = xm + *sigma;

  // beta = (|vpiv|^2 + sum_{i>m} |x(i)|^2) / 2, accumulated in extended precision.
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
