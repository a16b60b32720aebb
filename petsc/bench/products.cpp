// products - times the two ways the bridge forms products with A for a
// block of k columns: one MatProduct (MatMatMult, MatTransposeMatMult) per
// block, or MatMult / MatMultTranspose per column. The 7-point 3D
// Helmholtz matrix of the example, n^3 unknowns.
//
//   mpirun -n 2 ./bk_petsc_products -n 40 -k 4 -reps 200
#include <petscksp.h>

#include <algorithm>
#include <vector>

#include "blocks.hpp"

namespace {

PetscErrorCode laplacian(MPI_Comm comm, PetscInt n, Mat* A) {
  PetscFunctionBegin;
  const PetscInt N = n * n * n;
  PetscCall(MatCreateAIJ(comm, PETSC_DECIDE, PETSC_DECIDE, N, N, 7, nullptr, 6, nullptr, A));
  PetscInt lo, hi;
  PetscCall(MatGetOwnershipRange(*A, &lo, &hi));
  for (PetscInt row = lo; row < hi; ++row) {
    const PetscInt i = row % n, j = (row / n) % n, l = row / (n * n);
    const PetscInt nb[6] = {l > 0 ? row - n * n : -1, j > 0 ? row - n : -1, i > 0 ? row - 1 : -1,
                            i < n - 1 ? row + 1 : -1, j < n - 1 ? row + n : -1, l < n - 1 ? row + n * n : -1};
    PetscCall(MatSetValue(*A, row, row, PetscScalar(5.9, -0.01), INSERT_VALUES));
    for (PetscInt c : nb)
      if (c >= 0) PetscCall(MatSetValue(*A, row, c, -1.0, INSERT_VALUES));
  }
  PetscCall(MatAssemblyBegin(*A, MAT_FINAL_ASSEMBLY));
  PetscCall(MatAssemblyEnd(*A, MAT_FINAL_ASSEMBLY));
  PetscFunctionReturn(0);
}

// Seconds per call of `mode`, the largest over the ranks (best of 3 runs).
PetscErrorCode time_mode(Mat A, bkpetsc::ProductMode mode, bool transposed, int k, int reps, double* sec) {
  PetscFunctionBegin;
  PetscInt n;
  PetscCall(MatGetLocalSize(A, &n, nullptr));
  std::vector<bkpetsc::complex> x(static_cast<std::size_t>(n) * k), y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = bkpetsc::complex(1.0 + (i % 7), 0.5 * (i % 3));
  bkpetsc::BlockProducts prod;
  PetscCall(prod.bind(A, mode));
  prod.apply(transposed, k, x.data(), y.data());  // set-up outside the timing
  double best = 1e300;
  for (int run = 0; run < 3; ++run) {
    PetscCallMPI(MPI_Barrier(PETSC_COMM_WORLD));
    const double t0 = MPI_Wtime();
    for (int r = 0; r < reps; ++r) prod.apply(transposed, k, x.data(), y.data());
    double t = (MPI_Wtime() - t0) / reps, tmax;
    PetscCallMPI(MPI_Allreduce(&t, &tmax, 1, MPI_DOUBLE, MPI_MAX, PETSC_COMM_WORLD));
    best = std::min(best, tmax);
  }
  PetscCall(prod.take_error());
  *sec = best;
  PetscFunctionReturn(0);
}

}  // namespace

int main(int argc, char** argv) {
  PetscCall(PetscInitialize(&argc, &argv, nullptr, nullptr));
  PetscInt n = 40, k = 4, reps = 200;
  PetscCall(PetscOptionsGetInt(nullptr, nullptr, "-n", &n, nullptr));
  PetscCall(PetscOptionsGetInt(nullptr, nullptr, "-k", &k, nullptr));
  PetscCall(PetscOptionsGetInt(nullptr, nullptr, "-reps", &reps, nullptr));
  Mat A;
  PetscCall(laplacian(PETSC_COMM_WORLD, n, &A));
  PetscMPIInt size;
  PetscCallMPI(MPI_Comm_size(PETSC_COMM_WORLD, &size));
  PetscCall(PetscPrintf(PETSC_COMM_WORLD, "%" PetscInt_FMT "^3 unknowns, %d ranks, k = %" PetscInt_FMT
                                          ", microseconds per block product (best of 3 x %" PetscInt_FMT ")\n",
                        n, size, k, reps));
  for (int tr = 0; tr < 2; ++tr) {
    double blk, col;
    PetscCall(time_mode(A, bkpetsc::ProductMode::block, tr, k, reps, &blk));
    PetscCall(time_mode(A, bkpetsc::ProductMode::column, tr, k, reps, &col));
    PetscCall(PetscPrintf(PETSC_COMM_WORLD, "  %s  block %9.1f   column %9.1f   column/block %.2f\n",
                          tr ? "A^T X" : "A X  ", blk * 1e6, col * 1e6, col / blk));
  }
  PetscCall(MatDestroy(&A));
  PetscCall(PetscFinalize());
  return 0;
}
