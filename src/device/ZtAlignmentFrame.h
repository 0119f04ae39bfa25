#ifndef ZELTO_DEVICE_ZTALIGNMENTFRAME_H
#define ZELTO_DEVICE_ZTALIGNMENTFRAME_H
/* The frame an alignment rotation applies to (32-bit). */
typedef enum ZtAlignmentFrame {
  ZAF_Sensor = 0,
  ZAF_Local = 1
} ZtAlignmentFrame;
#endif
