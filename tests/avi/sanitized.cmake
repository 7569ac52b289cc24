# The AVI reader's bad-input tests and the fuzz corpus replay once more, built
# with AddressSanitizer and UBSan: the reader's sources are compiled straight
# into this test so that they are instrumented whatever the main build uses.
set(_san_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
add_executable(avi_test_avireader_sanitized
  ${CMAKE_SOURCE_DIR}/avi/AviReader.cpp
  ${CMAKE_SOURCE_DIR}/avi/AviTypes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_avireader_badfiles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_avireader_corpus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../support/Fixtures.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../support/AviBuilder.cpp)
target_link_libraries(avi_test_avireader_sanitized PRIVATE splicora_common GTest::gtest_main Qt6::Core)
target_compile_options(avi_test_avireader_sanitized PRIVATE ${_san_flags})
target_link_options(avi_test_avireader_sanitized PRIVATE ${_san_flags})
target_compile_definitions(avi_test_avireader_sanitized PRIVATE
  SPLICORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  SPLICORA_BINARY_DIR="${CMAKE_BINARY_DIR}")
add_test(NAME avi_test_avireader_sanitized COMMAND avi_test_avireader_sanitized)
set_tests_properties(avi_test_avireader_sanitized PROPERTIES TIMEOUT 300 LABELS "avi;sanitize"
  ENVIRONMENT "SPLICORA_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp;ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1")
