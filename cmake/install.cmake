# Installation the Linux way: the shared libraries (versioned, with a soname),
# their public C headers, a pkg-config file each, one CMake package
# configuration for the kit (DeviceKit::<library>) and the configuration tool,
# in the GNUInstallDirs folders. Tests, fakes, fuzz targets and benchmarks are
# never installed.
set(KIT_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KIT_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/DeviceKit)

# A folder of the install tree as pkg-config sees it: below ${prefix} when it
# is relative, so that the .pc files hold wherever the tree is installed
# (cmake --install --prefix, the Debian package, DESTDIR).
function(kit_pc_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# kit_install_library(<name> <description> <header>): the shared library, its
# header and its pkg-config file.
function(kit_install_library name description header)
  install(TARGETS ${name} EXPORT DeviceKitTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(pc_prefix "${CMAKE_INSTALL_PREFIX}")
  else()
    # ${pcfiledir} is <prefix>/<libdir>/pkgconfig.
    file(RELATIVE_PATH up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
    string(REGEX REPLACE "/$" "" up "${up}")
    set(pc_prefix "\${pcfiledir}/${up}")
  endif()
  kit_pc_dir(pc_libdir "${CMAKE_INSTALL_LIBDIR}")
  kit_pc_dir(pc_includedir "${CMAKE_INSTALL_INCLUDEDIR}")
  set(pc_name ${name})
  set(pc_description "${description}")
  configure_file(${KIT_CMAKE_DIR}/library.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

# kit_install_program(<target>): a program of the kit into the binary folder.
# It finds the kit's libraries beside it (<bindir>/../<libdir>) unless they
# go to a folder the system's loader searches anyway.
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
endfunction()
