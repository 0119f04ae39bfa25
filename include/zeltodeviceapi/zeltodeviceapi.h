#ifndef ZELTODEVICEAPI_ZELTODEVICEAPI_H
#define ZELTODEVICEAPI_ZELTODEVICEAPI_H
/* The whole C interface of the device library (with the companion library's types). */
#include "zttypes/zttypes.h"
#include "zeltodeviceapi/zdaexport.h"
#include "zeltodeviceapi/zdalibrary.h"
#include "zeltodeviceapi/ztdeviceenums.h"
#include "zeltodeviceapi/ztdevicetypes.h"
#include "zeltodeviceapi/ztcallbackplainc.h"
#include "zeltodeviceapi/ztdevice.h"
#include "zeltodeviceapi/ztcontrol.h"
#include "zeltodeviceapi/ztscanner.h"
#include "zeltodeviceapi/ztdatabundler.h"
#endif
