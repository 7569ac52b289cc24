# The manual pages against the program's own usage texts.
add_test(NAME install_manpages
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/check-manpages.sh $<TARGET_FILE:splicora-cli> ${CMAKE_SOURCE_DIR}/res/man)
set_tests_properties(install_manpages PROPERTIES TIMEOUT 60 LABELS install)
