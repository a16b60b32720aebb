// blockkrylov/detail/solver_impl.hpp - definitions of the three whole-solve
// drivers declared in blockkrylov/solver.hpp. Included from there; uses only
// the twelve C entry points of blockkrylov.h.
//
// What every solve shares (class Host below):
//   * Columns with b_j = 0 get x_j = 0 and are finished before anything else
//     runs; so are columns whose starting residual already meets rtol. Only
//     the remaining ("active") columns enter the block: a zero or converged
//     column would stop the Lanczos drivers at once (zero column in the
//     starting block) and gives block GMRES nothing to do.
//   * Convergence means ||b_j - A x_j|| <= rtol ||b_j|| on the true residual,
//     which the host forms itself. The kernels' own residual figures only
//     decide when that is worth doing.
//   * Products are counted one per column (A and A^T alike), the true
//     residuals included. Before each product the host keeps room for one
//     more true residual of the active block, so a solve that stops on the
//     limit still reports current residuals without exceeding it.
//   * After every iteration the largest estimated relative residual goes to
//     the history, to C_CONVERGENCEPROGRESS (one history per solve: itold = 0
//     at the first iteration, then the previous iteration number) and to the
//     progress callback.
//   * The kernels see a system of unit size whatever the scales of A and B:
//     products enter them multiplied by a power of two alpha (fixed at the
//     first product of the solve from ||A x|| / ||x||), and a Lanczos run
//     starts from its residual block multiplied by a power of two beta that
//     gives its largest column about unit norm. Powers of two scale exactly,
//     so every kernel result is the unscaled one, scaled; but a system scaled
//     by 1e-200 or 1e+200 no longer over- or underflows inside the kernels.
//     X, the residuals and every reported figure belong to the original
//     system.
//   * Per-thread state of the kernels is claimed for the whole solve (see
//     slot_claims.hpp).
//   * All work arrays are sized at the start of a solve; the steps allocate
//     nothing.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "blockkrylov/detail/slot_claims.hpp"

namespace blockkrylov {

inline const char* to_string(Method m) {
  switch (m) {
    case Method::symmetric: return "symmetric";
    case Method::qmr: return "qmr";
    case Method::gmres: return "gmres";
  }
  return "unknown";
}

inline const char* to_string(Status s) {
  switch (s) {
    case Status::converged: return "converged";
    case Status::max_products: return "max_products";
    case Status::breakdown: return "breakdown";
    case Status::stagnated: return "stagnated";
    case Status::stopped: return "stopped";
    case Status::invalid: return "invalid";
  }
  return "unknown";
}

namespace detail {

inline std::string fmt_g(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g", v);
  return buf;
}

// x := 2^e x for len entries, exact unless an entry leaves the range of
// doubles.
inline void scale_pow2(complex* x, std::size_t len, int e) {
  if (e == 0) return;
  if (e > -1000 && e < 1000) {
    const double f = std::ldexp(1.0, e);
    for (std::size_t i = 0; i < len; ++i) x[i] *= f;
  } else {
    for (std::size_t i = 0; i < len; ++i)
      x[i] = complex(std::ldexp(x[i].real(), e), std::ldexp(x[i].imag(), e));
  }
}

// y := 2^e x for len entries.
inline void copy_pow2(const complex* x, std::size_t len, complex* y, int e) {
  std::copy(x, x + len, y);
  scale_pow2(y, len, e);
}

// The exponent e for which 2^e v has about unit size; 0 for v = 0 or a v
// that is not finite.
inline int unit_exponent(double v) {
  return v > 0.0 && std::isfinite(v) ? -std::ilogb(v) : 0;
}

// State and services shared by the three solvers for one solve.
class Host {
 public:
  Host(Method method, int n, int s, const Operator& A, const complex* B, int ldb, complex* X,
       int ldx, const Options& opt, Report& rep)
      : method_(method), n_(n), s_(s), A_(A), B_(B), ldb_(ldb), X_(X), ldx_(ldx), opt_(opt),
        rep_(rep) {
    rep_.method = method;
    rep_.status = Status::invalid;
  }

  // Checks the arguments; on failure fills the report and returns false.
  bool validate(const Operator* At) {
    std::string why;
    if (n_ < 1) why = "n must be at least 1";
    else if (s_ < 1) why = "s must be at least 1";
    else if (method_ == Method::gmres && s_ >= n_)
      why = "block GMRES needs s < n (the cycle needs room for one basis vector beyond the block)";
    else if (s_ > n_) why = "s must not exceed n";
    else if (ldb_ < n_ || ldx_ < n_) why = "ldb and ldx must be at least n";
    else if (B_ == nullptr || X_ == nullptr) why = "B and X must not be null";
    else if (!A_) why = "the operator A is empty";
    else if (At != nullptr && !*At) why = "the operator A^T is empty";
    else if (!(opt_.rtol >= 0.0) || !std::isfinite(opt_.rtol)) why = "rtol must be finite and >= 0";
    else if (method_ == Method::gmres &&
             (!(opt_.deflation_tol >= 0.0) || !std::isfinite(opt_.deflation_tol)))
      why = "deflation_tol must be finite and >= 0";
    else if (opt_.max_breakdowns < 0) why = "max_breakdowns must be >= 0";
    if (!why.empty()) {
      finish_invalid(why);
      return false;
    }
    max_products_ = opt_.max_products > 0
                        ? opt_.max_products
                        : std::max<long>(1000, 10L * static_cast<long>(n_) * s_);
    return true;
  }

  // Sizes the shared blocks, finishes zero columns, forms the starting
  // residual of the others. Returns false when the solve is over already
  // (every column done, or the starting residual is not finite).
  bool start() {
    progress_claim_.emplace(SlotKind::progress, false);
    const std::size_t ns = static_cast<std::size_t>(n_) * s_;
    R_.assign(ns, complex(0.0));
    T1_.assign(ns, complex(0.0));
    T2_.assign(ns, complex(0.0));
    bnorm_.assign(s_, 0.0);
    res_.assign(s_, 0.0);
    done_.assign(s_, 0);
    act_.assign(s_, 0);
    est_.assign(s_, 0.0);
    nrm_.assign(s_, 0.0);
    rep_.residuals.assign(s_, 0.0);
    rep_.history.clear();
    // Every iteration costs at least one product: with this much room the
    // history grows without reallocating in all but very long solves.
    rep_.history.reserve(static_cast<std::size_t>(std::min<long>(max_products_, 20000)));

    const int32_t n = n_, s = s_, ldb = ldb_;
    C_COLBLOCKNORMS(B_, &ldb, &n, &s, bnorm_.data());
    for (int j = 0; j < s_; ++j) {
      if (!std::isfinite(bnorm_[j])) {
        finish_invalid("column " + std::to_string(j + 1) + " of B is not finite");
        return false;
      }
    }
    int k = 0;
    for (int j = 0; j < s_; ++j) {
      if (bnorm_[j] == 0.0) {
        std::fill(xcol(j), xcol(j) + n_, complex(0.0));
        done_[j] = 1;
        res_[j] = 0.0;
      } else {
        act_[k++] = j;
      }
    }
    sa_ = k;
    if (sa_ > 0) {
      // The starting residual; X0 = 0 needs no product.
      bool zero = true;
      for (int i = 0; i < sa_ && zero; ++i) {
        const complex* x = xcol(act_[i]);
        for (int r = 0; r < n_; ++r)
          if (!(x[r] == complex(0.0))) { zero = false; break; }
      }
      if (zero) {
        for (int i = 0; i < sa_; ++i) std::copy(bcol(act_[i]), bcol(act_[i]) + n_, rcol(act_[i]));
        for (int i = 0; i < sa_; ++i) {
          res_[act_[i]] = 1.0;
          done_[act_[i]] = 1.0 <= opt_.rtol ? 1 : 0;
        }
      } else {
        true_residual();
      }
      for (int i = 0; i < sa_; ++i) {
        if (!std::isfinite(res_[act_[i]])) {
          finish_invalid("the starting residual of column " + std::to_string(act_[i] + 1) +
                         " is not finite (check X and the operator)");
          return false;
        }
      }
    }
    refresh_active();
    // Reference for the progress estimate: the largest starting residual.
    prog_rmax_ = 0.0;
    for (int i = 0; i < sa_; ++i) prog_rmax_ = std::max(prog_rmax_, res_[act_[i]]);
    if (sa_ == 0) {
      finish(Status::converged);
      return false;
    }
    return true;
  }

  // Rebuilds the active list from the columns not yet done, in column order.
  void refresh_active() {
    sa_ = 0;
    for (int j = 0; j < s_; ++j)
      if (!done_[j]) act_[sa_++] = j;
  }

  // R(:, act) = B(:, act) - A X(:, act): sa products; updates res_ and done_.
  void true_residual() {
    if (sa_ == 0) return;
    for (int i = 0; i < sa_; ++i) std::copy(xcol(act_[i]), xcol(act_[i]) + n_, T1_.data() + off(i));
    A_(sa_, T1_.data(), T2_.data());
    rep_.products += sa_;
    if (!ascale_known_) fix_operator_scale(sa_, T1_.data(), T2_.data());
    for (int i = 0; i < sa_; ++i) {
      const complex* b = bcol(act_[i]);
      const complex* ax = T2_.data() + off(i);
      complex* r = rcol(act_[i]);
      for (int q = 0; q < n_; ++q) r[q] = b[q] - ax[q];
    }
    // Norms of the residual columns (they sit in R by original column).
    for (int i = 0; i < sa_; ++i) {
      const int32_t n = n_, one = 1;
      double nr = 0.0;
      C_COLBLOCKNORMS(rcol(act_[i]), &n, &n, &one, &nr);
      const int j = act_[i];
      res_[j] = nr / bnorm_[j];
      done_[j] = res_[j] <= opt_.rtol ? 1 : 0;
    }
  }

  // y = alpha op x for the n x k block x, op being A or A^T; the first
  // product of the solve fixes alpha. Counts the products.
  void product(const Operator& op, int k, const complex* x, complex* y) {
    op(k, x, y);
    rep_.products += k;
    if (!ascale_known_) fix_operator_scale(k, x, y);
    scale_pow2(y, static_cast<std::size_t>(n_) * k, ascale_exp_);
  }

  // alpha = 2^e with 2^e ||y|| / ||x|| of about unit size (largest columns);
  // 1 when either block is zero or not finite.
  void fix_operator_scale(int k, const complex* x, complex* y) {
    const int32_t n = n_, kk = k;
    C_COLBLOCKNORMS(x, &n, &n, &kk, nrm_.data());
    const double xmax = *std::max_element(nrm_.begin(), nrm_.begin() + k);
    C_COLBLOCKNORMS(y, &n, &n, &kk, nrm_.data());
    const double ymax = *std::max_element(nrm_.begin(), nrm_.begin() + k);
    ascale_known_ = true;
    if (xmax > 0.0 && ymax > 0.0 && std::isfinite(xmax) && std::isfinite(ymax))
      ascale_exp_ = std::ilogb(xmax) - std::ilogb(ymax);
  }

  // Fixes alpha = 1 unless it is known or every active column of X is zero:
  // a run that starts from a nonzero iterate needs alpha before its first
  // product.
  void fix_operator_scale_for(const complex* Xa, std::size_t len) {
    if (ascale_known_) return;
    for (std::size_t i = 0; i < len; ++i)
      if (!(Xa[i] == complex(0.0))) {
        ascale_known_ = true;
        return;
      }
  }
  int operator_exponent() const { return ascale_exp_; }

  // Opens a GMRES cycle or a Lanczos run on the columns not yet done.
  // False when the solve ends here instead: no column is left (status kept),
  // or some active column's true residual is not finite (the operator
  // returned non-finite values), from which nothing sound can be started.
  bool begin_run(Status& status, std::string& why) {
    refresh_active();
    if (sa_ == 0) return false;
    for (int i = 0; i < sa_; ++i) {
      if (!std::isfinite(res_[act_[i]])) {
        status = Status::stagnated;
        why = "the true residual is not finite";
        return false;
      }
    }
    return true;
  }

  // After a cycle or run: a stop request, else the product limit, ends the
  // solve with its status. True when the solve ends.
  static bool halted(bool stop, bool limit, Status& status) {
    if (stop) status = Status::stopped;
    else if (limit) status = Status::max_products;
    return stop || limit;
  }

  bool all_done() const {
    for (int j = 0; j < s_; ++j)
      if (!done_[j]) return false;
    return true;
  }
  double max_active_residual() const {
    double m = 0.0;
    for (int i = 0; i < sa_; ++i) m = std::max(m, res_[act_[i]]);
    return m;
  }

  // True when `cost` more products still leave room for one true residual
  // of the active block.
  bool can_afford(long cost) const { return rep_.products + cost + sa_ <= max_products_; }

  // Bookkeeping after one iteration with relative estimates est[0..m-1].
  // Returns false when the progress callback asks to stop.
  bool after_iteration(const double* est, int m) {
    ++rep_.iterations;
    double emax = 0.0;
    for (int i = 0; i < m; ++i) {
      if (std::isnan(est[i])) emax = std::numeric_limits<double>::quiet_NaN();
      else if (est[i] > emax) emax = est[i];
    }
    rep_.history.push_back(emax);
    const int32_t it = static_cast<int32_t>(std::min<long>(rep_.iterations, INT32_MAX));
    const int32_t itold = prog_itold_, mm = m;
    const double tol = opt_.rtol;
    // Without the progress slot (another solve on this thread number holds
    // it) the solve runs without a progress estimate.
    if (progress_claim_ && progress_claim_->held())
      C_CONVERGENCEPROGRESS(&it, &itold, &tol, &prog_rmax_, est, &mm, &itpred_, &pct_);
    prog_itold_ = it;
    if (opt_.progress) {
      Progress p;
      p.method = method_;
      p.iteration = rep_.iterations;
      p.products = rep_.products;
      p.estimate = emax;
      p.predicted = itpred_;
      p.percent = pct_;
      return opt_.progress(p);
    }
    return true;
  }

  // Final report: residuals, status, converged flag, one-line message.
  void finish(Status status, const std::string& why = std::string()) {
    if (all_done()) status = Status::converged;
    rep_.status = status;
    rep_.converged = status == Status::converged;
    rep_.residuals = res_;
    double worst = 0.0;
    for (double r : res_) worst = std::max(worst, r);
    std::string msg = std::string(to_string(method_)) + ": ";
    switch (status) {
      case Status::converged: msg += "converged"; break;
      case Status::max_products: msg += "product limit " + std::to_string(max_products_) + " reached"; break;
      case Status::breakdown: msg += "Lanczos breakdown"; break;
      case Status::stagnated: msg += "stagnated"; break;
      case Status::stopped: msg += "stopped by the progress callback"; break;
      case Status::invalid: msg += "invalid arguments"; break;
    }
    if (!why.empty()) msg += " (" + why + ")";
    msg += "; " + std::to_string(rep_.iterations) + " iterations, " +
           std::to_string(rep_.products) + " products, " + std::to_string(rep_.restarts) +
           " restarts";
    if (rep_.breakdowns > 0) msg += ", " + std::to_string(rep_.breakdowns) + " breakdowns";
    msg += "; largest relative residual " + fmt_g(worst) + " (rtol " + fmt_g(opt_.rtol) + ")";
    rep_.message = msg;
  }

  void finish_invalid(const std::string& why) {
    rep_.status = Status::invalid;
    rep_.converged = false;
    rep_.message = std::string(to_string(method_)) + ": invalid arguments: " + why;
  }

  // Column accessors.
  complex* xcol(int j) const { return X_ + static_cast<std::size_t>(j) * ldx_; }
  const complex* bcol(int j) const { return B_ + static_cast<std::size_t>(j) * ldb_; }
  complex* rcol(int j) { return R_.data() + off(j); }
  std::size_t off(int j) const { return static_cast<std::size_t>(j) * n_; }

  Method method_;
  int n_, s_;
  const Operator& A_;
  const complex* B_;
  int ldb_;
  complex* X_;
  int ldx_;
  const Options& opt_;
  Report& rep_;
  long max_products_ = 0;

  std::vector<complex> R_;   // residual of column j in column j (ld n)
  std::vector<complex> T1_;  // two n x s scratch blocks
  std::vector<complex> T2_;
  std::vector<double> bnorm_, res_, est_, nrm_;
  std::vector<char> done_;
  std::vector<int> act_;  // active columns, act_[0..sa_-1]
  int sa_ = 0;

  int32_t prog_itold_ = 0;
  double prog_rmax_ = 0.0;
  int32_t itpred_ = 0;
  double pct_ = 0.0;
  std::optional<SlotClaim> progress_claim_;

  bool ascale_known_ = false;
  int ascale_exp_ = 0;  // alpha = 2^ascale_exp_
};

// ---------------------------------------------------------------------------
// Restarted block GMRES with deflation.
//
// One cycle: the active residual block R0, each column scaled to unit norm
// (GMRES is invariant under that scaling, and it makes the deflation test
// relative to each column's own size), largest column first (because
// C_INITIALBLOCKGMRES never tests its first column for deflation), is
// factored R0 = Q R with deflation of columns that the earlier ones explain
// to within deflation_tol; the s_k kept columns start a block Arnoldi
// process A q_j = Q H(:, j) with Householder reflectors, H band Hessenberg with
// lower bandwidth s_k. Plane rotations keep H triangular and rotate G = R, so
// that after column j the norm of G(j+1 : j+s_k, l) is the residual of kept
// right-hand side l for the best correction in span(q_1..q_j) (deflated
// columns: the norm of the recorded combination of those rows). The cycle
// ends when every column of the block meets rtol by this estimate, when the
// basis is full (reflector index m, or n), when a new direction is
// negligible, or on the product limit or a stop request. Then H Y = G gives the corrections Q Y of the kept columns,
// each deflated column takes the recorded combination of the kept ones, X is
// updated, and the next cycle starts from the true residual.
//
// A negligible direction (|sigma_k| <= deflation_tol * ||A q_j||) means the
// block Krylov space has (nearly) stopped growing in one direction; carrying
// on would build later basis vectors from rounding noise and divide by a
// vanishing reflector scale. The cycle ends there: the corrections are as good
// as the space allows, and the restart's initial factorisation deflates the
// dependent residual columns properly.
//
// Two cycles in a row that reduce no column's residual by 0.1% end the solve
// as stagnated (e.g. rtol below attainable accuracy, or a basis too small for
// an indefinite problem).
// ---------------------------------------------------------------------------
inline Report gmres(int n, int s, const Operator& A, const complex* B, int ldb, complex* X,
                    int ldx, const Options& opt) {
  Report rep;
  Host h(Method::gmres, n, s, A, B, ldb, X, ldx, opt, rep);
  if (!h.validate(nullptr) || !h.start()) return rep;

  // Capacity of the reflector set: at least 2 s so that s_k <= ceil(m / 2),
  // and no more than n where that allows (reflectors stop at index n).
  const int32_t m = std::max(std::min(opt.restart, n), 2 * s);
  const int32_t ldg = m, ldh = m, ldcs = s, ldsn = s, ldd = s, ldc = s;
  const int32_t nn = n;
  std::vector<complex> V(static_cast<std::size_t>(n) * m), vpiv(m), beta(m), sigma(m);
  std::vector<complex> G(static_cast<std::size_t>(ldg) * s), LM(static_cast<std::size_t>(m) * m);
  std::vector<complex> H(static_cast<std::size_t>(ldh) * m), sn(static_cast<std::size_t>(ldsn) * m);
  std::vector<double> cs(static_cast<std::size_t>(ldcs) * m);
  std::vector<complex> dcoef(static_cast<std::size_t>(ldc) * s), work(m + 1), w(n);
  std::vector<int32_t> kept(s), dtab(static_cast<std::size_t>(ldd) * 2);
  std::vector<double> before(s), scale(s);
  complex* Xc = h.T1_.data();  // corrections, one column per block position

  int nogain = 0;
  int cycles = 0;
  Status status = Status::converged;
  std::string why;
  for (;;) {
    if (!h.begin_run(status, why)) break;
    const int32_t sa = h.sa_;
    if (!h.can_afford(1)) {
      status = Status::max_products;
      break;
    }
    if (cycles > 0) ++rep.restarts;
    ++cycles;

    // Largest residual first; the others keep their order.
    int* act = h.act_.data();
    {
      int big = 0;
      for (int i = 1; i < sa; ++i)
        if (h.res_[act[i]] * h.bnorm_[act[i]] > h.res_[act[big]] * h.bnorm_[act[big]]) big = i;
      std::rotate(act, act + big, act + big + 1);
    }
    // Each residual column enters scaled to unit norm: the corrections scale
    // back exactly, and deflation then compares every column with its own
    // size, whatever the scales of the right-hand sides.
    for (int i = 0; i < sa; ++i) {
      scale[i] = h.res_[act[i]] * h.bnorm_[act[i]];
      const complex* r = h.rcol(act[i]);
      complex* v = V.data() + h.off(i);
      for (int q = 0; q < n; ++q) v[q] = r[q] / scale[i];
      before[i] = h.res_[act[i]];
    }
    const double tol0 = opt.deflation_tol;
    int32_t p = 0;
    const int32_t ndefl =
        C_INITIALBLOCKGMRES(&sa, &tol0, &p, V.data(), &nn, vpiv.data(), beta.data(), sigma.data(),
                            G.data(), &ldg, LM.data(), &m, kept.data(), dtab.data(), &ldd,
                            dcoef.data(), &ldc, work.data());
    const int32_t sk = sa - ndefl;
    const int32_t maxcols = std::min<int32_t>(m, n) - sk;
    int32_t ndefl_steps = ndefl;  // counter that C_GMRESHOUSEORTHOG advances
    int32_t jc = 0;
    bool limit = false, stop = false;
    for (int32_t jcol = 1; jcol <= maxcols; ++jcol) {
      if (!h.can_afford(1)) {
        limit = true;
        break;
      }
      const int32_t k = jcol + sk;  // the reflector this column forms
      C_PARENTBASISCONSTRUCT(&jcol, w.data(), &k, &p, V.data(), &nn, beta.data(), LM.data(), &m,
                             work.data());
      complex* z = V.data() + h.off(k - 1);
      h.product(A, 1, w.data(), z);
      double znorm = 0.0;
      const int32_t one = 1;
      C_COLBLOCKNORMS(z, &nn, &nn, &one, &znorm);
      const double tolk = opt.deflation_tol * znorm;
      const int32_t negligible =
          C_GMRESHOUSEORTHOG(&jcol, &k, &tolk, &ndefl_steps, V.data(), &nn, vpiv.data(),
                             beta.data(), sigma.data(), LM.data(), &m, H.data(), &ldh, work.data());
      C_GMRESUPDATELM(&k, V.data(), &nn, beta.data(), LM.data(), &m);
      C_GMRESHMQR(&jcol, &sk, H.data(), &ldh, G.data(), &ldg, cs.data(), &ldcs, sn.data(), &ldsn);
      jc = jcol;

      // Least-squares residual of each kept column, relative to its b. In
      // the rotated coordinates the residual of kept column l is
      // G(jcol+1 : jcol+s_k, l); a deflated column is the recorded
      // combination of kept ones (to within the deflation threshold), so its
      // residual is the same combination of their residual rows.
      C_COLBLOCKNORMS(G.data() + jcol, &ldg, &sk, &sk, h.nrm_.data());
      for (int l = 0; l < sk; ++l) {
        const int i = kept[l] - 1;
        h.est_[l] = h.nrm_[l] * scale[i] / h.bnorm_[act[i]];
      }
      for (int d = 0; d < ndefl; ++d) {
        const int u = dtab[d] - 1, nk = dtab[ldd + d];
        double sum = 0.0;
        for (int r = 0; r < sk; ++r) {
          complex t = 0.0;
          for (int i = 0; i < nk; ++i)
            t += dcoef[static_cast<std::size_t>(d) * ldc + i] *
                 G[static_cast<std::size_t>(i) * ldg + jcol + r];
          sum += std::norm(t);
        }
        h.est_[sk + d] = std::sqrt(sum) * scale[u] / h.bnorm_[act[u]];
      }
      bool below = true, finite = true;
      for (int l = 0; l < sa; ++l) {
        if (!(h.est_[l] <= opt.rtol)) below = false;
        if (!std::isfinite(h.est_[l])) finite = false;
      }
      if (!h.after_iteration(h.est_.data(), sa)) {
        stop = true;
        break;
      }
      if (below || negligible || !finite) break;
    }

    if (jc > 0) {
      C_GMRESLEASTSQS(&jc, &sk, G.data(), &ldg, H.data(), &ldh, G.data(), &ldg);
      C_GMRESITERATEUPDATE(&jc, &sk, &p, kept.data(), V.data(), &nn, beta.data(), LM.data(), &m,
                           work.data(), G.data(), &ldg, Xc, &nn, w.data());
      C_GMRESDEFLATEDITERATES(&ndefl, kept.data(), dtab.data(), &ldd, dcoef.data(), &ldc, Xc, &nn);
      C_COLBLOCKNORMS(Xc, &nn, &nn, &sa, h.nrm_.data());
      bool finite = true;
      for (int i = 0; i < sa; ++i) finite = finite && std::isfinite(h.nrm_[i]);
      if (!finite) {
        // Keep the last good iterate; its residual is current.
        status = Status::stagnated;
        why = "the cycle produced values that are not finite";
        break;
      }
      // The cycle solved (alpha A) c = r / scale: x += alpha scale c.
      const int ea = h.operator_exponent();
      for (int i = 0; i < sa; ++i) {
        complex* x = h.xcol(act[i]);
        complex* c = Xc + h.off(i);
        scale_pow2(c, static_cast<std::size_t>(n), ea);
        for (int q = 0; q < n; ++q) x[q] += scale[i] * c[q];
      }
      h.true_residual();
    }

    bool gained = false;
    for (int i = 0; i < sa; ++i) gained = gained || h.res_[act[i]] < 0.999 * before[i];
    nogain = gained ? 0 : nogain + 1;
    if (h.all_done() || Host::halted(stop, limit, status)) break;
    if (nogain >= 2) {
      status = Status::stagnated;
      why = "two restarts in a row gained nothing";
      break;
    }
  }
  h.finish(status, why);
  return rep;
}

// ---------------------------------------------------------------------------
// Block QMR on the block Lanczos process: the complex-symmetric driver
// (products with A) or the two-sided one (A and A^T).
//
// After each step rows 1..s of TAU hold the QMR remainder block; the norm of
// its column j over ||b_j|| estimates column j's relative residual (the true
// one can be larger by a modest factor). When every estimate meets rtol the
// host forms B - A X. If that shows a column still above rtol (a false
// alarm), the next check waits until the largest estimate has fallen by the
// ratio just observed between true residual and estimate, so that a hard
// problem does not pay a true residual at every step.
//
// The recurrences drift from the true residual in rounding: at some point the
// estimate keeps falling while B - A X stays put. Two checks in a row at
// which the estimate fell at least twofold but the true residual by less
// than 10% say so; the host then restarts from the true residual (which
// resets the drift). If the true residual has not halved since the previous
// such restart, no further progress is possible and the solve ends as
// stagnated.
//
// A nonzero driver result (breakdown, or a step whose estimate is not finite)
// ends that Lanczos run. The host goes back to the last iterate whose step
// succeeded, forms its true residual, drops the columns that have converged,
// and starts again with REVCOM = 0, at most max_breakdowns times. A failure
// before any step succeeded since the last start would repeat identically
// (same X, same residual block: e.g. two equal residual columns make
// d_1 = V_1^T V_1 singular), so it ends the solve at once.
// ---------------------------------------------------------------------------
template <bool TwoSided>
inline Report lanczos(int n, int s, const Operator& A, const Operator* At, const complex* B,
                      int ldb, complex* X, int ldx, const Options& opt) {
  Report rep;
  Host h(TwoSided ? Method::qmr : Method::symmetric, n, s, A, B, ldb, X, ldx, opt, rep);
  if (!h.validate(At)) return rep;
  // The driver's block offsets live in a slot of this thread number: wait
  // for a solve on another thread that holds it, refuse a nested one.
  const SlotClaim driver_slot(TwoSided ? SlotKind::twosided : SlotKind::symmetric, true);
  if (!driver_slot.held()) {
    h.finish_invalid("a " + std::string(to_string(h.method_)) +
                     " solve is already running on this thread (OpenMP thread number " +
                     std::to_string(driver_slot.thread_number()) +
                     "); a solve started from its operator cannot share the driver's state");
    return rep;
  }
  if (!h.start()) return rep;

  const std::size_t ns = static_cast<std::size_t>(n) * s, ss = static_cast<std::size_t>(s) * s;
  std::vector<complex> Xa(ns), Vn(ns), Pn(ns), D(ns), Zn(ns);
  std::vector<complex> Wn(TwoSided ? ns : 0), Qn(TwoSided ? ns : 0);
  std::vector<double> gamma(s), gammaold(s), rho(s), rhoold(s), xi(s), xiold(s);
  std::vector<complex> ESVB(4 * ss), DSVB(4 * ss), esv(s + 1), dsv(s + 1);
  const std::size_t qrs = static_cast<std::size_t>(3 * s + 3) * 2 * s;
  std::vector<complex> QRS(qrs), QRSW(TwoSided ? qrs : 0), RINV(2 * ss), UP(ss), UQ(ss), TAU(2 * ss),
      SVWORK(3 * ss);

  Status status = Status::converged;
  std::string why;
  bool residual_current = true;  // R and res_ belong to the current X
  int stall = 0;
  double stall_restart_t = -1.0;  // true residual at the last restart for drift
  double last_emax = -1.0, last_tmax = -1.0;
  for (;;) {
    if (!h.begin_run(status, why)) break;
    const int32_t sa = h.sa_;
    const long step_cost = TwoSided ? 2L * sa : sa;
    if (!h.can_afford(step_cost)) {
      status = Status::max_products;
      break;
    }
    const int* act = h.act_.data();
    // The run solves (alpha A)(beta/alpha X) = beta R, beta = 2^eb giving the
    // largest residual column about unit norm.
    double rmax = 0.0;
    for (int i = 0; i < sa; ++i) rmax = std::max(rmax, h.res_[act[i]] * h.bnorm_[act[i]]);
    const int eb = unit_exponent(rmax);
    for (int i = 0; i < sa; ++i) std::copy(h.xcol(act[i]), h.xcol(act[i]) + n, Xa.data() + h.off(i));
    h.fix_operator_scale_for(Xa.data(), static_cast<std::size_t>(n) * sa);
    scale_pow2(Xa.data(), static_cast<std::size_t>(n) * sa, eb - h.operator_exponent());
    for (int i = 0; i < sa; ++i) {
      copy_pow2(h.rcol(act[i]), n, Vn.data() + h.off(i), eb);
      if (TwoSided) {
        if (opt.left_start != nullptr)
          std::copy(opt.left_start + h.off(act[i]), opt.left_start + h.off(act[i]) + n,
                    Wn.data() + h.off(i));
        else
          std::copy(Vn.data() + h.off(i), Vn.data() + h.off(i) + n, Wn.data() + h.off(i));
      }
    }

    const int32_t nn = n, ldtau = 2 * sa;
    const int32_t done_rev = TwoSided ? 3 : 2;
    int32_t revcom = 0;
    double next_check = std::numeric_limits<double>::infinity();
    long steps = 0;
    bool limit = false, stop = false, converged = false, stagnated = false, refresh = false;
    for (;;) {
      int32_t r;
      if (TwoSided) {
        r = C_ZD_BLANCZOS(&nn, &sa, &revcom, Xa.data(), Vn.data(), Wn.data(), Pn.data(),
                          Qn.data(), D.data(), Zn.data(), gamma.data(), gammaold.data(),
                          rho.data(), rhoold.data(), xi.data(), xiold.data(), ESVB.data(),
                          esv.data(), DSVB.data(), dsv.data(), QRS.data(), RINV.data(),
                          QRSW.data(), UP.data(), UQ.data(), TAU.data(), SVWORK.data());
      } else {
        r = C_ZDSYM_BLANCZOS1(&nn, &sa, &revcom, Xa.data(), Vn.data(), Pn.data(), D.data(),
                              Zn.data(), gamma.data(), gammaold.data(), rho.data(),
                              rhoold.data(), ESVB.data(), esv.data(), DSVB.data(), dsv.data(),
                              QRS.data(), RINV.data(), UP.data(), TAU.data(), SVWORK.data());
      }
      if (r != 0) break;  // a breakdown
      if (revcom == 1) {
        if (!h.can_afford(step_cost)) {
          limit = true;
          break;
        }
        h.product(A, sa, Pn.data(), Zn.data());
        continue;
      }
      if (TwoSided && revcom == 2) {
        h.product(*At, sa, Qn.data(), Zn.data());
        continue;
      }
      if (revcom != done_rev) break;  // not a request this host knows: as a breakdown

      // The iterate is updated: read the quasi-residual estimates.
      C_COLBLOCKNORMS(TAU.data(), &ldtau, &sa, &sa, h.nrm_.data());
      double emax = 0.0;
      bool below = true, finite = true;
      for (int i = 0; i < sa; ++i) {
        // TAU belongs to the scaled residual beta R.
        h.est_[i] = static_cast<double>(std::ldexp(static_cast<long double>(h.nrm_[i]), -eb) /
                                        h.bnorm_[act[i]]);
        finite = finite && std::isfinite(h.est_[i]);
        below = below && h.est_[i] <= opt.rtol;
        emax = std::max(emax, h.est_[i]);
      }
      if (!finite) break;  // as a breakdown
      ++steps;
      // alpha may have been fixed by this run's first product (Xa was zero).
      for (int i = 0; i < sa; ++i)
        copy_pow2(Xa.data() + h.off(i), n, h.xcol(act[i]), h.operator_exponent() - eb);
      residual_current = false;
      if (!h.after_iteration(h.est_.data(), sa)) {
        stop = true;
        break;
      }
      if (!(below && emax <= next_check)) continue;

      // Confirm on the true residual.
      h.true_residual();
      residual_current = true;
      bool all = true;
      double ratio = 1.0, tmax = 0.0;
      for (int i = 0; i < sa; ++i) {
        const int j = act[i];
        tmax = std::max(tmax, h.res_[j]);
        if (h.done_[j]) continue;
        all = false;
        ratio = std::max(ratio, h.est_[i] > 0.0 ? h.res_[j] / h.est_[i] : 1e3);
      }
      if (all) {
        converged = true;
        break;
      }
      if (last_emax > 0.0 && emax <= 0.5 * last_emax && tmax > 0.9 * last_tmax) {
        if (++stall >= 2) {
          if (stall_restart_t >= 0.0 && tmax > 0.5 * stall_restart_t) stagnated = true;
          else refresh = true;
          stall_restart_t = tmax;
          break;
        }
      } else {
        stall = 0;
      }
      last_emax = emax;
      last_tmax = tmax;
      next_check = emax / ratio;
      // Columns that met rtol stay in the block (a restart would discard
      // the Krylov space); every check tests all active columns again.
    }

    if (converged) break;
    if (!residual_current) {
      h.true_residual();
      residual_current = true;
      if (h.all_done()) break;
    }
    if (Host::halted(stop, limit, status)) break;
    if (stagnated) {
      status = Status::stagnated;
      why = "the true residual stopped improving, also after a restart";
      break;
    }
    if (!refresh) {  // otherwise the run broke down
      ++rep.breakdowns;
      if (steps == 0) {
        status = Status::breakdown;
        why = TwoSided && opt.left_start != nullptr
                  ? "the starting blocks fail at once; check left_start against the residual block"
                  : "the starting block fails at once (dependent residual columns?)";
        break;
      }
      if (rep.breakdowns > opt.max_breakdowns) {
        status = Status::breakdown;
        why = "more than " + std::to_string(opt.max_breakdowns) + " breakdowns";
        break;
      }
    }
    ++rep.restarts;
    stall = 0;
    last_emax = last_tmax = -1.0;
  }
  h.finish(status, why);
  return rep;
}

}  // namespace detail

inline Report solve_symmetric(int n, int s, const Operator& A, const complex* B, int ldb,
                              complex* X, int ldx, const Options& options) {
  return detail::lanczos<false>(n, s, A, nullptr, B, ldb, X, ldx, options);
}

inline Report solve_qmr(int n, int s, const Operator& A, const Operator& At, const complex* B,
                        int ldb, complex* X, int ldx, const Options& options) {
  return detail::lanczos<true>(n, s, A, &At, B, ldb, X, ldx, options);
}

inline Report solve_gmres(int n, int s, const Operator& A, const complex* B, int ldb, complex* X,
                          int ldx, const Options& options) {
  return detail::gmres(n, s, A, B, ldb, X, ldx, options);
}

}  // namespace blockkrylov
