/* A program linked to PETSc alone: the block Krylov KSP types come from
 * -dll_append <libblockkrylov_petsc.so>. Solves a complex-symmetric
 * tridiagonal system with -ksp_type and checks that this type ran and that
 * the true residual is small. */
#include <petscksp.h>

int main(int argc, char **argv)
{
  Mat                A;
  Vec                b, x, r;
  KSP                ksp;
  PetscInt           i, lo, hi, N = 400;
  PetscReal          rn, bn;
  PetscBool          ours;
  KSPType            type;
  KSPConvergedReason reason;
  int                ok;

  PetscCall(PetscInitialize(&argc, &argv, NULL, NULL));
  PetscCall(MatCreateAIJ(PETSC_COMM_WORLD, PETSC_DECIDE, PETSC_DECIDE, N, N, 3, NULL, 1, NULL, &A));
  PetscCall(MatGetOwnershipRange(A, &lo, &hi));
  for (i = lo; i < hi; ++i) {
    if (i > 0) PetscCall(MatSetValue(A, i, i - 1, -1.0, INSERT_VALUES));
    PetscCall(MatSetValue(A, i, i, 2.5 + 0.1 * PETSC_i, INSERT_VALUES));
    if (i < N - 1) PetscCall(MatSetValue(A, i, i + 1, -1.0, INSERT_VALUES));
  }
  PetscCall(MatAssemblyBegin(A, MAT_FINAL_ASSEMBLY));
  PetscCall(MatAssemblyEnd(A, MAT_FINAL_ASSEMBLY));
  PetscCall(MatCreateVecs(A, &x, &b));
  PetscCall(VecDuplicate(b, &r));
  PetscCall(VecSet(b, 1.0));
  PetscCall(KSPCreate(PETSC_COMM_WORLD, &ksp));
  PetscCall(KSPSetOperators(ksp, A, A));
  PetscCall(KSPSetTolerances(ksp, 1e-10, PETSC_DEFAULT, PETSC_DEFAULT, PETSC_DEFAULT));
  PetscCall(KSPSetFromOptions(ksp));
  PetscCall(KSPSolve(ksp, b, x));
  PetscCall(KSPGetType(ksp, &type));
  PetscCall(PetscStrncmp(type, "bk", 2, &ours));
  PetscCall(KSPGetConvergedReason(ksp, &reason));
  PetscCall(MatMult(A, x, r));
  PetscCall(VecAYPX(r, -1.0, b));
  PetscCall(VecNorm(r, NORM_2, &rn));
  PetscCall(VecNorm(b, NORM_2, &bn));
  ok = ours && reason > 0 && rn <= 1e-9 * bn;
  PetscCall(PetscPrintf(PETSC_COMM_WORLD, "KSP %s: %s, relative residual %.3e: %s\n", type, KSPConvergedReasons[reason],
                        (double)(rn / bn), ok ? "passed" : "FAILED"));
  PetscCall(KSPDestroy(&ksp));
  PetscCall(VecDestroy(&r));
  PetscCall(VecDestroy(&x));
  PetscCall(VecDestroy(&b));
  PetscCall(MatDestroy(&A));
  PetscCall(PetscFinalize());
  return ok ? 0 : 1;
}
