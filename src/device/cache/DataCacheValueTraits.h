#pragma once
// How a cache copies and frees its values. The cache stores and hands out copies only; values
// leave the cache as constructed copies that the receiver owns. C++ types use their own copy and
// destruction; ZtDataPacket (a C record owning two messages) uses its construct/copy/destruct
// functions.
#include <new>
#include <utility>

#include "zttypes/ztdatapacket.h"

template <class V>
struct DataCacheValueTraits {
  // Constructs a copy of source in raw storage.
  static void constructCopy(V* target, const V& source) { new (target) V(source); }
  static void assign(V& target, const V& source) { target = source; }
  static void exchange(V& a, V& b) {
    using std::swap;
    swap(a, b);
  }
  static void destroy(V& value) { value.~V(); }
  // A default value (what a disabled cache returns).
  static V makeDefault() { return V(); }
  static V makeCopy(const V& source) { return V(source); }
};

template <>
struct DataCacheValueTraits<ZtDataPacket> {
  static void constructCopy(ZtDataPacket* target, const ZtDataPacket& source) {
    ZtDataPacket_constructCopy(target, &source);
  }
  static void assign(ZtDataPacket& target, const ZtDataPacket& source) { ZtDataPacket_copy(&target, &source); }
  static void exchange(ZtDataPacket& a, ZtDataPacket& b) { ZtDataPacket_swap(&a, &b); }
  static void destroy(ZtDataPacket& value) { ZtDataPacket_destruct(&value); }
  // The returned packet is owned by the caller (ZtDataPacket_destruct).
  static ZtDataPacket makeDefault() {
    ZtDataPacket p;
    ZtDataPacket_construct(&p);
    return p;
  }
  static ZtDataPacket makeCopy(const ZtDataPacket& source) {
    ZtDataPacket p;
    ZtDataPacket_constructCopy(&p, &source);
    return p;
  }
};
