#include "AllocationCounter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

// initial-exec: reading the counter must never allocate (a dynamic TLS block would, through
// the very malloc being counted).
__thread uint64_t t_allocations __attribute__((tls_model("initial-exec"))) = 0;
std::atomic<uint64_t> g_allocations{0};

inline void noteAllocation() {
  ++t_allocations;
  g_allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if defined(ZDA_UNDER_SANITIZER)

// From the sanitizer runtime's allocator interface (g++ ships the runtime, not the header).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, size_t),
                                                        void (*onFree)(const volatile void*));

namespace {

void onMalloc(const volatile void*, size_t) { noteAllocation(); }
void onFree(const volatile void*) {}

[[maybe_unused]] const int g_hookInstalled = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);

}  // namespace

#else

// Weak, so a test program that replaces one of these itself (an operator new that injects
// failures, say) keeps its own; this object is linked into every program of the fixture library.
#define ZDA_REPLACEABLE __attribute__((weak))

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);

ZDA_REPLACEABLE void* malloc(size_t size) noexcept {
  noteAllocation();
  return __libc_malloc(size);
}

ZDA_REPLACEABLE void* calloc(size_t count, size_t size) noexcept {
  noteAllocation();
  return __libc_calloc(count, size);
}

ZDA_REPLACEABLE void* realloc(void* p, size_t size) noexcept {
  noteAllocation();
  return __libc_realloc(p, size);
}
}

namespace {

void* counted(size_t size) {
  noteAllocation();
  void* p = __libc_malloc(size != 0 ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* countedNoThrow(size_t size) noexcept {
  noteAllocation();
  return __libc_malloc(size != 0 ? size : 1);
}

}  // namespace

// The C library's free releases what these return; the library's operator delete calls it.
ZDA_REPLACEABLE void* operator new(size_t size) { return counted(size); }
ZDA_REPLACEABLE void* operator new[](size_t size) { return counted(size); }
ZDA_REPLACEABLE void* operator new(size_t size, const std::nothrow_t&) noexcept { return countedNoThrow(size); }
ZDA_REPLACEABLE void* operator new[](size_t size, const std::nothrow_t&) noexcept { return countedNoThrow(size); }

#endif

AllocationCounter::AllocationCounter() { reset(); }

uint64_t AllocationCounter::count() const { return t_allocations - m_threadStart; }

uint64_t AllocationCounter::countAllThreads() const {
  return g_allocations.load(std::memory_order_relaxed) - m_processStart;
}

void AllocationCounter::reset() {
  m_threadStart = t_allocations;
  m_processStart = g_allocations.load(std::memory_order_relaxed);
}
