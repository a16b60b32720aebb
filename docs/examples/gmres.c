/* A complete host of the block GMRES steps: restarted block GMRES with
 * Householder basis and deflation, one step call at a time.
 *
 * Solves A X = B for a 2D convection-diffusion operator with a complex shift
 * on a 30 x 30 grid (n = 900) and s = 4 right-hand sides, the third of which
 * is a combination of the first two (b3 = 2 b1 - i b2), so every cycle
 * deflates one column and recovers its iterate from the others.
 *
 * One cycle, as in docs/gmres.md:
 *   residual block -> C_INITIALBLOCKGMRES (s_k columns kept, R = G)
 *   for jcol = 1, 2, ...; k = jcol + s_k:
 *     C_PARENTBASISCONSTRUCT (q_jcol, passing k)  ->  V(:, k) = A q_jcol
 *     C_GMRESHOUSEORTHOG -> C_GMRESUPDATELM -> C_GMRESHMQR
 *     residual norms from rows jcol+1..jcol+s_k of G; stop when all are
 *     small, when the direction was negligible, or when V is full
 *   C_GMRESLEASTSQS -> C_GMRESITERATEUPDATE -> C_GMRESDEFLATEDITERATES
 *   X += corrections, restart from the true residual.
 *
 * Build: cc gmres.c -lblockkrylov -lm */
#include <math.h>
#include <string.h>

#include "example_problem.h" /* the operator A (a grid stencil), residuals, blocks */

/* A: convection-diffusion with wind 0.35 and the complex shift 0.4i. */
enum { S = 4, M = 40 /* capacity of the reflector set: the restart length */ };
static const stencil A = {4.0 + 0.4 * I, 0.35};

int main(void) {
  const int32_t n = N, m = M, ldg = M, ldh = M, ldcs = S, ldd = S, ldc = S;
  const double tol = 1e-10;
  const int max_products = 20 * N;

  zc *B = new_block(S), *X = new_block(S);
  for (int p = 0; p < N; ++p) {
    B[p] = cos(0.02 * p) + 0.5 * I;
    B[N + p] = (p == 400) ? 1.0 : 0.0;
    B[2 * N + p] = 2.0 * B[p] - I * B[N + p];
    B[3 * N + p] = sin(0.01 * p * p / N) - 0.2 * I * p / N;
  }

  /* The reflector set and the cycle's arrays. Gm is R of the initial step,
   * then the least-squares right-hand side G, then the solution Y. */
  zc *V = new_block(M), *w = new_block(1), *R = new_block(S), *Xc = new_block(S);
  zc vpiv[M], beta[M], sigma[M], work[M], Gm[M * S], LM[M * M], H[M * M], sn[S * M], dcoef[S * S];
  double cs[S * M], bnrm[S], rnrm[S];
  int32_t kept[S], dtab[S * 2];
  int active[S];
  const int32_t s_all = S;

  C_COLBLOCKNORMS(B, &n, &n, &s_all, bnrm);
  int products = 0, cycles = 0, columns = 0, deflated_rhs = 0, converged = 0;
  while (products < max_products) {
    /* True residual; its converged (or zero) columns stay out of the block. */
    residual(&A, S, B, X, R, rnrm);
    products += S;
    int32_t sa = 0;
    for (int j = 0; j < S; ++j)
      if (rnrm[j] > tol * bnrm[j]) active[sa++] = j;
    if (sa == 0) {
      converged = 1;
      break;
    }
    /* Largest residual first: the initial step never tests its first column
     * for deflation, so it must be the safest one. */
    for (int a = 0; a < sa; ++a)
      for (int b = a + 1; b < sa; ++b)
        if (rnrm[active[b]] > rnrm[active[a]]) {
          const int t = active[a];
          active[a] = active[b];
          active[b] = t;
        }
    for (int a = 0; a < sa; ++a) memcpy(V + (size_t)a * N, R + (size_t)active[a] * N, sizeof(zc) * N);

    /* Absolute deflation threshold, relative to the block's scale. */
    const double dtol = 1e-12 * rnrm[active[0]];
    int32_t p = 0;
    const int32_t ndefl = C_INITIALBLOCKGMRES(&sa, &dtol, &p, V, &n, vpiv, beta, sigma, Gm, &ldg, LM, &m, kept,
                                              dtab, &ldd, dcoef, &ldc, work);
    const int32_t sk = sa - ndefl;
    deflated_rhs += ndefl;
    ++cycles;

    int32_t jcol, kh = 0, ndefl_cycle = 0;
    for (jcol = 1; jcol + sk <= M && products < max_products; ++jcol) {
      const int32_t k = jcol + sk; /* the reflector this step forms */
      C_PARENTBASISCONSTRUCT(&jcol, w, &k, &p, V, &n, beta, LM, &m, work);
      apply(&A, 0, 1, w, V + (size_t)(k - 1) * N);
      ++products;
      const int32_t negligible = C_GMRESHOUSEORTHOG(&jcol, &k, &dtol, &ndefl_cycle, V, &n, vpiv, beta, sigma, LM,
                                                    &m, H, &ldh, work);
      C_GMRESUPDATELM(&k, V, &n, beta, LM, &m);
      C_GMRESHMQR(&jcol, &sk, H, &ldh, Gm, &ldg, cs, &ldcs, sn, &ldcs);
      kh = jcol;
      ++columns;

      /* Least-squares residual of kept column l: rows jcol+1..jcol+sk of G. */
      int small = 1;
      for (int l = 0; l < sk; ++l) {
        double r2 = 0.0;
        for (int i = jcol; i < jcol + sk; ++i) r2 += creal(Gm[l * M + i] * conj(Gm[l * M + i]));
        small &= sqrt(r2) <= 0.5 * tol * bnrm[active[kept[l] - 1]];
      }
      /* A negligible new direction ends the cycle: the solution is formed
       * with what was built and the next cycle starts from the true
       * residual. */
      if (small || negligible) break;
    }
    if (kh == 0) break;

    /* Coefficients, then the corrections of the kept and deflated columns. */
    C_GMRESLEASTSQS(&kh, &sk, Gm, &ldg, H, &ldh, Gm, &ldg);
    memset(Xc, 0, sizeof(zc) * (size_t)N * sa);
    C_GMRESITERATEUPDATE(&kh, &sk, &p, kept, V, &n, beta, LM, &m, work, Gm, &ldg, Xc, &n, w);
    C_GMRESDEFLATEDITERATES(&ndefl, kept, dtab, &ldd, dcoef, &ldc, Xc, &n);
    for (int a = 0; a < sa; ++a)
      for (int i = 0; i < N; ++i) X[(size_t)active[a] * N + i] += Xc[(size_t)a * N + i];
  }

  printf("gmres: %d cycles, %d Hessenberg columns, %d products, %d right-hand sides deflated over all cycles\n",
         cycles, columns, products, deflated_rhs);
  const int ok = residuals_below(S, rnrm, bnrm, tol) && converged && deflated_rhs >= 1;
  free(B), free(X), free(V), free(w), free(R), free(Xc);
  return finish("gmres", ok);
}
