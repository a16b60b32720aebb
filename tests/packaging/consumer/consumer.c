/* Uses the installed C header and shared library: column norms of a block
 * and a first progress estimate. */
#include <complex.h>
#include <math.h>
#include <stdio.h>

#include <blockkrylov.h>

int main(void) {
  double _Complex x[6] = {3.0 + 4.0 * I, 0.0, 0.0, 1.0, 1.0, 1.0 * I};
  int32_t ld = 3, n = 3, s = 2, it = 10, itold = 0, m = 2, itpred = 0;
  double nrm[2], tol = 1e-6, rmax = 1.0, pct = -1.0, norms[2] = {0.1, 0.01};
  int32_t conv;

  C_COLBLOCKNORMS(x, &ld, &n, &s, nrm);
  if (fabs(nrm[0] - 5.0) > 1e-14 || fabs(nrm[1] - sqrt(3.0)) > 1e-14) {
    printf("consumer_c: wrong norms %g %g\n", nrm[0], nrm[1]);
    return 1;
  }
  conv = C_CONVERGENCEPROGRESS(&it, &itold, &tol, &rmax, norms, &m, &itpred, &pct);
  if (conv != 0 || itpred != 110) {
    printf("consumer_c: wrong progress %d %d\n", (int)conv, (int)itpred);
    return 1;
  }
  printf("consumer_c: OK\n");
  return 0;
}
