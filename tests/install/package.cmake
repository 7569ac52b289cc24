# The Debian package as `cpack -G DEB` makes it, built into a scratch folder
# and checked with dpkg-deb and lintian.
add_test(NAME install_package
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/check-package.sh ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/test-package
          ${PROJECT_VERSION})
set_tests_properties(install_package PROPERTIES TIMEOUT 300 LABELS install)
