// The fused row-tiled passes against the plain BLAS sequence they replace:
// random blocks at sizes around the tile (n below one tile, exactly one, not
// a multiple of it; s = 1 to 16), the columns whose norm takes the careful
// path (zero, NaN, underflowing, overflowing), and the same bits for 1 and 2
// threads and inside a host's parallel region.
#include <omp.h>

#include <cstring>
#include <limits>

#include "common/blas.hpp"
#include "lanczos/fused.hpp"
#include "lanczos/steps.hpp"
#include "support/lanczos_host.hpp"

namespace {

using namespace lanczos_test;
namespace lz = bk::lanczos;
const zc kOne(1.0, 0.0), kZero(0.0, 0.0);
const int kT = lz::kTileRows;

// Largest |a - b| over the entries, relative to the largest |b|.
double rel_diff(const Block& a, const Block& b) {
  double d = 0.0, m = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    d = std::max(d, std::abs(a[i] - b[i]));
    m = std::max(m, std::abs(b[i]));
  }
  return d / m;
}

Block gram(int n, int s, const Block& L, const Block& R) {
  Block g(s * s);
  bk::blas::zgemm('T', 'N', s, s, n, kOne, L.data(), n, R.data(), n, kZero, g.data(), s);
  return g;
}

struct Shape {
  int n, s;
};
const Shape kShapes[] = {{7, 1}, {kT, 3}, {kT + 1, 16}, {3 * kT - 5, 4}, {2 * kT + 9, 1},
                         {1100, 5}};

// Gram products (distinct and equal operands), next block with d = Y^T Y or
// Y^T other, direction update, QMR update: each against the plain sequence.
TEST(FusedPasses, AgreeWithPlainSequence) {
  for (const Shape& sh : kShapes) {
    const int n = sh.n, s = sh.s, ns = n * s;
    SCOPED_TRACE(testing::Message() << "n = " << n << ", s = " << s);
    const Block L = random_block(n, s, 1), R = random_block(n, s, 2), C = random_block(s, s, 3);
    Block g(s * s);
    lz::fused_gram(n, s, L.data(), R.data(), g.data());
    EXPECT_LT(rel_diff(g, gram(n, s, L, R)), 1e-14);
    lz::fused_gram(n, s, L.data(), L.data(), g.data());
    EXPECT_LT(rel_diff(g, gram(n, s, L, L)), 1e-14);

    for (const bool two : {false, true}) {
      Block z = L, y = R, z0 = L, y0 = R;
      std::vector<double> nrm(s, 7.0), old(s), nrm0(s, 7.0), old0(s);
      const int ldc = s;
      lz::fused_next_block(n, s, z.data(), y.data(), C.data(), s, nrm.data(), old.data(), g.data(),
                           two ? L.data() : nullptr);
      lz::next_block(&n, &s, z0.data(), y0.data(), C.data(), &ldc, nrm0.data(), old0.data());
      EXPECT_LT(rel_diff(z, z0), 1e-14);
      EXPECT_LT(rel_diff(y, y0), 1e-14);
      EXPECT_EQ(old, old0);
      for (int j = 0; j < s; ++j) EXPECT_NEAR(nrm[j], nrm0[j], 1e-14 * nrm0[j]);
      EXPECT_LT(rel_diff(g, gram(n, s, y0, two ? L : y0)), 1e-13);
    }

    Block p = L, p0 = L, work(ns);
    lz::fused_next_direction(n, s, p.data(), R.data(), C.data());
    lz::next_direction(&n, &s, p0.data(), R.data(), C.data(), work.data());
    EXPECT_LT(rel_diff(p, p0), 1e-14);

    // D := (P - D Rp) Ri with Ri upper triangular (garbage below, unread),
    // X := X + D T, as step 5 of ZD_BQMR1 does it.
    const Block Rp = random_block(s, s, 4), Ri = random_block(s, s, 5), T = random_block(s, s, 6);
    Block d = random_block(n, s, 7), x = random_block(n, s, 8), d0 = d, x0 = x;
    lz::fused_qmr_update(n, s, d.data(), R.data(), x.data(), Rp.data(), s, Ri.data(), s, T.data(),
                         s);
    bk::blas::zgemm('N', 'N', n, s, s, kOne, d0.data(), n, Rp.data(), s, kZero, work.data(), n);
    for (int i = 0; i < ns; ++i) d0[i] = R[i] - work[i];
    bk::blas::ztrmm('R', 'U', 'N', 'N', n, s, kOne, Ri.data(), s, d0.data(), n);
    bk::blas::zgemm('N', 'N', n, s, s, kOne, d0.data(), n, T.data(), s, kOne, x0.data(), n);
    EXPECT_LT(rel_diff(d, d0), 1e-13);
    EXPECT_LT(rel_diff(x, x0), 1e-13);
  }
}

// Columns whose sum of squares cannot be used as it is. With Y = 0 the new
// block is Z itself: column j of Z is scale_j times a random column (0: an
// exactly zero column, NaN: one NaN entry). Records, norms and the block must
// be the plain sequence's; d = Y^T Y is recomputed from the normalised block.
TEST(FusedPasses, CarefulNormColumns) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double scale;
    bool zero, has_nan;
  } cols[] = {{1.0, false, false},   {0.0, true, false},  {1e-160, false, false},
              {1e200, false, false}, {1.0, false, true},  {0.0, true, false}};
  const int n = kT + 3, s = 6, ldc = s;
  Block z = random_block(n, s, 9);
  for (int j = 0; j < s; ++j)
    for (int i = 0; i < n; ++i) z[j * n + i] *= cols[j].scale;
  z[4 * n + 2] = zc(nan, 0.0);
  const Block C = random_block(s, s, 10);
  Block y(n * s, 0.0), z0 = z, y0 = y, g(s * s);
  std::vector<double> nrm(s, 3.0), old(s), nrm0(s, 3.0), old0(s);
  const Lines fused = records([&] {
    lz::fused_next_block(n, s, z.data(), y.data(), C.data(), s, nrm.data(), old.data(), g.data(),
                         nullptr);
  });
  const Lines plain = records([&] {
    lz::next_block(&n, &s, z0.data(), y0.data(), C.data(), &ldc, nrm0.data(), old0.data());
  });
  EXPECT_EQ(fused, plain);
  EXPECT_EQ(fused.size(), 4u);  // columns 2 and 6
  for (int j = 0; j < s; ++j) {
    SCOPED_TRACE(testing::Message() << "column " << j + 1);
    if (cols[j].has_nan) {
      EXPECT_TRUE(std::isnan(nrm[j]) && std::isnan(nrm0[j]));
      continue;
    }
    EXPECT_NEAR(nrm[j], nrm0[j], 1e-14 * nrm0[j]);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(std::abs(y[j * n + i] - y0[j * n + i]), 0.0, 1e-15);
  }
  // d(1, 1) = y1^T y1 for the ordinary column, finite; the underflowing and
  // overflowing columns normalised like any other.
  Block g0 = gram(n, s, y0, y0);
  for (int p : {0, 2, 3})
    for (int q : {0, 2, 3}) EXPECT_NEAR(std::abs(g[p + q * s] - g0[p + q * s]), 0.0, 1e-13);
  EXPECT_EQ(g[1 + 1 * s], kZero);
}

// Bit for bit the same with 1 and 2 threads, and on each thread of a host's
// team (where a pass stays on its thread): every pass, then three steps of
// the two-sided driver, whose d_n and e_n come from the fused reductions.
TEST(FusedPasses, SameBitsForAnyThreadCount) {
  const int n = 9 * kT + 100, s = 8;  // n s above the threshold of a team
  ASSERT_GE(1LL * n * s, lz::kParallelMinWork);
  const Block L = random_block(n, s, 11), R = random_block(n, s, 12), C = random_block(s, s, 13);
  auto run = [&] {
    Block out, g(s * s), z = L, y = R, x = R;
    std::vector<double> nrm(s, 1.0), old(s);
    lz::fused_gram(n, s, L.data(), R.data(), g.data());
    out.insert(out.end(), g.begin(), g.end());
    lz::fused_next_block(n, s, z.data(), y.data(), C.data(), s, nrm.data(), old.data(), g.data(),
                         nullptr);
    for (double v : nrm) out.push_back(v);
    out.insert(out.end(), g.begin(), g.end());
    out.insert(out.end(), y.begin(), y.end());
    lz::fused_next_direction(n, s, z.data(), y.data(), C.data());
    lz::fused_qmr_update(n, s, z.data(), L.data(), x.data(), C.data(), s, C.data(), s, C.data(), s);
    out.insert(out.end(), x.begin(), x.end());
    return out;
  };
  auto solve = [&] {
    const Op A = stencil(101, zc(0.5, 0.3), 0.4), At = stencil(101, zc(0.5, 0.3), -0.4);
    TwoSolve w(101 * 101, 4);
    w.start(A, random_block(w.n, 4, 14));
    for (int k = 0; k < 3; ++k) EXPECT_EQ(w.step(A, At), 0);
    return w.X;
  };
  auto same = [](const Block& a, const Block& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(zc)) == 0;
  };
  const int saved = omp_get_max_threads();
  omp_set_num_threads(1);
  const Block one = run(), x1 = solve();
  omp_set_num_threads(2);
  EXPECT_TRUE(same(run(), one));
  EXPECT_TRUE(same(solve(), x1));
  Block team[2];
#pragma omp parallel num_threads(2)
  team[omp_get_thread_num()] = run();
  EXPECT_TRUE(same(team[0], one));
  EXPECT_TRUE(same(team[1], one));
  omp_set_num_threads(saved);
}

}  // namespace
