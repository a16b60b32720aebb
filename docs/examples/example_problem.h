/* The test problem and the checks shared by the examples in this folder.
 *
 * A is a 5-point stencil on a G x G grid (n = G * G unknowns, Dirichlet
 * boundary), applied to a block without being stored:
 *   (A x)_p = d x_p + (-1 - w) (x_west + x_south) + (-1 + w) (x_east + x_north)
 * With wind w = 0, A equals its plain transpose (complex-symmetric, not
 * Hermitian when d is complex); otherwise A^T is the same stencil with -w.
 * Blocks are column-major with leading dimension N. */
#ifndef EXAMPLE_PROBLEM_H
#define EXAMPLE_PROBLEM_H

#include <complex.h>
#include <stdio.h>
#include <stdlib.h>

#include "blockkrylov.h"

typedef double complex zc;

enum { G = 30, N = G * G };

typedef struct {
  zc diagonal; /* d */
  double wind; /* w */
} stencil;

/* y = A x (transpose = 0) or y = A^T x (transpose = 1) for k columns. */
static inline void apply(const stencil *a, int transpose, int k, const zc *x, zc *y) {
  const double w = transpose ? -a->wind : a->wind;
  for (int c = 0; c < k; ++c) {
    const zc *xc = x + (size_t)c * N;
    zc *yc = y + (size_t)c * N;
    for (int i = 0; i < G; ++i)
      for (int j = 0; j < G; ++j) {
        const int p = i * G + j;
        zc v = a->diagonal * xc[p];
        if (j > 0) v += (-1.0 - w) * xc[p - 1];
        if (j < G - 1) v += (-1.0 + w) * xc[p + 1];
        if (i > 0) v += (-1.0 - w) * xc[p - G];
        if (i < G - 1) v += (-1.0 + w) * xc[p + G];
        yc[p] = v;
      }
  }
}

/* R = B - A X for k columns; nrm[j] = ||R(:, j)|| unless nrm is NULL. */
static inline void residual(const stencil *a, int32_t k, const zc *B, const zc *X, zc *R, double *nrm) {
  const int32_t n = N;
  apply(a, 0, k, X, R);
  for (size_t q = 0; q < (size_t)N * k; ++q) R[q] = B[q] - R[q];
  if (nrm) C_COLBLOCKNORMS(R, &n, &n, &k, nrm);
}

/* A block of k zero columns; ends the program when memory runs out. */
static inline zc *new_block(int k) {
  zc *p = calloc((size_t)N * k, sizeof(zc));
  if (!p) {
    fprintf(stderr, "out of memory\n");
    exit(1);
  }
  return p;
}

/* Prints each column's relative residual ||r_j|| / ||b_j||; returns 1 when
 * every one is at most tol. */
static inline int residuals_below(int k, const double *rnrm, const double *bnrm, double tol) {
  int ok = 1;
  for (int j = 0; j < k; ++j) {
    printf("  column %d: relative residual %.2e\n", j + 1, rnrm[j] / bnrm[j]);
    ok &= rnrm[j] <= tol * bnrm[j];
  }
  return ok;
}

/* The last line of every example ("name: OK" or "name: FAILED", which the
 * test suite looks for) and the exit status. */
static inline int finish(const char *name, int ok) {
  printf("%s: %s\n", name, ok ? "OK" : "FAILED");
  return ok ? 0 : 1;
}

#endif
