/* A complete host of the complex-symmetric block solver C_ZDSYM_BLANCZOS1.
 *
 * Solves A X = B for a 2D Helmholtz operator with a complex shift on a
 * 30 x 30 grid (n = 900; A = A^T, not Hermitian) and s = 3 right-hand
 * sides, then checks the true residual of every column.
 *
 * The loop, as in docs/symmetric.md:
 *   X = X0 (here 0), Vn = B - A X0, REVCOM = 0, call;
 *   REVCOM 1: APn = A * Pn, call again;
 *   REVCOM 2: X was updated. Rows 1..s of TAU hold the quasi-residual block:
 *             its column norms estimate the residual norms cheaply. Only when
 *             every estimate is below the tolerance is B - A X formed; only
 *             that true residual decides convergence.
 *   result != 0: a breakdown; restart from the current X (bounded).
 *
 * Build: cc symmetric.c -lblockkrylov -lm */
#include <complex.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "blockkrylov.h"

typedef double complex zc;

/* The operator: 5-point Laplacian on a g x g grid (Dirichlet) minus a
 * complex shift, y = A x for a block of k columns with leading dimension n. */
enum { G = 30, N = G * G, S = 3 };
static const zc shift = 0.6 + 0.15 * I;

static void multiply(int k, const zc *x, zc *y) {
  for (int c = 0; c < k; ++c) {
    const zc *xc = x + (size_t)c * N;
    zc *yc = y + (size_t)c * N;
    for (int i = 0; i < G; ++i)
      for (int j = 0; j < G; ++j) {
        const int p = i * G + j;
        zc v = (4.0 - shift) * xc[p];
        if (i > 0) v -= xc[p - G];
        if (i < G - 1) v -= xc[p + G];
        if (j > 0) v -= xc[p - 1];
        if (j < G - 1) v -= xc[p + 1];
        yc[p] = v;
      }
  }
}

/* R = B - A X; nrm(j) = ||R(:, j)||. */
static void residual(const zc *B, const zc *X, zc *R, double *nrm) {
  const int32_t n = N, s = S;
  multiply(S, X, R);
  for (size_t q = 0; q < (size_t)N * S; ++q) R[q] = B[q] - R[q];
  C_COLBLOCKNORMS(R, &n, &n, &s, nrm);
}

static void *zeroed(size_t count, size_t size) {
  void *p = calloc(count, size);
  if (!p) {
    fprintf(stderr, "out of memory\n");
    exit(1);
  }
  return p;
}

int main(void) {
  const int32_t n = N, s = S;
  const double tol = 1e-10;
  const int max_products = 20 * N, max_restarts = 5;

  /* Right-hand sides: three point sources, all columns nonzero (a zero
   * column would make the start call fail: give it x = 0 and leave it out). */
  zc *B = zeroed((size_t)n * s, sizeof(zc));
  B[0 * N + 5 * G + 5] = 1.0;
  B[1 * N + 15 * G + 15] = 1.0;
  B[2 * N + 24 * G + 7] = 1.0 + 1.0 * I;

  /* What the host allocates: five n x s blocks, four real s-vectors and the
   * small work arrays with the sizes the driver expects. */
  zc *X = zeroed((size_t)n * s, sizeof(zc)), *Vn = zeroed((size_t)n * s, sizeof(zc));
  zc *Pn = zeroed((size_t)n * s, sizeof(zc)), *D = zeroed((size_t)n * s, sizeof(zc));
  zc *APn = zeroed((size_t)n * s, sizeof(zc)), *R = zeroed((size_t)n * s, sizeof(zc));
  double gamma[S], gammaold[S], rho[S], rhoold[S], bnrm[S], rnrm[S], est[S];
  zc ESVB[S * 4 * S], DSVB[S * 4 * S], esv[S + 1], dsv[S + 1];
  zc QRS[(3 * S + 3) * 2 * S], RINV[S * 2 * S], UP[S * S], TAU[2 * S * S], SVWORK[S * 3 * S];

  residual(B, X, Vn, bnrm); /* X0 = 0: Vn = B, and bnrm = ||b_j|| */

  int32_t revcom = 0;
  int products = 0, steps = 0, restarts = 0, converged = 0;
  while (!converged && products < max_products) {
    const int32_t info = C_ZDSYM_BLANCZOS1(&n, &s, &revcom, X, Vn, Pn, D, APn, gamma, gammaold, rho, rhoold,
                                           ESVB, esv, DSVB, dsv, QRS, RINV, UP, TAU, SVWORK);
    if (info != 0) {
      /* Breakdown (the records on standard output say which). X holds the
       * last good iterate: start again from it with a fresh residual. */
      if (++restarts > max_restarts) break;
      residual(B, X, Vn, rnrm);
      products += S;
      revcom = 0;
      continue;
    }
    if (revcom == 1) {
      multiply(S, Pn, APn);
      products += S;
    } else if (revcom == 2) {
      ++steps;
      /* Quasi-residual estimate of each column, relative to ||b_j||. */
      const int32_t ldtau = 2 * S;
      C_COLBLOCKNORMS(TAU, &ldtau, &s, &s, est);
      int below = 1;
      for (int j = 0; j < S; ++j) below &= est[j] <= tol * bnrm[j];
      if (below) {
        residual(B, X, R, rnrm);
        products += S;
        converged = 1;
        for (int j = 0; j < S; ++j) converged &= rnrm[j] <= tol * bnrm[j];
      }
    }
  }

  residual(B, X, R, rnrm);
  printf("symmetric: %d block steps, %d products, %d restarts\n", steps, products, restarts);
  int ok = 1;
  for (int j = 0; j < S; ++j) {
    printf("  column %d: relative residual %.2e\n", j + 1, rnrm[j] / bnrm[j]);
    ok &= rnrm[j] <= tol * bnrm[j];
  }
  puts(ok ? "symmetric: OK" : "symmetric: FAILED");
  free(B), free(X), free(Vn), free(Pn), free(D), free(APn), free(R);
  return ok ? 0 : 1;
}
