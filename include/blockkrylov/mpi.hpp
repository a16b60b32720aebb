// blockkrylov/mpi.hpp - solves whose blocks hold this rank's rows.
//
// Build against the distributed kernel library (CMake target
// blockkrylov::mpi_cxx, which also defines BLOCKKRYLOV_MPI=1). Every rank
// makes the same calls with its own contiguous block of rows: n is the number
// of local rows, rank 0 holds the first rows, and the operators and
// preconditioners given to a solve act on local blocks (the host exchanges
// what its product needs). Reports, statuses and iteration counts are the
// same on every rank.
#pragma once

#include <mpi.h>

#include "blockkrylov_mpi.h"

namespace blockkrylov::mpi {

namespace detail {
inline MPI_Comm& thread_communicator() {
  thread_local MPI_Comm c = MPI_COMM_NULL;
  return c;
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
