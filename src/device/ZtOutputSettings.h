#ifndef ZELTO_DEVICE_ZTOUTPUTSETTINGS_H
#define ZELTO_DEVICE_ZTOUTPUTSETTINGS_H
#include <stdint.h>
/* Legacy output settings: the ZTOS_ flags of zeltodeviceapi/ztdevicetypes.h (32-bit). */
typedef uint32_t ZtOutputSettings;
#endif
