# The guest program of the emulated-PC test (tests/e2e/run): the real port
# stack on a real kernel's parport_pc + ppdev. Built with everything else;
# the script runs it in QEMU, it is no ctest of its own.
add_executable(porttarget e2e/porttarget.cpp)
target_link_libraries(porttarget PRIVATE fc_port)
set_target_properties(porttarget PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
target_include_directories(porttarget PRIVATE ${IEEE1284_INCLUDE_DIR})
