// blockkrylov/detail/host.hpp - what the three methods share for one block
// of right-hand sides: the columns and their bookkeeping, the counted and
// scaled products, the true residual, progress and the final report.
//
//   * Columns with b_j = 0 get x_j = 0 and are finished before anything else
//     runs; so are columns whose starting residual already meets their
//     tolerance. Only the remaining ("active") columns enter the block: a zero
//     or converged column would stop the Lanczos drivers at once (zero column
//     in the starting block) and gives block GMRES nothing to do.
//   * Column j has converged when ||b_j - A x_j|| <= max(rtol ||b_j||, atol)
//     on the true residual, which the host forms itself. The kernels' own
//     residual figures only decide when that is worth doing.
//   * Products are counted one per column (A and A^T alike), the true
//     residuals included. Before each product the host keeps room for one
//     more true residual of the active block, so a solve that stops on the
//     limit still reports current residuals without exceeding it.
//   * The kernels see a system of unit size whatever the scales of A and B:
//     products enter them multiplied by a power of two alpha (fixed at the
//     first product of the solve from ||A x|| / ||x||), and a Lanczos run
//     starts from its residual block multiplied by a power of two beta that
//     gives its largest column about unit norm. Powers of two scale exactly,
//     so every kernel result is the unscaled one, scaled; but a system scaled
//     by 1e-200 or 1e+200 no longer over- or underflows inside the kernels.
//     X, the residuals and every reported figure belong to the original
//     system.
//   * After every iteration the largest estimated relative residual goes to
//     the history, to C_CONVERGENCEPROGRESS (one history per solve: itold = 0
//     at the first iteration, then the previous iteration number) and to the
//     progress callback.
//   * Every array is sized when the object is made; a solve allocates
//     nothing in its iterations.
//   * Rows split over ranks (the distributed build): n is this rank's rows,
//     global_n those of all ranks. Whatever decides the course of the solve
//     (limits, whether the iterate is zero, a stop request) is taken over all
//     ranks (detail/rows.hpp), so every rank makes the same calls.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "blockkrylov/detail/rows.hpp"
#include "blockkrylov/detail/slot_claims.hpp"

namespace blockkrylov {
namespace detail {

// Iterations for which the history is reserved up front; longer solves
// still work, the history then grows outside the steady state.
constexpr long kHistoryReserve = 20000;

// The product limit when Options::max_products <= 0: ten products per
// unknown and column (a Krylov method that needs more has stalled), at
// least 1000 so that small systems are not cut short. n: the unknowns over
// all ranks.
inline long default_max_products(long n, int s) { return std::max<long>(1000, 10L * n * s); }

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
inline int unit_exponent(double v) { return v > 0.0 && std::isfinite(v) ? -std::ilogb(v) : 0; }

// One block of at most s right-hand sides: views of B and X, the residual
// block, per-column state and the report being built.
class Host {
 public:
  Host(Method method, int n, long global_n, int s) : method_(method), n_(n), global_n_(global_n), s_(s) {
    const std::size_t ns = rows::storage(n) * s;
    R_.assign(ns, complex(0.0));
    T1_.assign(ns, complex(0.0));
    T2_.assign(ns, complex(0.0));
    for (auto* v : {&bnorm_, &enorm_, &res_, &tol_, &est_, &nrm_}) v->assign(s, 0.0);
    done_.assign(s, 0);
    act_.assign(s, 0);
  }

  // Binds one solve: sa <= s columns of B and X (block `block` of
  // `blocks`), the operator, the options and the report to fill. Resets all
  // per-solve state without allocating.
  void bind(int sa, const Operator& A, const complex* B, int ldb, complex* X, int ldx,
            const Options& opt, Report& rep, int block = 1, int blocks = 1) {
    block_ = block;
    blocks_ = blocks;
    sb_ = sa;
    A_ = &A;
    B_ = B;
    ldb_ = ldb;
    X_ = X;
    ldx_ = ldx;
    opt_ = &opt;
    rep_ = &rep;
    rep.method = method_;
    rep.status = Status::invalid;
    rep.converged = false;
    rep.iterations = rep.products = 0;
    rep.restarts = rep.breakdowns = 0;
    rep.residuals.assign(sa, 0.0);
    rep.history.clear();
    rep.message.clear();
    max_products_ = opt.max_products > 0 ? opt.max_products : default_max_products(global_n_, sa);
    pre_ = &opt.preconditioner;
    if (!pre_->empty() && pre1_.empty()) {  // first preconditioned solve: two more blocks
      pre1_.assign(rows::storage(n_) * s_, complex(0.0));
      pre2_.assign(rows::storage(n_) * s_, complex(0.0));
    }
    ascale_known_ = false;
    ascale_exp_ = 0;
    prog_itold_ = 0;
    itpred_ = 0;
    pct_ = 0.0;
    sa_ = 0;
  }

  // Finishes zero columns and forms the starting residual of the others.
  // Returns false when the solve is over already (every column done, or the
  // data are not finite; the report says which).
  bool start() {
    progress_claim_.emplace(SlotKind::progress, false);
    rep_->history.reserve(static_cast<std::size_t>(std::min(max_products_, kHistoryReserve)));
    const int32_t n = n_, s = sb_, ldb = ldb_;
    C_COLBLOCKNORMS(B_, &ldb, &n, &s, bnorm_.data());
    for (int j = 0; j < sb_; ++j) {
      if (!std::isfinite(bnorm_[j])) {
        finish_invalid("column " + std::to_string(j + 1) + " of B is not finite");
        return false;
      }
      // max(rtol ||b||, atol) as a bound on the relative residual.
      tol_[j] = bnorm_[j] > 0.0 ? std::max(opt_->rtol, opt_->atol / bnorm_[j]) : opt_->rtol;
      enorm_[j] = bnorm_[j];
    }
    // The Lanczos methods estimate the residual of M1^-1 A x = M1^-1 b; it is
    // measured against ||M1^-1 b_j||.
    if (pre_->left) {
      for (int j = 0; j < sb_; ++j) std::copy(bcol(j), bcol(j) + n_, T1_.data() + off(j));
      pre_->left(sb_, T1_.data(), T2_.data());
      C_COLBLOCKNORMS(T2_.data(), &n, &n, &s, enorm_.data());
    }
    int k = 0;
    for (int j = 0; j < sb_; ++j) {
      done_[j] = 0;
      res_[j] = 0.0;
      if (bnorm_[j] == 0.0) {
        std::fill(xcol(j), xcol(j) + n_, complex(0.0));
        done_[j] = 1;
      } else {
        act_[k++] = j;
      }
    }
    sa_ = k;
    if (sa_ > 0) {
      if (active_iterate_is_zero()) {  // R = B needs no product
        for (int i = 0; i < sa_; ++i) {
          const int j = act_[i];
          std::copy(bcol(j), bcol(j) + n_, rcol_mut(j));
          res_[j] = 1.0;
          done_[j] = 1.0 <= tol_[j] ? 1 : 0;
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

  // Opens a GMRES cycle or a Lanczos run on the columns not yet done. False
  // when the solve ends here instead: no column is left (status kept), or
  // some active column's true residual is not finite (the operator returned
  // non-finite values), from which nothing sound can be started.
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

  // R(:, act) = B(:, act) - A X(:, act): sa products; updates res and done.
  void true_residual() {
    if (sa_ == 0) return;
    for (int i = 0; i < sa_; ++i) std::copy(xcol(act_[i]), xcol(act_[i]) + n_, T1_.data() + off(i));
    (*A_)(sa_, T1_.data(), T2_.data());
    rep_->products += sa_;
    if (!ascale_known_) fix_operator_scale(sa_, T1_.data(), T2_.data());
    const int32_t n = n_, one = 1;
    for (int i = 0; i < sa_; ++i) {
      const int j = act_[i];
      const complex* b = bcol(j);
      const complex* ax = T2_.data() + off(i);
      complex* r = rcol_mut(j);
      for (int q = 0; q < n_; ++q) r[q] = b[q] - ax[q];
      double nr = 0.0;
      C_COLBLOCKNORMS(r, &n, &n, &one, &nr);
      res_[j] = nr / bnorm_[j];
      done_[j] = res_[j] <= tol_[j] ? 1 : 0;
    }
  }

  // y = alpha A^ x with the operator of the Lanczos methods, A^ = M1^-1 A
  // M2^-1, or (transposed) A^T^ = M2^-T A^T M1^-T.
  void split_product(const Operator& A, const Operator* At, bool transposed, int k, const complex* x,
                     complex* y) {
    if (const Operator& fused = transposed ? pre_->fused_t : pre_->fused) {
      fused(k, x, y);
      rep_->products += k;
      finish_product(k, x, y);
      return;
    }
    const Operator& first = transposed ? pre_->left_t : pre_->right;
    const Operator& last = transposed ? pre_->right_t : pre_->left;
    const Operator& op = transposed ? *At : A;
    const complex* in = x;
    if (first) first(k, x, pre1_.data()), in = pre1_.data();
    complex* out = last ? pre2_.data() : y;
    op(k, in, out);
    rep_->products += k;
    if (last) last(k, out, y);
    finish_product(k, x, y);
  }

  // y = alpha A M^-1 x (GMRES, right preconditioning, M^-1 = M2^-1 M1^-1).
  void right_product(const Operator& A, int k, const complex* x, complex* y) {
    const complex* in = x;
    if (!pre_->empty()) apply_inverse(k, x, pre1_.data()), in = pre1_.data();
    A(k, in, y);
    rep_->products += k;
    finish_product(k, x, y);
  }

  // y = M^-1 x = M2^-1 M1^-1 x (a copy without a preconditioner); x and y
  // must not be the host's preconditioner blocks.
  void apply_inverse(int k, const complex* x, complex* y) {
    const std::size_t len = static_cast<std::size_t>(n_) * k;
    if (pre_->left && pre_->right) {
      pre_->left(k, x, pre2_.data());
      pre_->right(k, pre2_.data(), y);
    } else if (pre_->left) {
      pre_->left(k, x, y);
    } else if (pre_->right) {
      pre_->right(k, x, y);
    } else {
      std::copy(x, x + len, y);
    }
  }
  // y = M1^-1 x (left factor only, a copy without one).
  void apply_left(int k, const complex* x, complex* y) {
    if (pre_->left) pre_->left(k, x, y);
    else std::copy(x, x + static_cast<std::size_t>(n_) * k, y);
  }
  // y = M2^-1 x (right factor only, a copy without one).
  void apply_right(int k, const complex* x, complex* y) {
    if (pre_->right) pre_->right(k, x, y);
    else std::copy(x, x + static_cast<std::size_t>(n_) * k, y);
  }

  int operator_exponent() const { return ascale_exp_; }

  // True when `cost` more products still leave room for one true residual
  // of the active block.
  bool can_afford(long cost) const { return rep_->products + cost + sa_ <= max_products_; }
  // True when the iteration limit (if any) allows one more iteration.
  bool may_iterate() const {
    return opt_->max_iterations <= 0 || rep_->iterations < opt_->max_iterations;
  }

  // Bookkeeping after one iteration with relative estimates est[0..m-1].
  // Returns false when the progress callback asks to stop.
  bool after_iteration(const double* est, int m) {
    ++rep_->iterations;
    double emax = 0.0;
    for (int i = 0; i < m; ++i) {
      if (std::isnan(est[i])) emax = std::numeric_limits<double>::quiet_NaN();
      else if (est[i] > emax) emax = est[i];
    }
    rep_->history.push_back(emax);
    const int32_t it = static_cast<int32_t>(std::min<long>(rep_->iterations, INT32_MAX));
    const int32_t itold = prog_itold_, mm = m;
    const double tol = opt_->rtol;
    // Without the progress slot (another solve on this thread number holds
    // it) the solve runs without a progress estimate.
    if (progress_claim_ && progress_claim_->held())
      C_CONVERGENCEPROGRESS(&it, &itold, &tol, &prog_rmax_, est, &mm, &itpred_, &pct_);
    prog_itold_ = it;
    if (opt_->progress) {
      Progress p;
      p.method = method_;
      p.iteration = rep_->iterations;
      p.products = rep_->products;
      p.estimate = emax;
      p.predicted = itpred_;
      p.percent = pct_;
      p.block = block_;
      p.blocks = blocks_;
      return rows::all(opt_->progress(p));  // a stop asked on any rank stops all
    }
    return true;
  }

  // The status of a run that ended on a stop request or a limit; false
  // when neither applies.
  bool halted(bool stop, bool limit, Status& status) const {
    if (stop) status = Status::stopped;
    else if (limit) status = may_iterate() ? Status::max_products : Status::max_iterations;
    return stop || limit;
  }

  bool all_done() const {
    for (int j = 0; j < sb_; ++j)
      if (!done_[j]) return false;
    return true;
  }

  // Final report: residuals, status, converged flag, one-line message.
  void finish(Status status, const std::string& why = std::string()) {
    if (all_done()) status = Status::converged;
    Report& rep = *rep_;
    rep.status = status;
    rep.converged = status == Status::converged;
    std::copy(res_.begin(), res_.begin() + sb_, rep.residuals.begin());
    double worst = 0.0;
    for (int j = 0; j < sb_; ++j) worst = std::max(worst, res_[j]);
    std::string& msg = rep.message;
    msg = std::string(to_string(method_)) + ": ";
    switch (status) {
      case Status::converged: msg += "converged"; break;
      case Status::max_products: msg += "product limit " + std::to_string(max_products_) + " reached"; break;
      case Status::max_iterations:
        msg += "iteration limit " + std::to_string(opt_->max_iterations) + " reached";
        break;
      case Status::breakdown: msg += "Lanczos breakdown"; break;
      case Status::stagnated: msg += "stagnated"; break;
      case Status::stopped: msg += "stopped by the progress callback"; break;
      case Status::invalid: msg += "invalid arguments"; break;
    }
    if (!why.empty()) msg += " (" + why + ")";
    msg += "; " + std::to_string(rep.iterations) + " iterations, " + std::to_string(rep.products) +
           " products, " + std::to_string(rep.restarts) + " restarts";
    if (rep.breakdowns > 0) msg += ", " + std::to_string(rep.breakdowns) + " breakdowns";
    msg += "; largest relative residual " + fmt_g(worst) + " (rtol " + fmt_g(opt_->rtol);
    if (opt_->atol > 0.0) msg += ", atol " + fmt_g(opt_->atol);
    msg += ")";
    progress_claim_.reset();
  }

  void finish_invalid(const std::string& why) {
    rep_->status = Status::invalid;
    rep_->converged = false;
    rep_->message = std::string(to_string(method_)) + ": invalid arguments: " + why;
    progress_claim_.reset();
  }

  // Views for the methods.
  Method method() const { return method_; }
  int n() const { return n_; }
  int active() const { return sa_; }                 // columns in the current run
  int col(int i) const { return act_[i]; }           // block column of active position i
  int* active_columns() { return act_.data(); }      // reorderable by a method
  double res(int j) const { return res_[j]; }        // true relative residual of column j
  double bnorm(int j) const { return bnorm_[j]; }
  double enorm(int j) const { return enorm_[j]; }    // ||M1^-1 b_j|| (||b_j|| without M1)
  double tol(int j) const { return tol_[j]; }        // relative tolerance of column j
  bool done(int j) const { return done_[j] != 0; }
  complex* xcol(int j) const { return X_ + static_cast<std::size_t>(j) * ldx_; }
  const complex* rcol(int j) const { return R_.data() + off(j); }
  double* est() { return est_.data(); }              // per-position estimates
  double* nrm() { return nrm_.data(); }              // per-position scratch
  complex* scratch() { return T1_.data(); }          // two n x s blocks free between
  complex* scratch2() { return T2_.data(); }         // true residuals
  std::size_t off(int j) const { return static_cast<std::size_t>(j) * n_; }
  const Options& options() const { return *opt_; }
  Report& report() { return *rep_; }

 private:
  const complex* bcol(int j) const { return B_ + static_cast<std::size_t>(j) * ldb_; }
  complex* rcol_mut(int j) { return R_.data() + off(j); }

  // Zero on every rank: then R = B on all of them, else all form B - A X.
  bool active_iterate_is_zero() const {
    bool zero = true;
    for (int i = 0; i < sa_ && zero; ++i) {
      const complex* x = xcol(act_[i]);
      for (int r = 0; r < n_ && zero; ++r) zero = x[r] == complex(0.0);
    }
    return rows::all(zero);
  }

  // Rebuilds the active list from the columns not yet done, in column order.
  void refresh_active() {
    sa_ = 0;
    for (int j = 0; j < sb_; ++j)
      if (!done_[j]) act_[sa_++] = j;
  }

  // The first product fixes alpha; every product is scaled by it.
  void finish_product(int k, const complex* x, complex* y) {
    if (!ascale_known_) fix_operator_scale(k, x, y);
    scale_pow2(y, static_cast<std::size_t>(n_) * k, ascale_exp_);
  }

  // alpha = 2^e with 2^e ||y|| / ||x|| of about unit size (largest columns);
  // 1 when either block is zero or not finite.
  void fix_operator_scale(int k, const complex* x, const complex* y) {
    const int32_t n = n_, kk = k;
    C_COLBLOCKNORMS(x, &n, &n, &kk, nrm_.data());
    const double xmax = *std::max_element(nrm_.begin(), nrm_.begin() + k);
    C_COLBLOCKNORMS(y, &n, &n, &kk, nrm_.data());
    const double ymax = *std::max_element(nrm_.begin(), nrm_.begin() + k);
    ascale_known_ = true;
    if (xmax > 0.0 && ymax > 0.0 && std::isfinite(xmax) && std::isfinite(ymax))
      ascale_exp_ = std::ilogb(xmax) - std::ilogb(ymax);
  }

  const Method method_;
  const int n_;
  const long global_n_;
  const int s_;
  int sb_ = 0;  // columns of the bound block (<= s_)
  int block_ = 1, blocks_ = 1;
  const Operator* A_ = nullptr;
  const complex* B_ = nullptr;
  int ldb_ = 0;
  complex* X_ = nullptr;
  int ldx_ = 0;
  const Options* opt_ = nullptr;
  Report* rep_ = nullptr;
  long max_products_ = 0;

  std::vector<complex> R_;   // residual of column j in column j (ld n)
  std::vector<complex> T1_;  // two n x s scratch blocks
  std::vector<complex> T2_;
  std::vector<double> bnorm_, enorm_, res_, tol_, est_, nrm_;
  const Preconditioner* pre_ = nullptr;
  std::vector<complex> pre1_, pre2_;  // two n x s blocks for preconditioned products
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

}  // namespace detail
}  // namespace blockkrylov
