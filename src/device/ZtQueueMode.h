#ifndef ZELTO_DEVICE_ZTQUEUEMODE_H
#define ZELTO_DEVICE_ZTQUEUEMODE_H
/* How a device hands its packets to the application (32-bit). */
typedef enum ZtQueueMode {
  ZQM_CallbacksOnly = 0, /* onDataAvailable only; the ready cache is not filled (except in playback) */
  ZQM_Queue = 1,         /* every packet is also kept in the ready cache until taken */
  ZQM_LatestOnly = 2     /* the ready cache keeps only the newest packet */
} ZtQueueMode;
#endif
