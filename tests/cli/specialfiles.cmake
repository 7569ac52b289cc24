# A FIFO that blocks an open would hang these tests rather than fail them: the
# command line runs under timeout(1) inside, and CTest ends the rest early.
set_tests_properties(cli_test_specialfiles media_test_regularfile PROPERTIES TIMEOUT 120)
