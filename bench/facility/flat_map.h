// A map kept as one sorted vector: for the facility's small tables (a panel's controls'
// properties, a router's crosspoints, a component's timers), which a soak holds ten thousand
// copies of. One allocation instead of a node per entry, and no node header; entries move when
// others are added or removed, so no reference into it outlives a change.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

namespace zeph::bench {

template <class K, class V> class FlatMap {
public:
    using value_type = std::pair<K, V>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    FlatMap() = default;
    FlatMap(std::initializer_list<value_type> items) {
        for (const value_type& v : items)
            (*this)[v.first] = v.second;
    }

    iterator begin() { return m_items.begin(); }
    iterator end() { return m_items.end(); }
    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }
    size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    // An emptied map gives its room back: most hold nothing most of the time (a component's
    // timers between two runs of them).
    void clear() { std::vector<value_type>().swap(m_items); }

    iterator lower_bound(const K& key) {
        return std::lower_bound(m_items.begin(), m_items.end(), key, before);
    }
    const_iterator lower_bound(const K& key) const {
        return std::lower_bound(m_items.begin(), m_items.end(), key, before);
    }
    iterator find(const K& key) {
        const iterator it = lower_bound(key);
        return it != end() && !(key < it->first) ? it : end();
    }
    const_iterator find(const K& key) const {
        const const_iterator it = lower_bound(key);
        return it != end() && !(key < it->first) ? it : end();
    }
    size_t count(const K& key) const { return find(key) != end() ? 1 : 0; }
    V& operator[](const K& key) {
        iterator it = lower_bound(key);
        if (it == end() || key < it->first)
            it = m_items.insert(it, value_type(key, V()));
        return it->second;
    }
    size_t erase(const K& key) {
        const iterator it = find(key);
        if (it == end())
            return 0;
        m_items.erase(it);
        if (m_items.empty())
            clear();
        return 1;
    }

private:
    static bool before(const value_type& item, const K& key) { return item.first < key; }
    std::vector<value_type> m_items;
};

} // namespace zeph::bench
