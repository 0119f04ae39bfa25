#ifndef ZELTO_DEVICE_ZTERRORMODE_H
#define ZELTO_DEVICE_ZTERRORMODE_H
#include <stdint.h>
/* How a device reacts to errors, as the device's own 16-bit setting (devices without the
 * setting report 4). */
typedef uint32_t ZtErrorMode;
#endif
