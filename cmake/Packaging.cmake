# The Debian package: `cpack -G DEB` in the build directory.
#
# The package holds the flat install directory at /opt/tq8-vpn-adblocker, exactly what
# `cmake --install BUILD --prefix DIR` lays out, plus the polkit action under /usr/share. The
# polkit file is the only file with an absolute destination, so it lives in a component of its
# own that is EXCLUDE_FROM_ALL: a plain `cmake --install --prefix DIR` never writes outside DIR
# (and never into the host's /usr/share), while the package asks for that component by name.

set(TQ8_INSTALL_DIR /opt/tq8-vpn-adblocker)
set(TQ8_POLKIT_ACTION com.tq8.vpnadblocker.roothelper)

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${TQ8_POLKIT_ACTION}.policy
        DESTINATION /usr/share/polkit-1/actions
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT polkit EXCLUDE_FROM_ALL)

# Files Debian wants in every package: the copyright file, the changelog (a native package's
# is changelog.gz, compressed without a name or time stamp) and the lintian overrides. They have
# absolute destinations too, so they share the polkit file's treatment in a component of their
# own.
set(TQ8_DOC_DIR /usr/share/doc/tq8-vpn-adblocker)
set(TQ8_DEBIAN_STAGE ${CMAKE_CURRENT_BINARY_DIR}/debian-files)
file(MAKE_DIRECTORY ${TQ8_DEBIAN_STAGE})
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog
                OUTPUT_FILE ${TQ8_DEBIAN_STAGE}/changelog.gz RESULT_VARIABLE _tq8_gzip)
if(NOT _tq8_gzip EQUAL 0)
  message(FATAL_ERROR "Packaging: gzip could not compress packaging/changelog")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog)

# pkexec runs the helper as root, and the dynamic loader follows its RUNPATH. A package built
# against the distribution's Python has none (CMakeLists.txt); one built against another Python
# runs only where that Python exists, at that very path, and a runtime directory that an
# ordinary user can write to (a pyenv build under a home directory) would let that user run
# code as root. Such a build says so at configure time and in the package's description, and
# its lintian overrides name the run path it carries. docs/packaging.md explains.
if(TQ8_PYTHON_RPATH)
  string(REPLACE ";" ":" _tq8_rpath_text "${TQ8_PYTHON_RPATH}")
  message(WARNING "Packaging: the Python runtime is outside the system's library directories; "
                  "the binaries' RUNPATH is ${_tq8_rpath_text}. A package built this way is "
                  "for testing only, not for users (build against the distribution's "
                  "python3.12 for that).")
  set(TQ8_RUNPATH_OVERRIDE "# A test build against a Python outside the system's library directories: its runtime's directory.\ntq8-vpn-adblocker: custom-library-search-path")
  set(_tq8_test_build_note
      "\n.\nTEST BUILD, NOT FOR USERS: built against the Python runtime in\n${_tq8_rpath_text}\nwhich only a machine with that very Python at that very path has.")
else()
  set(TQ8_RUNPATH_OVERRIDE "")
  set(_tq8_test_build_note "")
endif()
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/packaging/lintian-overrides.in _tq8_overrides)
string(REPLACE "@TQ8_RUNPATH_OVERRIDE@" "${TQ8_RUNPATH_OVERRIDE}" _tq8_overrides "${_tq8_overrides}")
string(STRIP "${_tq8_overrides}" _tq8_overrides)
file(WRITE ${TQ8_DEBIAN_STAGE}/tq8-vpn-adblocker "${_tq8_overrides}\n")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/packaging/lintian-overrides.in)

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright ${TQ8_DEBIAN_STAGE}/changelog.gz
        DESTINATION ${TQ8_DOC_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${TQ8_DEBIAN_STAGE}/tq8-vpn-adblocker
        DESTINATION /usr/share/lintian/overrides
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tq8-vpn-adblocker)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "TQ8 Sipran <packaging@tq8.invalid>")
set(CPACK_PACKAGE_VENDOR "TQ8 Sipran")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VPN and DNS ad blocker: launcher and privileged network helper")
# The extended description: lines of at most 80 characters (CPack puts the leading blank).
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "The native half of the TQ8 desktop application: the launcher that embeds\n"
    "Python 3.12 and starts the application, and tq8_root_helper, the helper that\n"
    "the application starts as root through pkexec to change the tunnel, the MTU,\n"
    "the kill switch chain and the DNS redirect, one action per run."
    "${_tq8_test_build_note}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${TQ8_INSTALL_DIR})
set(CPACK_INSTALL_PREFIX ${TQ8_INSTALL_DIR})
# Stage through DESTDIR: without it the polkit file's absolute destination would be written
# to the build machine's own /usr/share while packaging.
set(CPACK_SET_DESTDIR ON)
# Debian ships binaries stripped; the debug information stays in the build directory.
set(CPACK_STRIP_FILES ON)

# Everything without a component of its own is "Unspecified"; with the polkit and debian
# components that is the whole package, built as one .deb.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified polkit debian)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps cannot map a Python runtime that no package owns (pyenv), so the libraries are
# named by hand: glibc 2.34 for posix_spawn_file_actions_addclosefrom_np, the C++ library of
# GCC 12 that builds this, and the 3.12 runtime under its name before and after the t64
# transition. The application reaches the helper only through pkexec (its own package since
# Debian 12, part of policykit-1 before) and polkitd, which reads the action.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libpython3.12 | libpython3.12t64, iptables, iproute2, pkexec | policykit-1, polkitd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "wireguard-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm)
# Maintainer scripts 0755 and the rest of the control files 0644, whatever the checkout's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
