#ifndef ZELTO_DEVICE_ZTALIGNMENTFRAME_H
#define ZELTO_DEVICE_ZTALIGNMENTFRAME_H
/* The device enumerations are part of the public C interface. */
#include "zeltodeviceapi/ztdeviceenums.h"
#endif
