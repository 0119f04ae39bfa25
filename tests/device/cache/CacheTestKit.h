#pragma once
// Helpers of the cache tests: packets marked by key and tag, an owner for the packets a cache
// returns, a recording data source, and a check of a ZtException's code and composed text.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "device/cache/IDataCache.h"
#include "device/cache/IDataSource.h"
#include "errors/ZtException.h"
#include "support/ZtValues.h"
#include "zttypes/ztdatapacket.h"

namespace cachetest {

using Cache = IDataCache<long, ZtDataPacket>;

// A packet whose packet id is key and whose arrival time carries a tag (which insertion it was).
inline zelto::test::Packet packet(long key, ZtTimeStamp tag = 0) {
  zelto::test::Packet p;
  p->packetId = key;
  p->toa = tag;
  ZtDataPacket_setPacketCounter(p.get(), static_cast<uint16_t>(key));
  return p;
}

// Takes ownership of a packet a cache returned.
struct Got {
  ZtDataPacket p;
  explicit Got(ZtDataPacket returned) : p(returned) {}
  ~Got() { ZtDataPacket_destruct(&p); }
  Got(const Got&) = delete;
  Got& operator=(const Got&) = delete;
  long key() const { return p.packetId; }
  ZtTimeStamp tag() const { return p.toa; }
  bool empty() const { return ZtDataPacket_empty(&p) != 0; }
};

inline std::vector<long> keysOf(const Cache::ObjectList& list) {
  std::vector<long> keys;
  for (const ZtDataPacket& p : list) keys.push_back(p.packetId);
  return keys;
}

// Keys in the cache's index order.
inline std::vector<long> indexOrder(Cache& cache) {
  std::vector<long> keys;
  const unsigned long n = cache.size();
  for (unsigned long i = 0; i < n; ++i) keys.push_back(Got(cache.atIndex(i)).key());
  return keys;
}

// Keys 0 and above are valid; records every fetch and update (with the packet's tag).
class RecordingSource : public IDataSource<long, ZtDataPacket> {
 public:
  bool validKey(long key) const override { return key >= 0; }
  void fetch(long key, Cache& cache) override {
    fetches.push_back(key);
    if (onFetch) onFetch(key, cache);
  }
  void update(long key, const ZtDataPacket& p) override {
    if (failUpdates) throw ZtException(ZRV_ERROR, "update failed");
    updates.emplace_back(key, p.toa);
  }
  std::vector<long> updatedKeys() const {
    std::vector<long> keys;
    for (const auto& u : updates) keys.push_back(u.first);
    return keys;
  }

  std::vector<long> fetches;
  std::vector<std::pair<long, ZtTimeStamp>> updates;
  std::function<void(long, Cache&)> onFetch;
  bool failUpdates = false;
};

// "<code>: <result text>\tInfo: <info>", as ZtException composes it.
inline std::string composed(ZtResultValue code, const std::string& info) {
  std::string text = std::to_string(code) + ": ";
  const char* resultText = ZtResultValue_toString(code);
  if (resultText && *resultText) text += resultText;
  if (!info.empty()) text += "\tInfo: " + info;
  return text;
}

template <class F>
void expectThrows(F&& f, ZtResultValue code, const std::string& info, const char* what = "") {
  try {
    f();
    ADD_FAILURE() << what << ": no exception, expected " << info;
  } catch (const ZtException& e) {
    EXPECT_EQ(e.result(), code) << what;
    EXPECT_EQ(std::string(e.what()), composed(code, info)) << what;
  }
}

}  // namespace cachetest
