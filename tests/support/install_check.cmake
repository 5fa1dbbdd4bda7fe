# Installs the build into a fresh prefix, checks that only the public
# headers, the library, the program, the manual page and the CMake package
# land there and that no public header reaches for a platform or internal
# header, then builds doc/example against the installed package alone and
# runs it on the sample archive.
#
#   cmake -DBUILD=<build dir> -DSOURCE=<source dir> -DWORK=<scratch dir> [-DFLAGS=<compiler flags>]
#         -P install_check.cmake
file(REMOVE_RECURSE "${WORK}")
set(prefix "${WORK}/prefix")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install "${BUILD}" --prefix "${prefix}")

file(GLOB_RECURSE installed RELATIVE "${prefix}" "${prefix}/*")
foreach(path IN LISTS installed)
  if(NOT path MATCHES "^(bin/dravik(\\.exe)?|share/man/man1/dravik\\.1|include/dravik/[a-z0-9_]+\\.h|lib(64)?/(lib)?dravik\\.(a|lib)|lib(64)?/cmake/dravik/dravik[A-Za-z-]*\\.cmake)$")
    message(FATAL_ERROR "installed, but not part of the package: ${path}")
  endif()
  if(path MATCHES "\\.h$")
    file(STRINGS "${prefix}/${path}" includes REGEX "^#include")
    foreach(line IN LISTS includes)
      if(NOT line MATCHES "^#include (<[a-z_]+>|\"dravik/[a-z0-9_]+\\.h\")$")
        message(FATAL_ERROR "${path} includes what is not standard or public: ${line}")
      endif()
    endforeach()
  endif()
endforeach()

run(${CMAKE_COMMAND} -S "${SOURCE}/doc/example" -B "${WORK}/example" "-DCMAKE_PREFIX_PATH=${prefix}"
    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=${FLAGS}")
run(${CMAKE_COMMAND} --build "${WORK}/example")
run("${WORK}/example/list" "${SOURCE}/samples/sample.arc" arc/anim/intro.brlan)
if(NOT last_output MATCHES "read 34 bytes")
  message(FATAL_ERROR "the example did not read the file:\n${last_output}")
endif()
file(REMOVE_RECURSE "${WORK}")
