# Termination signals take the orderly way out, or the signal thread's own when
# the window does not answer: signaltarget runs the real run controller with
# the signals taken by their own thread, on a port that sends every write to
# its stdout; tst_termination signals it and reads what was last on the port.
add_executable(signaltarget signaltarget.cpp)
target_link_libraries(signaltarget PRIVATE fc_app)

fc_add_test(tst_termination SOURCES tst_termination.cpp LIBS fc_port LABELS "window;waysout")
target_compile_definitions(tst_termination PRIVATE SIGNALTARGET="$<TARGET_FILE:signaltarget>")
add_dependencies(tst_termination signaltarget)

# A frozen window ends a run; a modal box or file dialog, which runs the event
# loop itself, does not.
fc_add_test(tst_windowsilence SOURCES tst_windowsilence.cpp LIBS fc_app LABELS "window;waysout")
