# Tests of the field conversions, and their libFuzzer target for clang builds.
fc_add_test(tst_fieldconversion SOURCES tst_fieldconversion.cpp LIBS fc_fields LABELS fields)

option(FC_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(FC_FUZZ)
  add_executable(fuzz_numericreading
    fuzz_numericreading.cpp
    ${PROJECT_SOURCE_DIR}/app/fieldconversion.cpp)
  target_include_directories(fuzz_numericreading PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(fuzz_numericreading PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
  target_link_options(fuzz_numericreading PRIVATE -fsanitize=fuzzer,address,undefined)
  add_test(NAME fuzz_numericreading COMMAND fuzz_numericreading -runs=250000 -seed=1 -max_len=64)
  set_tests_properties(fuzz_numericreading PROPERTIES LABELS fuzz TIMEOUT 600)
endif()
