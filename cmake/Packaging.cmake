# Debian packages: `cpack -G DEB` in a build tree makes one package per install
# component. Configure with -DCMAKE_INSTALL_PREFIX=/usr (scripts/package does)
# so that GNUInstallDirs lays the files out as Debian does
# (/usr/lib/x86_64-linux-gnu, /usr/share/man, ...).
#
#   component  package                what it holds
#   lib        liborudisklib1         the shared library and its SONAME link
#   dev        liborudisklib-dev      header, .so link, pkg-config and CMake files, oruDiskLib(3)
#   tools      orudisk                orudisk, oru-platform-sim, their man pages, the
#                                     simulator's README and example configuration
#   nbdkit     nbdkit-plugin-oru      the nbdkit plugin and its man page
#   python     python3-orudisklib     the orudisklib Python package
#
# Debian package names are lower case only, hence liborudisklib rather than the
# library's own spelling. Components that no install rule uses (a build without
# the nbdkit headers, say) make no package: an empty package, or one holding
# only its changelog, would promise what it does not ship.

set(ORU_PACKAGE_CONTACT "oruDiskLib developers <orudisklib@localhost>"
    CACHE STRING "Maintainer field of the Debian packages")

# The Debian revision comes from the top entry of the changelog, whose
# upstream part must be this version: one place to bump, checked here.
set(ORU_DEB_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ORU_DEB_CHANGELOG})
file(STRINGS ${ORU_DEB_CHANGELOG} ORU_DEB_TOP_ENTRY LIMIT_COUNT 1)
if(NOT ORU_DEB_TOP_ENTRY MATCHES "^[a-z0-9.+-]+ \\(([0-9.]+)-([0-9A-Za-z.+~]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: cannot read the version from '${ORU_DEB_TOP_ENTRY}'")
endif()
if(NOT CMAKE_MATCH_1 VERSION_EQUAL PROJECT_VERSION)
  message(WARNING "packaging/changelog's top entry is ${CMAKE_MATCH_1}, the project is ${PROJECT_VERSION}: "
                  "add a changelog entry for this version before making packages")
endif()
set(ORU_DEB_REVISION ${CMAKE_MATCH_2})

# Package names and control fields per component.
set(ORU_DEB_NAME_lib liborudisklib1)
set(ORU_DEB_NAME_dev liborudisklib-dev)
set(ORU_DEB_NAME_tools orudisk)
set(ORU_DEB_NAME_nbdkit nbdkit-plugin-oru)
set(ORU_DEB_NAME_python python3-orudisklib)
set(ORU_DEB_COMPONENTS lib dev tools nbdkit python)

# changelog.Debian.gz: compressed as Debian policy wants it (-9, no name or
# time stamp inside, so that two builds give the same bytes).
find_program(ORU_GZIP gzip REQUIRED)
set(ORU_DEB_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${ORU_DEB_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND sh -c "\"$1\" -9nc \"$2\" > \"$3\"" sh ${ORU_GZIP} ${ORU_DEB_CHANGELOG} ${ORU_DEB_CHANGELOG_GZ}
  DEPENDS ${ORU_DEB_CHANGELOG}
  COMMENT "Compressing the Debian changelog" VERBATIM)
add_custom_target(oru_deb_changelog ALL DEPENDS ${ORU_DEB_CHANGELOG_GZ})

# Runs once the whole tree is read, so that components defined anywhere (the
# tools, the plugin, the Python package) are known whatever the order of the
# add_subdirectory calls.
function(oru_configure_packages)
  get_cmake_property(defined_components COMPONENTS)
  if("Unspecified" IN_LIST defined_components)
    message(AUTHOR_WARNING "an install() rule has no COMPONENT: its files go into no Debian package")
  endif()
  set(packaged "")
  foreach(c IN LISTS ORU_DEB_COMPONENTS)
    if(NOT c IN_LIST defined_components)
      continue()
    endif()
    list(APPEND packaged ${c})
    # Each package carries its own copyright and changelog. Left out of a
    # plain `cmake --install` (EXCLUDE_FROM_ALL); CPack installs every
    # component by name and so includes them.
    set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ORU_DEB_NAME_${c}})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${ORU_DEB_CHANGELOG_GZ}
      DESTINATION ${docdir} COMPONENT ${c} EXCLUDE_FROM_ALL)
    string(TOUPPER ${c} C)
    set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${ORU_DEB_NAME_${c}})
    # Every package but the library itself needs exactly this build of it.
    if(NOT c STREQUAL "lib")
      set(CPACK_COMPONENT_${C}_DEPENDS lib)
    endif()
  endforeach()
  if(NOT packaged)
    return()
  endif()

  set(CPACK_PACKAGE_NAME orudisklib)
  set(CPACK_PACKAGE_VENDOR "oruDiskLib developers")
  set(CPACK_PACKAGE_CONTACT "${ORU_PACKAGE_CONTACT}")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
  set(CPACK_GENERATOR DEB)
  set(CPACK_COMPONENTS_ALL ${packaged})
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${ORU_DEB_REVISION})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SOURCE orudisklib)
  # Depends from what the ELF files link (dpkg-shlibdeps). Our own library is
  # not installed yet when the packages are made: it is found in the build
  # tree, has no shlibs entry there, and the component dependencies above name
  # its package instead.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
  # A shlibs file in liborudisklib1, so that programs packaged elsewhere get
  # "Depends: liborudisklib1 (>= 1.5.0-1)" from dpkg-shlibdeps. Written here
  # rather than by CPack (CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS), which looks
  # at every package's shared objects and warns about the nbdkit plugin, a
  # module that has and needs no soname.
  get_target_property(ORU_SOVERSION oruDiskLib SOVERSION)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/shlibs.in ${PROJECT_BINARY_DIR}/packaging/shlibs @ONLY)

  # Debian's packages strip their programs and libraries (symbols for
  # debugging would go into separate -dbgsym packages).
  set(CPACK_STRIP_FILES ON)

  set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
  # The loader cache is refreshed once, by dpkg's ldconfig trigger, as in
  # every Debian library package. CPack would add postinst/postrm calls of
  # ldconfig to any package whose shared objects it examines for their
  # dependencies, so the library package's Depends come from
  # cmake/DebLibraryDepends.cmake instead, run by CPack when it packages.
  set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers
      ${PROJECT_BINARY_DIR}/packaging/shlibs)
  set(CPACK_DEBIAN_LIB_PACKAGE_SHLIBDEPS OFF)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/packaging/CPackProjectConfig.cmake
    CONTENT "set(ORU_DEB_LIBRARY [[$<TARGET_FILE:oruDiskLib>]])
include([[${PROJECT_SOURCE_DIR}/cmake/DebLibraryDepends.cmake]])
")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/CPackProjectConfig.cmake)
  set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_LIB_DESCRIPTION
"sector-level access to local and remote virtual disks
oruDiskLib gives backup and data-protection software 512-byte sector access
to the volumes of a virtualization platform: local qcow2, raw and LUKS image
files, remote volumes exported over NBD after a handshake with the platform's
management server and host agent, and LAN-free volumes read from an iSCSI
target, through one C interface.

This package contains the shared library.")
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_DESCRIPTION
"sector-level access to virtual disks (development files)
oruDiskLib gives backup and data-protection software 512-byte sector access
to local qcow2, raw and LUKS images and to remote volumes over NBD and iSCSI.

This package contains the C header, the pkg-config and CMake package files
and the oruDiskLib(3) manual page.")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
  # The simulator exports volumes with qemu-nbd; orudisk itself needs nothing more.
  set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS qemu-utils)
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"create, inspect, back up and restore virtual disks with oruDiskLib
orudisk is the command-line front of oruDiskLib: it creates qcow2 and raw
images, shows a volume's format, size and backing chain, writes allocation
bitmaps, makes full and incremental backups of local and remote volumes and
restores them.

oru-platform-sim simulates the platform's management server and host agents,
exporting volumes with qemu-nbd, so that programs using the library can run
the remote path on one machine.")
  set(CPACK_DEBIAN_NBDKIT_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_NBDKIT_PACKAGE_DEPENDS nbdkit)
  set(CPACK_DEBIAN_NBDKIT_DESCRIPTION
"nbdkit plugin serving oruDiskLib volumes over NBD
The plugin serves any volume that oruDiskLib opens (local qcow2, raw or LUKS
images, remote volumes over NBD or iSCSI) as an NBD export, so that
qemu-img, nbdcopy, nbdinfo and every other NBD client can read and write it.")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS python3)
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"Python 3 interface to oruDiskLib
The orudisklib package opens, reads, writes and creates the volumes that
oruDiskLib reaches (local images, remote volumes over NBD or iSCSI) from
Python, through the library's C interface.")

  include(CPack)
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL oru_configure_packages)
