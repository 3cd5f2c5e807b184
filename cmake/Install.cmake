# Installation in four components, and Debian packages of them (make package):
#   runtime      the library                                         package libzavdmreg1
#   development  headers with the platform declarations, CMake package,
#                pkg-config file                                      libzavdmreg-dev
#   platform     a Linux device's platform libraries: the AT telephony
#                libzavtapi.so and the file-backed tree libdmnative.so.02  zavdmreg-platform
#   service      dmregd, dmreg-client, dmreg-modem-sim, the systemd unit,
#                the example configuration and tree, the udev rule    dmregd
# A handset's build (DMREG_BUILD_TOOLS=OFF) installs the first two: its platform has its own.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzavdmreg1)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzavdmreg-dev)
set(CPACK_DEBIAN_PLATFORM_PACKAGE_NAME zavdmreg-platform)
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME dmregd)

# Programs and the library find each other in an install tree of any prefix; a package for /usr
# needs no search path (DMREG_INSTALL_RPATH=OFF).
option(DMREG_INSTALL_RPATH "Relative library search paths in installed binaries" ON)
if(DMREG_INSTALL_RPATH)
  set_target_properties(zavdmreg PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
install(TARGETS zavdmreg EXPORT zavdmregTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zavdmreg)
install(FILES src/DM_RegLaunch.h src/DM_RegSendSMS.h src/DM_RegServer.h src/DM_RegUtility.h
              platform/include/zavtapi.h platform/include/dmt.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zavdmreg COMPONENT development)
install(FILES include/utility/dmvector DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zavdmreg/utility COMPONENT development)
install(EXPORT zavdmregTargets NAMESPACE zavdmreg:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zavdmreg
  COMPONENT development)
configure_package_config_file(cmake/zavdmregConfig.cmake.in ${CMAKE_BINARY_DIR}/zavdmregConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zavdmreg PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zavdmregConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zavdmregConfig.cmake ${CMAKE_BINARY_DIR}/zavdmregConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zavdmreg COMPONENT development)
# The pkg-config file finds its prefix from where it lies, whatever prefix it is installed under.
file(RELATIVE_PATH DMREG_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(cmake/zavdmreg.pc.in ${CMAKE_BINARY_DIR}/zavdmreg.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zavdmreg.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

if(DMREG_BUILD_TOOLS)
  install(TARGETS dmnative zavtapi_at
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT platform NAMELINK_COMPONENT development)
  if(DMREG_INSTALL_RPATH)
    set_target_properties(dmregd dmreg-client dmreg-modem-sim PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
  install(TARGETS dmregd dmreg-client dmreg-modem-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
  set(DMREG_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the systemd unit goes")
  set(DMREG_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule goes")
  configure_file(packaging/dmregd.service.in ${CMAKE_BINARY_DIR}/dmregd.service @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/dmregd.service DESTINATION ${DMREG_SYSTEMD_UNIT_DIR} COMPONENT service)
  install(FILES packaging/dmregd.conf DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/dmreg COMPONENT service)
  install(FILES examples/trees/handset.txt DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/dmreg RENAME tree.txt COMPONENT service)
  install(FILES packaging/77-dmreg-modem.rules DESTINATION ${DMREG_UDEV_RULES_DIR} COMPONENT service)
  install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/dmregd/examples COMPONENT service)
  foreach(page dmregd.8 dmreg-client.1 dmreg-modem-sim.1)
    string(REGEX REPLACE ".*\\." "man" section ${page})
    execute_process(COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/man/${page} OUTPUT_FILE ${CMAKE_BINARY_DIR}/${page}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/${section} COMPONENT service)
  endforeach()
endif()

# Each package's copyright and changelog, as Debian has them.
execute_process(COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog OUTPUT_FILE ${CMAKE_BINARY_DIR}/changelog.gz)
foreach(component runtime development platform service)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES packaging/copyright ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component})
endforeach()

# Debian packages, one a component.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME zavdmreg)
set(CPACK_PACKAGE_VENDOR "zavdmreg")
set(CPACK_PACKAGE_CONTACT "zavdmreg developers <dmreg@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The platform libraries, found where CPack stages their package; the dependency on that
# package comes from the components' own.
set(CPACK_PACKAGE_FILE_NAME zavdmreg-${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/zavdmreg-${PROJECT_VERSION}/platform${CMAKE_INSTALL_FULL_LIBDIR}
  ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/zavdmreg-${PROJECT_VERSION}/runtime${CMAKE_INSTALL_FULL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "device-management registration by SMS
When a SIM card is seen for the first time, the library registers the device
with its device-management server: one port-addressed SMS naming the device,
and the server's acknowledgement recorded, so that the same SIM is not
registered again.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "device-management registration by SMS - development files
Headers of libzavdmreg and of the platform it is built against, a CMake
package (find_package(zavdmreg)) and a pkg-config file.")
set(CPACK_COMPONENT_PLATFORM_DESCRIPTION "platform libraries of a Linux device for libzavdmreg
The telephony service libzavtapi.so over a cellular modem's AT commands, and
the device-management tree libdmnative.so.02 kept in a file.")
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "device-management registration service for cellular modems
dmregd registers a Linux device that has a cellular modem with its
device-management server when a new SIM is seen, and hands the server's reply
to the registration. With dmreg-client, a modem simulator, a systemd unit and
an example configuration and tree.")
set(CPACK_STRIP_FILES ON)
# The settings and the tree's example are the administrator's; the libraries announce themselves
# to ldconfig by trigger.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/service/conffiles "/etc/dmreg/dmregd.conf\n/etc/dmreg/tree.txt\n")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/service/conffiles)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PLATFORM_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/triggers)
set(CPACK_COMPONENT_RUNTIME_DEPENDS platform)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_SERVICE_DEPENDS runtime platform)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
include(CPack)
