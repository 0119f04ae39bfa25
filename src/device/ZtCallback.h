#pragma once
// Class-interface event handler. The constructor points every entry of the inherited C table at
// a static forwarder that calls the virtual operation of the same event, so a ZtCallback can be
// registered wherever a ZtCallbackPlainC is taken.
//
// The default operations clear their own C entry and do nothing else (the two consent events
// also consent): an event a derived class does not override reaches it once, and from then on
// every manager skips that entry without calling into the object. Clearing is an atomic
// pointer-sized store, the only write a handler makes that fan-outs on other threads read.
#include <atomic>

#include "device/ZtCallbackPlainC.h"

class ZtCallback : public ZtCallbackPlainC {
 public:
  ZtCallback();
  virtual ~ZtCallback();

  virtual void onDeviceStateChanged(ZtDevice* dev, ZtDeviceState newState, ZtDeviceState oldState);
  virtual void onDataAvailable(ZtDevice* dev, const ZtDataPacket* packet);
  virtual void onMissedPackets(ZtDevice* dev, int count, int first, int last);
  virtual void onWakeupReceived(ZtDevice* dev);
  virtual void onProgressUpdated(ZtDevice* dev, int current, int total, const ZtString* identifier);
  virtual bool onWriteMessageToLogFile(ZtDevice* dev, const ZtMessage* message);
  virtual bool onWriteDataToLogFile(ZtDevice* dev, const ZtDataPacket* packet);
  virtual void onConnectivityChanged(ZtDevice* dev, ZtConnectivityState newState);
  virtual void onInfoResponse(ZtDevice* dev, ZtInfoRequest request);
  virtual void onError(ZtDevice* dev, ZtResultValue error);
  virtual void onNonDataMessage(ZtDevice* dev, const ZtMessage* message);
  virtual void onMessageReceivedFromDevice(ZtDevice* dev, const ZtMessage* message);
  virtual void onMessageSentToDevice(ZtDevice* dev, const ZtMessage* message);

  // The C entries: each converts the table back to its ZtCallback and calls the virtual
  // operation of the same event.
  static void sonDeviceStateChanged(ZtCallbackPlainC* cb, ZtDevice* dev, ZtDeviceState newState,
                                    ZtDeviceState oldState);
  static void sonDataAvailable(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtDataPacket* packet);
  static void sonMissedPackets(ZtCallbackPlainC* cb, ZtDevice* dev, int count, int first, int last);
  static void sonWakeupReceived(ZtCallbackPlainC* cb, ZtDevice* dev);
  static void sonProgressUpdated(ZtCallbackPlainC* cb, ZtDevice* dev, int current, int total,
                                 const ZtString* identifier);
  static int sonWriteMessageToLogFile(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message);
  static int sonWriteDataToLogFile(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtDataPacket* packet);
  static void sonConnectivityChanged(ZtCallbackPlainC* cb, ZtDevice* dev, ZtConnectivityState newState);
  static void sonInfoResponse(ZtCallbackPlainC* cb, ZtDevice* dev, ZtInfoRequest request);
  static void sonError(ZtCallbackPlainC* cb, ZtDevice* dev, ZtResultValue error);
  static void sonNonDataMessage(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message);
  static void sonMessageReceivedFromDevice(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message);
  static void sonMessageSentToDevice(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message);

  // Entries are read and cleared with these so that a fan-out on one thread and a default
  // clearing the entry on another never tear or race.
  template <typename F>
  static F loadEntry(F& entry) {
    return std::atomic_ref<F>(entry).load(std::memory_order_relaxed);
  }
  template <typename F>
  static void clearEntry(F& entry) {
    std::atomic_ref<F>(entry).store(nullptr, std::memory_order_relaxed);
  }
};
