// The ZtDevice_* functions of the C interface: one wrapper per device operation, called through
// the device's virtual table so that the device class's override runs. Features a device class
// lacks answer with the device model's defaults. Every wrapper goes through the C boundary
// guards (control/CBoundary.h).
#include <vector>

#include "control/CBoundary.h"
#include "device/ZtDevice.h"
#include "zeltodeviceapi/ztdevice.h"

using namespace zelto::cabi;

ZDA_API void ZtDevice_addRef(ZtDevice* device) {
  callVoid(__func__, device, [&] { device->addRef(); });
}

ZDA_API void ZtDevice_removeRef(ZtDevice* device) {
  callVoid(__func__, device, [&] { device->removeRef(); });
}

ZDA_API int64_t ZtDevice_refCounter(ZtDevice* device) {
  return call<int64_t>(__func__, device, 0, [&] { return device->refCounter(); });
}

ZDA_API ZtDevice* ZtDevice_master(ZtDevice* device) {
  return call<ZtDevice*>(__func__, device, nullptr, [&] { return device->master(); });
}

ZDA_API ZtDevicePtrArray* ZtDevice_children(ZtDevice* device, ZtDevicePtrArray* out) {
  return callOut(__func__, device, out, [&] { assignArray(out, device->children()); });
}

ZDA_API ZtDevice* ZtDevice_findDevice(ZtDevice* device, ZtDeviceId deviceId) {
  return call<ZtDevice*>(__func__, device, nullptr, [&] { return device->findDevice(deviceId); });
}

ZDA_API int ZtDevice_busId(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->busId(); });
}

ZDA_API ZtDeviceId* ZtDevice_deviceId(ZtDevice* device, ZtDeviceId* out) {
  return callOut(__func__, device, out, [&] { *out = device->deviceId(); });
}

ZDA_API ZtVersion* ZtDevice_firmwareVersion(ZtDevice* device, ZtVersion* out) {
  return callOut(__func__, device, out, [&] { *out = device->firmwareVersion(); });
}

ZDA_API int ZtDevice_isMasterDevice(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isMasterDevice()); });
}

ZDA_API int ZtDevice_isInitialized(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isInitialized()); });
}

ZDA_API ZtDevice* ZtDevice_deviceAtBusId(ZtDevice* device, int busId) {
  return call<ZtDevice*>(__func__, device, nullptr, [&] { return device->deviceAtBusId(busId); });
}

ZDA_API const ZtDevice* ZtDevice_deviceAtBusId_1(ZtDevice* device, int busId) {
  return call<const ZtDevice*>(__func__, device, nullptr,
                               [&] { return static_cast<const ZtDevice*>(device)->deviceAtBusId(busId); });
}

ZDA_API void ZtDevice_setGotoConfigOnClose(ZtDevice* device, int gotoConfig) {
  callVoid(__func__, device, [&] { device->setGotoConfigOnClose(gotoConfig != 0); });
}

ZDA_API ZtResultValue ZtDevice_createLogFile(ZtDevice* device, const ZtString* fileName) {
  return call<ZtResultValue>(__func__, device, ZRV_ERROR, [&] {
    if (!fileName) return static_cast<ZtResultValue>(ZRV_INVALIDPARAM);
    return device->createLogFile(*fileName);
  });
}

ZDA_API int ZtDevice_closeLogFile(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->closeLogFile()); });
}

ZDA_API int ZtDevice_isMeasuring(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isMeasuring()); });
}

ZDA_API int ZtDevice_isRecording(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isRecording()); });
}

ZDA_API int ZtDevice_isReadingFromFile(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isReadingFromFile()); });
}

ZDA_API void ZtDevice_restartFilter(ZtDevice* device) {
  callVoid(__func__, device, [&] { device->restartFilter(); });
}

ZDA_API size_t ZtDevice_queueLength(ZtDevice* device) {
  return call<size_t>(__func__, device, 0, [&] { return device->queueLength(); });
}

ZDA_API ZtDeviceState ZtDevice_deviceState(ZtDevice* device) {
  return call<ZtDeviceState>(__func__, device, ZDS_Initial, [&] { return device->deviceState(); });
}

ZDA_API ZtDataPacket* ZtDevice_nextAvailableDataPacket(ZtDevice* device, ZtDataPacket* out) {
  return callOut(__func__, device, out, [&] {
    Taken<ZtDataPacket, ZtDataPacket_destruct> packet{device->nextAvailableDataPacket()};
    ZtDataPacket_swap(out, &packet.value);
  });
}

ZDA_API ZtDataPacket* ZtDevice_dataPacketByIndex(ZtDevice* device, ZtDataPacket* out, uint32_t index) {
  return callOut(__func__, device, out, [&] {
    Taken<ZtDataPacket, ZtDataPacket_destruct> packet{device->dataPacketByIndex(index)};
    ZtDataPacket_swap(out, &packet.value);
  });
}

ZDA_API ZtDataPacket* ZtDevice_dataPacketById(ZtDevice* device, ZtDataPacket* out, uint64_t packetId) {
  return callOut(__func__, device, out, [&] {
    Taken<ZtDataPacket, ZtDataPacket_destruct> packet{device->dataPacketById(packetId)};
    ZtDataPacket_swap(out, &packet.value);
  });
}

ZDA_API void ZtDevice_clearCallbackHandlers(ZtDevice* device, int chain) {
  callVoid(__func__, device, [&] { device->clearCallbackHandlers(chain != 0); });
}

ZDA_API void ZtDevice_addCallbackHandler(ZtDevice* device, ZtCallbackPlainC* handler, int chain) {
  callVoid(__func__, device, [&] { device->addCallbackHandler(handler, chain != 0); });
}

ZDA_API void ZtDevice_removeCallbackHandler(ZtDevice* device, ZtCallbackPlainC* handler, int chain) {
  callVoid(__func__, device, [&] { device->removeCallbackHandler(handler, chain != 0); });
}

ZDA_API ZtDeviceConfiguration* ZtDevice_deviceConfiguration(ZtDevice* device, ZtDeviceConfiguration* out) {
  return callOut(__func__, device, out, [&] { ZtDeviceConfiguration_copy(out, &device->deviceConfiguration()); });
}

ZDA_API void ZtDevice_clear(ZtDevice* device) {
  callVoid(__func__, device, [&] { device->clear(); });
}

ZDA_API int ZtDevice_batteryLevel(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->batteryLevel(); });
}

ZDA_API int ZtDevice_updateRateForDataIdentifier(ZtDevice* device, ZtDataIdentifier dataIdentifier) {
  return call<int>(__func__, device, 0, [&] { return device->updateRateForDataIdentifier(dataIdentifier); });
}

ZDA_API int ZtDevice_updateRateForProcessedDataIdentifier(ZtDevice* device, ZtDataIdentifier dataIdentifier) {
  return call<int>(__func__, device, 0, [&] { return device->updateRateForProcessedDataIdentifier(dataIdentifier); });
}

ZDA_API ZtInt32Array* ZtDevice_supportedUpdateRates(ZtDevice* device, ZtInt32Array* out,
                                                    ZtDataIdentifier dataIdentifier) {
  return callOut(__func__, device, out, [&] { assignArray(out, device->supportedUpdateRates(dataIdentifier)); });
}

ZDA_API int ZtDevice_maximumUpdateRate(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->maximumUpdateRate(); });
}

ZDA_API int ZtDevice_hasDataEnabled(ZtDevice* device, ZtDataIdentifier dataIdentifier) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->hasDataEnabled(dataIdentifier)); });
}

ZDA_API int ZtDevice_hasProcessedDataEnabled(ZtDevice* device, ZtDataIdentifier dataIdentifier) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->hasProcessedDataEnabled(dataIdentifier)); });
}

ZDA_API ZtString* ZtDevice_productCode(ZtDevice* device, ZtString* out) {
  return callOut(__func__, device, out, [&] {
    Taken<ZtString, ZtString_destruct> text{device->productCode()};
    ZtString_assignCharArray(out, ZtString_c_str(&text.value));
  });
}

ZDA_API ZtString* ZtDevice_portName(ZtDevice* device, ZtString* out) {
  return callOut(__func__, device, out, [&] {
    Taken<ZtString, ZtString_destruct> text{device->portName()};
    ZtString_assignCharArray(out, ZtString_c_str(&text.value));
  });
}

ZDA_API ZtBaudRate ZtDevice_baudRate(ZtDevice* device) {
  return call<ZtBaudRate>(__func__, device, 0, [&] { return device->baudRate(); });
}

ZDA_API ZtBaudRate ZtDevice_serialBaudRate(ZtDevice* device) {
  return call<ZtBaudRate>(__func__, device, 0, [&] { return device->serialBaudRate(); });
}

ZDA_API ZtVersion* ZtDevice_hardwareVersion(ZtDevice* device, ZtVersion* out) {
  return callOut(__func__, device, out, [&] { *out = device->hardwareVersion(); });
}

ZDA_API int ZtDevice_startRecording(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->startRecording()); });
}

ZDA_API int ZtDevice_stopRecording(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->stopRecording()); });
}

ZDA_API int ZtDevice_setOptionEnabled(ZtDevice* device, ZtOption option, int enable) {
  if (!isOption(option)) return 0;
  return call<int>(__func__, device, 0, [&] { return asInt(device->setOptionEnabled(option, enable != 0)); });
}

ZDA_API int ZtDevice_isOptionEnabled(ZtDevice* device, ZtOption option) {
  if (!isOption(option)) return 0;
  return call<int>(__func__, device, 0, [&] { return asInt(device->isOptionEnabled(option)); });
}

ZDA_API int ZtDevice_initializeFilter(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->initializeFilter()); });
}

ZDA_API int ZtDevice_sendCustomMessage(ZtDevice* device, const ZtMessage* message, int waitForResult, ZtMessage* reply,
                                       int timeoutMs) {
  return call<int>(__func__, device, 0,
                   [&] { return asInt(device->sendCustomMessage(*message, waitForResult != 0, *reply, timeoutMs)); });
}

ZDA_API int ZtDevice_sendRawMessage(ZtDevice* device, const ZtMessage* message) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->sendRawMessage(*message)); });
}

ZDA_API int ZtDevice_setSerialBaudRate(ZtDevice* device, ZtBaudRate baudRate) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setSerialBaudRate(baudRate)); });
}

ZDA_API int ZtDevice_isMotionTracker(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isMotionTracker()); });
}

ZDA_API ZtOutputMode ZtDevice_outputMode(ZtDevice* device) {
  return call<ZtOutputMode>(__func__, device, 0, [&] { return device->outputMode(); });
}

ZDA_API int ZtDevice_setOutputMode(ZtDevice* device, ZtOutputMode mode) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setOutputMode(mode)); });
}

ZDA_API ZtOutputSettings ZtDevice_outputSettings(ZtDevice* device) {
  return call<ZtOutputSettings>(__func__, device, 0, [&] { return device->outputSettings(); });
}

ZDA_API int ZtDevice_setOutputSettings(ZtDevice* device, ZtOutputSettings settings) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setOutputSettings(settings)); });
}

ZDA_API int ZtDevice_updateRate(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->updateRate(); });
}

ZDA_API int ZtDevice_setUpdateRate(ZtDevice* device, int rate) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setUpdateRate(rate)); });
}

ZDA_API ZtOutputConfigurationArray* ZtDevice_outputConfiguration(ZtDevice* device, ZtOutputConfigurationArray* out) {
  return callOut(__func__, device, out, [&] {
    Taken<ZtOutputConfigurationArray, destructArray> items{device->outputConfiguration()};
    assignArray(out, items.value);
  });
}

ZDA_API ZtOutputConfigurationArray* ZtDevice_processedOutputConfiguration(ZtDevice* device,
                                                                          ZtOutputConfigurationArray* out) {
  return callOut(__func__, device, out, [&] {
    Taken<ZtOutputConfigurationArray, destructArray> items{device->processedOutputConfiguration()};
    assignArray(out, items.value);
  });
}

ZDA_API int ZtDevice_setOutputConfiguration(ZtDevice* device, ZtOutputConfigurationArray* configuration) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setOutputConfiguration(*configuration)); });
}

ZDA_API int ZtDevice_isInLegacyMode(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isInLegacyMode()); });
}

ZDA_API int ZtDevice_isInStringOutputMode(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isInStringOutputMode()); });
}

ZDA_API int ZtDevice_usesLegacyDeviceMode(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->usesLegacyDeviceMode()); });
}

ZDA_API int ZtDevice_stringOutputType(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->stringOutputType(); });
}

ZDA_API int ZtDevice_setStringOutputType(ZtDevice* device, uint16_t type) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setStringOutputType(type)); });
}

ZDA_API int ZtDevice_samplePeriod(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->samplePeriod(); });
}

ZDA_API int ZtDevice_setSamplePeriod(ZtDevice* device, uint16_t period) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setSamplePeriod(period)); });
}

ZDA_API int ZtDevice_outputSkipFactor(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->outputSkipFactor(); });
}

ZDA_API int ZtDevice_setOutputSkipFactor(ZtDevice* device, uint16_t skipFactor) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setOutputSkipFactor(skipFactor)); });
}

ZDA_API ZtDeviceMode ZtDevice_deviceMode(ZtDevice* device) {
  return call<ZtDeviceMode>(__func__, device, ZtDeviceMode{}, [&] { return device->deviceMode(); });
}

ZDA_API int ZtDevice_setDeviceMode(ZtDevice* device, const ZtDeviceMode* mode) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setDeviceMode(*mode)); });
}

ZDA_API int ZtDevice_dataLength(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->dataLength(); });
}

ZDA_API void ZtDevice_clearCache(ZtDevice* device) {
  callVoid(__func__, device, [&] { device->clearCache(); });
}

ZDA_API ZtSyncSettingArray* ZtDevice_syncSettings(ZtDevice* device, ZtSyncSettingArray* out) {
  return callOut(__func__, device, out, [&] { assignArray(out, device->syncSettings()); });
}

ZDA_API int ZtDevice_setSyncSettings(ZtDevice* device, const ZtSyncSettingArray* settings) {
  // An array of another item size is refused rather than read past its end.
  return call<int>(__func__, device, 0, [&] {
    std::vector<ZtSyncSetting> items;
    return asInt(copyItems(settings, items) && device->setSyncSettings(items));
  });
}

ZDA_API int ZtDevice_isSyncMaster(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isSyncMaster()); });
}

ZDA_API int ZtDevice_isSyncSlave(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isSyncSlave()); });
}

ZDA_API ZtSyncSettingArray* ZtDevice_supportedSyncSettings(ZtDevice* device, ZtSyncSettingArray* out) {
  return callOut(__func__, device, out, [&] { assignArray(out, device->supportedSyncSettings()); });
}

ZDA_API int ZtDevice_gotoMeasurement(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->gotoMeasurement()); });
}

ZDA_API int ZtDevice_gotoConfig(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->gotoConfig()); });
}

ZDA_API int ZtDevice_restoreFactoryDefaults(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->restoreFactoryDefaults()); });
}

ZDA_API int ZtDevice_reset(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->reset()); });
}

ZDA_API void ZtDevice_writeDeviceSettingsToFile(ZtDevice* device) {
  callVoid(__func__, device, [&] { device->writeDeviceSettingsToFile(); });
}

ZDA_API void ZtDevice_flushInputBuffers(ZtDevice* device, int alsoWorkingCache) {
  callVoid(__func__, device, [&] { device->flushInputBuffers(alsoWorkingCache != 0); });
}

ZDA_API int ZtDevice_syncRole(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->syncRole(); });
}

ZDA_API int ZtDevice_loadLogFile(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->loadLogFile()); });
}

ZDA_API int ZtDevice_abortLoadLogFile(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->abortLoadLogFile()); });
}

ZDA_API ZtString* ZtDevice_logFileName(ZtDevice* device, ZtString* out) {
  return callOut(__func__, device, out, [&] {
    Taken<ZtString, ZtString_destruct> text{device->logFileName()};
    ZtString_assignCharArray(out, ZtString_c_str(&text.value));
  });
}

ZDA_API uint8_t ZtDevice_peekMessageId(ZtDevice* device) {
  return call<uint8_t>(__func__, device, 0, [&] { return device->peekMessageId(); });
}

ZDA_API int64_t ZtDevice_logFileSize(ZtDevice* device) {
  return call<int64_t>(__func__, device, 0, [&] { return device->logFileSize(); });
}

ZDA_API uint64_t ZtDevice_logFileReadPosition(ZtDevice* device) {
  return call<uint64_t>(__func__, device, ~uint64_t{0}, [&] { return device->logFileReadPosition(); });
}

ZDA_API uint32_t ZtDevice_droppedPacketCount(ZtDevice* device) {
  return call<uint32_t>(__func__, device, 0, [&] { return device->droppedPacketCount(); });
}

// Every method is handed on: its meaning beyond the named ones is the device class's (and the
// device's, which answers an unknown one with a refusal).
ZDA_API int ZtDevice_resetOrientation(ZtDevice* device, ZtResetMethod method) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->resetOrientation(method)); });
}

ZDA_API int ZtDevice_resetLogFileReadPosition(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->resetLogFileReadPosition()); });
}

ZDA_API int ZtDevice_updateCachedDeviceInformation(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->updateCachedDeviceInformation()); });
}

ZDA_API int ZtDevice_enableProtocol(ZtDevice* device, ZtProtocolType type) {
  if (!isProtocol(type)) return 0;
  return call<int>(__func__, device, 0, [&] { return asInt(device->enableProtocol(type)); });
}

ZDA_API int ZtDevice_disableProtocol(ZtDevice* device, ZtProtocolType type) {
  if (!isProtocol(type)) return 0;
  return call<int>(__func__, device, 0, [&] { return asInt(device->disableProtocol(type)); });
}

ZDA_API int ZtDevice_isProtocolEnabled(ZtDevice* device, ZtProtocolType type) {
  if (!isProtocol(type)) return 0;  // no handler has an unknown type
  return call<int>(__func__, device, 0, [&] { return asInt(device->isProtocolEnabled(type)); });
}

ZDA_API int ZtDevice_resetDroppedPacketCount(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->resetDroppedPacketCount()); });
}

// Any mode is stored (an unknown one fills no ready cache) and read back as it was given.
ZDA_API int ZtDevice_setQueueMode(ZtDevice* device, ZtQueueMode mode) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setQueueMode(mode)); });
}

ZDA_API ZtQueueMode ZtDevice_queueMode(ZtDevice* device) {
  return call<ZtQueueMode>(__func__, device, ZQM_CallbacksOnly, [&] { return device->queueMode(); });
}

ZDA_API ZtConnectivityState ZtDevice_connectivityState(ZtDevice* device) {
  return call<ZtConnectivityState>(__func__, device, ZCS_Unknown, [&] { return device->connectivityState(); });
}

ZDA_API int ZtDevice_enableRadio(ZtDevice* device, int channel) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->enableRadio(channel)); });
}

ZDA_API int ZtDevice_disableRadio(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->disableRadio()); });
}

ZDA_API int ZtDevice_radioChannel(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->radioChannel(); });
}

ZDA_API int ZtDevice_isRadioEnabled(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isRadioEnabled()); });
}

ZDA_API int ZtDevice_makeOperational(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->makeOperational()); });
}

ZDA_API int ZtDevice_isOperational(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isOperational()); });
}

ZDA_API int ZtDevice_isInSyncBoxMode(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isInSyncBoxMode()); });
}

ZDA_API int ZtDevice_setSyncBoxMode(ZtDevice* device, int enable) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setSyncBoxMode(enable != 0)); });
}

ZDA_API int ZtDevice_abortFlushing(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->abortFlushing()); });
}

ZDA_API int ZtDevice_setDeviceAccepted(ZtDevice* device, ZtDeviceId deviceId) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setDeviceAccepted(deviceId)); });
}

ZDA_API int ZtDevice_setDeviceRejected(ZtDevice* device, ZtDeviceId deviceId) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setDeviceRejected(deviceId)); });
}

ZDA_API int ZtDevice_acceptConnection(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->acceptConnection()); });
}

ZDA_API int ZtDevice_rejectConnection(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->rejectConnection()); });
}

ZDA_API int ZtDevice_wirelessPriority(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->wirelessPriority(); });
}

ZDA_API int ZtDevice_setWirelessPriority(ZtDevice* device, int priority) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setWirelessPriority(priority)); });
}

ZDA_API ZtRejectReason ZtDevice_rejectReason(ZtDevice* device) {
  return call<ZtRejectReason>(__func__, device, ZRR_Unknown, [&] { return device->rejectReason(); });
}

ZDA_API int ZtDevice_requestBatteryLevel(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->requestBatteryLevel()); });
}

ZDA_API int ZtDevice_setTransportMode(ZtDevice* device, int enable) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setTransportMode(enable != 0)); });
}

ZDA_API int ZtDevice_transportMode(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->transportMode()); });
}

ZDA_API int ZtDevice_lastKnownRssi(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->lastKnownRssi(); });
}

ZDA_API int ZtDevice_isBlueToothEnabled(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isBlueToothEnabled()); });
}

ZDA_API int ZtDevice_setBlueToothEnabled(ZtDevice* device, int enable) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setBlueToothEnabled(enable != 0)); });
}

ZDA_API int ZtDevice_isDualOutputEnabled(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isDualOutputEnabled()); });
}

ZDA_API int ZtDevice_setDualOutputEnabled(ZtDevice* device, int enable) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setDualOutputEnabled(enable != 0)); });
}

ZDA_API int ZtDevice_isBusPowerEnabled(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isBusPowerEnabled()); });
}

ZDA_API int ZtDevice_setBusPowerEnabled(ZtDevice* device, int enable) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setBusPowerEnabled(enable != 0)); });
}

ZDA_API int ZtDevice_powerDown(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->powerDown()); });
}

ZDA_API ZtErrorMode ZtDevice_errorMode(ZtDevice* device) {
  return call<ZtErrorMode>(__func__, device, 0, [&] { return device->errorMode(); });
}

ZDA_API int ZtDevice_setErrorMode(ZtDevice* device, ZtErrorMode mode) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setErrorMode(mode)); });
}

ZDA_API int ZtDevice_setHeadingOffset(ZtDevice* device, double offset) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setHeadingOffset(offset)); });
}

ZDA_API double ZtDevice_headingOffset(ZtDevice* device) {
  return call<double>(__func__, device, 0, [&] { return device->headingOffset(); });
}

ZDA_API int ZtDevice_setLocationId(ZtDevice* device, int id) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setLocationId(id)); });
}

ZDA_API int ZtDevice_locationId(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return device->locationId(); });
}

ZDA_API ZtMatrix* ZtDevice_objectAlignment(ZtDevice* device, ZtMatrix* out) {
  return callOut(__func__, device, out, [&] {
    Taken<ZtMatrix, ZtMatrix_destruct> matrix{device->objectAlignment()};
    if (ZtMatrix_copy(out, &matrix.value) != 0) makeEmpty(out);
  });
}

ZDA_API int ZtDevice_setObjectAlignment(ZtDevice* device, const ZtMatrix* alignment) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setObjectAlignment(*alignment)); });
}

ZDA_API ZtVector* ZtDevice_labMagneticField(ZtDevice* device, ZtVector* out) {
  return callOut(__func__, device, out, [&] {
    Taken<ZtVector, ZtVector_destruct> vector{device->labMagneticField()};
    if (ZtVector_copy(out, &vector.value) != 0) makeEmpty(out);
  });
}

ZDA_API int ZtDevice_setLabMagneticField(ZtDevice* device, const ZtVector* field) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setLabMagneticField(*field)); });
}

ZDA_API double ZtDevice_gravityMagnitude(ZtDevice* device) {
  return call<double>(__func__, device, 0, [&] { return device->gravityMagnitude(); });
}

ZDA_API int ZtDevice_setGravityMagnitude(ZtDevice* device, double magnitude) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setGravityMagnitude(magnitude)); });
}

ZDA_API ZtVector* ZtDevice_latLonAlt(ZtDevice* device, ZtVector* out) {
  return callOut(__func__, device, out, [&] {
    Taken<ZtVector, ZtVector_destruct> vector{device->latLonAlt()};
    if (ZtVector_copy(out, &vector.value) != 0) makeEmpty(out);
  });
}

ZDA_API int ZtDevice_setLatLonAlt(ZtDevice* device, const ZtVector* latLonAlt) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setLatLonAlt(*latLonAlt)); });
}

ZDA_API int ZtDevice_reinitialize(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->reinitialize()); });
}

ZDA_API ZtFilterProfile ZtDevice_zdaFilterProfile(ZtDevice* device) {
  return call<ZtFilterProfile>(__func__, device, ZtFilterProfile{}, [&] { return device->zdaFilterProfile(); });
}

ZDA_API int ZtDevice_setZdaFilterProfile(ZtDevice* device, int profileType) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setZdaFilterProfile(profileType)); });
}

ZDA_API ZtFilterProfile ZtDevice_onboardFilterProfile(ZtDevice* device) {
  return call<ZtFilterProfile>(__func__, device, ZtFilterProfile{}, [&] { return device->onboardFilterProfile(); });
}

ZDA_API int ZtDevice_setOnboardFilterProfile(ZtDevice* device, int profileType) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setOnboardFilterProfile(profileType)); });
}

ZDA_API int ZtDevice_replaceFilterProfile(ZtDevice* device, const ZtFilterProfile* oldProfile,
                                          const ZtFilterProfile* newProfile) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->replaceFilterProfile(*oldProfile, *newProfile)); });
}

ZDA_API ZtFilterProfileArray* ZtDevice_availableOnboardFilterProfiles(ZtDevice* device, ZtFilterProfileArray* out) {
  return callOut(__func__, device, out, [&] { assignArray(out, device->availableOnboardFilterProfiles()); });
}

ZDA_API ZtFilterProfileArray* ZtDevice_availableZdaFilterProfiles(ZtDevice* device, ZtFilterProfileArray* out) {
  return callOut(__func__, device, out, [&] { assignArray(out, device->availableZdaFilterProfiles()); });
}

ZDA_API double ZtDevice_accelerometerRange(ZtDevice* device) {
  return call<double>(__func__, device, 0, [&] { return device->accelerometerRange(); });
}

ZDA_API double ZtDevice_gyroscopeRange(ZtDevice* device) {
  return call<double>(__func__, device, 0, [&] { return device->gyroscopeRange(); });
}

ZDA_API int ZtDevice_setNoRotation(ZtDevice* device, uint16_t duration) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setNoRotation(duration)); });
}

ZDA_API uint16_t ZtDevice_rs485TransmissionDelay(ZtDevice* device) {
  return call<uint16_t>(__func__, device, 0, [&] { return device->rs485TransmissionDelay(); });
}

ZDA_API int ZtDevice_setRs485TransmissionDelay(ZtDevice* device, uint16_t delay) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setRs485TransmissionDelay(delay)); });
}

ZDA_API uint16_t ZtDevice_runSelfTest(ZtDevice* device) {
  return call<uint16_t>(__func__, device, 0, [&] { return device->runSelfTest(); });
}

ZDA_API int ZtDevice_requestData(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->requestData()); });
}

ZDA_API int ZtDevice_storeFilterState(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->storeFilterState()); });
}

ZDA_API int ZtDevice_isInitialBiasUpdateEnabled(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isInitialBiasUpdateEnabled()); });
}

ZDA_API int ZtDevice_setInitialBiasUpdateEnabled(ZtDevice* device, int enable) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setInitialBiasUpdateEnabled(enable != 0)); });
}

ZDA_API int ZtDevice_isFixedGravityEnabled(ZtDevice* device) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->isFixedGravityEnabled()); });
}

ZDA_API int ZtDevice_setFixedGravityEnabled(ZtDevice* device, int enable) {
  return call<int>(__func__, device, 0, [&] { return asInt(device->setFixedGravityEnabled(enable != 0)); });
}

ZDA_API ZtResultValue ZtDevice_createConfigFile(ZtDevice* device, const ZtString* fileName) {
  return call<ZtResultValue>(__func__, device, ZRV_ERROR, [&] { return device->createConfigFile(*fileName); });
}

ZDA_API ZtResultValue ZtDevice_applyConfigFile(ZtDevice* device, const ZtString* fileName) {
  return call<ZtResultValue>(__func__, device, ZRV_ERROR, [&] { return device->applyConfigFile(*fileName); });
}

// An unknown frame gives the device model's defaults: refused, an empty matrix, a zero quaternion.
ZDA_API int ZtDevice_setAlignmentRotationMatrix(ZtDevice* device, ZtAlignmentFrame frame, const ZtMatrix* matrix) {
  if (!isAlignmentFrame(frame)) return 0;
  return call<int>(__func__, device, 0, [&] { return asInt(device->setAlignmentRotationMatrix(frame, *matrix)); });
}

ZDA_API ZtMatrix* ZtDevice_alignmentRotationMatrix(ZtDevice* device, ZtMatrix* out, ZtAlignmentFrame frame) {
  return callOut(__func__, device, out, [&] {
    if (!isAlignmentFrame(frame)) {
      makeEmpty(out);
      return;
    }
    Taken<ZtMatrix, ZtMatrix_destruct> matrix{device->alignmentRotationMatrix(frame)};
    if (ZtMatrix_copy(out, &matrix.value) != 0) makeEmpty(out);
  });
}

ZDA_API int ZtDevice_setAlignmentRotationQuaternion(ZtDevice* device, ZtAlignmentFrame frame,
                                                    const ZtQuaternion* quaternion) {
  if (!isAlignmentFrame(frame)) return 0;
  return call<int>(__func__, device, 0,
                   [&] { return asInt(device->setAlignmentRotationQuaternion(frame, *quaternion)); });
}

ZDA_API ZtQuaternion* ZtDevice_alignmentRotationQuaternion(ZtDevice* device, ZtQuaternion* out,
                                                           ZtAlignmentFrame frame) {
  return callOut(__func__, device, out, [&] {
    *out = isAlignmentFrame(frame) ? device->alignmentRotationQuaternion(frame) : ZtQuaternion{0, 0, 0, 0};
  });
}
