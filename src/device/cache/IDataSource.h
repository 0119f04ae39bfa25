#pragma once
// The backing store of a data cache: validates keys before insertion, fills misses and takes
// modified entries back. The cache calls it with its own lock held; fetch may insert into the
// calling cache on the same thread (the cache lock is recursive).
template <class K, class V>
class IDataCache;

template <class K, class V>
class IDataSource {
 public:
  virtual ~IDataSource() = default;

  virtual bool validKey(K key) const = 0;
  // Makes the cache hold key if the store can (by inserting into it); may throw, the cache
  // drops what fetch throws.
  virtual void fetch(K key, IDataCache<K, V>& cache) = 0;
  // Takes back a modified entry that leaves the cache or is flushed.
  virtual void update(K key, const V& value) = 0;
};
