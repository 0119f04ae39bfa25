#pragma once
// The policy-built keyed cache behind DataCache, WeakFifoDataCache and FastIndexDataCache.
//
// Policies (namespace DataCachePolicy): Storage (entry map and sequence), Insert (where a new
// entry joins the sequence), Access (what a read does to it), Indexing (how atIndex resolves),
// Trim (what a full cache drops), Flushing (when modified entries are written back), AfterFlush
// (whether written entries are dropped), Fetch (how a miss is served), Locking, Exception.
//
// Locking: every operation but the four flag accessors holds the cache's recursive mutex for its
// whole run, calls into the data source (validKey, fetch, update) included. A source's fetch
// inserts into this cache on the same thread; no iterator or entry reference is kept across a
// fetch. Callers on other threads wait for the cache while a fetch reads.
//
// Write-back: an entry is modified from an insertion marked modified until it has been handed to
// the source's update. Trimmed entries are written back first (write on trim, on by default),
// removed and taken ones when write on remove is set, all modified ones by flush() (write on
// flush, on by default), and a modified insertion at once with write immediately. An exception
// from validKey or update passes through; the entry it concerned stays as it was.
#include <climits>
#include <iterator>
#include <type_traits>

#include "device/cache/DataCacheValueTraits.h"
#include "device/cache/IDataCache.h"
#include "device/cache/Locker.h"

template <class K, class V, class Storage, class Insert, class Access, class Indexing, class Trim, class Flushing,
          class AfterFlush, class Fetch, class Locking, class Exception>
class ConfigurableDataCache : public virtual IDataCache<K, V>, public Flushing, protected AfterFlush {
  using Traits = DataCacheValueTraits<V>;
  using Lock = DataCachePolicy::Locker<Locking>;
  using Entry = typename Storage::Entry;
  using Iterator = typename Storage::Iterator;

 public:
  using typename IDataCache<K, V>::ObjectList;

  ConfigurableDataCache() = default;
  ConfigurableDataCache(const ConfigurableDataCache&) = delete;
  ConfigurableDataCache& operator=(const ConfigurableDataCache&) = delete;
  ~ConfigurableDataCache() override = default;

  unsigned long size() const override {
    Lock lock(m_locking);
    return m_storage.size();
  }

  unsigned long maxSize() const override {
    Lock lock(m_locking);
    return m_maxSize;
  }

  void setMaxSize(unsigned long maxSize) override {
    Lock lock(m_locking);
    m_maxSize = maxSize;
    if constexpr (Trim::kTrims) {
      if (m_storage.size() > maxSize) trimBy(m_storage.size() - maxSize);
    }
  }

  void setDataSource(IDataSource<K, V>* source) override {
    Lock lock(m_locking);
    m_source = source;
  }

  bool empty() const override {
    Lock lock(m_locking);
    return m_storage.empty();
  }

  V object(K key) override {
    Lock lock(m_locking);
    Entry& entry = lookup(key);
    V copy = Traits::makeCopy(entry.second.value);
    Access::accessed(m_storage, entry);
    return copy;
  }

  void insert(K key, const V& value, bool modified) override {
    Lock lock(m_locking);
    store(key, value, modified);
  }

  bool insertIfAbsent(K key, const V& value, bool modified) override {
    Lock lock(m_locking);
    if (m_storage.find(key) != m_storage.end()) return false;
    store(key, value, modified);
    return true;
  }

  void remove(K key) override {
    Lock lock(m_locking);
    if constexpr (!Storage::kCanRemove) {
      Exception::operationNotAllowed("removeFromSequence");
    } else {
      Iterator it = m_storage.find(key);
      if (it == m_storage.end()) return;
      writeBackOnRemove(*it);
      m_storage.erase(it);
    }
  }

  void flush() override {
    Lock lock(m_locking);
    if (!this->writeOnFlush()) return;
    const bool discard = Storage::kCanRemove && this->discardFlag();
    m_storage.visitSequence([this, discard](Entry& entry) {
      if (entry.second.modified) {
        if (m_source) m_source->update(entry.first, entry.second.value);
        entry.second.modified = false;
      }
      return discard;
    });
  }

  V atIndex(unsigned long index) override {
    Lock lock(m_locking);
    Entry* entry = Indexing::at(m_storage, index);
    if (!entry) Exception::indexOutOfRange(index, index);
    V copy = Traits::makeCopy(entry->second.value);
    Access::accessed(m_storage, *entry);
    return copy;
  }

  bool contains(K key) const override {
    Lock lock(m_locking);
    return m_storage.map().count(key) != 0;
  }

  K highestKey() const override {
    Lock lock(m_locking);
    if (m_storage.empty()) Exception::cacheEmpty();
    return m_storage.map().rbegin()->first;
  }

  K lowestKey() const override {
    Lock lock(m_locking);
    if (m_storage.empty()) Exception::cacheEmpty();
    return m_storage.map().begin()->first;
  }

  V take(K key) override {
    Lock lock(m_locking);
    if constexpr (!Storage::kCanRemove) {
      Exception::operationNotAllowed("removeFromSequence");
    } else {
      Iterator it = m_storage.find(key);
      if (it == m_storage.end()) Exception::keyNotFound(key);
      writeBackOnRemove(*it);
      V copy = Traits::makeCopy(it->second.value);
      m_storage.erase(it);
      return copy;
    }
  }

  bool takeLowest(V& target) override {
    Lock lock(m_locking);
    if constexpr (!Storage::kCanRemove) {
      Exception::operationNotAllowed("removeFromSequence");
    } else {
      if (m_storage.empty()) return false;
      Iterator it = m_storage.map().begin();
      writeBackOnRemove(*it);
      // Exchanged, not copied: the erased entry keeps target's old storage for a later insertion.
      Traits::exchange(target, it->second.value);
      m_storage.erase(it);
      return true;
    }
  }

  void clear() override {
    Lock lock(m_locking);
    m_storage.clear();
  }

  V highest() override {
    Lock lock(m_locking);
    return object(highestKey());
  }

  V lowest() override {
    Lock lock(m_locking);
    return object(lowestKey());
  }

  bool lowestInto(V& target) override {
    Lock lock(m_locking);
    if (m_storage.empty()) return false;
    Entry& entry = *m_storage.map().begin();
    Traits::assign(target, entry.second.value);
    Access::accessed(m_storage, entry);
    return true;
  }

  ObjectList objects(K from, K to) override {
    Lock lock(m_locking);
    ObjectList list;
    if (from >= to) return list;
    fetchIfMissing(to);
    const auto& map = m_storage.map();
    for (auto it = map.lower_bound(from); it != map.end() && it->first <= to; ++it)
      list.appendCopy(it->second.value);
    return list;
  }

  V lowerBound(K key) override {
    Lock lock(m_locking);
    fetchIfMissing(key);
    auto& map = m_storage.map();
    if (map.empty() || key > map.rbegin()->first) Exception::lowerBoundFailed(key);
    return Traits::makeCopy(map.lower_bound(key)->second.value);
  }

  V upperBound(K key) override {
    Lock lock(m_locking);
    fetchIfMissing(key);
    auto& map = m_storage.map();
    if (map.empty() || !(key < map.rbegin()->first)) Exception::upperBoundFailed(key);
    return Traits::makeCopy(map.upper_bound(key)->second.value);
  }

  V closest(K key) override {
    Lock lock(m_locking);
    fetchIfMissing(key);
    auto& map = m_storage.map();
    Iterator it = m_storage.find(key);
    if (it != m_storage.end()) return Traits::makeCopy(it->second.value);
    if (map.empty()) Exception::cacheEmpty();
    K chosen;
    if (key < map.begin()->first) {
      chosen = map.begin()->first;
    } else if (map.rbegin()->first < key) {
      chosen = map.rbegin()->first;
    } else {
      const auto next = map.upper_bound(key);
      const auto previous = std::prev(next);
      chosen = nearerOf(key, previous->first, next->first);
    }
    it = m_storage.find(chosen);
    if (it == m_storage.end() && m_source) {
      fetchKey(chosen);
      it = m_storage.find(chosen);
    }
    if (it == m_storage.end()) Exception::cacheEmpty();
    return Traits::makeCopy(it->second.value);
  }

  bool writeImmediately() const override { return this->writeImmediatelyFlag(); }

  bool discardAfterWrite() const override {
    if constexpr (!AfterFlush::kConfigurable)
      Exception::operationNotAllowed("discardAfterWrite");
    else
      return this->discardFlag();
  }

  void setWriteImmediately(bool on) override { this->setWriteImmediatelyFlag(on); }

  void setDiscardAfterWrite(bool on) override {
    if constexpr (!AfterFlush::kConfigurable)
      Exception::operationNotAllowed("setDiscardAfterWrite");
    else
      this->setDiscardFlag(on);
  }

 private:
  // The nearer of previous < key < next; a tie goes to previous. The distances are taken in
  // unsigned arithmetic: both are positive, and a signed difference of keys far apart overflows.
  static K nearerOf(K key, K previous, K next) {
    if constexpr (std::is_integral_v<K>) {
      using U = std::make_unsigned_t<K>;
      const U toNext = static_cast<U>(next) - static_cast<U>(key);
      const U toPrevious = static_cast<U>(key) - static_cast<U>(previous);
      return toNext < toPrevious ? next : previous;
    } else {
      return (next - key) < (key - previous) ? next : previous;
    }
  }

  void fetchKey(K key) { Fetch::fetch(m_source, key, static_cast<IDataCache<K, V>&>(*this)); }

  void fetchIfMissing(K key) {
    if (m_source && m_storage.find(key) == m_storage.end()) fetchKey(key);
  }

  // The fetching lookup: the held entry, else what the storage accepts as fetched.
  Entry& lookup(K key) {
    Iterator it = m_storage.find(key);
    if (it != m_storage.end()) return *it;
    if (m_source) {
      fetchKey(key);
      if (Entry* entry = Fetch::findAfterFetch(m_storage, key)) return *entry;
    }
    Exception::keyNotFound(key);
  }

  // The insertion rule (validation, trim, store, write immediately, sequence); lock held.
  void store(K key, const V& value, bool modified) {
    if (m_source && !m_source->validKey(key)) Exception::invalidKey(key);
    if constexpr (Trim::kTrims) {
      // A maximum size of 0 wraps the limit to the largest value: no trimming.
      const unsigned long limit = m_maxSize - 1;
      if (m_storage.size() > limit) trimBy(m_storage.size() - limit);
    }
    Iterator it = m_storage.lowerBound(key);
    if (it == m_storage.end() || it->first != key) {
      it = m_storage.emplaceNew(it, key, value, modified);
      Insert::link(m_storage, it);
    } else {
      // Replaced, not merged; it keeps its place in the sequence and stays modified once modified.
      it->second.assign(value);
      it->second.modified = it->second.modified || modified;
    }
    if (this->writeImmediatelyFlag()) {
      if (m_source && it->second.modified) {
        m_source->update(key, it->second.value);
        it->second.modified = false;
      }
      if constexpr (Storage::kCanRemove) {
        if (this->discardFlag()) m_storage.erase(it);
      }
    }
  }

  // Drops count entries chosen by the trim policy, writing modified ones back first.
  void trimBy(unsigned long count) {
    for (unsigned long i = 0; i < count && !m_storage.empty(); ++i) {
      Iterator victim = Trim::victim(m_storage);
      if (victim == m_storage.end()) return;
      if (this->writeOnTrim() && m_source && victim->second.modified) {
        m_source->update(victim->first, victim->second.value);
        victim->second.modified = false;
      }
      m_storage.erase(victim);
    }
  }

  void writeBackOnRemove(Entry& entry) {
    if (this->writeOnRemove() && m_source && entry.second.modified) {
      m_source->update(entry.first, entry.second.value);
      entry.second.modified = false;
    }
  }

  Locking m_locking;
  unsigned long m_maxSize = ULONG_MAX;
  IDataSource<K, V>* m_source = nullptr;
  Storage m_storage;
};
