# find_package(OrvikRecoveryUtils 1.0 REQUIRED) defines Orvik::RecoveryUtils: the shared library
# with its include directory and its Qt 5 Core and DBus dependency.
include(CMakeFindDependencyMacro)
find_dependency(Qt5 5.15 COMPONENTS Core DBus)
include(${CMAKE_CURRENT_LIST_DIR}/OrvikRecoveryUtilsTargets.cmake)
