# The distributed build: MPI (OpenMPI on Debian) and, for the PETSc bridge,
# a PETSc built for complex scalars. Both are optional; BLOCKKRYLOV_MPI is on
# by default only when both are found, so a machine without them builds the
# serial libraries alone.
find_package(MPI COMPONENTS C CXX QUIET)
find_package(PkgConfig QUIET)
set(BK_PETSC_FOUND OFF)
if(PkgConfig_FOUND)
  pkg_check_modules(PETSC QUIET IMPORTED_TARGET PETSc)
  if(PETSC_FOUND)
    # The bridge needs PetscScalar to be complex (Debian: libpetsc-complex-dev).
    find_file(BK_PETSCCONF petscconf.h PATHS ${PETSC_INCLUDE_DIRS} NO_DEFAULT_PATH)
    if(BK_PETSCCONF)
      file(STRINGS ${BK_PETSCCONF} _bk_complex REGEX "define PETSC_USE_COMPLEX 1")
      if(_bk_complex)
        set(BK_PETSC_FOUND ON)
      endif()
    endif()
  endif()
endif()

set(_bk_mpi_default OFF)
if(MPI_FOUND AND BK_PETSC_FOUND)
  set(_bk_mpi_default ON)
endif()
option(BLOCKKRYLOV_MPI "Build the distributed libraries, bksolve-mpi and the PETSc bridge" ${_bk_mpi_default})
if(BLOCKKRYLOV_MPI AND NOT MPI_FOUND)
  message(FATAL_ERROR "BLOCKKRYLOV_MPI needs MPI (Debian: libopenmpi-dev openmpi-bin)")
endif()
if(BLOCKKRYLOV_MPI)
  message(STATUS "blockkrylov: distributed build on (MPI ${MPI_CXX_VERSION}; complex PETSc: ${BK_PETSC_FOUND})")
endif()

# How tests start N ranks: oversubscribed (CI machines have two cores), and as
# root where the machine runs everything as root.
set(BK_MPIEXEC_FLAGS "")
if(MPIEXEC_EXECUTABLE)
  execute_process(COMMAND ${MPIEXEC_EXECUTABLE} --version OUTPUT_VARIABLE _bk_mpiexec_version
                  ERROR_QUIET)
  if(_bk_mpiexec_version MATCHES "Open MPI|OpenRTE")
    list(APPEND BK_MPIEXEC_FLAGS --oversubscribe)
    execute_process(COMMAND id -u OUTPUT_VARIABLE _bk_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(_bk_uid STREQUAL "0")
      list(APPEND BK_MPIEXEC_FLAGS --allow-run-as-root)
    endif()
  endif()
endif()

# The environment of every test on several ranks: one OpenMP and one BLAS
# thread per rank, and ranks that yield the core while they wait in a
# collective (oversubscribed, a spinning rank starves the one it waits for).
set(BK_MPI_TEST_ENVIRONMENT "OMP_NUM_THREADS=1;OPENBLAS_NUM_THREADS=1;OMPI_MCA_mpi_yield_when_idle=1")

# bk_add_mpi_test(NAME <name> RANKS <n> COMMAND <program> [args...])
# Registers a test that runs <program> on <n> ranks.
function(bk_add_mpi_test)
  cmake_parse_arguments(T "" "NAME;RANKS" "COMMAND" ${ARGN})
  add_test(NAME ${T_NAME}
           COMMAND ${MPIEXEC_EXECUTABLE} ${BK_MPIEXEC_FLAGS} ${MPIEXEC_NUMPROC_FLAG} ${T_RANKS}
                   ${MPIEXEC_PREFLAGS} ${T_COMMAND} ${MPIEXEC_POSTFLAGS})
  set_tests_properties(${T_NAME} PROPERTIES PROCESSORS ${T_RANKS}
                       ENVIRONMENT "${BK_MPI_TEST_ENVIRONMENT}")
endfunction()
