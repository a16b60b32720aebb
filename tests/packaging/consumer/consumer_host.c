/* Uses the installed host library: a small tridiagonal complex system solved
 * from CSR arrays. */
#include <complex.h>
#include <stdio.h>

#include <blockkrylov_host.h>

int main(void) {
  enum { n = 50 };
  int64_t rowptr[n + 1];
  int32_t col[3 * n];
  double _Complex val[3 * n], b[n], x[n] = {0};
  int64_t p = 0;
  for (int i = 0; i < n; ++i) {
    rowptr[i] = p;
    if (i > 0) col[p] = i - 1, val[p++] = -1.0;
    col[p] = i, val[p++] = 3.0 + 0.5 * I;
    if (i + 1 < n) col[p] = i + 1, val[p++] = -1.0;
    b[i] = 1.0 + i * I / n;
  }
  rowptr[n] = p;
  bk_report report;
  bk_report_init(&report);
  if (bk_solve_csr(n, rowptr, col, val, 0, 1, b, n, x, n, NULL, &report) != BK_CONVERGED) {
    printf("consumer_host: %s\n", report.message);
    return 1;
  }
  printf("consumer_host: OK (%s, %lld products)\n", bk_method_name(report.method), (long long)report.products);
  return 0;
}
