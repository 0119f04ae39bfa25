#pragma once
// The list of copies a cache returns from objects(): it owns its values and frees them with
// DataCacheValueTraits when it goes. Move-only.
#include <cstddef>
#include <vector>

#include "device/cache/DataCacheValueTraits.h"

template <class V>
class DataCacheList {
 public:
  DataCacheList() = default;
  DataCacheList(DataCacheList&& other) noexcept : m_items(std::move(other.m_items)) { other.m_items.clear(); }
  DataCacheList& operator=(DataCacheList&& other) noexcept {
    if (this != &other) {
      release();
      m_items = std::move(other.m_items);
      other.m_items.clear();
    }
    return *this;
  }
  DataCacheList(const DataCacheList&) = delete;
  DataCacheList& operator=(const DataCacheList&) = delete;
  ~DataCacheList() { release(); }

  // Appends a copy of value.
  void appendCopy(const V& value) {
    V copy = DataCacheValueTraits<V>::makeCopy(value);
    try {
      m_items.push_back(copy);
    } catch (...) {
      DataCacheValueTraits<V>::destroy(copy);
      throw;
    }
  }
  void reserve(size_t count) { m_items.reserve(count); }

  size_t size() const { return m_items.size(); }
  bool empty() const { return m_items.empty(); }
  const V& operator[](size_t index) const { return m_items[index]; }
  V& operator[](size_t index) { return m_items[index]; }
  typename std::vector<V>::const_iterator begin() const { return m_items.begin(); }
  typename std::vector<V>::const_iterator end() const { return m_items.end(); }

 private:
  void release() {
    for (V& v : m_items) DataCacheValueTraits<V>::destroy(v);
    m_items.clear();
  }
  std::vector<V> m_items;
};
