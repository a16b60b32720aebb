/* The public header used from C (also built against an installation by the
 * packaging test): every entry point is declared with the C complex type, and
 * small calls go through the shared library. */
#include <complex.h>
#include <math.h>
#include <stdio.h>

#include "blockkrylov.h"

/* Taking each address checks that all twelve are declared and linkable. */
typedef void (*any_fn)(void);
static const any_fn entry_points[] = {
    (any_fn)C_COLBLOCKNORMS,     (any_fn)C_CONVERGENCEPROGRESS, (any_fn)C_ZDSYM_BLANCZOS1,
    (any_fn)C_ZD_BLANCZOS,       (any_fn)C_INITIALBLOCKGMRES,   (any_fn)C_PARENTBASISCONSTRUCT,
    (any_fn)C_GMRESHOUSEORTHOG,  (any_fn)C_GMRESHMQR,           (any_fn)C_GMRESUPDATELM,
    (any_fn)C_GMRESLEASTSQS,     (any_fn)C_GMRESITERATEUPDATE,  (any_fn)C_GMRESDEFLATEDITERATES,
};

int main(void) {
  double _Complex x[4] = {3.0 + 4.0 * I, 0.0, 1.0, 0.0};
  int32_t ld = 2, n = 2, s = 2, it = 10, itold = 0, itpred = 0;
  double nrm[2] = {-1.0, -1.0}, tol = 1e-6, rmax = 1.0, pct = -1.0, norms[2] = {0.1, 0.01};
  size_t i;
  for (i = 0; i < sizeof entry_points / sizeof entry_points[0]; ++i)
    if (!entry_points[i]) return 1;
  C_COLBLOCKNORMS(x, &ld, &n, &s, nrm);
  if (fabs(nrm[0] - 5.0) > 1e-15 || fabs(nrm[1] - 1.0) > 1e-15 ||
      C_CONVERGENCEPROGRESS(&it, &itold, &tol, &rmax, norms, &s, &itpred, &pct) != 0 || itpred != 110) {
    printf("c_header_check: norms %g %g, itpred %d\n", nrm[0], nrm[1], (int)itpred);
    return 1;
  }
  printf("c_header_check: OK\n");
  return 0;
}
