#ifndef ZDA_MATH_SPARSE_ALLOCATOR_H
#define ZDA_MATH_SPARSE_ALLOCATOR_H
// Source of every byte of the sparse lists. The base hands out and takes back memory of the C
// library; a subclass may draw from an arena and report through canFree() that nothing it hands
// out is ever given back, in which case the sparse classes skip every release.
#include <cstddef>

class Allocator {
 public:
  // Constant-initialised, so defaultAllocator is usable from any static initialiser.
  constexpr Allocator() = default;
  Allocator(const Allocator&) = delete;
  Allocator& operator=(const Allocator&) = delete;

  virtual bool canFree() const;
  // Both throw std::bad_alloc instead of returning null. realloc with size 0 is the caller's
  // affair: the C library may release the block and return null.
  virtual void* malloc(size_t size);
  virtual void free(void* p);
  virtual void* realloc(void* p, size_t size);
  virtual ~Allocator();
};

// Shared by every sparse vector and matrix built without an allocator; lives until process
// exit and is never deleted by a list.
extern Allocator defaultAllocator;

#endif
