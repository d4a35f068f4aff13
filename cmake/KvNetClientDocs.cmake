# The API reference: the "docs" target runs Doxygen over the public header (HTML in
# build/docs/api/html). Any warning fails it; a test runs it in the normal test stage.
find_package(Doxygen)
if(DOXYGEN_FOUND)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/docs/api)
  add_custom_target(docs
    COMMAND ${DOXYGEN_EXECUTABLE} ${PROJECT_BINARY_DIR}/Doxyfile
    DEPENDS ${PROJECT_SOURCE_DIR}/include/KvNetClient.h
    COMMENT "API reference (Doxygen)")
  if(KVNET_BUILD_TESTS)
    add_test(NAME api_reference_doxygen COMMAND ${DOXYGEN_EXECUTABLE} ${PROJECT_BINARY_DIR}/Doxyfile)
    set_tests_properties(api_reference_doxygen PROPERTIES LABELS packaging TIMEOUT 120)
  endif()
endif()
