# Installation rules (GNUInstallDirs): the header, the driver and the host
# library, the programs, the documents, and on Linux a pkg-config file and a
# CMake package, so that a host finds the driver with
#   pkg-config --cflags --libs vuzorur        or
#   find_package(vuzorur) + target_link_libraries(host PRIVATE vuzorur::vuzorur)
# The manual pages install themselves where they are made (CMakeLists.txt).
install(FILES ${CMAKE_SOURCE_DIR}/include/vuzorur.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(WIN32)
  # The Windows kit: VUZORUR.dll, KESTAN.dll and qelhost.exe side by side
  # (qelhost.exe loads the driver from its own directory), no import libraries.
  install(FILES $<TARGET_FILE:vuzorur> $<TARGET_FILE:kestan> DESTINATION ${CMAKE_INSTALL_BINDIR})
  foreach(program qelhost qelgate)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()
  return()
endif()

# libvuzorur.so.7.03.0 with its soname link libvuzorur.so.7 and the link
# libvuzorur.so for linking; libkestan.so beside it, where the driver looks.
install(TARGETS vuzorur EXPORT vuzorurTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS kestan LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The installed hosts find libkestan.so (and the driver) in the library directory.
file(RELATIVE_PATH library_from_program ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
foreach(program qelhost fasim qelgate)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${library_from_program}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The README beside a docs/ folder, as in the source tree, so that its
# docs/*.md links hold where it is installed; with the status page's picture
# and the example configuration. The manual pages go to the man directory.
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
  FILES_MATCHING PATTERN "*.md" PATTERN "*.png" PATTERN "*.toml" PATTERN "man" EXCLUDE)

# pkg-config: the prefix is found from where the file lies, so the same file
# serves an installation under any prefix and the .deb.
set(pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH pc_to_prefix ${CMAKE_INSTALL_PREFIX}/${pkgconfig_dir} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/vuzorur.pc.in ${CMAKE_BINARY_DIR}/vuzorur.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vuzorur.pc DESTINATION ${pkgconfig_dir})

# CMake package: the imported target vuzorur::vuzorur.
include(CMakePackageConfigHelpers)
set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/vuzorur)
install(EXPORT vuzorurTargets NAMESPACE vuzorur:: DESTINATION ${config_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vuzorurConfig.cmake.in
  ${CMAKE_BINARY_DIR}/vuzorurConfig.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vuzorurConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vuzorurConfig.cmake ${CMAKE_BINARY_DIR}/vuzorurConfigVersion.cmake
  DESTINATION ${config_dir})

# The systemd unit, with ExecStart naming qelgate where this installation
# puts it. Made when installing, from the prefix installed to: the .deb
# installs under /usr (cpack's packaging prefix), whatever prefix the build
# was configured with.
if(TARGET qelgate)
  install(CODE "
    set(bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(docdir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
    configure_file(${CMAKE_SOURCE_DIR}/docs/qelgate.service.in ${CMAKE_BINARY_DIR}/systemd/qelgate.service @ONLY)
    configure_file(${CMAKE_SOURCE_DIR}/docs/qelgate@.service.in ${CMAKE_BINARY_DIR}/systemd/qelgate@.service @ONLY)")
  # Installed, not enabled: nothing starts until an admin says so.
  install(FILES ${CMAKE_BINARY_DIR}/systemd/qelgate.service ${CMAKE_BINARY_DIR}/systemd/qelgate@.service
          DESTINATION lib/systemd/system)
endif()
