// Record bytes laid against inaccessible memory, so that a read past the
// captured bytes faults at once, in every build and not only under
// AddressSanitizer.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <vector>

namespace test {

class guarded_memory {
public:
    // Room for the largest record the tests lay at the edge.
    static constexpr std::size_t readable_size = std::size_t{1} << 20;
    // More than any 32-bit caplen, so that a span of any caplen starting at
    // the guard stays inside the mapping.
    static constexpr std::size_t guard_size = (std::size_t{1} << 32) + 4096;

    static guarded_memory& instance()
    {
        static guarded_memory memory;
        return memory;
    }

    // A copy of `contents` whose last byte is the last readable byte.
    std::span<const std::uint8_t> at_edge(const std::vector<std::uint8_t>& contents)
    {
        if (contents.size() > readable_size)
            throw std::length_error("record too large for the guarded memory");
        std::uint8_t* start = guard_ - contents.size();
        if (!contents.empty())
            std::memcpy(start, contents.data(), contents.size());
        return {start, contents.size()};
    }

    // `caplen` bytes of which not one may be read.
    std::span<const std::uint8_t> unreadable(std::size_t caplen) const { return {guard_, caplen}; }

    // `readable` bytes of `contents` that may be read, claimed to be `caplen`
    // bytes long: the rest lies in the guard.
    std::span<const std::uint8_t> claimed(const std::vector<std::uint8_t>& contents, std::size_t caplen)
    {
        const auto readable = at_edge(contents);
        return {readable.data(), caplen};
    }

    guarded_memory(const guarded_memory&) = delete;
    guarded_memory& operator=(const guarded_memory&) = delete;

private:
    guarded_memory()
    {
        void* base = mmap(nullptr, readable_size + guard_size, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base == MAP_FAILED)
            throw std::runtime_error("cannot reserve guarded memory");
        if (mprotect(base, readable_size, PROT_READ | PROT_WRITE) != 0)
            throw std::runtime_error("cannot open guarded memory");
        guard_ = static_cast<std::uint8_t*>(base) + readable_size;
    }

    std::uint8_t* guard_ = nullptr;
};

} // namespace test
