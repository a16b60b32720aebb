// bksolve: solves A X = B for a sparse complex A and s right-hand sides with
// the block Krylov solvers of blockkrylov, from Matrix Market files or on a
// built-in 2D Helmholtz problem.
//
//   bksolve                              the built-in problem (see --help)
//   bksolve A.mtx                        B = ones, method chosen from A
//   bksolve A.mtx -b B.mtx -o X.mtx      B from a file, X written to X.mtx
//   bksolve A.mtx --rhs solution --nrhs 4 --method gmres --json
//
// Preconditioning: --precond picks one of the stock preconditioners, built
// from A or from the matrix of --precond-matrix; without it bksolve takes
// `auto` (see precond_kind). Method "auto" takes the complex-symmetric solver
// when A equals its plain transpose and the preconditioner keeps it so
// (M2 = M1^T), and restarted block GMRES otherwise. B with more columns than
// the block size is solved block by block. Every figure in the summary is
// measured on the original system, whatever the preconditioner: the true
// relative residual ||b_j - A x_j|| / ||b_j|| of each column, and the relative
// error of each column when the solution is known (--rhs solution). So is
// convergence: the engine judges it on the true residual of A X = B.
//
// Exit status: 0 every column converged; 1 an input or output error (one
// message on standard error naming the file and line); 2 a usage error;
// 3 the solve ended without convergence (X is still written); 130 stopped by
// an interrupt. A failed run never leaves a partial output file: X is written
// to a temporary file beside the target and renamed into place.
//
// bksolve-mpi is this program built over the distributed kernel library
// (BLOCKKRYLOV_MPI): `mpirun -np N bksolve-mpi [the same options]`. Rank 0
// reads the files (or builds the problem) and sends every rank a contiguous
// block of rows, rank 0 the first; all ranks solve, with the products of the
// distributed matrix and a block Jacobi preconditioner (each rank's stock
// preconditioner of its diagonal block); rank 0 prints the summary and
// writes X, gathered from the ranks. Errors are found on rank 0 (or agreed
// by all ranks) and reported once, with the same exit status on every rank.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "blockkrylov/csr.hpp"
#include "blockkrylov/examples.hpp"
#include "blockkrylov/preconditioners.hpp"
#include "blockkrylov/solver.hpp"
#include "matrix_market.hpp"

#if BLOCKKRYLOV_MPI
#include <mpi.h>

#include "blockkrylov/distributed_csr.hpp"
#endif

namespace {

using blockkrylov::complex;
using blockkrylov::CsrMatrix;
using Clock = std::chrono::steady_clock;

constexpr int kExitConverged = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotConverged = 3;
constexpr int kExitInterrupted = 130;

// The built-in problem: -Laplace(u) - k^2 (1 + i damping) u on a 500 x 500
// grid with 8 point sources. k = 300 puts about ten grid points in a
// wavelength; with this damping and the default preconditioner (ict) the
// symmetric solver needs a few block steps for rtol 1e-6 (some 50 without
// one), a few seconds on two cores.
constexpr int kDefaultGrid = 500;
constexpr int kDefaultSources = 8;
constexpr double kDefaultWavenumber = 300.0;
constexpr double kDefaultDamping = 1.5;
constexpr double kDefaultProblemTol = 1e-6;
constexpr double kDefaultTol = 1e-8;

std::atomic<int> g_interrupts{0};

#if BLOCKKRYLOV_MPI
namespace bkmpi = blockkrylov::mpi;
int g_rank = 0, g_ranks = 1;
bool g_agreed = false;  // the error being reported was raised on every rank
bool is_root() { return g_rank == 0; }
#else
constexpr bool is_root() { return true; }
#endif

extern "C" void on_signal(int sig) {
  // First interrupt: ask the solve to stop at its next iteration. Second, or
  // a termination request: remove any half-written output and leave now.
  if (sig == SIGINT && g_interrupts.fetch_add(1) == 0) return;
  bksolve::remove_pending_output();
  std::_Exit(kExitInterrupted);
}

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Options that cannot work together or with the files given (status 2).
struct UsageError : Error {
  using Error::Error;
};

struct Settings {
  std::string matrix_file;
  std::string rhs_file;
  std::string rhs_kind;  // ones | random | point | solution (empty: default)
  int nrhs = 0;          // 0: default
  unsigned long seed = 1;
  std::string method = "auto";
  int restart = 0;  // 0: the engine's default, which grows with the block
  double rtol = 0.0;  // 0: default
  long max_products = 0;
  int block_size = 8;
  bool scale = false;    // the same as --precond jacobi
  std::string precond;   // none | jacobi | ssor | ic0 | ict | ilu0 | ilut | auto (empty: not given)
  std::string precond_file;
  double omega = 1.0;
  double drop_tol = 1e-3;
  double fill = 5.0;
  bool omega_given = false, drop_tol_given = false, fill_given = false;
  int threads = 0;
  bool quiet = false;
  bool json = false;
  std::string output;
  int grid = kDefaultGrid;
  double wavenumber = kDefaultWavenumber;
  double damping = kDefaultDamping;
};

struct Problem {
  std::string description;  // what is solved, one line
  std::string matrix_source;
  std::string rhs_description;
  CsrMatrix A;
  std::optional<CsrMatrix> P;  // the matrix of --precond-matrix
  int n = 0;
  std::int64_t nnz = 0;
  bool a_symmetric = false;    // A = A^T
  int s = 0;
  int rows = 0;                // rows of B, X_true and X held here (bksolve: n)
  std::vector<complex> B;      // rows x s
  std::vector<complex> Xtrue;  // rows x s when the solution is known
  bool known = false;          // the solution is known (--rhs solution)
#if BLOCKKRYLOV_MPI
  // This rank's rows. A and P above are rank 0's whole matrices until the
  // rows are sent; B and X_true then hold this rank's rows.
  bool p_symmetric = false;  // P = P^T
  bkmpi::RowSplit split;
  bkmpi::DistributedCsr dA;
  std::optional<bkmpi::DistributedCsr> dP;
#endif
};

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string fmt(const char* f, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

// A note on standard error. --quiet and --json leave standard error to the
// error message and the library's own records.
void note(const Settings& st, const std::string& text) {
  if (is_root() && !st.quiet && !st.json) std::fprintf(stderr, "bksolve: note: %s\n", text.c_str());
}

// Runs f where `here` (bksolve: always); an error it raises on any rank is
// raised on every rank, with the first such rank's message, so that all
// ranks end together with one report.
template <class F>
void agreed(bool here, F&& f) {
#if BLOCKKRYLOV_MPI
  std::string why;  // exit status digit, then the message
  if (here) {
    try {
      f();
    } catch (const UsageError& e) {
      why = std::to_string(kExitUsage) + e.what();
    } catch (const std::bad_alloc&) {
      why = std::to_string(kExitError) + "out of memory";
    } catch (const std::exception& e) {
      why = std::to_string(kExitError) + e.what();
    }
  }
  if (!bkmpi::detail::first_text(MPI_COMM_WORLD, why)) return;
  g_agreed = true;
  if (why[0] == '0' + kExitUsage) throw UsageError(why.substr(1));
  throw Error(why.substr(1));
#else
  (void)here;
  f();
#endif
}
template <class F>
void on_root(F&& f) { agreed(is_root(), f); }
template <class F>
void everywhere(F&& f) { agreed(true, f); }

// Whether v holds on some rank.
bool on_any_rank(bool v) {
#if BLOCKKRYLOV_MPI
  int x = v ? 1 : 0;
  MPI_Allreduce(MPI_IN_PLACE, &x, 1, MPI_INT, MPI_LOR, MPI_COMM_WORLD);
  return x != 0;
#else
  return v;
#endif
}

// ---------------------------------------------------------------------------
// Building the problem

// Refuses, before allocating, what would not fit in memory: a size line can
// claim more than the machine has, and zero-filling such an array would get
// the process killed instead of a message.
void require_memory(double bytes, const std::string& what) {
  const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return;
  const double have = static_cast<double>(pages) * static_cast<double>(page);
  if (bytes > 0.8 * have)
    throw Error(what + " needs about " + fmt("%.1f", bytes / 1e9) + " GB, more than this machine's " +
                fmt("%.1f", have / 1e9) + " GB");
}

// Memory of a solve with s columns of n unknowns, blocks of at most b: B, X,
// the residual and a known solution (4 n s) and the solver's work arrays
// (some 12 n x b blocks for the largest method).
double solve_bytes(int n, int s, int b) {
  return 16.0 * n * (4.0 * s + 12.0 * std::min(s, b));
}

// The matrix `name` (A, or P for the preconditioner) of a file; its order
// comes from the size line.
CsrMatrix matrix_from_file(const std::string& path, const std::string& name) {
  bksolve::MatrixMarket mm = bksolve::read_matrix_market(path);
  if (!mm.is_square())
    throw Error(path + ": the matrix is " + std::to_string(mm.rows) + " x " + std::to_string(mm.cols) +
                ", but " + name + " must be square");
  if (mm.rows == 0) throw Error(path + ": the matrix is empty (0 x 0)");
  const int n = mm.rows;
  std::vector<int> r, c;
  std::vector<complex> v;
  mm.to_triplets(r, c, v);
  // Every row of a nonsingular matrix holds a nonzero entry. With fewer
  // entries than rows some row has none, and the first such row is among the
  // first m + 1 rows (m entries): it is named here, before assembly, whose
  // row pointers alone could exceed memory when the size line claims a huge n.
  const auto empty_row = [&path, &name](std::int64_t i) {
    return Error(path + ": row " + std::to_string(i + 1) + " of " + name + " holds no nonzero entry, so " + name +
                 " is singular");
  };
  if (static_cast<std::int64_t>(v.size()) < n) {
    std::vector<char> seen(v.size() + 1, 0);
    for (int i : r)
      if (static_cast<size_t>(i) < seen.size()) seen[static_cast<size_t>(i)] = 1;
    throw empty_row(std::find(seen.begin(), seen.end(), 0) - seen.begin());
  }
  mm = bksolve::MatrixMarket();
  CsrMatrix A = CsrMatrix::from_triplets(n, r, c, v);
  // Entries that are finite on their own may still sum to an overflow, and
  // duplicates or explicit zeros may leave a row without a nonzero entry.
  for (int i = 0; i < n; ++i) {
    bool nonzero = false;
    for (std::int64_t q = A.rowptr[i]; q < A.rowptr[i + 1]; ++q) {
      const complex a = A.val[q];
      if (!std::isfinite(a.real()) || !std::isfinite(a.imag()))
        throw Error(path + ": duplicate entries sum to a value that is not finite");
      nonzero = nonzero || a != complex(0.0, 0.0);
    }
    if (!nonzero) throw empty_row(i);
  }
  return A;
}

std::vector<complex> random_block(int n, int s, unsigned long seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<complex> x(static_cast<size_t>(n) * s);
  for (auto& v : x) {
    const double re = u(gen);
    v = complex(re, u(gen));
  }
  return x;
}

void build_rhs(const Settings& st, Problem& p, bool builtin) {
  const int n = p.n;
  if (!st.rhs_file.empty()) {
    bksolve::MatrixMarket mm = bksolve::read_matrix_market(st.rhs_file);
    if (mm.rows != n)
      throw Error(st.rhs_file + ": B has " + std::to_string(mm.rows) + " rows, but A has " + std::to_string(n));
    if (mm.cols == 0) throw Error(st.rhs_file + ": B has no columns");
    require_memory(solve_bytes(n, mm.cols, st.block_size), "B with " + std::to_string(mm.cols) + " columns");
    p.s = mm.cols;
    p.B = mm.to_dense();
    p.rhs_description = "B from " + st.rhs_file;
    return;
  }
  const std::string kind = !st.rhs_kind.empty() ? st.rhs_kind : builtin ? "point" : "ones";
  const int s = st.nrhs > 0 ? st.nrhs : builtin ? kDefaultSources : 1;
  require_memory(solve_bytes(n, s, st.block_size), "B with " + std::to_string(s) + " columns");
  p.s = s;
  const std::string cols = std::to_string(s) + (s == 1 ? " column" : " columns");
  if (kind == "ones") {
    p.B.assign(static_cast<size_t>(n) * s, complex(1.0, 0.0));
    p.rhs_description = "B = ones (" + cols + ")";
  } else if (kind == "random") {
    p.B = random_block(n, s, st.seed);
    p.rhs_description = "B random, seed " + std::to_string(st.seed) + " (" + cols + ")";
  } else if (kind == "point") {
    if (builtin) {
      p.B = blockkrylov::examples::point_sources(st.grid, st.grid, s);
    } else {
      p.B.assign(static_cast<size_t>(n) * s, complex(0.0, 0.0));
      for (int j = 0; j < s; ++j) {
        const long i = static_cast<long>((j + 0.5) * static_cast<double>(n) / s);
        p.B[static_cast<size_t>(j) * n + static_cast<size_t>(std::min<long>(i, n - 1))] = 1.0;
      }
    }
    p.rhs_description = std::to_string(s) + (s == 1 ? " point source" : " point sources");
  } else {  // solution
    p.known = true;
    p.Xtrue = random_block(n, s, st.seed);
    p.B.resize(static_cast<size_t>(n) * s);
    p.A.multiply(s, p.Xtrue.data(), p.B.data());
    p.rhs_description = "B = A X_true, X_true random, seed " + std::to_string(st.seed) + " (" + cols + ")";
  }
}

Problem build_problem(const Settings& st) {
  Problem p;
  const bool builtin = st.matrix_file.empty();
  if (builtin) {
    const double n = static_cast<double>(st.grid) * st.grid;
    require_memory(n * (5 * 20.0 + 8.0) + solve_bytes(static_cast<int>(n), std::max(st.nrhs, kDefaultSources),
                                                      st.block_size),
                   "the built-in problem on a " + std::to_string(st.grid) + " x " + std::to_string(st.grid) + " grid");
    p.A = blockkrylov::examples::helmholtz_2d(st.grid, st.grid, st.wavenumber, st.damping);
    p.matrix_source = "built-in";
    p.description = "2D Helmholtz -Laplace(u) - k^2 (1 + " + fmt("%g", st.damping) + "i) u, k = " +
                    fmt("%g", st.wavenumber) + ", " + std::to_string(st.grid) + " x " + std::to_string(st.grid) +
                    " grid, Dirichlet (complex-symmetric, indefinite)";
  } else {
    p.A = matrix_from_file(st.matrix_file, "A");
    p.matrix_source = st.matrix_file;
    p.description = "A from " + st.matrix_file;
  }
  p.n = p.rows = p.A.n;
  p.nnz = p.A.nnz();
  if (!st.precond_file.empty()) {
    p.P = matrix_from_file(st.precond_file, "P");
    if (p.P->n != p.n)
      throw UsageError("--precond-matrix " + st.precond_file + ": P has order " + std::to_string(p.P->n) +
                       ", but A has order " + std::to_string(p.n));
  }
  build_rhs(st, p, builtin);
  return p;
}

// ---------------------------------------------------------------------------
// Progress line on standard error

class ProgressLine {
 public:
  explicit ProgressLine(bool enabled) : enabled_(enabled) {}
  bool update(const blockkrylov::Progress& p) {
    if (g_interrupts.load() > 0) return false;
    if (!enabled_) return true;
    const auto now = Clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(100)) return true;
    last_ = now;
    char block[40] = "";
    if (p.blocks > 1) std::snprintf(block, sizeof block, "block %d/%d  ", p.block, p.blocks);
    char line[240];
    if (p.predicted > 0 && p.percent > 0)
      std::snprintf(line, sizeof line, "\r%s  %sit %ld  products %ld  residual %.2e  %3.0f%% of ~%d it\033[K",
                    blockkrylov::to_string(p.method), block, p.iteration, p.products, p.estimate,
                    p.percent, p.predicted);
    else
      std::snprintf(line, sizeof line, "\r%s  %sit %ld  products %ld  residual %.2e\033[K",
                    blockkrylov::to_string(p.method), block, p.iteration, p.products, p.estimate);
    std::fputs(line, stderr);
    std::fflush(stderr);
    shown_ = true;
    return true;
  }
  void clear() {
    if (shown_) {
      std::fputs("\r\033[K", stderr);
      std::fflush(stderr);
    }
    shown_ = false;
  }

 private:
  bool enabled_;
  bool shown_ = false;
  Clock::time_point last_{};
};

// ---------------------------------------------------------------------------
// Preconditioner and method

// The preconditioner of a solve (empty for none), with the time its build
// took; pc.name is how the summary names it.
struct Precond {
  blockkrylov::Preconditioner pc;
  double seconds = 0.0;
};

// The preconditioner asked for. Without --precond (or --scale, the same as
// --precond jacobi) bksolve takes `auto` whatever the method: a stock
// factorisation usually cuts the products several-fold for a build of a few
// block steps, and `auto` picks only what suits the matrix (see
// build_preconditioner for the one case where it must defer to the method).
std::string precond_kind(const Settings& st) {
  if (st.scale) return "jacobi";
  return st.precond.empty() ? "auto" : st.precond;
}

// --method symmetric needs A = A^T; checked before a preconditioner is built.
void check_method(const Settings& st, bool a_symmetric) {
  if (st.method == "symmetric" && !a_symmetric)
    throw Error("the matrix is not complex-symmetric (A differs from its transpose); "
                "--method symmetric needs A = A^T: use --method qmr or gmres");
}

// Builds the preconditioner from P (--precond-matrix) or A. The symmetric
// method takes only M = M1 M1^T (M2 = M1^T), so that the preconditioned
// operator stays complex-symmetric.
Precond build_preconditioner(const Settings& st, const Problem& p, bool symmetric_method) {
  namespace pre = blockkrylov::precond;
  const std::string kind = precond_kind(st);
  Precond out;
  out.pc.name = "none";
  if (kind == "none") return out;
  const bool from_p = !st.precond_file.empty();
  const std::string option = "--precond " + kind + (from_p ? " with --precond-matrix " + st.precond_file : "");
  // The stock preconditioner of m: of the whole matrix, or in bksolve-mpi
  // of this rank's diagonal block (block Jacobi over the ranks), in which
  // case the symmetry of the whole matrix is known beforehand.
  const auto make = [&](const CsrMatrix& m) {
    if (kind == "jacobi") return pre::jacobi(m);
    if (kind == "ssor") return pre::ssor(m, st.omega);
    if (kind == "ic0") return pre::ic0(m);
    if (kind == "ict") return pre::ict(m, st.drop_tol, st.fill);
    if (kind == "ilu0") return pre::ilu0(m);
    if (kind == "ilut") return pre::ilut(m, st.drop_tol, st.fill);
#if BLOCKKRYLOV_MPI
    const bool m_symmetric = from_p ? p.p_symmetric : p.a_symmetric;
#else
    const bool m_symmetric = !symmetric_method || m.is_symmetric();
#endif
    if (symmetric_method && !m_symmetric) {
      // automatic() takes an incomplete L U for P != P^T, which the
      // symmetric method cannot use; jacobi is complex-symmetric for any P.
      blockkrylov::Preconditioner pc = pre::jacobi(m);
      pc.name = "auto: jacobi (P != P^T, and the symmetric method needs M2 = M1^T)";
      return pc;
    }
    return pre::automatic(m);
  };
  const auto t0 = Clock::now();
  try {
#if BLOCKKRYLOV_MPI
    out.pc = bkmpi::block_jacobi(MPI_COMM_WORLD, (p.dP ? *p.dP : p.dA).diagonal_block(), make);
#else
    out.pc = make(p.P ? *p.P : p.A);
#endif
  } catch (const std::invalid_argument& e) {
    std::string why = e.what();  // "<kind>: <reason>"
    if (why.rfind(kind + ": ", 0) == 0) why.erase(0, kind.size() + 2);
    throw UsageError(option + ": " + why);
  }
  out.seconds = seconds_since(t0);
  if (symmetric_method && !out.pc.symmetric)
    throw UsageError(option + ": the preconditioner is not complex-symmetric (M2 != M1^T), which --method "
                     "symmetric needs: use --method qmr or gmres");
  if (from_p) {
    // The fused product stands for M1^-1 P M2^-1: with P in place of A it
    // would solve another system.
    out.pc.fused = nullptr;
    out.pc.fused_t = nullptr;
    out.pc.name += " from " + st.precond_file;
  }
  if (st.scale) out.pc.name += " (--scale)";
  return out;
}

// The method: the one asked for, or auto's choice (the library's rule; the
// summary says why). The two-sided method always has its transposes here:
// products with A^T of the CSR matrix, and every stock preconditioner's.
blockkrylov::MethodChoice choose_method(const Settings& st, const Problem& p, bool a_symmetric, const Precond& pre) {
  if (st.method == "symmetric") return {blockkrylov::Method::symmetric, ""};
  if (st.method == "qmr") return {blockkrylov::Method::qmr, ""};
  if (st.method == "gmres") {
    // Block GMRES needs room for one basis vector beyond its block, so not
    // even a single column fits when n = 1; the two-sided method takes s = n.
    if (p.n > 1) return {blockkrylov::Method::gmres, ""};
    note(st, "block GMRES needs more than one unknown; solving the 1 x 1 system with qmr");
    return {blockkrylov::Method::qmr, ""};
  }
  const bool keeps = pre.pc.empty() || pre.pc.symmetric;
  return blockkrylov::auto_method(p.n, a_symmetric, keeps, true);
}

// Columns solved together: at most --block-size and s, and at most n (a
// Lanczos block may span the whole space). Block GMRES takes at most n / 2:
// its basis holds at least twice the block and at most n vectors. A block of
// n - 1 columns is accepted too, but each cycle then adds a single direction
// and the solve needs several times the products, often more than the limit.
// With rows split over ranks one row fewer counts: rank 0 holds one row more
// than the basis (or a block of several columns) has vectors.
int block_columns(const Settings& st, const Problem& p, blockkrylov::Method method, bool tell = true) {
  const bool gmres = method == blockkrylov::Method::gmres;
#if BLOCKKRYLOV_MPI
  const int rows = p.n - (g_ranks > 1 && p.n > 1 ? 1 : 0);
#else
  const int rows = p.n;
#endif
  const int cap = std::max(1, gmres ? rows / 2 : rows);
  const int want = std::min(st.block_size, p.s);
  if (want <= cap) return want;
  if (tell)
    note(st, "blocks of at most " + std::to_string(cap) + (cap == 1 ? " column: " : " columns: ") +
                 (gmres ? "the block GMRES basis holds twice the block within the " + std::to_string(rows) + " unknowns"
                        : "A has " + std::to_string(p.n) + (p.n == 1 ? " row" : " rows")) +
                 (rows < p.n ? " (one fewer with the rows split over ranks)" : ""));
  return cap;
}

#if BLOCKKRYLOV_MPI
// Tells every rank what rank 0 knows of the problem and gives every rank
// its rows: contiguous blocks as even as possible, except that block GMRES
// (and a Lanczos block of several columns) needs rank 0 to hold more rows
// than its basis (block) has vectors (columns).
void distribute(Settings& st, Problem& p) {
  const MPI_Comm comm = MPI_COMM_WORLD;
  if (is_root()) p.p_symmetric = p.P && p.P->is_symmetric();
  long long v[7] = {p.n, p.nnz, p.s, p.a_symmetric, p.p_symmetric, p.P.has_value(), p.known};
  MPI_Bcast(v, 7, MPI_LONG_LONG, 0, comm);
  p.n = static_cast<int>(v[0]), p.nnz = v[1], p.s = static_cast<int>(v[2]);
  p.a_symmetric = v[3] != 0, p.p_symmetric = v[4] != 0, p.known = v[6] != 0;
  const bool has_p = v[5] != 0;

  int need = 0;
  if (g_ranks > 1) {
    using blockkrylov::Method;
    const bool gmres = st.method == "gmres" && p.n > 1;  // auto takes GMRES only without transposes
    const Method m = gmres ? Method::gmres : Method::symmetric;
    const int b = block_columns(st, p, m, false);
    if (gmres && blockkrylov::gmres_basis_capacity(p.n, b, st.restart) >= p.n) {
      st.restart = p.n - 1;
      note(st, "the GMRES basis holds at most n - 1 = " + std::to_string(p.n - 1) +
                   " vectors with the rows split over ranks (--restart " + std::to_string(p.n - 1) + ")");
    }
    need = blockkrylov::root_rows_needed(m, p.n, b, st.restart);
    if (need > (p.n + g_ranks - 1) / g_ranks)
      note(st, "rank 0 holds " + std::to_string(need) + " of the " + std::to_string(p.n) + " rows: " +
                   (gmres ? "block GMRES keeps the pivot rows of its basis of " + std::to_string(need - 1) + " vectors"
                          : "the deflation test of a block of " + std::to_string(b) + " columns keeps their pivot rows") +
                   " there; the other ranks share the rest");
  }
  p.split = bkmpi::RowSplit::even(p.n, g_ranks, need);
  p.dA = bkmpi::DistributedCsr::scatter(comm, p.A, p.split.counts);
  if (has_p) p.dP = bkmpi::DistributedCsr::scatter(comm, p.P ? *p.P : CsrMatrix(), p.split.counts);
  p.A = CsrMatrix(), p.P.reset();  // rank 0 keeps no whole matrix
  p.B = bkmpi::scatter_rows(comm, p.split, p.s, p.B.data(), p.n);
  if (p.known) p.Xtrue = bkmpi::scatter_rows(comm, p.split, p.s, p.Xtrue.data(), p.n);
  p.rows = p.dA.rows();
}
#endif

// ---------------------------------------------------------------------------
// Solving

// What a solve produced: the engine's report (its residuals recomputed here
// from X), X, and what only bksolve measures.
struct Solution {
  blockkrylov::Report report;
  std::string method_why;         // why auto chose the method (empty: asked for)
  int block_size = 1;             // columns solved together, as used
  std::vector<complex> X;         // n x s (bksolve-mpi: on rank 0, when written)
  std::vector<double> errors;     // relative error per column (when known)
  double seconds = 0.0;
};

// Norms of the s columns of x (n rows here; over all ranks in bksolve-mpi).
std::vector<double> column_norms(int n, int s, const complex* x) {
  std::vector<double> r(static_cast<size_t>(s));
  for (int j = 0; j < s; ++j) {
    double acc = 0.0;
    const complex* c = x + static_cast<size_t>(j) * n;
    for (int i = 0; i < n; ++i) acc += std::norm(c[i]);
    r[j] = acc;
  }
#if BLOCKKRYLOV_MPI
  MPI_Allreduce(MPI_IN_PLACE, r.data(), s, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
#endif
  for (double& v : r) v = std::sqrt(v);
  return r;
}

// ||b_j - A x_j|| / ||b_j|| for the k columns of B and X (n rows, leading
// dimension n); ||b_j - A x_j|| itself for a zero b_j.
std::vector<double> relative_residuals(const blockkrylov::Operator& A, int n, int k, const complex* B,
                                       const complex* X) {
  std::vector<complex> R(static_cast<size_t>(n) * k);
  A(k, X, R.data());
  for (size_t q = 0; q < R.size(); ++q) R[q] = B[q] - R[q];
  std::vector<double> r = column_norms(n, k, R.data());
  const std::vector<double> bn = column_norms(n, k, B);
  for (int j = 0; j < k; ++j)
    if (bn[j] > 0.0) r[j] /= bn[j];
  return r;
}

// How a solve ended, from the engine's message "[block b of m: ]<method>:
// <how>; <figures>", without the method's name.
std::string how_it_ended(const std::string& message, blockkrylov::Method method) {
  std::string m = message;
  const std::string name = std::string(blockkrylov::to_string(method)) + ": ";
  if (const auto at = m.find(name); at != std::string::npos) m.erase(at, name.size());
  return m.substr(0, m.find("; "));
}

Solution solve(const Settings& st, const Problem& p, blockkrylov::Method method, const Precond& pre, double rtol) {
  Solution out;
  const int n = p.rows, s = p.s;
#if BLOCKKRYLOV_MPI
  const bkmpi::DistributedCsr& A = p.dA;
#else
  const CsrMatrix& A = p.A;
#endif
  blockkrylov::Operator op = [&A](int k, const complex* x, complex* y) { A.multiply(k, x, y); };
  blockkrylov::Operator opt = [&A](int k, const complex* x, complex* y) { A.multiply_transpose(k, x, y); };

  ProgressLine line(is_root() && !st.quiet && !st.json && ::isatty(STDERR_FILENO));
  blockkrylov::Options options;
  options.rtol = rtol;
  options.max_products = st.max_products;
  options.restart = st.restart;
  options.threads = st.threads;
  options.progress = [&line](const blockkrylov::Progress& pr) { return line.update(pr); };
  options.preconditioner = pre.pc;

  out.block_size = block_columns(st, p, method);
  blockkrylov::Solver solver(method, n, out.block_size, options);
  out.X.assign(static_cast<size_t>(n) * s, complex(0.0, 0.0));
  const auto t0 = Clock::now();
  blockkrylov::Report& rep = out.report;
  rep = solver.solve(op, opt, s, p.B.data(), n, out.X.data(), n);
  out.seconds = seconds_since(t0);
  line.clear();

  // The engine judges convergence on the true residual of A X = B, also with
  // a preconditioner; the residuals reported are recomputed from X, so they
  // are there whatever happened to the solve.
  rep.residuals = relative_residuals(op, n, s, p.B.data(), out.X.data());
  if (p.known) {
    std::vector<complex> E(out.X.size());
    for (size_t q = 0; q < E.size(); ++q) E[q] = out.X[q] - p.Xtrue[q];
    const std::vector<double> en = column_norms(n, s, E.data()), xn = column_norms(n, s, p.Xtrue.data());
    out.errors.resize(static_cast<size_t>(s));
    for (int j = 0; j < s; ++j) out.errors[j] = xn[j] > 0.0 ? en[j] / xn[j] : en[j];
  }
  // One line on the whole solve: how it ended, the figures of all blocks,
  // and the largest residual.
  const double worst = *std::max_element(rep.residuals.begin(), rep.residuals.end());
  rep.message = std::string(blockkrylov::to_string(method)) + ": " +
                (rep.converged ? "converged" : how_it_ended(rep.message, method)) + "; " +
                std::to_string(rep.iterations) + " iterations, " + std::to_string(rep.products) + " products, " +
                std::to_string(rep.restarts) + " restarts" +
                (rep.breakdowns > 0 ? ", " + std::to_string(rep.breakdowns) + " breakdowns" : "") +
                "; largest relative residual " + fmt("%.3g", worst) + " (rtol " + fmt("%.3g", rtol) + ")";
#if BLOCKKRYLOV_MPI
  if (!st.output.empty()) out.X = bkmpi::gather_rows(MPI_COMM_WORLD, p.split, s, out.X.data());
#endif
  return out;
}

// ---------------------------------------------------------------------------
// Output

const char* method_title(blockkrylov::Method m) {
  switch (m) {
    case blockkrylov::Method::symmetric: return "block QMR, complex-symmetric Lanczos";
    case blockkrylov::Method::qmr: return "block QMR, two-sided Lanczos";
    case blockkrylov::Method::gmres: return "restarted block GMRES, Householder basis";
  }
  return "";
}

int threads_in_use() {
#ifdef _OPENMP
  return omp_get_max_threads();
#else
  return 1;
#endif
}

void print_summary(std::FILE* f, const Settings& st, const Problem& p, const Precond& pre, const Solution& sol,
                   double rtol, double setup_seconds) {
  const blockkrylov::Report& o = sol.report;
  std::fprintf(f, "method      %s (%s)\n", blockkrylov::to_string(o.method), method_title(o.method));
  if (!sol.method_why.empty()) std::fprintf(f, "            auto: %s\n", sol.method_why.c_str());
  if (o.method == blockkrylov::Method::gmres)
    std::fprintf(f, "restart     %d\n", blockkrylov::gmres_basis_capacity(p.n, sol.block_size, st.restart));
  std::fprintf(f, "n           %d\n", p.n);
  std::fprintf(f, "nnz         %lld\n", static_cast<long long>(p.nnz));
#if BLOCKKRYLOV_MPI
  std::fprintf(f, "ranks       %d (rows", g_ranks);
  if (g_ranks <= 8)
    for (int c : p.split.counts) std::fprintf(f, " %d", c);
  else
    std::fprintf(f, ": rank 0 %d, the others %d to %d", p.split.counts[0],
                 *std::min_element(p.split.counts.begin() + 1, p.split.counts.end()),
                 *std::max_element(p.split.counts.begin() + 1, p.split.counts.end()));
  std::fprintf(f, ")\n");
#endif
  std::fprintf(f, "s           %d", p.s);
  if (o.blocks > 1) std::fprintf(f, " (in %d blocks of at most %d)", o.blocks, sol.block_size);
  std::fprintf(f, "\n");
  std::fprintf(f, "precond     %s\n", pre.pc.name.c_str());
  std::fprintf(f, "iterations  %ld\n", o.iterations);
  std::fprintf(f, "products    %ld\n", o.products);
  if (o.restarts > 0) std::fprintf(f, "restarts    %d\n", o.restarts);
  if (o.breakdowns > 0) std::fprintf(f, "breakdowns  %d\n", o.breakdowns);
  std::fprintf(f, "time        %.3f s solve, %.3f s setup, %.3f s preconditioner, %d threads\n", sol.seconds,
               setup_seconds, pre.seconds, threads_in_use());
  if (o.converged)
    std::fprintf(f, "status      converged (rtol %.1e)\n", rtol);
  else
    std::fprintf(f, "status      NOT converged (rtol %.1e): %s\n", rtol, o.message.c_str());
  const bool known = p.known;
  std::fprintf(f, known ? "column   true rel. residual    rel. error\n" : "column   true rel. residual\n");
  for (int j = 0; j < p.s; ++j) {
    if (known)
      std::fprintf(f, "%-8d %-21.3e %.3e\n", j + 1, o.residuals[j], sol.errors[j]);
    else
      std::fprintf(f, "%-8d %.3e\n", j + 1, o.residuals[j]);
  }
  if (!st.output.empty()) std::fprintf(f, "solution    written to %s\n", st.output.c_str());
}

nlohmann::json json_summary(const Settings& st, const Problem& p, const Precond& pre, const Solution& sol,
                            double rtol, double setup_seconds) {
  const blockkrylov::Report& o = sol.report;
  nlohmann::json j;
  j["problem"] = p.description;
  j["matrix"] = p.matrix_source;
  j["rhs"] = p.rhs_description;
  j["method"] = blockkrylov::to_string(o.method);
  if (!sol.method_why.empty()) j["method_choice"] = sol.method_why;
  if (o.method == blockkrylov::Method::gmres)
    j["restart"] = blockkrylov::gmres_basis_capacity(p.n, sol.block_size, st.restart);
  j["n"] = p.n;
  j["nnz"] = p.nnz;
#if BLOCKKRYLOV_MPI
  j["ranks"] = g_ranks;
  j["rows_per_rank"] = p.split.counts;
#endif
  j["s"] = p.s;
  j["block_size"] = sol.block_size;
  j["preconditioner"] = pre.pc.name;
  if (!st.precond_file.empty()) j["precond_matrix"] = st.precond_file;
  j["scaled"] = precond_kind(st) == "jacobi";  // kept for readers of the output before --precond
  j["rtol"] = rtol;
  j["converged"] = o.converged;
  j["status"] = blockkrylov::to_string(o.status);
  j["message"] = o.message;
  j["iterations"] = o.iterations;
  j["products"] = o.products;
  j["restarts"] = o.restarts;
  j["breakdowns"] = o.breakdowns;
  j["solve_seconds"] = sol.seconds;
  j["setup_seconds"] = setup_seconds;
  j["precond_seconds"] = pre.seconds;
  j["threads"] = threads_in_use();
  j["residuals"] = o.residuals;
  if (!sol.errors.empty()) j["errors"] = sol.errors;
  if (!st.output.empty()) j["output"] = st.output;
  return j;
}

// ---------------------------------------------------------------------------
// Command line

// Whether two paths name the same file (device and inode): another spelling,
// a hard link or a symbolic link is caught as well.
bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// What the options alone show cannot work, found before any work is done.
void check_before_solving(const Settings& st) {
  // X is renamed over the -o file, which would replace an input by it.
  for (const std::string& in : {st.matrix_file, st.rhs_file, st.precond_file})
    if (!st.output.empty() && !in.empty() && same_file(st.output, in))
      throw UsageError("-o " + st.output + " is the input file " + in + "; X would replace it");
  if (!st.output.empty()) bksolve::check_output_path(st.output);
  // Point sources on the built-in grid sit at distinct grid points.
  const bool points = st.rhs_file.empty() && (st.rhs_kind.empty() || st.rhs_kind == "point");
  const long cells = static_cast<long>(st.grid) * st.grid;
  if (st.matrix_file.empty() && points && st.nrhs > cells)
    throw UsageError("--nrhs " + std::to_string(st.nrhs) + ": the " + std::to_string(st.grid) + " x " +
                     std::to_string(st.grid) + " grid has only " + std::to_string(cells) +
                     " points for point sources");
  // Preconditioner options that the chosen one would not use, or that the
  // method cannot take.
  const std::string kind = precond_kind(st);
  if (st.scale && !st.precond.empty() && st.precond != "jacobi")
    throw UsageError("--scale is --precond jacobi; it cannot be combined with --precond " + st.precond);
  if (st.omega_given && kind != "ssor")
    throw UsageError("--omega applies to --precond ssor only, not " + kind);
  if ((st.drop_tol_given || st.fill_given) && kind != "ict" && kind != "ilut")
    throw UsageError(std::string(st.drop_tol_given ? "--drop-tol" : "--fill") +
                     " applies to --precond ict and ilut only, not " + kind +
                     (kind == "auto" ? " (which uses drop 1e-3 and fill 5)" : ""));
  if (kind == "none" && !st.precond_file.empty())
    throw UsageError("--precond-matrix " + st.precond_file + " is unused with --precond none");
  if (st.method == "symmetric" && (kind == "ilu0" || kind == "ilut"))
    throw UsageError("--precond " + kind + " is not complex-symmetric (M = L U with U != L^T), which --method "
                     "symmetric needs: use ic0, ict, ssor or jacobi, or --method qmr or gmres");
}

// A finite number, positive or at least zero: NaN and infinities pass a
// plain range check and would only fail deep inside the solve.
CLI::Validator finite_number(bool positive) {
  return CLI::Validator(
      [positive](std::string& v) -> std::string {
        double x = 0;
        std::istringstream in(v);
        if (!(in >> x) || !std::isfinite(x) || x < 0 || (positive && x == 0))
          return std::string(positive ? "must be a positive finite number" : "must be a finite number >= 0") +
                 ", not " + v;
        return {};
      },
      positive ? "POSITIVE" : "NONNEGATIVE");
}

void define_options(CLI::App& app, Settings& st) {
  app.add_option("matrix", st.matrix_file,
                 "Matrix Market file with the square matrix A (coordinate or array; real, integer, complex or "
                 "pattern; general, symmetric, skew-symmetric or hermitian). Without it, bksolve solves its "
                 "built-in 2D Helmholtz problem.");
  auto* bfile = app.add_option("-b,--rhs-file", st.rhs_file, "Matrix Market file with B (n rows, s columns)");
  auto* kind = app.add_option("--rhs", st.rhs_kind,
                              "generate B: ones, random, point (unit vectors spread over the unknowns; point "
                              "sources on the built-in grid) or solution (B = A X_true for a random X_true, so "
                              "that the error can be reported) [default: ones; point for the built-in problem]")
                   ->check(CLI::IsMember({"ones", "random", "point", "solution"}));
  auto* nrhs = app.add_option("--nrhs", st.nrhs, "columns of a generated B [default: 1; 8 for the built-in problem]")
                   ->check(CLI::Range(1, 100000));
  app.add_option("--seed", st.seed, "seed of the random B or X_true")->capture_default_str();
  bfile->excludes(kind)->excludes(nrhs);
  app.add_option("-m,--method", st.method,
                 "symmetric (A must equal its transpose), qmr (two-sided, general A), gmres, or auto "
                 "(symmetric when A = A^T and the preconditioner keeps it so, else qmr, the fastest for general A "
                 "in the benchmarks; the summary says why)")
      ->check(CLI::IsMember({"auto", "symmetric", "qmr", "gmres"}))
      ->capture_default_str();
  app.add_option("--restart", st.restart,
                 "GMRES basis size per cycle (at least twice the block size, at most n) [default: 60 per kept "
                 "column of the block, at least 60, within a basis of 2 GiB]")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  app.add_option("-t,--rtol", st.rtol,
                 "relative tolerance per column: ||b_j - A x_j|| <= rtol ||b_j|| [default: 1e-8; 1e-6 for the "
                 "built-in problem]")
      ->check(finite_number(true));
  app.add_option("--max-products", st.max_products,
                 "limit on products with A (and A^T) per block, one per column [default: 10 n s, at least 1000]")
      ->check(CLI::Range(1L, 1000000000000L));
  app.add_option("-k,--block-size", st.block_size, "right-hand sides solved together; B is split into blocks of this size")
      ->check(CLI::Range(1, 1024))
      ->capture_default_str();
  app.add_option("--precond", st.precond,
                 "preconditioner: none, jacobi, ssor, ic0 or ict (complex-symmetric A ~ L D L^T), ilu0 or ilut "
                 "(A ~ L U; not with --method symmetric), or auto (ict when A = A^T, else ilut, each replaced by "
                 "its zero-fill variant when unstable) [default: auto]")
      ->check(CLI::IsMember({"none", "jacobi", "ssor", "ic0", "ict", "ilu0", "ilut", "auto"}));
  app.add_option("--omega", st.omega, "SSOR relaxation, in (0, 2) [default: 1]")
      ->check(CLI::Validator(
          [](std::string& v) -> std::string {
            double x = 0;
            std::istringstream in(v);
            return in >> x && x > 0 && x < 2 ? "" : "must lie in (0, 2), not " + v;
          },
          "(0, 2)"));
  app.add_option("--drop-tol", st.drop_tol,
                 "ict, ilut: drop entries below this times the norm of their row of A [default: 1e-3]")
      ->check(finite_number(false));
  app.add_option("--fill", st.fill,
                 "ict, ilut: keep at most fill times the row's entries of A in each triangle, plus one "
                 "[default: 5]")
      ->check(finite_number(false));
  app.add_option("--precond-matrix", st.precond_file,
                 "build the preconditioner from this Matrix Market matrix (same order as A) instead of A");
  app.add_flag("--scale", st.scale, "the same as --precond jacobi (symmetric diagonal scaling)");
  app.add_option("-j,--threads", st.threads, "OpenMP threads [default: the OpenMP default]")->check(CLI::Range(1, 4096));
  app.add_option("-o,--output", st.output, "write X to this Matrix Market array file");
  app.add_flag("-q,--quiet", st.quiet, "no progress line and no notes on standard error");
  app.add_flag("--json", st.json,
               "print the summary as one JSON object on standard output (library messages go to standard error)");
  auto* g = app.add_option_group("built-in problem");
  // A 3 x 3 grid is the smallest with room for the 8 default point sources.
  g->add_option("--grid", st.grid, "grid points per side")->check(CLI::Range(3, 20000))->capture_default_str();
  g->add_option("--wavenumber", st.wavenumber, "wavenumber k")->check(finite_number(false))->capture_default_str();
  g->add_option("--damping", st.damping, "damping of the shift k^2 (1 + i damping)")
      ->check(finite_number(false))
      ->capture_default_str();
}

int run(int argc, char** argv) {
  Settings st;
  CLI::App app{
      "bksolve - solve A X = B for a sparse complex A and s right-hand sides with block Krylov methods.\n"
      "Without a matrix file it solves a built-in problem: a 2D Helmholtz operator with a complex shift\n"
      "(complex-symmetric, indefinite) on a 500 x 500 grid with 8 point sources.\n",
      "bksolve"};
  app.set_version_flag("--version", std::string("bksolve (blockkrylov) ") + BKSOLVE_VERSION);
  define_options(app, st);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (!is_root()) return e.get_exit_code() == 0 ? 0 : kExitUsage;  // every rank parses alike
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "bksolve: error: %s\nRun 'bksolve --help' for the options.\n", e.what());
    return kExitUsage;
  }
  st.omega_given = app.count("--omega") > 0;
  st.drop_tol_given = app.count("--drop-tol") > 0;
  st.fill_given = app.count("--fill") > 0;
  const bool builtin = st.matrix_file.empty();
  const double rtol = st.rtol > 0 ? st.rtol : builtin ? kDefaultProblemTol : kDefaultTol;
#ifdef _OPENMP
  if (st.threads > 0) omp_set_num_threads(st.threads);
#endif
  on_root([&] { check_before_solving(st); });

  const auto t0 = Clock::now();
  Problem p;
  on_root([&] {
    p = build_problem(st);
    p.a_symmetric = p.A.is_symmetric();
  });
#if BLOCKKRYLOV_MPI
  everywhere([&] { distribute(st, p); });
#endif
  everywhere([&] { check_method(st, p.a_symmetric); });
  const double setup = seconds_since(t0);
  Precond pre;
  everywhere([&] { pre = build_preconditioner(st, p, st.method == "symmetric"); });
  const blockkrylov::MethodChoice choice = choose_method(st, p, p.a_symmetric, pre);
  const blockkrylov::Method method = choice.method;

  // With --json, standard output carries the JSON object only: anything the
  // library writes goes to standard error while it runs.
  int saved_stdout = -1;
  if (st.json) {
    std::fflush(stdout);
    saved_stdout = ::dup(STDOUT_FILENO);
    if (saved_stdout >= 0) ::dup2(STDERR_FILENO, STDOUT_FILENO);
  } else if (is_root()) {
    std::printf("bksolve: %s\n         %s; rtol %.1e\n", p.description.c_str(), p.rhs_description.c_str(), rtol);
    std::fflush(stdout);
  }
  Solution sol = solve(st, p, method, pre, rtol);
  sol.method_why = choice.why;
  const blockkrylov::Report& o = sol.report;
  if (saved_stdout >= 0) {
    std::fflush(stdout);
    ::dup2(saved_stdout, STDOUT_FILENO);
    ::close(saved_stdout);
  }

  if (on_any_rank(g_interrupts.load() > 0)) {
    if (is_root())
      std::fprintf(stderr, "bksolve: interrupted after %ld iterations; no output written\n", o.iterations);
    return kExitInterrupted;
  }
  if (!st.output.empty()) {
    on_root([&] {
      std::vector<std::string> comment = {" solution X of A X = B written by bksolve",
                                          " " + p.description, " " + p.rhs_description,
                                          std::string(" method ") + blockkrylov::to_string(o.method) +
                                              ", preconditioner " + pre.pc.name +
                                              (o.converged ? ", converged" : ", NOT converged")};
      bksolve::write_file_atomically(st.output,
                                     bksolve::format_matrix_market_array(p.n, p.s, sol.X.data(), p.n, comment));
    });
  }
  if (!is_root()) return o.converged ? kExitConverged : kExitNotConverged;
  if (st.json)
    std::cout << json_summary(st, p, pre, sol, rtol, setup).dump(2) << std::endl;
  else
    print_summary(stdout, st, p, pre, sol, rtol, setup);
  std::fflush(stdout);
  return o.converged ? kExitConverged : kExitNotConverged;
}

}  // namespace

namespace {

// Reports an error that ended the run (once: on rank 0 when every rank
// raised it) and gives the exit status. In bksolve-mpi an error raised on
// some ranks only ends the whole job, since the others may be waiting for
// this one.
int fail(const char* what, int code) {
#if BLOCKKRYLOV_MPI
  if (g_agreed && !is_root()) return code;
#endif
  std::fprintf(stderr, "bksolve: error: %s\n", what);
  if (code != kExitUsage) bksolve::remove_pending_output();
#if BLOCKKRYLOV_MPI
  if (!g_agreed && g_ranks > 1) MPI_Abort(MPI_COMM_WORLD, code);
#endif
  return code;
}

int run_and_report(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& e) {
    return fail(e.what(), kExitUsage);
  } catch (const std::bad_alloc&) {
    return fail("out of memory", kExitError);
  } catch (const std::exception& e) {  // MatrixMarketError among them
    return fail(e.what(), kExitError);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
#if BLOCKKRYLOV_MPI
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &g_rank);
  MPI_Comm_size(MPI_COMM_WORLD, &g_ranks);
  const int code = run_and_report(argc, argv);
  MPI_Finalize();
  return code;
#else
  return run_and_report(argc, argv);
#endif
}
