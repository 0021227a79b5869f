# Installation: both libraries with versioned SONAMEs, their public headers,
# the exported CMake targets ossara::Hushvault and ossara::Veilrelay (with a
# config file that finds what the headers need), and pkg-config files.
# The tools install themselves from their own folders.
include(CMakePackageConfigHelpers)

set(OSSARA_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/ossara" CACHE STRING
    "Where the CMake package files of ossara are installed")

# Asio is header-only and Debian ships no CMake package for it. The exported
# interface target carries only the compile definitions; the installed
# config file finds asio.hpp on the consumer's machine and adds its directory,
# so the package does not hard-code the builder's include path.
set_target_properties(ossara_asio PROPERTIES EXPORT_NAME asio)
set_property(TARGET ossara_asio PROPERTY INTERFACE_INCLUDE_DIRECTORIES "$<BUILD_INTERFACE:${ASIO_INCLUDE_DIR}>")
set_property(TARGET ossara_asio PROPERTY INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "$<BUILD_INTERFACE:${ASIO_INCLUDE_DIR}>")

# Each library is a component of its own: the Debian packages ship them apart
# (libhushvault1, libveilrelay1), the link names go with the headers.
install(TARGETS Hushvault
  EXPORT ossaraTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT hushvault_runtime NAMELINK_COMPONENT development)
install(TARGETS Veilrelay
  EXPORT ossaraTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT veilrelay_runtime NAMELINK_COMPONENT development)
install(TARGETS ossara_asio EXPORT ossaraTargets COMPONENT development)

install(DIRECTORY
    ${PROJECT_SOURCE_DIR}/ossara/Hushvault/include/
    ${PROJECT_SOURCE_DIR}/ossara/Veilrelay/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT development
  FILES_MATCHING PATTERN "*.hpp")

install(EXPORT ossaraTargets
  NAMESPACE ossara::
  DESTINATION ${OSSARA_INSTALL_CMAKEDIR}
  COMPONENT development)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/ossaraConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ossaraConfig.cmake
  INSTALL_DESTINATION ${OSSARA_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/ossaraConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/ossaraConfig.cmake
    ${PROJECT_BINARY_DIR}/ossaraConfigVersion.cmake
  DESTINATION ${OSSARA_INSTALL_CMAKEDIR}
  COMPONENT development)

# pkg-config files locate the prefix from their own position
# (<prefix>/<libdir>/pkgconfig), so an install moved with
# `cmake --install --prefix` or DESTDIR stays usable.
file(RELATIVE_PATH OSSARA_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" OSSARA_PC_TO_PREFIX "${OSSARA_PC_TO_PREFIX}")
set(OSSARA_PC_PREFIX "\${pcfiledir}/${OSSARA_PC_TO_PREFIX}")
foreach(pc IN ITEMS ossara-hushvault ossara-veilrelay)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)
endforeach()
