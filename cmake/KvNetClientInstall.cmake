# Install rules: the shared library (versioned, with its SONAME and symlinks), the public header,
# a pkg-config file, a CMake package giving KvNetClient::KvNetClient, the two tools and their
# manual pages, all under GNUInstallDirs paths. Static archives are never installed. Targets are
# referred to by name only, so the build rules of the library can change freely.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KVNET_SOVERSION ${PROJECT_VERSION_MAJOR})
set_target_properties(KvNetClient PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${KVNET_SOVERSION})

# The tools find the library beside them after installation, wherever the prefix is.
file(RELATIVE_PATH KVNET_BIN_TO_LIB "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
set_target_properties(kvnet PROPERTIES INSTALL_RPATH "$ORIGIN/${KVNET_BIN_TO_LIB}")

install(TARGETS KvNetClient
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_SKIP)
install(TARGETS KvNetClient
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development NAMELINK_ONLY)
install(FILES ${PROJECT_SOURCE_DIR}/include/KvNetClient.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

# pkg-config: relocatable (the prefix is found from the file's own folder). The libraries the
# shared library itself links are listed as private: a program links libKvNetClient alone.
set(KVNET_PC_PRIVATE_LIBS "")
foreach(lib IN LISTS XCB_LIBRARIES CAIRO_LIBRARIES ALSA_LIBRARIES SPANDSP_LIBRARIES
            OPENH264_LIBRARIES TURBOJPEG_LIBRARIES SWSCALE_LIBRARIES)
  string(APPEND KVNET_PC_PRIVATE_LIBS " -l${lib}")
endforeach()
string(APPEND KVNET_PC_PRIVATE_LIBS " -lxvidcore -lyuv -lpthread -ldl")
file(RELATIVE_PATH KVNET_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" KVNET_PC_TO_PREFIX "${KVNET_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kvnetclient.pc.in
  ${PROJECT_BINARY_DIR}/kvnetclient.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kvnetclient.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

# CMake package: find_package(KvNetClient) gives the imported target KvNetClient::KvNetClient.
set(KVNET_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KvNetClient)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KvNetClientConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KvNetClientConfig.cmake
  INSTALL_DESTINATION ${KVNET_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
# Before 1.0 every minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KvNetClientConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KvNetClientConfig.cmake
              ${PROJECT_BINARY_DIR}/KvNetClientConfigVersion.cmake
  DESTINATION ${KVNET_CMAKE_DIR} COMPONENT Development)

# The tools and their manual pages.
install(TARGETS kvnet kvdevice RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/kvnet.1 ${PROJECT_SOURCE_DIR}/docs/man/kvdevice.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tools)
