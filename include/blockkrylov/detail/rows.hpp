// blockkrylov/detail/rows.hpp - what the engine learns about the rows that
// other ranks hold.
//
// With the distributed kernel library (BLOCKKRYLOV_MPI) each rank holds a
// contiguous block of rows, and every decision the engine takes from row data
// must come out the same on every rank: a rank that decided otherwise would
// wait in a product or a kernel call that the others never make. Norms come
// out global from C_COLBLOCKNORMS already; everything else the engine learns
// from rows (their number, whether an iterate is zero, whether a callback
// asks to stop, why arguments are unusable) goes through these functions,
// which are collective over the thread's communicator. While MPI is not
// running they describe one process, as the kernel library does. In the
// serial build they are the plain values.
//
// The other way round, C_COLBLOCKNORMS of the distributed library sums over
// the ranks whatever it is given; the small arrays that every rank holds
// whole (the GMRES right-hand side G, the Lanczos remainder TAU) take
// replicated_norms instead.
#pragma once

#include <cstdint>
#include <string>

#include "blockkrylov.h"

#if BLOCKKRYLOV_MPI
#include <mpi.h>

#include "blockkrylov/mpi.hpp"
#endif

namespace blockkrylov::detail::rows {

// Elements per column of the engine's row blocks: one even on a rank
// without rows, so that no block handed to the kernels is a null pointer
// (some entry points take a null block to mean "none").
inline std::size_t storage(int n) { return n > 0 ? static_cast<std::size_t>(n) : 1; }

#if BLOCKKRYLOV_MPI
constexpr bool distributed = true;

inline MPI_Comm comm() { return mpi::detail::running() ? mpi::communicator() : MPI_COMM_NULL; }

inline int ranks() {
  const MPI_Comm c = comm();
  int r = 1;
  if (c != MPI_COMM_NULL) MPI_Comm_size(c, &r);
  return r;
}

// Rows over all ranks.
inline long global(int n) {
  long v = n;
  if (const MPI_Comm c = comm(); c != MPI_COMM_NULL)
    MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_LONG, MPI_SUM, c);
  return v;
}

// v holds on every rank.
inline bool all(bool v) {
  int x = v ? 1 : 0;
  if (const MPI_Comm c = comm(); c != MPI_COMM_NULL)
    MPI_Allreduce(MPI_IN_PLACE, &x, 1, MPI_INT, MPI_LAND, c);
  return x != 0;
}

// Rank 0's rows.
inline int root_rows(int n) {
  if (const MPI_Comm c = comm(); c != MPI_COMM_NULL) MPI_Bcast(&n, 1, MPI_INT, 0, c);
  return n;
}

// The first non-empty text in rank order becomes every rank's; false when
// there is none.
inline bool agree(std::string& text) {
  const MPI_Comm c = comm();
  return c == MPI_COMM_NULL ? !text.empty() : mpi::detail::first_text(c, text);
}

// The column norms of an array that every rank holds whole: the kernel
// library's, computed with this rank alone (the same bits on every rank, and
// the serial library's), then the thread's communicator again.
inline void replicated_norms(const bk_complex* x, int32_t ld, int32_t n, int32_t s, double* nrm) {
  if (!mpi::detail::running()) return C_COLBLOCKNORMS(x, &ld, &n, &s, nrm);
  MPI_Fint self = MPI_Comm_c2f(MPI_COMM_SELF);
  C_SETCOMM(&self);
  C_COLBLOCKNORMS(x, &ld, &n, &s, nrm);
  const MPI_Comm c = mpi::detail::thread_communicator();
  MPI_Fint back = MPI_Comm_c2f(c);
  C_SETCOMM(c == MPI_COMM_NULL ? nullptr : &back);
}
#else
constexpr bool distributed = false;
constexpr int ranks() { return 1; }
constexpr long global(int n) { return n; }
constexpr bool all(bool v) { return v; }
constexpr int root_rows(int n) { return n; }
inline bool agree(const std::string& text) { return !text.empty(); }
inline void replicated_norms(const bk_complex* x, int32_t ld, int32_t n, int32_t s, double* nrm) {
  C_COLBLOCKNORMS(x, &ld, &n, &s, nrm);
}
#endif

}  // namespace blockkrylov::detail::rows
