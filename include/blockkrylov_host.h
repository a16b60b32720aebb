/*
 * blockkrylov_host.h - whole solves of A X = B with many right-hand sides,
 * for any language that can call C (libblockkrylov_host).
 *
 * The solvers of this library run the reverse-communication loops of the
 * kernel library (blockkrylov.h) for you. A is given either as callbacks on
 * n x k blocks (bk_solve, bk_solver_solve) or as a sparse matrix in
 * compressed sparse row form (bk_solve_csr), in which case every product runs
 * in compiled code and no language has to call back per product.
 *
 * Methods: BK_SYMMETRIC (block QMR on the complex-symmetric block Lanczos
 * process, A = A^T, not Hermitian), BK_QMR (two-sided block Lanczos for
 * general A; needs products with A^T, the plain transpose), BK_GMRES
 * (restarted block GMRES with deflation), BK_AUTO (bk_solve_csr: symmetric
 * when A = A^T exactly, else GMRES; callbacks: GMRES, or symmetric for n = 1).
 *
 * Convergence is judged on the true residual of every column:
 * ||b_j - A x_j|| <= max(rtol ||b_j||, atol). X holds the starting guess on
 * entry (zeros are fine) and the solution on return. More columns than the
 * block size are solved block after block, with one aggregated report.
 *
 * Every argument is checked before any work: unusable sizes, leading
 * dimensions, null arrays or operators, out-of-range options, CSR arrays
 * whose indices fall outside the matrix, give BK_INVALID and a message in the
 * report, with X untouched. The result of every solve is the report's status:
 * BK_CONVERGED (0), a positive status when the solve ended without
 * convergence (X holds the last iterate and the report its true residuals),
 * BK_INVALID (-1) when it could not run.
 *
 * Threads: solves on distinct threads of one OpenMP team run in parallel;
 * solves from threads that share an OpenMP thread number (plain threads
 * outside one team, nested teams) are serialised; a Lanczos solve started
 * from inside an operator callback of a solve of the same method on the same
 * thread is refused with BK_INVALID.
 *
 * Compiles as C99 and C++. Complex arrays follow blockkrylov.h (bk_complex).
 */
#ifndef BLOCKKRYLOV_HOST_H
#define BLOCKKRYLOV_HOST_H

#include <stdint.h>

#include "blockkrylov.h"

#if defined(BLOCKKRYLOV_HOST_BUILDING)
#  define BLOCKKRYLOV_HOST_API __attribute__((visibility("default")))
#else
#  define BLOCKKRYLOV_HOST_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Methods. */
enum { BK_AUTO = 0, BK_SYMMETRIC = 1, BK_QMR = 2, BK_GMRES = 3 };

/* Statuses (bk_report.status and the result of every solve). */
enum {
  BK_INVALID = -1,       /* could not run: see the message */
  BK_CONVERGED = 0,      /* every column met its tolerance on the true residual */
  BK_MAX_PRODUCTS = 1,   /* the product limit was reached first */
  BK_BREAKDOWN = 2,      /* the Lanczos process broke down more often than allowed */
  BK_STAGNATED = 3,      /* no further progress was possible */
  BK_STOPPED = 4,        /* the progress callback asked to stop */
  BK_MAX_ITERATIONS = 5  /* the iteration limit was reached first */
};

/* An operator: y(:, 1:k) = Op x(:, 1:k) for n x k blocks with leading
 * dimension n that never overlap. ctx is passed back unchanged. */
typedef struct bk_operator {
  void (*apply)(void *ctx, int32_t k, const bk_complex *x, bk_complex *y);
  void *ctx;
} bk_operator;

/* A preconditioner M = M1 M2 given by the solves with its factors: left
 * applies M1^-1, right M2^-1, left_t and right_t their plain transposes
 * (needed by BK_QMR for the factors given). An operator whose apply is null
 * is the identity. BK_SYMMETRIC needs M2 = M1^T (symmetric = 1, left and
 * right given) so that the operator M1^-1 A M2^-1 stays complex-symmetric;
 * BK_GMRES applies M^-1 = M2^-1 M1^-1 as a right preconditioner, so a single
 * M^-1 is given as `right`. */
typedef struct bk_preconditioner {
  bk_operator left;     /* y = M1^-1 x */
  bk_operator right;    /* y = M2^-1 x */
  bk_operator left_t;   /* y = M1^-T x */
  bk_operator right_t;  /* y = M2^-T x */
  int32_t symmetric;    /* 1: M2 = M1^T */
  int32_t reserved0;    /* zero */
} bk_preconditioner;

/* Stock preconditioners built by bk_solve_csr (bk_options.precond). */
enum {
  BK_PRECOND_NONE = 0,
  BK_PRECOND_JACOBI = 1,  /* M = diag(A), split D^1/2 D^1/2 */
  BK_PRECOND_SSOR = 2,    /* symmetric SSOR with relaxation `omega`, fused product */
  BK_PRECOND_IC0 = 3,     /* L D L^T with zero fill (A = A^T only) */
  BK_PRECOND_ICT = 4,     /* L D L^T with drop_tol and fill (A = A^T only) */
  BK_PRECOND_ILU0 = 5,    /* L U with zero fill (BK_QMR, BK_GMRES) */
  BK_PRECOND_ILUT = 6,    /* L U with drop_tol and fill (BK_QMR, BK_GMRES) */
  BK_PRECOND_AUTO = 7     /* chosen from A and the method: see docs/host.md */
};

/* What the progress callback sees after every iteration. */
typedef struct bk_progress {
  int32_t method;     /* BK_SYMMETRIC, BK_QMR or BK_GMRES */
  int32_t predicted;  /* predicted total iterations (0 while unknown) */
  int64_t iteration;  /* block steps (Lanczos) or Hessenberg columns (GMRES) */
  int64_t products;   /* products with A and A^T so far, one per column */
  double estimate;    /* largest estimated relative residual */
  double percent;     /* progress estimate in percent */
  int32_t block;      /* block of columns being solved, 1 .. blocks */
  int32_t blocks;     /* blocks of at most block_size columns */
} bk_progress;

/* Options. Call bk_options_init first: it sets `size` to the size this
 * header declares and every field to its default, so that a caller built
 * against an older header keeps working when fields are added at the end. */
typedef struct bk_options {
  int32_t size;            /* sizeof(bk_options) of the caller's header */
  int32_t method;          /* BK_AUTO (default) ... BK_GMRES */
  int32_t block_size;      /* right-hand sides solved together; 0 (default): min(nrhs, 8);
                              never more than n, for GMRES at most n / 2 */
  int32_t restart;         /* GMRES: basis capacity per cycle; 0 (default): 60 per kept column
                              of the cycle, at least 60, within 2 GiB; raised to 2 s */
  double rtol;             /* relative tolerance (default 1e-8) */
  double atol;             /* absolute tolerance (default 0) */
  int64_t max_products;    /* per block; <= 0 (default): 10 n s, at least 1000 */
  int64_t max_iterations;  /* per block; <= 0 (default): none */
  double deflation_tol;    /* GMRES: relative deflation threshold (default 1e-12) */
  int32_t max_breakdowns;  /* Lanczos: restarts after a breakdown (default 10) */
  int32_t reserved0;       /* zero */
  /* Called after every iteration; a nonzero result stops the solve. May be null. */
  int (*progress)(void *ctx, const bk_progress *p);
  void *progress_ctx;
  /* Two-sided method: starting left block, n x nrhs with leading dimension n;
   * null (default): the starting residual block. */
  const bk_complex *left_start;
  /* A preconditioner given by callbacks (null: none, or a stock one). */
  const bk_preconditioner *preconditioner;
  /* bk_solve_csr: a stock preconditioner built from A, or from the matrix
   * below when precond_rowptr is not null (same order and base as A). */
  int32_t precond;         /* BK_PRECOND_NONE (default) ... BK_PRECOND_AUTO */
  int32_t reserved1;       /* zero */
  double omega;            /* SSOR relaxation in (0, 2) (default 1) */
  double drop_tol;         /* ICT, ILUT: relative drop tolerance (default 1e-3) */
  double fill;             /* ICT, ILUT: entries kept per row, times those of A (default 5) */
  const int64_t *precond_rowptr;
  const int32_t *precond_colind;
  const bk_complex *precond_values;
  /* OpenMP threads of the solve (sparse products, kernel passes); 0 (default):
   * the caller's OpenMP setting. A threaded OpenBLAS runs on one thread while
   * solves run: see docs/host.md. */
  int32_t threads;
  int32_t reserved2;       /* zero */
} bk_options;

/* Report. Call bk_report_init first (it sets `size` and clears the rest),
 * then point `residuals` and `history` at arrays of your own if you want
 * them filled. */
typedef struct bk_report {
  int32_t size;            /* sizeof(bk_report) of the caller's header */
  int32_t status;          /* BK_CONVERGED, ... (also the solve's result) */
  int32_t method;          /* the method that ran */
  int32_t converged;       /* 1 when status is BK_CONVERGED */
  int64_t iterations;      /* summed over the blocks */
  int64_t products;        /* products with A and A^T, one per column */
  int32_t restarts;
  int32_t breakdowns;
  int32_t blocks;          /* blocks of at most block_size columns */
  int32_t block_size;      /* the block size used */
  double max_residual;     /* largest true relative residual over the columns */
  double *residuals;       /* in: null or room for nrhs values; out: true relative residuals */
  double *history;         /* in: null or room for history_capacity values; out: largest
                              estimated relative residual per iteration */
  int64_t history_capacity;
  int64_t history_length;  /* out: iterations recorded (only the first history_capacity
                              are written) */
  char message[512];       /* one line saying how the solve ended */
  char preconditioner[64]; /* the preconditioner used ("" for none), e.g. "ilut(drop 0.001, fill 5)" */
  double setup_seconds;    /* time spent building a stock preconditioner */
} bk_report;

/* Fill the first `size` bytes of the caller's struct (its sizeof) with the
 * defaults and set its `size` field; nothing beyond is written. C and C++
 * callers use the two inline functions below, which pass the size of the
 * struct their header declares; other languages pass their own. */
BLOCKKRYLOV_HOST_API void bk_options_init_sized(bk_options *options, int32_t size);
BLOCKKRYLOV_HOST_API void bk_report_init_sized(bk_report *report, int32_t size);
static inline void bk_options_init(bk_options *options) {
  bk_options_init_sized(options, (int32_t)sizeof *options);
}
static inline void bk_report_init(bk_report *report) {
  bk_report_init_sized(report, (int32_t)sizeof *report);
}

/* Solves A X = B, B and X n x nrhs with leading dimensions ldb, ldx >= n.
 * At (y = A^T x) is needed by BK_QMR only and may be null otherwise.
 * options may be null (defaults). Returns report->status. */
BLOCKKRYLOV_HOST_API int32_t bk_solve(int32_t n, int32_t nrhs, const bk_operator *A,
                                      const bk_operator *At, const bk_complex *B, int32_t ldb,
                                      bk_complex *X, int32_t ldx, const bk_options *options,
                                      bk_report *report);

/* The same with A given in compressed sparse row form: row i holds the
 * entries values[rowptr[i] - base .. rowptr[i+1] - base - 1] in the columns
 * colind[...] - base, base 0 (C) or 1 (Fortran). Columns need not be sorted;
 * duplicates are summed. The arrays are copied; products (and those with
 * A^T) run in compiled code on OpenMP threads. */
BLOCKKRYLOV_HOST_API int32_t bk_solve_csr(int32_t n, const int64_t *rowptr, const int32_t *colind,
                                          const bk_complex *values, int32_t base, int32_t nrhs,
                                          const bk_complex *B, int32_t ldb, bk_complex *X,
                                          int32_t ldx, const bk_options *options,
                                          bk_report *report);

/* A solver that keeps its work arrays: made once for (method, n, block
 * size, options), it solves any number of systems of order n without
 * allocating in its iterations. method must not be BK_AUTO; block_size 0
 * means 8 (reduced as in bk_options.block_size). Returns null when the arguments cannot
 * work or memory runs out; bk_solver_check then says why. */
typedef struct bk_solver bk_solver;
BLOCKKRYLOV_HOST_API bk_solver *bk_solver_create(int32_t method, int32_t n, int32_t block_size,
                                                 const bk_options *options);
BLOCKKRYLOV_HOST_API void bk_solver_destroy(bk_solver *solver);
BLOCKKRYLOV_HOST_API int32_t bk_solver_solve(bk_solver *solver, const bk_operator *A,
                                             const bk_operator *At, int32_t nrhs,
                                             const bk_complex *B, int32_t ldb, bk_complex *X,
                                             int32_t ldx, bk_report *report);
/* Why bk_solver_create would refuse these arguments, in report->message
 * (status BK_INVALID), or BK_CONVERGED (0) with an empty message if it would
 * not. */
BLOCKKRYLOV_HOST_API int32_t bk_solver_check(int32_t method, int32_t n, int32_t block_size,
                                             const bk_options *options, bk_report *report);

/* Text of a status or method, e.g. "converged", "gmres". */
BLOCKKRYLOV_HOST_API const char *bk_status_name(int32_t status);
BLOCKKRYLOV_HOST_API const char *bk_method_name(int32_t method);

#ifdef __cplusplus
}
#endif

#endif /* BLOCKKRYLOV_HOST_H */
