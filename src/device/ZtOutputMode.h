#ifndef ZELTO_DEVICE_ZTOUTPUTMODE_H
#define ZELTO_DEVICE_ZTOUTPUTMODE_H
#include <stdint.h>
/* Legacy output mode: the ZTOM_ flags of zeltodeviceapi/ztdevicetypes.h (32-bit). */
typedef uint32_t ZtOutputMode;
#endif
