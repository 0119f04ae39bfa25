#pragma once
// Storage policy: the entry map plus the recency sequence, a doubly linked list of keys (front =
// most recently inserted or read). Each entry keeps its own list position, so it leaves or moves
// in the list without a search.
#include <iterator>
#include <list>

#include "device/cache/LinkedListNode.h"
#include "device/cache/MapStorageImpl.h"

namespace DataCachePolicy {

template <class K, class V>
class MapAndLinkedListStorage : public MapStorageImpl<K, V, LinkedListNode<K, V>> {
  using Base = MapStorageImpl<K, V, LinkedListNode<K, V>>;

 public:
  using typename Base::Entry;
  using typename Base::Iterator;
  static constexpr bool kCanRemove = true;

  void sequencePushFront(Iterator it) {
    m_list.push_front(it->first);
    it->second.position = m_list.begin();
  }
  void sequencePushBack(Iterator it) {
    m_list.push_back(it->first);
    it->second.position = std::prev(m_list.end());
  }
  void sequenceMoveToFront(Entry& entry) { m_list.splice(m_list.begin(), m_list, entry.second.position); }
  // The entry at the back of the list (end() when empty).
  Iterator sequenceBack() { return m_list.empty() ? this->end() : this->find(m_list.back()); }

  void erase(Iterator it) {
    m_list.erase(it->second.position);
    this->eraseFromMap(it);
  }
  void clear() {
    m_list.clear();
    this->clearMap();
  }

  // The entry a fetch inserted: only the front of the list, and only under the key.
  Entry* findAfterFetch(K key) {
    if (m_list.empty() || m_list.front() != key) return nullptr;
    return &*this->find(key);
  }
  // Position index from the front, null past the end.
  Entry* sequenceAt(unsigned long index) {
    if (index >= m_list.size()) return nullptr;
    auto position = m_list.begin();
    for (unsigned long i = 0; i < index; ++i) ++position;
    return &*this->find(*position);
  }

  template <class F>
  void visitSequence(F&& visit) {
    for (auto position = m_list.begin(); position != m_list.end();) {
      auto next = std::next(position);
      auto it = this->find(*position);
      if (visit(*it)) erase(it);
      position = next;
    }
  }

 private:
  std::list<K> m_list;
};

}  // namespace DataCachePolicy
