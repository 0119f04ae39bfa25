#pragma once
// What a Communicator needs from the master device on its port. The device model implements it;
// the link never owns the device. The device registers itself with Communicator::setMasterDevice
// and must unregister (null) before it goes, after the link's reading has stopped.
//
// Thread context: handleMessage and messageReceivedFromDevice run on the pool thread that parses
// the link's input (or on the thread reading a log file); messageSentToDevice on whichever thread
// writes; configuredDeviceCount on the parse thread.
#include <cstdint>

#include "zeltodeviceapi/ztdevicetypes.h"
#include "zttypes/ztdeviceid.h"
#include "zttypes/ztmessage.h"

class LinkDevice {
 public:
  virtual ~LinkDevice() = default;

  // A message from the port that no waiting request took; the device routes it (by bus id to a
  // child where it has children).
  virtual void handleMessage(const ZtMessage& message) = 0;
  // The link's entry for such a message: handleMessage with whatever the device keeps around its
  // handling (the device model defers an ending asked for by a handler until it has returned).
  virtual void handleLinkMessage(const ZtMessage& message) { handleMessage(message); }
  // Raise onMessageReceivedFromDevice / onMessageSentToDevice on the device's own handlers, with
  // the device as argument.
  virtual void messageReceivedFromDevice(const ZtMessage& message) = 0;
  virtual void messageSentToDevice(const ZtMessage& message) = 0;
  // Number of devices in the master's configuration (0 when none).
  virtual uint16_t configuredDeviceCount() const = 0;
  // The device object itself (for events and lookups), its id, and a child by id (null if none;
  // never the device itself).
  virtual ZtDevice* linkedDevice() = 0;
  virtual ZtDeviceId linkedDeviceId() const = 0;
  virtual ZtDevice* findLinkedChild(ZtDeviceId id) = 0;
};
