// blockkrylov/solver.hpp - whole solves of A X = B with many right-hand
// sides, built on the twelve C entry points of blockkrylov.h and nothing else.
//
// Three methods share one options type and one report type:
//   Method::symmetric  block QMR on the complex-symmetric block Lanczos process
//                      (A = A^T, not Hermitian); s products with A per step
//   Method::qmr        block QMR on the two-sided block Lanczos process, for
//                      general A; s products with A and s with A^T per step
//   Method::gmres      restarted block GMRES with Householder basis and
//                      deflation; one product with A per Hessenberg column
//
// A Solver is made once for (method, n, block size s, options) and holds every
// work array; it then solves any number of systems of that order, each with
// any number of right-hand sides (split into blocks of at most s columns, one
// aggregated report), without allocating in its iterations. The free
// functions solve_symmetric, solve_qmr and solve_gmres make a Solver for one
// call.
//
// The operator is any callable that multiplies an n x k block by A. A whole
// program (the tests extract and compile the lines between the markers):
//
// Example:
//   #include <iostream>
//   #include <vector>
//
//   #include "blockkrylov/examples.hpp"
//   #include "blockkrylov/solver.hpp"
//
//   int main() {
//     using namespace blockkrylov;
//     const int nx = 40, n = nx * nx, s = 4;
//     CsrMatrix matrix = examples::convection_diffusion_2d(nx, nx, 20.0, {1.0, 0.5});
//     std::vector<complex> B = examples::point_sources(nx, nx, s);
//     std::vector<complex> X(B.size());  // starting guess 0
//     Operator A = [&](int k, const complex* x, complex* y) {
//       matrix.multiply(k, x, y);  // y(:, 1:k) = A * x(:, 1:k), ld n
//     };
//     Options opt;
//     opt.rtol = 1e-10;
//     Solver solver(Method::gmres, n, s, opt);  // work arrays for n and s
//     const Report& report = solver.solve(A, s, B.data(), n, X.data(), n);
//     if (!report.converged) std::cerr << report.message << '\n';
//     return report.converged ? 0 : 1;
//   }
// End of example.
//
// X holds the starting guess on entry (zeros are fine) and the solution on
// return. Convergence is always judged on the true residual:
// ||b_j - A x_j|| <= rtol * ||b_j|| for every column j. Cheap estimates (the
// GMRES least-squares residual, the QMR quasi-residual) only decide when the
// true residual is worth forming (with atol > 0 a column also converges when
// ||b_j - A x_j|| <= atol). Limits count products with A (and A^T), one
// per column, so methods and block sizes compare fairly; the products spent
// on true residuals count too, and room for a final true residual is always
// kept, so report.products never exceeds the limit (unless the starting
// residual alone does).
//
// Columns with b_j = 0 get x_j = 0 at once; columns whose starting guess
// already meets rtol are left as they are. Only the remaining columns enter
// the block (a zero column would stop the Lanczos drivers at once, and block
// GMRES must not get one first). On return every column's true relative
// residual is in report.residuals (0 for a zero b_j).
//
// Sizes: 1 <= s <= n (block GMRES: s < n, since a cycle needs room for one
// basis vector beyond the block); ldb, ldx >= n. Unusable arguments (sizes,
// leading dimensions, null arrays or operators, a tolerance that is negative
// or not finite, negative limits), or a B or starting residual that is not
// finite, give Status::invalid without touching X; no entry point is called
// with arguments outside its bounds.
//
// Scale: the kernels see the system at unit size whatever the scales of A and
// B (powers of two, applied exactly), so systems scaled by 1e-200 or 1e+200
// solve like unscaled ones.
//
// Work arrays are allocated when a Solver is made; the iterations allocate
// nothing (the history is reserved for up to 20000 iterations).
//
// Threads: a solve runs on the calling thread and calls A from it. The
// Lanczos drivers and C_CONVERGENCEPROGRESS keep per-thread state found by
// the OpenMP thread number. Solves on distinct thread numbers of one OpenMP
// team run in parallel. Solves that would share a number (plain host threads
// outside one team all count as 0; threads of nested teams count within their
// inner team) are serialised: each waits until the other has finished, and
// both results are correct. A symmetric or two-sided solve started from
// inside an operator of a solve of the same method on the same thread would
// have to wait for itself: it is refused at once with Status::invalid. Other
// nested solves run, without a progress estimate (Progress::predicted and
// percent stay 0) while the outer solve holds the thread's progress slot.
//
// Ranks: built over the distributed kernel library (BLOCKKRYLOV_MPI, see
// blockkrylov/mpi.hpp) n is the number of this rank's rows, every array and
// operator holds or acts on those rows, and making a Solver and solving are
// collective; the reports are the same on every rank.
#pragma once

#include <complex>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "blockkrylov.h"

namespace blockkrylov {

using complex = std::complex<double>;

// y(:, 1:k) = Op * x(:, 1:k); x and y are n x k, column-major, leading
// dimension n, and never overlap.
using Operator = std::function<void(int k, const complex* x, complex* y)>;

enum class Method { symmetric, qmr, gmres };

enum class Status {
  converged,       // every column met its tolerance on the true residual
  max_products,    // the product limit was reached first
  breakdown,       // the Lanczos process broke down more often than allowed, or at
                   // once on its starting block (where a restart would fail alike)
  stagnated,       // no further progress was possible: stagnation_cycles GMRES cycles
                   // in a row gained nothing, a Lanczos restart from the true residual
                   // did not help, or the operator returned non-finite values
  stopped,         // the progress callback asked to stop
  invalid,         // the arguments were unusable, or the solve could not run here
                   // (see message)
  max_iterations,  // the iteration limit was reached first
};

inline const char* to_string(Method m);
inline const char* to_string(Status s);

// What a progress callback sees after every iteration.
struct Progress {
  Method method;
  long iteration;   // block steps (Lanczos) or Hessenberg columns (GMRES), over all restarts
  long products;    // products with A and A^T so far, one per column
  double estimate;  // largest estimated relative residual over the columns
  int predicted;    // predicted total iterations (from C_CONVERGENCEPROGRESS; 0 until
                    // the estimate has fallen once, or while another solve on this
                    // thread number holds the progress slot)
  double percent;   // progress estimate in percent
  int block;        // block of columns being solved, 1 .. blocks
  int blocks;       // blocks of at most s columns in this solve
};

// A preconditioner M = M1 M2 given by the solves with its two factors. An
// empty operator is the identity; no preconditioner at all is the default.
//   symmetric method: split, A^ = M1^-1 A M2^-1 with M2 = M1^T (M = L L^T,
//       plain transpose), so that A^ stays complex-symmetric; `symmetric`
//       must say so, or the method refuses the preconditioner.
//   two-sided method: split, A^ = M1^-1 A M2^-1 and A^T^ = M2^-T A^T M1^-T,
//       so left_t and right_t are needed for the factors that are given.
//   GMRES: right preconditioning with M^-1 = M2^-1 M1^-1, A M^-1 u = b,
//       x = M^-1 u: the residual it minimises is the true one.
// Convergence is always judged on the true residual of A X = B.
struct Preconditioner {
  Operator left;           // y = M1^-1 x
  Operator right;          // y = M2^-1 x
  Operator left_t;         // y = M1^-T x (two-sided method)
  Operator right_t;        // y = M2^-T x (two-sided method)
  bool symmetric = false;  // M2 = M1^T: right is the plain transpose of left
  // Optional: y = M1^-1 A M2^-1 x (and its transpose) in one pass, for a
  // preconditioner built from the very A being solved (e.g. SSOR with
  // Eisenstat's trick); the Lanczos methods then call it instead of A and
  // the two factors, and count each call as products with A.
  Operator fused;
  Operator fused_t;
  std::string name;        // how reports name it, e.g. "ic0"

  bool empty() const { return !left && !right; }
};

struct Options {
  double rtol = 1e-8;          // relative tolerance, per column of B
  double atol = 0.0;           // absolute tolerance: column j converges when
                               // ||b_j - A x_j|| <= max(rtol ||b_j||, atol)
  long max_products = 0;       // limit on products with A (and A^T) per block of
                               // columns; <= 0: 10 * n * s, at least 1000
  long max_iterations = 0;     // limit on iterations per block; <= 0: none
  // GMRES: capacity m of the reflector set (columns of the basis array); a
  // cycle builds up to m - s_k Hessenberg columns for s_k kept columns.
  // <= 0 (default): 60 per kept column of the cycle, at least 60, so that a
  // cycle holds 60 block steps whatever the block size (fewer made larger
  // blocks restart more and lose from the block), within a basis of 2 GiB.
  // Raised to at least 2 s, lowered to n where n >= 2 s.
  int restart = 0;
  // GMRES: relative threshold for negligible directions. At the start of a
  // cycle a residual column is deflated when the part of it that the earlier
  // columns do not explain is at most deflation_tol times the norm of its
  // right-hand side (the block enters with its columns divided by those
  // norms); its correction is then the recorded combination of theirs.
  // Inside a cycle a new direction is negligible when what remains of A q_j
  // after orthogonalisation is at most deflation_tol * ||A q_j||; the cycle
  // ends there (solve, update, restart from the true residual).
  double deflation_tol = 1e-12;
  // GMRES: cycles in a row in which no column's true residual falls by 0.1 %
  // that end the solve as stagnated; <= 0: never. Restarted GMRES is known
  // to sit on plateaus of a dozen cycles or more before it converges, so the
  // window is long; the product limit still bounds a hopeless solve.
  int stagnation_cycles = 20;
  int max_breakdowns = 10;     // Lanczos: restarts allowed after a breakdown
  // OpenMP threads of the solve: the sparse products of CsrMatrix and the
  // kernel library's passes; <= 0: the caller's OpenMP setting. Set for the
  // calling thread during the solve only. A threaded OpenBLAS runs on one
  // thread while solves run (see detail/threads.hpp).
  int threads = 0;
  // Called after every iteration; return false to stop the solve (the
  // iterate of that iteration is kept and its true residual reported).
  std::function<bool(const Progress&)> progress;
  // Two-sided method: the starting left block (n x nrhs, leading dimension n;
  // the columns of the active right-hand sides are used, also on restarts).
  // Null selects the default: the normalised starting residual block itself
  // (W1 = V1), which makes the method coincide with the symmetric one when
  // A = A^T.
  const complex* left_start = nullptr;
  // The preconditioner (none by default); see Preconditioner.
  Preconditioner preconditioner;
};

struct Report {
  Method method = Method::gmres;
  Status status = Status::invalid;
  bool converged = false;
  long iterations = 0;          // as in Progress::iteration, summed over the blocks
  long products = 0;            // products with A and A^T, one per column
  int restarts = 0;             // GMRES cycles after the first; Lanczos restarts
                                // (after a breakdown, or from the true residual
                                // when the recurrences drifted from it)
  int breakdowns = 0;           // Lanczos breakdowns met (each one restarted or ended the solve)
  int blocks = 0;               // blocks of at most s columns solved
  std::vector<double> residuals;  // true relative residual of every column at the end
  std::vector<double> history;    // largest estimated relative residual, per iteration
  std::string message;          // one line saying how the solve ended
};

namespace detail {
class SolverState;
}

class Solver {
 public:
  // Work arrays for systems of order n solved up to block_size columns at a
  // time. Arguments that cannot work (n < 1, block_size < 1 or > n, block
  // GMRES with block_size >= n, options out of range) leave the solver
  // unusable: valid() is false and every solve reports Status::invalid with
  // the reason.
  Solver(Method method, int n, int block_size, Options options = {});
  ~Solver();
  Solver(Solver&&) noexcept;
  Solver& operator=(Solver&&) noexcept;

  // Solves A X = B for nrhs >= 1 columns (B n x nrhs with leading dimension
  // ldb, X likewise; X holds the starting guess). More columns than the block
  // size are solved block after block; the report aggregates them (status of
  // the first block that failed, residuals of every column). The two-sided
  // method needs At (y = A^T x, plain transpose); the others ignore it.
  const Report& solve(const Operator& A, int nrhs, const complex* B, int ldb, complex* X, int ldx);
  const Report& solve(const Operator& A, const Operator& At, int nrhs, const complex* B, int ldb,
                      complex* X, int ldx);

  bool valid() const;
  Method method() const;
  int n() const;
  int block_size() const;
  // Options for the next solve; sizes fixed at construction (the GMRES
  // restart length) keep their value.
  Options& options();
  const Report& report() const;  // the last solve's report

 private:
  std::unique_ptr<detail::SolverState> state_;
};

// The GMRES basis capacity a Solver uses for order n, block size s and
// Options::restart. With rows split over ranks n is the order over all
// ranks (not a rank's rows), as in auto_method and root_rows_needed.
inline int gmres_basis_capacity(int n, int s, int restart);

// The rows rank 0 must hold when the rows of a solve of order n are split
// over more than one rank (0: any number): block GMRES keeps the pivot rows
// of its basis there (capacity m + 1 rows), and so does the deflation test
// that opens a Lanczos run of more than one column (s + 1 rows). A Solver
// made on a split that breaks this reports Status::invalid.
inline int root_rows_needed(Method method, long n, int s, int restart);

// The method to take when the caller leaves the choice ("auto"), and why.
// a_symmetric: A = A^T is known; keeps_symmetry: no preconditioner, or a
// split one with M2 = M1^T; transposes: products with A^T and the
// transposed solves of the preconditioner's factors are at hand; n: the
// order (over all ranks when the rows are split).
//  - A = A^T (or n = 1) and the operator stays complex-symmetric: the
//    symmetric method, one product per column and block step on the
//    shortest recurrences.
//  - Otherwise the two-sided method when it can run: on the general
//    problems of bench/compare.py it took the least time per right-hand
//    side at every block size measured (1, 4, 8); block GMRES needs fewer
//    products but pays for an orthogonalisation that grows with its basis.
//  - Else block GMRES (for n = 1, where GMRES has no room, qmr).
struct MethodChoice {
  Method method;
  const char* why;
};
inline MethodChoice auto_method(int n, bool a_symmetric, bool keeps_symmetry, bool transposes) {
  if ((a_symmetric || n == 1) && keeps_symmetry)
    return {Method::symmetric, "A = A^T, and the operator stays complex-symmetric"};
  if (transposes || n == 1)
    return {Method::qmr, a_symmetric ? "the preconditioner is not a symmetric split, and the two-sided "
                                       "method is the fastest one for general operators"
                                     : "A != A^T (or not known to be), and the two-sided method is the "
                                       "fastest one for general A"};
  return {Method::gmres, "no products with A^T (or no transposed preconditioner solves) for the "
                         "two-sided method"};
}

// One-call conveniences: a Solver with block size s for one solve of s columns.
inline Report solve_symmetric(int n, int s, const Operator& A, const complex* B, int ldb, complex* X,
                              int ldx, const Options& options = {});

inline Report solve_qmr(int n, int s, const Operator& A, const Operator& At, const complex* B, int ldb,
                        complex* X, int ldx, const Options& options = {});

inline Report solve_gmres(int n, int s, const Operator& A, const complex* B, int ldb, complex* X,
                          int ldx, const Options& options = {});

}  // namespace blockkrylov

// Definitions (header-only).
#include "blockkrylov/detail/solver_impl.hpp"
