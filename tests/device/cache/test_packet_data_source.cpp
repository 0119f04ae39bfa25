// The packet data source on a real link: a Communicator plays a built log file and a small link
// device inserts each data message it is handed into the cache, as the device's packet path does
// during playback. A miss reads just far enough; a held key reads one more message; the end of
// the file, a stuck candidate, a live port and bad keys all end as the cache's own failure.
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "CacheTestKit.h"
#include "device/cache/FastIndexDataCache.h"
#include "device/cache/IPacketDataCache.h"
#include "device/cache/PacketDataSource.h"
#include "device/cache/WeakFifoDataCache.h"
#include "support/LogFileBuilder.h"
#include "support/NullLinkDevice.h"
#include "support/PtyPort.h"
#include "support/TempDir.h"
#include "transport/link/Communicator.h"
#include "zeltodeviceapi/ztdevicetypes.h"

namespace {

using namespace cachetest;
using zelto::test::LogFileBuilder;
using zelto::test::TempDir;
using Keys = std::vector<long>;
using namespace std::chrono_literals;

#ifdef ZDA_UNDER_SANITIZER
constexpr auto kPacketDataSourceLimit = 30s;
#else
constexpr auto kPacketDataSourceLimit = 5s;
#endif

struct String {
  ZtString s;
  explicit String(const std::string& text) { ZtString_construct(&s, text.c_str()); }
  ~String() { ZtString_destruct(&s); }
  String(const String&) = delete;
  String& operator=(const String&) = delete;
};

// Inserts every data message (0x36) it is handed into the cache under its packet counter;
// counts every message.
class CachingLinkDevice : public zelto::test::NullLinkDevice {
 public:
  explicit CachingLinkDevice(Cache& cache) : m_cache(cache) {}
  void handleMessage(const ZtMessage& message) override {
    ++handled;
    if (ZtMessage_getMessageId(&message) != 0x36) return;
    zelto::test::Packet p;
    ZtDataPacket_setMessage(p.get(), &message);
    p->packetId = ZtDataPacket_packetCounter(p.get());
    m_cache.insert(p->packetId, p.p, false);
  }
  int handled = 0;

 private:
  Cache& m_cache;
};

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class CacheKind>
class PlaybackFixture {
 public:
  // Opens the file on the link, sets the link's source on the cache and the device as master.
  explicit PlaybackFixture(const LogFileBuilder& file) : device(cache) {
    path = dir.file("rec.zlog");
    EXPECT_TRUE(file.writeTo(path));
    String name(path);
    EXPECT_TRUE(link.openLogFile(name.s)) << link.lastResult();
    cache.setDataSource(link.dataSource());
    link.setMasterDevice(&device);
  }
  ~PlaybackFixture() { link.setMasterDevice(nullptr); }

  TempDir dir;
  std::string path;
  CacheKind cache;
  CachingLinkDevice device;
  Communicator link;
};

using FastCache = FastIndexDataCache<long, ZtDataPacket>;
using FifoCache = WeakFifoDataCache<long, ZtDataPacket>;

LogFileBuilder dataFile(std::initializer_list<uint16_t> counters) {
  LogFileBuilder b;
  b.configuration(0x00345678);
  for (uint16_t c : counters) b.data(c, 20);
  return b;
}

// Runs f on another thread; a hang ends the test program instead of the suite.
template <class F>
auto withinLimit(F f) {
  auto future = std::async(std::launch::async, f);
  if (future.wait_for(kPacketDataSourceLimit) != std::future_status::ready) {
    ADD_FAILURE() << "did not finish in time";
    std::fflush(nullptr);
    std::_Exit(1);
  }
  return future.get();
}

TEST(PacketDataSource, KeysFromZero) {
  zelto::PacketDataSource source(nullptr);
  EXPECT_FALSE(source.validKey(-1));
  EXPECT_FALSE(source.validKey(LONG_MIN));
  EXPECT_TRUE(source.validKey(0));
  EXPECT_TRUE(source.validKey(LONG_MAX));
  FastCache cache;
  expectThrows([&] { source.fetch(-3, cache); }, ZRV_INVALIDPARAM, "Invalid key");
  expectThrows([&] { source.fetch(3, cache); }, ZRV_UNSUPPORTED, "");  // no link to read
  EXPECT_TRUE(cache.empty());
}

TEST(PacketDataSource, ReadsJustFarEnough) {
  PlaybackFixture<FastCache> f(dataFile({0, 1, 2, 3, 4, 5, 6, 7}));
  ASSERT_NE(f.link.dataSource(), nullptr);
  // Configuration message, then packets 0 to 3: five messages read.
  EXPECT_EQ(Got(f.cache.object(3)).key(), 3);
  EXPECT_EQ(f.device.handled, 5);
  EXPECT_EQ(indexOrder(f.cache), (Keys{0, 1, 2, 3}));
  // Held keys are not fetched at all.
  EXPECT_EQ(Got(f.cache.object(1)).key(), 1);
  EXPECT_EQ(f.device.handled, 5);
  // A fetch for a key already held reads exactly one more message (the check follows the read).
  f.link.dataSource()->fetch(2, f.cache);
  EXPECT_EQ(f.device.handled, 6);
  EXPECT_EQ(f.cache.highestKey(), 4);
  // Ranges and bounds read up to their key too.
  EXPECT_EQ(keysOf(f.cache.objects(3, 6)), (Keys{3, 4, 5, 6}));
  EXPECT_EQ(f.device.handled, 8);
}

TEST(PacketDataSource, EmptyCacheReadsUntilAPacketArrives) {
  LogFileBuilder b;
  b.configuration(0x00345678).message(0x3E, {1, 2}).message(0x3E, {3}).data(0, 20).data(1, 20);
  PlaybackFixture<FastCache> f(b);
  f.link.dataSource()->fetch(0, f.cache);
  EXPECT_EQ(f.device.handled, 4);
  EXPECT_EQ(f.cache.size(), 1u);
}

TEST(PacketDataSource, KeyPastTheEndIsNotFoundAfterTheWholeFile) {
  PlaybackFixture<FastCache> f(dataFile({0, 1, 2}));
  expectThrows([&] { Got g(f.cache.object(100)); }, ZRV_INVALIDPARAM, "Key not found: 100");
  EXPECT_EQ(f.device.handled, 4);
  EXPECT_EQ(f.link.logFileReadPosition(), f.link.logFileSize());
  // The source itself reports the end of the file.
  expectThrows([&] { f.link.dataSource()->fetch(100, f.cache); }, ZRV_ENDOFFILE, "");
  expectThrows([&] { Got g(f.cache.upperBound(2)); }, ZRV_INVALIDPARAM, "UpperBound failed for key: 2");
}

// Reading past a missing packet id: the fast-index cache only accepts the key as the last entry
// inserted, the weak FIFO finds nothing either; both stop at the first higher key.
TEST(PacketDataSource, GapInThePacketIds) {
  PlaybackFixture<FastCache> fast(dataFile({0, 2, 4, 6}));
  expectThrows([&] { Got g(fast.cache.object(3)); }, ZRV_INVALIDPARAM, "Key not found: 3");
  EXPECT_EQ(fast.cache.highestKey(), 4);
  // closest fetches 5 (reads 6), then takes the nearer of 4 and 6: a tie, the lower.
  EXPECT_EQ(Got(fast.cache.closest(5)).key(), 4);
  EXPECT_EQ(fast.cache.highestKey(), 6);
  PlaybackFixture<FifoCache> fifo(dataFile({0, 2, 4, 6}));
  expectThrows([&] { Got g(fifo.cache.object(3)); }, ZRV_INVALIDPARAM, "Key not found: 3");
  EXPECT_EQ(fifo.cache.highestKey(), 4);
}

TEST(PacketDataSource, StuckCandidateStillEnds) {
  LogFileBuilder b;
  b.configuration(0x00345678).data(0, 20).stuckCandidate().data(1, 20).stuckCandidate().stuckCandidate();
  PlaybackFixture<FastCache> f(b);
  withinLimit([&] {
    expectThrows([&] { Got g(f.cache.object(50)); }, ZRV_INVALIDPARAM, "Key not found: 50");
    return 0;
  });
  EXPECT_EQ(indexOrder(f.cache), (Keys{0, 1}));
}

TEST(PacketDataSource, UpdateLeavesTheFileAlone) {
  PlaybackFixture<FastCache> f(dataFile({0, 1}));
  const auto before = readFile(f.path);
  zelto::test::Packet p = packet(1);
  f.link.dataSource()->update(1, p.p);
  f.cache.insert(9, p.p, true);
  f.cache.flush();
  EXPECT_EQ(readFile(f.path), before);
  expectThrows([&] { f.cache.insert(-1, p.p, false); }, ZRV_INVALIDPARAM, "Invalid key: -1");
}

TEST(PacketDataSource, LivePortLinkFailsAtTheFirstRead) {
  zelto::test::PtyPort pty;
  Communicator link;
  String port(pty.slavePath());
  ASSERT_TRUE(link.openPort(port.s, B115200, OPS_OpenPort));
  FifoCache cache;
  cache.setDataSource(link.dataSource());
  CachingLinkDevice device(cache);
  link.setMasterDevice(&device);
  expectThrows([&] { link.dataSource()->fetch(0, cache); }, ZRV_UNSUPPORTED, "");
  expectThrows([&] { Got g(cache.object(0)); }, ZRV_INVALIDPARAM, "Key not found: 0");
  expectThrows([&] { cache.insert(-1, packet(-1).p, false); }, ZRV_INVALIDPARAM, "Invalid key: -1");
  EXPECT_EQ(device.handled, 0);
  link.setMasterDevice(nullptr);
}

TEST(PacketDataSource, TheLinkOwnsOneSource) {
  Communicator link;
  zelto::PacketDataSource* first = link.dataSource();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(link.dataSource(), first);
  link.clear(false);
  EXPECT_EQ(link.dataSource(), nullptr);
  link.clear(true);
  EXPECT_NE(link.dataSource(), nullptr);
}

// The device's playback configuration: the factory's fast-index cache over the link's source.
TEST(PacketDataSource, FactoryCacheOverTheLink) {
  TempDir dir;
  const std::string path = dir.file("rec.zlog");
  ASSERT_TRUE(dataFile({0, 1, 2, 3}).writeTo(path));
  Communicator link;
  String name(path);
  ASSERT_TRUE(link.openLogFile(name.s));
  std::unique_ptr<zelto::IPacketDataCache> cache(zelto::IPacketDataCache::create(
      link.dataSource(), zelto::PacketDataCacheConfiguration{false, false, true}, 0));
  CachingLinkDevice device(*cache);
  link.setMasterDevice(&device);
  EXPECT_EQ(Got(cache->object(2)).key(), 2);
  EXPECT_EQ(Got(cache->atIndex(2)).key(), 2);
  link.setMasterDevice(nullptr);
}

}  // namespace
