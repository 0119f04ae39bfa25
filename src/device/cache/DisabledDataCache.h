#pragma once
// A cache that stores nothing: readers get default (empty) values and no failure, writers are
// ignored. Stateless, so it needs no lock.
#include "device/cache/DataCacheValueTraits.h"
#include "device/cache/IDataCache.h"

template <class K, class V>
class DisabledDataCache : public virtual IDataCache<K, V> {
  using Traits = DataCacheValueTraits<V>;

 public:
  using typename IDataCache<K, V>::ObjectList;

  unsigned long size() const override { return 0; }
  unsigned long maxSize() const override { return 0; }
  void setMaxSize(unsigned long) override {}
  void setDataSource(IDataSource<K, V>*) override {}
  bool empty() const override { return true; }
  V object(K) override { return Traits::makeDefault(); }
  void insert(K, const V&, bool) override {}
  bool insertIfAbsent(K, const V&, bool) override { return true; }
  void remove(K) override {}
  void flush() override {}
  V atIndex(unsigned long) override { return Traits::makeDefault(); }
  bool contains(K) const override { return false; }
  K highestKey() const override { return K(); }
  K lowestKey() const override { return K(); }
  V take(K) override { return Traits::makeDefault(); }
  bool takeLowest(V&) override { return false; }
  void clear() override {}
  V highest() override { return Traits::makeDefault(); }
  V lowest() override { return Traits::makeDefault(); }
  bool lowestInto(V&) override { return false; }
  ObjectList objects(K, K) override { return ObjectList(); }
  V lowerBound(K) override { return Traits::makeDefault(); }
  V upperBound(K) override { return Traits::makeDefault(); }
  V closest(K) override { return Traits::makeDefault(); }
  bool writeImmediately() const override { return false; }
  bool discardAfterWrite() const override { return false; }
  void setWriteImmediately(bool) override {}
  void setDiscardAfterWrite(bool) override {}
};
