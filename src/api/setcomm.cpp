// The distributed library's one entry beyond the twelve: the communicator of
// the calling thread's later calls.
#if BLOCKKRYLOV_MPI
#include "blockkrylov_mpi.h"

#include "common/comm.hpp"

extern "C" void C_SETCOMM(const MPI_Fint* comm) {
  const MPI_Comm c = comm ? MPI_Comm_f2c(*comm) : MPI_COMM_NULL;
  bk::comm::set_communicator(c);
}
#endif
