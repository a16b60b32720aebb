/* The host library through its C interface, compiled as strict C99: solves
 * through CSR arrays and through callbacks, reuse of a solver, argument
 * checks, reports of an older (smaller) struct, a stop request and a refused
 * nested solve. With --faces it prints the cross-language problem set
 * instead (see faces_test.cpp). */
#include <complex.h>
#include <math.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "blockkrylov_host.h"

static int failures = 0;
#define CHECK(cond, ...)                                        \
  do {                                                          \
    if (!(cond)) {                                              \
      ++failures;                                               \
      printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond);    \
      printf(__VA_ARGS__);                                      \
      printf("\n");                                             \
    }                                                           \
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

static void tri_apply(void *ctx, int32_t k, const double complex *x, double complex *y) {
  const Tri *a = (const Tri *)ctx;
  for (int32_t c = 0; c < k; ++c)
    for (int32_t i = 0; i < a->n; ++i) {
      double complex acc = 0;
      for (int64_t p = a->rowptr[i]; p < a->rowptr[i + 1]; ++p) acc += a->val[p] * x[(size_t)c * a->n + a->col[p]];
      y[(size_t)c * a->n + i] = acc;
    }
}

/* The plain transpose of a tridiagonal matrix swaps lo and up. */
typedef struct {
  Tri *a;
  Tri t;
  long columns; /* columns multiplied, A and A^T */
} Counted;

static void counted_apply(void *ctx, int32_t k, const double complex *x, double complex *y) {
  Counted *c = (Counted *)ctx;
  c->columns += k;
  tri_apply(c->a, k, x, y);
}
static void counted_apply_t(void *ctx, int32_t k, const double complex *x, double complex *y) {
  Counted *c = (Counted *)ctx;
  c->columns += k;
  tri_apply(&c->t, k, x, y);
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
  const char *problems[] = {"helmholtz", "helmholtz", "helmholtz", "convection", "convection"};
  const int32_t methods[] = {BK_SYMMETRIC, BK_QMR, BK_GMRES, BK_QMR, BK_GMRES};
  rhs(n, s, B);
  for (int c = 0; c < 5; ++c) {
    if (c < 3) tridiagonal(&a, n, 1.7 + 0.2 * I, -1, -1);
    else tridiagonal(&a, n, 2.5 + 0.5 * I, -1.4, -0.6 + 0.1 * I);
    bk_options o;
    bk_options_init(&o);
    o.method = methods[c];
    o.block_size = s;
    o.rtol = 1e-8;
    bk_report r;
    bk_report_init(&r);
    memset(X, 0, sizeof X);
    bk_solve_csr(n, a.rowptr, a.col, a.val, 0, s, B, n, X, n, &o, &r);
    printf("%s %s %s %lld %.3e\n", problems[c], bk_method_name(methods[c]), bk_status_name(r.status),
           (long long)r.products, r.max_residual);
  }
}

static int stop_at_three(void *ctx, const bk_progress *p) {
  (void)ctx;
  return p->iteration >= 3;
}

/* An operator that starts a solve of the same method from inside. */
typedef struct {
  Tri *a;
  int32_t method;
  int32_t inner_status;
  char inner_message[512];
  int tried;
} Nesting;

static void nesting_apply(void *ctx, int32_t k, const double complex *x, double complex *y) {
  Nesting *c = (Nesting *)ctx;
  tri_apply(c->a, k, x, y);
  if (c->tried) return;
  c->tried = 1;
  double complex b[256], xi[256] = {0};
  rhs(c->a->n, 1, b);
  bk_options o;
  bk_options_init(&o);
  o.method = c->method;
  bk_report r;
  bk_report_init(&r);
  const bk_operator inner = {tri_apply, c->a};
  c->inner_status = bk_solve(c->a->n, 1, &inner, &inner, b, c->a->n, xi, c->a->n, &o, &r);
  memcpy(c->inner_message, r.message, sizeof r.message);
}

int main(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "--faces") == 0) {
    faces();
    return 0;
  }
  enum { n = 64, s = 3 };
  static Tri sym, gen;
  static double complex B[n * s], X[n * s], X0[n * s];
  tridiagonal(&sym, n, 1.7 + 0.2 * I, -1, -1);
  tridiagonal(&gen, n, 2.5 + 0.5 * I, -1.4, -0.6 + 0.1 * I);
  rhs(n, s, B);

  /* Every method through CSR (base 0 and 1) and through counted callbacks:
   * converged on the true residual, the callbacks' columns are the report's
   * products, and residuals and history come back when asked for. */
  const int32_t methods[] = {BK_AUTO, BK_SYMMETRIC, BK_QMR, BK_GMRES};
  for (int m = 0; m < 4; ++m) {
    for (int g = 0; g < 2; ++g) {
      Tri *a = g ? &gen : &sym;
      if (g && methods[m] == BK_SYMMETRIC) continue;
      for (int form = 0; form < 3; ++form) {
        bk_options o;
        bk_options_init(&o);
        o.method = methods[m];
        o.rtol = 1e-9;
        double res[s] = {-1, -1, -1}, hist[1000];
        bk_report r;
        bk_report_init(&r);
        r.residuals = res;
        r.history = hist;
        r.history_capacity = 1000;
        memset(X, 0, sizeof X);
        Counted c = {a, {0}, 0};
        /* The transpose: swap the off-diagonals. */
        tridiagonal(&c.t, n, a->val[a->rowptr[1] + 1], a->val[a->rowptr[1] + 2], a->val[a->rowptr[1]]);
        int32_t st;
        if (form < 2) {
          Tri one = *a; /* 1-based copy */
          for (int i = 0; i <= n; ++i) one.rowptr[i] += form;
          for (int64_t p = 0; p < a->rowptr[n]; ++p) one.col[p] += form;
          st = bk_solve_csr(n, one.rowptr, one.col, one.val, form, s, B, n, X, n, &o, &r);
        } else {
          const bk_operator A = {counted_apply, &c}, At = {counted_apply_t, &c};
          st = bk_solve(n, s, &A, &At, B, n, X, n, &o, &r);
          CHECK(c.columns == r.products, "callbacks %ld, report %lld", c.columns, (long long)r.products);
        }
        CHECK(st == BK_CONVERGED && r.converged == 1, "method %d matrix %d form %d: %s", m, g, form, r.message);
        CHECK(max_residual(a, s, B, X) <= 1e-9, "method %d matrix %d form %d", m, g, form);
        CHECK(res[0] >= 0 && res[0] <= 1e-9 && r.max_residual <= 1e-9, "residuals %g", res[0]);
        CHECK(r.history_length == r.iterations && r.iterations > 0 && hist[0] > 0, "history");
        if (methods[m] == BK_AUTO) /* CSR: symmetric when A = A^T; callbacks: GMRES */
          CHECK(r.method == (g || form == 2 ? BK_GMRES : BK_SYMMETRIC), "auto chose %s", bk_method_name(r.method));
      }
    }
  }

  /* One solver, two systems; a caller's progress callback stops it. */
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
    CHECK(bk_solve(n, s, &A, NULL, B, n, X, n, &o, &r) == BK_STOPPED && r.iterations == 3, "%s", r.message);
    CHECK(bk_solver_create(BK_AUTO, n, 2, NULL) == NULL, "auto solver");
    CHECK(bk_solver_check(BK_GMRES, 1, 0, NULL, &r) == BK_INVALID && strstr(r.message, "n >= 2"), "%s", r.message);
  }

  /* Unusable arguments: BK_INVALID with a message, X untouched. */
  {
    for (size_t q = 0; q < (size_t)n * s; ++q) X0[q] = 7;
    int64_t badptr[n + 1];
    int32_t badcol[3 * n];
    memcpy(badptr, sym.rowptr, sizeof badptr);
    memcpy(badcol, sym.col, sizeof badcol);
    const bk_operator A = {tri_apply, &sym}, none = {NULL, NULL};
    for (int c = 0; c < 17; ++c) {
      bk_options o;
      bk_options_init(&o);
      bk_report r;
      bk_report_init(&r);
      memcpy(X, X0, sizeof X);
      int32_t nn = n, ns = s, ld = n, base = 0;
      const bk_operator *op = &A, *opt = &A;
      const double complex *b = B;
      int csr = 0;
      switch (c) {
        case 0: nn = 0; break;
        case 1: ns = 0; break;
        case 2: ld = n - 1; break;
        case 3: b = NULL; break;
        case 4: o.rtol = NAN; break;
        case 5: o.atol = -1; break;
        case 6: o.method = 7; break;
        case 7: o.block_size = -1; break;
        case 8: o.precond = BK_PRECOND_ILU0; break; /* stock needs CSR */
        case 9: op = &none; break;
        case 10: o.method = BK_QMR, opt = NULL; break;
        case 11: csr = 1, badcol[5] = n; break;
        case 12: csr = 1, badcol[5] = sym.col[5], badptr[3] = badptr[2] - 1; break;
        case 13: csr = 1, memcpy(badptr, sym.rowptr, sizeof badptr), base = 2; break;
        case 14: o.max_breakdowns = -1; break;
        case 15: csr = 1, o.precond = BK_PRECOND_SSOR, o.omega = 2.0; break;
        case 16: csr = 1, o.precond = 99; break;
      }
      const int32_t st = csr ? bk_solve_csr(nn, badptr, badcol, sym.val, base, ns, b, ld, X, ld, &o, &r)
                             : bk_solve(nn, ns, op, opt, b, ld, X, ld, &o, &r);
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

  /* A Lanczos solve from inside an operator of a solve of the same method on
   * the same thread is refused; another method runs. */
  for (int32_t inner = BK_SYMMETRIC; inner <= BK_GMRES; ++inner) {
    Nesting c = {&sym, inner, 99, "", 0};
    const bk_operator A = {nesting_apply, &c};
    bk_options o;
    bk_options_init(&o);
    o.method = BK_SYMMETRIC;
    bk_report r;
    bk_report_init(&r);
    memset(X, 0, sizeof X);
    CHECK(bk_solve(n, s, &A, NULL, B, n, X, n, &o, &r) == BK_CONVERGED, "outer: %s", r.message);
    if (inner == BK_SYMMETRIC)
      CHECK(c.inner_status == BK_INVALID && strstr(c.inner_message, "already running"), "%s", c.inner_message);
    else
      CHECK(c.inner_status == BK_CONVERGED, "inner %s: %s", bk_method_name(inner), c.inner_message);
  }

  printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
