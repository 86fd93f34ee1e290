// A map whose memory stays bounded whatever the capture holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

// A map that holds at most `limit` entries: a new entry beyond it evicts
// the oldest, counted in `evicted`. `order` lists the entries oldest
// first, and keeps a stale line for each one erased or evicted until it is
// compacted, which it is once it is twice the limit long: whatever the
// inserts and erases, it stays within twice the limit.
template <class key_type, class value_type>
struct bounded_map {
    explicit bounded_map(std::size_t most) : limit(most) {}
    std::size_t limit;
    std::map<key_type, std::pair<value_type, std::uint64_t>> entries;
    std::vector<std::pair<key_type, std::uint64_t>> order; // oldest first, from `order_start`
    std::size_t order_start = 0;
    std::uint64_t next_stamp = 0;
    std::int64_t evicted = 0;

    // Counts every call that may change the map or an entry, so that a
    // lookup remembered elsewhere knows when to look again.
    std::uint64_t version = 1;

    const value_type* find(const key_type& key) const
    {
        const auto found = entries.find(key);
        return found == entries.end() ? nullptr : &found->second.first;
    }
    // The entry of `key`, to be changed; null when missing.
    value_type* find_to_change(const key_type& key)
    {
        ++version;
        const auto found = entries.find(key);
        return found == entries.end() ? nullptr : &found->second.first;
    }
    // The entry of `key`, made (value-initialised) when missing.
    value_type& get(const key_type& key)
    {
        if (value_type* found = find_to_change(key))
            return *found;
        while (entries.size() >= limit && order_start < order.size()) {
            const auto& [oldest, stamp] = order[order_start++];
            const auto found = entries.find(oldest);
            if (found != entries.end() && found->second.second == stamp) {
                entries.erase(found);
                ++evicted;
            }
        }
        order.emplace_back(key, next_stamp);
        value_type& made =
            entries.emplace(key, std::pair<value_type, std::uint64_t>{value_type{}, next_stamp++}).first->second.first;
        if (order.size() > 2 * limit)
            compact_order();
        return made;
    }
    void erase(const key_type& key)
    {
        ++version;
        entries.erase(key);
    }

private:
    // Keeps the lines of the entries there are, in their order.
    void compact_order()
    {
        std::size_t kept = 0;
        for (std::size_t i = order_start; i < order.size(); ++i) {
            const auto found = entries.find(order[i].first);
            if (found != entries.end() && found->second.second == order[i].second)
                order[kept++] = order[i];
        }
        order.resize(kept);
        order_start = 0;
    }
};
