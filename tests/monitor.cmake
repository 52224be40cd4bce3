fc_add_test(tst_monitor SOURCES tst_monitor.cpp recordingfiledialog.h LIBS fc_app LABELS window)
