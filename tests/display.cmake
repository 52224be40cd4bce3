# The program on a real X display (Xvfb, openbox), clicked and typed at with
# xdotool as a person does, on the simulated port with its write log;
# logstate tells the script what the log holds. Skipped (77) where no display
# can be started.
add_executable(logstate display/logstate.cpp)
target_link_libraries(logstate PRIVATE fc_port)
target_include_directories(logstate PRIVATE ${FC_TESTS_DIR}/support)
set_target_properties(logstate PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)

add_test(NAME display
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/display/run $<TARGET_FILE:frequency-converter> $<TARGET_FILE:logstate>)
set_tests_properties(display PROPERTIES LABELS display SKIP_RETURN_CODE 77 TIMEOUT 300)
