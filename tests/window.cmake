fc_add_test(tst_setpoint SOURCES tst_setpoint.cpp LIBS fc_drive LABELS drive)
fc_add_test(tst_inputchecks SOURCES tst_inputchecks.cpp LIBS fc_fields LABELS fields)
fc_add_test(tst_form1 SOURCES tst_form1.cpp recordingmessagebox.h LIBS fc_app LABELS window)
