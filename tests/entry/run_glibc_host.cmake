# Runs the C-library host against the driver and checks that the driver's
# version line was recorded and that the host went on afterwards.
#   cmake -DHOST=<glibc_host> -DDRIVER=<libvuzorur.so> -P run_glibc_host.cmake
execute_process(COMMAND "${HOST}" "${DRIVER}"
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(all "${out}${err}")
message(STATUS "host output:\n${all}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the host ended with ${result}")
endif()
string(FIND "${all}" "32 DAVEV: ver. compiled on" version_at)
string(FIND "${out}" "host still running" running_at)
if(version_at EQUAL -1)
  message(FATAL_ERROR "no version line from the driver")
endif()
if(running_at EQUAL -1)
  message(FATAL_ERROR "the host did not go on after the driver logged")
endif()
