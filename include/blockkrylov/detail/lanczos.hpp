// blockkrylov/detail/lanczos.hpp - block QMR on the block Lanczos process:
// the complex-symmetric driver (products with A) or the two-sided one (A and
// A^T).
//
// After each step rows 1..s of TAU hold the QMR remainder block; the norm of
// its column j over ||b_j|| estimates column j's relative residual (the true
// one can be larger by a modest factor). When every estimate meets its
// tolerance the host confirms on B - A X. If that shows a column still above
// (a false alarm), the next check waits until the largest estimate has fallen
// by the ratio just observed between true residual and estimate, so that a
// hard problem does not pay a true residual at every step.
//
// The recurrences drift from the true residual in rounding: at some point the
// estimate keeps falling while B - A X stays put. Checks in a row at which
// the estimate fell markedly but the true residual hardly did say so; the
// host then restarts from the true residual (which resets the drift). If the
// true residual has not improved enough since the previous such restart, no
// further progress is possible and the solve ends as stagnated.
//
// Dependent right-hand sides. Before every run the active residual block
// (preconditioned) is factored with deflation by the rank-revealing initial
// step of the GMRES service: a column that the others explain to within
// kLanczosDeflationTol of its norm does not enter the run; its correction is
// the recorded combination of the kept columns' corrections, and its true
// residual is checked like any other. Equal, zero and dependent columns then
// cost nothing extra, where they would make d_1 = V_1^T V_1 singular.
//
// Smaller blocks. A run of several columns that breaks down before its
// first step, or twice in a row, halves the number of columns a run takes
// (block_limit); the columns left out wait for a later run. Strongly
// correlated right-hand sides then converge in smaller blocks instead of
// ending the solve.
//
// A nonzero driver result (breakdown, or a step whose estimate is not finite)
// ends that Lanczos run. The host goes back to the last iterate whose step
// succeeded, forms its true residual, drops the columns that have converged,
// and starts again with REVCOM = 0, at most max_breakdowns times. A failure
// before any step succeeded since the last start would repeat identically
// (same X, same residual block: e.g. two equal residual columns make
// d_1 = V_1^T V_1 singular), so it ends the solve at once.
#pragma once

#include "blockkrylov/detail/host.hpp"

namespace blockkrylov {
namespace detail {

// Ratio assumed between true residual and estimate when the estimate is
// exactly zero but the true residual is not: large enough that the next
// check waits for real progress.
constexpr double kZeroEstimateRatio = 1e3;
// Drift: a check at which the estimate fell at least to this fraction of the
// previous check's ...
constexpr double kDriftEstimateFall = 0.5;
// ... while the true residual stayed above this fraction of its previous
// value counts as drifting;
constexpr double kDriftTrueFall = 0.9;
// this many such checks in a row restart the run from the true residual;
constexpr int kDriftChecks = 2;
// and if the true residual is not below this fraction of its value at the
// previous drift restart, restarting again would not help.
constexpr double kDriftRestartGain = 0.5;
// A residual column whose part independent of the earlier ones is below this
// fraction of its norm is deflated. The drivers' condition limit of 1e10 on
// V^T V allows columns independent to about 1e-5 of their norm; below 1e-6
// the first block would be all but singular. What a deflated column leaves
// unexplained (at most this fraction) is solved by a later run.
constexpr double kLanczosDeflationTol = 1e-6;

template <bool TwoSided>
class LanczosEngine {
 public:
  LanczosEngine(int n, int s)
      : n_(n), s_(s), X0_(ns()), Xa_(ns()), Vn_(ns()), Pn_(ns()), D_(ns()), Zn_(ns()),
        Wn_(TwoSided ? ns() : 0), Qn_(TwoSided ? ns() : 0), gamma_(s), gammaold_(s), rho_(s),
        rhoold_(s), xi_(s), xiold_(s), ESVB_(4 * ss()), DSVB_(4 * ss()), esv_(s + 1), dsv_(s + 1),
        QRS_(qrs()), QRSW_(TwoSided ? qrs() : 0), RINV_(2 * ss()), UP_(ss()), UQ_(ss()),
        TAU_(2 * ss()), SVWORK_(3 * ss()), Vd_(rows::storage(n) * 2 * s), vpiv_(2 * s),
        beta_(2 * s), sigma_(2 * s), Rd_(static_cast<std::size_t>(2 * s) * s),
        LMd_(static_cast<std::size_t>(4) * s * s), kept_(s), dtab_(static_cast<std::size_t>(2) * s),
        dcoef_(ss()), work_(2 * s + 1), order_(s), runpos_(s), dpos_(s), coef_(ss()), inrun_(s) {}

  void solve(Host& h, const Operator& A, const Operator* At) {
    // The driver's block offsets live in a slot of this thread number: wait
    // for a solve on another thread that holds it, refuse a nested one.
    const SlotClaim driver_slot(TwoSided ? SlotKind::twosided : SlotKind::symmetric, true);
    if (!driver_slot.held()) {
      h.finish_invalid("a " + std::string(to_string(h.method())) +
                       " solve is already running on this thread (OpenMP thread number " +
                       std::to_string(driver_slot.thread_number()) +
                       "); a solve started from its operator cannot share the driver's state");
      return;
    }
    if (!h.start()) return;
    Report& rep = h.report();
    drift_checks_ = 0;
    drift_restart_t_ = -1.0;
    block_limit_ = s_;
    failures_in_row_ = 0;
    Status status = Status::converged;
    std::string why;
    for (;;) {
      if (!h.begin_run(status, why)) break;
      if (!h.can_afford(step_cost(h)) || !h.may_iterate()) {
        h.halted(false, true, status);
        break;
      }
      open_run(h);
      const RunEnd end = run(h, A, At);
      if (end == RunEnd::converged) break;
      if (!residual_current_) {
        h.true_residual();
        residual_current_ = true;
        if (h.all_done()) break;
      }
      if (h.halted(end == RunEnd::stopped, end == RunEnd::limit, status)) break;
      if (end == RunEnd::stagnated) {
        status = Status::stagnated;
        why = "the true residual stopped improving, also after a restart";
        break;
      }
      if (end == RunEnd::failed) {
        ++rep.breakdowns;
        failures_in_row_ = steps_ == 0 ? failures_in_row_ + 2 : failures_in_row_ + 1;
        if (failures_in_row_ >= 2 && sa_ > 1) {
          // Smaller blocks before giving up (see the top of this file).
          block_limit_ = std::max(1, sa_ / 2);
          failures_in_row_ = 0;
        } else if (steps_ == 0) {
          status = Status::breakdown;
          why = TwoSided && h.options().left_start != nullptr
                    ? "the starting blocks fail at once; check left_start against the residual block"
                    : "the starting block fails at once, also a single column";
          break;
        }
        if (rep.breakdowns > h.options().max_breakdowns) {
          status = Status::breakdown;
          why = "more than " + std::to_string(h.options().max_breakdowns) + " breakdowns";
          break;
        }
      } else if (end != RunEnd::next) {
        failures_in_row_ = 0;
      }
      ++rep.restarts;  // after a breakdown, from the true residual after drift, or the next columns
    }
    h.finish(status, why);
  }

 private:
  // How a run ended; `next`: its columns are done, others wait for a run.
  enum class RunEnd { converged, next, failed, refresh, stagnated, limit, stopped };
  enum class Check { converged, next, go_on, refresh, stagnated };

  std::size_t ns() const { return rows::storage(n_) * s_; }
  std::size_t ss() const { return static_cast<std::size_t>(s_) * s_; }
  std::size_t qrs() const { return static_cast<std::size_t>(3 * s_ + 3) * 2 * s_; }
  long step_cost(const Host& h) const { return TwoSided ? 2L * h.active() : h.active(); }
  long run_step_cost() const { return TwoSided ? 2L * sa_ : sa_; }

  // Starts a run from the current iterates X0 of the active columns. The
  // run solves for the correction: (alpha A^) Y = beta M1^-1 R with A^ =
  // M1^-1 A M2^-1, so that X = X0 + 2^(ea - eb) M2^-1 Y, beta = 2^eb giving
  // the largest column of M1^-1 R about unit norm. Dependent columns are
  // deflated and at most block_limit columns run (see the top of this file).
  void open_run(Host& h) {
    sa_all_ = h.active();
    const std::size_t len = static_cast<std::size_t>(n_) * sa_all_;
    for (int i = 0; i < sa_all_; ++i) {
      std::copy(h.xcol(h.col(i)), h.xcol(h.col(i)) + n_, X0_.data() + h.off(i));
      std::copy(h.rcol(h.col(i)), h.rcol(h.col(i)) + n_, Zn_.data() + h.off(i));
    }
    h.apply_left(sa_all_, Zn_.data(), Pn_.data());  // W = M1^-1 R, column per active position
    const int32_t nn = n_, all = sa_all_;
    C_COLBLOCKNORMS(Pn_.data(), &nn, &nn, &all, h.nrm());
    for (int i = 0; i < sa_all_; ++i) wnorm_[i] = h.nrm()[i];
    choose_columns(h);
    eb_ = unit_exponent(*std::max_element(wnorm_.begin(), wnorm_.begin() + sa_all_));
    for (int l = 0; l < sa_; ++l)
      copy_pow2(Pn_.data() + h.off(runpos_[l]), n_, Vn_.data() + h.off(l), eb_);
    std::fill(Xa_.begin(), Xa_.begin() + static_cast<std::ptrdiff_t>(len), complex(0.0));
    const complex* left = h.options().left_start;
    for (int l = 0; l < sa_; ++l) {
      if (TwoSided) {
        const complex* w = left != nullptr ? left + h.off(h.col(runpos_[l])) : Vn_.data() + h.off(l);
        std::copy(w, w + n_, Wn_.data() + h.off(l));
      }
    }
    revcom_ = 0;
    steps_ = 0;
    next_check_ = std::numeric_limits<double>::infinity();
    last_emax_ = last_tmax_ = -1.0;
    drift_checks_ = 0;
    residual_current_ = true;
  }

  // Splits the active columns (W = M1^-1 R in Pn, norms in wnorm) into the
  // run's columns (runpos), the deflated ones that the run's corrections
  // serve (dpos, coefficients coef), and the others, which wait.
  void choose_columns(Host& h) {
    nd_ = 0;
    std::fill(inrun_.begin(), inrun_.end(), 0);
    int nk = sa_all_;  // kept columns; their positions lead runpos_, in factor order
    if (sa_all_ == 1) {
      runpos_[0] = 0;
    } else {
      // Largest column first (the factorisation never tests its first
      // column), each scaled to unit norm so the test is relative.
      for (int i = 0; i < sa_all_; ++i) order_[i] = i;
      const auto big = std::max_element(order_.begin(), order_.begin() + sa_all_,
                                        [&](int u, int v) { return wnorm_[u] < wnorm_[v]; });
      std::rotate(order_.begin(), big, big + 1);
      for (int q = 0; q < sa_all_; ++q) {
        const int i = order_[q];
        const complex* w = Pn_.data() + h.off(i);
        complex* v = Vd_.data() + h.off(q);
        for (int r = 0; r < n_; ++r) v[r] = w[r] / wnorm_[i];
      }
      const int32_t sa = sa_all_, nn = n_, m = 2 * s_, lds = s_;
      const double tol = kLanczosDeflationTol;
      int32_t p = 0;
      const int32_t nd = C_INITIALBLOCKGMRES(&sa, &tol, &p, Vd_.data(), &nn, vpiv_.data(), beta_.data(),
                                             sigma_.data(), Rd_.data(), &m, LMd_.data(), &m, kept_.data(),
                                             dtab_.data(), &lds, dcoef_.data(), &lds, work_.data());
      nk = sa_all_ - nd;
      for (int l = 0; l < nk; ++l) runpos_[l] = order_[kept_[l] - 1];
      const int run = std::min(nk, block_limit_);
      for (int d = 0; d < nd; ++d) {
        const int cnt = dtab_[s_ + d];
        if (cnt > run) continue;  // needs kept columns outside this run: waits
        const int pos = order_[dtab_[d] - 1];
        complex* c = coef_.data() + static_cast<std::size_t>(nd_) * s_;
        for (int l = 0; l < cnt; ++l)
          c[l] = dcoef_[static_cast<std::size_t>(d) * s_ + l] * (wnorm_[pos] / wnorm_[runpos_[l]]);
        std::fill(c + cnt, c + run, complex(0.0));
        dpos_[nd_++] = pos;
      }
    }
    sa_ = std::min(nk, block_limit_);
    for (int l = 0; l < sa_; ++l) inrun_[runpos_[l]] = 1;
    for (int d = 0; d < nd_; ++d) inrun_[dpos_[d]] = 2;
  }

  // One call of the driver.
  int32_t drive() {
    const int32_t nn = n_, sa = sa_;
    if (TwoSided)
      return C_ZD_BLANCZOS(&nn, &sa, &revcom_, Xa_.data(), Vn_.data(), Wn_.data(), Pn_.data(),
                           Qn_.data(), D_.data(), Zn_.data(), gamma_.data(), gammaold_.data(),
                           rho_.data(), rhoold_.data(), xi_.data(), xiold_.data(), ESVB_.data(),
                           esv_.data(), DSVB_.data(), dsv_.data(), QRS_.data(), RINV_.data(),
                           QRSW_.data(), UP_.data(), UQ_.data(), TAU_.data(), SVWORK_.data());
    return C_ZDSYM_BLANCZOS1(&nn, &sa, &revcom_, Xa_.data(), Vn_.data(), Pn_.data(), D_.data(),
                             Zn_.data(), gamma_.data(), gammaold_.data(), rho_.data(),
                             rhoold_.data(), ESVB_.data(), esv_.data(), DSVB_.data(), dsv_.data(),
                             QRS_.data(), RINV_.data(), UP_.data(), TAU_.data(), SVWORK_.data());
  }

  // Block steps until the run ends.
  RunEnd run(Host& h, const Operator& A, const Operator* At) {
    const int32_t updated = TwoSided ? 3 : 2;  // "iterate updated"
    for (;;) {
      if (drive() != 0) return iterate_out(h), RunEnd::failed;  // a breakdown: Xa is the last good
      if (revcom_ == 1) {
        if (!h.can_afford(run_step_cost()) || !h.may_iterate()) return iterate_out(h), RunEnd::limit;
        h.split_product(A, At, false, sa_, Pn_.data(), Zn_.data());
        continue;
      }
      if (TwoSided && revcom_ == 2) {
        h.split_product(A, At, true, sa_, Qn_.data(), Zn_.data());
        continue;
      }
      if (revcom_ != updated) return iterate_out(h), RunEnd::failed;  // a request this host does not know
      double emax = 0.0;
      bool below = true;
      // A step whose estimate is not finite has spoilt Xa: X keeps the
      // iterate it had.
      if (!read_estimates(h, emax, below)) return RunEnd::failed;
      ++steps_;
      residual_current_ = false;
      if (!h.after_iteration(h.est(), sa_all_)) return iterate_out(h), RunEnd::stopped;
      if (!(below && emax <= next_check_)) continue;
      iterate_out(h);
      switch (confirm(h, emax)) {
        case Check::converged: return RunEnd::converged;
        case Check::next: return RunEnd::next;
        case Check::refresh: return RunEnd::refresh;
        case Check::stagnated: return RunEnd::stagnated;
        case Check::go_on: break;
      }
    }
  }

  // The quasi-residual estimates of the step just taken, by active
  // position; false when one is not finite (treated as a breakdown). TAU
  // belongs to beta M1^-1 R and is measured against ||M1^-1 b_j||; a
  // deflated column's remainder is the combination of its kept columns'
  // (rows 1..sa of TAU), a waiting column keeps its true residual. `below`
  // and emax concern the run's columns and the deflated ones it serves.
  bool read_estimates(Host& h, double& emax, bool& below) {
    const int32_t ldtau = 2 * sa_;
    rows::replicated_norms(TAU_.data(), ldtau, sa_, sa_, h.nrm());
    const auto relative = [&](double nrm, int i) {
      return static_cast<double>(std::ldexp(static_cast<long double>(nrm), -eb_) / h.enorm(h.col(i)));
    };
    for (int i = 0; i < sa_all_; ++i) h.est()[i] = h.res(h.col(i));
    for (int l = 0; l < sa_; ++l) h.est()[runpos_[l]] = relative(h.nrm()[l], runpos_[l]);
    for (int d = 0; d < nd_; ++d) {
      double sum = 0.0;
      for (int r = 0; r < sa_; ++r) {
        complex t = 0.0;
        for (int l = 0; l < sa_; ++l)
          t += coef_[static_cast<std::size_t>(d) * s_ + l] * TAU_[static_cast<std::size_t>(l) * ldtau + r];
        sum += std::norm(t);
      }
      h.est()[dpos_[d]] = relative(std::sqrt(sum), dpos_[d]);
    }
    for (int i = 0; i < sa_all_; ++i) {
      const double e = h.est()[i];
      if (!std::isfinite(e)) return false;
      if (inrun_[i] == 0) continue;
      below = below && e <= h.tol(h.col(i));
      emax = std::max(emax, e);
    }
    return true;
  }

  // X = X0 + C for the run's columns, C = 2^(ea - eb) M2^-1 Xa, and X0 + the
  // recorded combination of C for the deflated ones: the latest iterates,
  // formed when the host needs them (a check, the end of the run), since
  // M2^-1 costs about a product. Waiting columns keep theirs.
  void iterate_out(Host& h) {
    const std::size_t len = static_cast<std::size_t>(n_) * sa_;
    complex* c = h.scratch2();
    copy_pow2(Xa_.data(), len, c, h.operator_exponent() - eb_);
    if (h.options().preconditioner.right) h.apply_right(sa_, c, h.scratch()), c = h.scratch();
    for (int l = 0; l < sa_; ++l) {
      const int i = runpos_[l];
      complex* x = h.xcol(h.col(i));
      const complex* x0 = X0_.data() + h.off(i);
      const complex* cl = c + h.off(l);
      for (int q = 0; q < n_; ++q) x[q] = x0[q] + cl[q];
    }
    for (int d = 0; d < nd_; ++d) {
      const int i = dpos_[d];
      complex* x = h.xcol(h.col(i));
      std::copy(X0_.data() + h.off(i), X0_.data() + h.off(i) + n_, x);
      for (int l = 0; l < sa_; ++l) {
        const complex f = coef_[static_cast<std::size_t>(d) * s_ + l];
        if (f == complex(0.0)) continue;
        const complex* cl = c + h.off(l);
        for (int q = 0; q < n_; ++q) x[q] += f * cl[q];
      }
    }
  }

  // Confirms the estimate on the true residual; sets the next check after a
  // false alarm and watches for drift. Columns that met their tolerance stay
  // in the block (a restart would discard the Krylov space); every check
  // tests all active columns again.
  Check confirm(Host& h, double emax) {
    h.true_residual();
    residual_current_ = true;
    bool all = true, waiting = false;
    double ratio = 1.0, tmax = 0.0;
    for (int i = 0; i < sa_all_; ++i) {
      const int j = h.col(i);
      if (inrun_[i] == 0) {
        waiting = waiting || !h.done(j);
        continue;
      }
      tmax = std::max(tmax, h.res(j));
      if (h.done(j)) continue;
      all = false;
      ratio = std::max(ratio, h.est()[i] > 0.0 ? h.res(j) / h.est()[i] : kZeroEstimateRatio);
    }
    if (all) return waiting ? Check::next : Check::converged;
    if (last_emax_ > 0.0 && emax <= kDriftEstimateFall * last_emax_ && tmax > kDriftTrueFall * last_tmax_) {
      if (++drift_checks_ >= kDriftChecks) {
        const bool hopeless = drift_restart_t_ >= 0.0 && tmax > kDriftRestartGain * drift_restart_t_;
        drift_restart_t_ = tmax;
        return hopeless ? Check::stagnated : Check::refresh;
      }
    } else {
      drift_checks_ = 0;
    }
    last_emax_ = emax;
    last_tmax_ = tmax;
    next_check_ = emax / ratio;
    return Check::go_on;
  }

  const int n_, s_;
  std::vector<complex> X0_, Xa_, Vn_, Pn_, D_, Zn_, Wn_, Qn_;
  std::vector<double> gamma_, gammaold_, rho_, rhoold_, xi_, xiold_;
  std::vector<complex> ESVB_, DSVB_, esv_, dsv_, QRS_, QRSW_, RINV_, UP_, UQ_, TAU_, SVWORK_;

  std::vector<complex> Vd_, vpiv_, beta_, sigma_, Rd_, LMd_;  // the deflating factorisation
  std::vector<int32_t> kept_, dtab_;
  std::vector<complex> dcoef_, work_;
  std::vector<int> order_, runpos_, dpos_;  // factor order; kept (run first) and deflated active positions
  std::vector<complex> coef_;               // deflated column d = sum coef(d, l) run column l
  std::vector<char> inrun_;                 // per active position: 1 run, 2 deflated, 0 waiting
  std::vector<double> wnorm_ = std::vector<double>(s_);  // ||M1^-1 r|| per active position
  int sa_all_ = 0;      // active columns
  int nd_ = 0;          // deflated columns served by the run
  int block_limit_ = 1; // most columns a run takes
  int failures_in_row_ = 0;
  int32_t sa_ = 0;      // columns in the run
  int32_t revcom_ = 0;
  int eb_ = 0;          // beta = 2^eb_
  long steps_ = 0;      // successful steps of the run
  bool residual_current_ = true;  // R and the residuals belong to the current X
  double next_check_ = 0.0;
  double last_emax_ = -1.0, last_tmax_ = -1.0;
  int drift_checks_ = 0;
  double drift_restart_t_ = -1.0;  // true residual at the last restart for drift
};

}  // namespace detail
}  // namespace blockkrylov
