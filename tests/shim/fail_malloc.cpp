// An LD_PRELOAD shim that makes chosen malloc calls fail, for the fault
// tests of the built program. It is configured through the environment:
//
//   KESTRINE_FAIL_MALLOC_SIZE=N   fail one malloc call of exactly N bytes:
//   KESTRINE_FAIL_MALLOC_SKIP=K   the one after the first K such calls
//   KESTRINE_TRACE_MALLOC=1       write the size of every malloc to stderr
//
// A failed call returns null with errno ENOMEM, as an exhausted heap does.
// Every other call goes to the next malloc in line: the C library's, or the
// sanitizer runtime's in a sanitizer build.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

namespace {

using malloc_function = void* (*)(std::size_t);

malloc_function next_malloc = nullptr;
unsigned long matched = 0; // calls of the size to fail seen so far

// Reads a decimal number without calling into anything that allocates.
unsigned long number_of(const char* text)
{
    unsigned long value = 0;
    for (; text != nullptr && *text >= '0' && *text <= '9'; ++text)
        value = value * 10 + static_cast<unsigned long>(*text - '0');
    return value;
}

void trace(std::size_t size)
{
    char line[32];
    char* end = line + sizeof line;
    char* at = end;
    *--at = '\n';
    do {
        *--at = static_cast<char>('0' + size % 10);
        size /= 10;
    } while (size != 0);
    const char prefix[] = "malloc ";
    [[maybe_unused]] ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
    ignored = write(STDERR_FILENO, at, static_cast<std::size_t>(end - at));
}

} // namespace

extern "C" void* malloc(std::size_t size)
{
    if (next_malloc == nullptr) {
        next_malloc = reinterpret_cast<malloc_function>(dlsym(RTLD_NEXT, "malloc"));
        if (next_malloc == nullptr)
            std::abort();
    }
    // The environment is read on every call: the first calls can come from
    // a sanitizer runtime's start, before the C library has set it up.
    if (std::getenv("KESTRINE_TRACE_MALLOC") != nullptr)
        trace(size);
    const unsigned long fail_size = number_of(std::getenv("KESTRINE_FAIL_MALLOC_SIZE"));
    if (fail_size != 0 && size == fail_size &&
        matched++ == number_of(std::getenv("KESTRINE_FAIL_MALLOC_SKIP"))) {
        errno = ENOMEM;
        return nullptr;
    }
    return next_malloc(size);
}
