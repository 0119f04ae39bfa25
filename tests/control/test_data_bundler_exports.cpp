// The data bundler's C interface: the header is valid C99, and the eleven functions wrap the
// bundler one to one, null-safe, from an application's plain C handler table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "support/TempDir.h"
#include "support/TestDevice.h"
#include "zeltodeviceapi/ztdatabundler.h"

namespace {

using zelto::test::TestDevice;

TEST(DataBundlerExports, HeaderCompilesAsC99) {
  zelto::test::TempDir dir;
  const std::string source = std::string(ZDA_SOURCE_DIR) + "/tests/control/databundler_c99_check.c";
  const std::string command = "gcc -std=c99 -Wall -Wextra -Werror -pedantic -I" ZDA_SOURCE_DIR
                              "/include -I" ZDA_SOURCE_DIR "/zttypes/include -c " +
                              source + " -o " + dir.file("check.o") + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string output;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) output += buf;
  EXPECT_EQ(pclose(p), 0) << command << "\n" << output;
}

// A plain C handler table and what it saw.
struct CHandler {
  ZtCallbackPlainC table;
  ZtDataBundler* bundler = nullptr;
  int bundles = 0;
  uint32_t count = 0;
  int64_t firstId = -1;
  bool packetFound = false;
  bool pastEndIsNull = false;
  int errors = 0;
};
CHandler* g_handler = nullptr;

void onData(ZtCallbackPlainC*, ZtDevice*, const ZtDataPacket*) {
  CHandler& h = *g_handler;
  ++h.bundles;
  h.count = ZtDataBundler_count(h.bundler);
  const ZtDataPacket* first = ZtDataBundler_at(h.bundler, 0);
  h.firstId = first ? first->packetId : -2;
  const ZtDeviceId id = 2;
  h.packetFound = ZtDataBundler_packet(h.bundler, &id) != nullptr;
  h.pastEndIsNull = ZtDataBundler_at(h.bundler, h.count) == nullptr;
}
void onError(ZtCallbackPlainC*, ZtDevice*, ZtResultValue) { ++g_handler->errors; }

struct DataBundlerExportsDeviceEnd {
  void operator()(ZtDevice* d) const { d->removeIfNoRefs(); }
};

void raise(TestDevice& d, int64_t id) {
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  p.deviceId = d.deviceId();
  p.packetId = id;
  d.onDataAvailable(&d, &p);
  ZtDataPacket_destruct(&p);
}

TEST(DataBundlerExports, WrapTheBundler) {
  std::unique_ptr<TestDevice, DataBundlerExportsDeviceEnd> a(new TestDevice(ZtDeviceId(1))), b(new TestDevice(ZtDeviceId(2)));
  CHandler h;
  std::memset(&h.table, 0, sizeof h.table);
  h.table.m_onDataAvailable = onData;
  h.table.m_onError = onError;
  g_handler = &h;

  h.bundler = ZtDataBundler_construct();
  ASSERT_NE(h.bundler, nullptr);
  ZtDataBundler_addCallbackHandler(h.bundler, &h.table, 0);
  ZtDataBundler_addDevice(h.bundler, a.get());
  ZtDataBundler_addDevice(h.bundler, b.get());
  ZtDataBundler_addDevice(h.bundler, b.get());
  raise(*a, 10);
  raise(*b, 10);
  EXPECT_EQ(h.bundles, 1);
  EXPECT_EQ(h.count, 2u);
  EXPECT_EQ(h.firstId, 10);
  EXPECT_TRUE(h.packetFound);
  EXPECT_TRUE(h.pastEndIsNull);
  // Outside the handler.
  EXPECT_EQ(ZtDataBundler_count(h.bundler), 0u);
  EXPECT_EQ(ZtDataBundler_at(h.bundler, 0), nullptr);
  const ZtDeviceId id = 1;
  EXPECT_EQ(ZtDataBundler_packet(h.bundler, &id), nullptr);

  // The bundler's own table passes events on to its handlers.
  ZtCallbackPlainC* own = ZtDataBundler_toCallbackPlainC(h.bundler);
  ASSERT_NE(own, nullptr);
  a->addCallbackHandler(own, false);
  a->onError(a.get(), static_cast<ZtResultValue>(5));
  EXPECT_EQ(h.errors, 1);
  a->removeCallbackHandler(own, false);

  ZtDataBundler_removeDevice(h.bundler, b.get());
  raise(*a, 11);
  EXPECT_EQ(h.bundles, 2);
  EXPECT_EQ(h.count, 1u);
  ZtDataBundler_removeCallbackHandler(h.bundler, &h.table, 0);
  raise(*a, 12);
  EXPECT_EQ(h.bundles, 2);
  ZtDataBundler_addCallbackHandler(h.bundler, &h.table, 1);
  ZtDataBundler_clearCallbackHandlers(h.bundler, 1);
  raise(*a, 13);
  EXPECT_EQ(h.bundles, 2);
  ZtDataBundler_removeDevice(h.bundler, nullptr);
  EXPECT_TRUE(a->callbackHandlers().empty());
  ZtDataBundler_destruct(h.bundler);
  g_handler = nullptr;
}

TEST(DataBundlerExports, NullBundlerOrIdDoesNothing) {
  ZtDataBundler_destruct(nullptr);
  ZtDataBundler_clearCallbackHandlers(nullptr, 1);
  ZtDataBundler_addCallbackHandler(nullptr, nullptr, 0);
  ZtDataBundler_removeCallbackHandler(nullptr, nullptr, 0);
  ZtDataBundler_addDevice(nullptr, nullptr);
  ZtDataBundler_removeDevice(nullptr, nullptr);
  EXPECT_EQ(ZtDataBundler_toCallbackPlainC(nullptr), nullptr);
  EXPECT_EQ(ZtDataBundler_count(nullptr), 0u);
  EXPECT_EQ(ZtDataBundler_at(nullptr, 0), nullptr);
  const ZtDeviceId id = 1;
  EXPECT_EQ(ZtDataBundler_packet(nullptr, &id), nullptr);
  ZtDataBundler* b = ZtDataBundler_construct();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(ZtDataBundler_packet(b, nullptr), nullptr);
  ZtDataBundler_addDevice(b, nullptr);
  ZtDataBundler_destruct(b);
}

}  // namespace
