# The comparer of drawn and committed skin art (tests/controls/SkinCompare.h).
add_library(splicora_skincompare STATIC ${CMAKE_CURRENT_LIST_DIR}/SkinCompare.cpp)
target_include_directories(splicora_skincompare PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(splicora_skincompare PUBLIC splicora_common Qt6::Gui)
add_executable(splicora-skincompare ${CMAKE_CURRENT_LIST_DIR}/skincompare_main.cpp)
target_link_libraries(splicora-skincompare PRIVATE splicora_skincompare)
target_link_libraries(controls_test_skincompare PRIVATE splicora_skincompare)

# The committed skin and icon are what the generator draws today: a change to
# tools/skingen without `tools/make-skin.sh` fails here. Antialiasing that
# differs by a level on another CPU does not.
add_test(NAME controls_skin_up_to_date
  COMMAND sh -c "rm -rf skin-check && \"$0\" skin-check/skin skin-check/icons && \"$1\" \"$2\"/skin skin-check/skin \"$2\"/icons skin-check/icons"
          $<TARGET_FILE:splicora-skingen> $<TARGET_FILE:splicora-skincompare> ${CMAKE_SOURCE_DIR}/res
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(controls_skin_up_to_date PROPERTIES TIMEOUT 60 LABELS controls
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
