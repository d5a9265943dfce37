# Installing libvantor as a package: the shared library (versioned soname),
# the public C headers under include/vantor/ (their relative include paths
# kept: compile with -I<prefix>/include/vantor), the umbrella header
# vantor.h, a pkg-config file, a CMake package (find_package(Vantor) gives
# Vantor::vantor), the program and its man page. Included from the top
# CMakeLists.txt after the targets exist.
include(CMakePackageConfigHelpers)

set(VANTOR_INCLUDE_SUBDIR "${CMAKE_INSTALL_INCLUDEDIR}/vantor")
set_target_properties(libvantor PROPERTIES EXPORT_NAME vantor)
target_include_directories(libvantor PUBLIC
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}>
  $<INSTALL_INTERFACE:${VANTOR_INCLUDE_SUBDIR}>)
file(RELATIVE_PATH _vantor_bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
set_target_properties(vantor PROPERTIES INSTALL_RPATH "$ORIGIN/${_vantor_bin_to_lib}")

install(TARGETS libvantor EXPORT VantorTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${VANTOR_INCLUDE_SUBDIR})
install(TARGETS vantor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Public headers: those of the library's modules that declare exported functions.
foreach(m IN LISTS VANTOR_MODULES)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${m}/*.h)
  foreach(h IN LISTS headers)
    file(STRINGS "${h}" exported REGEX "VANTOR_API")
    get_filename_component(name "${h}" NAME)
    if(exported AND NOT name STREQUAL "vantor.h")
      install(FILES "${h}" DESTINATION ${VANTOR_INCLUDE_SUBDIR}/${m})
    endif()
  endforeach()
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/generic/vantor.h DESTINATION ${VANTOR_INCLUDE_SUBDIR})

# pkg-config, relocatable: the prefix is found from the .pc file's own folder.
file(RELATIVE_PATH VANTOR_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(${CMAKE_CURRENT_LIST_DIR}/vantor.pc.in ${CMAKE_BINARY_DIR}/vantor.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vantor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(VANTOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vantor)
install(EXPORT VantorTargets NAMESPACE Vantor:: DESTINATION ${VANTOR_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VantorConfig.cmake.in
  ${CMAKE_BINARY_DIR}/VantorConfig.cmake INSTALL_DESTINATION ${VANTOR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VantorConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VantorConfig.cmake ${CMAKE_BINARY_DIR}/VantorConfigVersion.cmake
        DESTINATION ${VANTOR_CMAKE_DIR})

install(FILES ${CMAKE_SOURCE_DIR}/app/vantor.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The test installs into a temporary prefix and builds a C program against it
# both ways. Not in sanitizer builds: their library needs the sanitizer runtime
# loaded first, which a plain program does not do.
if(VANTOR_TESTS AND NOT VANTOR_SANITIZE AND NOT VANTOR_FUZZ)
  add_test(NAME install_package
           COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/install_test.sh ${CMAKE_BINARY_DIR}
                   ${CMAKE_CURRENT_LIST_DIR}/install_test ${CMAKE_C_COMPILER}
                   "${VANTOR_PYTHON}" "${VANTOR_PYTHON_INSTALL_DIR}")
  set_tests_properties(install_package PROPERTIES LABELS install)
endif()
