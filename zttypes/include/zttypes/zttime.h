#ifndef ZTTYPES_ZTTIME_H
#define ZTTYPES_ZTTIME_H
#include <stdint.h>
#include "ztexport.h"

ZTTYPES_BEGIN_DECLS

/* Milliseconds since the Unix epoch (signed). */
typedef int64_t ZtTimeStamp;

typedef struct ZtDateTime {
  int year, month, day, hour, minute, second, millisecond;
} ZtDateTime;

ZTTYPES_API ZtTimeStamp ZtTimeStamp_now(void);
ZTTYPES_API void ZtTime_msleep(uint32_t milliseconds);
/* Milliseconds since local midnight. */
ZTTYPES_API uint32_t ZtTime_getTimeOfDay(void);
/* Called once when the device library loads; fixes the time base. Safe to call again. */
ZTTYPES_API void ZtTime_initializeTime(void);
ZTTYPES_API void ZtTime_getDateTime(ZtDateTime* out);
/* Fill exactly 8 characters (no NUL): "YYYYMMDD" and "HHMMSSmm" (mm: hundredths). */
ZTTYPES_API void ZtTime_getDateAsString(char* dest8);
ZTTYPES_API void ZtTime_getTimeAsString(char* dest8);

ZTTYPES_END_DECLS
#endif
