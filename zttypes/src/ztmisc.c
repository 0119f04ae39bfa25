/* Version text, baud-rate tables, port info, ranges, sync settings and the shared-object loader. */
#define _DEFAULT_SOURCE
#include "zttypes/ztmisc.h"

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>

/* ---- ZtVersion ---- */

void ZtVersion_toString(const ZtVersion* v, ZtString* out) {
  char buf[32 + 3 * 11 + 1 + sizeof v->text];
  int n;
  if (v->build)
    n = snprintf(buf, sizeof buf, "%u.%u.%u.%u", (unsigned)v->major, (unsigned)v->minor, (unsigned)v->revision,
                 (unsigned)v->build);
  else
    n = snprintf(buf, sizeof buf, "%u.%u.%u", (unsigned)v->major, (unsigned)v->minor, (unsigned)v->revision);
  /* The text field need not be NUL-terminated. */
  size_t textLength = strnlen(v->text, sizeof v->text);
  if (textLength && n > 0 && (size_t)n + 1 + textLength < sizeof buf) {
    buf[n] = ' ';
    memcpy(buf + n + 1, v->text, textLength);
    buf[n + 1 + textLength] = '\0';
  }
  ZtString_assignCharArray(out, buf);
}

/* ---- baud rates ---- */

typedef struct BaudEntry {
  uint32_t bitsPerSecond;
  ZtBaudRate speed; /* termios speed code */
  uint8_t code;     /* code in baud-rate messages; 0xFF: the device has none for this rate */
} BaudEntry;

/* The one table of rates: every termios speed, and the message code of those a device can be
 * switched to (codes 1 to 13 in ascending speed; code 0, as in a cleared record, names none). */
static const BaudEntry kBaud[] = {
  {50, B50, 0xFF},         {75, B75, 0xFF},           {110, B110, 0xFF},         {134, B134, 0xFF},
  {150, B150, 0xFF},       {200, B200, 0xFF},         {300, B300, 0xFF},         {600, B600, 0xFF},
  {1200, B1200, 0xFF},     {1800, B1800, 0xFF},       {2400, B2400, 0x01},       {4800, B4800, 0x02},
  {9600, B9600, 0x03},     {19200, B19200, 0x04},     {38400, B38400, 0x05},     {57600, B57600, 0x06},
  {115200, B115200, 0x07}, {230400, B230400, 0x08},   {460800, B460800, 0x09},   {500000, B500000, 0xFF},
  {576000, B576000, 0xFF}, {921600, B921600, 0x0A},   {1000000, B1000000, 0x0B}, {1152000, B1152000, 0xFF},
  {1500000, B1500000, 0xFF}, {2000000, B2000000, 0x0C}, {2500000, B2500000, 0xFF}, {3000000, B3000000, 0xFF},
  {3500000, B3500000, 0xFF}, {4000000, B4000000, 0x0D},
};
enum { BAUD_COUNT = sizeof kBaud / sizeof kBaud[0] };

ZtBaudRate ZtBaud_fromNumeric(uint32_t bitsPerSecond) {
  for (size_t i = 0; i < BAUD_COUNT; ++i)
    if (kBaud[i].bitsPerSecond == bitsPerSecond) return kBaud[i].speed;
  return 0;
}

uint32_t ZtBaud_toNumeric(ZtBaudRate rate) {
  for (size_t i = 0; i < BAUD_COUNT; ++i)
    if (kBaud[i].speed == rate) return kBaud[i].bitsPerSecond;
  return 0;
}

uint8_t ZtBaud_rateToCode(ZtBaudRate rate) {
  for (size_t i = 0; i < BAUD_COUNT; ++i)
    if (kBaud[i].speed == rate) return kBaud[i].code;
  return 0xFF;
}

ZtBaudRate ZtBaud_codeToRate(uint8_t code) {
  if (code == 0xFF) return 0;
  for (size_t i = 0; i < BAUD_COUNT; ++i)
    if (kBaud[i].code == code) return kBaud[i].speed;
  return 0;
}

/* ---- ZtPortInfo ---- */

const ZtArrayDescriptor g_ztPortInfoArrayDescriptor = {sizeof(ZtPortInfo), NULL, NULL, NULL, NULL, NULL, NULL};

/* Parses "USB<bus>:<address>" (decimal, as written with "USB%03u:%03u"); 0 when the name has
 * another form. The name field need not be NUL-terminated. */
static int parseUsbName(const ZtPortInfo* p, unsigned* bus, unsigned* address) {
  size_t n = strnlen(p->portName, sizeof p->portName);
  const char* s = p->portName;
  if (n < 7 || memcmp(s, "USB", 3) != 0) return 0;
  size_t i = 3;
  unsigned values[2] = {0, 0};
  for (int part = 0; part < 2; ++part) {
    size_t digits = 0;
    while (i < n && s[i] >= '0' && s[i] <= '9') {
      if (++digits > 5) return 0;
      values[part] = values[part] * 10 + (unsigned)(s[i] - '0');
      ++i;
    }
    if (digits == 0) return 0;
    if (part == 0) {
      if (i >= n || s[i] != ':') return 0;
      ++i;
    }
  }
  if (i != n) return 0;
  *bus = values[0];
  *address = values[1];
  return 1;
}

int ZtPortInfo_usbBus(const ZtPortInfo* p) {
  unsigned bus, address;
  return parseUsbName(p, &bus, &address) ? (int)bus : -1;
}

int ZtPortInfo_usbAddress(const ZtPortInfo* p) {
  unsigned bus, address;
  return parseUsbName(p, &bus, &address) ? (int)address : -1;
}

/* ---- ZtRange ---- */

int32_t ZtRange_count(const ZtRange* r) {
  /* Modular arithmetic: ranges are taken from wrapping frame counters. */
  return (int32_t)((uint32_t)r->last - (uint32_t)r->first + 1u);
}

/* ---- ZtSyncSetting ---- */

const ZtArrayDescriptor g_ztSyncSettingArrayDescriptor = {sizeof(ZtSyncSetting), NULL, NULL, NULL, NULL, NULL, NULL};

enum { SYNC_FIRST_OUTPUT_LINE = 8, SYNC_INVALID_LINE = 12 };

int ZtSyncSetting_isInput(const ZtSyncSetting* s) { return s->line >= 0 && s->line < SYNC_FIRST_OUTPUT_LINE; }

int ZtSyncSetting_isOutput(const ZtSyncSetting* s) {
  return s->line >= SYNC_FIRST_OUTPUT_LINE && s->line < SYNC_INVALID_LINE;
}

/* ---- ZtLibraryLoader ---- */

int ZtLibraryLoader_load(ZtLibraryLoader* l, const char* fileName) {
  ZtLibraryLoader_unload(l);
  if (!fileName || !*fileName) return 0;
  l->handle = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
  return l->handle != NULL;
}

int ZtLibraryLoader_isLoaded(const ZtLibraryLoader* l) { return l->handle != NULL; }

void* ZtLibraryLoader_resolve(const ZtLibraryLoader* l, const char* symbol) {
  if (!l->handle || !symbol) return NULL;
  return dlsym(l->handle, symbol);
}

void ZtLibraryLoader_unload(ZtLibraryLoader* l) {
  if (l->handle) dlclose(l->handle);
  l->handle = NULL;
}
