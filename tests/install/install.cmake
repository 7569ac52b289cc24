# `cmake --install` into a scratch prefix, checked by the desktop's validators.
add_test(NAME install_tree
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/check-install.sh ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/test-install)
set_tests_properties(install_tree PROPERTIES TIMEOUT 120 LABELS install)
