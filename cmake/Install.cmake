# cmake --install: the driver library, tarn_log, the public header, qvgsm,
# a CMake package (find_package(qvGSMcomdrv) -> qvGSMcomdrv::qvGSMcomdrv)
# a pkg-config file, and for the gateway an example configuration and a
# systemd unit.
include(CMakePackageConfigHelpers)

if(TARGET qvGSMcomdrv)
  install(TARGETS qvGSMcomdrv EXPORT qvGSMcomdrvTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT qvGSMcomdrvTargets NAMESPACE qvGSMcomdrv::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qvGSMcomdrv)
endif()
if(TARGET tarn_log)
  install(TARGETS tarn_log LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/qvGSMcomdrv.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS qvgsm RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qvGSMcomdrvConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qvGSMcomdrvConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qvGSMcomdrv)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qvGSMcomdrvConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qvGSMcomdrvConfig.cmake
  ${PROJECT_BINARY_DIR}/qvGSMcomdrvConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qvGSMcomdrv)

configure_file(${PROJECT_SOURCE_DIR}/cmake/qvGSMcomdrv.pc.in ${PROJECT_BINARY_DIR}/qvGSMcomdrv.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qvGSMcomdrv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The gateway (qvgsm serve): an example configuration and a systemd unit.
if(QVGSM_SERVE)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/serve/gateway.toml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/qvgsm/examples)
  configure_file(${PROJECT_SOURCE_DIR}/tools/serve/qvgsm-gateway.service.in
    ${PROJECT_BINARY_DIR}/qvgsm-gateway.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qvgsm-gateway.service DESTINATION lib/systemd/system)
endif()
