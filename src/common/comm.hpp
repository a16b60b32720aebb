// Sums over the rows of a block.
//
// In the serial library a block holds all n rows, and these are the plain
// computations (or nothing). In the distributed library (BLOCKKRYLOV_MPI)
// each rank of the calling thread's communicator holds a contiguous block of
// rows, rank 0 the first; every sum over rows is completed across the ranks by
// reducing on rank 0 and broadcasting the result, so that each rank receives
// the same bits and takes the same decisions from them. With one rank the
// distributed library takes the serial paths, bit for bit.
//
// Every function here is collective in the distributed library: all ranks of
// the communicator call it, in the same order, with the same len.
#pragma once

#include "common/core.hpp"

#if BLOCKKRYLOV_MPI
#include <mpi.h>
#endif

namespace bk::comm {

#if BLOCKKRYLOV_MPI
// The calling thread's communicator from now on; MPI_COMM_NULL restores the
// default (MPI_COMM_WORLD while MPI runs, else one process).
void set_communicator(MPI_Comm c);
bool root();  // rank 0 (or no communicator)
int size();   // ranks of the communicator, 1 without one
void sum(double* v, int len);
void sum(long double* v, int len);
void bcast(double* v, int len);  // from rank 0
// Ends every rank of the communicator (or the process) with a failure status.
[[noreturn]] void abort_all();
#else
constexpr bool root() { return true; }
constexpr int size() { return 1; }
inline void sum(double*, int) {}
inline void sum(long double*, int) {}
inline void bcast(double*, int) {}
#endif

// More than one rank: rows are split, and the GMRES pivot rows lie on rank 0.
inline bool split() { return size() > 1; }

inline void sum(zc* v, int len) { sum(reinterpret_cast<double*>(v), 2 * len); }
inline void bcast(zc* v, int len) { bcast(reinterpret_cast<double*>(v), 2 * len); }

// nrm(j) = ||X(1:n, j)||_2 over all rows, j = 1..s, in one reduction: the
// scaled BLAS norm on one rank; across ranks, sums of squares carried in
// long double (which neither overflows nor underflows for squares of
// doubles), then one square root rounded to double.
void norms(int n, int s, const zc* X, long ldx, double* nrm);

}  // namespace bk::comm
