# Installation: the kernel library and the host library with their soname
# links, the public headers (the two C headers and the header-only C++
# layer), the Fortran module source, bksolve, the documentation, a CMake
# package (find_package(blockkrylov) gives blockkrylov::blockkrylov, the
# kernels; blockkrylov::cxx, the C++ layer with OpenMP; blockkrylov::host,
# the host library) and one pkg-config file for each of the three.
include(CMakePackageConfigHelpers)

set(BK_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/blockkrylov)

install(TARGETS blockkrylov blockkrylov_host blockkrylov_cxx EXPORT blockkrylovTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/blockkrylov.h ${PROJECT_SOURCE_DIR}/include/blockkrylov_host.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/blockkrylov DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hpp" PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/fortran/blockkrylov.f90 ${PROJECT_SOURCE_DIR}/fortran/example_symmetric.f90
  DESTINATION ${CMAKE_INSTALL_DATADIR}/blockkrylov/fortran)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/ DESTINATION ${CMAKE_INSTALL_DATADIR}/blockkrylov/python
  PATTERN __pycache__ EXCLUDE PATTERN "*.egg-info" EXCLUDE PATTERN "*.so*" EXCLUDE PATTERN .gitignore EXCLUDE)
if(EXISTS ${PROJECT_SOURCE_DIR}/docs)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
if(TARGET bksolve)
  install(TARGETS bksolve RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The distributed build: its kernel library and header, and bksolve-mpi.
if(TARGET blockkrylov_mpi)
  install(TARGETS blockkrylov_mpi LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/include/blockkrylov_mpi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()
if(TARGET bksolve-mpi)
  install(TARGETS bksolve-mpi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# CMake package.
install(EXPORT blockkrylovTargets NAMESPACE blockkrylov:: DESTINATION ${BK_CMAKE_INSTALL_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/blockkrylovConfig.cmake.in
  ${PROJECT_BINARY_DIR}/blockkrylovConfig.cmake
  INSTALL_DESTINATION ${BK_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/blockkrylovConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/blockkrylovConfig.cmake ${PROJECT_BINARY_DIR}/blockkrylovConfigVersion.cmake
  DESTINATION ${BK_CMAKE_INSTALL_DIR})

# pkg-config file, relocatable: its prefix is found from where it lies, so an
# installation moved or made with `cmake --install --prefix` stays usable.
set(BK_PC_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${BK_PC_INSTALL_DIR}")
  set(BK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH BK_PC_UP "/prefix/${BK_PC_INSTALL_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" BK_PC_UP "${BK_PC_UP}")
  set(BK_PC_PREFIX "\${pcfiledir}/${BK_PC_UP}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(BK_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(BK_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(BK_PC_OPENMP_FLAGS "${OpenMP_CXX_FLAGS}")
foreach(pc blockkrylov blockkrylov-cxx blockkrylov-host)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${BK_PC_INSTALL_DIR})
endforeach()
