// The tracker's maps stay bounded whatever a capture makes them do: at
// most `limit` entries, the oldest evicted first, and their insertion
// order within twice the limit under any sequence of inserts and erases.
#include "decrypt/bounded_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

namespace {

constexpr std::size_t limit = 4096;

struct sequence_case {
    const char* name;
    std::size_t steps;
    // Step i: the key to make (get), and whether to erase it right after.
    std::function<std::uint64_t(std::size_t)> key;
    std::function<bool(std::size_t)> erase_after;
};

const sequence_case sequences[] = {
    // A handshake that fails, then one that matches, again and again: the
    // tracker makes the pair's "unmatched" entry and erases it.
    {"one_key_made_and_erased", 1000000, [](std::size_t) { return std::uint64_t{7}; }, [](std::size_t) { return true; }},
    {"new_keys_made_and_erased", 1000000, [](std::size_t i) { return std::uint64_t{i}; },
     [](std::size_t) { return true; }},
    {"every_other_new_key_erased", 200000, [](std::size_t i) { return std::uint64_t{i}; },
     [](std::size_t i) { return i % 2 == 0; }},
    {"few_keys_over_and_over", 200000, [](std::size_t i) { return std::uint64_t{i % 100}; },
     [](std::size_t i) { return i % 3 == 0; }},
    {"new_keys_kept_and_evicted", 200000, [](std::size_t i) { return std::uint64_t{i}; },
     [](std::size_t) { return false; }},
};

void PrintTo(const sequence_case& c, std::ostream* out) { *out << c.name; }

class bounded : public testing::TestWithParam<sequence_case> {};

TEST_P(bounded, stays_within_twice_its_limit)
{
    const sequence_case& c = GetParam();
    bounded_map<std::uint64_t, int> map(limit);
    std::size_t longest_order = 0;
    for (std::size_t i = 0; i < c.steps; ++i) {
        const std::uint64_t key = c.key(i);
        map.get(key) = 1;
        if (c.erase_after(i))
            map.erase(key);
        ASSERT_LE(map.entries.size(), limit) << "step " << i;
        longest_order = std::max(longest_order, map.order.size());
    }
    EXPECT_LE(longest_order, 2 * limit + 1);
    EXPECT_LE(map.order.capacity(), 4 * limit + 4);
}

INSTANTIATE_TEST_SUITE_P(bounded_map, bounded, testing::ValuesIn(sequences),
                         [](const testing::TestParamInfo<sequence_case>& param) { return param.param.name; });

// Eviction takes the oldest entry still there, whatever was erased and
// compacted away before it.
TEST(bounded_map, evicts_the_oldest_entry_left)
{
    bounded_map<std::uint64_t, int> map(limit);
    for (std::uint64_t key = 0; key < 3 * limit; ++key) {
        map.get(key) = static_cast<int>(key);
        if (key % 2 == 1 && key < 2 * limit)
            map.erase(key); // the odd ones below 2 * limit go, leaving stale lines
    }
    // limit even keys below 2 * limit and limit keys from 2 * limit on were
    // made: the evicted ones are the oldest, the even keys below 2 * limit.
    EXPECT_EQ(map.entries.size(), limit);
    EXPECT_EQ(map.evicted, static_cast<std::int64_t>(limit));
    EXPECT_EQ(map.find(2 * limit - 2), nullptr);
    ASSERT_NE(map.find(2 * limit), nullptr);
    EXPECT_EQ(*map.find(3 * limit - 1), static_cast<int>(3 * limit - 1));
    map.get(3 * limit) = 0; // one more: 2 * limit, now the oldest, goes
    EXPECT_EQ(map.find(2 * limit), nullptr);
    EXPECT_NE(map.find(2 * limit + 1), nullptr);
}

} // namespace
