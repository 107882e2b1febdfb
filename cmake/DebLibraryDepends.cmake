# Run by CPack (CPACK_PROJECT_CONFIG_FILE) before it makes the Debian
# packages: the Depends of the library package, from what the library links,
# as dpkg-shlibdeps finds them. CPack would find them itself, but its own
# run over a library package also writes ldconfig calls into postinst and
# postrm, beside the package's ldconfig trigger: dpkg would run ldconfig
# twice. The library package therefore asks dpkg-shlibdeps here and CPack
# does not; the trigger alone refreshes the loader cache.
#
# In: ORU_DEB_LIBRARY (the built shared library), CPACK_PACKAGE_DIRECTORY.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(ORU_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT ORU_DPKG_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps (dpkg-dev) is needed to make the Debian packages")
endif()
# dpkg-shlibdeps wants to run in a source package: an empty control file will do.
set(oru_work "${CPACK_PACKAGE_DIRECTORY}/_shlibdeps")
file(MAKE_DIRECTORY "${oru_work}/debian")
file(TOUCH "${oru_work}/debian/control")
execute_process(COMMAND "${ORU_DPKG_SHLIBDEPS}" -O "${ORU_DEB_LIBRARY}"
  WORKING_DIRECTORY "${oru_work}" RESULT_VARIABLE oru_rc OUTPUT_VARIABLE oru_out ERROR_VARIABLE oru_err)
file(REMOVE_RECURSE "${oru_work}")
if(NOT oru_rc EQUAL 0 OR NOT oru_out MATCHES "shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "dpkg-shlibdeps on ${ORU_DEB_LIBRARY} failed: ${oru_err}${oru_out}")
endif()
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
