/* The host library through its C interface, compiled as strict C99: A as CSR
 * arrays (base 0 or 1, rows sorted or not) or as callbacks, what the report
 * carries back, the automatic method, solver objects, a stop request,
 * argument checks and structs of an older (smaller) size. With --faces it
 * prints the cross-language problem set instead (see faces_test.cpp). */
#include <complex.h>
#include <math.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "blockkrylov_host.h"

static int failures = 0;
#define CHECK(cond, ...)                                                  \
  do {                                                                    \
    if (!(cond)) {                                                        \
      ++failures;                                                         \
      printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond);              \
      printf(__VA_ARGS__);                                                \
      printf("\n");                                                       \
    }                                                                     \
  } while (0)

/* Tridiagonal n x n in CSR (0-based, sorted): diagonal d, A(i+1,i) = lo,
 * A(i,i+1) = up. */
typedef struct {
  int32_t n;
  int64_t rowptr[257];
  int32_t col[3 * 256];
  double complex val[3 * 256];
} Tri;

static void tridiagonal(Tri *a, int32_t n, double complex d, double complex lo, double complex up) {
  int64_t p = 0;
  a->n = n;
  for (int32_t i = 0; i < n; ++i) {
    a->rowptr[i] = p;
    if (i > 0) a->col[p] = i - 1, a->val[p++] = lo;
    a->col[p] = i, a->val[p++] = d;
    if (i + 1 < n) a->col[p] = i + 1, a->val[p++] = up;
  }
  a->rowptr[n] = p;
}

static long columns = 0; /* columns multiplied by tri_apply */

static void tri_apply(void *ctx, int32_t k, const double complex *x, double complex *y) {
  const Tri *a = (const Tri *)ctx;
  columns += k;
  for (int32_t c = 0; c < k; ++c)
    for (int32_t i = 0; i < a->n; ++i) {
      double complex acc = 0;
      for (int64_t p = a->rowptr[i]; p < a->rowptr[i + 1]; ++p) acc += a->val[p] * x[(size_t)c * a->n + a->col[p]];
      y[(size_t)c * a->n + i] = acc;
    }
}

static double max_residual(const Tri *a, int32_t s, const double complex *B, const double complex *X) {
  double worst = 0;
  double complex *AX = malloc(sizeof(double complex) * (size_t)a->n * s);
  tri_apply((void *)a, s, X, AX);
  for (int32_t j = 0; j < s; ++j) {
    double r = 0, b = 0;
    for (int32_t i = 0; i < a->n; ++i) {
      const size_t q = (size_t)j * a->n + i;
      r += pow(cabs(B[q] - AX[q]), 2), b += pow(cabs(B[q]), 2);
    }
    if (sqrt(r / b) > worst) worst = sqrt(r / b);
  }
  free(AX);
  return worst;
}

/* Right-hand sides from integer arithmetic alone, so that every language
 * builds the same bits: b(i, j) = (u mod 1009)/1009 - 1/2 + i ((v mod 997)/997
 * - 1/2), u = 7919 i + 104729 j, v = 104729 i + 7919 j + 13 (1-based i, j). */
static void rhs(int32_t n, int32_t s, double complex *B) {
  for (int32_t j = 1; j <= s; ++j)
    for (int32_t i = 1; i <= n; ++i) {
      const double re = (double)((7919L * i + 104729L * j) % 1009) / 1009.0 - 0.5;
      const double im = (double)((104729L * i + 7919L * j + 13) % 997) / 997.0 - 0.5;
      B[(size_t)(j - 1) * n + (i - 1)] = re + I * im;
    }
}

/* The cross-language problem set: one line per case. */
static void faces(void) {
  enum { n = 200, s = 4 };
  static Tri a;
  static double complex B[n * s], X[n * s];
  const int32_t methods[] = {BK_SYMMETRIC, BK_QMR, BK_GMRES, BK_QMR, BK_GMRES};
  rhs(n, s, B);
  for (int c = 0; c < 5; ++c) {
    if (c < 3) tridiagonal(&a, n, 1.7 + 0.2 * I, -1, -1);
    else tridiagonal(&a, n, 2.5 + 0.5 * I, -1.4, -0.6 + 0.1 * I);
    bk_options o;
    bk_options_init(&o);
    o.method = methods[c], o.block_size = s, o.rtol = 1e-8;
    bk_report r;
    bk_report_init(&r);
    memset(X, 0, sizeof X);
    bk_solve_csr(n, a.rowptr, a.col, a.val, 0, s, B, n, X, n, &o, &r);
    printf("%s %s %s %lld %.3e\n", c < 3 ? "helmholtz" : "convection", bk_method_name(methods[c]),
           bk_status_name(r.status), (long long)r.products, r.max_residual);
  }
}

static int stop_at_three(void *ctx, const bk_progress *p) {
  (void)ctx;
  return p->iteration >= 3;
}

int main(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "--faces") == 0) {
    faces();
    return 0;
  }
  enum { n = 64, s = 3 };
  static Tri sym, gen, gen_t, one;
  static double complex B[n * s], X[n * s], X0[n * s];
  tridiagonal(&sym, n, 1.7 + 0.2 * I, -1, -1);
  tridiagonal(&gen, n, 2.5 + 0.5 * I, -1.4, -0.6 + 0.1 * I);
  tridiagonal(&gen_t, n, 2.5 + 0.5 * I, -0.6 + 0.1 * I, -1.4);
  rhs(n, s, B);

  /* The forms of A: CSR in base 0 or 1, with each row's columns reversed
   * (sorted and summed by the library), or callbacks, whose columns are the
   * report's products. The automatic method: symmetric for a CSR A = A^T,
   * else qmr where products with A^T are at hand, else GMRES (here with
   * short cycles). Residuals and history come back
   * when asked for. */
  const struct {
    int32_t method, general, form, expect; /* form: 0, 1 base; 2 reversed, base 1; 3 callbacks; 4 no A^T */
  } forms[] = {{BK_AUTO, 0, 0, BK_SYMMETRIC}, {BK_AUTO, 1, 1, BK_QMR}, {BK_AUTO, 0, 2, BK_SYMMETRIC},
               {BK_AUTO, 0, 3, BK_QMR},       {BK_AUTO, 1, 4, BK_GMRES}, {BK_QMR, 1, 2, BK_QMR}};
  for (size_t c = 0; c < sizeof forms / sizeof forms[0]; ++c) {
    const Tri *a = forms[c].general ? &gen : &sym;
    bk_options o;
    bk_options_init(&o);
    o.method = forms[c].method;
    o.rtol = 1e-9;
    o.restart = 8;
    double res[s] = {-1, -1, -1}, hist[1000];
    bk_report r;
    bk_report_init(&r);
    r.residuals = res, r.history = hist, r.history_capacity = 1000;
    memset(X, 0, sizeof X);
    columns = 0;
    int32_t st;
    if (forms[c].form < 3) {
      const int base = forms[c].form > 0;
      one = *a;
      for (int i = 0; i < n; ++i)
        for (int64_t p = a->rowptr[i], q = a->rowptr[i + 1] - 1; p < a->rowptr[i + 1]; ++p, --q)
          one.col[p] = a->col[forms[c].form == 2 ? q : p] + base, one.val[p] = a->val[forms[c].form == 2 ? q : p];
      for (int i = 0; i <= n; ++i) one.rowptr[i] += base;
      st = bk_solve_csr(n, one.rowptr, one.col, one.val, base, s, B, n, X, n, &o, &r);
    } else {
      const bk_operator A = {tri_apply, (void *)a}, At = {tri_apply, a == &gen ? &gen_t : (void *)a};
      st = bk_solve(n, s, &A, forms[c].form == 3 ? &At : NULL, B, n, X, n, &o, &r);
      CHECK(columns == r.products, "callbacks %ld, report %lld", columns, (long long)r.products);
    }
    CHECK(st == BK_CONVERGED && r.converged == 1 && r.method == forms[c].expect, "case %d: %s, %s", (int)c,
          bk_method_name(r.method), r.message);
    const double worst = max_residual(a, s, B, X);
    CHECK(worst <= 1e-9 && fabs(r.max_residual - worst) <= 1e-3 * worst, "case %d: %g", (int)c, worst);
    CHECK(res[0] >= 0 && r.max_residual == fmax(fmax(res[0], res[1]), res[2]), "residuals %g", res[0]);
    CHECK(r.history_length == r.iterations && r.iterations > 0 && hist[0] > 0, "history");
    CHECK(r.method != BK_GMRES || r.iterations <= 8L * (r.restarts + 1), "case %d: %d restarts", (int)c, r.restarts);
  }

  /* A left starting block orthogonal to the residual (w^T b = 0) breaks the
   * two-sided method down at once. */
  {
    double complex b1[n] = {1}, w[n] = {0, 1}, x1[n] = {0};
    bk_options o;
    bk_options_init(&o);
    o.method = BK_QMR, o.left_start = w;
    bk_report r;
    bk_report_init(&r);
    CHECK(bk_solve_csr(n, sym.rowptr, sym.col, sym.val, 0, 1, b1, n, x1, n, &o, &r) == BK_BREAKDOWN, "%s", r.message);
  }

  /* The automatic method with a preconditioner that is no split M1 M1^T:
   * qmr (the stock ones have their transposes; n = 1 too, where GMRES
   * cannot run). SSOR built from another matrix P, which must not use the
   * fused product (it would solve with P). */
  {
    static Tri t1, P;
    tridiagonal(&t1, 1, 2 + I, 0, 0);
    tridiagonal(&P, n, 2.2 + 0.1 * I, -0.7, -0.7);
    const bk_operator A1 = {tri_apply, &t1}, none = {NULL, NULL};
    const bk_preconditioner pre = {none, A1, none, A1, 0, 0};
    for (int c = 0; c < 4; ++c) {
      bk_options o;
      bk_options_init(&o);
      bk_report r;
      bk_report_init(&r);
      o.precond = c < 2 ? BK_PRECOND_ILU0 : c == 3 ? BK_PRECOND_SSOR : BK_PRECOND_NONE;
      if (c == 2) o.preconditioner = &pre;
      if (c == 3) o.precond_rowptr = P.rowptr, o.precond_colind = P.col, o.precond_values = P.val;
      memset(X, 0, sizeof X);
      const int32_t st = c == 1   ? bk_solve_csr(1, t1.rowptr, t1.col, t1.val, 0, 1, B, 1, X, 1, &o, &r)
                         : c == 2 ? bk_solve(1, 1, &A1, &A1, B, 1, X, 1, &o, &r)
                                  : bk_solve_csr(n, sym.rowptr, sym.col, sym.val, 0, s, B, n, X, n, &o, &r);
      CHECK(st == BK_CONVERGED && r.method == (c < 3 ? BK_QMR : BK_SYMMETRIC), "auto %d: %s", c,
            r.message);
      CHECK(c != 3 || max_residual(&sym, s, B, X) <= 1e-8, "ssor from P: %s", r.preconditioner);
    }
  }

  /* One solver, two systems in blocks of two; a progress callback stops a
   * solve; solvers need a method and, for GMRES, n >= 2. */
  {
    bk_solver *h = bk_solver_create(BK_QMR, n, 2, NULL);
    CHECK(h != NULL, "create");
    const bk_operator A = {tri_apply, &sym};
    bk_report r;
    for (int round = 0; round < 2; ++round) {
      bk_report_init(&r);
      memset(X, 0, sizeof X);
      CHECK(bk_solver_solve(h, &A, &A, s, B, n, X, n, &r) == BK_CONVERGED, "%s", r.message);
      CHECK(r.blocks == 2 && r.block_size == 2, "blocks %d of %d", r.blocks, r.block_size);
    }
    bk_solver_destroy(h);
    bk_options o;
    bk_options_init(&o);
    o.progress = stop_at_three;
    o.rtol = 1e-14;
    bk_report_init(&r);
    memset(X, 0, sizeof X);
    CHECK(bk_solve(n, s, &A, NULL, B, n, X, n, &o, &r) == BK_STOPPED && r.iterations == 3, "%s", r.message);
    CHECK(bk_solver_create(BK_AUTO, n, 2, NULL) == NULL, "auto solver");
    CHECK(bk_solver_check(BK_GMRES, 1, 0, NULL, &r) == BK_INVALID && strstr(r.message, "n >= 2"), "%s", r.message);
    CHECK(bk_solver_check(BK_GMRES, 6, 5, NULL, &r) == BK_CONVERGED && r.block_size == 3, "block %d", r.block_size);
  }

  /* Arguments the host library refuses itself, or has to pass on safely:
   * BK_INVALID with a message, X untouched. */
  {
    for (size_t q = 0; q < (size_t)n * s; ++q) X0[q] = 7;
    int64_t badptr[n + 1];
    int32_t badcol[3 * n];
    memcpy(badptr, sym.rowptr, sizeof badptr);
    memcpy(badcol, sym.col, sizeof badcol);
    const bk_operator A = {tri_apply, &sym}, none = {NULL, NULL};
    const bk_preconditioner pre = {A, A, A, A, 0, 0};
    for (int c = 0; c < 20; ++c) {
      bk_options o;
      bk_options_init(&o);
      bk_report r;
      bk_report_init(&r);
      memcpy(X, X0, sizeof X);
      int32_t nn = n, ns = s, base = 0;
      const bk_operator *op = &A, *opt = &A;
      int csr = 0;
      switch (c) {
        case 0: nn = 0; break;
        case 1: ns = 0; break;
        case 2: o.rtol = NAN; break; /* options the engine checks must reach it */
        case 3: o.atol = -1; break;
        case 4: o.max_breakdowns = -1; break;
        case 5: o.method = 7; break;
        case 6: o.block_size = -1; break;
        case 7: o.precond = BK_PRECOND_ILU0; break; /* stock needs CSR */
        case 8: op = &none; break;
        case 9: o.method = BK_QMR, opt = NULL; break;
        case 10: csr = 1, badcol[5] = n; break;
        case 11: csr = 1, badcol[5] = sym.col[5], badptr[3] = badptr[2] - 1; break;
        case 12: csr = 1, memcpy(badptr, sym.rowptr, sizeof badptr), base = 2; break;
        case 13: csr = 1, o.precond = BK_PRECOND_SSOR, o.omega = 2.0; break;
        case 14: csr = 1, o.precond = 99; break;
        case 15: csr = 1, o.precond = BK_PRECOND_JACOBI, o.preconditioner = &pre; break; /* both */
        case 16: csr = 1, o.precond = BK_PRECOND_ILUT, o.drop_tol = INFINITY; break;
        case 17: csr = 1, o.precond = BK_PRECOND_ICT, o.fill = INFINITY; break;
        case 18: o.method = BK_SYMMETRIC, o.preconditioner = &pre; break; /* not M1 M1^T */
        case 19: o.method = BK_GMRES, o.deflation_tol = NAN; break;
      }
      const int32_t st = csr ? bk_solve_csr(nn, badptr, badcol, sym.val, base, ns, B, n, X, n, &o, &r)
                             : bk_solve(nn, ns, op, opt, B, n, X, n, &o, &r);
      CHECK(st == BK_INVALID && r.status == BK_INVALID && r.products == 0, "case %d: %d %s", c, st, r.message);
      CHECK(strstr(r.message, "invalid arguments: ") != NULL, "case %d: %s", c, r.message);
      CHECK(memcmp(X, X0, sizeof X) == 0, "case %d touched X", c);
    }
  }

  /* A caller built with an older, smaller report: nothing past its size is
   * written. */
  {
    unsigned char buf[sizeof(bk_report) + 16];
    memset(buf, 0xAB, sizeof buf);
    bk_report *r = (bk_report *)buf;
    r->size = (int32_t)offsetof(bk_report, residuals);
    const bk_operator A = {tri_apply, &sym};
    memset(X, 0, sizeof X);
    CHECK(bk_solve(n, s, &A, NULL, B, n, X, n, NULL, r) == BK_CONVERGED, "old report");
    CHECK(r->size == (int32_t)offsetof(bk_report, residuals) && r->products > 0, "old report fields");
    for (size_t q = offsetof(bk_report, residuals); q < sizeof buf; ++q) CHECK(buf[q] == 0xAB, "byte %zu", q);
  }

  printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
