# The timing self-test for a person: its bins and wording (no widgets), the
# durations on screen, the result dialog with its histograms, and the message
# boxes that must show what they are given as text.
fc_add_test(tst_timingselftest SOURCES tst_timingselftest.cpp LIBS fc_port LABELS port)
fc_add_test(tst_durationtext SOURCES tst_durationtext.cpp LIBS fc_app LABELS window)
fc_add_test(tst_selftestdialog SOURCES tst_selftestdialog.cpp LIBS fc_app LABELS window)
fc_add_test(tst_modalmessagebox SOURCES tst_modalmessagebox.cpp LIBS fc_app LABELS window)

# The sentence after the figures keeps the full stop in its figures too.
fc_add_comma_locale_self_test(cli_self_test_verdict_in_comma_locale "using [0-9]+(\\.[0-9]+)? % of a CPU\\.")
