/* A complete host of the two-sided block solver C_ZD_BLANCZOS for a general
 * (non-symmetric) complex A.
 *
 * Solves A X = B for a 2D convection-diffusion operator with a complex shift
 * on a 30 x 30 grid (n = 900) and s = 4 right-hand sides, then checks the
 * true residual of every column.
 *
 * The loop, as in docs/two-sided.md:
 *   X = 0, Vn = B - A X (= B), Wn = the starting left block (here Vn itself),
 *   REVCOM = 0, call;
 *   REVCOM 1: Zn = A * Pn,   call again;
 *   REVCOM 2: Zn = A^T * Qn, call again (plain transpose, no conjugation);
 *   REVCOM 3: X was updated; rows 1..s of TAU hold the quasi-residual block.
 *             Test the estimate, confirm with the true residual, or call
 *             again with 3.
 *
 * Build: cc two_sided.c -lblockkrylov -lm */
#include <complex.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "blockkrylov.h"

typedef double complex zc;

enum { G = 30, N = G * G, S = 4 };
static const zc shift = 0.4 * I;
static const double wind = 0.35;

/* y = op x with op = A (sign = +1) or A^T (sign = -1): for this
 * constant-coefficient stencil the transpose reverses the wind. */
static void stencil(double sign, int k, const zc *x, zc *y) {
  const double c = sign * wind;
  for (int b = 0; b < k; ++b) {
    const zc *xb = x + (size_t)b * N;
    zc *yb = y + (size_t)b * N;
    for (int i = 0; i < G; ++i)
      for (int j = 0; j < G; ++j) {
        const int p = i * G + j;
        zc v = (4.0 + shift) * xb[p];
        if (j > 0) v += (-1.0 - c) * xb[p - 1];
        if (j < G - 1) v += (-1.0 + c) * xb[p + 1];
        if (i > 0) v += (-1.0 - c) * xb[p - G];
        if (i < G - 1) v += (-1.0 + c) * xb[p + G];
        yb[p] = v;
      }
  }
}

static void residual(const zc *B, const zc *X, zc *R, double *nrm) {
  const int32_t n = N, s = S;
  stencil(+1.0, S, X, R);
  for (size_t q = 0; q < (size_t)N * S; ++q) R[q] = B[q] - R[q];
  C_COLBLOCKNORMS(R, &n, &n, &s, nrm);
}

static zc *block(void) {
  zc *p = calloc((size_t)N * S, sizeof(zc));
  if (!p) {
    fprintf(stderr, "out of memory\n");
    exit(1);
  }
  return p;
}

int main(void) {
  const int32_t n = N, s = S;
  const double tol = 1e-10;
  const int max_products = 20 * N;

  zc *B = block();
  for (int j = 0; j < S; ++j)
    for (int p = 0; p < N; ++p) B[(size_t)j * N + p] = cos(0.01 * (j + 1) * p) + I * sin(0.003 * (j + 2) * p);

  /* Seven n x s blocks, six real s-vectors, the small work arrays. */
  zc *X = block(), *Vn = block(), *Wn = block(), *Pn = block(), *Qn = block(), *D = block(), *Zn = block();
  zc *R = block();
  double gamma[S], gammaold[S], rho[S], rhoold[S], xi[S], xiold[S], bnrm[S], rnrm[S], est[S];
  zc ESVB[S * 4 * S], DSVB[S * 4 * S], esv[S + 1], dsv[S + 1];
  zc QRS[(3 * S + 3) * 2 * S], QRSW[(3 * S + 3) * 2 * S], RINV[S * 2 * S], UP[S * S], UQ[S * S];
  zc TAU[2 * S * S], SVWORK[S * 3 * S];

  residual(B, X, Vn, bnrm);                          /* Vn = B, bnrm = ||b_j|| */
  memcpy(Wn, Vn, sizeof(zc) * (size_t)N * S);        /* left start: W1 = V1 */

  int32_t revcom = 0;
  int products = 0, steps = 0, converged = 0, failed = 0;
  while (!converged && !failed && products < max_products) {
    const int32_t info = C_ZD_BLANCZOS(&n, &s, &revcom, X, Vn, Wn, Pn, Qn, D, Zn, gamma, gammaold, rho, rhoold,
                                       xi, xiold, ESVB, esv, DSVB, dsv, QRS, RINV, QRSW, UP, UQ, TAU, SVWORK);
    if (info != 0) {
      /* A breakdown ends this solve. A host may restart from X with a fresh
       * residual in Vn and Wn and REVCOM = 0 (see symmetric.c). */
      failed = 1;
      break;
    }
    switch (revcom) {
      case 1:
        stencil(+1.0, S, Pn, Zn);
        products += S;
        break;
      case 2:
        stencil(-1.0, S, Qn, Zn);
        products += S;
        break;
      case 3: {
        ++steps;
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
        break;
      }
    }
  }

  residual(B, X, R, rnrm);
  printf("two_sided: %d block steps, %d products (A and A^T)\n", steps, products);
  int ok = 1;
  for (int j = 0; j < S; ++j) {
    printf("  column %d: relative residual %.2e\n", j + 1, rnrm[j] / bnrm[j]);
    ok &= rnrm[j] <= tol * bnrm[j];
  }
  puts(ok ? "two_sided: OK" : "two_sided: FAILED");
  free(B), free(X), free(Vn), free(Wn), free(Pn), free(Qn), free(D), free(Zn), free(R);
  return ok ? 0 : 1;
}
