/*
 * blockkrylov.h - block Krylov kernels for sparse complex systems A*X = B
 * with s right-hand sides, driven by reverse communication.
 *
 * The library never sees A. Wherever a product with A (or its plain
 * transpose A^T) is needed, control returns to the host, which forms the
 * product in one of its own arrays and calls again.
 *
 * Conventions shared by all twelve entry points
 *   - every argument is passed by address, scalars included;
 *   - integers are 32-bit signed, reals IEEE double, a complex number is two
 *     doubles (real part first);
 *   - arrays are column-major, indices 1-based, leading dimensions explicit
 *     (the Lanczos drivers use n for every n-row array);
 *   - the caller owns every array; nothing is kept past a call except the
 *     per-thread slots of C_CONVERGENCEPROGRESS, C_ZDSYM_BLANCZOS1 and
 *     C_ZD_BLANCZOS, which are found by the OpenMP thread number: one solve
 *     must stay on one thread number from its first call to its last.
 *   - on failure a routine writes one-line records to standard output.
 *
 * What is checked where. The entry points trust their arguments: sizes and
 * leading dimensions outside the bounds stated below (s < 1, ldr < s, a
 * reflector capacity m below 2 s, arrays smaller than stated) are not
 * detected and may corrupt memory or hand an illegal argument to LAPACK.
 * Every layer of this project above them checks first and reports a clear
 * error instead: the C++ solvers of blockkrylov/solver.hpp (Status::invalid
 * with a message, X untouched), bksolve (a usage or input error), and the
 * Python module's whole solves (ValueError).
 *
 * Threads. Several solves may use the per-thread slots at once only on
 * distinct thread numbers of one OpenMP team. Two host threads that are not
 * in one team both count as thread 0, and in nested teams the number is the
 * one within the innermost team, so threads of two inner teams share slots:
 * such solves must not overlap. The C++ solvers enforce this themselves.
 *
 * Complex arrays follow the LAPACKE convention: `double _Complex` in C and
 * `std::complex<double>` in C++. Define BLOCKKRYLOV_COMPLEX_DOUBLE before
 * including this header to use another 16-byte layout-compatible type.
 *
 * docs/ describes each service's host loop in full.
 */
#ifndef BLOCKKRYLOV_H
#define BLOCKKRYLOV_H

#include <stdint.h>

#ifndef BLOCKKRYLOV_COMPLEX_DOUBLE
#  ifdef __cplusplus
#    include <complex>
#    define BLOCKKRYLOV_COMPLEX_DOUBLE std::complex<double>
#  else
#    include <complex.h>
#    define BLOCKKRYLOV_COMPLEX_DOUBLE double _Complex
#  endif
#endif

#if defined(BLOCKKRYLOV_BUILDING)
#  define BLOCKKRYLOV_API __attribute__((visibility("default")))
#else
#  define BLOCKKRYLOV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef BLOCKKRYLOV_COMPLEX_DOUBLE bk_complex;

/* ======================================================================
 * Monitoring
 * ====================================================================== */

/* C_COLBLOCKNORMS: Euclidean norm of each column of a block.
 *   X    (in)  complex ldx x s  the block (typically a residual block)
 *   ldx  (in)  leading dimension of X, >= n
 *   n    (in)  rows used; only rows 1..n of each column are read
 *   s    (in)  number of columns; s <= 0 writes nothing
 *   nrm  (out) double s         nrm(j) = ||X(1:n, j)||_2 */
BLOCKKRYLOV_API void C_COLBLOCKNORMS(const bk_complex *X, const int32_t *ldx,
                                     const int32_t *n, const int32_t *s,
                                     double *nrm);

/* C_CONVERGENCEPROGRESS: converged flag and a progress estimate from the
 * largest of m residual norms. Keeps a running average of the convergence
 * rate (decimal digits per iteration) in the calling thread's slot.
 *   it     (in)     current iteration number
 *   itold  (in)     iteration number at the previous call of this history;
 *                   0 starts a new history (resets the average, pct = 0)
 *   tol    (in)     a norm <= tol counts as converged
 *   rmax   (in/out) in: largest norm at the previous call (first call: the
 *                   host's reference, e.g. the largest initial norm);
 *                   out: largest of the current norms
 *   nrm    (in)     double m, current norms (NaN entries are ignored)
 *   m      (in)     number of norms
 *   itpred (out)    predicted total iterations (unchanged when the largest
 *                   norm did not decrease)
 *   pct    (out)    progress in percent (likewise)
 * Returns 1 when every norm is <= tol (or m <= 0), else 0. The predicted
 * remainder is capped at 1000 iterations. */
BLOCKKRYLOV_API int32_t C_CONVERGENCEPROGRESS(const int32_t *it, const int32_t *itold,
                                              const double *tol, double *rmax,
                                              const double *nrm, const int32_t *m,
                                              int32_t *itpred, double *pct);

/* ======================================================================
 * Block Lanczos solvers with block QMR update (reverse communication)
 * ====================================================================== */

/* C_ZDSYM_BLANCZOS1: block Lanczos / block QMR for complex-symmetric A
 * (A = A^T, not Hermitian). All n-row arrays have leading dimension n.
 *
 *   n, s      (in)     order of A, block size (s >= 1)
 *   REVCOM    (in/out) 0 start | 1 host stored A*Pn in APn | 2 continue
 *   X         (in/out) n x s iterate; holds X0 on the start call
 *   Vn        (in/out) n x s; start call: R0 = B - A*X0; then Lanczos block
 *   Pn        (out)    n x s direction block the host multiplies by A
 *   D         (work)   n x s
 *   APn       (in)     n x s; the host stores A*Pn here before calling with 1
 *   gamma, gammaold, rho, rhoold   double s each
 *   ESVB, DSVB (work)  s x 4s each;  esv, dsv (work) s+1 each
 *   QRS       (work)   (3s+3) x 2s
 *   RINV      (work)   s x 2s;  UP (work) s x s;  TAU (work) 2s x s
 *   SVWORK    (work)   s x 3s
 *
 * Protocol: call with REVCOM = 0. On result 0 the driver has set REVCOM:
 *   1: store A*Pn in APn and call again;
 *   2: X holds the new iterate; rows 1..s of TAU hold the quasi-residual
 *      block (its column norms estimate the residual norms). Call again with
 *      2 to continue, or stop.
 * A nonzero result is a failure (breakdown, zero starting column, bad
 * REVCOM); records on standard output say which; REVCOM is left unchanged.
 * Keep every array unchanged between calls except APn. */
BLOCKKRYLOV_API int32_t C_ZDSYM_BLANCZOS1(
    const int32_t *n, const int32_t *s, int32_t *REVCOM, bk_complex *X,
    bk_complex *Vn, bk_complex *Pn, bk_complex *D, bk_complex *APn,
    double *gamma, double *gammaold, double *rho, double *rhoold,
    bk_complex *ESVB, bk_complex *esv, bk_complex *DSVB, bk_complex *dsv,
    bk_complex *QRS, bk_complex *RINV, bk_complex *UP, bk_complex *TAU,
    bk_complex *SVWORK);

/* C_ZD_BLANCZOS: two-sided block Lanczos / block QMR for general A, using
 * products with A and with its plain transpose A^T.
 *
 *   n, s      (in)     order of A, block size (s >= 1)
 *   REVCOM    (in/out) 0 start | 1 Zn = A*Pn | 2 Zn = A^T*Qn | 3 continue
 *   X         (in/out) n x s iterate; holds X0 on the start call
 *   Vn        (in/out) n x s; start call: R0 = B - A*X0
 *   Wn        (in/out) n x s; start call: the starting left block, any block
 *                      with W1^T V1 well conditioned after normalisation
 *   Pn, Qn    (out)    n x s direction blocks (multiply Pn by A, Qn by A^T)
 *   D         (work)   n x s
 *   Zn        (in)     n x s; where the host stores the requested product
 *   gamma, gammaold, rho, rhoold, xi, xiold   double s each
 *   ESVB, DSVB (work)  s x 4s each;  esv, dsv (work) s+1 each
 *   QRS, QRSW (work)   (3s+3) x 2s each
 *   RINV      (work)   s x 2s;  UP, UQ (work) s x s each;  TAU (work) 2s x s
 *   SVWORK    (work)   s x 3s
 *
 * Protocol: call with 0; on result 0 REVCOM asks:
 *   1: store A*Pn in Zn, call;  2: store A^T*Qn in Zn, call;
 *   3: X holds the new iterate (TAU rows 1..s: quasi-residual block); call
 *      with 3 to continue, or stop.
 * Nonzero result: failure, REVCOM unchanged, records on standard output. */
BLOCKKRYLOV_API int32_t C_ZD_BLANCZOS(
    const int32_t *n, const int32_t *s, int32_t *REVCOM, bk_complex *X,
    bk_complex *Vn, bk_complex *Wn, bk_complex *Pn, bk_complex *Qn,
    bk_complex *D, bk_complex *Zn, double *gamma, double *gammaold,
    double *rho, double *rhoold, double *xi, double *xiold,
    bk_complex *ESVB, bk_complex *esv, bk_complex *DSVB, bk_complex *dsv,
    bk_complex *QRS, bk_complex *RINV, bk_complex *QRSW, bk_complex *UP,
    bk_complex *UQ, bk_complex *TAU, bk_complex *SVWORK);

/* ======================================================================
 * Block GMRES steps (Householder basis, deflation). The host calls them in
 * the order of one cycle; none keeps state. m is the capacity of the
 * reflector set (columns of V, order of LM).
 * ====================================================================== */

/* C_INITIALBLOCKGMRES: QR factorisation with deflation of the initial
 * residual block; starts a cycle. Returns ndefl, the number of deflated
 * columns; s_k = s - ndefl columns are kept.
 *   s     (in)  columns of the block (>= 1; s <= ceil(m/2))
 *   tol   (in)  absolute deflation threshold (>= 0)
 *   p     (out) cached basis vectors: min(s_k, floor(m/2), m - s_k); the
 *               last term only matters when s_k > ceil(m/2) and keeps the
 *               cache off the columns that hold reflectors
 *   V     (in/out) n x m; in: the block in columns 1..s; out: Householder
 *               vectors 1..s_k, and q_k in column m+1-k for k = 1..p
 *   n     (in)  vector length, leading dimension of V
 *   vpiv, beta, sigma (out) complex m: reflector data, positions 1..s_k
 *   R     (out) ldr x s triangular factor of the kept columns, zero elsewhere
 *   ldr   (in)  >= s
 *   LM    (out) m x m coupling matrix (identity, filled for 1..s_k)
 *   m     (in)  capacity of the reflector set
 *   kept  (out) int s: block column kept at each position; 0 after s_k
 *   dtab  (out) int ldd x 2: row d = (column index, kept columns before it)
 *   ldd   (in)  >= s - 1
 *   dcoef (out) ldc x s: column d = coefficients of deflated column d
 *   ldc   (in)  >= s - 1
 *   work  (scratch) complex s
 * The first column is never tested for deflation: it must be nonzero. */
BLOCKKRYLOV_API int32_t C_INITIALBLOCKGMRES(
    const int32_t *s, const double *tol, int32_t *p, bk_complex *V,
    const int32_t *n, bk_complex *vpiv, bk_complex *beta, bk_complex *sigma,
    bk_complex *R, const int32_t *ldr, bk_complex *LM, const int32_t *m,
    int32_t *kept, int32_t *dtab, const int32_t *ldd, bk_complex *dcoef,
    const int32_t *ldc, bk_complex *work);

/* C_PARENTBASISCONSTRUCT: deliver basis vector q_j = Q e_j into w, from the
 * cache at the back of V (j <= p) or built from the reflectors. p is first
 * cut to lim = max(0, min(m - k, floor(m/2))); a built vector is cached (in
 * column m+1-j, p incremented) when it is the next one, j = p + 1, and p is
 * below lim. Ask for q_1, q_2, ... in order to fill the cache.
 *   j (in) wanted index;  w (out) complex n;  k (in) columns of V holding
 *   Householder vectors (pass the index of the reflector about to be
 *   formed); p (in/out) cache count; V (in/out) n x m; n (in);
 *   beta (in) complex m; LM (in) m x m; m (in); work (scratch) complex j */
BLOCKKRYLOV_API void C_PARENTBASISCONSTRUCT(
    const int32_t *j, bk_complex *w, const int32_t *k, int32_t *p,
    bk_complex *V, const int32_t *n, const bk_complex *beta,
    const bk_complex *LM, const int32_t *m, bk_complex *work);

/* C_GMRESHOUSEORTHOG: Arnoldi step. Column k of V holds z = A*q_jcol; it is
 * reduced by reflectors 1..k-1, reflector k is formed, and rows 1..k of
 * column jcol of H are written. Returns 1 (and increments ndefl) when
 * |sigma_k| <= tol (the new direction is negligible), else 0.
 *   jcol, k, tol (in);  ndefl (in/out);  V (in/out) n x m;  n (in);
 *   vpiv (out), beta (in/out), sigma (out) complex m;
 *   LM (in) ldlm x m;  ldlm (in);  H (out) ldh x jcol;  ldh (in);
 *   work (scratch) complex k-1
 * Call C_GMRESUPDATELM for reflector k before it is used again. */
BLOCKKRYLOV_API int32_t C_GMRESHOUSEORTHOG(
    const int32_t *jcol, const int32_t *k, const double *tol, int32_t *ndefl,
    bk_complex *V, const int32_t *n, bk_complex *vpiv, bk_complex *beta,
    bk_complex *sigma, const bk_complex *LM, const int32_t *ldlm,
    bk_complex *H, const int32_t *ldh, bk_complex *work);

/* C_GMRESHMQR: replay the stored plane rotations on column jcol of the band
 * Hessenberg matrix H (lower bandwidth s), make s new ones that triangularise
 * it, store them in column jcol of cs/sn and apply them to rows jcol..jcol+s
 * of G. Afterwards the norm of G(jcol+1:jcol+s, l) is the least-squares
 * residual norm of right-hand side l. Pass the same s for a whole cycle.
 *   jcol, s (in);  H (in/out), ldh (in) >= jcol+s;  G (in/out), ldg;
 *   cs (in/out) double ldcs x jcol;  sn (in/out) complex ldsn x jcol */
BLOCKKRYLOV_API void C_GMRESHMQR(const int32_t *jcol, const int32_t *s,
                                 bk_complex *H, const int32_t *ldh,
                                 bk_complex *G, const int32_t *ldg, double *cs,
                                 const int32_t *ldcs, bk_complex *sn,
                                 const int32_t *ldsn);

/* C_GMRESUPDATELM: add reflector k to the coupling matrix LM (row and column
 * k off the diagonal). k <= 1 writes nothing.
 *   k (in);  V (in) n x k;  n (in);  beta (in) complex k-1;
 *   LM (in/out) ldlm x k;  ldlm (in) */
BLOCKKRYLOV_API void C_GMRESUPDATELM(const int32_t *k, const bk_complex *V,
                                     const int32_t *n, const bk_complex *beta,
                                     bk_complex *LM, const int32_t *ldlm);

/* C_GMRESLEASTSQS: solve H(1:k,1:k) * Y = G(1:k,1:s) by back substitution
 * (upper triangle of H only). Y and G may be the same array.
 *   k (in) >= 1;  s (in);  Y (out) ldy x s;  ldy;  H (in) ldh x k;  ldh;
 *   G (in) ldg x s;  ldg */
BLOCKKRYLOV_API void C_GMRESLEASTSQS(const int32_t *k, const int32_t *s,
                                     bk_complex *Y, const int32_t *ldy,
                                     const bk_complex *H, const int32_t *ldh,
                                     const bk_complex *G, const int32_t *ldg);

/* C_GMRESITERATEUPDATE: X(:, kept(l)) = sum_j Y(j, l) q_j for l = 1..s,
 * j = 1..k (replaces those columns; others untouched).
 *   k, s, p (in) (p: basis vectors cached intact at the back of V);
 *   kept (in) int s;  V (in) n x m;  n;  beta (in);  LM (in) m x m;  m;
 *   work (scratch) complex k;  Y (in) ldy x s;  ldy;
 *   X (in/out) ldx x ...;  ldx;  w (scratch) complex n */
BLOCKKRYLOV_API void C_GMRESITERATEUPDATE(
    const int32_t *k, const int32_t *s, const int32_t *p, const int32_t *kept,
    const bk_complex *V, const int32_t *n, const bk_complex *beta,
    const bk_complex *LM, const int32_t *m, bk_complex *work,
    const bk_complex *Y, const int32_t *ldy, bk_complex *X, const int32_t *ldx,
    bk_complex *w);

/* C_GMRESDEFLATEDITERATES: the iterate of each deflated right-hand side
 * becomes the recorded combination of kept iterates:
 * X(:, dtab(d,1)) = sum_i dcoef(i, d) X(:, kept(i)), i = 1..dtab(d,2).
 * Call after C_GMRESITERATEUPDATE.
 *   ndefl (in);  kept (in);  dtab (in) ldd x 2;  ldd;  dcoef (in) ldc x ndefl;
 *   ldc;  X (in/out) n x ...;  n */
BLOCKKRYLOV_API void C_GMRESDEFLATEDITERATES(
    const int32_t *ndefl, const int32_t *kept, const int32_t *dtab,
    const int32_t *ldd, const bk_complex *dcoef, const int32_t *ldc,
    bk_complex *X, const int32_t *n);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* BLOCKKRYLOV_H */
