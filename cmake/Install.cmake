# Installation in four components; each Debian package of debian/ takes one:
#   runtime      the library                                                   libzavdmreg1
#   development  headers with the platform declarations, CMake package,
#                pkg-config file; the development programs dmreg-client and
#                dmreg-modem-sim (tools/CMakeLists.txt)                        libzavdmreg-dev
#   platform     a Linux device's platform libraries: the AT telephony
#                libzavtapi.so and the file-backed tree libdmnative.so.02       zavdmreg-platform
#   service      dmregd with its unit, configuration, tree, udev rule and
#                manual page (service/CMakeLists.txt)                          dmregd
# A handset's build (DMREG_BUILD_TOOLS=OFF) installs the first two: its platform has its own.
include(CMakePackageConfigHelpers)
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

if(DMREG_BUILD_SERVICE)
  install(TARGETS dmnative zavtapi_at
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT platform NAMELINK_COMPONENT development)
endif()
