# The timing self-test for a person: its bins and wording (no widgets), the
# durations on screen, the result dialog with its histograms, and the message
# boxes that must show what they are given as text.
fc_add_test(tst_timingselftest SOURCES tst_timingselftest.cpp LIBS fc_port LABELS port)
fc_add_test(tst_durationtext SOURCES tst_durationtext.cpp LIBS fc_app LABELS window)
fc_add_test(tst_selftestdialog SOURCES tst_selftestdialog.cpp LIBS fc_app LABELS window)
fc_add_test(tst_modalmessagebox SOURCES tst_modalmessagebox.cpp LIBS fc_app LABELS window)

# The sentence after the figures keeps the full stop in its figures too, in a
# locale whose decimal separator is the comma (skipped without one, as above).
add_test(NAME cli_self_test_verdict_in_comma_locale
         COMMAND sh -c "locale -a | grep -qixE 'de_DE\\.utf-?8' || exit 77; exec \"$@\"" sh
                 ${CMAKE_CURRENT_SOURCE_DIR}/cli_expect.sh 0 "using [0-9]+(\\.[0-9]+)? % of a CPU\\."
                 -- $<TARGET_FILE:frequency-converter> --self-test --self-test-seconds 0.2)
set_tests_properties(cli_self_test_verdict_in_comma_locale PROPERTIES
  LABELS "cli"
  ENVIRONMENT "LANG=de_DE.UTF-8;LC_ALL=de_DE.UTF-8"
  SKIP_RETURN_CODE 77)
