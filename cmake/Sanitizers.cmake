# AddressSanitizer and UndefinedBehaviorSanitizer over everything built,
# stopping at the first finding. The fuzz build always has them: a fuzzer
# without them finds only crashes, not the reads past a record's end.
if(KESTRINE_SANITIZE OR KESTRINE_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
