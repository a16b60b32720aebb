/*
 * blockkrylov_petsc.h - the block Krylov solvers as PETSc KSP types
 * (libblockkrylov_petsc, complex PETSc 3.18).
 *
 * After BKPetscRegister() a KSP takes the types
 *
 *   bksym    block QMR on the complex-symmetric block Lanczos process
 *            (A = A^T, plain transpose)
 *   bkqmr    block QMR on the two-sided block Lanczos process (general A;
 *            needs products with A^T and, with a preconditioner, its
 *            transposed application)
 *   bkgmres  restarted block GMRES with a Householder basis and deflation
 *   bkauto   one of the three, chosen at each solve from what is known of A
 *            and of the preconditioner
 *
 * through KSPSetType() or -ksp_type. KSPMatSolve() solves all columns of a
 * dense B together (blocks of -ksp_bk_block_size columns); KSPSolve() is a
 * block of one. Each rank works on its own rows of A, B and X. Options
 * (-ksp_bk_*) and what is supported: docs/petsc.md.
 *
 * Loading without a code change: -dll_append <dir>/libblockkrylov_petsc.so
 * registers the types as well (PETSc calls the library's registration
 * function when it opens it).
 */
#ifndef BLOCKKRYLOV_PETSC_H
#define BLOCKKRYLOV_PETSC_H

#include <petscksp.h>

#define KSPBKSYM   "bksym"
#define KSPBKQMR   "bkqmr"
#define KSPBKGMRES "bkgmres"
#define KSPBKAUTO  "bkauto"

/* Registers the four KSP types; call after PetscInitialize(). Calling it
 * again is harmless. */
PETSC_EXTERN PetscErrorCode BKPetscRegister(void);

/* What the last solve of a KSP of one of these types did: the method that
 * ran ("symmetric", "qmr" or "gmres"; bkauto's choice), the preconditioner
 * it applied ("none", "PC <type>" for the KSP's PC, or the stock one's
 * name), the products with A and A^T it spent (one per column), and its
 * one-line summary. Pointers stay valid until the next solve or the KSP is
 * destroyed. Any output may be NULL. Not collective; the values are the
 * same on every rank. */
PETSC_EXTERN PetscErrorCode BKPetscGetLastSolve(KSP ksp, const char **method, const char **preconditioner,
                                                PetscInt *products, const char **summary);

#endif
