# Installing libvantor as a package: the shared library (versioned soname),
# the public C headers flat in include/vantor/ (used as
# #include <vantor/vantor.h> with -I<prefix>/include), a pkg-config file, a
# CMake package (find_package(Vantor) gives Vantor::vantor), the program and
# its man page. Included from the top CMakeLists.txt after the targets exist.
include(CMakePackageConfigHelpers)

set_target_properties(libvantor PROPERTIES EXPORT_NAME vantor)
# In the build tree the module paths resolve from the top folder, and
# <vantor/vantor.h> is the umbrella header of include/.
target_include_directories(libvantor PUBLIC
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}>
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
file(RELATIVE_PATH _vantor_bin_to_lib "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
set_target_properties(vantor PROPERTIES INSTALL_RPATH "$ORIGIN/${_vantor_bin_to_lib}")

install(TARGETS libvantor EXPORT VantorTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS vantor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Public headers: the umbrella header and those of the library's modules that
# declare exported functions, installed flat into include/vantor/ so that a
# user's own "errors.h" or "warp.h" never meets ours on the include path. A
# name that two modules share gets its module as a prefix (improc_warp.h,
# registration_warp.h); the others keep theirs.
set(_vantor_headers include/vantor/vantor.h)
set(_vantor_plain_names "")
foreach(m IN LISTS VANTOR_MODULES)
  file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/${m}/*.h)
  foreach(h IN LISTS headers)
    file(STRINGS "${CMAKE_SOURCE_DIR}/${h}" exported REGEX "VANTOR_API")
    if(exported)
      list(APPEND _vantor_headers ${h})
      get_filename_component(name "${h}" NAME)
      list(APPEND _vantor_plain_names ${name})
    endif()
  endforeach()
endforeach()
set(_vantor_names "")
set(_vantor_installed "")
foreach(h IN LISTS _vantor_headers)
  get_filename_component(name "${h}" NAME)
  get_filename_component(module "${h}" DIRECTORY)
  set(same ${_vantor_plain_names})
  string(REPLACE "." "\\." pattern "${name}")
  list(FILTER same INCLUDE REGEX "^${pattern}$")
  list(LENGTH same count)
  if(h STREQUAL "include/vantor/vantor.h")
    set(flat vantor.h)
  elseif(count GREATER 1 OR name STREQUAL "vantor.h")
    set(flat ${module}_${name})
  else()
    set(flat ${name})
  endif()
  if(flat IN_LIST _vantor_names)
    message(FATAL_ERROR "two public headers would be installed as include/vantor/${flat}")
  endif()
  list(APPEND _vantor_names ${flat})
  list(APPEND _vantor_installed ${CMAKE_BINARY_DIR}/include/vantor/${flat})
endforeach()

# The installed copies are written at build time (a header edit rewrites its
# copy, nothing else), from a manifest that changes only with the list above.
set(_vantor_manifest ${CMAKE_BINARY_DIR}/installed_headers.cmake)
file(CONFIGURE OUTPUT ${_vantor_manifest} CONTENT [[
set(VANTOR_HEADER_SOURCES "@_vantor_headers@")
set(VANTOR_HEADER_NAMES "@_vantor_names@")
set(VANTOR_SOURCE_DIR "@CMAKE_SOURCE_DIR@")
set(VANTOR_HEADER_DIR "@CMAKE_BINARY_DIR@/include/vantor")
]] @ONLY)
list(TRANSFORM _vantor_headers PREPEND ${CMAKE_SOURCE_DIR}/ OUTPUT_VARIABLE _vantor_header_paths)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/include/vantor.stamp
  BYPRODUCTS ${_vantor_installed}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/include/vantor
  COMMAND ${CMAKE_COMMAND} -DMANIFEST=${_vantor_manifest}
          -DSTAMP=${CMAKE_BINARY_DIR}/include/vantor.stamp
          -P ${CMAKE_CURRENT_LIST_DIR}/flatten_headers.cmake
  DEPENDS ${_vantor_header_paths} ${_vantor_manifest} ${CMAKE_CURRENT_LIST_DIR}/flatten_headers.cmake
  COMMENT "Flattening the public headers for installation"
  VERBATIM)
add_custom_target(vantor_installed_headers ALL DEPENDS ${CMAKE_BINARY_DIR}/include/vantor.stamp)
install(FILES ${_vantor_installed} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vantor)

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

# The test installs into a temporary prefix and builds C programs against it
# both ways. Not in sanitizer builds: their library needs the sanitizer runtime
# loaded first, which a plain program does not do.
if(VANTOR_TESTS AND NOT VANTOR_SANITIZE AND NOT VANTOR_FUZZ)
  add_test(NAME install_package
           COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/install_test.sh ${CMAKE_BINARY_DIR}
                   ${CMAKE_CURRENT_LIST_DIR}/install_test ${CMAKE_C_COMPILER}
                   "${VANTOR_PYTHON}" "${VANTOR_PYTHON_INSTALL_DIR}")
  set_tests_properties(install_package PROPERTIES LABELS install)
endif()
