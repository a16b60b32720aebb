// Row-tiled passes for the n-length work of a block Lanczos step. Each pass
// streams its operands once, tile by tile (kTileRows rows, every column of a
// tile kept in cache while it is worked on); the s x s coefficients are
// prepared once per call.
//
// Threads: a pass splits its tiles over OpenMP threads only when it is called
// outside an active parallel region, with as many threads as
// omp_get_max_threads() allows, and only above kParallelMinWork entries;
// otherwise it runs on the calling thread. No BLAS is called inside a team.
// Reductions (Gram products, column sums of squares) keep one partial result
// per tile and add them in tile order on one thread, so every result is the
// same bit for bit for any number of threads.
//
// Buffers (per-tile partials, coefficients, tile scratch) are thread-local and
// grow only when a call needs more than any call before on that thread.
//
// Blocks are n x s with leading dimension n; results agree with the plain
// sequence of BLAS calls (steps.hpp, ZD_BQMR1) to rounding.
#pragma once

#include "common/core.hpp"

namespace bk::lanczos {

inline constexpr int kTileRows = 512;
// Entries (n * s) below which a pass stays on the calling thread: below this
// a team's start-up and barrier cost more than a second thread gains (on 2
// cores, a Gram product, a recurrence and a direction update together broke
// even at 12-16 thousand entries for s = 1, 4 and 8).
inline constexpr long long kParallelMinWork = 16384;

// G (s x s, ld s) = L^T R; sym: L and R are the same block (only the upper
// triangle is formed, then mirrored).
void fused_gram(int n, int s, const zc* L, const zc* R, bool sym, zc* G);
inline void fused_gram(int n, int s, const zc* L, const zc* R, zc* G) {
  fused_gram(n, s, L, R, L == R, G);
}

// next_block (steps.hpp) in two passes: Z := Z - Y C with the column sums of
// squares, then Y := Z diag(nrm)^-1; nrmold := nrm before. Records and the
// zero-column rule are those of next_block. A sum of squares that is zero,
// not finite or so small that it may have lost digits to underflow is
// replaced by the scaled norm of the column (BLAS, after the pass).
// When G is not null it receives, from the same passes, Y^T Y (other null)
// or Y^T other (s x s, ld s), Y being the normalised block.
// sym: the Gram product is Y^T Y (other is not read); the drivers say so
// explicitly, since a rank that holds no rows may pass null blocks.
void fused_next_block(int n, int s, zc* Z, zc* Y, const zc* C, int ldc, double* nrm,
                      double* nrmold, zc* G, const zc* other, bool sym);
inline void fused_next_block(int n, int s, zc* Z, zc* Y, const zc* C, int ldc, double* nrm,
                             double* nrmold, zc* G, const zc* other) {
  fused_next_block(n, s, Z, Y, C, ldc, nrm, nrmold, G, other, other == nullptr);
}

// next_direction (steps.hpp): P := V - P U, without scratch in memory.
void fused_next_direction(int n, int s, zc* P, const zc* V, const zc* U);

// Step 5 of ZD_BQMR1 in one pass: D := (P - D R) Rinv with Rinv upper
// triangular (its strictly lower part is not read), then X := X + D T.
// R: s x s, ld ldr; Rinv: s x s, ld ldri; T: s x s, ld ldt.
void fused_qmr_update(int n, int s, zc* D, const zc* P, zc* X, const zc* R, int ldr,
                      const zc* Rinv, int ldri, const zc* T, int ldt);

}  // namespace bk::lanczos
