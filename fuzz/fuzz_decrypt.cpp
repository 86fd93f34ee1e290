// fuzz_decrypt: the whole-capture target with keys; see fuzz_capture.cpp.
#define FUZZ_WITH_KEYS
#include "fuzz_capture.cpp"
