# Warnings for the project's own code, on an interface target so that
# third-party code (GoogleTest, libFuzzer) is not held to them.
add_library(kestrine_warnings INTERFACE)
target_compile_options(kestrine_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wold-style-cast -Wnon-virtual-dtor -Wcast-align
  -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough
  $<$<BOOL:${KESTRINE_WERROR}>:-Werror>)
