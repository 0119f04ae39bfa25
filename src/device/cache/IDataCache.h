#pragma once
// A keyed cache of value copies with an optional backing store (IDataSource).
//
// Values go in and come out as copies: no reference to a stored value leaves the cache. Every
// V returned by value is a constructed copy the caller owns (for ZtDataPacket: the caller calls
// ZtDataPacket_destruct); the list of objects() frees its copies itself.
//
// Failures are ZtException (see DataCachePolicy::ZeltoException for codes and texts).
#include "device/cache/DataCacheList.h"
#include "device/cache/IDataSource.h"

template <class K, class V>
class IDataCache {
 public:
  using ObjectList = DataCacheList<V>;

  virtual ~IDataCache() = default;

  virtual unsigned long size() const = 0;
  virtual unsigned long maxSize() const = 0;
  // Stores the maximum size n, then trims to n entries (kinds that trim).
  virtual void setMaxSize(unsigned long maxSize) = 0;
  // Not owned; null allowed. The source must outlive the cache or be unset first.
  virtual void setDataSource(IDataSource<K, V>* source) = 0;
  virtual bool empty() const = 0;
  // Copy of the value under key; a miss asks the source to fetch the key.
  virtual V object(K key) = 0;
  // Stores a copy under key; a held key keeps its place and stays modified once modified.
  virtual void insert(K key, const V& value, bool modified) = 0;
  // insert for a key not held yet, in one step; false, and nothing changed, when key is held (a
  // cache that stores nothing ignores the value and answers true).
  virtual bool insertIfAbsent(K key, const V& value, bool modified) = 0;
  virtual void remove(K key) = 0;
  // Writes modified entries back to the source.
  virtual void flush() = 0;
  virtual V atIndex(unsigned long index) = 0;
  // Whether key is held now (never fetches).
  virtual bool contains(K key) const = 0;
  virtual K highestKey() const = 0;
  virtual K lowestKey() const = 0;
  // Copy of the value under key, which is then dropped (never fetches).
  virtual V take(K key) = 0;
  // Moves the entry with the lowest key into target and drops it, in one step (never fetches): two
  // callers never get the same entry. No copy: the value is exchanged with target's, whose old
  // content is discarded (its storage may serve a later entry). False, target unchanged, when the
  // cache is empty.
  virtual bool takeLowest(V& target) = 0;
  // Drops every entry without writing anything back.
  virtual void clear() = 0;
  virtual V highest() = 0;
  virtual V lowest() = 0;
  // Copies the entry with the lowest key into target, reusing target's storage, as lowest()
  // reads it. False, target unchanged, when the cache is empty (never fetches).
  virtual bool lowestInto(V& target) = 0;
  // Copies of all entries with from <= key <= to, ascending; empty when from >= to.
  virtual ObjectList objects(K from, K to) = 0;
  // Entry with the smallest key >= key.
  virtual V lowerBound(K key) = 0;
  // Entry with the smallest key > key.
  virtual V upperBound(K key) = 0;
  // Entry whose key is nearest to key; a tie goes to the lower key.
  virtual V closest(K key) = 0;
  virtual bool writeImmediately() const = 0;
  virtual bool discardAfterWrite() const = 0;
  virtual void setWriteImmediately(bool on) = 0;
  virtual void setDiscardAfterWrite(bool on) = 0;
};
