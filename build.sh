#!/usr/bin/env bash
# One entry point for building blockkrylov on Debian.
#   ./build.sh run       install what is missing, build, solve the default problem
#   ./build.sh test      install what is missing, build, run the test suite
#   ./build.sh sanitize  the test suite again under AddressSanitizer and UBSan
#   ./build.sh test-mpi  also install MPI and PETSc, then build and run the suite
#                        with the distributed build (its tests run 1-4 ranks)
#   ./build.sh deps      only install the Debian packages
#   ./build.sh deps-mpi  only install them and the distributed build's packages
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake g++ gcc gfortran make binutils pkgconf
          libopenblas-dev liblapack-dev libgtest-dev libbenchmark-dev
          libcli11-dev nlohmann-json3-dev python3 python3-numpy
          python3-scipy python3-pip python3-venv python3-setuptools python3-wheel
          valgrind)
# The distributed build's packages (./build.sh test-mpi); without them the
# serial build is complete.
MPI_PACKAGES=(openmpi-bin libopenmpi-dev libpetsc-complex-dev)
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

deps() {  # deps [package...]: the listed packages (default: PACKAGES)
  local missing=() wanted=("$@")
  [ ${#wanted[@]} -eq 0 ] && wanted=("${PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

case "${1:-run}" in
  deps) deps ;;
  deps-mpi) deps; deps "${MPI_PACKAGES[@]}" ;;
  run)
    deps
    build build
    ./build/tools/bksolve/bksolve "${@:2}"
    ;;
  test)
    deps
    build build
    ctest --test-dir build --output-on-failure -j "$JOBS"
    ;;
  test-mpi)
    deps
    deps "${MPI_PACKAGES[@]}"
    build build -DBLOCKKRYLOV_MPI=ON
    ctest --test-dir build --output-on-failure -j "$JOBS"
    ;;
  sanitize)
    deps
    build build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBLOCKKRYLOV_SANITIZE=ON -DBLOCKKRYLOV_BENCH=OFF \
      -DBLOCKKRYLOV_MPI=OFF
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir build-sanitize --output-on-failure -j "$JOBS"
    ;;
  *) echo "usage: $0 [run|test|test-mpi|sanitize|deps|deps-mpi]" >&2; exit 2 ;;
esac
