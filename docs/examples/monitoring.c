/* The two monitoring utilities on a simple iteration: C_COLBLOCKNORMS for the
 * residual norms of a block and C_CONVERGENCEPROGRESS for the converged flag,
 * the predicted total number of iterations and the percentage done.
 *
 * The iteration is Jacobi's method on a small complex tridiagonal system with
 * two right-hand sides; it converges linearly, so the prediction settles
 * early. One history: itold = 0 on the first call, then the previous
 * iteration number; rmax starts at the reference value (here 1, since the
 * norms are relative to ||b_j||) and is carried from call to call.
 *
 * Build: cc monitoring.c -lblockkrylov -lm */
#include <complex.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "blockkrylov.h"

typedef double complex zc;

enum { N = 200, S = 2 };
static const zc diag = 2.5 + 0.5 * I;

/* r = b - A x for A = tridiag(-1, diag, -1), column by column. */
static void residual(const zc *b, const zc *x, zc *r) {
  for (int c = 0; c < S; ++c)
    for (int i = 0; i < N; ++i) {
      zc ax = diag * x[c * N + i];
      if (i > 0) ax -= x[c * N + i - 1];
      if (i < N - 1) ax -= x[c * N + i + 1];
      r[c * N + i] = b[c * N + i] - ax;
    }
}

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

  for (it = 1; it <= 1000 && !conv; ++it) {
    /* One Jacobi sweep: x += D^-1 (b - A x). */
    residual(b, x, r);
    for (int q = 0; q < N * S; ++q) x[q] += r[q] / diag;

    residual(b, x, r);
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
  puts(ok ? "monitoring: OK" : "monitoring: FAILED");
  return ok ? 0 : 1;
}
