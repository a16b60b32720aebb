// petsc_fixtures.hpp - distributed test problems and solves for the bridge's
// tests. Every helper is collective on PETSC_COMM_WORLD; entries depend on
// global indices only, so a problem is the same whatever the distribution.
#pragma once

#include <gtest/gtest.h>
#include <petscksp.h>

#include <cmath>
#include <string>
#include <vector>

#include "blockkrylov_petsc.h"

namespace bkt {

// The rank's share of N rows: PETSC_DECIDE, or the split given by `rows`
// (one entry per rank) when it has one.
inline PetscInt local_rows(const std::vector<PetscInt>& rows) {
  if (rows.empty()) return PETSC_DECIDE;
  PetscMPIInt rank;
  MPI_Comm_rank(PETSC_COMM_WORLD, &rank);
  return rows[static_cast<std::size_t>(rank)];
}

inline int ranks() {
  PetscMPIInt size;
  MPI_Comm_size(PETSC_COMM_WORLD, &size);
  return size;
}

// A 5-point stencil on an n x n grid: diag, then the west, east, south and
// north neighbours.
inline Mat stencil2d(PetscInt n, const std::vector<PetscInt>& rows, PetscScalar diag, PetscScalar w, PetscScalar e,
                     PetscScalar s, PetscScalar nn) {
  const PetscInt N = n * n;
  Mat A = nullptr;
  MatCreateAIJ(PETSC_COMM_WORLD, local_rows(rows), local_rows(rows), N, N, 5, nullptr, 4, nullptr, &A);
  PetscInt lo, hi;
  MatGetOwnershipRange(A, &lo, &hi);
  for (PetscInt r = lo; r < hi; ++r) {
    const PetscInt i = r % n, j = r / n;
    MatSetValue(A, r, r, diag, INSERT_VALUES);
    if (i > 0) MatSetValue(A, r, r - 1, w, INSERT_VALUES);
    if (i < n - 1) MatSetValue(A, r, r + 1, e, INSERT_VALUES);
    if (j > 0) MatSetValue(A, r, r - n, s, INSERT_VALUES);
    if (j < n - 1) MatSetValue(A, r, r + n, nn, INSERT_VALUES);
  }
  MatAssemblyBegin(A, MAT_FINAL_ASSEMBLY);
  MatAssemblyEnd(A, MAT_FINAL_ASSEMBLY);
  return A;
}

// 2D Helmholtz, rows scaled by h^2: complex-symmetric (A = A^T),
// indefinite, lightly damped.
inline Mat helmholtz2d(PetscInt n, const std::vector<PetscInt>& rows = {}) {
  const double h = 1.0 / (n + 1), kh2 = 12.0 * 12.0 * h * h;
  return stencil2d(n, rows, PetscScalar(4.0 - kh2, -0.05 * kh2), -1.0, -1.0, -1.0, -1.0);
}

// 2D convection-diffusion with upwinding and a complex shift: A != A^T.
inline Mat convdiff2d(PetscInt n, const std::vector<PetscInt>& rows = {}) {
  const double h = 1.0 / (n + 1), cx = 30.0 * h, cy = 15.0 * h;
  return stencil2d(n, rows, PetscScalar(4.0 + cx + cy, 0.2), -1.0 - cx, -1.0, -1.0 - cy, -1.0);
}

// Dense B (rows distributed like A) with smooth, distinct columns; the
// columns listed in `zero` are left zero.
inline Mat rhs(Mat A, PetscInt s, const std::vector<PetscInt>& zero = {}) {
  PetscInt n, N, lo, hi;
  MatGetLocalSize(A, &n, nullptr);
  MatGetSize(A, &N, nullptr);
  MatGetOwnershipRange(A, &lo, &hi);
  Mat B = nullptr;
  MatCreateDense(PETSC_COMM_WORLD, n, PETSC_DECIDE, N, s, nullptr, &B);
  PetscScalar* b;
  PetscInt ld;
  MatDenseGetLDA(B, &ld);
  MatDenseGetArray(B, &b);
  for (PetscInt j = 0; j < s; ++j) {
    bool z = false;
    for (PetscInt c : zero) z = z || c == j;
    for (PetscInt i = lo; i < hi; ++i)
      b[j * ld + (i - lo)] = z ? 0.0 : PetscScalar(std::sin(0.37 * i * (j + 1)) + 0.1 * j, std::cos(0.11 * i + j));
  }
  MatDenseRestoreArray(B, &b);
  MatAssemblyBegin(B, MAT_FINAL_ASSEMBLY);
  MatAssemblyEnd(B, MAT_FINAL_ASSEMBLY);
  return B;
}

// ||b_j - op(A) x_j|| / ||b_j|| (op(A) = A or A^T) for every column.
inline std::vector<double> true_residuals(Mat A, Mat B, Mat X, bool transposed = false) {
  PetscInt s;
  MatGetSize(B, nullptr, &s);
  Mat R = nullptr;
  if (transposed) MatTransposeMatMult(A, X, MAT_INITIAL_MATRIX, PETSC_DEFAULT, &R);
  else MatMatMult(A, X, MAT_INITIAL_MATRIX, PETSC_DEFAULT, &R);
  MatAYPX(R, -1.0, B, SAME_NONZERO_PATTERN);
  std::vector<PetscReal> rn(s), bn(s);
  MatGetColumnNorms(R, NORM_2, rn.data());
  MatGetColumnNorms(B, NORM_2, bn.data());
  MatDestroy(&R);
  std::vector<double> rel(s);
  for (PetscInt j = 0; j < s; ++j) rel[j] = bn[j] > 0 ? rn[j] / bn[j] : rn[j];
  return rel;
}

// Runs `call` with PETSc's error printing off and returns its code.
template <class F>
PetscErrorCode quietly(F&& call) {
  PetscPushErrorHandler(PetscReturnErrorHandler, nullptr);
  const PetscErrorCode e = call();
  PetscPopErrorHandler();
  return e;
}

// A KSP of `type` on A with its own options database (`options`, e.g.
// "-pc_type jacobi"), rtol 1e-9 and the PC none unless the options say
// otherwise. The GMRES basis holds 30 vectors unless the options say
// otherwise: the problems are small, and rank 0 must hold more rows than the
// basis has vectors.
inline KSP make_ksp(Mat A, const char* type, const std::string& options, PetscOptions* db) {
  KSP ksp = nullptr;
  PC pc;
  PetscOptionsCreate(db);
  PetscOptionsInsertString(*db, ("-ksp_bk_restart 30 " + options).c_str());
  KSPCreate(PETSC_COMM_WORLD, &ksp);
  PetscObjectSetOptions(reinterpret_cast<PetscObject>(ksp), *db);
  KSPSetOperators(ksp, A, A);
  KSPSetType(ksp, type);
  KSPGetPC(ksp, &pc);
  PCSetType(pc, PCNONE);
  KSPSetTolerances(ksp, 1e-9, PETSC_DEFAULT, PETSC_DEFAULT, PETSC_DEFAULT);
  // Errors in the options come back from solve(), which sets them again.
  quietly([&] { return KSPSetFromOptions(ksp); });
  return ksp;
}

struct Outcome {
  PetscErrorCode err = 0;  // of the solve (or set-up), PETSc's printing off
  KSPConvergedReason reason = KSP_CONVERGED_ITERATING;
  std::string method, pc;
  std::vector<double> rel;  // true relative residuals
};

inline void collect(KSP ksp, Outcome& o) {
  KSPGetConvergedReason(ksp, &o.reason);
  const char *method = nullptr, *pc = nullptr;
  BKPetscGetLastSolve(ksp, &method, &pc, nullptr, nullptr);
  o.method = method ? method : "";
  o.pc = pc ? pc : "";
}

// KSPMatSolve (or one KSPSolve per column) of A X = B with X from zero.
// The true residuals are those of `Aref` when given (a matrix-free A).
inline Outcome solve(Mat A, Mat B, const char* type, const std::string& options, bool per_column = false,
                     bool transposed = false, Mat Aref = nullptr) {
  Outcome o;
  PetscOptions db;
  KSP ksp = make_ksp(A, type, options, &db);
  Mat X;
  MatDuplicate(B, MAT_DO_NOT_COPY_VALUES, &X);
  o.err = quietly([&] {
    PetscFunctionBegin;
    PetscCall(KSPSetFromOptions(ksp));
    if (per_column || transposed) {
      PetscInt s;
      PetscCall(MatGetSize(B, nullptr, &s));
      for (PetscInt j = 0; j < s; ++j) {
        Vec b, x;
        PetscCall(MatDenseGetColumnVecRead(B, j, &b));
        PetscCall(MatDenseGetColumnVecWrite(X, j, &x));
        const PetscErrorCode e = transposed ? KSPSolveTranspose(ksp, b, x) : KSPSolve(ksp, b, x);
        PetscCall(MatDenseRestoreColumnVecWrite(X, j, &x));
        PetscCall(MatDenseRestoreColumnVecRead(B, j, &b));
        PetscCall(e);
      }
    } else {
      PetscCall(KSPMatSolve(ksp, B, X));
    }
    PetscFunctionReturn(0);
  });
  if (!o.err) {
    collect(ksp, o);
    o.rel = true_residuals(Aref ? Aref : A, B, X, transposed);
  }
  KSPDestroy(&ksp);
  MatDestroy(&X);
  PetscOptionsDestroy(&db);
  return o;
}

inline double worst(const std::vector<double>& v) {
  double w = 0.0;
  for (double x : v) w = (x > w || std::isnan(x)) ? x : w;
  return w;
}

}  // namespace bkt
