// Extended-precision helpers of the GMRES steps. The small dense solves
// (triangular substitutions, divisions by beta and by diagonal entries, the
// generation of plane rotations) carry their intermediates in long double
// and round to double once, when a result is stored.
#pragma once

#include "common/core.hpp"

namespace bk::ext {

// Product a * b written out, so that the arithmetic is exactly the textbook
// formula (no recovery of infinities, no library call).
inline zl mul(zl a, zl b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

inline zl conj(zl a) { return {a.real(), -a.imag()}; }

}  // namespace bk::ext
