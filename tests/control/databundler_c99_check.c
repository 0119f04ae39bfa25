/* Compiled as strict C99 against the data bundler's public header: every declaration must be
 * usable from C as declared. Compiled only (the test program calls the functions). */
#include <stddef.h>
#include <string.h>

#include "zeltodeviceapi/ztdatabundler.h"

static ZtDataBundler* g_bundler = NULL;
static uint32_t g_packets = 0;

static void onData(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtDataPacket* packet) {
  uint32_t i;
  const ZtDeviceId id = 1;
  (void)cb;
  (void)dev;
  (void)packet;
  for (i = 0; i < ZtDataBundler_count(g_bundler); ++i)
    if (ZtDataBundler_at(g_bundler, i) != NULL) ++g_packets;
  if (ZtDataBundler_packet(g_bundler, &id) == NULL) g_packets = 0;
}

int useBundler(ZtDevice* device) {
  ZtCallbackPlainC handler;
  memset(&handler, 0, sizeof handler);
  handler.m_onDataAvailable = onData;
  g_bundler = ZtDataBundler_construct();
  if (!g_bundler) return 1;
  ZtDataBundler_addCallbackHandler(g_bundler, &handler, 0);
  ZtDataBundler_addDevice(g_bundler, device);
  (void)ZtDataBundler_toCallbackPlainC(g_bundler);
  ZtDataBundler_removeDevice(g_bundler, NULL);
  ZtDataBundler_removeCallbackHandler(g_bundler, &handler, 0);
  ZtDataBundler_clearCallbackHandlers(g_bundler, 1);
  ZtDataBundler_destruct(g_bundler);
  return 0;
}
