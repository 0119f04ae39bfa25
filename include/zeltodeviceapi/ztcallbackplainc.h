#ifndef ZELTODEVICEAPI_ZTCALLBACKPLAINC_H
#define ZELTODEVICEAPI_ZTCALLBACKPLAINC_H
/* The event handler table that applications register on a control, a device or a data bundler
 * (ZtControl_addCallbackHandler ...). One entry per event, in this order; every entry receives
 * the table itself first and the device second. A null entry means the handler does not take
 * that event. Packets, messages and texts are only valid during the call.
 *
 * Threads: events are raised on library worker threads, often on several at once; a handler
 * must return promptly and must not block on a lock that the thread registering or removing
 * handlers may hold. Removing a handler from outside any callback waits until no other thread
 * is still calling it; afterwards it may be freed. A handler may add or remove handlers (itself
 * included) from inside its own callback. */
#include "zttypes/ztarray.h"
#include "zttypes/ztdatapacket.h"
#include "zttypes/ztmessage.h"
#include "zttypes/ztresult.h"
#include "zeltodeviceapi/ztdevicetypes.h"

ZDA_BEGIN_DECLS

typedef struct ZtCallbackPlainC {
  void (*m_onDeviceStateChanged)(struct ZtCallbackPlainC* cb, ZtDevice* dev, ZtDeviceState newState,
                                 ZtDeviceState oldState);
  void (*m_onDataAvailable)(struct ZtCallbackPlainC* cb, ZtDevice* dev, const ZtDataPacket* packet);
  void (*m_onMissedPackets)(struct ZtCallbackPlainC* cb, ZtDevice* dev, int count, int first, int last);
  void (*m_onWakeupReceived)(struct ZtCallbackPlainC* cb, ZtDevice* dev);
  void (*m_onProgressUpdated)(struct ZtCallbackPlainC* cb, ZtDevice* dev, int current, int total,
                              const ZtString* identifier);
  /* Non-zero: the message may be written to the log file. */
  int (*m_onWriteMessageToLogFile)(struct ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message);
  /* Non-zero: the packet may be written to the log file. */
  int (*m_onWriteDataToLogFile)(struct ZtCallbackPlainC* cb, ZtDevice* dev, const ZtDataPacket* packet);
  void (*m_onConnectivityChanged)(struct ZtCallbackPlainC* cb, ZtDevice* dev, ZtConnectivityState newState);
  void (*m_onInfoResponse)(struct ZtCallbackPlainC* cb, ZtDevice* dev, ZtInfoRequest request);
  void (*m_onError)(struct ZtCallbackPlainC* cb, ZtDevice* dev, ZtResultValue error);
  void (*m_onNonDataMessage)(struct ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message);
  void (*m_onMessageReceivedFromDevice)(struct ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message);
  void (*m_onMessageSentToDevice)(struct ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message);
} ZtCallbackPlainC;

ZDA_END_DECLS

#endif
