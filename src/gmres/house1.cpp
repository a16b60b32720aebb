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

#include <vector>

#include "common/blas.hpp"
#include "common/comm.hpp"
#include "common/records.hpp"
#include "gmres/gmres.hpp"

namespace bk {
namespace {

// x / |x| in long double, or 1 for an exactly zero x.
zl phase(zc x) {
  if (is_exact_zero(x)) return {1.0L, 0.0L};
  const long double re = x.real(), im = x.imag();
  const long double a = std::sqrt(re * re + im * im);
  return {re / a, im / a};
}

// acc + sum |x(i)|^2 over len entries, in long double.
long double squares(const zc* x, int len, long double acc = 0.0L) {
  for (int i = 0; i < len; ++i)
    acc += static_cast<long double>(x[i].real()) * x[i].real() +
           static_cast<long double>(x[i].imag()) * x[i].imag();
  return acc;
}

long double square(zc x) {
  return static_cast<long double>(x.real()) * x.real() +
         static_cast<long double>(x.imag()) * x.imag();
}

// A sum of squares halved, as the stored beta.
zc half(long double acc) { return zc(static_cast<double>(0.5L * acc), 0.0); }

#if BLOCKKRYLOV_MPI
// The reduction packet, grown only.
long double* packet(int len) {
  thread_local std::vector<long double> buf;
  if (buf.size() < static_cast<std::size_t>(len)) buf.resize(len);
  return buf.data();
}
#endif

const char* const kBeyondN = "ERROR IN HOUSE1: M>N ILLEGAL CONDITION INPUT:";
const char* const kFewRows = "ERROR IN BLOCKKRYLOV: RANK 0 HOLDS TOO FEW ROWS FOR THE GMRES BASIS:";

// One range on one rank: the serial computation, with x(1..m-1) copied to
// `above` when asked.
void house_local(int mm, int nn, const zc* x, zc* vpiv, zc* beta, zc* sigma, zc* above) {
  const zc xm = x[mm - 1];
  for (int i = 1; above && i < mm; ++i) above[i - 1] = x[i - 1];

  if (mm == nn) {  // one-entry range: the identity, with triangular entry x(m)
    *sigma = -xm;
    *vpiv = 0.0;
    *beta = 0.0;
    return;
  }

  // phase = x(m) / |x(m)|, or 1 for an exactly zero pivot entry.
  const zl ph = phase(xm);
  const long double nrm = blas::dznrm2(nn - mm + 1, x + (mm - 1), 1);
  const zl sig{ph.real() * nrm, ph.imag() * nrm};
  *sigma = narrow(sig);
  *vpiv = narrow(widen(xm) + sig);

  // beta = (|vpiv|^2 + sum_{i>m} |x(i)|^2) / 2 over the vector actually stored.
  *beta = half(squares(x + mm, nn - mm, square(*vpiv)));
}

}  // namespace

// The reflector of x(m..n) with the rows split over ranks: rank 0 holds rows
// 1..n of its own (n > m: the pivot and the rows above it), every other rank
// only rows below them. One reduction carries the tail's sum of squares
// (ranks after 0: all their rows), x(m) and, when asked, x(1..m-1) (both
// from rank 0; the other ranks add -0, which leaves any value unchanged), so
// every rank forms the same sigma, vpiv and beta. The norm is the square root
// of the sum of squares in long double, which cannot overflow or underflow
// for squares of doubles.
void house(const int* m, const int* n, const zc* x, zc* vpiv, zc* beta, zc* sigma, zc* above) {
  const int mm = *m, nn = *n;
  if (!comm::split()) {
    if (mm > nn) fatal_record(kBeyondN);
    return house_local(mm, nn, x, vpiv, beta, sigma, above);
  }

#if BLOCKKRYLOV_MPI
  require_pivot_rows(mm, nn);
  const bool mine = comm::root();
  const int len = 3 + (above ? 2 * (mm - 1) : 0);
  long double* pk = packet(len);
  pk[0] = mine ? squares(x + mm, nn - mm) : squares(x, nn);
  for (int i = 1; i <= (above ? mm : 1); ++i) {
    const zc xi = mine ? x[i == 1 ? mm - 1 : i - 2] : zc(-0.0, -0.0);
    pk[2 * i - 1] = xi.real();
    pk[2 * i] = xi.imag();
  }
  comm::sum(pk, len);
  const zc xm(static_cast<double>(pk[1]), static_cast<double>(pk[2]));
  for (int i = 1; above && i < mm; ++i)
    above[i - 1] = zc(static_cast<double>(pk[2 * i + 1]), static_cast<double>(pk[2 * i + 2]));

  const zl ph = phase(xm);
  const long double nrm = std::sqrt(square(xm) + pk[0]);
  const zl sig{ph.real() * nrm, ph.imag() * nrm};
  *sigma = narrow(sig);
  *vpiv = narrow(widen(xm) + sig);
  *beta = half(square(*vpiv) + pk[0]);
#endif
}

// A vector held whole by the caller (on every rank alike): no communication.
void HOUSE1(const int* m, const int* n, const zc* x, zc* vpiv, zc* beta, zc* sigma) {
  if (*m > *n) fatal_record(kBeyondN);
  house_local(*m, *n, x, vpiv, beta, sigma, nullptr);
}

void require_pivot_rows(int m, int n) {
  if (comm::split() && comm::root() && n <= m) fatal_record(kFewRows);
}

}  // namespace bk
