// The test program's main: PETSc and the KSP types set up once, every rank
// running every test (each test makes collective calls), results printed by
// rank 0 and the exit status agreed by all ranks.
#include <gtest/gtest.h>
#include <petscsys.h>

#include "blockkrylov_petsc.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (PetscInitialize(&argc, &argv, nullptr, nullptr)) return 1;
  if (BKPetscRegister()) return 1;
  int rank = 0;
  MPI_Comm_rank(PETSC_COMM_WORLD, &rank);
  if (rank != 0) {
    ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
  }
  int failed = RUN_ALL_TESTS() != 0, any = 0;
  MPI_Allreduce(&failed, &any, 1, MPI_INT, MPI_MAX, PETSC_COMM_WORLD);
  if (PetscFinalize()) return 1;
  return any;
}
