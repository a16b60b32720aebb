// Triangularisation of the band Hessenberg matrix of a block GMRES cycle by
// plane rotations, one new column at a time.
//
// Column j of H has nonzeros in rows 1..j+s (lower bandwidth s). Once the s
// rotations of every earlier column have been replayed on it, s new rotations
// annihilate H(j+s, j), ..., H(j+1, j) from the bottom up, folding the band
// into the diagonal entry H(j, j). The same rotations applied to the
// right-hand side G keep H(1:j, 1:j) Y = G(1:j, :) the reduced least-squares
// problem, and the rows j+1..j+s of G that no column reaches hold the
// residual: their norm in column l is the residual norm of right-hand side l.
//
// A rotation (gamma real, sigma complex, gamma^2 + |sigma|^2 = 1) acts on an
// upper entry x and a lower entry y as
//     x' = gamma x - conj(sigma) y,    y' = sigma x + gamma y.
// Rotation k of column i acts on rows r = i+s-k and r+1; positions are not
// stored but recomputed from (i, k, s), so one cycle must use one s.
#include <cmath>

#include "gmres/gmres.hpp"

namespace bk {

// Applies the rotation (c, s) to the pair (x, y), both updated from their old
// values. The identity (c = 1, s = 0 exactly) leaves them untouched; a NaN
// cosine does not count as the identity.
void GIVENS_APPLY(zc* x, zc* y, const double* c, const zc* s) {
  const double g = *c, sr = s->real(), si = s->imag();
  if (g == 1.0 && sr == 0.0 && si == 0.0) return;
  const double xr = x->real(), xi = x->imag(), yr = y->real(), yi = y->imag();
  *x = zc(g * xr - sr * yr - si * yi, g * xi + si * yr - sr * yi);
  *y = zc(sr * xr - si * xi + g * yr, si * xr + sr * xi + g * yi);
}

// The rotation that, applied to (a, b), leaves (phase(a) * sqrt(|a|^2+|b|^2), 0):
//     gamma = |a| / rho,  sigma = -(conj(a)/|a|) (b / rho),  rho = sqrt(|a|^2 + |b|^2).
// The quotient taken (b/a or a/b) is the one of modulus at most 1. b = 0 gives
// the identity (also for a = b = 0); a = 0 gives gamma = 0, sigma = 1, which
// moves -b into the upper entry. Intermediates are long double; gamma and sigma
// are rounded once, on the store.
//   a, b  in   the upper and lower entries (not modified)
//   c     out  gamma
//   s     out  sigma
void GIVENS_MAKE(const zc* a, const zc* b, double* c, zc* s) {
  const long double ar = a->real(), ai = a->imag(), br = b->real(), bi = b->imag();
  const long double abs_a = std::sqrt(ar * ar + ai * ai);
  const long double abs_b = std::sqrt(br * br + bi * bi);

  if (is_exact_zero(*b)) {
    *c = 1.0;
    *s = 0.0;
    return;
  }
  if (is_exact_zero(*a)) {
    *c = 0.0;
    *s = 1.0;
    return;
  }
  if (!(abs_a < abs_b)) {  // |a| >= |b|, ties and NaN included: t = b / a
    const long double r = 1.0L / (ar * ar + ai * ai);
    const long double tr = (br * ar + bi * ai) * r;
    const long double ti = (bi * ar - br * ai) * r;
    const long double abs_t = std::sqrt(tr * tr + ti * ti);
    const long double g = 1.0L / std::sqrt(1.0L + abs_t * abs_t);
    *c = static_cast<double>(g);
    *s = narrow(zl(-tr * g, -ti * g));
  } else {  // |a| < |b|: tau = a / b
    const long double r = 1.0L / (br * br + bi * bi);
    const long double tr = (ar * br + ai * bi) * r;
    const long double ti = (ai * br - ar * bi) * r;
    const long double abs_tau = std::sqrt(tr * tr + ti * ti);
    const long double rho = std::sqrt(1.0L + abs_tau * abs_tau);
    const long double ur = tr / abs_tau * rho, ui = ti / abs_tau * rho;
    const long double u2 = ur * ur + ui * ui;
    const long double sr = -(ur / u2), si = -(-ui / u2);  // sigma = -conj(u) / |u|^2
    *c = static_cast<double>(-(tr * sr - ti * si));
    *s = narrow(zl(sr, si));
  }
}

// Processes Hessenberg column jcol.
//   jcol  in      column index, >= 1 (smaller values change nothing)
//   s     in      lower bandwidth = rotations per column = columns of G
//                 (s <= 0 changes nothing); the same for the whole cycle
//   H     in,out  ldh >= jcol+s; column jcol, rows 1..jcol+s, is rotated (rows
//                 there that hold no entry must be zero); other columns untouched
//   G     in,out  ldg >= jcol+s, s columns; rows jcol..jcol+s are rotated
//   cs    in,out  double, ldcs >= s: columns 1..jcol-1 read, column jcol written
//   sn    in,out  complex, ldsn >= s: the same for the sines
// The annihilated entries of H are left as the rotations compute them (zero up
// to rounding); later steps never read them.
void GMRESHMQR(const int* jcol, const int* s, zc* H, const int* ldh, zc* G, const int* ldg,
               double* cs, const int* ldcs, zc* sn, const int* ldsn) {
  const int j = *jcol, bs = *s;
  if (bs <= 0 || j < 1) return;
  const auto h = mat(H, *ldh);
  const auto g = mat(G, *ldg);
  const auto c = mat(cs, *ldcs);
  const auto sg = mat(sn, *ldsn);

  // Replay the rotations of the earlier columns in the order they were made;
  // those of neighbouring columns overlap in their rows.
  for (int i = 1; i <= j - 1; ++i)
    for (int k = 1; k <= bs; ++k) {
      const int r = i + bs - k;
      GIVENS_APPLY(&h(r, j), &h(r + 1, j), &c(k, i), &sg(k, i));
    }

  // New rotations, each made from the entries the previous one left.
  for (int k = 1; k <= bs; ++k) {
    const int r = j + bs - k;
    GIVENS_MAKE(&h(r, j), &h(r + 1, j), &c(k, j), &sg(k, j));
    GIVENS_APPLY(&h(r, j), &h(r + 1, j), &c(k, j), &sg(k, j));
  }

  for (int l = 1; l <= bs; ++l)
    for (int k = 1; k <= bs; ++k) {
      const int r = j + bs - k;
      GIVENS_APPLY(&g(r, l), &g(r + 1, l), &c(k, j), &sg(k, j));
    }
}

}  // namespace bk
