# The fuzz targets' plain replay programs: the same target code with a small
# main that runs it over files, without libFuzzer. Included by fuzz/ (the
# libFuzzer build) and by tests/, which replays the regression inputs.
include_guard(DIRECTORY)

function(kestrine_fuzz_replay name)
  if(TARGET ${name}_replay)
    return()
  endif()
  add_executable(${name}_replay
    ${PROJECT_SOURCE_DIR}/fuzz/${name}.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  target_include_directories(${name}_replay PRIVATE ${PROJECT_SOURCE_DIR}/fuzz ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name}_replay PRIVATE kestrine_run kestrine_warnings)
endfunction()

kestrine_fuzz_replay(fuzz_frame)
kestrine_fuzz_replay(fuzz_capture)
kestrine_fuzz_replay(fuzz_decrypt)
