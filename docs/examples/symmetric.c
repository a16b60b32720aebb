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
#include "example_problem.h" /* the operator A (a grid stencil), residuals, blocks */

/* A: the 5-point Laplacian minus the complex shift 0.6 + 0.15i. */
enum { S = 3 };
static const stencil A = {4.0 - (0.6 + 0.15 * I), 0.0};

int main(void) {
  const int32_t n = N, s = S;
  const double tol = 1e-10;
  const int max_products = 20 * N, max_restarts = 5;

  /* Right-hand sides: three point sources, all columns nonzero (a zero
   * column would make the start call fail: give it x = 0 and leave it out). */
  zc *B = new_block(S);
  B[0 * N + 5 * G + 5] = 1.0;
  B[1 * N + 15 * G + 15] = 1.0;
  B[2 * N + 24 * G + 7] = 1.0 + 1.0 * I;

  /* What the host allocates: five n x s blocks, four real s-vectors and the
   * small work arrays with the sizes the driver expects. */
  zc *X = new_block(S), *Vn = new_block(S), *Pn = new_block(S), *D = new_block(S), *APn = new_block(S);
  zc *R = new_block(S);
  double gamma[S], gammaold[S], rho[S], rhoold[S], bnrm[S], rnrm[S], est[S];
  zc ESVB[S * 4 * S], DSVB[S * 4 * S], esv[S + 1], dsv[S + 1];
  zc QRS[(3 * S + 3) * 2 * S], RINV[S * 2 * S], UP[S * S], TAU[2 * S * S], SVWORK[S * 3 * S];

  residual(&A, S, B, X, Vn, bnrm); /* X0 = 0: Vn = B, and bnrm = ||b_j|| */

  int32_t revcom = 0;
  int products = 0, steps = 0, restarts = 0, converged = 0;
  while (!converged && products < max_products) {
    const int32_t info = C_ZDSYM_BLANCZOS1(&n, &s, &revcom, X, Vn, Pn, D, APn, gamma, gammaold, rho, rhoold,
                                           ESVB, esv, DSVB, dsv, QRS, RINV, UP, TAU, SVWORK);
    if (info != 0) {
      /* Breakdown (the records on standard output say which). X holds the
       * last good iterate: start again from it with a fresh residual. */
      if (++restarts > max_restarts) break;
      residual(&A, S, B, X, Vn, rnrm);
      products += S;
      revcom = 0;
      continue;
    }
    if (revcom == 1) {
      apply(&A, 0, S, Pn, APn);
      products += S;
    } else if (revcom == 2) {
      ++steps;
      /* Quasi-residual estimate of each column, relative to ||b_j||. */
      const int32_t ldtau = 2 * S;
      C_COLBLOCKNORMS(TAU, &ldtau, &s, &s, est);
      int below = 1;
      for (int j = 0; j < S; ++j) below &= est[j] <= tol * bnrm[j];
      if (below) {
        residual(&A, S, B, X, R, rnrm);
        products += S;
        converged = 1;
        for (int j = 0; j < S; ++j) converged &= rnrm[j] <= tol * bnrm[j];
      }
    }
  }

  residual(&A, S, B, X, R, rnrm);
  printf("symmetric: %d block steps, %d products, %d restarts\n", steps, products, restarts);
  const int ok = residuals_below(S, rnrm, bnrm, tol);
  free(B), free(X), free(Vn), free(Pn), free(D), free(APn), free(R);
  return finish("symmetric", ok);
}
