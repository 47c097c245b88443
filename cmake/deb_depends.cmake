# Read by cpack as the project's CPack configuration: the Depends of a runtime
# package, as dpkg-shlibdeps finds them for its library in the build tree.

# kit_runtime_depends(<COMPONENT> <library file> <work folder>)
function(kit_runtime_depends component library workdir)
  if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
  endif()
  # dpkg-shlibdeps runs in a source package's folder: an empty
  # debian/control stands for one.
  file(MAKE_DIRECTORY ${workdir}/debian)
  file(WRITE ${workdir}/debian/control "")
  execute_process(COMMAND dpkg-shlibdeps -O ${library}
    WORKING_DIRECTORY ${workdir}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "^shlibs:Depends=")
    message(FATAL_ERROR "dpkg-shlibdeps ${library}: ${err}")
  endif()
  string(REGEX REPLACE "^shlibs:Depends=" "" depends "${out}")
  set(CPACK_DEBIAN_${component}_PACKAGE_DEPENDS "${depends}" PARENT_SCOPE)
endfunction()
