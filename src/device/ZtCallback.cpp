#include "device/ZtCallback.h"

ZtCallback::ZtCallback() {
  m_onDeviceStateChanged = &ZtCallback::sonDeviceStateChanged;
  m_onDataAvailable = &ZtCallback::sonDataAvailable;
  m_onMissedPackets = &ZtCallback::sonMissedPackets;
  m_onWakeupReceived = &ZtCallback::sonWakeupReceived;
  m_onProgressUpdated = &ZtCallback::sonProgressUpdated;
  m_onWriteMessageToLogFile = &ZtCallback::sonWriteMessageToLogFile;
  m_onWriteDataToLogFile = &ZtCallback::sonWriteDataToLogFile;
  m_onConnectivityChanged = &ZtCallback::sonConnectivityChanged;
  m_onInfoResponse = &ZtCallback::sonInfoResponse;
  m_onError = &ZtCallback::sonError;
  m_onNonDataMessage = &ZtCallback::sonNonDataMessage;
  m_onMessageReceivedFromDevice = &ZtCallback::sonMessageReceivedFromDevice;
  m_onMessageSentToDevice = &ZtCallback::sonMessageSentToDevice;
}

ZtCallback::~ZtCallback() = default;

// ---- Defaults: clear the own entry once, so later fan-outs skip it ----

void ZtCallback::onDeviceStateChanged(ZtDevice*, ZtDeviceState, ZtDeviceState) {
  clearEntry(m_onDeviceStateChanged);
}
void ZtCallback::onDataAvailable(ZtDevice*, const ZtDataPacket*) { clearEntry(m_onDataAvailable); }
void ZtCallback::onMissedPackets(ZtDevice*, int, int, int) { clearEntry(m_onMissedPackets); }
void ZtCallback::onWakeupReceived(ZtDevice*) { clearEntry(m_onWakeupReceived); }
void ZtCallback::onProgressUpdated(ZtDevice*, int, int, const ZtString*) { clearEntry(m_onProgressUpdated); }
bool ZtCallback::onWriteMessageToLogFile(ZtDevice*, const ZtMessage*) {
  clearEntry(m_onWriteMessageToLogFile);
  return true;
}
bool ZtCallback::onWriteDataToLogFile(ZtDevice*, const ZtDataPacket*) {
  clearEntry(m_onWriteDataToLogFile);
  return true;
}
void ZtCallback::onConnectivityChanged(ZtDevice*, ZtConnectivityState) { clearEntry(m_onConnectivityChanged); }
void ZtCallback::onInfoResponse(ZtDevice*, ZtInfoRequest) { clearEntry(m_onInfoResponse); }
void ZtCallback::onError(ZtDevice*, ZtResultValue) { clearEntry(m_onError); }
void ZtCallback::onNonDataMessage(ZtDevice*, const ZtMessage*) { clearEntry(m_onNonDataMessage); }
void ZtCallback::onMessageReceivedFromDevice(ZtDevice*, const ZtMessage*) {
  clearEntry(m_onMessageReceivedFromDevice);
}
void ZtCallback::onMessageSentToDevice(ZtDevice*, const ZtMessage*) { clearEntry(m_onMessageSentToDevice); }

// ---- Forwarders ----

namespace {
inline ZtCallback* self(ZtCallbackPlainC* cb) { return static_cast<ZtCallback*>(cb); }
}  // namespace

void ZtCallback::sonDeviceStateChanged(ZtCallbackPlainC* cb, ZtDevice* dev, ZtDeviceState newState,
                                       ZtDeviceState oldState) {
  self(cb)->onDeviceStateChanged(dev, newState, oldState);
}
void ZtCallback::sonDataAvailable(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtDataPacket* packet) {
  self(cb)->onDataAvailable(dev, packet);
}
void ZtCallback::sonMissedPackets(ZtCallbackPlainC* cb, ZtDevice* dev, int count, int first, int last) {
  self(cb)->onMissedPackets(dev, count, first, last);
}
void ZtCallback::sonWakeupReceived(ZtCallbackPlainC* cb, ZtDevice* dev) { self(cb)->onWakeupReceived(dev); }
void ZtCallback::sonProgressUpdated(ZtCallbackPlainC* cb, ZtDevice* dev, int current, int total,
                                    const ZtString* identifier) {
  self(cb)->onProgressUpdated(dev, current, total, identifier);
}
int ZtCallback::sonWriteMessageToLogFile(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message) {
  return self(cb)->onWriteMessageToLogFile(dev, message) ? 1 : 0;
}
int ZtCallback::sonWriteDataToLogFile(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtDataPacket* packet) {
  return self(cb)->onWriteDataToLogFile(dev, packet) ? 1 : 0;
}
void ZtCallback::sonConnectivityChanged(ZtCallbackPlainC* cb, ZtDevice* dev, ZtConnectivityState newState) {
  self(cb)->onConnectivityChanged(dev, newState);
}
void ZtCallback::sonInfoResponse(ZtCallbackPlainC* cb, ZtDevice* dev, ZtInfoRequest request) {
  self(cb)->onInfoResponse(dev, request);
}
void ZtCallback::sonError(ZtCallbackPlainC* cb, ZtDevice* dev, ZtResultValue error) {
  self(cb)->onError(dev, error);
}
void ZtCallback::sonNonDataMessage(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message) {
  self(cb)->onNonDataMessage(dev, message);
}
void ZtCallback::sonMessageReceivedFromDevice(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message) {
  self(cb)->onMessageReceivedFromDevice(dev, message);
}
void ZtCallback::sonMessageSentToDevice(ZtCallbackPlainC* cb, ZtDevice* dev, const ZtMessage* message) {
  self(cb)->onMessageSentToDevice(dev, message);
}
