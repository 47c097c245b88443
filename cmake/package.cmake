# The kit's CMake package configuration, and its Debian packages split as
# Debian ships libraries (cd build && cpack -G DEB):
#   libqelm-control1, libnardix1, libpyrnbox1  one library each, no Qt
#   device-kit-dev  headers, links, pkg-config and CMake files
#   devconfig       the tool, its desktop entry and manual page
include(CMakePackageConfigHelpers)

set(KIT_LIBRARIES Qelm_Control Nardix PyrnBox)

# One configuration for each set of install rules: PACKAGE_INIT finds the
# prefix by the depth of the folder it is installed in.
install(EXPORT DeviceKitTargets NAMESPACE DeviceKit:: DESTINATION ${KIT_PACKAGE_DIR})
install(EXPORT DeviceKitDebTargets NAMESPACE DeviceKit:: FILE DeviceKitTargets.cmake
  DESTINATION ${KIT_DEB_PACKAGE_DIR} COMPONENT ${KIT_DEV_COMPONENT} EXCLUDE_FROM_ALL)
configure_package_config_file(${KIT_CMAKE_DIR}/DeviceKitConfig.cmake.in
  ${CMAKE_BINARY_DIR}/DeviceKitConfig.cmake INSTALL_DESTINATION ${KIT_PACKAGE_DIR})
configure_package_config_file(${KIT_CMAKE_DIR}/DeviceKitConfig.cmake.in
  ${CMAKE_BINARY_DIR}/deb/DeviceKitConfig.cmake INSTALL_DESTINATION ${KIT_DEB_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/DeviceKitConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/DeviceKitConfig.cmake ${CMAKE_BINARY_DIR}/DeviceKitConfigVersion.cmake
  DESTINATION ${KIT_PACKAGE_DIR})
install(FILES ${CMAKE_BINARY_DIR}/deb/DeviceKitConfig.cmake ${CMAKE_BINARY_DIR}/DeviceKitConfigVersion.cmake
  DESTINATION ${KIT_DEB_PACKAGE_DIR} COMPONENT ${KIT_DEV_COMPONENT} EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME device-kit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Device kit developers <device-kit@example.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE device-kit)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Each package names the kit's packages it needs at exactly its own version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_QELM_CONTROL_PACKAGE_NAME libqelm-control1)
set(CPACK_DEBIAN_QELM_CONTROL_DESCRIPTION [[traffic camera control library of the device kit
libQelm_Control drives smart traffic cameras on the local network: it finds
them by broadcast and sets their network parameters, opens control
connections, sets and reads camera values, reads and writes parameters
through the cameras' XML descriptions, transfers firmware, database and
algorithm files, and accepts cameras that connect to the host.
.
This package holds the shared library; device-kit-dev holds what building
a program against it needs.]])
set(CPACK_DEBIAN_NARDIX_PACKAGE_NAME libnardix1)
set(CPACK_DEBIAN_NARDIX_DESCRIPTION [[plate-recognition camera library of the device kit
libNardix finds plate-recognition cameras on the local network and sets
their network parameters, connects their result and control channels,
triggers captures and delivers the recognition results with their images.
.
This package holds the shared library; device-kit-dev holds what building
a program against it needs.]])
set(CPACK_DEBIAN_PYRNBOX_PACKAGE_NAME libpyrnbox1)
set(CPACK_DEBIAN_PYRNBOX_DESCRIPTION [[controller box library of the device kit
libPyrnBox drives the controller boxes of parking-lot and road-toll lanes
over TCP or a serial port: barrier gate, voice announcements, LED sign,
serial pass-through, device administration and firmware update, and the
status reports that the boxes send.
.
This package holds the shared library; device-kit-dev holds what building
a program against it needs.]])
set(CPACK_DEBIAN_DEV_PACKAGE_NAME device-kit-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION [[development files of the device kit libraries
The C headers of libQelm_Control (traffic cameras), libNardix
(plate-recognition cameras) and libPyrnBox (controller boxes), the links
to link against them, a pkg-config file for each (Qelm_Control, Nardix,
PyrnBox) and the CMake package DeviceKit: find_package(DeviceKit) gives
the targets DeviceKit::Qelm_Control, DeviceKit::Nardix and
DeviceKit::PyrnBox.]])
set(CPACK_COMPONENT_DEV_DEPENDS ${KIT_LIBRARIES})
set(CPACK_DEBIAN_DEVCONFIG_PACKAGE_NAME devconfig)
set(CPACK_DEBIAN_DEVCONFIG_PACKAGE_SECTION net)
set(CPACK_DEBIAN_DEVCONFIG_DESCRIPTION [[configuration tool for parking-lot and road-toll devices
devconfig finds traffic cameras, plate-recognition cameras and controller
boxes on the local network at once and lists them in one table. It adds a
device by its IP address, shows its MAC address, version and number, opens
its web page, and changes its IP address, subnet mask and gateway.]])
set(CPACK_COMPONENT_DEVCONFIG_DEPENDS ${KIT_LIBRARIES})
# Qt comes from the program's own needs (dpkg-shlibdeps, which finds the kit's
# libraries in the build tree, below, and leaves them to the line above); the
# font that holds the window's Chinese texts is named here.
set(CPACK_DEBIAN_DEVCONFIG_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEVCONFIG_PACKAGE_DEPENDS fonts-wqy-microhei)

# Every package: the copyright and the changelog in its documentation folder.
kit_gzip(kit_deb_changelog ${PROJECT_SOURCE_DIR}/packaging/changelog ${CMAKE_BINARY_DIR}/deb/changelog.gz)
set(KIT_DEB_COMPONENTS ${KIT_LIBRARIES} ${KIT_DEV_COMPONENT} devconfig)
foreach(component IN LISTS KIT_DEB_COMPONENTS)
  string(TOUPPER ${component} up)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/deb/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${up}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
set(CPACK_COMPONENTS_ALL ${KIT_DEB_COMPONENTS})

# A runtime package declares its library to dpkg (shlibs) and has the loader's
# cache renewed through dpkg's ldconfig trigger. CPack's own shlibs file would
# come with maintainer scripts that call ldconfig, which Debian replaced by
# the trigger; so the runtime packages' Depends come from dpkg-shlibdeps run
# by the project's CPack configuration (cmake/deb_depends.cmake) on the
# libraries as built.
set(depends "include(\"${KIT_CMAKE_DIR}/deb_depends.cmake\")\n")
foreach(lib IN LISTS KIT_LIBRARIES)
  string(TOUPPER ${lib} up)
  set(package ${CPACK_DEBIAN_${up}_PACKAGE_NAME})
  file(WRITE ${CMAKE_BINARY_DIR}/deb/${package}/shlibs
    "lib${lib} ${PROJECT_VERSION_MAJOR} ${package} (>= ${PROJECT_VERSION})\n")
  set(CPACK_DEBIAN_${up}_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/deb/${package}/shlibs ${PROJECT_SOURCE_DIR}/packaging/triggers)
  set(CPACK_DEBIAN_${up}_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_${up}_PACKAGE_SECTION libs)
  string(APPEND depends "kit_runtime_depends(${up} \"$<TARGET_FILE:${lib}>\" \"${CMAKE_BINARY_DIR}/deb/shlibdeps\")\n")
  string(APPEND depends "list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS \"$<TARGET_FILE_DIR:${lib}>\")\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/deb/CPackDepends.cmake CONTENT "${depends}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/deb/CPackDepends.cmake)
# Each package's Installed-Size counts each of its files once.
set(CPACK_POST_BUILD_SCRIPTS ${KIT_CMAKE_DIR}/deb_installed_size.cmake)

include(CPack)
