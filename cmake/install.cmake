# Installation the Linux way: the shared libraries (versioned, with a soname),
# their public C headers, a pkg-config file each, one CMake package
# configuration for the kit (DeviceKit::<library>), the configuration tool with
# its desktop entry and manual page. Tests, fakes, fuzz targets and benchmarks
# are never installed.
#
# Two sets of rules install these files:
# - `cmake --install` (no component): the GNUInstallDirs folders of the prefix
#   the build was configured with (or --prefix), the tool finding the
#   libraries beside it;
# - the Debian packages (cpack -G DEB, cmake/package.cmake): one component per
#   package, left out of a plain install, always in /usr's folders, the
#   libraries in the multiarch folder and the tool without a run path, whatever
#   prefix the build was configured with.
set(KIT_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KIT_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/DeviceKit)

# /usr's folders below /usr, as GNUInstallDirs gives them for that prefix.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(KIT_DEB_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(KIT_DEB_LIBDIR lib)
endif()
set(KIT_DEB_PACKAGE_DIR ${KIT_DEB_LIBDIR}/cmake/DeviceKit)
# The component of the development package (headers, links, pkg-config and
# CMake files); each library's runtime package is the component named after it.
set(KIT_DEV_COMPONENT dev)

# kit_install_files(<component> <tree folder> <package folder> <file>...):
# files that both sets install.
function(kit_install_files component tree_dir deb_dir)
  install(FILES ${ARGN} DESTINATION ${tree_dir})
  install(FILES ${ARGN} DESTINATION ${deb_dir} COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()

# kit_gzip(<target> <source> <output>): <output> is <source> compressed as
# Debian wants manual pages and changelogs (gzip -9n: no name, no time stamp,
# so the same text makes the same bytes).
function(kit_gzip target source output)
  string(REGEX REPLACE "\\.gz$" "" plain "${output}")
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
    COMMAND gzip -9nf ${plain}
    DEPENDS ${source} VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

# A folder of the install tree as pkg-config sees it: below ${prefix} when it
# is relative.
function(kit_pc_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# kit_pc_file(<file> <name> <description> <prefix> <libdir> <includedir>):
# writes the library's pkg-config file.
function(kit_pc_file file name description pc_prefix libdir includedir)
  kit_pc_dir(pc_libdir "${libdir}")
  kit_pc_dir(pc_includedir "${includedir}")
  set(pc_name ${name})
  set(pc_description "${description}")
  configure_file(${KIT_CMAKE_DIR}/library.pc.in ${file} @ONLY)
endfunction()

# kit_install_library(<name> <description> <header>): the shared library, its
# header and its pkg-config file.
function(kit_install_library name description header)
  install(TARGETS ${name} EXPORT DeviceKitTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(pc_prefix "${CMAKE_INSTALL_PREFIX}")
  else()
    # ${pcfiledir} is <prefix>/<libdir>/pkgconfig, so that the file holds
    # wherever the tree is installed (cmake --install --prefix, DESTDIR).
    file(RELATIVE_PATH up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
    string(REGEX REPLACE "/$" "" up "${up}")
    set(pc_prefix "\${pcfiledir}/${up}")
  endif()
  set(pc ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc)
  kit_pc_file(${pc} ${name} "${description}" "${pc_prefix}" "${CMAKE_INSTALL_LIBDIR}" "${CMAKE_INSTALL_INCLUDEDIR}")
  install(FILES ${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

  # The runtime package holds the versioned file and its soname link, the
  # development package the link that the linker takes (lib<name>.so).
  install(TARGETS ${name} EXPORT DeviceKitDebTargets
    LIBRARY DESTINATION ${KIT_DEB_LIBDIR} COMPONENT ${name}
            NAMELINK_COMPONENT ${KIT_DEV_COMPONENT} EXCLUDE_FROM_ALL)
  set(pc ${CMAKE_BINARY_DIR}/deb/pkgconfig/${name}.pc)
  kit_pc_file(${pc} ${name} "${description}" /usr "${KIT_DEB_LIBDIR}" include)
  install(FILES ${pc} DESTINATION ${KIT_DEB_LIBDIR}/pkgconfig COMPONENT ${KIT_DEV_COMPONENT} EXCLUDE_FROM_ALL)

  kit_install_files(${KIT_DEV_COMPONENT} ${CMAKE_INSTALL_INCLUDEDIR} include ${header})
endfunction()

# kit_install_program(<target>): a program of the kit into the binary folder,
# in the package of its own name. Installed with cmake --install, it finds the
# kit's libraries beside it (<bindir>/../<libdir>) unless they go to a folder
# the system's loader searches anyway.
function(kit_install_program target)
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" system_dir)
  if(system_dir EQUAL -1)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
      set(rpath "${CMAKE_INSTALL_LIBDIR}")
    else()
      file(RELATIVE_PATH rel "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
      set(rpath "$ORIGIN/${rel}")
    endif()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${rpath}")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # In /usr/bin the loader finds the libraries in the multiarch folder: the
  # packaged program carries no run path, whatever the tree's needs.
  install(TARGETS ${target} RUNTIME DESTINATION bin COMPONENT ${target} EXCLUDE_FROM_ALL)
  install(CODE "file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/$<TARGET_FILE_NAME:${target}>\")"
    COMPONENT ${target} EXCLUDE_FROM_ALL)
endfunction()
