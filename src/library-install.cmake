# Installs the library for other programs: the shared object, the public headers, a CMake
# package (find_package(OrvikRecoveryUtils 1.0) gives Orvik::RecoveryUtils) and a pkg-config
# file. Both point at the same include directory, include/orvik-recovery.
include(CMakePackageConfigHelpers)

set(ORVIK_UTILS_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/orvik-recovery)
set(ORVIK_UTILS_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/OrvikRecoveryUtils)

install(TARGETS orvik-recovery-utils EXPORT OrvikRecoveryUtilsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${ORVIK_UTILS_INCLUDEDIR}
  INCLUDES DESTINATION ${ORVIK_UTILS_INCLUDEDIR})

install(EXPORT OrvikRecoveryUtilsTargets
  NAMESPACE Orvik::
  DESTINATION ${ORVIK_UTILS_CMAKEDIR})

# A caller built against 1.x runs with any later 1.y: the SONAME changes with the major version.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/OrvikRecoveryUtilsConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_SOURCE_DIR}/OrvikRecoveryUtilsConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/OrvikRecoveryUtilsConfigVersion.cmake
  DESTINATION ${ORVIK_UTILS_CMAKEDIR})

# The public headers include Qt's, so Qt goes into Requires, not Requires.private. Code
# generation flags are the caller's own: a Qt 5 program needs position-independent code
# whatever this file says, and Qt's CMake package already gives it to its users. The prefix is
# found from the file's own place, so a staged copy (DESTDIR) or another --prefix at install
# time is described as truly as the final one.
set(_pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE ${_pcdir})
  set(ORVIK_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH _up /${_pcdir} /)
  string(REGEX REPLACE "/$" "" _up "${_up}")
  set(ORVIK_PC_PREFIX "\${pcfiledir}/${_up}")
endif()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/orvik-recovery-utils.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/orvik-recovery-utils.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orvik-recovery-utils.pc
  DESTINATION ${_pcdir})
