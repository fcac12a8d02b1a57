# Packages made from the installation rules:
#   cpack -G DEB   (Linux)    vuzorur_7.03.0_amd64.deb, installed under /usr
#   cpack -G ZIP   (Windows)  vuzorur-7.03.0-win32.zip: bin/VUZORUR.dll,
#                             bin/KESTAN.dll, bin/qelhost.exe, include/vuzorur.h
set(CPACK_PACKAGE_NAME vuzorur)
set(CPACK_PACKAGE_VENDOR "Vuzorur driver team")
set(CPACK_PACKAGE_CONTACT "Vuzorur driver team <vuzorur@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Serial driver for Izumi FA-2 and FA-3 controllers, with a CLI host and a simulator")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES OFF)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  # Dependencies from the libraries the binaries link (libc, libstdc++);
  # libkestan.so comes in the same package.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
endif()

include(CPack)
