# Writes the public headers as installed: one flat folder, each header under
# its installed name, its includes of other public headers ("module/x.h")
# rewritten to their installed names so that they resolve beside it. Run at
# build time (cmake -P) with MANIFEST naming the file that install.cmake wrote:
# VANTOR_HEADER_SOURCES (paths from the source folder), VANTOR_HEADER_NAMES
# (their installed names), VANTOR_SOURCE_DIR and VANTOR_HEADER_DIR (output);
# STAMP is touched when done.
include("${MANIFEST}")

foreach(src name IN ZIP_LISTS VANTOR_HEADER_SOURCES VANTOR_HEADER_NAMES)
  set(flat_${src} "${name}")
endforeach()

foreach(src name IN ZIP_LISTS VANTOR_HEADER_SOURCES VANTOR_HEADER_NAMES)
  file(READ "${VANTOR_SOURCE_DIR}/${src}" text)
  # Every quoted include must be another public header: anything else would
  # not exist beside it once installed.
  string(REGEX MATCHALL "#[ \t]*include[ \t]*\"[^\"]+\"" includes "${text}")
  foreach(inc IN LISTS includes)
    string(REGEX REPLACE ".*\"([^\"]+)\"" "\\1" path "${inc}")
    if(NOT DEFINED flat_${path})
      message(FATAL_ERROR "${src} includes \"${path}\", which is not installed")
    endif()
    string(REPLACE "${inc}" "#include \"${flat_${path}}\"" text "${text}")
  endforeach()
  # Unchanged headers keep their time stamps (no rebuild of what includes them).
  set(out "${VANTOR_HEADER_DIR}/${name}")
  if(EXISTS "${out}")
    file(READ "${out}" old)
    if(old STREQUAL text)
      continue()
    endif()
  endif()
  file(WRITE "${out}" "${text}")
endforeach()
file(TOUCH "${STAMP}")
