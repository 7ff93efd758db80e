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

# pkexec runs the helper as root, and the dynamic loader follows its RUNPATH. A runtime
# directory that an ordinary user can write to (a pyenv build under a home directory) would let
# that user run code as root: say so at configure time. docs/packaging.md explains.
foreach(_tq8_dir IN LISTS Python3_RUNTIME_LIBRARY_DIRS)
  if(NOT _tq8_dir MATCHES "^/usr/lib")
    message(STATUS "Packaging: the binaries' RUNPATH is ${_tq8_dir}; a package built this way "
                   "runs only where that Python exists, and must only be installed where "
                   "that directory is writable by root alone.")
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tq8-vpn-adblocker)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "TQ8 Sipran <packaging@tq8.invalid>")
set(CPACK_PACKAGE_VENDOR "TQ8 Sipran")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VPN and DNS ad blocker: launcher and privileged network helper")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "The native half of the TQ8 desktop application: the launcher that embeds Python 3.12 and "
    "starts the application, and tq8_root_helper, the helper that the application starts as "
    "root through pkexec to change the tunnel, the MTU, the kill switch chain and the DNS "
    "redirect, one action per run.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${TQ8_INSTALL_DIR})
set(CPACK_INSTALL_PREFIX ${TQ8_INSTALL_DIR})
# Stage through DESTDIR: without it the polkit file's absolute destination would be written
# to the build machine's own /usr/share while packaging.
set(CPACK_SET_DESTDIR ON)
# Debian ships binaries stripped; the debug information stays in the build directory.
set(CPACK_STRIP_FILES ON)

# Everything without a component of its own is "Unspecified"; with the polkit component that is
# the whole package, built as one .deb.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified polkit)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps cannot map a Python runtime that no package owns (pyenv), so the libraries are
# named by hand: glibc 2.34 for posix_spawn_file_actions_addclosefrom_np, the C++ library of
# GCC 12 that builds this, and the 3.12 runtime under its name before and after the t64
# transition.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libpython3.12 | libpython3.12t64, iptables, iproute2")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "wireguard-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm)
# Maintainer scripts 0755 and the rest of the control files 0644, whatever the checkout's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
