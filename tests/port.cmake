# Tests of the port layer (no widgets; the code under test has no Qt).
fc_add_test(tst_port SOURCES tst_port.cpp LIBS fc_port LABELS port)
fc_add_test(tst_sequencer SOURCES tst_sequencer.cpp recordingport.h LIBS fc_port LABELS port)
fc_add_test(tst_frequencymeter SOURCES tst_frequencymeter.cpp LIBS fc_port LABELS port)
