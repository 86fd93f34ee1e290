# AddressSanitizer and UndefinedBehaviorSanitizer over everything built,
# stopping at the first finding. The fuzz build always has them: a fuzzer
# without them finds only crashes, not the reads past a record's end.
if(KESTRINE_SANITIZE OR KESTRINE_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  # Tests widen their time limits under a sanitizer.
  add_compile_definitions(KESTRINE_INSTRUMENTED)
  # GCC's flow analysis sees through the sanitizers' instrumentation badly
  # and warns of uninitialized values inside libstdc++ (std::regex,
  # std::function) that the same code without sanitizers does not have.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

# ThreadSanitizer over everything built, for the threaded decryption run:
# its own build (it cannot be combined with AddressSanitizer).
if(KESTRINE_SANITIZE_THREAD)
  if(KESTRINE_SANITIZE OR KESTRINE_FUZZ)
    message(FATAL_ERROR "KESTRINE_SANITIZE_THREAD goes in a build of its own")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(KESTRINE_INSTRUMENTED)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis under the instrumentation also warns of
    # uninitialized values and of copies out of bounds inside libstdc++
    # (std::copy_n of short arrays in the tests) that plain builds do not.
    add_compile_options(-Wno-maybe-uninitialized -Wno-array-bounds -Wno-stringop-overflow
                        -Wno-stringop-overread -Wno-tsan)
  endif()
endif()
