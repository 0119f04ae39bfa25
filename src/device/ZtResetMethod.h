#ifndef ZELTO_DEVICE_ZTRESETMETHOD_H
#define ZELTO_DEVICE_ZTRESETMETHOD_H
/* Orientation reset methods (32-bit). The values 2, 5, 6 and 7 exist as well; their meaning is
 * the device class's. */
typedef enum ZtResetMethod {
  ZRM_StoreAlignment = 0, /* store the current alignment in the device (in Config) */
  ZRM_Heading = 1,
  ZRM_Object = 3,
  ZRM_Alignment = 4,
  ZRM_None = 8            /* no reset pending */
} ZtResetMethod;
#endif
