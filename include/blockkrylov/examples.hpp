// blockkrylov/examples.hpp - generated example problems (namespace
// blockkrylov::examples) for examples, tests and benchmarks. They are not
// part of the solver interface and may change between versions.
//
// The two grid problems discretise an operator on the unit square with
// nx x ny interior points, mesh widths hx = 1/(nx+1), hy = 1/(ny+1),
// homogeneous Dirichlet conditions and the 5-point stencil; unknown (ix, iy)
// (0-based) has index ix + nx * iy. Entries are O(1/h^2).
//
//   helmholtz_2d:            -Laplace(u) - k^2 (1 + i damping) u
//       complex-symmetric (A = A^T); indefinite once k^2 exceeds the
//       smallest eigenvalue of -Laplace (about 2 pi^2).
//   convection_diffusion_2d: -Laplace(u) + peclet (u_x + u_y) + shift u
//       central differences for the first derivatives: non-symmetric.
//
// random_sparse builds a matrix without structure whose diagonal dominates
// its rows; point_sources builds right-hand sides for the grid problems.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "blockkrylov/csr.hpp"

namespace blockkrylov::examples {

namespace detail {

inline void check_grid(int nx, int ny, const char* who) {
  if (nx < 1 || ny < 1 || static_cast<std::int64_t>(nx) * ny > 0x7fffffff)
    throw std::invalid_argument(std::string(who) + ": the grid must be at least 1 x 1 and fit an int");
}

// 5-point stencil with the given centre and neighbour coefficients.
inline CsrMatrix stencil_2d(int nx, int ny, complex centre, complex west, complex east,
                            complex south, complex north) {
  const int n = nx * ny;
  CsrMatrix a;
  a.n = n;
  a.rowptr.assign(static_cast<std::size_t>(n) + 1, 0);
  a.col.reserve(static_cast<std::size_t>(n) * 5);
  a.val.reserve(static_cast<std::size_t>(n) * 5);
  for (int iy = 0; iy < ny; ++iy) {
    for (int ix = 0; ix < nx; ++ix) {
      const int i = ix + nx * iy;
      // Columns in increasing order: south, west, centre, east, north.
      if (iy > 0) { a.col.push_back(i - nx); a.val.push_back(south); }
      if (ix > 0) { a.col.push_back(i - 1); a.val.push_back(west); }
      a.col.push_back(i); a.val.push_back(centre);
      if (ix + 1 < nx) { a.col.push_back(i + 1); a.val.push_back(east); }
      if (iy + 1 < ny) { a.col.push_back(i + nx); a.val.push_back(north); }
      a.rowptr[i + 1] = static_cast<std::int64_t>(a.col.size());
    }
  }
  return a;
}

// SplitMix64: a small generator whose output is the same on every platform
// (the standard distributions are not), so that seeds reproduce matrices.
struct SplitMix64 {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
  int below(int m) { return static_cast<int>(next() % static_cast<std::uint64_t>(m)); }
};

}  // namespace detail

// -Laplace(u) - k^2 (1 + i*damping) u on the unit square, nx x ny interior
// points, Dirichlet, 5-point stencil, scaled by 1/h^2 so that entries are
// O(1/h^2): complex-symmetric, indefinite for k large enough.
inline CsrMatrix helmholtz_2d(int nx, int ny, double k, double damping) {
  detail::check_grid(nx, ny, "helmholtz_2d");
  const double hx = 1.0 / (nx + 1), hy = 1.0 / (ny + 1);
  const double cx = 1.0 / (hx * hx), cy = 1.0 / (hy * hy);
  const complex centre = complex(2.0 * cx + 2.0 * cy, 0.0) - k * k * complex(1.0, damping);
  return detail::stencil_2d(nx, ny, centre, -cx, -cx, -cy, -cy);
}

// -Laplace(u) + peclet*(du/dx + du/dy) (central differences) + shift*u;
// non-symmetric complex.
inline CsrMatrix convection_diffusion_2d(int nx, int ny, double peclet, complex shift) {
  detail::check_grid(nx, ny, "convection_diffusion_2d");
  const double hx = 1.0 / (nx + 1), hy = 1.0 / (ny + 1);
  const double cx = 1.0 / (hx * hx), cy = 1.0 / (hy * hy);
  const double bx = peclet / (2.0 * hx), by = peclet / (2.0 * hy);
  return detail::stencil_2d(nx, ny, complex(2.0 * cx + 2.0 * cy, 0.0) + shift, -cx - bx, -cx + bx,
                            -cy - by, -cy + by);
}

// Random sparse non-symmetric complex matrix, per_row off-diagonal entries
// per row, diagonal dominant by factor `dominance` (>1), deterministic in seed.
//
// Off-diagonal entries have real and imaginary parts uniform in [-1, 1) and
// distinct columns (per_row is capped at n - 1). The diagonal entry of row i
// is dominance * (sum of |a_ij| over j != i) times a phase drawn from
// [-pi/4, pi/4], so the Gershgorin discs stay in the right half-plane when
// dominance > 1 and the matrix is nonsingular. A row without off-diagonal
// entries gets the diagonal `dominance`.
inline CsrMatrix random_sparse(int n, int per_row, unsigned seed, double dominance) {
  if (n < 0 || per_row < 0)
    throw std::invalid_argument("random_sparse: n and per_row must not be negative");
  if (!(dominance > 0.0) || !std::isfinite(dominance))
    throw std::invalid_argument("random_sparse: dominance must be positive and finite");
  const int k = n > 0 ? std::min(per_row, n - 1) : 0;
  detail::SplitMix64 rng{0x5eed0000ULL ^ (static_cast<std::uint64_t>(seed) << 17) ^ seed};
  std::vector<int> rows, cols;
  std::vector<complex> vals;
  rows.reserve(static_cast<std::size_t>(n) * (k + 1));
  cols.reserve(rows.capacity());
  vals.reserve(rows.capacity());
  std::vector<int> picked;
  for (int i = 0; i < n; ++i) {
    picked.clear();
    double sum = 0.0;
    while (static_cast<int>(picked.size()) < k) {
      // Draw a column other than i, rejecting repeats (k < n keeps this short
      // when per_row is small; for dense rows fall back to a partial shuffle).
      int j = rng.below(n - 1);
      if (j >= i) ++j;
      if (std::find(picked.begin(), picked.end(), j) != picked.end()) {
        if (2 * k > n) {
          for (int c = 0; c < n && static_cast<int>(picked.size()) < k; ++c)
            if (c != i && std::find(picked.begin(), picked.end(), c) == picked.end())
              picked.push_back(c);
          break;
        }
        continue;
      }
      picked.push_back(j);
    }
    for (int j : picked) {
      const complex v(2.0 * rng.uniform() - 1.0, 2.0 * rng.uniform() - 1.0);
      rows.push_back(i);
      cols.push_back(j);
      vals.push_back(v);
      sum += std::abs(v);
    }
    const double phase = (rng.uniform() - 0.5) * (std::acos(-1.0) / 2.0);
    const double mag = sum > 0.0 ? dominance * sum : dominance;
    rows.push_back(i);
    cols.push_back(i);
    vals.push_back(std::polar(mag, phase));
  }
  return CsrMatrix::from_triplets(n, rows, cols, vals);
}

// s point sources on an nx x ny grid, spread over the domain: n x s block,
// column j = e_{p_j}.
//
// The sources sit at the centres of the cells of a c x r partition of the
// grid (c = ceil(sqrt(s)), r = ceil(s / c)), filled row by row; when that
// partition is finer than the grid, the points are spread evenly over the
// index range instead. The points are distinct; s > nx * ny throws
// std::invalid_argument.
inline std::vector<complex> point_sources(int nx, int ny, int s) {
  detail::check_grid(nx, ny, "point_sources");
  const int n = nx * ny;
  if (s < 0 || s > n)
    throw std::invalid_argument("point_sources: s must lie between 0 and nx * ny");
  std::vector<complex> b(static_cast<std::size_t>(n) * s, complex(0.0));
  if (s == 0) return b;
  int c = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(s))));
  while (c * c < s) ++c;
  const int r = (s + c - 1) / c;
  const bool grid = c <= nx && r <= ny;
  for (int j = 0; j < s; ++j) {
    int p;
    if (grid) {
      const int ix = static_cast<int>((j % c + 0.5) * nx / c);
      const int iy = static_cast<int>((j / c + 0.5) * ny / r);
      p = ix + nx * iy;
    } else {
      p = static_cast<int>((j + 0.5) * n / s);
    }
    b[static_cast<std::size_t>(j) * n + p] = 1.0;
  }
  return b;
}

}  // namespace blockkrylov::examples
