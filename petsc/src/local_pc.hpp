// local_pc.hpp - the engine's stock preconditioners built on each rank's
// diagonal block of the preconditioning matrix (block Jacobi with a stock
// factorisation per block, no communication when applied), and the
// collective agreement on failures that PETSc errors need.
#pragma once

#include <petscksp.h>

#include <string>

#include "blockkrylov/preconditioners.hpp"

namespace bkpetsc {

struct LocalPcSettings {
  std::string kind;  // jacobi | ssor | ic0 | ict | ilu0 | ilut | auto
  double omega = 1.0;
  double drop_tol = 1e-3;
  double fill = 5.0;
  // Stock `auto` for the symmetric method: a split M2 = M1^T is needed, so
  // a block that is not complex-symmetric gets jacobi instead of ilut.
  bool symmetric_method = false;
  // SSOR's fused product M1^-1 A M2^-1 holds only when the diagonal block
  // is the whole operator (one rank, preconditioning matrix = A).
  bool fused_allowed = false;
};

// Builds the preconditioner from P's diagonal block on every rank of P's
// communicator (collective). Every rank gets the same shape: the four
// factor solves (no-ops on a rank without rows), the fused product only
// where allowed, and `symmetric` true only when it holds on every rank.
// A failure on any rank (a zero diagonal entry for ssor, a block that is
// not complex-symmetric for ic0/ict, a matrix type without a diagonal
// block) is raised on every rank with that rank's reason.
PetscErrorCode build_local_preconditioner(Mat P, const LocalPcSettings& st, blockkrylov::Preconditioner* out);

// Raises one error on every rank of comm when any rank's `why` is not
// empty: the message of the lowest such rank, named. Collective.
PetscErrorCode agree(MPI_Comm comm, const std::string& why, PetscErrorCode code);

}  // namespace bkpetsc
