# The kit's CMake package configuration and its Debian package (cpack -G DEB
# from the build folder: the same contents as cmake --install, below /usr).
include(CMakePackageConfigHelpers)
install(EXPORT DeviceKitTargets NAMESPACE DeviceKit:: DESTINATION ${KIT_PACKAGE_DIR})
configure_package_config_file(${KIT_CMAKE_DIR}/DeviceKitConfig.cmake.in
  ${CMAKE_BINARY_DIR}/DeviceKitConfig.cmake INSTALL_DESTINATION ${KIT_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/DeviceKitConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/DeviceKitConfig.cmake ${CMAKE_BINARY_DIR}/DeviceKitConfigVersion.cmake
  DESTINATION ${KIT_PACKAGE_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME device-kit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "device libraries and configuration tool for parking-lot and road-toll sites")
set(CPACK_PACKAGE_DESCRIPTION
  "libQelm_Control drives smart traffic cameras, libNardix plate-recognition cameras and libPyrnBox controller boxes on the local network; devconfig finds all three kinds of device and sets their network parameters. With the C headers, pkg-config files and the CMake package configuration (find_package(DeviceKit)).")
set(CPACK_PACKAGE_CONTACT "Device kit developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The Qt 5 and TinyXML runtime packages come from the programs' and
# libraries' own needs (dpkg-shlibdeps); the font that holds the tool's
# Chinese texts is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-wqy-microhei)
include(CPack)
