# Writes oruDiskLib.pc for the prefix the files are being installed under,
# run from the install script: `cmake --install --prefix` may name another
# prefix than the tree was configured for, and CPack installs under DESTDIR
# with the packages' own prefix. The directories come out absolute and
# normalised (no "pkgconfig/../../..") for whoever reads them.
#
# In: ORU_PC_TEMPLATE, ORU_PC_OUTPUT, ORU_PC_LIBDIR, ORU_PC_INCLUDEDIR (as
# GNUInstallDirs gives them, relative or absolute), ORU_PC_VERSION and the
# install script's CMAKE_INSTALL_PREFIX.

cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_PREFIX NORMALIZE OUTPUT_VARIABLE oru_prefix)
string(REGEX REPLACE "(.)/+$" "\\1" oru_prefix "${oru_prefix}")

# "${prefix}/<dir>" when the directory lies under the prefix, as pkg-config
# files conventionally spell it; the absolute directory otherwise.
function(oru_pc_dir out dir)
  cmake_path(ABSOLUTE_PATH dir BASE_DIRECTORY "${oru_prefix}" NORMALIZE OUTPUT_VARIABLE full)
  string(REGEX REPLACE "(.)/+$" "\\1" full "${full}")
  cmake_path(IS_PREFIX oru_prefix "${full}" NORMALIZE under)
  if(under AND NOT full STREQUAL oru_prefix AND NOT oru_prefix STREQUAL "/")
    cmake_path(RELATIVE_PATH full BASE_DIRECTORY "${oru_prefix}" OUTPUT_VARIABLE rel)
    set(full "\${prefix}/${rel}")
  endif()
  set(${out} "${full}" PARENT_SCOPE)
endfunction()

oru_pc_dir(ORU_PC_LIBDIR_VALUE "${ORU_PC_LIBDIR}")
oru_pc_dir(ORU_PC_INCLUDEDIR_VALUE "${ORU_PC_INCLUDEDIR}")
set(ORU_PC_PREFIX_VALUE "${oru_prefix}")
configure_file("${ORU_PC_TEMPLATE}" "${ORU_PC_OUTPUT}" @ONLY)
