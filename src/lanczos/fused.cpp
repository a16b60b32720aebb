// Row-tiled passes of the block Lanczos steps (see fused.hpp).
//
// Tile kernels work on interleaved complex data as vectors of four doubles
// (two complex numbers). A complex product a * b with a scalar b is carried as
// two real accumulations, a * re(b) and a * im(b); the second is swapped
// within each pair and sign-corrected once at the end of the sum, so the inner
// loops are plain multiply-adds. On x86-64 each kernel is built twice (AVX2 +
// FMA and the baseline) and the first call picks one for the machine; every
// thread of a process runs the same one. In the AVX2 build of the two
// multiply-add kernels each loaded vector is pinned to a register: left to
// itself the compiler folds the load into every multiply-add that uses it,
// and the repeated loads, not the multiply-adds, then bound the speed.
#include "lanczos/fused.hpp"

#include <omp.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/blas.hpp"
#include "common/comm.hpp"
#include "common/records.hpp"

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_ADDRESS__)
#define BK_WIDE_BUILD 1
#define BK_TILE_KERNEL __attribute__((target_clones("arch=x86-64-v3", "default")))
#define BK_WIDE __attribute__((target("arch=x86-64-v3")))
#else
#define BK_WIDE_BUILD 0
#define BK_TILE_KERNEL
#define BK_WIDE
#endif

// The vector type is only used inside this file's inlined helpers.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace bk::lanczos {
namespace {

using v4 = double __attribute__((vector_size(32)));
using v4i = long long __attribute__((vector_size(32)));

#define BK_INLINE inline __attribute__((always_inline))

BK_INLINE v4 load(const double* p) {
  v4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
BK_INLINE void store(double* p, const v4& v) { std::memcpy(p, &v, sizeof v); }
BK_INLINE v4 splat(double x) { return v4{x, x, x, x}; }
// (re, im) pairs -> (im, re) pairs.
BK_INLINE v4 swap_pairs(const v4& v) { return __builtin_shuffle(v, v4i{1, 0, 3, 2}); }
// sum a * re(b) + swap(sum a * im(b)) * (-1, 1): the complex sum from its two
// real accumulations.
BK_INLINE v4 combine(const v4& r, const v4& q) {
  return r + swap_pairs(q) * v4{-1.0, 1.0, -1.0, 1.0};
}

// Thread-local storage that only grows.
template <class T>
T* grown(std::vector<T>& v, std::size_t count) {
  if (v.size() < count) v.resize(count);
  return v.data();
}

// A loaded vector kept in a register (see the top of this file).
template <bool kWide>
BK_INLINE void pin(v4& x) {
#if BK_WIDE_BUILD
  if constexpr (kWide) __asm__("" : "+x"(x));
#else
  (void)x;
#endif
}

const double* re_im(const zc* z) { return reinterpret_cast<const double*>(z); }
double* re_im(zc* z) { return reinterpret_cast<double*>(z); }

// out(:, j) = base(:, j) + sum_k A(:, k) c(k, j) on rows 0..m-1, k < s, or
// k <= j when upper. cf holds c(k, j) at cf + 8 (k + j s) as re(c) four
// times, then im(c) four times. base may be null (taken as zero) or equal to
// out; A must not overlap out. Eight rows at a time, all columns of out for
// them before the next eight: the rows of A stay in the first-level cache,
// and eight independent multiply-add chains are in flight.
template <bool kWide>
BK_INLINE void update_rows(int m, int s, bool upper, const zc* A, long lda, const double* cf,
                           const zc* base, long ldb, zc* out, long ldo) {
  int i = 0;
  for (; i + 8 <= m; i += 8)
    for (int j = 0; j < s; ++j) {
      const int kend = upper ? j + 1 : s;
      const double* c = cf + 8L * j * s;
      v4 r[4], q[4];
      for (int u = 0; u < 4; ++u) r[u] = q[u] = splat(0.0);
      for (int k = 0; k < kend; ++k) {
        const double* a = re_im(A + k * lda + i);
        const v4 cr = load(c + 8 * k), ci = load(c + 8 * k + 4);
        for (int u = 0; u < 4; ++u) {
          v4 x = load(a + 4 * u);
          pin<kWide>(x);
          r[u] += x * cr;
          q[u] += x * ci;
        }
      }
      double* o = re_im(out + j * ldo + i);
      const double* b = base ? re_im(base + j * ldb + i) : nullptr;
      for (int u = 0; u < 4; ++u) {
        v4 v = combine(r[u], q[u]);
        if (b) v = load(b + 4 * u) + v;
        store(o + 4 * u, v);
      }
    }
  for (; i < m; ++i)
    for (int j = 0; j < s; ++j) {
      const int kend = upper ? j + 1 : s;
      const double* c = cf + 8L * j * s;
      double rr = 0.0, ri = 0.0, qr = 0.0, qi = 0.0;
      for (int k = 0; k < kend; ++k) {
        const double* a = re_im(A + k * lda + i);
        rr += a[0] * c[8 * k];
        ri += a[1] * c[8 * k];
        qr += a[0] * c[8 * k + 4];
        qi += a[1] * c[8 * k + 4];
      }
      double tr = rr - qi, ti = ri + qr;
      if (base) tr = re_im(base + j * ldb + i)[0] + tr, ti = re_im(base + j * ldb + i)[1] + ti;
      re_im(out + j * ldo + i)[0] = tr;
      re_im(out + j * ldo + i)[1] = ti;
    }
}

// sums[j] = sum_i |Z(i, j)|^2 on rows 0..m-1.
BK_TILE_KERNEL void tile_sumsq(int m, int s, const zc* Z, long ldz, double* sums) {
  for (int j = 0; j < s; ++j) {
    const double* z = re_im(Z + j * ldz);
    v4 acc[4];
    for (int u = 0; u < 4; ++u) acc[u] = splat(0.0);
    int i = 0;
    for (; i + 8 <= m; i += 8)
      for (int u = 0; u < 4; ++u) {
        const v4 x = load(z + 2 * i + 4 * u);
        acc[u] += x * x;
      }
    const v4 a = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    double t = (a[0] + a[1]) + (a[2] + a[3]);
    for (; i < m; ++i) t += z[2 * i] * z[2 * i] + z[2 * i + 1] * z[2 * i + 1];
    sums[j] = t;
  }
}

// One BP x BQ block of tile_gram, from columns p.. of L and q.. of R; two
// complex rows per step, 2 BP BQ independent chains.
template <bool kWide, int BP, int BQ>
BK_INLINE void gram_block(int m, int s, const zc* L, long ldl, int p, const zc* R, long ldr,
                          int q, double* G) {
  // a: (lr rr, li ri) pairs, b: (li rr, lr ri) pairs.
  v4 a[BP][BQ], b[BP][BQ];
  for (int x = 0; x < BP; ++x)
    for (int y = 0; y < BQ; ++y) a[x][y] = b[x][y] = splat(0.0);
  int i = 0;
  for (; i + 2 <= m; i += 2) {
    v4 l[BP], ls[BP], r[BQ];
    for (int x = 0; x < BP; ++x) {
      l[x] = load(re_im(L + (p + x) * ldl) + 2 * i);
      pin<kWide>(l[x]);
      ls[x] = swap_pairs(l[x]);
    }
    for (int y = 0; y < BQ; ++y) {
      r[y] = load(re_im(R + (q + y) * ldr) + 2 * i);
      pin<kWide>(r[y]);
    }
    for (int x = 0; x < BP; ++x)
      for (int y = 0; y < BQ; ++y) {
        a[x][y] += l[x] * r[y];
        b[x][y] += ls[x] * r[y];
      }
  }
  for (int x = 0; x < BP; ++x)
    for (int y = 0; y < BQ; ++y) {
      const double* l = re_im(L + (p + x) * ldl);
      const double* r = re_im(R + (q + y) * ldr);
      double re = (a[x][y][0] - a[x][y][1]) + (a[x][y][2] - a[x][y][3]);
      double im = (b[x][y][0] + b[x][y][1]) + (b[x][y][2] + b[x][y][3]);
      if (i < m) {
        re += l[2 * i] * r[2 * i] - l[2 * i + 1] * r[2 * i + 1];
        im += l[2 * i + 1] * r[2 * i] + l[2 * i] * r[2 * i + 1];
      }
      G[2L * (p + x + (q + y) * s)] = re;
      G[2L * (p + x + (q + y) * s) + 1] = im;
    }
}

// G(p, q) = sum_i L(i, p) R(i, q) on rows 0..m-1 as (re, im) pairs, ld s; with
// sym (L = R) only the 2 x 2 blocks on or above the diagonal are formed
// (G(p, q) for q >= p is among them).
template <bool kWide>
BK_INLINE void gram_rows(int m, int s, const zc* L, long ldl, const zc* R, long ldr, bool sym,
                         double* G) {
  const int s2 = s & ~1;
  for (int p = 0; p < s2; p += 2) {
    int q = sym ? p : 0;
    for (; q < s2; q += 2) gram_block<kWide, 2, 2>(m, s, L, ldl, p, R, ldr, q, G);
    if (q < s) gram_block<kWide, 2, 1>(m, s, L, ldl, p, R, ldr, q, G);
  }
  if (s2 < s)
    for (int q = sym ? s2 : 0; q < s; ++q)
      gram_block<kWide, 1, 1>(m, s, L, ldl, s2, R, ldr, q, G);
}

// The two builds of the multiply-add kernels and the choice between them.
BK_WIDE void update_wide(int m, int s, bool upper, const zc* A, long lda, const double* cf,
                         const zc* base, long ldb, zc* out, long ldo) {
  update_rows<BK_WIDE_BUILD == 1>(m, s, upper, A, lda, cf, base, ldb, out, ldo);
}
void update_base(int m, int s, bool upper, const zc* A, long lda, const double* cf,
                 const zc* base, long ldb, zc* out, long ldo) {
  update_rows<false>(m, s, upper, A, lda, cf, base, ldb, out, ldo);
}
BK_WIDE void gram_wide(int m, int s, const zc* L, long ldl, const zc* R, long ldr, bool sym,
                       double* G) {
  gram_rows<BK_WIDE_BUILD == 1>(m, s, L, ldl, R, ldr, sym, G);
}
void gram_base(int m, int s, const zc* L, long ldl, const zc* R, long ldr, bool sym, double* G) {
  gram_rows<false>(m, s, L, ldl, R, ldr, sym, G);
}

bool wide_machine() {
#if BK_WIDE_BUILD
  static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return wide;
#else
  return false;
#endif
}

// Rows of A copied together before they are used: a block's columns lie n
// rows apart, and for many n (n = 10^6 among them, or any multiple of 256)
// reading all s columns a few rows at a time ran at a third of the speed of
// other n (cache-set and address aliasing between the columns). A copy of
// kPackRows rows of every column is contiguous, stays in the first-level
// cache for s up to about 16, and makes the speed the same for every n.
constexpr int kPackRows = 128;
thread_local std::vector<zc> t_pack;

void tile_update(int m, int s, bool upper, const zc* A, long lda, const double* cf,
                 const zc* base, long ldb, zc* out, long ldo) {
  const auto kernel = wide_machine() ? update_wide : update_base;
  if (s < 4) return kernel(m, s, upper, A, lda, cf, base, ldb, out, ldo);  // too little reuse
  zc* pack = grown(t_pack, static_cast<std::size_t>(kPackRows) * s);
  for (int r0 = 0; r0 < m; r0 += kPackRows) {
    const int mr = std::min(kPackRows, m - r0);
    for (int k = 0; k < s; ++k)
      std::copy(A + k * lda + r0, A + k * lda + r0 + mr, pack + k * kPackRows);
    kernel(mr, s, upper, pack, kPackRows, cf, base ? base + r0 : nullptr, ldb, out + r0, ldo);
  }
}

void tile_gram(int m, int s, const zc* L, long ldl, const zc* R, long ldr, bool sym, double* G) {
  (wide_machine() ? gram_wide : gram_base)(m, s, L, ldl, R, ldr, sym, G);
}

// Y(:, j) = Z(:, j) * f[j] on rows 0..m-1.
BK_TILE_KERNEL void tile_scale(int m, int s, const zc* Z, long ldz, const double* f, zc* Y,
                               long ldy) {
  for (int j = 0; j < s; ++j) {
    const double* z = re_im(Z + j * ldz);
    double* y = re_im(Y + j * ldy);
    const double fj = f[j];
    for (int i = 0; i < 2 * m; ++i) y[i] = z[i] * fj;
  }
}

thread_local std::vector<double> t_partials, t_coef, t_small;
thread_local std::vector<zc> t_tile;

// c(k, j) = sign * M(k, j) in tile_update's layout (8 doubles each, ld s).
void coefficients(int s, const zc* M, long ldm, double sign, double* cf) {
  for (int j = 0; j < s; ++j)
    for (int k = 0; k < s; ++k) {
      double* c = cf + 8L * (k + j * s);
      std::fill(c, c + 4, sign * M[k + j * ldm].real());
      std::fill(c + 4, c + 8, sign * M[k + j * ldm].imag());
    }
}

int tiles(int n) { return (n + kTileRows - 1) / kTileRows; }

// Threads for a pass over n rows of s columns: 1 inside a parallel region or
// below the work threshold, else what the caller's OpenMP setting allows.
int team_size(int n, int s) {
  if (static_cast<long long>(n) * s < kParallelMinWork || omp_in_parallel()) return 1;
  return std::max(1, std::min(omp_get_max_threads(), tiles(n)));
}

// body(tile, first row, rows) for every tile, split over the team.
template <class Body>
void for_tiles(int n, int s, const Body& body) {
  const int nt = tiles(n);
  const int team = team_size(n, s);
  if (team == 1) {
    for (int t = 0; t < nt; ++t) body(t, t * kTileRows, std::min(kTileRows, n - t * kTileRows));
    return;
  }
#pragma omp parallel for num_threads(team) schedule(static)
  for (int t = 0; t < nt; ++t) body(t, t * kTileRows, std::min(kTileRows, n - t * kTileRows));
}

// sum[0..len) = the per-tile partials (stride len) added in tile order.
void add_partials(int nt, int len, const double* partials, double* sum) {
  std::fill(sum, sum + len, 0.0);
  for (int t = 0; t < nt; ++t) {
    const double* p = partials + static_cast<long>(t) * len;
    for (int k = 0; k < len; ++k) sum[k] += p[k];
  }
}

// G (zc, ld s) from the summed pairs g; mirrored when only q >= p was formed.
void store_gram(int s, const double* g, bool sym, zc* G) {
  for (int q = 0; q < s; ++q)
    for (int p = 0; p < s; ++p) {
      const int pp = sym && p > q ? q : p, qq = sym && p > q ? p : q;
      G[p + q * s] = zc(g[2L * (pp + qq * s)], g[2L * (pp + qq * s) + 1]);
    }
}

// Sums of squares at or above this lost nothing to underflow: even n terms
// rounded at the smallest subnormal spacing stay far below one rounding of
// the sum (and 1/sqrt of the sum is finite).
const double kSumsqFloor = 0x1p-900;

}  // namespace

void fused_gram(int n, int s, const zc* L, const zc* R, bool sym, zc* G) {
  if (n <= 0 && !comm::split()) {
    for (int k = 0; k < s * s; ++k) G[k] = zc(0.0, 0.0);
    return;
  }
  const int nt = tiles(n);
  const int len = 2 * s * s;
  double* partials = grown(t_partials, static_cast<std::size_t>(nt) * len);
  for_tiles(n, s, [&](int t, int r0, int m) {
    tile_gram(m, s, L + r0, n, R + r0, n, sym, partials + static_cast<long>(t) * len);
  });
  double* g = grown(t_small, len);
  add_partials(nt, len, partials, g);
  comm::sum(g, len);
  store_gram(s, g, sym, G);
}

void fused_next_block(int n, int s, zc* Z, zc* Y, const zc* C, int ldc, double* nrm,
                      double* nrmold, zc* G, const zc* other, bool sym) {
  const int nt = tiles(n);
  const bool gram = G != nullptr && (n > 0 || comm::split());
  const int len = s + (gram ? 2 * s * s : 0);
  double* cf = grown(t_coef, 8L * s * s);
  coefficients(s, C, ldc, -1.0, cf);
  double* partials = grown(t_partials, static_cast<std::size_t>(nt) * len);

  // Pass 1: Z := Z - Y C, then from the tile still in cache its column sums
  // of squares and, when asked, its Gram product with itself or `other`.
  for_tiles(n, s, [&](int t, int r0, int m) {
    double* part = partials + static_cast<long>(t) * len;
    tile_update(m, s, false, Y + r0, n, cf, Z + r0, n, Z + r0, n);
    tile_sumsq(m, s, Z + r0, n, part);
    if (gram) tile_gram(m, s, Z + r0, n, sym ? Z + r0 : other + r0, n, sym, part + s);
  });
  double* sums = grown(t_small, static_cast<std::size_t>(len) + s);
  double* factor = sums + len;
  add_partials(nt, len, partials, sums);
  comm::sum(sums, len);

  const auto trusted = [&](int j) { return sums[j] >= kSumsqFloor && sums[j] <= DBL_MAX; };
  bool scaled_later = false;
  for (int j = 0; j < s; ++j) {
    nrmold[j] = nrm[j];
    if (trusted(j)) {
      nrm[j] = std::sqrt(sums[j]);
      factor[j] = 1.0 / nrm[j];
    } else {
      factor[j] = 1.0;  // copied now, normalised below
      scaled_later = true;
    }
  }

  // Pass 2: Y := Z diag(factor).
  for_tiles(n, s, [&](int, int r0, int m) { tile_scale(m, s, Z + r0, n, factor, Y + r0, n); });

  // The columns whose sum of squares could not be trusted: the scaled norm
  // and scaling of next_block, on the calling thread (every rank has the
  // same sums, so all take part in the same norms).
  for (int j = 0; j < s; ++j) {
    if (trusted(j)) continue;
    zc* y = Y + static_cast<long>(j) * n;
    double nu = 0.0;
    comm::norms(n, 1, y, n, &nu);
    if (nu == 0.0) {
      record("ERROR IN NRM_SS:");
      record("SP COL VECTOR WITH ZERO NORM...", j + 1);
      nrm[j] = 0.0;
      continue;
    }
    nrm[j] = nu;
    blas::zscal(n, zc(1.0 / nu, 0.0 / nu), y, 1);
  }

  if (G == nullptr) return;
  if (gram && !scaled_later) {
    // Y^T Y = diag(f) (Z^T Z) diag(f), Y^T other = diag(f) Z^T other.
    const double* g = sums + s;
    bool finite = true;
    for (int q = 0; q < s; ++q)
      for (int p = 0; p < s; ++p) {
        const int pp = sym && p > q ? q : p, qq = sym && p > q ? p : q;
        const double f = factor[p] * (sym ? factor[q] : 1.0);
        const zc v(g[2L * (pp + qq * s)] * f, g[2L * (pp + qq * s) + 1] * f);
        finite = finite && std::isfinite(v.real()) && std::isfinite(v.imag());
        G[p + q * s] = v;
      }
    if (finite) return;
  }
  fused_gram(n, s, Y, sym ? Y : other, sym, G);
}

void fused_next_direction(int n, int s, zc* P, const zc* V, const zc* U) {
  double* cf = grown(t_coef, 8L * s * s);
  coefficients(s, U, s, -1.0, cf);
  for_tiles(n, s, [&](int, int r0, int m) {
    zc* w = grown(t_tile, static_cast<std::size_t>(kTileRows) * s);
    tile_update(m, s, false, P + r0, n, cf, V + r0, n, w, m);
    for (int j = 0; j < s; ++j)
      std::copy(w + static_cast<long>(j) * m, w + static_cast<long>(j) * m + m,
                P + r0 + static_cast<long>(j) * n);
  });
}

void fused_qmr_update(int n, int s, zc* D, const zc* P, zc* X, const zc* R, int ldr,
                      const zc* Rinv, int ldri, const zc* T, int ldt) {
  const long ss2 = 8L * s * s;
  double* cf = grown(t_coef, 3 * ss2);
  coefficients(s, R, ldr, -1.0, cf);
  coefficients(s, Rinv, ldri, 1.0, cf + ss2);
  coefficients(s, T, ldt, 1.0, cf + 2 * ss2);
  for_tiles(n, s, [&](int, int r0, int m) {
    zc* w = grown(t_tile, static_cast<std::size_t>(kTileRows) * s);
    tile_update(m, s, false, D + r0, n, cf, P + r0, n, w, m);           // P - D R
    tile_update(m, s, true, w, m, cf + ss2, nullptr, 0, D + r0, n);      // (..) Rinv
    tile_update(m, s, false, D + r0, n, cf + 2 * ss2, X + r0, n, X + r0, n);  // X + D T
  });
}

}  // namespace bk::lanczos
