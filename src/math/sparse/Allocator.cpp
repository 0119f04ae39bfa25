#include "math/sparse/Allocator.h"

#include <cstdlib>
#include <new>

constinit Allocator defaultAllocator;

bool Allocator::canFree() const { return true; }

void* Allocator::malloc(size_t size) {
  void* p = std::malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void Allocator::free(void* p) { std::free(p); }

void* Allocator::realloc(void* p, size_t size) {
  void* q = std::realloc(p, size);
  if (q == nullptr) throw std::bad_alloc();
  return q;
}

Allocator::~Allocator() = default;
