// Shared internal types and small helpers: the complex type, the division
// rule used throughout the library, and a 1-based column-major view.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>

namespace bk {

using zc = std::complex<double>;
using zl = std::complex<long double>;

// Complex quotient formed as num * conj(d) * (1 / |d|^2), the reciprocal taken
// once. This is the library's one division rule; it differs from the
// operator/ of <complex> in rounding and in how zero and non-finite divisors
// propagate.
inline zc zdiv(zc num, zc d) {
  const double r = 1.0 / (d.real() * d.real() + d.imag() * d.imag());
  const double re = num.real() * d.real() + num.imag() * d.imag();
  const double im = num.imag() * d.real() - num.real() * d.imag();
  return {re * r, im * r};
}

// The same quotient with extended-precision intermediates, for the places
// where one rounding per stored result is wanted.
inline zl zdiv(zl num, zl d) {
  const long double r = 1.0L / (d.real() * d.real() + d.imag() * d.imag());
  const long double re = num.real() * d.real() + num.imag() * d.imag();
  const long double im = num.imag() * d.real() - num.real() * d.imag();
  return {re * r, im * r};
}

inline zl widen(zc z) { return {z.real(), z.imag()}; }
inline zc narrow(zl z) {
  return {static_cast<double>(z.real()), static_cast<double>(z.imag())};
}

// Both parts exactly zero (a NaN part counts as nonzero).
inline bool is_exact_zero(zc z) { return z.real() == 0.0 && z.imag() == 0.0; }

// Non-owning 1-based view of a column-major matrix: A(i, j) is element
// (i, j) with leading dimension ld. Lets the code read like the algorithm.
template <class T>
struct Mat {
  T* p;
  std::ptrdiff_t ld;
  Mat(T* data, std::ptrdiff_t lead) : p(data), ld(lead) {}
  T& operator()(std::ptrdiff_t i, std::ptrdiff_t j) const {
    return p[(i - 1) + (j - 1) * ld];
  }
  // Address of element (i, j), for handing a column or sub-block to BLAS.
  T* at(std::ptrdiff_t i, std::ptrdiff_t j) const { return p + (i - 1) + (j - 1) * ld; }
};

template <class T>
Mat<T> mat(T* data, std::ptrdiff_t ld) { return Mat<T>(data, ld); }

}  // namespace bk
