#pragma once
// The entry map shared by the storage policies: key -> Node (a DataCacheValue plus whatever the
// storage's sequence keeps per entry), ascending keys. The map keeps the node of the last erased
// entry and builds the next new entry in it, so a cache held full (trim one, insert one) neither
// allocates nor frees per insertion, and the packet copy reuses the old one's message storage.
//
// Not thread-safe: the owning cache serialises every call.
#include <cstddef>
#include <map>

namespace DataCachePolicy {

template <class K, class V, class Node>
class MapStorageImpl {
 public:
  using Map = std::map<K, Node>;
  using Iterator = typename Map::iterator;
  using Entry = typename Map::value_type;

  size_t size() const { return m_map.size(); }
  bool empty() const { return m_map.empty(); }
  Map& map() { return m_map; }
  const Map& map() const { return m_map; }
  Iterator find(K key) { return m_map.find(key); }
  Iterator end() { return m_map.end(); }

  Iterator lowerBound(K key) { return m_map.lower_bound(key); }

  // A new entry for a key not held yet (not linked into any sequence); hint is the key's
  // lowerBound, so appending the highest key costs no second search.
  Iterator emplaceNew(Iterator hint, K key, const V& value, bool modified) {
    if (!m_spare.empty()) {
      m_spare.key() = key;
      m_spare.mapped().assign(value);
      m_spare.mapped().modified = modified;
      return m_map.insert(hint, std::move(m_spare));
    }
    return m_map.try_emplace(hint, key, value, modified);
  }

  // Drops the entry from the map (the caller has unlinked it from its sequence).
  void eraseFromMap(Iterator it) {
    if (m_spare.empty())
      m_spare = m_map.extract(it);
    else
      m_map.erase(it);
  }

  // Drops every entry and the kept node.
  void clearMap() {
    m_map.clear();
    m_spare = typename Map::node_type();
  }

 private:
  Map m_map;
  typename Map::node_type m_spare;
};

}  // namespace DataCachePolicy
