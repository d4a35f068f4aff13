# Debian packages with "cpack -G DEB" in the build folder: the library (libkvnetclient0), the
# development files (libkvnetclient-dev) and the tools (kvnetclient-tools). Dependencies on
# system libraries come from dpkg-shlibdeps; between our own packages from the components.
set(CPACK_PACKAGE_NAME kvnetclient)
set(CPACK_PACKAGE_VENDOR "KvNetClient developers")
set(CPACK_PACKAGE_CONTACT "KvNetClient developers <kvnetclient@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client SDK for network video servers and IP cameras")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)

set(CPACK_COMPONENTS_ALL Runtime Development Tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The library's package gets a shlibs file, so packages built on it depend on it correctly.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The tools link our own library, which dpkg-shlibdeps is shown in the build tree (a file that
# CPack reads, written once the library's folder is known); the package that holds it is named
# by the component dependency.
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/CPackKvNetClient.cmake CONTENT
  "set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS \"$<TARGET_FILE_DIR:KvNetClient>\")\n")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackKvNetClient.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkvnetclient${KVNET_SOVERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkvnetclient-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kvnetclient-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION video)

set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "The shared library: receives, decodes, shows, plays and records the streams of network video\nservers and IP cameras (proprietary UDP, RTSP), replays record files.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "The development files: the C header, the pkg-config file (kvnetclient) and the CMake package\n(find_package(KvNetClient), target KvNetClient::KvNetClient).")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "The tools: kvnet views, records, replays and exports recordings to Matroska or MP4;\nkvdevice simulates an IP camera on loopback.")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS Runtime)

include(CPack)
