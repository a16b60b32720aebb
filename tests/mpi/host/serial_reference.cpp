// The serial engine, for comparison with the distributed one in the same
// program: compiled without BLOCKKRYLOV_MPI and with its namespace renamed
// (every inline function of the engine then has names of its own). Its
// kernel calls go to the distributed library with this rank alone as the
// communicator, which gives exactly the serial library's results.
#include <mpi.h>

#include "blockkrylov_mpi.h"
#undef BLOCKKRYLOV_MPI
#define blockkrylov blockkrylov_serial
#include "blockkrylov/preconditioners.hpp"
#include "blockkrylov/solver.hpp"
#undef blockkrylov

#include "reference.hpp"

namespace mpihost {

Outcome serial_solve(const Sparse& A, const Setup& setup, int nrhs, const zc* B, const zc* X0) {
  namespace bk = blockkrylov_serial;
  bk::CsrMatrix a;
  a.n = A.n, a.rowptr = A.rowptr, a.col = A.col, a.val = A.val;
  const bk::Operator op = [&a](int k, const zc* x, zc* y) { a.multiply(k, x, y); };
  const bk::Operator opt = [&a](int k, const zc* x, zc* y) { a.multiply_transpose(k, x, y); };
  bk::Options o;
  o.rtol = setup.rtol;
  o.restart = setup.restart;
  o.max_products = setup.max_products;
  o.stagnation_cycles = setup.stagnation_cycles;
  if (setup.jacobi) o.preconditioner = bk::precond::jacobi(a);
  Outcome out;
  out.X.assign(X0, X0 + static_cast<std::size_t>(A.n) * nrhs);
  MPI_Fint self = MPI_Comm_c2f(MPI_COMM_SELF);
  C_SETCOMM(&self);
  bk::Solver solver(static_cast<bk::Method>(setup.method), A.n, setup.s, o);
  const bk::Report& r = solver.solve(op, opt, nrhs, B, A.n, out.X.data(), A.n);
  C_SETCOMM(nullptr);
  out.status = static_cast<int>(r.status);
  out.iterations = r.iterations, out.products = r.products, out.restarts = r.restarts;
  out.residuals = r.residuals;
  out.history = r.history;
  out.message = r.message;
  return out;
}

}  // namespace mpihost
