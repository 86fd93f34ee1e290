# AddressSanitizer and UndefinedBehaviorSanitizer over everything built,
# stopping at the first finding. The fuzz build always has them: a fuzzer
# without them finds only crashes, not the reads past a record's end.
if(KESTRINE_SANITIZE OR KESTRINE_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  # GCC's flow analysis sees through the sanitizers' instrumentation badly
  # and warns of uninitialized values inside libstdc++ (std::regex,
  # std::function) that the same code without sanitizers does not have.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
