// local_pc.cpp - stock preconditioners on each rank's diagonal block (see
// local_pc.hpp).
#include "local_pc.hpp"

#include <exception>
#include <vector>

namespace bkpetsc {

PetscErrorCode agree(MPI_Comm comm, const std::string& why, PetscErrorCode code) {
  PetscFunctionBegin;
  PetscMPIInt rank, size;
  PetscCallMPI(MPI_Comm_rank(comm, &rank));
  PetscCallMPI(MPI_Comm_size(comm, &size));
  PetscMPIInt mine = why.empty() ? size : rank, first = size;
  PetscCallMPI(MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, comm));
  if (first == size) PetscFunctionReturn(0);
  std::string msg = why;
  PetscMPIInt len = static_cast<PetscMPIInt>(msg.size());
  PetscCallMPI(MPI_Bcast(&len, 1, MPI_INT, first, comm));
  msg.resize(static_cast<std::size_t>(len));
  PetscCallMPI(MPI_Bcast(msg.data(), len, MPI_CHAR, first, comm));
  if (size > 1) SETERRQ(comm, code, "rank %d: %s", first, msg.c_str());
  SETERRQ(comm, code, "%s", msg.c_str());
}

namespace {

// This rank's diagonal block of P as a CSR matrix (local indices); `why`
// says what failed, if anything. PETSc errors are turned into `why` rather
// than returned, so that the caller reaches the collective agreement.
blockkrylov::CsrMatrix diagonal_block(Mat P, std::string& why) {
  blockkrylov::CsrMatrix a;
  PetscInt n = 0;
  Mat D = nullptr;
  PetscPushErrorHandler(PetscReturnErrorHandler, nullptr);
  PetscErrorCode e = MatGetLocalSize(P, &n, nullptr);
  if (!e) e = MatGetDiagonalBlock(P, &D);
  PetscPopErrorHandler();
  if (e) {
    MatType type = nullptr;
    MatGetType(P, &type);
    why = std::string("the stock preconditioners need the rank's diagonal block of the preconditioning "
                      "matrix, which a matrix of type ") +
          (type ? type : "(unset)") + " does not give";
    return a;
  }
  std::vector<int> rows, cols;
  std::vector<blockkrylov::complex> vals;
  for (PetscInt i = 0; i < n && why.empty(); ++i) {
    PetscInt nc = 0;
    const PetscInt* c = nullptr;
    const PetscScalar* v = nullptr;
    PetscPushErrorHandler(PetscReturnErrorHandler, nullptr);
    e = MatGetRow(D, i, &nc, &c, &v);
    PetscPopErrorHandler();
    if (e) {
      MatType type = nullptr;
      MatGetType(D, &type);
      why = std::string("cannot read the rows of the diagonal block (type ") + (type ? type : "(unset)") +
            ") for a stock preconditioner";
      break;
    }
    for (PetscInt q = 0; q < nc; ++q) {
      rows.push_back(static_cast<int>(i));
      cols.push_back(static_cast<int>(c[q]));
      vals.push_back(blockkrylov::complex(PetscRealPart(v[q]), PetscImaginaryPart(v[q])));
    }
    MatRestoreRow(D, i, &nc, &c, &v);
  }
  if (why.empty()) a = blockkrylov::CsrMatrix::from_triplets(static_cast<int>(n), rows, cols, vals);
  return a;
}

}  // namespace

PetscErrorCode build_local_preconditioner(Mat P, const LocalPcSettings& st, blockkrylov::Preconditioner* out) {
  namespace pre = blockkrylov::precond;
  PetscFunctionBegin;
  const MPI_Comm comm = PetscObjectComm(reinterpret_cast<PetscObject>(P));
  PetscInt n;
  PetscCall(MatGetLocalSize(P, &n, nullptr));
  std::string why;
  blockkrylov::Preconditioner p;
  if (n > 0) {
    try {
      const blockkrylov::CsrMatrix a = diagonal_block(P, why);
      if (why.empty()) {
        const std::string& k = st.kind;
        if (k == "jacobi") p = pre::jacobi(a);
        else if (k == "ssor") p = pre::ssor(a, st.omega);
        else if (k == "ic0") p = pre::ic0(a);
        else if (k == "ict") p = pre::ict(a, st.drop_tol, st.fill);
        else if (k == "ilu0") p = pre::ilu0(a);
        else if (k == "ilut") p = pre::ilut(a, st.drop_tol, st.fill);
        else if (k == "auto" && st.symmetric_method && !a.is_symmetric()) {
          p = pre::jacobi(a);
          p.name = "auto: jacobi (block != its transpose, and the symmetric method needs M2 = M1^T)";
        } else if (k == "auto") p = pre::automatic(a);
        else why = "unknown stock preconditioner '" + k + "'";
      }
    } catch (const std::exception& ex) {
      why = ex.what();
    }
  } else {
    // No rows here: the same factor solves as elsewhere, doing nothing.
    const blockkrylov::Operator none = [](int, const blockkrylov::complex*, blockkrylov::complex*) {};
    p.left = p.right = p.left_t = p.right_t = none;
    p.symmetric = true;
    p.name = "none (no rows)";
  }
  PetscCall(agree(comm, why, PETSC_ERR_ARG_WRONG));

  // One shape on every rank: the engine's decisions (and its collective
  // calls) follow which operators are present.
  PetscMPIInt sym = p.symmetric ? 1 : 0, all_sym = 0;
  PetscCallMPI(MPI_Allreduce(&sym, &all_sym, 1, MPI_INT, MPI_MIN, comm));
  p.symmetric = all_sym != 0;
  PetscMPIInt fused = (p.fused && st.fused_allowed) ? 1 : 0, all_fused = 0;
  PetscCallMPI(MPI_Allreduce(&fused, &all_fused, 1, MPI_INT, MPI_MIN, comm));
  if (!all_fused) p.fused = p.fused_t = nullptr;

  // Reports name the preconditioner of rank 0.
  PetscMPIInt size;
  PetscCallMPI(MPI_Comm_size(comm, &size));
  PetscMPIInt len = static_cast<PetscMPIInt>(p.name.size());
  PetscCallMPI(MPI_Bcast(&len, 1, MPI_INT, 0, comm));
  p.name.resize(static_cast<std::size_t>(len));
  PetscCallMPI(MPI_Bcast(p.name.data(), len, MPI_CHAR, 0, comm));
  if (size > 1) p.name += " (each rank's diagonal block)";
  *out = std::move(p);
  PetscFunctionReturn(0);
}

}  // namespace bkpetsc
