// An LD_PRELOAD shim that looks for secrets in the memory a program lets
// go: every block it frees (realloc included), and, once it has ended,
// every private writable mapping (heap, stacks, data). Configured through
// the environment, in hex so that the environment does not hold them:
//
//   KESTRINE_SECRETS=HEX[,HEX...]  the byte strings to look for, in
//                                  lower-case hex
//   KESTRINE_SECRETS_REPORT=PATH   appended a line for each find:
//                                  "freed N" or "left N", N the string's
//                                  place in the list, from 0
//
// Nothing here allocates: it runs inside malloc's callers.
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using free_function = void (*)(void*);
using malloc_function = void* (*)(std::size_t);
using usable_size_function = std::size_t (*)(void*);

constexpr std::size_t most_secrets = 8;
constexpr std::size_t most_secret_bytes = 128;

struct secret {
    unsigned char bytes[most_secret_bytes];
    std::size_t size;
};
secret secrets[most_secrets];
std::size_t secret_count = 0;
bool loaded = false;

free_function next_free = nullptr;
malloc_function next_malloc = nullptr;
usable_size_function usable_size = nullptr;

// The value of a lower-case hex digit; -1 for anything else.
int hex_digit(char c)
{
    static const char digits[] = "0123456789abcdef";
    const char* found = c == '\0' ? nullptr : std::strchr(digits, c);
    return found == nullptr ? -1 : static_cast<int>(found - digits);
}

void load()
{
    if (loaded)
        return;
    loaded = true;
    next_free = reinterpret_cast<free_function>(dlsym(RTLD_NEXT, "free"));
    next_malloc = reinterpret_cast<malloc_function>(dlsym(RTLD_NEXT, "malloc"));
    usable_size = reinterpret_cast<usable_size_function>(dlsym(RTLD_NEXT, "malloc_usable_size"));
    if (next_free == nullptr || next_malloc == nullptr || usable_size == nullptr)
        std::abort();
    const char* text = std::getenv("KESTRINE_SECRETS");
    for (; text != nullptr && *text != '\0' && secret_count < most_secrets; ++secret_count) {
        secret& s = secrets[secret_count];
        s.size = 0;
        while (hex_digit(text[0]) >= 0 && hex_digit(text[1]) >= 0 && s.size < most_secret_bytes) {
            s.bytes[s.size++] = static_cast<unsigned char>(hex_digit(text[0]) << 4 | hex_digit(text[1]));
            text += 2;
        }
        if (*text == ',')
            ++text;
        else if (*text != '\0')
            break;
    }
}

void report(const char* what, std::size_t index)
{
    const char* path = std::getenv("KESTRINE_SECRETS_REPORT");
    if (path == nullptr)
        return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return;
    char line[32];
    std::size_t length = std::strlen(what);
    std::memcpy(line, what, length);
    line[length++] = ' ';
    line[length++] = static_cast<char>('0' + index);
    line[length++] = '\n';
    [[maybe_unused]] const ssize_t written = write(fd, line, length);
    close(fd);
}

// The secrets themselves lie in this shim's own memory, which is left out.
bool inside_secrets(const unsigned char* at)
{
    const auto* first = reinterpret_cast<const unsigned char*>(secrets);
    return at >= first && at < first + sizeof secrets;
}

void scan(const unsigned char* bytes, std::size_t size, const char* what)
{
    for (std::size_t i = 0; i < secret_count; ++i) {
        const secret& s = secrets[i];
        for (const unsigned char* at = bytes; s.size > 0 && at + s.size <= bytes + size; ++at) {
            at = static_cast<const unsigned char*>(std::memchr(at, s.bytes[0], static_cast<std::size_t>(bytes + size - at)));
            if (at == nullptr || at + s.size > bytes + size)
                break;
            if (!inside_secrets(at) && std::memcmp(at, s.bytes, s.size) == 0) {
                report(what, i);
                break;
            }
        }
    }
}

// The private writable mappings, as /proc/self/maps lists them.
void scan_mappings()
{
    static char maps[1 << 16];
    const int fd = open("/proc/self/maps", O_RDONLY);
    if (fd < 0)
        return;
    std::size_t size = 0;
    for (ssize_t got = 1; got > 0 && size < sizeof maps - 1; size += static_cast<std::size_t>(got))
        got = read(fd, maps + size, sizeof maps - 1 - size);
    close(fd);
    maps[size] = '\0';
    for (char* line = maps; *line != '\0';) {
        char* end = std::strchr(line, '\n');
        if (end != nullptr)
            *end = '\0';
        char* rest = nullptr;
        const std::uintptr_t from = std::strtoull(line, &rest, 16);
        const std::uintptr_t to = std::strtoull(rest + 1, &rest, 16);
        if (std::strncmp(rest, " rw-p", 5) == 0 && std::strstr(rest, "[vvar]") == nullptr)
            scan(reinterpret_cast<const unsigned char*>(from), to - from, "left");
        if (end == nullptr)
            break;
        line = end + 1;
    }
}

} // namespace

extern "C" void free(void* block)
{
    load();
    if (block != nullptr)
        scan(static_cast<const unsigned char*>(block), usable_size(block), "freed");
    next_free(block);
}

// Moves every block, so that the block given up passes through free().
extern "C" void* realloc(void* block, std::size_t size)
{
    load();
    if (block == nullptr)
        return next_malloc(size);
    if (size == 0) {
        free(block);
        return nullptr;
    }
    void* moved = next_malloc(size);
    if (moved == nullptr)
        return nullptr;
    const std::size_t old_size = usable_size(block);
    std::memcpy(moved, block, old_size < size ? old_size : size);
    free(block);
    return moved;
}

// Runs once the program's own destructors and exit handlers have.
[[gnu::destructor]] void scan_what_is_left()
{
    load();
    if (secret_count > 0)
        scan_mappings();
}
