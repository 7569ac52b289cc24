# The Russian texts we ship, checked word by word against Hunspell's dictionary.
add_test(NAME res_russian_spelling
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/check-spelling.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(res_russian_spelling PROPERTIES TIMEOUT 60 LABELS res)
