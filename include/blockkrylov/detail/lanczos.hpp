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

template <bool TwoSided>
class LanczosEngine {
 public:
  LanczosEngine(int n, int s)
      : n_(n), s_(s), X0_(ns()), Xa_(ns()), Vn_(ns()), Pn_(ns()), D_(ns()), Zn_(ns()),
        Wn_(TwoSided ? ns() : 0), Qn_(TwoSided ? ns() : 0), gamma_(s), gammaold_(s), rho_(s),
        rhoold_(s), xi_(s), xiold_(s), ESVB_(4 * ss()), DSVB_(4 * ss()), esv_(s + 1), dsv_(s + 1),
        QRS_(qrs()), QRSW_(TwoSided ? qrs() : 0), RINV_(2 * ss()), UP_(ss()), UQ_(ss()),
        TAU_(2 * ss()), SVWORK_(3 * ss()) {}

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
        if (steps_ == 0) {
          status = Status::breakdown;
          why = TwoSided && h.options().left_start != nullptr
                    ? "the starting blocks fail at once; check left_start against the residual block"
                    : "the starting block fails at once (dependent residual columns?)";
          break;
        }
        if (rep.breakdowns > h.options().max_breakdowns) {
          status = Status::breakdown;
          why = "more than " + std::to_string(h.options().max_breakdowns) + " breakdowns";
          break;
        }
      }
      ++rep.restarts;  // after a breakdown, or from the true residual after drift
    }
    h.finish(status, why);
  }

 private:
  enum class RunEnd { converged, failed, refresh, stagnated, limit, stopped };
  enum class Check { converged, go_on, refresh, stagnated };

  std::size_t ns() const { return static_cast<std::size_t>(n_) * s_; }
  std::size_t ss() const { return static_cast<std::size_t>(s_) * s_; }
  std::size_t qrs() const { return static_cast<std::size_t>(3 * s_ + 3) * 2 * s_; }
  long step_cost(const Host& h) const { return TwoSided ? 2L * h.active() : h.active(); }

  // Starts a run from the current iterates X0 of the active columns. The
  // run solves for the correction: (alpha A^) Y = beta M1^-1 R with A^ =
  // M1^-1 A M2^-1, so that X = X0 + 2^(ea - eb) M2^-1 Y, beta = 2^eb giving
  // the largest column of M1^-1 R about unit norm.
  void open_run(Host& h) {
    sa_ = h.active();
    const std::size_t len = static_cast<std::size_t>(n_) * sa_;
    for (int i = 0; i < sa_; ++i) {
      std::copy(h.xcol(h.col(i)), h.xcol(h.col(i)) + n_, X0_.data() + h.off(i));
      std::copy(h.rcol(h.col(i)), h.rcol(h.col(i)) + n_, Zn_.data() + h.off(i));
    }
    std::fill(Xa_.begin(), Xa_.begin() + static_cast<std::ptrdiff_t>(len), complex(0.0));
    h.apply_left(sa_, Zn_.data(), Vn_.data());
    const int32_t nn = n_, sa = sa_;
    C_COLBLOCKNORMS(Vn_.data(), &nn, &nn, &sa, h.nrm());
    eb_ = unit_exponent(*std::max_element(h.nrm(), h.nrm() + sa_));
    scale_pow2(Vn_.data(), len, eb_);
    const complex* left = h.options().left_start;
    for (int i = 0; i < sa_; ++i) {
      if (TwoSided) {
        const complex* w = left != nullptr ? left + h.off(h.col(i)) : Vn_.data() + h.off(i);
        std::copy(w, w + n_, Wn_.data() + h.off(i));
      }
    }
    revcom_ = 0;
    steps_ = 0;
    next_check_ = std::numeric_limits<double>::infinity();
    last_emax_ = last_tmax_ = -1.0;
    drift_checks_ = 0;
    residual_current_ = true;
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
        if (!h.can_afford(step_cost(h)) || !h.may_iterate()) return iterate_out(h), RunEnd::limit;
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
      if (!h.after_iteration(h.est(), sa_)) return iterate_out(h), RunEnd::stopped;
      if (!(below && emax <= next_check_)) continue;
      iterate_out(h);
      switch (confirm(h, emax)) {
        case Check::converged: return RunEnd::converged;
        case Check::refresh: return RunEnd::refresh;
        case Check::stagnated: return RunEnd::stagnated;
        case Check::go_on: break;
      }
    }
  }

  // The quasi-residual estimates of the step just taken; false when one is
  // not finite (treated as a breakdown). TAU belongs to beta M1^-1 R, and is
  // measured against ||M1^-1 b_j||.
  bool read_estimates(Host& h, double& emax, bool& below) {
    const int32_t ldtau = 2 * sa_, sa = sa_;
    C_COLBLOCKNORMS(TAU_.data(), &ldtau, &sa, &sa, h.nrm());
    for (int i = 0; i < sa_; ++i) {
      const int j = h.col(i);
      const double e = static_cast<double>(std::ldexp(static_cast<long double>(h.nrm()[i]), -eb_) /
                                           h.enorm(j));
      h.est()[i] = e;
      if (!std::isfinite(e)) return false;
      below = below && e <= h.tol(j);
      emax = std::max(emax, e);
    }
    return true;
  }

  // X(:, act) = X0 + 2^(ea - eb) M2^-1 Xa: the latest iterate, formed when
  // the host needs it (a check, the end of the run), since M2^-1 costs about
  // a product.
  void iterate_out(Host& h) {
    const std::size_t len = static_cast<std::size_t>(n_) * sa_;
    complex* c = h.scratch();
    copy_pow2(Xa_.data(), len, h.scratch2(), h.operator_exponent() - eb_);
    h.apply_right(sa_, h.scratch2(), c);
    for (int i = 0; i < sa_; ++i) {
      complex* x = h.xcol(h.col(i));
      const complex* x0 = X0_.data() + h.off(i);
      const complex* ci = c + h.off(i);
      for (int q = 0; q < n_; ++q) x[q] = x0[q] + ci[q];
    }
  }

  // Confirms the estimate on the true residual; sets the next check after a
  // false alarm and watches for drift. Columns that met their tolerance stay
  // in the block (a restart would discard the Krylov space); every check
  // tests all active columns again.
  Check confirm(Host& h, double emax) {
    h.true_residual();
    residual_current_ = true;
    bool all = true;
    double ratio = 1.0, tmax = 0.0;
    for (int i = 0; i < sa_; ++i) {
      const int j = h.col(i);
      tmax = std::max(tmax, h.res(j));
      if (h.done(j)) continue;
      all = false;
      ratio = std::max(ratio, h.est()[i] > 0.0 ? h.res(j) / h.est()[i] : kZeroEstimateRatio);
    }
    if (all) return Check::converged;
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
