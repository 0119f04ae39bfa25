#ifndef ZDA_MATH_SPARSE_SKIPLIST_H
#define ZDA_MATH_SPARSE_SKIPLIST_H
// Ordered map from key to value as a skip list whose memory all comes from an Allocator.
// Every node, the header included, carries maxLevel forward pointers (maxLevel * 8 + 16 bytes
// for 8-byte keys and values). Level 0 links every node in increasing key order; level i links
// a subset of level i - 1 (about a quarter). `level` is the highest level in use (0 when empty).
// `update` holds the search path of the last insertion or erasure; `tail` the last node of each
// level for appends in increasing key order, rebuilt on demand after any other change.
// Not synchronised; a list is used by one thread at a time.
#include <cstdint>
#include <new>

#include "math/sparse/Allocator.h"
#include "math/sparse/SkipListRandom.h"

template <typename K, typename V>
class SkipList {
 public:
  struct Node {
    K key;
    V value;
    // The forward pointers follow the node in the same allocation.
    Node** forward() { return reinterpret_cast<Node**>(this + 1); }
    Node* const* forward() const { return reinterpret_cast<Node* const*>(this + 1); }
    Node* next() const { return forward()[0]; }
  };

  // allocator must not be null and must outlive the list.
  SkipList(uint16_t maxLevel, Allocator* allocator, bool ownsAllocator);
  ~SkipList();
  SkipList(const SkipList&) = delete;
  SkipList& operator=(const SkipList&) = delete;

  Node* first() const { return m_header->forward()[0]; }
  bool empty() const { return first() == nullptr; }
  // The node with key, or null.
  Node* find(K key) const;
  // The first node with a key >= key, or null.
  Node* lowerBound(K key) const;
  // The node with key, inserted with value initial when absent.
  Node* findOrInsert(K key, V initial);
  void assign(K key, V value) { findOrInsert(key, value)->value = value; }
  // For keys above every stored key (cost: the level links only). A key that is not above
  // the last one is inserted or assigned instead, so the order can never break.
  void append(K key, V value);
  // Erases the keys lo ... hi (inclusive); nothing when hi < lo.
  void eraseRange(K lo, K hi);
  void clear();

  uint16_t maxLevel() const { return m_maxLevel; }
  int level() const { return m_level; }
  const Node* header() const { return m_header; }
  Allocator* allocator() const { return m_allocator; }
  bool ownsAllocator() const { return m_ownsAllocator; }

 private:
  static constexpr size_t nodeBytes(uint16_t maxLevel) { return sizeof(Node) + maxLevel * sizeof(Node*); }
  Node* newNode(K key, V value);
  void releaseNodes();
  // Fills update with the last node before key on every level in use.
  Node* searchPath(K key);
  void rebuildTail();
  // Level of a new node: each zero pair raises it by one, up to maxLevel - 1 and at most one
  // above the list's level; on reaching the latter one more pair is drawn and ignored.
  int randomLevel() const;

  uint16_t m_maxLevel;
  Allocator* m_allocator;
  bool m_ownsAllocator;
  int16_t m_level = 0;
  Node* m_header = nullptr;
  Node** m_update = nullptr;
  Node** m_tail = nullptr;
  bool m_tailValid = false;
  bool m_canFree;
};

template <typename K, typename V>
SkipList<K, V>::SkipList(uint16_t maxLevel, Allocator* allocator, bool ownsAllocator)
    : m_maxLevel(maxLevel == 0 ? 1 : maxLevel),
      m_allocator(allocator),
      m_ownsAllocator(ownsAllocator),
      m_canFree(allocator->canFree()) {
  try {
    m_header = static_cast<Node*>(m_allocator->malloc(nodeBytes(m_maxLevel)));
    m_update = static_cast<Node**>(m_allocator->malloc(m_maxLevel * sizeof(Node*)));
    m_tail = static_cast<Node**>(m_allocator->malloc(m_maxLevel * sizeof(Node*)));
  } catch (...) {
    if (m_canFree) {
      if (m_update != nullptr) m_allocator->free(m_update);
      if (m_header != nullptr) m_allocator->free(m_header);
    }
    throw;
  }
  new (m_header) Node{K(), V()};
  for (uint16_t i = 0; i < m_maxLevel; ++i) {
    m_header->forward()[i] = nullptr;
    m_update[i] = m_header;
    m_tail[i] = m_header;
  }
}

template <typename K, typename V>
SkipList<K, V>::~SkipList() {
  if (!m_canFree) return;
  releaseNodes();
  m_allocator->free(m_tail);
  m_allocator->free(m_update);
  m_allocator->free(m_header);
}

template <typename K, typename V>
void SkipList<K, V>::releaseNodes() {
  Node* n = first();
  while (n != nullptr) {
    Node* next = n->next();
    m_allocator->free(n);
    n = next;
  }
}

template <typename K, typename V>
typename SkipList<K, V>::Node* SkipList<K, V>::newNode(K key, V value) {
  Node* n = static_cast<Node*>(m_allocator->malloc(nodeBytes(m_maxLevel)));
  new (n) Node{key, value};
  for (uint16_t i = 0; i < m_maxLevel; ++i) n->forward()[i] = nullptr;
  return n;
}

template <typename K, typename V>
int SkipList<K, V>::randomLevel() const {
  int lvl = 0;
  while (lvl < m_maxLevel - 1) {
    const unsigned pair = SkipListRandom::nextPair();
    if (lvl == m_level + 1) break;
    if (pair != 0) break;
    ++lvl;
  }
  return lvl;
}

template <typename K, typename V>
typename SkipList<K, V>::Node* SkipList<K, V>::find(K key) const {
  Node* n = lowerBound(key);
  return n != nullptr && n->key == key ? n : nullptr;
}

template <typename K, typename V>
typename SkipList<K, V>::Node* SkipList<K, V>::lowerBound(K key) const {
  Node* x = m_header;
  for (int i = m_level; i >= 0; --i)
    while (x->forward()[i] != nullptr && x->forward()[i]->key < key) x = x->forward()[i];
  return x->forward()[0];
}

template <typename K, typename V>
typename SkipList<K, V>::Node* SkipList<K, V>::searchPath(K key) {
  Node* x = m_header;
  for (int i = m_level; i >= 0; --i) {
    while (x->forward()[i] != nullptr && x->forward()[i]->key < key) x = x->forward()[i];
    m_update[i] = x;
  }
  return x->forward()[0];
}

template <typename K, typename V>
typename SkipList<K, V>::Node* SkipList<K, V>::findOrInsert(K key, V initial) {
  Node* candidate = searchPath(key);
  if (candidate != nullptr && candidate->key == key) return candidate;
  m_tailValid = false;
  const int lvl = randomLevel();
  Node* n = newNode(key, initial);
  if (lvl > m_level) {
    m_level = static_cast<int16_t>(lvl);
    m_update[lvl] = m_header;
  }
  for (int i = 0; i <= lvl; ++i) {
    n->forward()[i] = m_update[i]->forward()[i];
    m_update[i]->forward()[i] = n;
  }
  return n;
}

template <typename K, typename V>
void SkipList<K, V>::rebuildTail() {
  Node* x = m_header;
  for (int i = m_maxLevel - 1; i > m_level; --i) m_tail[i] = m_header;
  for (int i = m_level; i >= 0; --i) {
    while (x->forward()[i] != nullptr) x = x->forward()[i];
    m_tail[i] = x;
  }
  m_tailValid = true;
}

template <typename K, typename V>
void SkipList<K, V>::append(K key, V value) {
  if (!m_tailValid) rebuildTail();
  if (m_tail[0] != m_header && !(m_tail[0]->key < key)) {
    assign(key, value);
    return;
  }
  const int lvl = randomLevel();
  Node* n = newNode(key, value);
  if (lvl > m_level) {
    m_level = static_cast<int16_t>(lvl);
    m_tail[lvl] = m_header;
  }
  for (int i = 0; i <= lvl; ++i) {
    m_tail[i]->forward()[i] = n;
    m_tail[i] = n;
  }
}

template <typename K, typename V>
void SkipList<K, V>::eraseRange(K lo, K hi) {
  if (hi < lo) return;
  Node* start = searchPath(lo);
  if (start == nullptr || hi < start->key) return;
  for (int i = m_level; i >= 0; --i) {
    Node* y = m_update[i]->forward()[i];
    while (y != nullptr && !(hi < y->key)) y = y->forward()[i];
    m_update[i]->forward()[i] = y;
  }
  while (m_level > 0 && m_header->forward()[m_level] == nullptr) --m_level;
  m_tailValid = false;
  if (!m_canFree) return;
  while (start != nullptr && !(hi < start->key)) {
    Node* next = start->next();
    m_allocator->free(start);
    start = next;
  }
}

template <typename K, typename V>
void SkipList<K, V>::clear() {
  if (m_canFree) releaseNodes();
  for (uint16_t i = 0; i < m_maxLevel; ++i) m_header->forward()[i] = nullptr;
  m_level = 0;
  m_tailValid = false;
}

#endif
