// blockkrylov/detail/solver_impl.hpp - the Solver object: argument checks,
// the split of many right-hand sides into blocks, and the aggregated report.
// Included from blockkrylov/solver.hpp; uses only the twelve C entry points
// of blockkrylov.h (through the method engines).
#pragma once

#include <optional>

#include "blockkrylov/detail/gmres.hpp"
#include "blockkrylov/detail/host.hpp"
#include "blockkrylov/detail/lanczos.hpp"
#include "blockkrylov/detail/threads.hpp"

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
    case Status::max_iterations: return "max_iterations";
  }
  return "unknown";
}

namespace detail {

// Why options cannot be used; empty when they can.
inline std::string check_options(Method m, const Options& o) {
  if (!(o.rtol >= 0.0) || !std::isfinite(o.rtol)) return "rtol must be finite and >= 0";
  if (!(o.atol >= 0.0) || !std::isfinite(o.atol)) return "atol must be finite and >= 0";
  if (m == Method::gmres && (!(o.deflation_tol >= 0.0) || !std::isfinite(o.deflation_tol)))
    return "deflation_tol must be finite and >= 0";
  if (o.max_breakdowns < 0) return "max_breakdowns must be >= 0";
  const Preconditioner& p = o.preconditioner;
  if (m == Method::symmetric && !p.empty() && !(p.symmetric && p.left && p.right))
    return "the symmetric method needs a split preconditioner M = L L^T (left = L^-1, right = "
           "L^-T, symmetric = true) so that the operator stays complex-symmetric; use the qmr or "
           "gmres method with this preconditioner";
  if (m == Method::qmr && ((p.left && !p.left_t) || (p.right && !p.right_t)))
    return "the two-sided method needs the transposed solves (left_t, right_t) of the "
           "preconditioner's factors";
  return {};
}

class SolverState {
 public:
  // Collective in the distributed build: the sizes are checked over all
  // ranks, and every rank ends up with the same why_.
  SolverState(Method method, int n, int s, Options options)
      : method_(method), n_(n), s_(s), options_(std::move(options)) {
    report_.method = method;
    const long N = rows::global(n);  // n itself in the serial build
    if (N < 1) why_ = "n must be at least 1";
    else if (n < 0) why_ = "a rank's row count n must not be negative";
    else if (s < 1) why_ = "the block size s must be at least 1";
    else if (method == Method::gmres && s >= N)
      why_ = "block GMRES needs s < n (the cycle needs room for one basis vector beyond the block)";
    else if (s > N) why_ = "the block size s must not exceed n";
    rows::agree(why_);
    if (why_.empty() && rows::ranks() > 1) why_ = check_root_rows(method, N, s, rows::root_rows(n));
    if (!why_.empty()) return;
    host_.emplace(method, n, N, s);
    switch (method) {
      case Method::symmetric: symmetric_.emplace(n, s); break;
      case Method::qmr: twosided_.emplace(n, s); break;
      case Method::gmres: gmres_.emplace(n, N, s, options_.restart); break;
    }
    block_report_.residuals.reserve(s);
    report_.residuals.reserve(s);
  }

  const Report& solve(const Operator& A, const Operator* At, int nrhs, const complex* B, int ldb,
                      complex* X, int ldx) {
    std::string why = why_;
    if (why.empty()) {
      if (nrhs < 1) why = "nrhs must be at least 1";
      else if (ldb < n_ || ldx < n_) why = "ldb and ldx must be at least n";
      else if ((B == nullptr || X == nullptr) && n_ > 0) why = "B and X must not be null";
      else if (!A) why = "the operator A is empty";
      else if (method_ == Method::qmr && (At == nullptr || !*At)) why = "the operator A^T is empty";
      else why = check_options(method_, options_);
    }
    if (rows::agree(why)) return invalid(why);  // arguments unusable on any rank
    const ThreadScope threads(options_.threads);

    Report& agg = report_;
    reset(agg);
    agg.residuals.assign(nrhs, 0.0);
    const int nblocks = (nrhs + s_ - 1) / s_;
    Status first_failure = Status::converged;
    std::string failure_message;
    Options block_options = options_;
    for (int b = 0; b < nblocks; ++b) {
      const int j0 = b * s_, sb = std::min(s_, nrhs - j0);
      if (options_.left_start != nullptr)
        block_options.left_start = options_.left_start + static_cast<std::size_t>(j0) * n_;
      Report& rep = block_report_;
      host_->bind(sb, A, B + static_cast<std::size_t>(j0) * ldb, ldb,
                  X + static_cast<std::size_t>(j0) * ldx, ldx, block_options, rep, b + 1, nblocks);
      switch (method_) {
        case Method::symmetric: symmetric_->solve(*host_, A, nullptr); break;
        case Method::qmr: twosided_->solve(*host_, A, At); break;
        case Method::gmres:
          if (host_->start()) gmres_->solve(*host_, A);
          break;
      }
      agg.iterations += rep.iterations;
      agg.products += rep.products;
      agg.restarts += rep.restarts;
      agg.breakdowns += rep.breakdowns;
      agg.blocks += 1;
      agg.history.insert(agg.history.end(), rep.history.begin(), rep.history.end());
      std::copy(rep.residuals.begin(), rep.residuals.end(), agg.residuals.begin() + j0);
      if (!rep.converged && first_failure == Status::converged) {
        first_failure = rep.status;
        failure_message = nblocks > 1 ? "block " + std::to_string(b + 1) + " of " +
                                            std::to_string(nblocks) + ": " + rep.message
                                      : rep.message;
      }
      if (rep.status == Status::stopped || rep.status == Status::invalid) break;
    }
    agg.status = first_failure;
    agg.converged = first_failure == Status::converged;
    if (nblocks == 1) agg.message = block_report_.message;
    else if (!agg.converged) agg.message = failure_message;
    else agg.message = summary(agg);
    return agg;
  }

  bool valid() const { return why_.empty(); }
  Method method() const { return method_; }
  int n() const { return n_; }
  int block_size() const { return s_; }
  Options& options() { return options_; }
  const Report& report() const { return report_; }

 private:
  static void reset(Report& r) {
    r.status = Status::invalid;
    r.converged = false;
    r.iterations = r.products = 0;
    r.restarts = r.breakdowns = r.blocks = 0;
    r.history.clear();
    r.message.clear();
  }

  const Report& invalid(const std::string& why) {
    reset(report_);
    report_.residuals.clear();
    report_.message = std::string(to_string(method_)) + ": invalid arguments: " + why;
    return report_;
  }

  // Why rank 0's share of the rows (n0) cannot hold what the kernels keep
  // there; empty when it can.
  std::string check_root_rows(Method method, long N, int s, int n0) const {
    const int need = root_rows_needed(method, N, s, options_.restart);
    if (n0 >= need) return {};
    const std::string holds = ", but it holds " + std::to_string(n0) + ": give rank 0 at least " +
                              std::to_string(need) + " rows, or ";
    std::string why = "with " + std::to_string(rows::ranks()) + " ranks, rank 0 must hold more rows than ";
    if (method == Method::gmres)
      return why + "the GMRES basis has vectors (capacity m = " + std::to_string(need - 1) + ")" + holds +
             "lower Options::restart (at least 2 s)";
    return why + "the block has columns (s = " + std::to_string(s) +
           "), since the deflation test of a block keeps its pivot rows there" + holds + "use a smaller block";
  }

  std::string summary(const Report& r) const {
    double worst = 0.0;
    for (double v : r.residuals) worst = std::max(worst, v);
    return std::string(to_string(method_)) + ": converged; " + std::to_string(r.blocks) +
           " blocks, " + std::to_string(r.iterations) + " iterations, " +
           std::to_string(r.products) + " products, " + std::to_string(r.restarts) +
           " restarts; largest relative residual " + fmt_g(worst) + " (rtol " +
           fmt_g(options_.rtol) + ")";
  }

  const Method method_;
  const int n_, s_;
  Options options_;
  std::string why_;  // why the solver cannot be used; empty when it can
  std::optional<Host> host_;
  std::optional<LanczosEngine<false>> symmetric_;
  std::optional<LanczosEngine<true>> twosided_;
  std::optional<GmresEngine> gmres_;
  Report block_report_, report_;
};

}  // namespace detail

inline Solver::Solver(Method method, int n, int block_size, Options options)
    : state_(std::make_unique<detail::SolverState>(method, n, block_size, std::move(options))) {}
inline Solver::~Solver() = default;
inline Solver::Solver(Solver&&) noexcept = default;
inline Solver& Solver::operator=(Solver&&) noexcept = default;

inline const Report& Solver::solve(const Operator& A, int nrhs, const complex* B, int ldb,
                                   complex* X, int ldx) {
  return state_->solve(A, nullptr, nrhs, B, ldb, X, ldx);
}
inline const Report& Solver::solve(const Operator& A, const Operator& At, int nrhs,
                                   const complex* B, int ldb, complex* X, int ldx) {
  return state_->solve(A, &At, nrhs, B, ldb, X, ldx);
}
inline bool Solver::valid() const { return state_->valid(); }
inline Method Solver::method() const { return state_->method(); }
inline int Solver::n() const { return state_->n(); }
inline int Solver::block_size() const { return state_->block_size(); }
inline Options& Solver::options() { return state_->options(); }
inline const Report& Solver::report() const { return state_->report(); }

inline int gmres_basis_capacity(int n, int s, int restart) { return detail::gmres_capacity(n, s, restart); }

inline int root_rows_needed(Method method, long n, int s, int restart) {
  if (method == Method::gmres)
    return detail::gmres_capacity(static_cast<int>(std::min<long>(n, INT32_MAX)), s, restart) + 1;
  return s > 1 ? s + 1 : 0;
}

inline Report solve_symmetric(int n, int s, const Operator& A, const complex* B, int ldb,
                              complex* X, int ldx, const Options& options) {
  Solver solver(Method::symmetric, n, s, options);
  return solver.solve(A, s, B, ldb, X, ldx);
}

inline Report solve_qmr(int n, int s, const Operator& A, const Operator& At, const complex* B,
                        int ldb, complex* X, int ldx, const Options& options) {
  Solver solver(Method::qmr, n, s, options);
  return solver.solve(A, At, s, B, ldb, X, ldx);
}

inline Report solve_gmres(int n, int s, const Operator& A, const complex* B, int ldb, complex* X,
                          int ldx, const Options& options) {
  Solver solver(Method::gmres, n, s, options);
  return solver.solve(A, s, B, ldb, X, ldx);
}

}  // namespace blockkrylov
