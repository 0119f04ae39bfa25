#ifndef ZDA_FOUNDATION_NONINTRUSIVESHAREDPOINTER_H
#define ZDA_FOUNDATION_NONINTRUSIVESHAREDPOINTER_H

#include <atomic>
#include <cstddef>
#include <utility>

namespace zelto {

// Reference-counting owner of an object that knows nothing about being shared: the count lives in
// a separate block next to the object pointer, and every copy shares that block. The last release
// deletes the object (through its virtual destructor when T is a base class).
//
// The count is atomic, so copies sharing one object may be made and dropped on different threads
// (a device hands its filter to application threads). One pointer object itself is not to be used
// by two threads at once without a lock.
template <typename T>
class NonIntrusiveSharedPointer {
public:
  NonIntrusiveSharedPointer() noexcept = default;

  // Takes ownership of object; a null object gives an empty pointer. Should the count block not be
  // allocated, object is deleted before the exception leaves, so it is never leaked.
  explicit NonIntrusiveSharedPointer(T* object) : m_block(makeBlock(object)) {}

  NonIntrusiveSharedPointer(const NonIntrusiveSharedPointer& other) noexcept : m_block(other.m_block) {
    if (m_block)
      m_block->count.fetch_add(1, std::memory_order_relaxed);
  }

  NonIntrusiveSharedPointer(NonIntrusiveSharedPointer&& other) noexcept : m_block(other.m_block) {
    other.m_block = nullptr;
  }

  ~NonIntrusiveSharedPointer() { release(); }

  NonIntrusiveSharedPointer& operator=(const NonIntrusiveSharedPointer& other) noexcept {
    if (m_block != other.m_block) {
      NonIntrusiveSharedPointer copy(other);
      swap(copy);
    }
    return *this;
  }

  NonIntrusiveSharedPointer& operator=(NonIntrusiveSharedPointer&& other) noexcept {
    if (this != &other) {
      release();
      m_block = other.m_block;
      other.m_block = nullptr;
    }
    return *this;
  }

  // Drops this reference; the pointer is empty afterwards.
  void reset() noexcept { release(); }

  // Drops this reference and takes ownership of object.
  void reset(T* object) {
    NonIntrusiveSharedPointer fresh(object);
    swap(fresh);
  }

  void swap(NonIntrusiveSharedPointer& other) noexcept { std::swap(m_block, other.m_block); }

  T* get() const noexcept { return m_block ? m_block->object : nullptr; }
  T* operator->() const noexcept { return get(); }
  T& operator*() const noexcept { return *get(); }
  explicit operator bool() const noexcept { return get() != nullptr; }

  // Number of pointers sharing the object; 0 for an empty pointer.
  long useCount() const noexcept { return m_block ? m_block->count.load(std::memory_order_relaxed) : 0; }

  friend bool operator==(const NonIntrusiveSharedPointer& a, const NonIntrusiveSharedPointer& b) noexcept {
    return a.get() == b.get();
  }

private:
  struct Block {
    T* object;
    std::atomic<long> count;
  };

  static Block* makeBlock(T* object) {
    if (!object)
      return nullptr;
    try {
      return new Block{object, 1};
    } catch (...) {
      delete object;
      throw;
    }
  }

  void release() noexcept {
    Block* block = m_block;
    m_block = nullptr;
    if (block && block->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete block->object;
      delete block;
    }
  }

  Block* m_block = nullptr;
};

}  // namespace zelto

#endif
