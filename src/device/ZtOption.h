#ifndef ZELTO_DEVICE_ZTOPTION_H
#define ZELTO_DEVICE_ZTOPTION_H
/* Host-side processing options of a device (32-bit); other values name no option. */
typedef enum ZtOption {
  ZO_SoftwareCalibration = 0,
  ZO_SoftwareFiltering = 1
} ZtOption;
#endif
