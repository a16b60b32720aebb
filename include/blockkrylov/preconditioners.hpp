// blockkrylov/preconditioners.hpp - stock preconditioners built from a
// sparse matrix (A itself, or another matrix such as a complex-shifted
// Laplacian for a Helmholtz problem), in the split form M = M1 M2 that the
// solvers take (see Preconditioner in solver.hpp).
//
//   jacobi   M = D; split M1 = M2 = D^1/2 (complex principal roots; a zero
//            diagonal entry is left unscaled). Keeps a complex-symmetric A
//            complex-symmetric.
//   ssor     M = (D/w + L)(D/w)^-1(D/w + U) for A = L + D + U; split
//            M1 = (D/w + L)(D/w)^-1/2, M2 = (D/w)^-1/2 (D/w + U) (M2 = M1^T
//            when A = A^T). With Eisenstat's trick the preconditioned
//            product M1^-1 A M2^-1 x costs about one product with A: two
//            triangular sweeps and no product at all. Needs a nonzero
//            diagonal and a matrix equal to the A being solved.
//   ic0/ict  complex-symmetric incomplete factorisations A ~ L D L^T (plain
//            transpose, L unit lower): zero fill (the pattern of A), or a
//            drop tolerance with a fill limit, dropping entries of L (so M
//            stays complex-symmetric by construction). Split M1 = L D^1/2,
//            M2 = D^1/2 L^T.
//   ilu0/ilut incomplete LU, A ~ L U (L unit lower): zero fill, or a drop
//            tolerance with a fill limit on each of L and U. Split M1 = L,
//            M2 = U. The general methods only (not complex-symmetric).
//
// Threshold variants drop an entry when its modulus (for L before the
// division by the pivot, so in the units of A) is below drop_tol times the
// norm of its row of A; each row of L (and U) then keeps at most
// fill * (entries of that row of A in the same triangle) + 1 of the largest.
//
// Zero or tiny pivots. A pivot d whose modulus is below 1e-4 times the
// largest modulus in its row of A (and so also an exact zero) is replaced by
// that bound times d/|d| (times 1 for a zero pivot); the count of replaced
// pivots is part of the preconditioner's name ("ic0, 3 pivots replaced") so
// that a report shows it. The factorisation then stays usable, though weaker
// near those rows; shifting A (A + alpha I) or another matrix for the
// preconditioner is the better remedy when many pivots are replaced.
//
// Every application works on n x k blocks (leading dimension n) and
// allocates nothing; the factors are shared by the copies of a
// Preconditioner.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <queue>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "blockkrylov/csr.hpp"
#include "blockkrylov/solver.hpp"

namespace blockkrylov {
namespace precond {

namespace detail {

// Pivots below this fraction of their row's largest entry are replaced by
// it: small enough to leave ordinary pivots alone, large enough that M^-1
// stays of moderate size (a replacement near rounding level gives an M^-1
// so large that the preconditioned methods stall).
constexpr double kTinyPivot = 1e-4;

// Row-compressed triangle (strict, no diagonal) plus a diagonal.
struct Triangle {
  std::vector<std::int64_t> ptr{0};
  std::vector<int> col;
  std::vector<complex> val;
  void push(int c, complex v) { col.push_back(c), val.push_back(v); }
  void end_row() { ptr.push_back(static_cast<std::int64_t>(col.size())); }
};

// The transpose of a strict triangle: row i of the result holds column i
// of t, columns ascending.
inline Triangle transposed(const Triangle& t, int n) {
  Triangle r;
  r.ptr.assign(static_cast<std::size_t>(n) + 1, 0);
  for (int c : t.col) ++r.ptr[static_cast<std::size_t>(c) + 1];
  for (int i = 0; i < n; ++i) r.ptr[i + 1] += r.ptr[i];
  r.col.resize(t.col.size());
  r.val.resize(t.val.size());
  std::vector<std::int64_t> next(r.ptr.begin(), r.ptr.end() - 1);
  for (int i = 0; i < n; ++i)
    for (std::int64_t p = t.ptr[i]; p < t.ptr[i + 1]; ++p) {
      const std::int64_t q = next[t.col[p]]++;
      r.col[q] = i, r.val[q] = t.val[p];
    }
  return r;
}

// One triangular solve with scalings, y = diag(post) T^-1 diag(pre) x for
// T = strict triangle + diag(d), as a single pass over the rows that reads
// x and writes y once (each column of the block in turn per row, so that
// the triangle is read once for all of them). With w = post .* z and
// T z = pre .* x, row i reads
//     w_i = (post_i / d_i) (pre_i x_i - sum_j (T_ij / post_j) w_j),
// so the scalings are folded into the stored values at set-up: val holds
// T_ij / post_j, f holds post_i / d_i. Rows run ascending for a lower
// triangle, descending for an upper one. Transposed triangles are stored
// as such, so every solve gathers (no scatter pass, no copy of x first).
struct Sweep {
  Triangle t;
  bool ascending = true;
  std::vector<complex> pre, f;  // empty: ones

  void apply(int n, int k, const complex* x, complex* y) const {
    const complex* pr = pre.empty() ? nullptr : pre.data();
    const complex* fr = f.empty() ? nullptr : f.data();
    for (int r = 0; r < n; ++r) {
      const int i = ascending ? r : n - 1 - r;
      const std::int64_t p0 = t.ptr[i], p1 = t.ptr[i + 1];
      for (int c = 0; c < k; ++c) {
        const std::size_t o = static_cast<std::size_t>(c) * n;
        complex acc = pr ? pr[i] * x[o + i] : x[o + i];
        const complex* yc = y + o;
        for (std::int64_t p = p0; p < p1; ++p) acc -= t.val[p] * yc[t.col[p]];
        y[o + i] = fr ? fr[i] * acc : acc;
      }
    }
  }
};

// The sweep for y = diag(post) (t + diag(d))^-1 diag(pre) x; d, pre and
// post may be null (ones).
inline Sweep make_sweep(const Triangle& t, bool ascending, int n, const complex* d, const complex* pre,
                        const complex* post) {
  Sweep s;
  s.t = t;
  s.ascending = ascending;
  if (post)
    for (std::size_t p = 0; p < s.t.val.size(); ++p) s.t.val[p] /= post[s.t.col[p]];
  if (pre) s.pre.assign(pre, pre + n);
  if (d || post) {
    s.f.assign(static_cast<std::size_t>(n), complex(1.0));
    for (int i = 0; i < n; ++i) s.f[i] = (post ? post[i] : complex(1.0)) / (d ? d[i] : complex(1.0));
  }
  return s;
}

// The operator of a sweep (shared by the copies of the operator, and by
// SSOR's fused product).
inline Operator sweep_operator(int n, std::shared_ptr<const Sweep> sp) {
  return [n, sp](int k, const complex* x, complex* y) { sp->apply(n, k, x, y); };
}
inline Operator sweep_operator(int n, Sweep s) {
  return sweep_operator(n, std::make_shared<const Sweep>(std::move(s)));
}

// Replaces a zero or tiny pivot (see the top of this file); counts it.
inline complex safe_pivot(complex d, double row_max, int& replaced) {
  const double bound = kTinyPivot * (row_max > 0.0 ? row_max : 1.0);
  if (std::abs(d) >= bound) return d;
  ++replaced;
  return std::abs(d) > 0.0 ? d * (bound / std::abs(d)) : complex(bound, 0.0);
}

inline double row_max(const CsrMatrix& a, int i) {
  double m = 0.0;
  for (std::int64_t p = a.rowptr[i]; p < a.rowptr[i + 1]; ++p) m = std::max(m, std::abs(a.val[p]));
  return m;
}
inline double row_norm(const CsrMatrix& a, int i) {
  double s = 0.0;
  for (std::int64_t p = a.rowptr[i]; p < a.rowptr[i + 1]; ++p) s += std::norm(a.val[p]);
  return std::sqrt(s);
}

// Keeps the `keep` entries of largest modulus among idx (indices into w),
// sorted by column afterwards.
inline void keep_largest(std::vector<int>& idx, const std::vector<complex>& w, std::size_t keep) {
  if (idx.size() > keep) {
    std::nth_element(idx.begin(), idx.begin() + static_cast<std::ptrdiff_t>(keep), idx.end(),
                     [&](int u, int v) { return std::abs(w[u]) > std::abs(w[v]); });
    idx.resize(keep);
  }
  std::sort(idx.begin(), idx.end());
}

inline std::string with_pivots(std::string name, int replaced) {
  if (replaced > 0) name += ", " + std::to_string(replaced) + (replaced == 1 ? " pivot" : " pivots") + " replaced";
  return name;
}

inline void check_square(const CsrMatrix& a, const char* who) {
  if (a.n < 1 || a.rowptr.size() != static_cast<std::size_t>(a.n) + 1)
    throw std::invalid_argument(std::string(who) + ": the matrix is empty or malformed");
}
// The L D L^T factorisations read one triangle; they serve A = A^T only.
inline void check_symmetric(const CsrMatrix& a, const char* who) {
  if (!a.is_symmetric())
    throw std::invalid_argument(std::string(who) +
                                ": the matrix is not complex-symmetric (A differs from A^T); use ilu0 or ilut");
}

// Incomplete LU by rows (the i-k-j order): row i of A is reduced by the
// rows k < i of U already computed, in increasing k. With `pattern` only the
// positions of A are kept (zero fill); otherwise entries are dropped by
// drop_tol and fill.
struct Lu {
  Triangle L, U;                // strictly lower (unit diagonal) and strictly upper
  std::vector<complex> d;       // diagonal of U
  int replaced = 0;
};

inline Lu incomplete_lu(const CsrMatrix& a, bool pattern, double drop_tol, double fill) {
  const int n = a.n;
  Lu f;
  f.d.assign(n, complex(0.0));
  std::vector<complex> w(n, complex(0.0));
  std::vector<char> used(n, 0);
  std::vector<int> lower, upper, touched;
  std::priority_queue<int, std::vector<int>, std::greater<int>> pending;
  for (int i = 0; i < n; ++i) {
    lower.clear(), upper.clear(), touched.clear();
    int nl = 0, nu = 0;
    complex diag = 0.0;
    for (std::int64_t p = a.rowptr[i]; p < a.rowptr[i + 1]; ++p) {
      const int c = a.col[p];
      w[c] = a.val[p], used[c] = 1;
      touched.push_back(c);
      if (c < i) pending.push(c), ++nl;
      else if (c > i) upper.push_back(c), ++nu;
    }
    const double tau = drop_tol * row_norm(a, i);
    while (!pending.empty()) {
      const int k = pending.top();
      pending.pop();
      if (!pattern && !(std::abs(w[k]) >= tau)) continue;  // dropped
      const complex lik = w[k] / f.d[k];
      w[k] = lik;
      lower.push_back(k);
      for (std::int64_t p = f.U.ptr[k]; p < f.U.ptr[k + 1]; ++p) {
        const int j = f.U.col[p];
        if (!used[j]) {
          if (pattern) continue;  // zero fill: no new positions
          used[j] = 1, w[j] = 0.0;
          touched.push_back(j);
          if (j < i) pending.push(j);
          else if (j > i) upper.push_back(j);
        }
        w[j] -= lik * f.U.val[p];
      }
    }
    if (used[i]) diag = w[i];
    f.d[i] = safe_pivot(diag, row_max(a, i), f.replaced);
    if (!pattern) {
      // Keep what passes the tolerance, at most `fill` times A's count + 1.
      upper.erase(std::remove_if(upper.begin(), upper.end(), [&](int j) { return !(std::abs(w[j]) >= tau); }),
                  upper.end());
      keep_largest(lower, w, static_cast<std::size_t>(fill * nl) + 1);
      keep_largest(upper, w, static_cast<std::size_t>(fill * nu) + 1);
    } else {
      std::sort(lower.begin(), lower.end());
      std::sort(upper.begin(), upper.end());
    }
    for (int k : lower) f.L.push(k, w[k]);
    for (int j : upper) f.U.push(j, w[j]);
    f.L.end_row(), f.U.end_row();
    // Clear the work row: every position touched is in `touched`.
    for (int c : touched) w[c] = 0.0, used[c] = 0;
  }
  return f;
}

// Complex-symmetric incomplete factorisation A ~ L D L^T by rows (up-looking):
// row i of L comes from the lower part of row i of A, reduced by the columns
// k < i of L computed so far. Dropping works on L only, so M = L D L^T is
// complex-symmetric whatever is dropped.
struct Ldl {
  Triangle L;              // strictly lower, unit diagonal
  std::vector<complex> d;  // D
  int replaced = 0;
};

inline Ldl incomplete_ldlt(const CsrMatrix& a, bool pattern, double drop_tol, double fill) {
  const int n = a.n;
  Ldl f;
  f.d.assign(n, complex(0.0));
  std::vector<std::vector<std::pair<int, complex>>> cols(n);  // column k of L: (row, l)
  std::vector<complex> w(n, complex(0.0));
  std::vector<char> used(n, 0);
  std::vector<int> lower, touched;
  std::priority_queue<int, std::vector<int>, std::greater<int>> pending;
  for (int i = 0; i < n; ++i) {
    lower.clear(), touched.clear();
    int nl = 0;
    complex di = 0.0;
    for (std::int64_t p = a.rowptr[i]; p < a.rowptr[i + 1]; ++p) {
      const int c = a.col[p];
      if (c == i) di += a.val[p];
      if (c >= i) continue;
      if (!used[c]) used[c] = 1, w[c] = 0.0, pending.push(c), touched.push_back(c), ++nl;
      w[c] += a.val[p];
    }
    const double tau = drop_tol * row_norm(a, i);
    while (!pending.empty()) {
      const int k = pending.top();
      pending.pop();
      if (!pattern && !(std::abs(w[k]) >= tau)) continue;  // dropped
      const complex lik = w[k] / f.d[k];
      lower.push_back(k);
      w[k] = lik;
      // Row i less l_ik d_k times column k of L: w_j -= l_ik d_k l_jk, k < j < i.
      const complex ldk = lik * f.d[k];
      for (const auto& [j, ljk] : cols[k]) {
        if (j >= i) break;  // columns hold rows in increasing order
        if (!used[j]) {
          if (pattern) continue;
          used[j] = 1, w[j] = 0.0, pending.push(j), touched.push_back(j);
        }
        w[j] -= ldk * ljk;
      }
      di -= ldk * lik;
    }
    if (!pattern) keep_largest(lower, w, static_cast<std::size_t>(fill * nl) + 1);
    else std::sort(lower.begin(), lower.end());
    f.d[i] = safe_pivot(di, row_max(a, i), f.replaced);
    for (int k : lower) {
      f.L.push(k, w[k]);
      cols[k].emplace_back(i, w[k]);
    }
    f.L.end_row();
    for (int c : touched) w[c] = 0.0, used[c] = 0;
  }
  return f;
}

inline std::vector<complex> principal_roots(const std::vector<complex>& d, bool inverse) {
  std::vector<complex> r(d.size());
  for (std::size_t i = 0; i < d.size(); ++i) r[i] = inverse ? 1.0 / std::sqrt(d[i]) : std::sqrt(d[i]);
  return r;
}

// The split form of M = L D L^T with M1 = L D^1/2: left = D^-1/2 L^-1,
// right = L^-T D^-1/2; left_t = right and right_t = left.
inline Preconditioner symmetric_split(std::shared_ptr<const Ldl> f, std::string name) {
  const int n = static_cast<int>(f->d.size());
  const std::vector<complex> isq = principal_roots(f->d, true);
  Preconditioner p;
  p.left = sweep_operator(n, make_sweep(f->L, true, n, nullptr, nullptr, isq.data()));
  p.right = sweep_operator(n, make_sweep(transposed(f->L, n), false, n, nullptr, isq.data(), nullptr));
  p.left_t = p.right;
  p.right_t = p.left;
  p.symmetric = true;
  p.name = with_pivots(std::move(name), f->replaced);
  return p;
}

}  // namespace detail

// M = D, split as D^1/2 D^1/2.
inline Preconditioner jacobi(const CsrMatrix& a) {
  detail::check_square(a, "jacobi");
  const int n = a.n;
  std::vector<complex> s(n, complex(1.0));
  for (int i = 0; i < n; ++i) {
    complex d = 0.0;
    for (std::int64_t p = a.rowptr[i]; p < a.rowptr[i + 1]; ++p)
      if (a.col[p] == i) d += a.val[p];
    const complex r = 1.0 / std::sqrt(d);
    if (d != complex(0.0) && std::isfinite(r.real()) && std::isfinite(r.imag())) s[i] = r;
  }
  auto sp = std::make_shared<const std::vector<complex>>(std::move(s));
  Preconditioner p;
  p.left = [n, sp](int k, const complex* x, complex* y) {
    for (int c = 0; c < k; ++c) {
      const std::size_t o = static_cast<std::size_t>(c) * n;
      for (int i = 0; i < n; ++i) y[o + i] = (*sp)[i] * x[o + i];
    }
  };
  p.right = p.left_t = p.right_t = p.left;
  p.symmetric = true;
  p.name = "jacobi";
  return p;
}

// SSOR with relaxation omega in (0, 2), split form, with the fused product
// of Eisenstat's trick (see the top of this file). `a` must be the matrix of
// the system being solved.
inline Preconditioner ssor(const CsrMatrix& a, double omega = 1.0) {
  detail::check_square(a, "ssor");
  if (!(omega > 0.0 && omega < 2.0)) throw std::invalid_argument("ssor: omega must lie in (0, 2)");
  const int n = a.n;
  detail::Triangle L, U;
  std::vector<complex> dt(n, complex(0.0)), e(n);  // D/w, D - 2 D/w
  for (int i = 0; i < n; ++i) {
    for (std::int64_t p = a.rowptr[i]; p < a.rowptr[i + 1]; ++p) {
      const int c = a.col[p];
      if (c < i) L.push(c, a.val[p]);
      else if (c > i) U.push(c, a.val[p]);
      else dt[i] += a.val[p];
    }
    L.end_row(), U.end_row();
    if (dt[i] == complex(0.0))
      throw std::invalid_argument("ssor: diagonal entry " + std::to_string(i + 1) + " is zero");
  }
  for (int i = 0; i < n; ++i) dt[i] /= omega, e[i] = dt[i] * omega - 2.0 * dt[i];
  const std::vector<complex> sq = detail::principal_roots(dt, false);  // (D/w)^1/2
  const detail::Triangle Lt = detail::transposed(L, n), Ut = detail::transposed(U, n);
  // M1^-1 = (D/w)^1/2 (D/w + L)^-1 and M2^-1 = (D/w + U)^-1 (D/w)^1/2, and
  // their transposes.
  const auto right = std::make_shared<const detail::Sweep>(
      detail::make_sweep(U, false, n, dt.data(), sq.data(), nullptr));
  const auto left_t = std::make_shared<const detail::Sweep>(
      detail::make_sweep(Lt, false, n, dt.data(), sq.data(), nullptr));
  Preconditioner p;
  p.left = detail::sweep_operator(n, detail::make_sweep(L, true, n, dt.data(), nullptr, sq.data()));
  p.right = detail::sweep_operator(n, right);
  p.left_t = detail::sweep_operator(n, left_t);
  p.right_t = detail::sweep_operator(n, detail::make_sweep(Ut, true, n, dt.data(), nullptr, sq.data()));
  // A = (D/w + L) + (D/w + U) + E with E = D - 2 D/w gives
  //   M1^-1 A M2^-1 x = S [t + (D/w + L)^-1 (S x + E t)],  t = (D/w + U)^-1 S x,
  // S = (D/w)^1/2: two triangular sweeps, no product with A. The transpose
  // swaps the roles of the two (transposed) triangles. t is the sweep of
  // M2^-1 (M1^-T for the transpose), written into y; the second sweep forms
  // u row by row and overwrites y with S (t + u).
  struct Fused {
    std::shared_ptr<const detail::Sweep> first;  // t = (D/w + U)^-1 S x, shared with p.right
    detail::Triangle second;                     // L (U^T for the transpose), rows ascending
    std::vector<complex> sq, e, inv_dt;
  };
  const auto fused = [&](std::shared_ptr<const detail::Sweep> first, const detail::Triangle& second) {
    auto f = std::make_shared<Fused>();
    f->first = std::move(first);
    f->second = second;
    f->sq = sq, f->e = e;
    f->inv_dt.resize(n);
    for (int i = 0; i < n; ++i) f->inv_dt[i] = 1.0 / dt[i];
    return [n, f = std::shared_ptr<const Fused>(f)](int k, const complex* x, complex* y) {
      thread_local std::vector<complex> ubuf;
      const std::size_t nk = static_cast<std::size_t>(n) * k;
      if (ubuf.size() < nk) ubuf.resize(nk);
      complex* u = ubuf.data();
      f->first->apply(n, k, x, y);
      const detail::Triangle& l = f->second;
      for (int i = 0; i < n; ++i) {
        for (int c = 0; c < k; ++c) {
          const std::size_t o = static_cast<std::size_t>(c) * n;
          complex acc = f->sq[i] * x[o + i] + f->e[i] * y[o + i];
          for (std::int64_t q = l.ptr[i]; q < l.ptr[i + 1]; ++q) acc -= l.val[q] * u[o + l.col[q]];
          u[o + i] = acc * f->inv_dt[i];
          y[o + i] = f->sq[i] * (y[o + i] + u[o + i]);
        }
      }
    };
  };
  p.fused = fused(right, L);
  p.fused_t = fused(left_t, Ut);
  p.symmetric = a.is_symmetric();
  char name[48];
  std::snprintf(name, sizeof name, "ssor(omega %g)", omega);
  p.name = name;
  return p;
}

// Complex-symmetric incomplete factorisation with zero fill; a must be
// complex-symmetric (A = A^T exactly).
inline Preconditioner ic0(const CsrMatrix& a) {
  detail::check_square(a, "ic0");
  detail::check_symmetric(a, "ic0");
  return detail::symmetric_split(std::make_shared<const detail::Ldl>(detail::incomplete_ldlt(a, true, 0.0, 0.0)),
                                 "ic0");
}

// Complex-symmetric incomplete factorisation with a drop tolerance and a fill
// limit (see the top of this file).
inline Preconditioner ict(const CsrMatrix& a, double drop_tol = 1e-3, double fill = 5.0) {
  detail::check_square(a, "ict");
  detail::check_symmetric(a, "ict");
  if (!(drop_tol >= 0.0) || !(fill >= 0.0)) throw std::invalid_argument("ict: drop_tol and fill must be >= 0");
  char name[64];
  std::snprintf(name, sizeof name, "ict(drop %g, fill %g)", drop_tol, fill);
  return detail::symmetric_split(
      std::make_shared<const detail::Ldl>(detail::incomplete_ldlt(a, false, drop_tol, fill)), name);
}

namespace detail {
inline Preconditioner lu_split(std::shared_ptr<const Lu> f, std::string name) {
  const int n = static_cast<int>(f->d.size());
  Preconditioner p;
  const complex* d = f->d.data();
  p.left = sweep_operator(n, make_sweep(f->L, true, n, nullptr, nullptr, nullptr));
  p.right = sweep_operator(n, make_sweep(f->U, false, n, d, nullptr, nullptr));
  p.left_t = sweep_operator(n, make_sweep(transposed(f->L, n), false, n, nullptr, nullptr, nullptr));
  p.right_t = sweep_operator(n, make_sweep(transposed(f->U, n), true, n, d, nullptr, nullptr));
  p.symmetric = false;
  p.name = with_pivots(std::move(name), f->replaced);
  return p;
}
}  // namespace detail

// Incomplete LU with zero fill.
inline Preconditioner ilu0(const CsrMatrix& a) {
  detail::check_square(a, "ilu0");
  return detail::lu_split(std::make_shared<const detail::Lu>(detail::incomplete_lu(a, true, 0.0, 0.0)), "ilu0");
}

// Incomplete LU with a drop tolerance and a fill limit.
inline Preconditioner ilut(const CsrMatrix& a, double drop_tol = 1e-3, double fill = 5.0) {
  detail::check_square(a, "ilut");
  if (!(drop_tol >= 0.0) || !(fill >= 0.0)) throw std::invalid_argument("ilut: drop_tol and fill must be >= 0");
  char name[64];
  std::snprintf(name, sizeof name, "ilut(drop %g, fill %g)", drop_tol, fill);
  return detail::lu_split(std::make_shared<const detail::Lu>(detail::incomplete_lu(a, false, drop_tol, fill)),
                          name);
}

// How far M^-1 A is from the identity on a fixed pseudo-random block:
// ||x - M2^-1 M1^-1 A x|| / ||x||. Near 0 for a good preconditioner; well
// above 1 when the factors are unstable (threshold factorisations of
// strongly indefinite matrices can be), which makes it a cheap guard.
inline double quality(const CsrMatrix& a, const Preconditioner& p) {
  const int n = a.n;
  std::vector<complex> x(n), ax(n), t(n), y(n);
  std::uint64_t g = 0x9E3779B97F4A7C15ULL;
  for (int i = 0; i < n; ++i) {
    g = g * 6364136223846793005ULL + 1442695040888963407ULL;
    x[i] = complex(static_cast<double>(g >> 40) / 16777216.0 - 0.5, static_cast<double>((g >> 16) & 0xFFFFFF) / 16777216.0 - 0.5);
  }
  a.multiply(1, x.data(), ax.data());
  const Operator& first = p.left ? p.left : p.right;
  first(1, ax.data(), t.data());
  if (p.left && p.right) p.right(1, t.data(), y.data());
  else y = t;
  double e = 0.0, m = 0.0;
  for (int i = 0; i < n; ++i) e += std::norm(y[i] - x[i]), m += std::norm(x[i]);
  const double q = std::sqrt(e / m);
  return std::isfinite(q) ? q : std::numeric_limits<double>::infinity();
}

// The preconditioner `auto` picks for `a` and a method: for A = A^T the
// threshold L D L^T (ict, drop 1e-3, fill 5), for other A the threshold
// L U (ilut, same parameters): of the stock ones they cut products the most
// where they are stable. Threshold factorisations of strongly indefinite
// matrices can be unstable; when quality() says so (above 1) the zero-fill
// one (ic0, ilu0) is taken instead. The name says what was chosen and why.
inline Preconditioner automatic(const CsrMatrix& a) {
  const bool sym = a.is_symmetric();
  Preconditioner p = sym ? ict(a, 1e-3, 5.0) : ilut(a, 1e-3, 5.0);
  const double q = quality(a, p);
  if (q <= 1.0) {
    p.name = "auto: " + p.name + (sym ? " (A = A^T)" : " (A != A^T)");
    return p;
  }
  char why[96];
  std::snprintf(why, sizeof why, " (%s unstable here, ||I - M^-1 A|| ~ %.2g)", sym ? "ict" : "ilut", q);
  p = sym ? ic0(a) : ilu0(a);
  p.name = "auto: " + p.name + why;
  return p;
}

}  // namespace precond
}  // namespace blockkrylov
