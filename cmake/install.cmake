# Installation: header, shared library, command-line program, a CMake package
# (find_package(sheetlay) -> sheetlay::sheetlay) and a pkg-config file.
#
#   cmake --install build [--prefix DIR]
#
# Both package files locate the installation relative to themselves, so the
# tree can be installed under any prefix (also one given only at install time)
# and moved as a whole.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SHEETLAY_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/sheetlay" CACHE STRING
    "Where the CMake package files are installed, relative to the prefix")

install(TARGETS sheetlay
  EXPORT sheetlayTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/sheetlay.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

if(TARGET sheetlay_cli)
  install(TARGETS sheetlay_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

# CMake package.
install(EXPORT sheetlayTargets
  NAMESPACE sheetlay::
  FILE sheetlayTargets.cmake
  DESTINATION ${SHEETLAY_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/sheetlayConfig.cmake.in
  ${PROJECT_BINARY_DIR}/sheetlayConfig.cmake
  INSTALL_DESTINATION ${SHEETLAY_CMAKE_DIR})
# The library's binary interface follows its major version (the SONAME).
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/sheetlayConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/sheetlayConfig.cmake
  ${PROJECT_BINARY_DIR}/sheetlayConfigVersion.cmake
  DESTINATION ${SHEETLAY_CMAKE_DIR}
  COMPONENT development)

# pkg-config file. Its prefix is found from the file's own place
# (${pcfiledir}), which pkg-config and pkgconf both provide.
set(_sheetlay_pc_dir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
if(IS_ABSOLUTE "${_sheetlay_pc_dir}")
  set(SHEETLAY_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _sheetlay_up "/prefix/${_sheetlay_pc_dir}" "/prefix")
  string(REGEX REPLACE "/$" "" _sheetlay_up "${_sheetlay_up}")
  set(SHEETLAY_PC_PREFIX "\${pcfiledir}/${_sheetlay_up}")
endif()
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(SHEETLAY_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(SHEETLAY_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/sheetlay.pc.in ${PROJECT_BINARY_DIR}/sheetlay.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sheetlay.pc DESTINATION ${_sheetlay_pc_dir} COMPONENT development)
