#pragma once
// A bounded, thread-safe list of spare objects (or raw blocks, T = void) for things made and
// dropped once per message or packet: the maker takes a spare when there is one, and the dropper
// gives it back instead of freeing it, so that in steady state nothing is allocated. The list is
// reserved at construction and never grows; what exceeds the bound is the giver's to free.
// Its lock is a leaf.
#include <cstddef>
#include <mutex>
#include <vector>

namespace zelto {

template <typename T>
class SpareList {
 public:
  explicit SpareList(size_t limit) : m_limit(limit) { m_items.reserve(limit); }
  SpareList(const SpareList&) = delete;
  SpareList& operator=(const SpareList&) = delete;

  // A spare, or null when there is none.
  T* take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_items.empty()) return nullptr;
    T* item = m_items.back();
    m_items.pop_back();
    return item;
  }
  // Spares held now.
  size_t size() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items.size();
  }
  // False when the list is full (the caller keeps the item and frees it).
  bool give(T* item) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_items.size() >= m_limit) return false;
    m_items.push_back(item);
    return true;
  }

 private:
  std::mutex m_mutex;
  std::vector<T*> m_items;
  const size_t m_limit;
};

}  // namespace zelto
