// Least-squares solve of a block GMRES cycle.
//
// After the rotations, min ||G0 - Hbar Y|| over the k columns built reduces to
// the upper triangular system H(1:k, 1:k) Y = G(1:k, 1:s), solved here by back
// substitution for all s right-hand sides:
//     Y(k, l) = G(k, l) / H(k, k),
//     Y(i, l) = (G(i, l) - sum_{m=i+1..k} H(i, m) Y(m, l)) / H(i, i),  i = k-1..1.
// The sums and quotients are carried in long double; each Y entry is rounded
// once. Only the upper triangle of H is read, so whatever residue the
// rotations left below the diagonal does not matter.
#include "gmres/extended.hpp"
#include "gmres/gmres.hpp"

namespace bk {

//   k    in   order of the system, >= 1 (k < 1 writes nothing)
//   s    in   number of right-hand sides (s <= 0 writes nothing)
//   Y    out  rows 1..k of s columns, leading dimension ldy
//   H    in   upper triangle of H(1:k, 1:k), leading dimension ldh; a zero
//             diagonal entry is not tested (the result is then not finite)
//   G    in   rows 1..k of s columns, leading dimension ldg
// G(i, l) is read before Y(i, l) is written and row i reads only rows of Y
// below it, which are final: Y and G may be the same array (same leading
// dimension), solving in place.
void GMRESLEASTSQS(const int* k, const int* s, zc* Y, const int* ldy, const zc* H,
                   const int* ldh, const zc* G, const int* ldg) {
  const int kk = *k, ns = *s;
  if (kk < 1 || ns <= 0) return;
  const auto y = mat(Y, *ldy);
  const auto h = mat(H, *ldh);
  const auto g = mat(G, *ldg);

  // Last row: the reciprocal 1/|H(k,k)|^2 is formed once for all columns.
  const zl hkk = widen(h(kk, kk));
  const long double rk = 1.0L / (hkk.real() * hkk.real() + hkk.imag() * hkk.imag());
  for (int l = 1; l <= ns; ++l) {
    const zl q = ext::mul(widen(g(kk, l)), ext::conj(hkk));
    y(kk, l) = narrow(zl(q.real() * rk, q.imag() * rk));
  }

  for (int l = 1; l <= ns; ++l)
    for (int i = kk - 1; i >= 1; --i) {
      zl acc = widen(g(i, l));
      for (int m = i + 1; m <= kk; ++m) acc -= ext::mul(widen(h(i, m)), widen(y(m, l)));
      y(i, l) = narrow(zdiv(acc, widen(h(i, i))));
    }
}

}  // namespace bk
