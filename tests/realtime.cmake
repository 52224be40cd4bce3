# Real-time priority for the step thread: the ladder against a scripted
# kernel, and the RealtimeKit client against a stand-in service on a private
# bus (needs dbus-daemon; the test skips without it).
fc_add_test(tst_realtimepriority SOURCES tst_realtimepriority.cpp LIBS fc_port LABELS port)

# The step CPU among programs: the rule, and claims made by child processes
# that see each other and vanish when their process dies.
fc_add_test(tst_threadpinning SOURCES tst_threadpinning.cpp LIBS fc_port LABELS port)

add_executable(rtkitstandin rtkitstandin.cpp)
target_link_libraries(rtkitstandin PRIVATE Qt6::DBus)
set_target_properties(rtkitstandin PROPERTIES AUTOMOC ON)

fc_add_test(tst_realtimekit SOURCES tst_realtimekit.cpp LIBS fc_app LABELS dbus)
target_compile_definitions(tst_realtimekit PRIVATE RTKIT_STANDIN="$<TARGET_FILE:rtkitstandin>")
add_dependencies(tst_realtimekit rtkitstandin)
