# Writes the header with the date and time the driver is compiled, and
# rewrites it only when they changed, so that only what includes it is built
# again. Run at build time whenever a driver source changed:
#   cmake -DOUTPUT=<build_stamp.h> [-DCONFIGURE_EPOCH=<seconds>] -P build_stamp.cmake
# string(TIMESTAMP) takes SOURCE_DATE_EPOCH from the environment when it is
# set; a SOURCE_DATE_EPOCH given when the build was configured is kept too,
# so that a reproducible build stays one.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "${CONFIGURE_EPOCH}" STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${CONFIGURE_EPOCH}")
endif()

string(TIMESTAMP build_date "%b %d %Y" UTC)
string(TIMESTAMP build_time "%H:%M:%S" UTC)
string(SUBSTRING "${build_date}" 4 1 day_tens)
if(day_tens STREQUAL "0")
  # "Jul 08 1998" is written "Jul  8 1998", as compilers write their date.
  string(SUBSTRING "${build_date}" 0 4 month_part)
  string(SUBSTRING "${build_date}" 5 6 rest_part)
  set(build_date "${month_part} ${rest_part}")
endif()

set(text "// Generated when the driver is built: the date and time it was compiled.
#pragma once
#define VUZORUR_BUILD_DATE \"${build_date}\"
#define VUZORUR_BUILD_TIME \"${build_time}\"
")
file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
