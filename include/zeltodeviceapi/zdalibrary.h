#ifndef ZELTODEVICEAPI_ZDALIBRARY_H
#define ZELTODEVICEAPI_ZDALIBRARY_H
/* Library-wide functions of the device library. */
#include "zttypes/ztarray.h"
#include "zttypes/ztmisc.h"
#include "zdaexport.h"

ZDA_BEGIN_DECLS

/* Starts (or restarts) the library journal in the file path + "zda.log"; the path is used as
 * given, so a directory needs its trailing '/'. Journalling is off until this is called. */
ZDA_API void zdaSetLogPath(const ZtString* path);
/* The interface version: 4.1.0.0 with an empty text. Null is ignored. */
ZDA_API void zdaDllVersion(ZtVersion* version);
/* Sets path (constructed by the caller) to the empty text. Null is ignored. */
ZDA_API void zdaDllPath(ZtString* path);

ZDA_END_DECLS

#ifdef __cplusplus
/* Battery level in percent from a wireless tracker's raw reading (0 to 200 maps to 0 to 100, odd
 * readings round down, above 200 gives 100; a negative reading gives a negative level). */
ZDA_API int ztScaleBatteryLevel(int raw);
#endif

#endif
