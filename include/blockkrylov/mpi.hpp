// blockkrylov/mpi.hpp - solves whose blocks hold this rank's rows.
//
// Build against the distributed kernel library (CMake target
// blockkrylov::mpi_cxx, which also defines BLOCKKRYLOV_MPI=1). Every rank
// makes the same calls with its own contiguous block of rows: n is the number
// of local rows (a rank may hold none), rank 0 holds the first rows, and the
// operators and preconditioners given to a solve act on local blocks (the
// host exchanges what its product needs; blockkrylov/distributed_csr.hpp has
// a sparse matrix that does). Reports, statuses and iteration counts are the
// same on every rank.
//
// Collective: making a Solver and every solve (all ranks, the same order,
// the same options and block size; a progress callback may stop the solve
// from any rank). The free functions of sizes (gmres_basis_capacity,
// auto_method, root_rows_needed) take the order over all ranks and are not.
//
// With more than one rank, rank 0 must hold more rows than
// root_rows_needed() gives: the GMRES basis capacity m plus one, and for a
// Lanczos block of s > 1 columns s plus one. A Solver made on a split that
// breaks this reports Status::invalid, with the rows rank 0 needs, at every
// solve (the kernel library itself would end the job).
#pragma once

#include <mpi.h>

#include <string>

#include "blockkrylov_mpi.h"

namespace blockkrylov::mpi {

namespace detail {
inline MPI_Comm& thread_communicator() {
  thread_local MPI_Comm c = MPI_COMM_NULL;
  return c;
}

// MPI is initialised and not yet finalised.
inline bool running() {
  int up = 0, down = 0;
  MPI_Initialized(&up);
  if (up) MPI_Finalized(&down);
  return up && !down;
}

// Makes the first non-empty text of the ranks of c (in rank order) every
// rank's; false when every rank's text is empty. Collective.
inline bool first_text(MPI_Comm c, std::string& text) {
  int ranks = 1, rank = 0;
  MPI_Comm_size(c, &ranks);
  MPI_Comm_rank(c, &rank);
  int from = text.empty() ? ranks : rank;
  MPI_Allreduce(MPI_IN_PLACE, &from, 1, MPI_INT, MPI_MIN, c);
  if (from == ranks) return false;
  int len = static_cast<int>(text.size());
  MPI_Bcast(&len, 1, MPI_INT, from, c);
  text.resize(static_cast<std::size_t>(len));
  MPI_Bcast(text.data(), len, MPI_CHAR, from, c);
  return true;
}
}  // namespace detail

// The communicator of this thread's solves and kernel calls from now on;
// MPI_COMM_NULL restores the default, MPI_COMM_WORLD.
inline void use_communicator(MPI_Comm c) {
  detail::thread_communicator() = c;
  MPI_Fint f = MPI_Comm_c2f(c);
  C_SETCOMM(c == MPI_COMM_NULL ? nullptr : &f);
}

inline MPI_Comm communicator() {
  const MPI_Comm c = detail::thread_communicator();
  return c == MPI_COMM_NULL ? MPI_COMM_WORLD : c;
}

}  // namespace blockkrylov::mpi
