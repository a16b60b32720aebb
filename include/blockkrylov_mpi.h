/*
 * blockkrylov_mpi.h - the distributed kernel library (libblockkrylov_mpi).
 *
 * The twelve entry points of blockkrylov.h, each called by every rank of a
 * communicator with the rank's own contiguous block of rows: n is the number
 * of local rows, rank 0 holds the first rows, rank 1 the next, and so on
 * (a rank may hold none). Every sum over rows (inner products, norms, Gram
 * products, the Householder inner products) is completed across the ranks;
 * every small matrix, result code and decision comes out bit for bit the
 * same on all ranks. Message records are written by rank 0 only. Every call
 * is collective: all ranks make the same calls in the same order.
 *
 * The block GMRES steps keep the pivot rows 1..m of their reflectors (m, the
 * capacity of the reflector set) on rank 0: with more than one rank, rank 0
 * must hold more than m rows. A distribution that breaks this is refused
 * with a record and the job ends (MPI_Abort).
 *
 * Which communicator. C_SETCOMM sets the communicator of the calling thread's
 * later calls (a Fortran handle, as MPI_Comm_c2f gives); a null pointer or
 * MPI_COMM_NULL's handle restores the default: MPI_COMM_WORLD while MPI is
 * initialised and not finalised, else one process with no communication.
 * The library calls MPI only from the thread that called it; a program that
 * solves on several threads at once needs MPI_THREAD_MULTIPLE and one
 * communicator per thread.
 */
#ifndef BLOCKKRYLOV_MPI_H
#define BLOCKKRYLOV_MPI_H

#include <mpi.h>

#include "blockkrylov.h"

#ifdef __cplusplus
extern "C" {
#endif

BLOCKKRYLOV_API void C_SETCOMM(const MPI_Fint* comm);

#ifdef __cplusplus
}
#endif

#endif
