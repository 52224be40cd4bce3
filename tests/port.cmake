# Tests of the port layer (no widgets; the code under test has no Qt).
fc_add_test(tst_port SOURCES tst_port.cpp LIBS fc_port LABELS port)
fc_add_test(tst_sequencer SOURCES tst_sequencer.cpp recordingport.h LIBS fc_port LABELS port)
fc_add_test(tst_frequencymeter SOURCES tst_frequencymeter.cpp LIBS fc_port LABELS port)

# The self-test on the command line: figures and a verdict, or a plain refusal
# of a length it will not record.
add_test(NAME cli_self_test COMMAND frequency-converter --self-test --self-test-seconds 0.2)
set_tests_properties(cli_self_test PROPERTIES
  LABELS "cli"
  PASS_REGULAR_EXPRESSION "selftest_lateness_p99: [-0-9.e+]+ us.*This PC holds 99 % of steps")
foreach(length 0 -1 61 abc)
  add_test(NAME cli_self_test_refuses_${length}
           COMMAND frequency-converter --self-test --self-test-seconds ${length})
  set_tests_properties(cli_self_test_refuses_${length} PROPERTIES
    LABELS "cli"
    PASS_REGULAR_EXPRESSION "bad self-test length '${length}': give seconds above 0 and at most 60")
endforeach()
