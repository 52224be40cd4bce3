# The VCD export, checked by its own small reader, by a round trip through
# GTKWave's converters (Debian package gtkwave): vcd2fst must accept the file and
# fst2vcd must give back the same values at the same times, and by sigrok.
option(FC_REQUIRE_GTKWAVE "Fail configuring when gtkwave's converters are missing" OFF)
if(FC_REQUIRE_GTKWAVE)
  find_program(FC_VCD2FST vcd2fst REQUIRED)
  find_program(FC_FST2VCD fst2vcd REQUIRED)
else()
  find_program(FC_VCD2FST vcd2fst)
  find_program(FC_FST2VCD fst2vcd)
endif()

# sigrok's reader (Debian package sigrok-cli), the one PulseView uses, must read
# a long run whole.
option(FC_REQUIRE_SIGROK "Fail configuring when sigrok-cli is missing" OFF)
if(FC_REQUIRE_SIGROK)
  find_program(FC_SIGROK_CLI sigrok-cli REQUIRED)
else()
  find_program(FC_SIGROK_CLI sigrok-cli)
endif()

fc_add_test(tst_vcd SOURCES tst_vcd.cpp LIBS fc_port LABELS vcd)
if(FC_SIGROK_CLI)
  target_compile_definitions(tst_vcd PRIVATE "FC_SIGROK_CLI=\"${FC_SIGROK_CLI}\"")
else()
  message(STATUS "sigrok-cli not found: tst_vcd skips reading the export with sigrok (install sigrok-cli)")
endif()
if(FC_VCD2FST AND FC_FST2VCD)
  target_compile_definitions(tst_vcd PRIVATE
    "FC_VCD2FST=\"${FC_VCD2FST}\""
    "FC_FST2VCD=\"${FC_FST2VCD}\"")
else()
  message(STATUS "gtkwave's vcd2fst/fst2vcd not found: tst_vcd skips the round trip (install gtkwave)")
endif()
