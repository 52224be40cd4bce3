fc_add_test(tst_monitor SOURCES tst_monitor.cpp recordingfiledialog.h recordingport.h LIBS fc_app LABELS window)
