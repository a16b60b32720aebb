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
#include <math.h>
#include <string.h>

#include "example_problem.h" /* the operator A (a grid stencil), residuals, blocks */

/* A: convection-diffusion with wind 0.35 and the complex shift 0.4i; A^T is
 * the same stencil with the wind reversed. */
enum { S = 4 };
static const stencil A = {4.0 + 0.4 * I, 0.35};

int main(void) {
  const int32_t n = N, s = S;
  const double tol = 1e-10;
  const int max_products = 20 * N;

  zc *B = new_block(S);
  for (int j = 0; j < S; ++j)
    for (int p = 0; p < N; ++p) B[(size_t)j * N + p] = cos(0.01 * (j + 1) * p) + I * sin(0.003 * (j + 2) * p);

  /* Seven n x s blocks, six real s-vectors, the small work arrays. */
  zc *X = new_block(S), *Vn = new_block(S), *Wn = new_block(S), *Pn = new_block(S), *Qn = new_block(S);
  zc *D = new_block(S), *Zn = new_block(S), *R = new_block(S);
  double gamma[S], gammaold[S], rho[S], rhoold[S], xi[S], xiold[S], bnrm[S], rnrm[S], est[S];
  zc ESVB[S * 4 * S], DSVB[S * 4 * S], esv[S + 1], dsv[S + 1];
  zc QRS[(3 * S + 3) * 2 * S], QRSW[(3 * S + 3) * 2 * S], RINV[S * 2 * S], UP[S * S], UQ[S * S];
  zc TAU[2 * S * S], SVWORK[S * 3 * S];

  residual(&A, S, B, X, Vn, bnrm);                   /* Vn = B, bnrm = ||b_j|| */
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
        apply(&A, 0, S, Pn, Zn);
        products += S;
        break;
      case 2:
        apply(&A, 1, S, Qn, Zn);
        products += S;
        break;
      case 3: {
        ++steps;
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
        break;
      }
    }
  }

  residual(&A, S, B, X, R, rnrm);
  printf("two_sided: %d block steps, %d products (A and A^T)\n", steps, products);
  const int ok = residuals_below(S, rnrm, bnrm, tol);
  free(B), free(X), free(Vn), free(Wn), free(Pn), free(Qn), free(D), free(Zn), free(R);
  return finish("two_sided", ok);
}
