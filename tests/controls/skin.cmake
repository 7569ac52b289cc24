# The committed skin and icon are what the generator draws today: a change to
# tools/skingen without `tools/make-skin.sh` fails here.
add_test(NAME controls_skin_up_to_date
  COMMAND sh -c "rm -rf skin-check && \"$0\" skin-check/skin skin-check/icons && for f in \"$1\"/skin/*.png \"$1\"/icons/*.png; do cmp \"$f\" skin-check/\"$(basename \"$(dirname \"$f\")\")\"/\"$(basename \"$f\")\" || exit 1; done"
          $<TARGET_FILE:splicora-skingen> ${CMAKE_SOURCE_DIR}/res
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(controls_skin_up_to_date PROPERTIES TIMEOUT 60 LABELS controls
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
