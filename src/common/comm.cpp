#include "common/comm.hpp"

#include <cmath>
#include <cstdlib>

#include "common/blas.hpp"

#if BLOCKKRYLOV_MPI
#include <mpi.h>

#include <vector>
#endif

namespace bk::comm {

#if BLOCKKRYLOV_MPI
namespace {

// The calling thread's communicator: the one given to C_SETCOMM, else
// MPI_COMM_WORLD while MPI is running, else none (one process).
thread_local bool t_given = false;
thread_local MPI_Comm t_comm = MPI_COMM_NULL;
thread_local std::vector<long double> t_squares;

MPI_Comm current() {
  if (t_given) return t_comm;
  int up = 0, down = 0;
  MPI_Initialized(&up);
  if (!up) return MPI_COMM_NULL;
  MPI_Finalized(&down);
  return down ? MPI_COMM_NULL : MPI_COMM_WORLD;
}

template <class T>
void reduce_bcast(T* v, int len, MPI_Datatype type) {
  const MPI_Comm c = current();
  if (c == MPI_COMM_NULL || len <= 0) return;
  int ranks = 1, rank = 0;
  MPI_Comm_size(c, &ranks);
  if (ranks == 1) return;
  MPI_Comm_rank(c, &rank);
  MPI_Reduce(rank == 0 ? MPI_IN_PLACE : v, v, len, type, MPI_SUM, 0, c);
  MPI_Bcast(v, len, type, 0, c);
}

}  // namespace

void set_communicator(MPI_Comm c) {
  t_given = c != MPI_COMM_NULL;
  t_comm = c;
}

bool root() {
  const MPI_Comm c = current();
  int rank = 0;
  if (c != MPI_COMM_NULL) MPI_Comm_rank(c, &rank);
  return rank == 0;
}

int size() {
  const MPI_Comm c = current();
  int ranks = 1;
  if (c != MPI_COMM_NULL) MPI_Comm_size(c, &ranks);
  return ranks;
}

void sum(double* v, int len) { reduce_bcast(v, len, MPI_DOUBLE); }
void sum(long double* v, int len) { reduce_bcast(v, len, MPI_LONG_DOUBLE); }

void bcast(double* v, int len) {
  const MPI_Comm c = current();
  if (c == MPI_COMM_NULL || len <= 0 || size() == 1) return;
  MPI_Bcast(v, len, MPI_DOUBLE, 0, c);
}

void abort_all() {
  const MPI_Comm c = current();
  if (c != MPI_COMM_NULL && size() > 1) MPI_Abort(c, EXIT_FAILURE);
  std::exit(EXIT_FAILURE);
}
#endif

void norms(int n, int s, const zc* X, long ldx, double* nrm) {
  if (!split()) {
    for (int j = 0; j < s; ++j) nrm[j] = blas::dznrm2(n, X + j * ldx, 1);
    return;
  }
#if BLOCKKRYLOV_MPI
  if (t_squares.size() < static_cast<std::size_t>(s)) t_squares.resize(s);
  long double* sq = t_squares.data();
  for (int j = 0; j < s; ++j) {
    const double* x = reinterpret_cast<const double*>(X + j * ldx);
    long double acc = 0.0L;
    for (long i = 0; i < 2L * n; ++i) acc += static_cast<long double>(x[i]) * x[i];
    sq[j] = acc;
  }
  sum(sq, s);
  for (int j = 0; j < s; ++j) nrm[j] = static_cast<double>(std::sqrt(sq[j]));
#endif
}

}  // namespace bk::comm
