// ksp_bk.cpp - the KSP types bksym, bkqmr, bkgmres and bkauto.
//
// A solve (KSPSolve, KSPSolveTranspose, KSPMatSolve) hands this rank's rows
// of B and X to the engine's Solver, built over the distributed kernels
// with n = local rows, on the KSP's communicator. The engine calls back for
// products with A and A^T (blocks.hpp) and for the preconditioner: the
// KSP's PC, or a stock one on each rank's diagonal block (local_pc.hpp).
// Everything that steers the engine (method, block size, limits, which
// callbacks exist) is the same on every rank, since every kernel call is
// collective.
#include <petsc/private/kspimpl.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "blockkrylov/mpi.hpp"
#include "blockkrylov/solver.hpp"
#include "blockkrylov_petsc.h"
#include "blocks.hpp"
#include "local_pc.hpp"

namespace bkpetsc {
namespace {

using blockkrylov::Method;

enum class Requested { symmetric, qmr, gmres, automatic };

// -ksp_bk_pc: the KSP's PC ("petsc", the default), none, or a stock one.
const char* const kPcKinds[] = {"petsc", "none", "jacobi", "ssor", "ic0", "ict", "ilu0", "ilut", "auto"};
constexpr int kNumPcKinds = 9;
// -ksp_bk_product: how products with A are formed.
const char* const kProductModes[] = {"block", "column"};

struct Settings {
  PetscInt block_size = 0;  // columns solved together; 0: all columns of B
  PetscInt restart = 0;     // GMRES basis capacity; 0: the engine's default
  PetscReal deflation_tol = 1e-12;
  PetscInt stagnation_cycles = 20;
  PetscInt max_breakdowns = 10;
  PetscInt max_products = 0;  // per block of columns; 0: 10 N s, at least 1000
  PetscInt threads = 0;       // OpenMP threads of the kernels; 0: the caller's setting
  int pc = 0;                 // index into kPcKinds
  PetscReal omega = 1.0, drop_tol = 1e-3, fill = 5.0;
  ProductMode product = ProductMode::block;
};

// The thread's communicator for the engine and kernels, restored on exit.
class CommScope {
 public:
  explicit CommScope(MPI_Comm c) : saved_(blockkrylov::mpi::detail::thread_communicator()) {
    blockkrylov::mpi::use_communicator(c);
  }
  ~CommScope() { blockkrylov::mpi::use_communicator(saved_); }
  CommScope(const CommScope&) = delete;
  CommScope& operator=(const CommScope&) = delete;

 private:
  MPI_Comm saved_;
};

struct KspBk {
  Requested requested = Requested::automatic;
  Settings set;

  BlockProducts products;
  PcApplications pc_apps;

  // The stock preconditioner, kept while its matrix, the matrix's state and
  // the settings it was built with stay the same.
  blockkrylov::Preconditioner stock;
  Mat stock_P = nullptr;
  PetscObjectState stock_state = -1;
  std::string stock_key;

  // Whether A = A^T, kept for one matrix and state.
  Mat sym_A = nullptr;
  PetscObjectState sym_state = -1;
  bool sym_known = false, sym_value = false;

  std::unique_ptr<blockkrylov::Solver> solver;
  Method solver_method = Method::gmres;
  int solver_n = -1, solver_s = -1, solver_restart = -1;

  // Monitoring during a solve.
  PetscErrorCode monitor_error = 0;
  long its_done = 0;  // iterations of the blocks before the current one
  long its_block = 0;
  int block = 0;

  // The last solve.
  std::string last_method, last_pc, last_summary, last_why;
  long last_products = 0;

  PetscErrorCode release() {
    PetscFunctionBegin;
    PetscCall(products.reset());
    PetscCall(pc_apps.reset());
    stock = blockkrylov::Preconditioner();
    PetscCall(MatDestroy(&stock_P));
    stock_state = -1;
    stock_key.clear();
    PetscCall(MatDestroy(&sym_A));
    sym_state = -1;
    sym_known = sym_value = false;
    solver.reset();
    solver_n = solver_s = solver_restart = -1;
    PetscFunctionReturn(0);
  }
};

KspBk* data(KSP ksp) { return static_cast<KspBk*>(ksp->data); }

// Keeps a reference to `m` in `slot`, releasing what was there.
PetscErrorCode hold(Mat* slot, Mat m) {
  PetscFunctionBegin;
  if (*slot == m) PetscFunctionReturn(0);
  PetscCall(PetscObjectReference(reinterpret_cast<PetscObject>(m)));
  PetscCall(MatDestroy(slot));
  *slot = m;
  PetscFunctionReturn(0);
}

// Whether A = A^T (plain transpose): what the matrix says of itself, else
// MatIsSymmetric where the type has it (kept per matrix state); `known` is
// false when neither can tell.
PetscErrorCode symmetry(KspBk* bk, Mat A, bool* known, bool* value) {
  PetscFunctionBegin;
  PetscBool set = PETSC_FALSE, flg = PETSC_FALSE;
  PetscCall(MatIsSymmetricKnown(A, &set, &flg));
  if (set) {
    *known = true;
    *value = flg;
    PetscFunctionReturn(0);
  }
  PetscObjectState state;
  PetscCall(PetscObjectStateGet(reinterpret_cast<PetscObject>(A), &state));
  if (A != bk->sym_A || state != bk->sym_state) {
    PetscBool has = PETSC_FALSE;
    PetscCall(MatHasOperation(A, MATOP_IS_SYMMETRIC, &has));
    bk->sym_known = has;
    bk->sym_value = false;
    if (has) {
      PetscCall(MatIsSymmetric(A, 0.0, &flg));
      bk->sym_value = flg;
    }
    PetscCall(hold(&bk->sym_A, A));
    bk->sym_state = state;
  }
  *known = bk->sym_known;
  *value = bk->sym_value;
  PetscFunctionReturn(0);
}

// A PETSc Jacobi PC with its plain settings is M = diag(P), which the stock
// jacobi gives in split form D^1/2 D^1/2; the symmetric method can take it
// that way.
PetscErrorCode plain_jacobi(PC pc, bool* plain) {
  PetscFunctionBegin;
  PetscBool is = PETSC_FALSE;
  PetscCall(PetscObjectTypeCompare(reinterpret_cast<PetscObject>(pc), PCJACOBI, &is));
  *plain = false;
  if (is) {
    PCJacobiType type;
    PetscBool abs = PETSC_FALSE;
    PetscCall(PCJacobiGetType(pc, &type));
    PetscCall(PCJacobiGetUseAbs(pc, &abs));
    *plain = type == PC_JACOBI_DIAGONAL && !abs;
  }
  PetscFunctionReturn(0);
}

PetscErrorCode stock_preconditioner(KspBk* bk, Mat A, Mat P, const std::string& kind, bool symmetric_method) {
  PetscFunctionBegin;
  PetscMPIInt size;
  PetscCallMPI(MPI_Comm_size(PetscObjectComm(reinterpret_cast<PetscObject>(P)), &size));
  LocalPcSettings st;
  st.kind = kind;
  st.omega = bk->set.omega;
  st.drop_tol = bk->set.drop_tol;
  st.fill = bk->set.fill;
  st.symmetric_method = symmetric_method;
  st.fused_allowed = size == 1 && P == A;
  char key[160];
  PetscCall(PetscSNPrintf(key, sizeof key, "%s %g %g %g %d %d", kind.c_str(), (double)st.omega, (double)st.drop_tol,
                          (double)st.fill, (int)st.symmetric_method, (int)st.fused_allowed));
  PetscObjectState state;
  PetscCall(PetscObjectStateGet(reinterpret_cast<PetscObject>(P), &state));
  if (P == bk->stock_P && state == bk->stock_state && key == bk->stock_key) PetscFunctionReturn(0);
  bk->stock_key.clear();  // unusable until built
  PetscCall(build_local_preconditioner(P, st, &bk->stock));
  PetscCall(hold(&bk->stock_P, P));
  bk->stock_state = state;
  bk->stock_key = key;
  PetscFunctionReturn(0);
}

// What one solve runs: the method and where its preconditioner comes from.
struct Plan {
  Method method = Method::gmres;
  enum class Source { none, petsc, stock } source = Source::none;
  std::string why;  // bkauto: why this method
};

PetscErrorCode plan_solve(KSP ksp, KspBk* bk, Mat A, Mat P, PetscInt N, Plan* plan) {
  PetscFunctionBegin;
  const MPI_Comm comm = PetscObjectComm(reinterpret_cast<PetscObject>(ksp));
  const Requested req = bk->requested;
  const std::string pc_kind = kPcKinds[bk->set.pc];
  PC pc = ksp->pc;

  // Where the preconditioner comes from.
  using Source = Plan::Source;
  Source source = Source::stock;
  std::string stock_kind = pc_kind;
  bool jacobi = false;
  if (pc_kind == "none") source = Source::none;
  else if (pc_kind == "petsc") {
    PetscBool none = PETSC_FALSE;
    PetscCall(PetscObjectTypeCompare(reinterpret_cast<PetscObject>(pc), PCNONE, &none));
    source = none ? Source::none : Source::petsc;
    if (source == Source::petsc) PetscCall(plain_jacobi(pc, &jacobi));
  }

  bool sym_known = false, sym = false;
  if (req == Requested::symmetric || req == Requested::automatic) PetscCall(symmetry(bk, A, &sym_known, &sym));
  PetscCheck(req != Requested::symmetric || !sym_known || sym, comm, PETSC_ERR_ARG_WRONG,
             "KSP %s needs a complex-symmetric matrix (A = A^T), and this one is not: use %s or %s", KSPBKSYM,
             KSPBKQMR, KSPBKGMRES);
  // A 1 x 1 system is its own transpose.
  if (N == 1) sym_known = sym = true;

  // The symmetric method keeps the operator complex-symmetric, so it takes
  // only a split preconditioner M = M1 M1^T; a plain PETSc Jacobi PC is one.
  const bool wants_symmetric = req == Requested::symmetric || (req == Requested::automatic && sym);
  if (source == Source::petsc && jacobi && wants_symmetric) {
    source = Source::stock;
    stock_kind = "jacobi";
  }
  // PETSc gives every KSP a preconditioner when none is chosen (an incomplete
  // factorisation, or block Jacobi over ranks). The symmetric method cannot
  // take it; unless -pc_type asked for it, it is set aside rather than refused.
  if (source == Source::petsc && req == Requested::symmetric) {
    PetscBool asked = PETSC_FALSE, fallback = PETSC_FALSE;
    const auto obj = reinterpret_cast<PetscObject>(pc);
    PetscCall(PetscOptionsHasName(obj->options, obj->prefix, "-pc_type", &asked));
    PetscCall(PetscObjectTypeCompareAny(obj, &fallback, PCILU, PCICC, PCBJACOBI, ""));
    if (!asked && fallback) source = Source::none;
  }
  if (source == Source::stock)
    PetscCall(stock_preconditioner(bk, A, P, stock_kind, wants_symmetric && (sym || !sym_known)));

  PetscBool has_at = PETSC_FALSE, pc_t = PETSC_TRUE;
  PetscCall(MatHasOperation(A, MATOP_MULT_TRANSPOSE, &has_at));
  if (source == Source::petsc) PetscCall(PCApplyTransposeExists(pc, &pc_t));
  const bool keeps = source == Source::none || (source == Source::stock && bk->stock.symmetric);
  const bool transposes = has_at && pc_t;

  PCType pctype = nullptr;
  if (source == Source::petsc) PetscCall(PCGetType(pc, &pctype));
  switch (req) {
    case Requested::symmetric:
      PetscCheck(source != Source::petsc, comm, PETSC_ERR_SUP,
                 "KSP %s keeps the operator complex-symmetric and takes only a split preconditioner "
                 "M = M1 M1^T, which PC %s is not: use -pc_type none or jacobi, a stock one on each rank's "
                 "diagonal block (-ksp_bk_pc jacobi, ssor, ic0, ict or auto), or KSP %s or %s with this PC",
                 KSPBKSYM, pctype, KSPBKQMR, KSPBKGMRES);
      PetscCheck(keeps, comm, PETSC_ERR_ARG_WRONG,
                 "KSP %s needs a complex-symmetric preconditioner (M2 = M1^T), and %s is not one here: use "
                 "-ksp_bk_pc jacobi, ssor (on a complex-symmetric matrix), ic0, ict or auto, or KSP %s or %s",
                 KSPBKSYM, bk->stock.name.c_str(), KSPBKQMR, KSPBKGMRES);
      plan->method = Method::symmetric;
      break;
    case Requested::qmr:
      PetscCheck(has_at, comm, PETSC_ERR_SUP,
                 "KSP %s needs products with A^T (MatMultTranspose), which this matrix does not provide: use %s",
                 KSPBKQMR, KSPBKGMRES);
      PetscCheck(pc_t, comm, PETSC_ERR_SUP,
                 "KSP %s needs the transposed application of the preconditioner (PCApplyTranspose), which PC %s "
                 "does not provide: use %s, or another PC",
                 KSPBKQMR, pctype, KSPBKGMRES);
      plan->method = Method::qmr;
      break;
    case Requested::gmres:
      // Block GMRES needs room for one basis vector beyond its block, so a
      // 1 x 1 system goes to the symmetric method (one step solves it).
      plan->method = N > 1 ? Method::gmres : Method::symmetric;
      break;
    case Requested::automatic: {
      const blockkrylov::MethodChoice c =
          blockkrylov::auto_method(static_cast<int>(N), sym_known && sym, keeps, transposes);
      plan->method = c.method;
      plan->why = c.why;
      break;
    }
  }
  if (N == 1 && plan->method == Method::symmetric && !keeps) source = Source::none;  // nothing to precondition
  if (ksp->transpose_solve && plan->method != Method::symmetric) {
    PetscCheck(has_at, comm, PETSC_ERR_SUP,
               "KSPSolveTranspose needs products with A^T (MatMultTranspose), which this matrix does not provide");
    PetscCheck(pc_t, comm, PETSC_ERR_SUP,
               "KSPSolveTranspose needs the transposed application of PC %s (PCApplyTranspose)", pctype);
  }
  plan->source = source;
  PetscFunctionReturn(0);
}

// The solver for (method, n, s, restart), made when any of them changes;
// its construction must succeed on every rank.
PetscErrorCode solver_for(KspBk* bk, MPI_Comm comm, Method m, int n, int s, blockkrylov::Solver** out) {
  PetscFunctionBegin;
  const int restart = static_cast<int>(bk->set.restart);
  // Making a Solver is collective: a rank whose rows changed makes every
  // rank make a new one.
  PetscMPIInt renew = (!bk->solver || bk->solver_method != m || bk->solver_n != n || bk->solver_s != s ||
                       bk->solver_restart != restart)
                          ? 1
                          : 0;
  PetscCallMPI(MPI_Allreduce(MPI_IN_PLACE, &renew, 1, MPI_INT, MPI_MAX, comm));
  if (renew) {
    bk->solver.reset();
    blockkrylov::Options o;
    o.restart = restart;
    bk->solver = std::make_unique<blockkrylov::Solver>(m, n, s, o);
    bk->solver_method = m;
    bk->solver_n = n;
    bk->solver_s = s;
    bk->solver_restart = restart;
  }
  std::string why;
  if (!bk->solver->valid()) {
    // An unusable solver reports why at once, before any kernel call.
    blockkrylov::complex b(0.0), x(0.0);
    const blockkrylov::Operator none = [](int, const blockkrylov::complex*, blockkrylov::complex*) {};
    why = bk->solver->solve(none, 1, &b, std::max(n, 1), &x, std::max(n, 1)).message;
  }
  PetscCall(agree(comm, why, PETSC_ERR_ARG_OUTOFRANGE));
  *out = bk->solver.get();
  PetscFunctionReturn(0);
}

KSPConvergedReason reason_of(const blockkrylov::Report& rep, double rtol) {
  using blockkrylov::Status;
  bool finite = true, within_rtol = true;
  for (double r : rep.residuals) {
    if (!std::isfinite(r)) finite = false;
    if (!(r <= rtol)) within_rtol = false;
  }
  switch (rep.status) {
    case Status::converged: return within_rtol ? KSP_CONVERGED_RTOL : KSP_CONVERGED_ATOL;
    case Status::max_products:
    case Status::max_iterations: return KSP_DIVERGED_ITS;
    case Status::breakdown: return KSP_DIVERGED_BREAKDOWN;
    case Status::stagnated:
    case Status::stopped: return finite ? KSP_DIVERGED_BREAKDOWN : KSP_DIVERGED_NANORINF;
    case Status::invalid: return KSP_DIVERGED_NANORINF;
  }
  return KSP_DIVERGED_BREAKDOWN;
}

// The common solve: nrhs columns of B (ldb) and X (ldx), this rank's rows.
PetscErrorCode run(KSP ksp, PetscInt nrhs, const PetscScalar* Bp, PetscInt ldb, PetscScalar* Xp, PetscInt ldx) {
  PetscFunctionBegin;
  KspBk* bk = data(ksp);
  const MPI_Comm comm = PetscObjectComm(reinterpret_cast<PetscObject>(ksp));
  Mat A, P;
  PetscCall(PCGetOperators(ksp->pc, &A, &P));
  PetscInt n, nc, N;
  PetscCall(MatGetLocalSize(A, &n, &nc));
  PetscCall(MatGetSize(A, &N, nullptr));
  PetscCall(agree(comm,
                  n == nc ? std::string()
                          : "the block Krylov KSP types need the same row and column distribution of A (this rank "
                            "holds " + std::to_string(n) + " rows and " + std::to_string(nc) + " columns)",
                  PETSC_ERR_SUP));
  ksp->its = 0;
  ksp->rnorm = 0.0;
  ksp->reason = KSP_CONVERGED_ITERATING;
  bk->last_method.clear();
  bk->last_pc.clear();
  bk->last_summary.clear();
  bk->last_why.clear();
  bk->last_products = 0;

  // Rows of zero length still need arrays the engine accepts.
  static PetscScalar empty[1];
  const blockkrylov::complex* B = as_complex(Bp ? Bp : empty);
  blockkrylov::complex* X = as_complex(Xp ? Xp : empty);
  const std::size_t ldb_ = static_cast<std::size_t>(ldb), ldx_ = static_cast<std::size_t>(ldx);
  if (ksp->guess_zero && n > 0)
    for (PetscInt j = 0; j < nrhs; ++j) std::fill(X + j * ldx_, X + j * ldx_ + n, blockkrylov::complex(0.0));
  if (N == 0 || nrhs == 0) {
    ksp->reason = KSP_CONVERGED_ATOL;
    bk->last_summary = "nothing to solve";
    PetscFunctionReturn(0);
  }

  Plan plan;
  PetscCall(plan_solve(ksp, bk, A, P, N, &plan));
  if (plan.source == Plan::Source::petsc) {
    // A PC whose set-up failed fails the solve, as with PETSc's own types.
    PCFailedReason local = PC_NOERROR;
    PetscCall(PCGetFailedReasonRank(ksp->pc, &local));
    PetscMPIInt mine = static_cast<PetscMPIInt>(local), any = 0;
    PetscCallMPI(MPI_Allreduce(&mine, &any, 1, MPI_INT, MPI_MAX, comm));
    if (any != PC_NOERROR) {
      ksp->reason = KSP_DIVERGED_PC_FAILED;
      bk->last_summary = "the preconditioner's set-up failed";
      PetscFunctionReturn(0);
    }
  }
  const Method method = plan.method;
  // Solving with A^T swaps the roles of A and A^T (and of the
  // preconditioner's solves); the symmetric method has A^T = A, M^T = M.
  const bool tr = ksp->transpose_solve && method != Method::symmetric;

  // Columns solved together: at most the block size asked for and nrhs, at
  // most N, and for block GMRES at most N / 2 (its basis holds the block and
  // at least as many vectors beyond it).
  const long want = bk->set.block_size > 0 ? bk->set.block_size : nrhs;
  const long cap = method == Method::gmres ? std::max<long>(1, N / 2) : N;
  const int s = static_cast<int>(std::max<long>(1, std::min<long>({want, static_cast<long>(nrhs), cap})));

  PetscMPIInt size;
  PetscCallMPI(MPI_Comm_size(comm, &size));
  if (size > 1) {
    // Block GMRES keeps the pivot rows of its basis on rank 0, and a Lanczos
    // block of several columns the pivot rows of its deflation test: a rank
    // 0 with fewer rows cannot run the method.
    const PetscInt* ranges;
    PetscCall(MatGetOwnershipRanges(A, &ranges));
    const PetscInt n0 = ranges[1] - ranges[0];
    const int need = blockkrylov::root_rows_needed(method, N, s, static_cast<int>(bk->set.restart));
    PetscCheck(n0 >= need, comm, PETSC_ERR_ARG_SIZ,
               "%s on %d ranks needs at least %d rows on rank 0 (block size %d%s), which holds %" PetscInt_FMT
               ": %s, or give rank 0 more rows",
               blockkrylov::to_string(method), size, need, s,
               method == Method::gmres ? ", the pivot rows of the GMRES basis" : ", the pivot rows of the block",
               n0,
               method == Method::gmres ? "lower -ksp_bk_restart or -ksp_bk_block_size" : "lower -ksp_bk_block_size");
  }

  // The engine's calls are collective over the KSP's communicator from here
  // on, the making of a Solver included.
  const CommScope scope(comm);
  blockkrylov::Solver* solver;
  PetscCall(solver_for(bk, comm, method, static_cast<int>(n), s, &solver));

  PetscCall(bk->products.bind(A, bk->set.product));
  blockkrylov::Options o;
  o.rtol = ksp->rtol;
  o.atol = ksp->abstol;
  o.max_iterations = ksp->max_it;
  o.max_products = bk->set.max_products > 0 ? bk->set.max_products : std::max<long>(1000, 10L * N * s);
  o.restart = static_cast<int>(bk->set.restart);
  o.deflation_tol = bk->set.deflation_tol;
  o.stagnation_cycles = static_cast<int>(bk->set.stagnation_cycles);
  o.max_breakdowns = static_cast<int>(bk->set.max_breakdowns);
  o.threads = static_cast<int>(bk->set.threads);

  blockkrylov::Preconditioner& pre = o.preconditioner;
  if (plan.source == Plan::Source::petsc) {
    PetscCall(bk->pc_apps.bind(ksp->pc, A));
    PcApplications* apps = &bk->pc_apps;
    // Right preconditioning: the residual the methods see is the true one.
    pre.right = [apps, tr](int k, const blockkrylov::complex* x, blockkrylov::complex* y) { apps->apply(tr, k, x, y); };
    if (method == Method::qmr)
      pre.right_t = [apps, tr](int k, const blockkrylov::complex* x, blockkrylov::complex* y) {
        apps->apply(!tr, k, x, y);
      };
    PCType t;
    PetscCall(PCGetType(ksp->pc, &t));
    pre.name = std::string("PC ") + t;
  } else if (plan.source == Plan::Source::stock) {
    pre = bk->stock;
    if (tr) {
      // M^T = M2^T M1^T: the factors trade places and transposes.
      std::swap(pre.left, pre.right_t);
      std::swap(pre.right, pre.left_t);
      std::swap(pre.fused, pre.fused_t);
    }
  }

  if (ksp->numbermonitors > 0 || ksp->res_hist) {
    bk->monitor_error = 0;
    bk->its_done = bk->its_block = 0;
    bk->block = 1;
    o.progress = [ksp, bk](const blockkrylov::Progress& p) {
      if (p.block != bk->block) {
        bk->its_done += bk->its_block;
        bk->block = p.block;
      }
      bk->its_block = p.iteration;
      const PetscInt it = static_cast<PetscInt>(std::min<long>(bk->its_done + p.iteration, PETSC_MAX_INT));
      ksp->its = it;
      ksp->rnorm = p.estimate;
      PetscErrorCode e = KSPLogResidualHistory(ksp, p.estimate);
      if (!e && ksp->numbermonitors > 0) e = KSPMonitor(ksp, it, p.estimate);
      if (e && !bk->monitor_error) bk->monitor_error = e;
      return e == 0;
    };
  }
  solver->options() = o;

  BlockProducts* prods = &bk->products;
  const blockkrylov::Operator opA = [prods, tr](int k, const blockkrylov::complex* x, blockkrylov::complex* y) {
    prods->apply(tr, k, x, y);
  };
  const blockkrylov::Operator opAt = [prods, tr](int k, const blockkrylov::complex* x, blockkrylov::complex* y) {
    prods->apply(!tr, k, x, y);
  };
  const int ldb_i = static_cast<int>(std::max<PetscInt>(ldb, n)), ldx_i = static_cast<int>(std::max<PetscInt>(ldx, n));
  const blockkrylov::Report& rep = method == Method::qmr
                                      ? solver->solve(opA, opAt, static_cast<int>(nrhs), B, ldb_i, X, ldx_i)
                                      : solver->solve(opA, static_cast<int>(nrhs), B, ldb_i, X, ldx_i);

  // Errors inside the callbacks, raised on every rank.
  PetscErrorCode local = bk->products.take_error();
  if (!local) local = bk->pc_apps.take_error();
  if (!local) local = bk->monitor_error;
  bk->monitor_error = 0;
  PetscMPIInt mine = local ? 1 : 0, any = 0;
  PetscCallMPI(MPI_Allreduce(&mine, &any, 1, MPI_INT, MPI_MAX, comm));
  if (local) PetscCall(local);
  PetscCheck(!any, comm, PETSC_ERR_LIB, "a product, preconditioner application or monitor failed on another rank");
  PetscCheck(rep.status != blockkrylov::Status::invalid, comm, PETSC_ERR_ARG_WRONG, "%s", rep.message.c_str());

  // The report, as PETSc states it: rnorm is the largest true residual norm
  // ||b_j - A x_j|| over the columns.
  std::vector<double> bn(static_cast<std::size_t>(nrhs), 0.0), bsum(bn.size(), 0.0);
  for (PetscInt j = 0; j < nrhs; ++j)
    for (PetscInt i = 0; i < n; ++i) bn[j] += std::norm(B[j * ldb_ + i]);
  PetscCallMPI(MPI_Allreduce(bn.data(), bsum.data(), static_cast<int>(nrhs), MPI_DOUBLE, MPI_SUM, comm));
  double rmax = 0.0;
  for (PetscInt j = 0; j < nrhs; ++j) {
    const double r = rep.residuals[j] * std::sqrt(bsum[j]);
    rmax = std::isnan(r) || std::isnan(rmax) ? NAN : std::max(rmax, r);
  }
  ksp->its = static_cast<PetscInt>(std::min<long>(rep.iterations, PETSC_MAX_INT));
  ksp->rnorm = rmax;
  ksp->reason = reason_of(rep, ksp->rtol);
  if (plan.source == Plan::Source::petsc) {
    PCFailedReason pcr = PC_NOERROR;
    PetscCall(PCGetFailedReasonRank(ksp->pc, &pcr));
    PetscMPIInt f = static_cast<PetscMPIInt>(pcr), fany = 0;
    PetscCallMPI(MPI_Allreduce(&f, &fany, 1, MPI_INT, MPI_MAX, comm));
    if (fany != PC_NOERROR) ksp->reason = KSP_DIVERGED_PC_FAILED;
  }
  bk->last_method = blockkrylov::to_string(method);
  bk->last_pc = pre.empty() ? std::string("none") : pre.name;
  bk->last_summary = rep.message;
  bk->last_why = plan.why;
  bk->last_products = rep.products;
  PetscCall(PetscInfo(ksp, "%s (block size %d, preconditioner %s)\n", rep.message.c_str(), s, bk->last_pc.c_str()));
  PetscFunctionReturn(0);
}

// ---------------------------------------------------------------------------
// The KSP operations.

PetscErrorCode KSPSetUp_BK(KSP) {
  PetscFunctionBegin;
  PetscFunctionReturn(0);
}

PetscErrorCode KSPSolve_BK(KSP ksp) {
  PetscFunctionBegin;
  PetscInt n;
  const PetscScalar* b;
  PetscScalar* x;
  PetscCall(VecGetLocalSize(ksp->vec_rhs, &n));
  PetscCall(VecGetArrayRead(ksp->vec_rhs, &b));
  PetscCall(VecGetArray(ksp->vec_sol, &x));
  const PetscErrorCode e = run(ksp, 1, b, n, x, n);
  PetscCall(VecRestoreArray(ksp->vec_sol, &x));
  PetscCall(VecRestoreArrayRead(ksp->vec_rhs, &b));
  PetscCall(e);
  PetscFunctionReturn(0);
}

PetscErrorCode KSPMatSolve_BK(KSP ksp, Mat B, Mat X) {
  PetscFunctionBegin;
  PetscInt n, N, nb, ldb, ldx;
  Mat A;
  PetscCall(PCGetOperators(ksp->pc, &A, nullptr));
  PetscCall(MatGetLocalSize(A, &n, nullptr));
  PetscCall(MatGetLocalSize(B, &nb, nullptr));
  PetscCall(bkpetsc::agree(PetscObjectComm(reinterpret_cast<PetscObject>(ksp)),
                           nb == n ? std::string()
                                   : "B holds " + std::to_string(nb) + " rows of this rank, and A " + std::to_string(n),
                           PETSC_ERR_ARG_SIZ));
  PetscCall(MatGetSize(B, nullptr, &N));
  PetscCall(MatDenseGetLDA(B, &ldb));
  PetscCall(MatDenseGetLDA(X, &ldx));
  const PetscScalar* b;
  PetscScalar* x;
  PetscCall(MatDenseGetArrayRead(B, &b));
  PetscCall(MatDenseGetArray(X, &x));
  const PetscErrorCode e = run(ksp, N, b, ldb, x, ldx);
  PetscCall(MatDenseRestoreArray(X, &x));
  PetscCall(MatDenseRestoreArrayRead(B, &b));
  PetscCall(e);
  PetscFunctionReturn(0);
}

PetscErrorCode KSPSetFromOptions_BK(KSP ksp, PetscOptionItems* PetscOptionsObject) {
  PetscFunctionBegin;
  KspBk* bk = data(ksp);
  Settings& s = bk->set;
  const MPI_Comm comm = PetscObjectComm(reinterpret_cast<PetscObject>(ksp));
  PetscInt product = s.product == ProductMode::block ? 0 : 1;
  PetscInt pc = s.pc;
  PetscOptionsHeadBegin(PetscOptionsObject, "KSP block Krylov options");
  PetscCall(PetscOptionsInt("-ksp_bk_block_size", "Columns solved together (0: all columns of B)", "KSPMatSolve",
                            s.block_size, &s.block_size, nullptr));
  PetscCall(PetscOptionsInt("-ksp_bk_restart", "GMRES basis capacity, in vectors (0: 60 per column of the block)",
                            "", s.restart, &s.restart, nullptr));
  PetscCall(PetscOptionsReal("-ksp_bk_deflation_tol", "GMRES: relative threshold for negligible directions", "",
                             s.deflation_tol, &s.deflation_tol, nullptr));
  PetscCall(PetscOptionsInt("-ksp_bk_stagnation_cycles",
                            "GMRES: cycles in a row without progress that end the solve (0: never)", "",
                            s.stagnation_cycles, &s.stagnation_cycles, nullptr));
  PetscCall(PetscOptionsInt("-ksp_bk_max_breakdowns", "Lanczos: restarts allowed after a breakdown", "",
                            s.max_breakdowns, &s.max_breakdowns, nullptr));
  PetscCall(PetscOptionsInt("-ksp_bk_max_products",
                            "Products with A and A^T per block of columns (0: 10 N s, at least 1000)", "",
                            s.max_products, &s.max_products, nullptr));
  PetscCall(PetscOptionsInt("-ksp_bk_threads", "OpenMP threads of the kernels (0: the caller's setting)", "",
                            s.threads, &s.threads, nullptr));
  PetscCall(PetscOptionsEList("-ksp_bk_pc", "Preconditioner: the KSP's PC, none, or a stock one on each rank's diagonal block",
                              "", kPcKinds, kNumPcKinds, kPcKinds[s.pc], &pc, nullptr));
  PetscCall(PetscOptionsReal("-ksp_bk_pc_omega", "Stock ssor: relaxation in (0, 2)", "", s.omega, &s.omega, nullptr));
  PetscCall(PetscOptionsReal("-ksp_bk_pc_drop_tol", "Stock ict/ilut: drop tolerance", "", s.drop_tol, &s.drop_tol,
                             nullptr));
  PetscCall(PetscOptionsReal("-ksp_bk_pc_fill", "Stock ict/ilut: fill limit", "", s.fill, &s.fill, nullptr));
  PetscCall(PetscOptionsEList("-ksp_bk_product", "Products with A: one MatMatMult per block, or MatMult per column",
                              "", kProductModes, 2, kProductModes[product], &product, nullptr));
  PetscOptionsHeadEnd();
  s.pc = static_cast<int>(pc);
  s.product = product == 0 ? ProductMode::block : ProductMode::column;
  PetscCheck(s.block_size >= 0, comm, PETSC_ERR_ARG_OUTOFRANGE, "-ksp_bk_block_size must be >= 0");
  PetscCheck(s.restart >= 0, comm, PETSC_ERR_ARG_OUTOFRANGE, "-ksp_bk_restart must be >= 0");
  PetscCheck(s.deflation_tol >= 0 && std::isfinite(s.deflation_tol), comm, PETSC_ERR_ARG_OUTOFRANGE,
             "-ksp_bk_deflation_tol must be finite and >= 0");
  PetscCheck(s.max_breakdowns >= 0, comm, PETSC_ERR_ARG_OUTOFRANGE, "-ksp_bk_max_breakdowns must be >= 0");
  PetscCheck(s.max_products >= 0, comm, PETSC_ERR_ARG_OUTOFRANGE, "-ksp_bk_max_products must be >= 0");
  PetscCheck(s.threads >= 0, comm, PETSC_ERR_ARG_OUTOFRANGE, "-ksp_bk_threads must be >= 0");
  PetscCheck(s.omega > 0 && s.omega < 2, comm, PETSC_ERR_ARG_OUTOFRANGE, "-ksp_bk_pc_omega must lie in (0, 2)");
  PetscCheck(s.drop_tol >= 0 && s.fill >= 0, comm, PETSC_ERR_ARG_OUTOFRANGE,
             "-ksp_bk_pc_drop_tol and -ksp_bk_pc_fill must be >= 0");
  PetscFunctionReturn(0);
}

PetscErrorCode KSPView_BK(KSP ksp, PetscViewer viewer) {
  PetscFunctionBegin;
  KspBk* bk = data(ksp);
  PetscBool ascii = PETSC_FALSE;
  PetscCall(PetscObjectTypeCompare(reinterpret_cast<PetscObject>(viewer), PETSCVIEWERASCII, &ascii));
  if (!ascii) PetscFunctionReturn(0);
  const Settings& s = bk->set;
  if (s.block_size > 0) PetscCall(PetscViewerASCIIPrintf(viewer, "  block size %" PetscInt_FMT "\n", s.block_size));
  else PetscCall(PetscViewerASCIIPrintf(viewer, "  block size: all columns of B\n"));
  PetscCall(PetscViewerASCIIPrintf(viewer, "  products with A: %s; preconditioner: %s\n",
                                   s.product == ProductMode::block ? "per block (MatMatMult)" : "per column (MatMult)",
                                   s.pc == 0 ? "the KSP's PC" : kPcKinds[s.pc]));
  if (bk->requested == Requested::gmres || bk->requested == Requested::automatic) {
    if (s.restart > 0) PetscCall(PetscViewerASCIIPrintf(viewer, "  GMRES basis capacity %" PetscInt_FMT "\n", s.restart));
    else PetscCall(PetscViewerASCIIPrintf(viewer, "  GMRES basis capacity: 60 per column of the block\n"));
  }
  if (!bk->last_method.empty()) {
    PetscCall(PetscViewerASCIIPrintf(viewer, "  last solve: method %s, preconditioner %s, %ld products\n",
                                     bk->last_method.c_str(), bk->last_pc.c_str(), bk->last_products));
    if (!bk->last_why.empty()) PetscCall(PetscViewerASCIIPrintf(viewer, "    chosen because %s\n", bk->last_why.c_str()));
    PetscCall(PetscViewerASCIIPrintf(viewer, "    %s\n", bk->last_summary.c_str()));
  }
  PetscFunctionReturn(0);
}

PetscErrorCode KSPReset_BK(KSP ksp) {
  PetscFunctionBegin;
  PetscCall(data(ksp)->release());
  PetscFunctionReturn(0);
}

PetscErrorCode KSPDestroy_BK(KSP ksp) {
  PetscFunctionBegin;
  KspBk* bk = data(ksp);
  if (bk) {
    PetscCall(bk->release());
    delete bk;
  }
  ksp->data = nullptr;
  PetscFunctionReturn(0);
}

PetscErrorCode create(KSP ksp, Requested requested) {
  PetscFunctionBegin;
  KspBk* bk = new KspBk;
  bk->requested = requested;
  ksp->data = bk;
  // Convergence is judged on the true residual of the unpreconditioned
  // system whatever the preconditioner; it is applied on the right.
  PetscCall(KSPSetSupportedNorm(ksp, KSP_NORM_UNPRECONDITIONED, PC_RIGHT, 3));
  PetscCall(KSPSetSupportedNorm(ksp, KSP_NORM_NONE, PC_RIGHT, 1));
  ksp->ops->setup = KSPSetUp_BK;
  ksp->ops->solve = KSPSolve_BK;
  ksp->ops->matsolve = KSPMatSolve_BK;
  ksp->ops->setfromoptions = KSPSetFromOptions_BK;
  ksp->ops->view = KSPView_BK;
  ksp->ops->reset = KSPReset_BK;
  ksp->ops->destroy = KSPDestroy_BK;
  ksp->ops->buildsolution = KSPBuildSolutionDefault;
  ksp->ops->buildresidual = KSPBuildResidualDefault;
  PetscFunctionReturn(0);
}

PetscErrorCode KSPCreate_BKSym(KSP ksp) { return create(ksp, Requested::symmetric); }
PetscErrorCode KSPCreate_BKQmr(KSP ksp) { return create(ksp, Requested::qmr); }
PetscErrorCode KSPCreate_BKGmres(KSP ksp) { return create(ksp, Requested::gmres); }
PetscErrorCode KSPCreate_BKAuto(KSP ksp) { return create(ksp, Requested::automatic); }

}  // namespace
}  // namespace bkpetsc

PetscErrorCode BKPetscRegister(void) {
  PetscFunctionBegin;
  PetscCall(KSPRegister(KSPBKSYM, bkpetsc::KSPCreate_BKSym));
  PetscCall(KSPRegister(KSPBKQMR, bkpetsc::KSPCreate_BKQmr));
  PetscCall(KSPRegister(KSPBKGMRES, bkpetsc::KSPCreate_BKGmres));
  PetscCall(KSPRegister(KSPBKAUTO, bkpetsc::KSPCreate_BKAuto));
  PetscFunctionReturn(0);
}

PetscErrorCode BKPetscGetLastSolve(KSP ksp, const char** method, const char** preconditioner, PetscInt* products,
                                   const char** summary) {
  PetscFunctionBegin;
  PetscValidHeaderSpecific(ksp, KSP_CLASSID, 1);
  PetscBool ours = PETSC_FALSE;
  PetscCall(PetscObjectTypeCompareAny(reinterpret_cast<PetscObject>(ksp), &ours, KSPBKSYM, KSPBKQMR, KSPBKGMRES,
                                      KSPBKAUTO, ""));
  PetscCheck(ours, PETSC_COMM_SELF, PETSC_ERR_ARG_WRONG, "the KSP is not of a block Krylov type (%s)",
             ((PetscObject)ksp)->type_name ? ((PetscObject)ksp)->type_name : "no type");
  const bkpetsc::KspBk* bk = bkpetsc::data(ksp);
  if (method) *method = bk->last_method.c_str();
  if (preconditioner) *preconditioner = bk->last_pc.c_str();
  if (products) *products = static_cast<PetscInt>(std::min<long>(bk->last_products, PETSC_MAX_INT));
  if (summary) *summary = bk->last_summary.c_str();
  PetscFunctionReturn(0);
}

// Called by PETSc when it opens this library (-dll_append, -dll_prepend).
PETSC_EXTERN PetscErrorCode PetscDLLibraryRegister_blockkrylov_petsc(void) { return BKPetscRegister(); }
