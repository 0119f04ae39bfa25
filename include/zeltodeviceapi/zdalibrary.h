#ifndef ZELTODEVICEAPI_ZDALIBRARY_H
#define ZELTODEVICEAPI_ZDALIBRARY_H
/* Library-wide functions of the device library. */
#include "zttypes/ztarray.h"
#include "zdaexport.h"

ZDA_BEGIN_DECLS

/* Starts (or restarts) the library journal in the file path + "zda.log"; the path is used as
 * given, so a directory needs its trailing '/'. Journalling is off until this is called. */
ZDA_API void zdaSetLogPath(const ZtString* path);

ZDA_END_DECLS
#endif
