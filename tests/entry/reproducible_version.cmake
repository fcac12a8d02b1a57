# Builds the driver library twice in scratch directories with the same
# SOURCE_DATE_EPOCH and checks that both carry the same version text, with
# the date and time of that moment.
#   cmake -DSOURCE=<project> -DSCRATCH=<dir> -DCC=<c compiler> -DCXX=<c++ compiler>
#         -P reproducible_version.cmake
set(ENV{SOURCE_DATE_EPOCH} 915148800)  # 1 January 1999, 00:00:00 UTC
set(expected "DAVEV: ver. compiled on Jan  1 1999 at 00:00:00")

set(versions)
foreach(build a b)
  set(dir "${SCRATCH}/${build}")
  file(REMOVE_RECURSE "${dir}")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${dir}"
            -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX}
            -DVUZORUR_TESTS=OFF -DVUZORUR_BENCH=OFF -DVUZORUR_SANITIZE=OFF
    RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "configuring ${build} failed:\n${errors}")
  endif()
  execute_process(
    COMMAND "${CMAKE_COMMAND}" --build "${dir}" --target vuzorur -j2
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "building ${build} failed:\n${output}${errors}")
  endif()
  file(GLOB library "${dir}/bin/libvuzorur.so*")
  list(GET library 0 library)
  file(STRINGS "${library}" found REGEX "DAVEV: ver\\. compiled on")
  message(STATUS "${build}: ${found}")
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "build ${build} says '${found}', expected '${expected}'")
  endif()
  list(APPEND versions "${found}")
endforeach()

list(GET versions 0 first)
list(GET versions 1 second)
if(NOT first STREQUAL second)
  message(FATAL_ERROR "the two builds differ: '${first}' and '${second}'")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
