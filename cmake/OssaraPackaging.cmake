# Debian packages, five from one tree (cpack -G DEB; ./scripts/build-packages.sh
# configures a build of its own for them, installed under /usr):
#
#   libhushvault1     libHushvault.so.1 (secure memory)
#   libveilrelay1     libVeilrelay.so.1 (the client library)
#   libveilrelay-dev  headers, CMake package and pkg-config files of both
#   veilrelay         the command-line client and proxy
#   veilrelay-router  the router, its systemd units, its system user and
#                     /etc/veilrelay with the service's options
#
# The router's system files (units, sysusers.d, /etc) and each package's
# copyright and changelog are installed only into the packages: a plain
# `cmake --install` to a prefix leaves the system alone.
if(WIN32 OR APPLE)
  return()
endif()

set(OSSARA_PACKAGE_MAINTAINER "ossara maintainers <maintainers@ossara.example.org>" CACHE STRING
    "Maintainer field of the Debian packages (Name <address>)")

set(OSSARA_DEB_REVISION 1)
set(OSSARA_DEB_VERSION "${PROJECT_VERSION}-${OSSARA_DEB_REVISION}")
set(OSSARA_ROUTER_CONFDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/veilrelay")
set(OSSARA_ROUTER_BINARY "${CMAKE_INSTALL_FULL_BINDIR}/veilrelay-router")

# Where this system's systemd looks for units and sysusers.d files (Debian 12:
# /lib/systemd/system); the usual places when systemd's pkg-config file is absent.
pkg_get_variable(OSSARA_SYSTEMD_UNITDIR systemd systemdsystemunitdir)
pkg_get_variable(OSSARA_SYSUSERSDIR systemd sysusersdir)
if(NOT OSSARA_SYSTEMD_UNITDIR)
  set(OSSARA_SYSTEMD_UNITDIR /lib/systemd/system)
endif()
if(NOT OSSARA_SYSUSERSDIR)
  set(OSSARA_SYSUSERSDIR /usr/lib/sysusers.d)
endif()

set(_deb_src ${CMAKE_CURRENT_LIST_DIR}/debian)
set(_deb_out ${PROJECT_BINARY_DIR}/debian)

# --- the router's system files
foreach(unit IN ITEMS veilrelay-router veilrelay-router-key)
  configure_file(${_deb_src}/${unit}.service.in ${_deb_out}/${unit}.service @ONLY)
  install(FILES ${_deb_out}/${unit}.service DESTINATION ${OSSARA_SYSTEMD_UNITDIR}
          COMPONENT router EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${_deb_src}/veilrelay-router.sysusers DESTINATION ${OSSARA_SYSUSERSDIR}
        RENAME veilrelay-router.conf COMPONENT router EXCLUDE_FROM_ALL)
install(FILES ${_deb_src}/router.conf DESTINATION ${OSSARA_ROUTER_CONFDIR}
        COMPONENT router EXCLUDE_FROM_ALL)
# Files under /etc are the administrator's: dpkg keeps their edits.
file(WRITE ${_deb_out}/router/conffiles "${OSSARA_ROUTER_CONFDIR}/router.conf\n")
foreach(script IN ITEMS postinst prerm postrm)
  file(COPY_FILE ${_deb_src}/router-${script} ${_deb_out}/router/${script})
endforeach()

# The libraries' packages have the dynamic linker's cache refreshed once
# dpkg is done (CPack's own ldconfig calls in postinst/postrm stay).
file(WRITE ${_deb_out}/libs/triggers "activate-noawait ldconfig\n")

# --- copyright and changelog, which every Debian package carries
# The changelog's date is the build's, or SOURCE_DATE_EPOCH's when set (the
# build script sets it to the last commit's time, so rebuilds match).
string(TIMESTAMP OSSARA_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP OSSARA_DEB_YEAR "%Y" UTC)
configure_file(${_deb_src}/copyright.in ${_deb_out}/copyright @ONLY)
configure_file(${_deb_src}/changelog.in ${_deb_out}/changelog.Debian @ONLY)
find_program(OSSARA_GZIP gzip)
if(OSSARA_GZIP)
  execute_process(COMMAND ${OSSARA_GZIP} -9nf ${_deb_out}/changelog.Debian RESULT_VARIABLE _gzip_result)
  if(NOT _gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip of the Debian changelog failed")
  endif()
endif()

set(_ossara_components hushvault_runtime veilrelay_runtime development client router)
set(_ossara_package_names libhushvault1 libveilrelay1 libveilrelay-dev veilrelay veilrelay-router)
foreach(component package IN ZIP_LISTS _ossara_components _ossara_package_names)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  install(FILES ${_deb_out}/copyright ${_deb_out}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# --- the packages
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${OSSARA_PACKAGE_MAINTAINER}")
# Each package's summary is the first line of its own description below
# (CPack would put the project's description in front of every one).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_ossara_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${OSSARA_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE ${PROJECT_NAME})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OSSARA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies on other packages come from the binaries (dpkg-shlibdeps);
# the libraries of this tree are found in the build's lib/ and named below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(_same_version "(= ${OSSARA_DEB_VERSION})")
set(_libs "libhushvault1 ${_same_version}, libveilrelay1 ${_same_version}")

set(CPACK_DEBIAN_HUSHVAULT_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_HUSHVAULT_RUNTIME_PACKAGE_CONTROL_EXTRA ${_deb_out}/libs/triggers)
set(CPACK_DEBIAN_HUSHVAULT_RUNTIME_DESCRIPTION "secure memory for secrets in C++ programs
Hushvault keeps secrets (keys, plaintexts) in buffers whose pages are locked
out of swap and core dumps where the memory-lock limit allows, and zeroes
them when they are released.")

set(CPACK_DEBIAN_VEILRELAY_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_VEILRELAY_RUNTIME_PACKAGE_CONTROL_EXTRA ${_deb_out}/libs/triggers)
# libVeilrelay loads libHushvault when it is there and works on ordinary
# memory when it is not.
set(CPACK_DEBIAN_VEILRELAY_RUNTIME_PACKAGE_RECOMMENDS "libhushvault1 ${_same_version}")
set(CPACK_DEBIAN_VEILRELAY_RUNTIME_DESCRIPTION "end-to-end encrypted chat-completion client library
Veilrelay sends chat-completion requests to a router end-to-end encrypted:
TLS terminators and proxies on the way see only ciphertext, and answers can
only be opened with the client's private key.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# What the public headers include.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${_libs}, libssl-dev (>= 3), nlohmann-json3-dev (>= 3.11), libspdlog-dev, libasio-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "development files of Hushvault and Veilrelay
Headers, the CMake package (find_package(ossara)) and pkg-config files
(ossara-hushvault, ossara-veilrelay) for programs that use the secure-memory
and the encrypted chat-completion libraries.")

set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "${_libs}")
set(CPACK_DEBIAN_CLIENT_DESCRIPTION "end-to-end encrypted chat completions from the command line
veilrelay sends chat requests to a router end-to-end encrypted
(veilrelay chat), manages the client's key pair (veilrelay keys) and serves
the common chat-completions API on loopback for any client or SDK
(veilrelay proxy).")

set(CPACK_DEBIAN_ROUTER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_ROUTER_PACKAGE_DEPENDS "${_libs}, systemd | systemd-standalone-sysusers | systemd-sysusers")
set(CPACK_DEBIAN_ROUTER_PACKAGE_CONTROL_EXTRA
    ${_deb_out}/router/conffiles ${_deb_out}/router/postinst ${_deb_out}/router/prerm ${_deb_out}/router/postrm)
set(CPACK_DEBIAN_ROUTER_DESCRIPTION "end-to-end encrypted chat completions in front of a model server
veilrelay-router opens the encrypted requests of veilrelay clients, passes
them to a model server with the OpenAI-compatible chat-completions API and
encrypts the answers for the caller. Runs as a hardened systemd service;
its server key is made at the first start.")

include(CPack)
