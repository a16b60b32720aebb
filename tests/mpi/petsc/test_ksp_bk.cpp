// The KSP types through PETSc's own calls: every method with every source
// of preconditioner, single vectors, transposed solves, starting guesses,
// limits, monitors, and the errors that must reach the caller on every rank
// (never a hang, never a solve reported as converged).
#include <petscksp.h>

#include <string>
#include <vector>

#include "petsc_fixtures.hpp"

namespace {

using bkt::Outcome;

constexpr double kRtol = 1e-9;
// The methods stop on the true residual; PETSc's own product differs from
// theirs by rounding only.
constexpr double kAccept = 10 * kRtol;

struct Case {
  const char* name;
  const char* type;
  const char* options;
  bool symmetric_matrix;  // Helmholtz (A = A^T) or convection-diffusion
  const char* method;     // the method expected to run
  const char* pc;         // start of the applied preconditioner's name
  int nrhs;
};

const Case kCases[] = {
    {"sym", KSPBKSYM, "", true, "symmetric", "none", 4},
    {"qmr", KSPBKQMR, "", false, "qmr", "none", 4},
    {"gmres", KSPBKGMRES, "", false, "gmres", "none", 4},
    {"auto_symmetric", KSPBKAUTO, "", true, "symmetric", "none", 4},
    {"auto_general", KSPBKAUTO, "", false, "qmr", "none", 4},
    // The KSP's PC (PCMatApply, PCApplyTranspose for the two-sided method).
    {"gmres_pc_jacobi", KSPBKGMRES, "-pc_type jacobi", false, "gmres", "PC jacobi", 4},
    {"qmr_pc_bjacobi", KSPBKQMR, "-pc_type bjacobi", false, "qmr", "PC bjacobi", 4},
    {"auto_pc_bjacobi", KSPBKAUTO, "-pc_type bjacobi", true, "qmr", "PC bjacobi", 4},
    // A plain Jacobi PC is split D^1/2 D^1/2 for the symmetric method.
    {"auto_pc_jacobi", KSPBKAUTO, "-pc_type jacobi", true, "symmetric", "jacobi", 4},
    // Stock preconditioners on each rank's diagonal block.
    {"sym_ic0", KSPBKSYM, "-ksp_bk_pc ic0", true, "symmetric", "ic0", 4},
    {"sym_ssor", KSPBKSYM, "-ksp_bk_pc ssor", true, "symmetric", "ssor", 4},
    {"qmr_ilu0", KSPBKQMR, "-ksp_bk_pc ilu0", false, "qmr", "ilu0", 4},
    {"gmres_bk_pc_none", KSPBKGMRES, "-pc_type jacobi -ksp_bk_pc none", false, "gmres", "none", 4},
    {"qmr_columns", KSPBKQMR, "-ksp_bk_product column", false, "qmr", "none", 4},
    // Blocks of 2, 2 and 1 columns; PETSc's batches (views of leading
    // dimension N).
    {"gmres_blocks", KSPBKGMRES, "-ksp_bk_block_size 2", false, "gmres", "none", 5},
    {"sym_batches", KSPBKSYM, "-ksp_matsolve_batch_size 3", true, "symmetric", "none", 5},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Methods : public ::testing::TestWithParam<Case> {};

TEST_P(Methods, BlockSolveMeetsTheToleranceOnTheTrueResidual) {
  const Case& c = GetParam();
  Mat A = c.symmetric_matrix ? bkt::helmholtz2d(16) : bkt::convdiff2d(16);
  Mat B = bkt::rhs(A, c.nrhs);
  const Outcome o = bkt::solve(A, B, c.type, c.options);
  EXPECT_EQ(o.err, 0);
  EXPECT_GT(o.reason, 0) << KSPConvergedReasons[o.reason];
  EXPECT_EQ(o.method, c.method);
  EXPECT_EQ(o.pc.rfind(c.pc, 0), 0u) << o.pc;
  EXPECT_EQ(static_cast<int>(o.rel.size()), c.nrhs);
  EXPECT_LE(bkt::worst(o.rel), kAccept);
  MatDestroy(&B);
  MatDestroy(&A);
}

INSTANTIATE_TEST_SUITE_P(Bridge, Methods, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// KSPSolve with one vector, and KSPSolveTranspose (A^T x = b: the general
// methods swap A and A^T, and the preconditioner's solves for their
// transposes).
TEST(Vectors, SolveAndSolveTranspose) {
  struct V {
    const char* type;
    const char* options;
    bool transposed;
  };
  for (const V& v : {V{KSPBKSYM, "", false}, V{KSPBKQMR, "", false}, V{KSPBKGMRES, "", false},
                     V{KSPBKGMRES, "", true}, V{KSPBKQMR, "", true}, V{KSPBKGMRES, "-pc_type bjacobi", true},
                     V{KSPBKAUTO, "-ksp_bk_pc ilu0", true}}) {
    Mat A = v.type == std::string(KSPBKSYM) ? bkt::helmholtz2d(16) : bkt::convdiff2d(16);
    Mat B = bkt::rhs(A, 2);
    const Outcome o = bkt::solve(A, B, v.type, v.options, true, v.transposed);
    EXPECT_EQ(o.err, 0) << v.type << " " << v.options << " " << v.transposed;
    EXPECT_GT(o.reason, 0) << v.type << " " << v.options << " " << v.transposed;
    EXPECT_LE(bkt::worst(o.rel), kAccept) << v.type << " " << v.options << " " << v.transposed;
    MatDestroy(&B);
    MatDestroy(&A);
  }
}

// A converged starting guess needs no iteration and is left as it is; a
// zero column of B gets x = 0; without KSPSetInitialGuessNonzero, X is not
// read.
TEST(InitialGuess, IsHonouredWhenNonzeroAndIgnoredOtherwise) {
  for (const char* type : {KSPBKSYM, KSPBKQMR, KSPBKGMRES}) {
    Mat A = bkt::helmholtz2d(12);
    Mat B = bkt::rhs(A, 3, {1});
    PetscOptions db;
    KSP ksp = bkt::make_ksp(A, type, "", &db);
    Mat X, X0;
    MatDuplicate(B, MAT_DO_NOT_COPY_VALUES, &X);
    EXPECT_EQ(bkt::quietly([&] { return KSPMatSolve(ksp, B, X); }), 0);
    PetscInt its_zero, its;
    KSPGetIterationNumber(ksp, &its_zero);
    PetscReal norms[3];
    MatGetColumnNorms(X, NORM_2, norms);
    EXPECT_EQ(norms[1], 0.0) << type;
    MatDuplicate(X, MAT_COPY_VALUES, &X0);

    KSPSetInitialGuessNonzero(ksp, PETSC_TRUE);
    EXPECT_EQ(bkt::quietly([&] { return KSPMatSolve(ksp, B, X); }), 0);
    KSPGetIterationNumber(ksp, &its);
    EXPECT_EQ(its, 0) << type;
    PetscBool same = PETSC_FALSE;
    MatEqual(X, X0, &same);
    EXPECT_TRUE(same) << type;

    KSPSetInitialGuessNonzero(ksp, PETSC_FALSE);
    MatShift(X, 1e6);
    EXPECT_EQ(bkt::quietly([&] { return KSPMatSolve(ksp, B, X); }), 0);
    KSPGetIterationNumber(ksp, &its);
    EXPECT_EQ(its, its_zero) << type;
    EXPECT_LE(bkt::worst(bkt::true_residuals(A, B, X)), kAccept) << type;

    KSPDestroy(&ksp);
    PetscOptionsDestroy(&db);
    MatDestroy(&X0);
    MatDestroy(&X);
    MatDestroy(&B);
    MatDestroy(&A);
  }
}

// How a solve ends, as PETSc states it.
TEST(Limits, ReasonsForLimitsAndTolerances) {
  Mat A = bkt::convdiff2d(16);
  Mat B = bkt::rhs(A, 2);
  struct L {
    const char* type;
    const char* options;
    KSPConvergedReason reason;
  };
  for (const L& l : {L{KSPBKQMR, "-ksp_max_it 3", KSP_DIVERGED_ITS}, L{KSPBKGMRES, "-ksp_max_it 3", KSP_DIVERGED_ITS},
                     L{KSPBKGMRES, "-ksp_bk_max_products 20", KSP_DIVERGED_ITS},
                     L{KSPBKGMRES, "-ksp_rtol 1e-300 -ksp_atol 1e-3", KSP_CONVERGED_ATOL}}) {
    const Outcome o = bkt::solve(A, B, l.type, l.options);
    EXPECT_EQ(o.err, 0) << l.options;
    EXPECT_EQ(o.reason, l.reason) << l.type << " " << l.options;
    EXPECT_LT(bkt::worst(o.rel), 1.0) << l.options;  // the iterate reached is kept
  }
  MatDestroy(&B);
  MatDestroy(&A);
}

// Monitors and the residual history see every iteration, numbered on across
// the blocks of columns.
TEST(Monitoring, MonitorsAndHistorySeeEveryIteration) {
  Mat A = bkt::convdiff2d(12);
  Mat B = bkt::rhs(A, 3);
  PetscOptions db;
  KSP ksp = bkt::make_ksp(A, KSPBKGMRES, "-ksp_bk_block_size 2", &db);
  struct Seen {
    PetscInt calls = 0, last = 0;
    bool increasing = true;
  } seen;
  KSPMonitorSet(
      ksp,
      [](KSP, PetscInt it, PetscReal, void* ctx) -> PetscErrorCode {
        auto* s = static_cast<Seen*>(ctx);
        s->increasing = s->increasing && it > s->last;
        s->last = it;
        ++s->calls;
        return 0;
      },
      &seen, nullptr);
  PetscReal hist[4000];
  KSPSetResidualHistory(ksp, hist, 4000, PETSC_TRUE);
  Mat X;
  MatDuplicate(B, MAT_DO_NOT_COPY_VALUES, &X);
  EXPECT_EQ(bkt::quietly([&] { return KSPMatSolve(ksp, B, X); }), 0);
  PetscInt its, nhist;
  const PetscReal* h;
  KSPGetIterationNumber(ksp, &its);
  KSPGetResidualHistory(ksp, &h, &nhist);
  EXPECT_EQ(seen.calls, its);
  EXPECT_EQ(seen.last, its);
  EXPECT_TRUE(seen.increasing);
  EXPECT_EQ(nhist, its);
  KSPDestroy(&ksp);
  PetscOptionsDestroy(&db);
  MatDestroy(&X);
  MatDestroy(&B);
  MatDestroy(&A);
}

// ---------------------------------------------------------------------------
// Matrix-free operators and user PCs.

struct ShellCtx {
  Mat A;
  int calls = 0, fail_at = -1;  // the product that fails (from 1); -1: none
};

PetscErrorCode shell_mult(Mat S, Vec x, Vec y) {
  PetscFunctionBegin;
  ShellCtx* c;
  PetscCall(MatShellGetContext(S, &c));
  PetscCheck(++c->calls != c->fail_at, PETSC_COMM_SELF, PETSC_ERR_USER, "shell product %d fails", c->calls);
  PetscCall(MatMult(c->A, x, y));
  PetscFunctionReturn(0);
}

// An operator known only through MatMult: bkauto takes block GMRES (no
// A^T), and a product that fails inside a solve is raised as that error
// on every rank after the solve.
TEST(MatrixFree, ShellOperatorSolvesAndItsErrorsReachTheCaller) {
  for (int fail_at : {-1, 5}) {
    ShellCtx ctx;
    ctx.A = bkt::convdiff2d(12);
    ctx.fail_at = fail_at;
    PetscInt n, N;
    MatGetLocalSize(ctx.A, &n, nullptr);
    MatGetSize(ctx.A, &N, nullptr);
    Mat S, B = bkt::rhs(ctx.A, 2);
    MatCreateShell(PETSC_COMM_WORLD, n, n, N, N, &ctx, &S);
    MatShellSetOperation(S, MATOP_MULT, reinterpret_cast<void (*)(void)>(shell_mult));
    const Outcome o = bkt::solve(S, B, KSPBKAUTO, "", false, false, ctx.A);
    if (fail_at < 0) {
      EXPECT_EQ(o.err, 0);
      EXPECT_EQ(o.method, "gmres");
      EXPECT_LE(bkt::worst(o.rel), kAccept);
      EXPECT_EQ(bkt::solve(S, B, KSPBKQMR, "").err, PETSC_ERR_SUP);  // needs A^T
    } else {
      EXPECT_EQ(o.err, PETSC_ERR_USER);
    }
    MatDestroy(&S);
    MatDestroy(&B);
    MatDestroy(&ctx.A);
  }
}

PetscErrorCode diag_apply(PC pc, Vec x, Vec y) {
  PetscFunctionBegin;
  Vec* inv_diag;
  PetscCall(PCShellGetContext(pc, &inv_diag));
  PetscCall(VecPointwiseMult(y, *inv_diag, x));
  PetscFunctionReturn(0);
}

// A user's own PC (PCSHELL, no transposed application) is the
// preconditioner of block GMRES; the two-sided method refuses it.
TEST(UserPc, ShellPreconditioner) {
  Mat A = bkt::convdiff2d(12);
  Mat B = bkt::rhs(A, 3);
  Vec inv_diag;
  MatCreateVecs(A, &inv_diag, nullptr);
  MatGetDiagonal(A, inv_diag);
  VecReciprocal(inv_diag);
  for (const char* type : {KSPBKGMRES, KSPBKQMR}) {
    PetscOptions db;
    KSP ksp = bkt::make_ksp(A, type, "", &db);
    PC pc;
    KSPGetPC(ksp, &pc);
    PCSetType(pc, PCSHELL);
    PCShellSetContext(pc, &inv_diag);
    PCShellSetApply(pc, diag_apply);
    Mat X;
    MatDuplicate(B, MAT_DO_NOT_COPY_VALUES, &X);
    const PetscErrorCode e = bkt::quietly([&] { return KSPMatSolve(ksp, B, X); });
    if (type == std::string(KSPBKQMR)) {
      EXPECT_EQ(e, PETSC_ERR_SUP);
    } else {
      Outcome o;
      bkt::collect(ksp, o);
      EXPECT_EQ(e, 0);
      EXPECT_EQ(o.pc, "PC shell");
      EXPECT_LE(bkt::worst(bkt::true_residuals(A, B, X)), kAccept);
    }
    KSPDestroy(&ksp);
    PetscOptionsDestroy(&db);
    MatDestroy(&X);
  }
  VecDestroy(&inv_diag);
  MatDestroy(&B);
  MatDestroy(&A);
}

// A PC whose set-up failed (zero pivots in ILU) fails the solve with
// KSP_DIVERGED_PC_FAILED instead of iterating with a broken factor.
TEST(UserPc, FailedSetUpIsReportedAsPcFailed) {
  Mat A = bkt::convdiff2d(8);
  PetscInt lo, hi;
  MatGetOwnershipRange(A, &lo, &hi);
  for (PetscInt r = lo; r < hi; ++r) MatSetValue(A, r, r, 0.0, INSERT_VALUES);
  MatAssemblyBegin(A, MAT_FINAL_ASSEMBLY);
  MatAssemblyEnd(A, MAT_FINAL_ASSEMBLY);
  Mat B = bkt::rhs(A, 2);
  const Outcome o = bkt::solve(A, B, KSPBKGMRES, "-pc_type bjacobi");
  EXPECT_EQ(o.err, 0);
  EXPECT_EQ(o.reason, KSP_DIVERGED_PC_FAILED);
  MatDestroy(&B);
  MatDestroy(&A);
}

// ---------------------------------------------------------------------------
// What is refused, with a PETSc error on every rank.

TEST(Refusals, ArgumentsTheMethodsCannotUse) {
  Mat S = bkt::helmholtz2d(10), G = bkt::convdiff2d(10);
  Mat BS = bkt::rhs(S, 2), BG = bkt::rhs(G, 2);
  // A zero diagonal entry in the last rank's block: stock SSOR fails there
  // only, and every rank must raise it.
  Mat Z;
  MatDuplicate(S, MAT_COPY_VALUES, &Z);
  PetscInt lo, hi, N;
  MatGetSize(Z, &N, nullptr);
  MatGetOwnershipRange(Z, &lo, &hi);
  if (N - 1 >= lo && N - 1 < hi) MatSetValue(Z, N - 1, N - 1, 0.0, INSERT_VALUES);
  MatAssemblyBegin(Z, MAT_FINAL_ASSEMBLY);
  MatAssemblyEnd(Z, MAT_FINAL_ASSEMBLY);
  struct R {
    Mat A, B;
    const char* type;
    const char* options;
    PetscErrorCode code;  // 0: any error
  };
  const R cases[] = {
      {G, BG, KSPBKSYM, "", PETSC_ERR_ARG_WRONG},                  // A != A^T
      {S, BS, KSPBKSYM, "-pc_type sor", PETSC_ERR_SUP},            // not a split PC
      {S, BS, KSPBKSYM, "-ksp_bk_pc ilu0", PETSC_ERR_ARG_WRONG},   // M2 != M1^T
      {G, BG, KSPBKGMRES, "-ksp_bk_pc ic0", PETSC_ERR_ARG_WRONG},  // block != its transpose
      {Z, BS, KSPBKGMRES, "-ksp_bk_pc ssor", PETSC_ERR_ARG_WRONG},
      {S, BS, KSPBKGMRES, "-ksp_pc_side left", PETSC_ERR_SUP},
      {S, BS, KSPBKGMRES, "-ksp_bk_pc nonsense", 0},
      {S, BS, KSPBKGMRES, "-ksp_bk_block_size -1", PETSC_ERR_ARG_OUTOFRANGE},
      {S, BS, KSPBKGMRES, "-ksp_bk_pc ssor -ksp_bk_pc_omega 2", PETSC_ERR_ARG_OUTOFRANGE},
  };
  for (const R& r : cases) {
    const Outcome o = bkt::solve(r.A, r.B, r.type, r.options);
    EXPECT_NE(o.err, 0) << r.type << " " << r.options;
    if (r.code) {
      EXPECT_EQ(o.err, r.code) << r.type << " " << r.options;
    }
  }
  MatDestroy(&Z);
  MatDestroy(&BG);
  MatDestroy(&BS);
  MatDestroy(&G);
  MatDestroy(&S);
}

// ---------------------------------------------------------------------------
// Distributions.

// Rank 0 holds the pivot rows of the GMRES basis (m + 1 rows for m
// vectors): with fewer rows there the solve is refused with an error
// instead of ending the job.
TEST(Distribution, RankZeroMustHoldTheGmresPivotRows) {
  const int p = bkt::ranks();
  if (p < 2) GTEST_SKIP() << "needs two ranks";
  const PetscInt n = 16, N = n * n;
  std::vector<PetscInt> rows(p, (N - 20) / (p - 1));
  rows[0] = 20;
  rows[p - 1] += (N - 20) - (p - 1) * rows[1];
  Mat A = bkt::convdiff2d(n, rows);
  Mat B = bkt::rhs(A, 2);
  EXPECT_EQ(bkt::solve(A, B, KSPBKGMRES, "-ksp_bk_restart 0").err, PETSC_ERR_ARG_SIZ);
  EXPECT_EQ(bkt::solve(A, B, KSPBKGMRES, "-ksp_bk_restart 20 -ksp_bk_block_size 2").err, PETSC_ERR_ARG_SIZ);
  Outcome o = bkt::solve(A, B, KSPBKGMRES, "-ksp_bk_restart 19 -ksp_bk_block_size 2");
  EXPECT_EQ(o.err, 0);
  EXPECT_GT(o.reason, 0);
  o = bkt::solve(A, B, KSPBKQMR, "");  // the Lanczos block needs s + 1 rows only
  EXPECT_EQ(o.err, 0);
  EXPECT_LE(bkt::worst(o.rel), kAccept);
  MatDestroy(&B);
  MatDestroy(&A);
}

// A rank may hold no rows at all: every method, products by block and by
// column, PETSc and stock preconditioners.
TEST(Distribution, ARankWithoutRows) {
  const int p = bkt::ranks();
  if (p < 2) GTEST_SKIP() << "needs two ranks";
  const PetscInt n = 14, N = n * n;
  std::vector<PetscInt> rows(p, N / (p - 1));
  rows[p - 2] += N - (p - 1) * (N / (p - 1));
  rows[p - 1] = 0;
  Mat A = bkt::helmholtz2d(n, rows);
  Mat B = bkt::rhs(A, 3);
  struct D {
    const char* type;
    const char* options;
  };
  for (const D& d : {D{KSPBKSYM, ""}, D{KSPBKSYM, "-ksp_bk_pc ic0"}, D{KSPBKSYM, "-pc_type jacobi"},
                     D{KSPBKQMR, ""}, D{KSPBKQMR, "-ksp_bk_product column"}, D{KSPBKGMRES, "-pc_type bjacobi"}}) {
    const Outcome o = bkt::solve(A, B, d.type, d.options);
    EXPECT_EQ(o.err, 0) << d.type << " " << d.options;
    EXPECT_LE(bkt::worst(o.rel), kAccept) << d.type << " " << d.options;
  }
  MatDestroy(&B);
  MatDestroy(&A);
}

}  // namespace
