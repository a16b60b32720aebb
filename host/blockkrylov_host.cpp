// libblockkrylov_host: the C interface over the C++ solvers of
// blockkrylov/solver.hpp. Every language face (Python, Fortran, bksolve's
// users through C) solves through these few functions, so that all of them
// get the same engine, the same checks and the same reports.
//
// Options and reports carry their own size, so that a caller compiled against
// an older header (a smaller struct) is read and written only as far as its
// struct reaches.
#include "blockkrylov_host.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include <chrono>

#include "blockkrylov/csr.hpp"
#include "blockkrylov/preconditioners.hpp"
#include "blockkrylov/solver.hpp"

namespace {

using blockkrylov::complex;
using blockkrylov::CsrMatrix;
using blockkrylov::Method;
using blockkrylov::Operator;
using blockkrylov::Options;
using blockkrylov::Report;
using blockkrylov::Solver;
using blockkrylov::Status;

// Block size when the caller leaves it to us: enough columns to gain from
// the block, few enough that the s x s work stays small beside the products.
constexpr int kDefaultBlockSize = 8;

int32_t status_code(Status s) {
  switch (s) {
    case Status::converged: return BK_CONVERGED;
    case Status::max_products: return BK_MAX_PRODUCTS;
    case Status::breakdown: return BK_BREAKDOWN;
    case Status::stagnated: return BK_STAGNATED;
    case Status::stopped: return BK_STOPPED;
    case Status::max_iterations: return BK_MAX_ITERATIONS;
    case Status::invalid: break;
  }
  return BK_INVALID;
}

int32_t method_code(Method m) {
  switch (m) {
    case Method::symmetric: return BK_SYMMETRIC;
    case Method::qmr: return BK_QMR;
    case Method::gmres: break;
  }
  return BK_GMRES;
}

// The caller's options, as far as its struct reaches, over the defaults.
bk_options read_options(const bk_options* in) {
  bk_options o;
  bk_options_init(&o);
  if (in != nullptr && in->size > 0) {
    const std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(in->size), sizeof o);
    std::memcpy(&o, in, len);
    o.size = sizeof o;
  }
  return o;
}

// Why the options cannot be used (beyond what the engine checks).
std::string check_options(const bk_options& o) {
  if (o.method < BK_AUTO || o.method > BK_GMRES) return "unknown method " + std::to_string(o.method);
  if (o.block_size < 0) return "block_size must be >= 0";
  if (o.threads < 0) return "threads must be >= 0";
  if (o.precond < BK_PRECOND_NONE || o.precond > BK_PRECOND_AUTO)
    return "unknown preconditioner kind " + std::to_string(o.precond);
  if (o.precond != BK_PRECOND_NONE && o.preconditioner != nullptr)
    return "give either a stock preconditioner (precond) or callbacks (preconditioner), not both";
  if (!(o.omega > 0.0 && o.omega < 2.0)) return "omega must lie in (0, 2)";
  if (!(o.drop_tol >= 0.0) || !std::isfinite(o.drop_tol)) return "drop_tol must be finite and >= 0";
  if (!(o.fill >= 0.0) || !std::isfinite(o.fill)) return "fill must be finite and >= 0";
  return {};
}

// A preconditioner given by callbacks.
blockkrylov::Preconditioner wrap_preconditioner(const bk_preconditioner& c);

// The report being built, written back to the caller's struct at the end.
class ReportOut {
 public:
  explicit ReportOut(bk_report* user) : user_(user) {
    bk_report_init(&r_);
    if (user != nullptr && user->size > 0) {
      const std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(user->size), sizeof r_);
      std::memcpy(&r_, user, len);  // the caller's arrays and capacities
      r_.size = user->size;
    }
    if (!covers(offsetof(bk_report, history_capacity) + sizeof r_.history_capacity))
      r_.history = nullptr, r_.history_capacity = 0;
    if (!covers(offsetof(bk_report, residuals) + sizeof r_.residuals)) r_.residuals = nullptr;
    r_.status = BK_INVALID;
    r_.converged = 0;
    r_.iterations = r_.products = 0;
    r_.restarts = r_.breakdowns = r_.blocks = r_.block_size = 0;
    r_.max_residual = 0.0;
    r_.history_length = 0;
    r_.message[0] = '\0';
    r_.preconditioner[0] = '\0';
    r_.setup_seconds = 0.0;
  }

  int32_t invalid(const std::string& method, const std::string& why) {
    r_.status = BK_INVALID;
    message(method + ": invalid arguments: " + why);
    return commit();
  }

  // The preconditioner's name and set-up time, reported with the solve.
  void preconditioner(const std::string& name, double seconds) {
    const std::size_t len = std::min(name.size(), sizeof r_.preconditioner - 1);
    std::memcpy(r_.preconditioner, name.data(), len);
    r_.preconditioner[len] = '\0';
    r_.setup_seconds = seconds;
  }

  int32_t fill(const Report& rep, int block_size) {
    r_.status = status_code(rep.status);
    r_.method = method_code(rep.method);
    r_.converged = rep.converged ? 1 : 0;
    r_.iterations = rep.iterations;
    r_.products = rep.products;
    r_.restarts = rep.restarts;
    r_.breakdowns = rep.breakdowns;
    r_.blocks = rep.blocks;
    r_.block_size = block_size;
    r_.max_residual = 0.0;
    for (double v : rep.residuals) r_.max_residual = std::max(r_.max_residual, v);
    if (r_.residuals != nullptr && !rep.residuals.empty())
      std::copy(rep.residuals.begin(), rep.residuals.end(), r_.residuals);
    r_.history_length = static_cast<int64_t>(rep.history.size());
    if (r_.history != nullptr && r_.history_capacity > 0) {
      const std::size_t m = std::min<std::size_t>(rep.history.size(), static_cast<std::size_t>(r_.history_capacity));
      std::copy(rep.history.begin(), rep.history.begin() + static_cast<std::ptrdiff_t>(m), r_.history);
    }
    message(rep.message);
    return commit();
  }

 private:
  // Whether the caller's struct reaches `end` bytes.
  bool covers(std::size_t end) const {
    return user_ != nullptr && static_cast<std::size_t>(std::max(user_->size, 0)) >= end;
  }
  void message(const std::string& m) {
    const std::size_t len = std::min(m.size(), sizeof r_.message - 1);
    std::memcpy(r_.message, m.data(), len);
    r_.message[len] = '\0';
  }
  int32_t commit() {
    if (user_ != nullptr && user_->size > 0) {
      const int32_t size = user_->size;
      std::memcpy(user_, &r_, std::min<std::size_t>(static_cast<std::size_t>(size), sizeof r_));
      user_->size = size;
    }
    return r_.status;
  }

  bk_report* user_;
  bk_report r_;
};

Method to_method(int32_t code) {
  return code == BK_SYMMETRIC ? Method::symmetric : code == BK_QMR ? Method::qmr : Method::gmres;
}

// The block size actually used: the caller's (or the default), never more
// than nrhs or n. Block GMRES takes at most n / 2: its basis holds at least
// twice the block within the n unknowns; with a block of n - 1 each cycle
// would add a single direction.
int block_size_for(Method m, int n, int nrhs, int requested) {
  int bs = requested > 0 ? requested : std::min(nrhs, kDefaultBlockSize);
  bs = std::min({bs, n, std::max(nrhs, 1)});
  if (m == Method::gmres) bs = std::min(bs, n / 2);
  return std::max(bs, 1);
}

Options engine_options(const bk_options& o) {
  Options e;
  e.rtol = o.rtol;
  e.atol = o.atol;
  e.max_products = static_cast<long>(o.max_products);
  e.max_iterations = static_cast<long>(o.max_iterations);
  e.restart = o.restart;
  e.deflation_tol = o.deflation_tol;
  e.max_breakdowns = o.max_breakdowns;
  e.threads = o.threads;
  e.left_start = o.left_start;
  if (o.preconditioner != nullptr) e.preconditioner = wrap_preconditioner(*o.preconditioner);
  if (o.progress != nullptr) {
    const auto fn = o.progress;
    void* ctx = o.progress_ctx;
    e.progress = [fn, ctx](const blockkrylov::Progress& p) {
      bk_progress c;
      c.method = method_code(p.method);
      c.predicted = p.predicted;
      c.iteration = p.iteration;
      c.products = p.products;
      c.estimate = p.estimate;
      c.percent = p.percent;
      c.block = p.block;
      c.blocks = p.blocks;
      return fn(ctx, &c) == 0;
    };
  }
  return e;
}

Operator wrap(const bk_operator* op) {
  if (op == nullptr || op->apply == nullptr) return Operator();
  const auto apply = op->apply;
  void* ctx = op->ctx;
  return [apply, ctx](int k, const complex* x, complex* y) { apply(ctx, k, x, y); };
}

blockkrylov::Preconditioner wrap_preconditioner(const bk_preconditioner& c) {
  blockkrylov::Preconditioner p;
  p.left = wrap(&c.left);
  p.right = wrap(&c.right);
  p.left_t = wrap(&c.left_t);
  p.right_t = wrap(&c.right_t);
  p.symmetric = c.symmetric != 0;
  p.name = "user";
  return p;
}

// The stock preconditioner of kind `kind` built from `m`.
blockkrylov::Preconditioner stock(int32_t kind, const CsrMatrix& m, const bk_options& o) {
  namespace pc = blockkrylov::precond;
  switch (kind) {
    case BK_PRECOND_JACOBI: return pc::jacobi(m);
    case BK_PRECOND_SSOR: return pc::ssor(m, o.omega);
    case BK_PRECOND_IC0: return pc::ic0(m);
    case BK_PRECOND_ICT: return pc::ict(m, o.drop_tol, o.fill);
    case BK_PRECOND_ILU0: return pc::ilu0(m);
    case BK_PRECOND_ILUT: return pc::ilut(m, o.drop_tol, o.fill);
    case BK_PRECOND_AUTO: return pc::automatic(m);
  }
  return {};
}

// auto's inputs for a caller's preconditioner (null: none).
bool keeps_symmetry(const bk_preconditioner* p) { return p == nullptr || p->symmetric != 0; }
bool has_transposes(const bk_preconditioner* p) {
  return p == nullptr || ((p->left.apply == nullptr || p->left_t.apply != nullptr) &&
                          (p->right.apply == nullptr || p->right_t.apply != nullptr));
}

// Runs one solve on a solver made for it. `method` is resolved (not auto).
int32_t run(Solver& solver, const Operator& A, const Operator& At, int32_t nrhs, const bk_complex* B,
            int32_t ldb, bk_complex* X, int32_t ldx, ReportOut& out) {
  const Report& rep = solver.method() == Method::qmr ? solver.solve(A, At, nrhs, B, ldb, X, ldx)
                                                     : solver.solve(A, nrhs, B, ldb, X, ldx);
  return out.fill(rep, solver.block_size());
}

std::string why_not(Method m, int n, int bs) {
  if (n < 1) return "n must be at least 1";
  if (m == Method::gmres && n < 2)
    return "block GMRES needs n >= 2 (a cycle needs room for one basis vector beyond the block); "
           "use the symmetric or qmr method";
  if (bs > n) return "block_size must not exceed n";
  return {};
}

// Shared by bk_solve and bk_solve_csr once A (and A^T) are operators and
// the method is resolved.
int32_t solve_with(Method m, int32_t n, int32_t nrhs, const Operator& A, const Operator& At,
                   const bk_complex* B, int32_t ldb, bk_complex* X, int32_t ldx, const bk_options& o,
                   ReportOut& out, blockkrylov::Preconditioner* stock_preconditioner = nullptr) {
  if (nrhs < 1) return out.invalid(blockkrylov::to_string(m), "nrhs must be at least 1");
  const int bs = block_size_for(m, n, nrhs, o.block_size);
  if (std::string why = why_not(m, n, bs); !why.empty()) return out.invalid(blockkrylov::to_string(m), why);
  Options e = engine_options(o);
  if (stock_preconditioner != nullptr) e.preconditioner = std::move(*stock_preconditioner);
  Solver solver(m, n, bs, std::move(e));
  return run(solver, A, At, nrhs, B, ldb, X, ldx, out);
}

// CSR arrays checked and copied; columns sorted and duplicates summed when
// the caller's rows are not already so. Empty string when fine.
std::string read_csr(int32_t n, const int64_t* rowptr, const int32_t* colind, const bk_complex* values,
                     int32_t base, CsrMatrix& a) {
  if (n < 1) return "n must be at least 1";
  if (base != 0 && base != 1) return "base must be 0 or 1";
  if (rowptr == nullptr) return "rowptr must not be null";
  if (rowptr[0] != base) return "rowptr[0] must equal base";
  for (int32_t i = 0; i < n; ++i)
    if (rowptr[i + 1] < rowptr[i]) return "rowptr decreases at row " + std::to_string(i + base);
  const int64_t nnz = rowptr[n] - base;
  if (nnz > 0 && (colind == nullptr || values == nullptr)) return "colind and values must not be null";
  bool sorted = true;
  for (int32_t i = 0; i < n; ++i) {
    for (int64_t p = rowptr[i] - base; p < rowptr[i + 1] - base; ++p) {
      const int64_t c = static_cast<int64_t>(colind[p]) - base;
      if (c < 0 || c >= n)
        return "column index " + std::to_string(colind[p]) + " in row " + std::to_string(i + base) +
               " lies outside the matrix";
      if (p > rowptr[i] - base && colind[p] <= colind[p - 1]) sorted = false;
    }
  }
  if (sorted) {
    a.n = n;
    a.rowptr.resize(static_cast<std::size_t>(n) + 1);
    for (int32_t i = 0; i <= n; ++i) a.rowptr[i] = rowptr[i] - base;
    a.col.resize(static_cast<std::size_t>(nnz));
    for (int64_t p = 0; p < nnz; ++p) a.col[p] = colind[p] - base;
    a.val.assign(values, values + nnz);
    return {};
  }
  std::vector<int> rows(static_cast<std::size_t>(nnz)), cols(static_cast<std::size_t>(nnz));
  for (int32_t i = 0; i < n; ++i)
    for (int64_t p = rowptr[i] - base; p < rowptr[i + 1] - base; ++p) rows[p] = i, cols[p] = colind[p] - base;
  a = CsrMatrix::from_triplets(n, rows, cols, std::vector<complex>(values, values + nnz));
  return {};
}

// Runs `body`, turning an escaping exception into an invalid report.
template <class Body>
int32_t guarded(bk_report* report, const char* who, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ReportOut(report).invalid(who, "out of memory");
  } catch (const std::exception& e) {
    return ReportOut(report).invalid(who, e.what());
  } catch (...) {
    return ReportOut(report).invalid(who, "an unknown exception escaped an operator");
  }
}

}  // namespace

struct bk_solver {
  Solver solver;
};

extern "C" {

void bk_options_init_sized(bk_options* user, int32_t size) {
  if (user == nullptr || size < static_cast<int32_t>(sizeof user->size)) return;
  bk_options o;
  std::memset(&o, 0, sizeof o);
  const Options d;
  o.method = BK_AUTO;
  o.block_size = 0;
  o.restart = d.restart;
  o.rtol = d.rtol;
  o.atol = d.atol;
  o.max_products = d.max_products;
  o.max_iterations = d.max_iterations;
  o.deflation_tol = d.deflation_tol;
  o.max_breakdowns = d.max_breakdowns;
  o.precond = BK_PRECOND_NONE;
  o.omega = 1.0;
  o.drop_tol = 1e-3;
  o.fill = 5.0;
  o.size = std::min<int32_t>(size, sizeof o);
  std::memcpy(user, &o, static_cast<std::size_t>(o.size));
}

void bk_report_init_sized(bk_report* user, int32_t size) {
  if (user == nullptr || size < static_cast<int32_t>(sizeof user->size)) return;
  bk_report r;
  std::memset(&r, 0, sizeof r);
  r.status = BK_INVALID;
  r.size = std::min<int32_t>(size, sizeof r);
  std::memcpy(user, &r, static_cast<std::size_t>(r.size));
}

int32_t bk_solve(int32_t n, int32_t nrhs, const bk_operator* A, const bk_operator* At,
                 const bk_complex* B, int32_t ldb, bk_complex* X, int32_t ldx,
                 const bk_options* options, bk_report* report) {
  return guarded(report, "solve", [&] {
    ReportOut out(report);
    const bk_options o = read_options(options);
    if (std::string why = check_options(o); !why.empty()) return out.invalid("solve", why);
    if (o.precond != BK_PRECOND_NONE)
      return out.invalid("solve", "stock preconditioners are built from a CSR matrix: use bk_solve_csr");
    const bool at = At != nullptr && At->apply != nullptr;
    const Method m = o.method != BK_AUTO ? to_method(o.method)
                     : blockkrylov::auto_method(n, false, keeps_symmetry(o.preconditioner),
                                                at && has_transposes(o.preconditioner)).method;
    if (o.preconditioner != nullptr) out.preconditioner("user", 0.0);
    return solve_with(m, n, nrhs, wrap(A), wrap(At), B, ldb, X, ldx, o, out);
  });
}

int32_t bk_solve_csr(int32_t n, const int64_t* rowptr, const int32_t* colind, const bk_complex* values,
                     int32_t base, int32_t nrhs, const bk_complex* B, int32_t ldb, bk_complex* X,
                     int32_t ldx, const bk_options* options, bk_report* report) {
  return guarded(report, "solve", [&] {
    ReportOut out(report);
    const bk_options o = read_options(options);
    if (std::string why = check_options(o); !why.empty()) return out.invalid("solve", why);
    CsrMatrix a;
    if (std::string why = read_csr(n, rowptr, colind, values, base, a); !why.empty())
      return out.invalid("solve", why);
    const bool symmetric_preconditioner =
        o.preconditioner != nullptr ? o.preconditioner->symmetric != 0
                                    : o.precond != BK_PRECOND_ILU0 && o.precond != BK_PRECOND_ILUT;
    // (Every stock preconditioner has its transposed solves.)
    const Method m = o.method != BK_AUTO ? to_method(o.method)
                     : blockkrylov::auto_method(n, a.is_symmetric(), symmetric_preconditioner,
                                                has_transposes(o.preconditioner)).method;
    if (m == Method::symmetric && !symmetric_preconditioner)
      return out.invalid("symmetric", "an incomplete LU does not keep the operator complex-symmetric; use "
                                      "ic0, ict, jacobi or ssor, or the qmr or gmres method");
    const Operator opA = [&a](int k, const complex* x, complex* y) { a.multiply(k, x, y); };
    const Operator opAt = [&a](int k, const complex* x, complex* y) { a.multiply_transpose(k, x, y); };
    if (o.precond == BK_PRECOND_NONE) {
      if (o.preconditioner != nullptr) out.preconditioner("user", 0.0);
      return solve_with(m, n, nrhs, opA, opAt, B, ldb, X, ldx, o, out);
    }
    // A stock preconditioner, from A or from the matrix the caller gives.
    const auto t0 = std::chrono::steady_clock::now();
    CsrMatrix pm;
    if (o.precond_rowptr != nullptr) {
      if (std::string why = read_csr(n, o.precond_rowptr, o.precond_colind, o.precond_values, base, pm);
          !why.empty())
        return out.invalid("solve", "preconditioner matrix: " + why);
    }
    blockkrylov::Preconditioner p = stock(o.precond, o.precond_rowptr != nullptr ? pm : a, o);
    // Eisenstat's fused product holds only for a preconditioner built from A.
    if (o.precond_rowptr != nullptr) p.fused = p.fused_t = nullptr;
    out.preconditioner(p.name, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    return solve_with(m, n, nrhs, opA, opAt, B, ldb, X, ldx, o, out, &p);
  });
}

int32_t bk_solver_check(int32_t method, int32_t n, int32_t block_size, const bk_options* options,
                        bk_report* report) {
  ReportOut out(report);
  bk_options o = read_options(options);
  o.method = method;
  if (method == BK_AUTO) return out.invalid("solver", "a solver needs a method other than BK_AUTO");
  if (std::string why = check_options(o); !why.empty()) return out.invalid("solver", why);
  if (o.precond != BK_PRECOND_NONE)
    return out.invalid("solver", "stock preconditioners are built from a CSR matrix: use bk_solve_csr");
  const Method m = to_method(method);
  if (block_size < 0) return out.invalid(blockkrylov::to_string(m), "block_size must be >= 0");
  const int bs = block_size_for(m, n, block_size > 0 ? block_size : kDefaultBlockSize, block_size);
  if (std::string why = why_not(m, n, bs); !why.empty()) return out.invalid(blockkrylov::to_string(m), why);
  Report r;
  r.method = m;
  r.status = Status::converged;
  return out.fill(r, bs);
}

bk_solver* bk_solver_create(int32_t method, int32_t n, int32_t block_size, const bk_options* options) {
  if (bk_solver_check(method, n, block_size, options, nullptr) != BK_CONVERGED) return nullptr;
  const Method m = to_method(method);
  const int bs = block_size_for(m, n, block_size > 0 ? block_size : kDefaultBlockSize, block_size);
  try {
    return new bk_solver{Solver(m, n, bs, engine_options(read_options(options)))};
  } catch (...) {
    return nullptr;
  }
}

void bk_solver_destroy(bk_solver* solver) { delete solver; }

int32_t bk_solver_solve(bk_solver* solver, const bk_operator* A, const bk_operator* At, int32_t nrhs,
                        const bk_complex* B, int32_t ldb, bk_complex* X, int32_t ldx, bk_report* report) {
  if (solver == nullptr) return ReportOut(report).invalid("solver", "the solver is null");
  return guarded(report, blockkrylov::to_string(solver->solver.method()), [&] {
    ReportOut out(report);
    return run(solver->solver, wrap(A), wrap(At), nrhs, B, ldb, X, ldx, out);
  });
}

const char* bk_status_name(int32_t status) {
  switch (status) {
    case BK_CONVERGED: return "converged";
    case BK_MAX_PRODUCTS: return "max_products";
    case BK_BREAKDOWN: return "breakdown";
    case BK_STAGNATED: return "stagnated";
    case BK_STOPPED: return "stopped";
    case BK_MAX_ITERATIONS: return "max_iterations";
    case BK_INVALID: return "invalid";
  }
  return "unknown";
}

const char* bk_method_name(int32_t method) {
  switch (method) {
    case BK_AUTO: return "auto";
    case BK_SYMMETRIC: return "symmetric";
    case BK_QMR: return "qmr";
    case BK_GMRES: return "gmres";
  }
  return "unknown";
}

}  // extern "C"
