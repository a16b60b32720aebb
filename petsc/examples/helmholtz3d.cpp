// helmholtz3d - a distributed 3D Helmholtz problem solved for several point
// sources at once with KSPMatSolve and the block Krylov KSP types.
//
//   -Laplace(u) - k^2 (1 + i damping) u = f  on the unit cube, u = 0 on its
//   boundary; 7-point differences on an n x n x n grid of interior points
//   (rows scaled by h^2). The matrix is complex-symmetric (A = A^T).
//
// Run, for instance:
//   mpirun -n 4 ./bk_helmholtz3d -n 20 -ksp_type bkgmres
//   mpirun -n 2 ./bk_helmholtz3d -ksp_type bksym -ksp_bk_pc ic0
//   mpirun -n 2 ./bk_helmholtz3d -ksp_type bkqmr -pc_type bjacobi
//
// Options (besides every KSP, PC and -ksp_bk_* option):
//   -n <20>          interior grid points per direction
//   -k <12>          wave number
//   -damping <0.05>  relative imaginary part of k^2
//   -nrhs <4>        point sources (columns of B)
//   -single_vector   solve column by column with KSPSolve instead
//   -check <tol>     exit with status 1 unless the solve converged and every
//                    true relative residual ||b_j - A x_j|| / ||b_j|| is at
//                    most tol
// The preconditioner is none unless -pc_type or -ksp_bk_pc says otherwise.
// The true residuals are computed with PETSc after the solve and printed on
// rank 0.
#include <petscksp.h>

#include <vector>

#include "blockkrylov_petsc.h"

namespace {

struct Problem {
  PetscInt n = 20;
  PetscReal k = 12.0, damping = 0.05;
  PetscInt nrhs = 4;
};

PetscErrorCode assemble(MPI_Comm comm, const Problem& p, Mat* A) {
  PetscFunctionBegin;
  const PetscInt n = p.n, N = n * n * n;
  const PetscReal h = 1.0 / static_cast<PetscReal>(n + 1);
  const PetscReal kh2 = p.k * p.k * h * h;
  const PetscScalar diag = PetscScalar(6.0 - kh2, -kh2 * p.damping);
  PetscCall(MatCreate(comm, A));
  PetscCall(MatSetSizes(*A, PETSC_DECIDE, PETSC_DECIDE, N, N));
  PetscCall(MatSetFromOptions(*A));
  PetscCall(MatMPIAIJSetPreallocation(*A, 7, nullptr, 6, nullptr));
  PetscCall(MatSeqAIJSetPreallocation(*A, 7, nullptr));
  PetscInt lo, hi;
  PetscCall(MatGetOwnershipRange(*A, &lo, &hi));
  for (PetscInt row = lo; row < hi; ++row) {
    const PetscInt i = row % n, j = (row / n) % n, l = row / (n * n);
    PetscInt cols[7];
    PetscScalar vals[7];
    PetscInt c = 0;
    const auto add = [&](PetscInt col, PetscScalar v) {
      cols[c] = col;
      vals[c] = v;
      ++c;
    };
    if (l > 0) add(row - n * n, -1.0);
    if (j > 0) add(row - n, -1.0);
    if (i > 0) add(row - 1, -1.0);
    add(row, diag);
    if (i < n - 1) add(row + 1, -1.0);
    if (j < n - 1) add(row + n, -1.0);
    if (l < n - 1) add(row + n * n, -1.0);
    PetscCall(MatSetValues(*A, 1, &row, c, cols, vals, INSERT_VALUES));
  }
  PetscCall(MatAssemblyBegin(*A, MAT_FINAL_ASSEMBLY));
  PetscCall(MatAssemblyEnd(*A, MAT_FINAL_ASSEMBLY));
  PetscCall(MatSetOption(*A, MAT_SYMMETRIC, PETSC_TRUE));
  PetscCall(MatSetOption(*A, MAT_SYMMETRY_ETERNAL, PETSC_TRUE));
  PetscFunctionReturn(0);
}

// Unit point sources spread along a diagonal of the cube, one per column.
PetscErrorCode sources(const Problem& p, Mat A, Mat* B) {
  PetscFunctionBegin;
  const PetscInt n = p.n, N = n * n * n;
  PetscInt nloc, lo, hi;
  PetscCall(MatGetLocalSize(A, &nloc, nullptr));
  PetscCall(MatGetOwnershipRange(A, &lo, &hi));
  PetscCall(MatCreateDense(PetscObjectComm(reinterpret_cast<PetscObject>(A)), nloc, PETSC_DECIDE, N, p.nrhs, nullptr,
                           B));
  PetscCall(MatZeroEntries(*B));
  for (PetscInt c = 0; c < p.nrhs; ++c) {
    const PetscInt t = (c + 1) * n / (p.nrhs + 1);
    const PetscInt i = t, j = n - 1 - t, l = n / 2;
    const PetscInt row = i + n * j + n * n * l;
    if (row >= lo && row < hi) PetscCall(MatSetValue(*B, row, c, 1.0, INSERT_VALUES));
  }
  PetscCall(MatAssemblyBegin(*B, MAT_FINAL_ASSEMBLY));
  PetscCall(MatAssemblyEnd(*B, MAT_FINAL_ASSEMBLY));
  PetscFunctionReturn(0);
}

// ||b_j - A x_j|| and ||b_j|| for every column, on every rank.
PetscErrorCode true_residuals(Mat A, Mat B, Mat X, std::vector<PetscReal>& rn, std::vector<PetscReal>& bn) {
  PetscFunctionBegin;
  PetscInt s;
  PetscCall(MatGetSize(B, nullptr, &s));
  Mat R;
  PetscCall(MatMatMult(A, X, MAT_INITIAL_MATRIX, PETSC_DEFAULT, &R));
  PetscCall(MatAYPX(R, -1.0, B, SAME_NONZERO_PATTERN));
  rn.assign(s, 0.0);
  bn.assign(s, 0.0);
  PetscCall(MatGetColumnNorms(R, NORM_2, rn.data()));
  PetscCall(MatGetColumnNorms(B, NORM_2, bn.data()));
  PetscCall(MatDestroy(&R));
  PetscFunctionReturn(0);
}

PetscErrorCode run(bool* ok) {
  PetscFunctionBegin;
  const MPI_Comm comm = PETSC_COMM_WORLD;
  Problem p;
  PetscBool single = PETSC_FALSE, check_set = PETSC_FALSE;
  PetscReal check = 0.0;
  PetscOptionsBegin(comm, nullptr, "3D Helmholtz with point sources", "");
  PetscCall(PetscOptionsInt("-n", "interior grid points per direction", "", p.n, &p.n, nullptr));
  PetscCall(PetscOptionsReal("-k", "wave number", "", p.k, &p.k, nullptr));
  PetscCall(PetscOptionsReal("-damping", "relative imaginary part of k^2", "", p.damping, &p.damping, nullptr));
  PetscCall(PetscOptionsInt("-nrhs", "point sources (columns of B)", "", p.nrhs, &p.nrhs, nullptr));
  PetscCall(PetscOptionsBool("-single_vector", "solve column by column with KSPSolve", "", single, &single, nullptr));
  PetscCall(PetscOptionsReal("-check", "largest true relative residual accepted", "", check, &check, &check_set));
  PetscOptionsEnd();
  PetscCheck(p.n >= 2 && p.nrhs >= 1, comm, PETSC_ERR_ARG_OUTOFRANGE, "-n must be >= 2 and -nrhs >= 1");

  Mat A, B, X;
  PetscCall(assemble(comm, p, &A));
  PetscCall(sources(p, A, &B));
  PetscCall(MatDuplicate(B, MAT_DO_NOT_COPY_VALUES, &X));

  KSP ksp;
  PC pc;
  PetscCall(KSPCreate(comm, &ksp));
  PetscCall(KSPSetOperators(ksp, A, A));
  PetscCall(KSPSetType(ksp, KSPBKGMRES));
  PetscCall(KSPGetPC(ksp, &pc));
  PetscCall(PCSetType(pc, PCNONE));
  PetscCall(KSPSetTolerances(ksp, 1e-8, PETSC_DEFAULT, PETSC_DEFAULT, PETSC_DEFAULT));
  PetscCall(KSPSetFromOptions(ksp));

  PetscLogDouble t0, t1;
  PetscInt its = 0;
  KSPConvergedReason reason = KSP_CONVERGED_ITERATING;
  PetscCall(PetscTime(&t0));
  if (single) {
    // One KSPSolve per column; the worst reason and the total iterations.
    for (PetscInt c = 0; c < p.nrhs; ++c) {
      Vec b, x;
      PetscInt it;
      KSPConvergedReason r;
      PetscCall(MatDenseGetColumnVecRead(B, c, &b));
      PetscCall(MatDenseGetColumnVecWrite(X, c, &x));
      PetscCall(KSPSolve(ksp, b, x));
      PetscCall(MatDenseRestoreColumnVecWrite(X, c, &x));
      PetscCall(MatDenseRestoreColumnVecRead(B, c, &b));
      PetscCall(KSPGetIterationNumber(ksp, &it));
      PetscCall(KSPGetConvergedReason(ksp, &r));
      its += it;
      if (c == 0 || (reason > 0 && r <= 0)) reason = r;
    }
  } else {
    PetscCall(KSPMatSolve(ksp, B, X));
    PetscCall(KSPGetIterationNumber(ksp, &its));
    PetscCall(KSPGetConvergedReason(ksp, &reason));
  }
  PetscCall(PetscTime(&t1));

  std::vector<PetscReal> rn, bn;
  PetscCall(true_residuals(A, B, X, rn, bn));
  PetscMPIInt size;
  PetscCallMPI(MPI_Comm_size(comm, &size));
  KSPType type;
  PCType pctype;
  PetscCall(KSPGetType(ksp, &type));
  PetscCall(PCGetType(pc, &pctype));
  PetscCall(PetscPrintf(comm, "helmholtz3d: %" PetscInt_FMT "^3 = %" PetscInt_FMT " unknowns on %d ranks, %" PetscInt_FMT
                              " sources, k = %g, damping %g\n",
                        p.n, p.n * p.n * p.n, size, p.nrhs, (double)p.k, (double)p.damping));
  PetscBool ours = PETSC_FALSE;
  PetscCall(PetscObjectTypeCompareAny(reinterpret_cast<PetscObject>(ksp), &ours, KSPBKSYM, KSPBKQMR, KSPBKGMRES,
                                      KSPBKAUTO, ""));
  if (ours) {
    const char *method, *pcname, *summary;
    PetscInt products;
    PetscCall(BKPetscGetLastSolve(ksp, &method, &pcname, &products, &summary));
    PetscCall(PetscPrintf(comm, "KSP %s (method %s), preconditioner %s, %s: %s after %" PetscInt_FMT
                                " iterations%s (%.3f s)\n",
                          type, method, pcname, single ? "KSPSolve per column" : "KSPMatSolve",
                          KSPConvergedReasons[reason], its, single ? " in all" : "", t1 - t0));
    if (!single) PetscCall(PetscPrintf(comm, "  %s\n", summary));
  } else {
    PetscCall(PetscPrintf(comm, "KSP %s, PC %s, %s: %s after %" PetscInt_FMT " iterations (%.3f s)\n", type, pctype,
                          single ? "KSPSolve per column" : "KSPMatSolve", KSPConvergedReasons[reason], its, t1 - t0));
  }
  PetscCall(PetscPrintf(comm, "column  true ||b - A x||   relative to ||b||\n"));
  PetscReal worst = 0.0;
  bool finite = true;
  for (std::size_t j = 0; j < rn.size(); ++j) {
    const PetscReal rel = bn[j] > 0 ? rn[j] / bn[j] : rn[j];
    PetscCall(PetscPrintf(comm, "%6zu  %.3e          %.3e\n", j + 1, (double)rn[j], (double)rel));
    if (!(rel == rel)) finite = false;
    worst = PetscMax(worst, rel);
  }
  *ok = true;
  if (check_set) {
    *ok = reason > 0 && finite && worst <= check;
    PetscCall(PetscPrintf(comm, "check (converged, every residual <= %g): %s\n", (double)check, *ok ? "passed" : "FAILED"));
  }

  PetscCall(KSPDestroy(&ksp));
  PetscCall(MatDestroy(&X));
  PetscCall(MatDestroy(&B));
  PetscCall(MatDestroy(&A));
  PetscFunctionReturn(0);
}

}  // namespace

int main(int argc, char** argv) {
  PetscCall(PetscInitialize(&argc, &argv, nullptr, nullptr));
  PetscCall(BKPetscRegister());
  bool ok = false;
  PetscCall(run(&ok));
  PetscCall(PetscFinalize());
  return ok ? 0 : 1;
}
