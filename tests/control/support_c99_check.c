/* Compiled as C99 against the public headers and linked to the device library: the C support
 * types must be usable from C exactly as declared. Prints "ok" and exits 0 on success. */
#include <stdio.h>
#include <string.h>

#include "zeltodeviceapi/zdaexport.h"
#include "zeltodeviceapi/ztcallbackplainc.h"
#include "zeltodeviceapi/ztdevicetypes.h"
#include "zeltodeviceapi/ztscanner.h"

/* Layouts an application relies on. */
typedef char filterProfileIs26Bytes[sizeof(ZtFilterProfile) == 26 ? 1 : -1];
typedef char deviceRecordIs20Bytes[sizeof(ZtDeviceConfigurationDevice) == 20 ? 1 : -1];
typedef char deviceModeIs12Bytes[sizeof(ZtDeviceMode) == 12 ? 1 : -1];
typedef char callbackTableHas13Entries[sizeof(ZtCallbackPlainC) == 13 * sizeof(void (*)(void)) ? 1 : -1];
typedef char stateIs32Bit[sizeof(ZtDeviceState) == 4 ? 1 : -1];

static int failures = 0;
#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                \
    }                                                            \
  } while (0)

static int errors = 0;
static void onError(ZtCallbackPlainC* cb, ZtDevice* dev, ZtResultValue error) {
  (void)cb;
  (void)dev;
  errors += error;
}

int main(void) {
  ZtDeviceConfiguration config, back;
  ZtMessage message;
  ZtDeviceMode mode;
  ZtUsbHubInfo a, b;
  ZtFilterProfile profile;
  ZtString text;
  ZtDevicePtrArray devices;
  ZtCallbackPlainC table;

  ZtDeviceConfiguration_construct(&config);
  ZtDeviceConfiguration_assign(&config, 2, NULL);
  config.masterDeviceId = 0x00B00001u;
  config.deviceInfo[1].deviceId = 0x00B00002u;
  ZtDeviceConfiguration_writeToMessage(&config, &message);
  CHECK(ZtMessage_dataSize(&message) == 138);
  ZtDeviceConfiguration_construct(&back);
  ZtDeviceConfiguration_readFromMessage(&back, &message);
  CHECK(back.numberOfDevices == 2 && back.deviceInfo[1].deviceId == 0x00B00002u);
  CHECK(!ZtDeviceConfiguration_empty(&back));
  ZtDeviceConfiguration_destruct(&back);
  ZtDeviceConfiguration_destruct(&config);
  ZtMessage_destruct(&message);

  memset(&mode, 0, sizeof mode);
  ZtDeviceMode_setUpdateRate(&mode, 40);
  CHECK(mode.period == 960 && mode.skipFactor == 2 && ZtDeviceMode_updateRate(&mode) == 40);

  ZtUsbHubInfo_construct(&a, "1-1.2");
  ZtUsbHubInfo_construct(&b, "1-1.4");
  CHECK(ZtUsbHubInfo_parentPathMatches(&a, &b));
  ZtUsbHubInfo_destruct(&a);
  ZtUsbHubInfo_destruct(&b);

  memset(&profile, 0, sizeof profile);
  profile.type = 39;
  profile.version = 1;
  strcpy(profile.label, "general");
  ZtString_construct(&text, "");
  CHECK(ZtFilterProfile_toString(&profile, &text) == &text);
  CHECK(strcmp(ZtString_c_str(&text), "39.1 general") == 0);
  ZtString_destruct(&text);

  CHECK(strcmp(ZtDeviceState_toString(ZDS_Recording), "ZDS_Recording") == 0);
  CHECK(strcmp(ZtConnectivityState_toString(ZCS_PluggedIn), "ZCS_PluggedIn") == 0);
  CHECK(strcmp(ZtRejectReason_toString(ZRR_Blacklisted), "ZRR_Blacklisted") == 0);

  ZtDevicePtrArray_construct(&devices, 3, NULL);
  CHECK(devices.size == 3 && devices.data[2] == NULL);
  CHECK(devices.descriptor == &g_ztDevicePtrArrayDescriptor);
  ZtArray_destruct(ZTARRAY(&devices));

  memset(&table, 0, sizeof table);
  table.m_onError = onError;
  table.m_onError(&table, NULL, 7);
  CHECK(errors == 7);

  /* Scanner: while aborted nothing is probed; a filter run clears the flag. */
  {
    ZtPortInfoArray ports;
    ZtPortInfo port;
    memset(&port, 0, sizeof port);
    strcpy(port.portName, "/nonexistent/ttyS9");
    ZtArray_construct(ZTARRAY(&ports), &g_ztPortInfoArrayDescriptor, 1, &port);
    ZtScanner_abortScan();
    CHECK(ZtScanner_scanPort(&port, 0x1002, 10, 0) == 0);
    ZtScanner_filterResponsiveDevices(&ports, 0x1002, 10, 0);
    CHECK(ports.size == 0);
    ZtArray_destruct(ZTARRAY(&ports));
    /* The rest would read the machine's own ports: only their declarations and exports. */
    {
      void (*scanPorts)(ZtPortInfoArray*, ZtBaudRate, uint32_t, int, int) = ZtScanner_scanPorts;
      void (*serial)(ZtPortInfoArray*, int) = ZtScanner_enumerateSerialPorts;
      void (*usb)(ZtPortInfoArray*) = ZtScanner_enumerateUsbDevices;
      void (*hubScan)(ZtUsbHubInfo*, const ZtPortInfo*) = ZtScanner_scanUsbHub;
      CHECK(scanPorts != NULL && serial != NULL && usb != NULL && hubScan != NULL);
    }
  }

  if (failures) return 1;
  puts("ok");
  return 0;
}
