#ifndef ZELTO_DEVICE_ZTOPTION_H
#define ZELTO_DEVICE_ZTOPTION_H
/* The device enumerations are part of the public C interface. */
#include "zeltodeviceapi/ztdeviceenums.h"
#endif
