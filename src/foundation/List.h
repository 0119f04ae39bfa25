#pragma once
// Growable array of trivially copyable items (integers, fixed-size label buffers, pointers) over
// malloc'ed storage.
//
// Invariants: 1 <= capacity; count <= capacity; items [0, count) are valid. A new list has room
// for 16 items; a full list grows to count + count/2 + 1. A list over caller storage never grows,
// reallocates or frees it.
//
// The ...Deref operations are for lists of pointers ordered by the pointed-to objects (operator<
// and operator== of the pointee). Sorted lookups scan linearly up to kLinearSearchLimit items and
// search binarily above; both find the first item that does not compare below the key.
//
// Not thread-safe: the owner of a list serialises access.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace zelto {

template <typename T>
class List {
  static_assert(std::is_trivially_copyable_v<T>, "List items are moved with memcpy");

 public:
  static constexpr uint32_t kInitialCapacity = 16;
  static constexpr uint32_t kLinearSearchLimit = 9;
  static constexpr uint32_t kNotFound = 0xFFFFFFFFu;

  List() : List(kInitialCapacity) {}

  explicit List(uint32_t capacity) { allocate(capacity == 0 ? 1 : capacity); }

  // A list over caller storage of capacity items holding count of them; it never grows.
  List(T* storage, uint32_t capacity, uint32_t count)
      : m_items(storage), m_capacity(capacity == 0 ? 1 : capacity), m_count(std::min(count, capacity)),
        m_ownsItems(false) {}

  // Capacity and count of the source, items copied, own storage, no destruction hook.
  List(const List& other) {
    allocate(other.m_capacity);
    m_count = other.m_count;
    if (m_count != 0) std::memcpy(static_cast<void*>(m_items), other.m_items, m_count * sizeof(T));
  }

  List& operator=(const List& other) {
    isShallowCopyOf(other);
    return *this;
  }

  virtual ~List() {
    if (m_hook.enabled && m_hook.list != nullptr && m_hook.run != nullptr) m_hook.run(m_hook.list);
    if (m_ownsItems) std::free(m_items);
  }

  uint32_t count() const { return m_count; }
  uint32_t size() const { return m_count; }
  uint32_t capacity() const { return m_capacity; }
  bool ownsItems() const { return m_ownsItems; }
  T* items() { return m_items; }
  const T* items() const { return m_items; }
  T& operator[](uint32_t index) { return m_items[index]; }
  const T& operator[](uint32_t index) const { return m_items[index]; }
  T& at(uint32_t index) { return m_items[index]; }
  const T& at(uint32_t index) const { return m_items[index]; }

  // New capacity max(n, count), at least 1; nothing when n is the capacity already.
  // Throws std::bad_alloc for caller storage or when memory runs out.
  void resize(uint32_t n) {
    if (n == m_capacity) return;
    uint32_t target = std::max(n, m_count);
    if (target == 0) target = 1;
    if (!m_ownsItems) throw std::bad_alloc();
    void* grown = std::realloc(static_cast<void*>(m_items), static_cast<size_t>(target) * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    m_items = static_cast<T*>(grown);
    m_capacity = target;
  }

  // Makes room for at least n items (never shrinks).
  void reserve(uint32_t n) {
    if (n > m_capacity) resize(n);
  }

  // Sets the count; new items are zero-filled. Grows when needed.
  void setCount(uint32_t n) {
    reserve(n);
    if (n > m_count) std::memset(static_cast<void*>(m_items + m_count), 0, (n - m_count) * sizeof(T));
    m_count = n;
  }

  // Index below the count: items from there move one place up; otherwise appends.
  uint32_t insert(const T& item, uint32_t index) {
    const T copy = item;  // item may live inside this list
    if (m_count == m_capacity) grow();
    if (index < m_count) {
      std::memmove(static_cast<void*>(m_items + index + 1), m_items + index, (m_count - index) * sizeof(T));
    } else {
      index = m_count;
    }
    m_items[index] = copy;
    ++m_count;
    return index;
  }

  uint32_t append(const T& item) { return insert(item, m_count); }

  // Removes the item at index (nothing past the end); does not delete it.
  void remove(uint32_t index) {
    if (index >= m_count) return;
    std::memmove(static_cast<void*>(m_items + index), m_items + index + 1, (m_count - index - 1) * sizeof(T));
    --m_count;
  }

  // Forgets the items without deleting them.
  void clearItems() { m_count = 0; }

  // Index of the first item that does not compare below item (count when none).
  uint32_t lowerBoundDeref(const T& item) const {
    if (m_count <= kLinearSearchLimit) {
      uint32_t i = 0;
      while (i < m_count && *m_items[i] < *item) ++i;
      return i;
    }
    // 1-based bounds: low 1, high count, probing index middle - 1.
    uint32_t low = 1;
    uint32_t high = m_count;
    while (low <= high) {
      const uint32_t middle = low + (high - low) / 2;
      if (*m_items[middle - 1] < *item)
        low = middle + 1;
      else
        high = middle - 1;
    }
    return low - 1;
  }

  // Inserts item at its sorted place. An item that compares equal is replaced in place; the item
  // it held is handed back through replaced (null otherwise) so that an owner can delete it.
  uint32_t insertSortedDeref(const T& item, T* replaced = nullptr) {
    if (replaced != nullptr) *replaced = T();
    const uint32_t index = lowerBoundDeref(item);
    if (index < m_count && *m_items[index] == *item) {
      if (replaced != nullptr) *replaced = m_items[index];
      m_items[index] = item;
      return index;
    }
    return insert(item, index);
  }

  // Index of an item equal to key, kNotFound when there is none.
  uint32_t findSortedDeref(const T& key) const {
    const uint32_t index = lowerBoundDeref(key);
    return index < m_count && *m_items[index] == *key ? index : kNotFound;
  }

  // Stable ascending sort by the pointed-to items: equal items keep their order.
  // Throws std::bad_alloc when scratch memory cannot be had.
  void sortAscendingDeref() {
    if (m_count < 2) return;
    std::stable_sort(m_items, m_items + m_count, [](const T& a, const T& b) { return *a < *b; });
  }

  // Deletes every non-null item (pointer lists) and empties the list.
  void deleteAndClear() {
    if constexpr (std::is_pointer_v<T>) {
      for (uint32_t i = 0; i < m_count; ++i) delete m_items[i];
    }
    m_count = 0;
  }

  // Items are deleted with the list (replaces any earlier hook).
  void deleteItemsOnDestroy() {
    m_hook.list = this;
    m_hook.run = [](List* list) { list->deleteAndClear(); };
    m_hook.enabled = true;
  }

  // Makes this list a copy of other's items (pointers are copied, not the pointees).
  void isShallowCopyOf(const List& other) {
    if (&other == this) return;
    reserve(other.m_count);
    m_count = other.m_count;
    if (m_count != 0) std::memcpy(static_cast<void*>(m_items), other.m_items, m_count * sizeof(T));
  }

 protected:
  void grow() {
    const uint64_t target = static_cast<uint64_t>(m_count) + m_count / 2 + 1;
    if (target > 0xFFFFFFFFull) throw std::bad_alloc();
    resize(static_cast<uint32_t>(target));
  }

 private:
  struct DestroyHook {
    List* list = nullptr;
    void (*run)(List*) = nullptr;
    bool enabled = false;
  };

  void allocate(uint32_t capacity) {
    m_items = static_cast<T*>(std::malloc(static_cast<size_t>(capacity) * sizeof(T)));
    if (m_items == nullptr) throw std::bad_alloc();
    m_capacity = capacity;
    m_count = 0;
    m_ownsItems = true;
  }

  T* m_items = nullptr;
  uint32_t m_capacity = 0;
  uint32_t m_count = 0;
  DestroyHook m_hook;
  bool m_ownsItems = true;
};

}  // namespace zelto
