/* The two monitoring utilities on a simple iteration: C_COLBLOCKNORMS for the
 * residual norms of a block and C_CONVERGENCEPROGRESS for the converged flag,
 * the predicted total number of iterations and the percentage done.
 *
 * The iteration is Jacobi's method on the grid system of the other examples
 * (complex-symmetric, its diagonal d = 5 + i large enough for Jacobi to
 * converge) with two right-hand sides; it converges linearly, so the
 * prediction settles early. One history: itold = 0 on the first call, then
 * the previous iteration number; rmax starts at the reference value (here 1,
 * since the norms are relative to ||b_j||) and is carried from call to call.
 *
 * Build: cc monitoring.c -lblockkrylov -lm */
#include "example_problem.h" /* the operator A (a grid stencil), residuals, blocks */

enum { S = 2 };
static const stencil A = {5.0 + 1.0 * I, 0.0};

int main(void) {
  const int32_t n = N, s = S, m = S;
  const double tol = 1e-10;
  static zc b[N * S], x[N * S], r[N * S];
  double bnrm[S], nrm[S], rel[S], rmax = 1.0, pct = 0.0;
  int32_t it, itold = 0, itpred = 0, conv = 0, pred_at_20 = 0;

  for (int i = 0; i < N; ++i) {
    b[i] = 1.0;
    b[N + i] = cexp(I * 0.05 * i);
  }
  C_COLBLOCKNORMS(b, &n, &n, &s, bnrm);
  residual(&A, S, b, x, r, NULL); /* r = b - A x */

  for (it = 1; it <= 1000 && !conv; ++it) {
    /* One Jacobi sweep: x += D^-1 (b - A x), then the new residual. */
    for (int q = 0; q < N * S; ++q) x[q] += r[q] / A.diagonal;
    residual(&A, S, b, x, r, NULL);
    C_COLBLOCKNORMS(r, &n, &n, &s, nrm);
    for (int j = 0; j < S; ++j) rel[j] = nrm[j] / bnrm[j];
    conv = C_CONVERGENCEPROGRESS(&it, &itold, &tol, &rmax, rel, &m, &itpred, &pct);
    itold = it;
    if (it == 20) pred_at_20 = itpred;
    if (it % 20 == 0 || conv)
      printf("it %3d  largest relative residual %.2e  predicted total %d  %5.1f%%\n", (int)it, rmax, (int)itpred,
             pct);
  }
  --it;
  /* The flag came from the norms, the prediction from their rate. */
  const int ok = conv == 1 && pct == 100.0 && itpred == it && abs(pred_at_20 - it) <= it / 5;
  printf("monitoring: converged at iteration %d; predicted %d at iteration 20\n", (int)it, (int)pred_at_20);
  return finish("monitoring", ok);
}
