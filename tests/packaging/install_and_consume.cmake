# Run by CTest with -P: install BUILD_DIR into WORK_DIR/prefix, check what was
# installed, then build and run the consumer with find_package and compile
# its C program with pkg-config.
cmake_minimum_required(VERSION 3.25)

function(run_checked what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

run_checked("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# What an installation must hold (the library directory is lib or lib64).
file(GLOB libdirs LIST_DIRECTORIES true ${prefix}/lib ${prefix}/lib64 ${prefix}/lib/*-linux-gnu)
foreach(d ${libdirs})
  if(EXISTS ${d}/libblockkrylov.so)
    set(libdir ${d})
  endif()
endforeach()
if(NOT libdir)
  message(FATAL_ERROR "libblockkrylov.so not installed under ${prefix}")
endif()
foreach(f
    ${libdir}/libblockkrylov.so.0
    ${libdir}/cmake/blockkrylov/blockkrylovConfig.cmake
    ${libdir}/cmake/blockkrylov/blockkrylovConfigVersion.cmake
    ${libdir}/libblockkrylov_host.so.0
    ${libdir}/pkgconfig/blockkrylov.pc
    ${libdir}/pkgconfig/blockkrylov-cxx.pc
    ${libdir}/pkgconfig/blockkrylov-host.pc
    ${prefix}/include/blockkrylov.h
    ${prefix}/include/blockkrylov_host.h
    ${prefix}/include/blockkrylov/solver.hpp
    ${prefix}/include/blockkrylov/csr.hpp
    ${prefix}/include/blockkrylov/examples.hpp
    ${prefix}/share/blockkrylov/fortran/blockkrylov.f90)
  if(NOT EXISTS ${f})
    message(FATAL_ERROR "missing from the installation: ${f}")
  endif()
endforeach()
foreach(link libblockkrylov.so libblockkrylov.so.0)
  if(NOT IS_SYMLINK ${libdir}/${link})
    message(FATAL_ERROR "${libdir}/${link} is not a symbolic link")
  endif()
endforeach()

# Consumers of a sanitized build must be sanitized too.
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=address,undefined -fno-omit-frame-pointer")
endif()

# 1. find_package.
run_checked("configuring the consumer"
  ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_C_FLAGS=${flags}" "-DCMAKE_CXX_FLAGS=${flags}")
run_checked("building the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run_checked("running consumer_c" ${WORK_DIR}/build/consumer_c)
message(STATUS "${last_output}")
run_checked("running consumer_cxx" ${WORK_DIR}/build/consumer_cxx)
message(STATUS "${last_output}")
run_checked("running consumer_host" ${WORK_DIR}/build/consumer_host)
message(STATUS "${last_output}")

# 2. pkg-config, from the installed .pc file alone.
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
  separate_arguments(extra UNIX_COMMAND "${flags}")
  # One program per package: compiler, source, pkg-config name.
  foreach(entry "C_COMPILER;../../api/c_header_check.c;blockkrylov" "CXX_COMPILER;consumer.cpp;blockkrylov-cxx"
                "C_COMPILER;../../host/c_interface.c;blockkrylov-host")
    list(GET entry 0 compiler)
    list(GET entry 1 source)
    list(GET entry 2 package)
    run_checked("pkg-config ${package}" ${PKG_CONFIG} --cflags --libs ${package})
    string(STRIP "${last_output}" pc_flags)
    separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
    set(std "")
    if(source MATCHES "cpp$")
      set(std -std=c++17)
    endif()
    run_checked("compiling ${source} with pkg-config flags"
      ${${compiler}} ${extra} ${std} ${CONSUMER_DIR}/${source} ${pc_flags} -lm -Wl,-rpath,${libdir}
      -o ${WORK_DIR}/pc_${package})
    run_checked("running the ${package} consumer" ${WORK_DIR}/pc_${package})
    message(STATUS "pkg-config: ${last_output}")
  endforeach()
else()
  message(STATUS "pkg-config not found; that part is skipped")
endif()
