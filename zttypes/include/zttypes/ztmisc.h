#ifndef ZTTYPES_ZTMISC_H
#define ZTTYPES_ZTMISC_H
#include <stddef.h>
#include <stdint.h>
#include "ztexport.h"
#include "ztarray.h"

ZTTYPES_BEGIN_DECLS

/* Four version numbers and a free text. */
typedef struct ZtVersion {
  uint32_t major, minor, revision, build;
  char text[64];
} ZtVersion;
/* "major.minor.revision" (build appended when non-zero, text after a blank when non-empty). */
ZTTYPES_API void ZtVersion_toString(const ZtVersion* v, ZtString* out);

/* A serial speed as a termios speed code (B9600, B115200 ...); 0 = none / not serial. */
typedef uint32_t ZtBaudRate;
/* Rate in bits/s <-> termios speed code; 0 for rates the system does not know. */
ZTTYPES_API ZtBaudRate ZtBaud_fromNumeric(uint32_t bitsPerSecond);
ZTTYPES_API uint32_t ZtBaud_toNumeric(ZtBaudRate rate);
/* The one-byte code sent in baud-rate messages <-> ZtBaudRate (one table); 0xFF / 0 when unknown.
 * Codes 0x01 to 0x0D stand for 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800,
 * 921600, 1000000, 2000000 and 4000000 bit/s; code 0 stands for no rate. */
ZTTYPES_API uint8_t ZtBaud_rateToCode(ZtBaudRate rate);
ZTTYPES_API ZtBaudRate ZtBaud_codeToRate(uint8_t code);

/* 264 bytes: a port found by a scan or given by the application. USB ports are named "USB%03u:%03u"
 * (bus, address). */
typedef struct ZtPortInfo {
  uint32_t deviceId;
  char portName[256];
  ZtBaudRate baudRate;
} ZtPortInfo;
ZTARRAY_DECLARE(ZtPortInfoArray, ZtPortInfo);
ZTTYPES_API extern const ZtArrayDescriptor g_ztPortInfoArrayDescriptor;
/* Bus number / device address of a "USB%03u:%03u" name; -1 for other names. */
ZTTYPES_API int ZtPortInfo_usbBus(const ZtPortInfo* p);
ZTTYPES_API int ZtPortInfo_usbAddress(const ZtPortInfo* p);

typedef struct ZtRange {
  int32_t first;
  int32_t last;
} ZtRange;
/* last - first + 1 */
ZTTYPES_API int32_t ZtRange_count(const ZtRange* r);

/* 28 bytes (27 used, padded to 4-byte alignment): one synchronisation line setting. Lines 0 to 7
 * are inputs, lines 8 to 11 outputs; 12 and above name no line. Times are in microseconds. */
typedef struct ZtSyncSetting {
  int32_t line;          /* ZtSyncLine number */
  int32_t function;      /* ZtSyncFunction number; 12 = none */
  int32_t polarity;      /* ZtSyncPolarity number, 1 to 3 */
  uint32_t pulseWidth;   /* microseconds */
  int32_t offset;        /* microseconds */
  uint16_t skipFirst;
  uint16_t skipFactor;
  uint16_t clockPeriod;
  uint8_t triggerOnce;
} ZtSyncSetting;
ZTARRAY_DECLARE(ZtSyncSettingArray, ZtSyncSetting);
ZTTYPES_API extern const ZtArrayDescriptor g_ztSyncSettingArrayDescriptor;
ZTTYPES_API int ZtSyncSetting_isInput(const ZtSyncSetting* s);
ZTTYPES_API int ZtSyncSetting_isOutput(const ZtSyncSetting* s);

/* Shared-object loader over dlopen / dlsym / dlclose. A zero-initialised loader holds nothing;
 * load unloads what it held first. */
typedef struct ZtLibraryLoader {
  void* handle;
} ZtLibraryLoader;
ZTTYPES_API int ZtLibraryLoader_load(ZtLibraryLoader* l, const char* fileName); /* 1 on success */
ZTTYPES_API int ZtLibraryLoader_isLoaded(const ZtLibraryLoader* l);
ZTTYPES_API void* ZtLibraryLoader_resolve(const ZtLibraryLoader* l, const char* symbol); /* null if missing */
ZTTYPES_API void ZtLibraryLoader_unload(ZtLibraryLoader* l);

ZTTYPES_END_DECLS
#endif
