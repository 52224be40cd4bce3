# A crash leaves the port idle: crashtarget runs the real sequencer on a port
# that sends every write to its stdout and crashes as told; tst_crashguard
# runs it once per kind of crash and reads what was last on the port.
add_executable(crashtarget crashtarget.cpp)
target_link_libraries(crashtarget PRIVATE fc_port)
set_target_properties(crashtarget PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)

fc_add_test(tst_crashguard SOURCES tst_crashguard.cpp LIBS fc_port LABELS port)
target_compile_definitions(tst_crashguard PRIVATE CRASHTARGET="$<TARGET_FILE:crashtarget>")
add_dependencies(tst_crashguard crashtarget)

# The kernel's real-time CPU limit: cpulimittarget runs the real sequencer at
# real-time priority under a low RLIMIT_RTTIME; skipped where real-time
# priority is refused.
add_executable(cpulimittarget cpulimittarget.cpp)
target_link_libraries(cpulimittarget PRIVATE fc_port)
set_target_properties(cpulimittarget PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)

fc_add_test(tst_cpulimit SOURCES tst_cpulimit.cpp LIBS fc_port LABELS port)
target_compile_definitions(tst_cpulimit PRIVATE CPULIMITTARGET="$<TARGET_FILE:cpulimittarget>")
add_dependencies(tst_cpulimit cpulimittarget)
