// The serial engine as the reference of the distributed one, behind an
// interface of plain types: serial_reference.cpp compiles the engine without
// BLOCKKRYLOV_MPI (in a namespace of its own, so that it sits beside the
// distributed engine in one program) and runs it with this rank alone.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace mpihost {

using zc = std::complex<double>;

// A square sparse matrix (0-based, sorted rows).
struct Sparse {
  int n = 0;
  std::vector<std::int64_t> rowptr;
  std::vector<int> col;
  std::vector<zc> val;
};

// What a solve is asked to do; method and status are the values of
// blockkrylov::Method and blockkrylov::Status.
struct Setup {
  int method = 0;
  int s = 1;
  int restart = 0;
  bool jacobi = false;  // point Jacobi (the same on any split)
  double rtol = 1e-9;
  long max_products = 0;
  int stagnation_cycles = 20;
};

struct Outcome {
  int status = -1;
  long iterations = 0, products = 0;
  int restarts = 0;
  std::vector<double> residuals, history;
  std::string message;
  std::vector<zc> X;  // n x nrhs
};

// The serial engine on A X = B (B and the starting guess X0: n x nrhs).
Outcome serial_solve(const Sparse& A, const Setup& setup, int nrhs, const zc* B, const zc* X0);

}  // namespace mpihost
