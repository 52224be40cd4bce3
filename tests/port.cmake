# Tests of the port layer (no widgets; the code under test has no Qt).
fc_add_test(tst_port SOURCES tst_port.cpp LIBS fc_port LABELS port)
fc_add_test(tst_sequencer SOURCES tst_sequencer.cpp recordingport.h LIBS fc_port LABELS port)
fc_add_test(tst_frequencymeter SOURCES tst_frequencymeter.cpp LIBS fc_port LABELS port)

# The self-test on the command line: figures and a verdict, or a plain refusal
# of a length it will not record.
add_test(NAME cli_self_test COMMAND frequency-converter --self-test --self-test-seconds 0.2)
set_tests_properties(cli_self_test PROPERTIES
  LABELS "cli"
  PASS_REGULAR_EXPRESSION "selftest_30hz_lateness_p99: [-0-9.e+]+ us.*selftest_1khz_lateness_p99: [-0-9.e+]+ us.*At 30 Hz 99 % of steps start within.*At 1 kHz this PC holds 99 % of steps")

# The timing mode the self-test reports follows what the system grants: as
# root real-time is granted; without CAP_SYS_NICE and with RLIMIT_RTPRIO 0 it
# is refused, and the reason is said.
add_test(NAME cli_self_test_realtime_granted
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/cli_realtime.sh granted $<TARGET_FILE:frequency-converter>)
set_tests_properties(cli_self_test_realtime_granted PROPERTIES
  LABELS "cli"
  SKIP_RETURN_CODE 77
  PASS_REGULAR_EXPRESSION "selftest_realtime_priority: 40\n.*selftest_30hz_sleeps_per_step: [0-9.]*[1-9].*Timing: real-time \\(SCHED_FIFO 40\\)\\.")
add_test(NAME cli_self_test_realtime_refused
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/cli_realtime.sh refused $<TARGET_FILE:frequency-converter>)
set_tests_properties(cli_self_test_realtime_refused PROPERTIES
  LABELS "cli"
  SKIP_RETURN_CODE 77
  PASS_REGULAR_EXPRESSION "selftest_realtime_priority: 0\n.*Timing: normal priority — other programs can delay the steps.*Real-time priority was refused: SCHED_FIFO 40 refused \\(Operation not permitted")
# Scripts read the figures: they keep the full stop in a comma locale.
fc_add_comma_locale_self_test(cli_self_test_figures_in_comma_locale "^selftest_1khz_step_length: 71\\.5 us$")
foreach(length 0 -1 61 abc)
  add_test(NAME cli_self_test_refuses_${length}
           COMMAND frequency-converter --self-test --self-test-seconds ${length})
  set_tests_properties(cli_self_test_refuses_${length} PROPERTIES
    LABELS "cli"
    PASS_REGULAR_EXPRESSION "bad self-test length '${length}': give seconds above 0 and at most 60")
endforeach()

# A device named on the command line that cannot be used stops the program
# before the window opens, with one error line and status 2; no fallback to
# the simulated port. Offscreen, where the refusal box is not shown, so that
# nothing waits for an OK nobody can press.
function(fc_add_port_refusal_test name device reason)
  add_test(NAME cli_port_refuses_${name}
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/cli_expect.sh 2 "^frequency-converter: ERROR: ${reason}$"
                   -- $<TARGET_FILE:frequency-converter> --port=${device})
  set_tests_properties(cli_port_refuses_${name} PROPERTIES
    LABELS "cli"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    TIMEOUT 60)
endfunction()
fc_add_port_refusal_test(missing_device /dev/parport7
  "/dev/parport7: No such file or directory; check the name, or use --port=auto")
fc_add_port_refusal_test(not_a_parallel_port /dev/null
  "/dev/null: not a parallel port listed by libieee1284; check the name, or use --port=auto")

# Help and version print and exit 0 in a terminal without a display, where a
# window could not open. QT_QPA_PLATFORM goes too: offscreen, which the other
# tests use, would open a window without a display and hide the fault.
string(REPLACE "." "\\." fc_version_pattern "${PROJECT_VERSION}")
foreach(option --help -h --help-all --version -v)
  if(option MATCHES "^-(-version|v)$")
    set(expected "^frequency-converter ${fc_version_pattern}$")
  else()
    set(expected "--port <choice>")
  endif()
  string(REGEX REPLACE "^-+" "" name "${option}")
  add_test(NAME cli_${name}_without_display
           COMMAND env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM
                   ${CMAKE_CURRENT_SOURCE_DIR}/cli_expect.sh 0 "${expected}"
                   -- $<TARGET_FILE:frequency-converter> ${option})
  set_tests_properties(cli_${name}_without_display PROPERTIES
    LABELS "cli"
    TIMEOUT 60)
endforeach()
