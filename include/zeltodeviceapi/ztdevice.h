#ifndef ZELTODEVICEAPI_ZTDEVICE_H
#define ZELTODEVICEAPI_ZTDEVICE_H
/* The device functions: one per operation of a device object (a tracker, a station, a bus
 * master, a device read from a log file, or the broadcast device that stands for all of them).
 * A device a class does not support answers with empty values: 0 (false), -1, an empty text or
 * list; its setters and commands return 0.
 *
 * Conventions (the same in zeltodeviceapi/ztcontrol.h):
 * - The device comes first and must not be null. Pointer arguments must not be null either.
 * - Numbers, ids and enumerations are passed by value; texts, messages, vectors, matrices,
 *   quaternions, device modes, filter profiles and arrays by pointer.
 * - A flag argument is an int: any value other than 0 means true. A yes/no result is 0 or 1.
 * - A text, version, packet, configuration, vector, matrix, quaternion, device id or list result
 *   is copied into the caller's object passed right after the device (constructed by the caller:
 *   ZtString_construct, ZtArray_construct with the matching descriptor, ZtDataPacket_construct,
 *   ZtDeviceConfiguration_construct, ZtVector_construct ...), and its pointer is returned. An
 *   array whose item size does not match the result's is left empty.
 * - No exception leaves the library. When an operation fails unexpectedly (out of memory, say)
 *   the device raises onError with ZRV_ERROR (256), the failure is journalled, and the function
 *   returns 0, null, ZRV_ERROR for result codes, or the caller's object emptied.
 * - Functions may be called from any thread; each runs on the calling thread and takes the
 *   device's own locks only.
 *
 * Life: the control owns the devices it opened. ZtDevice_addRef / ZtDevice_removeRef keep a
 * device (and its children) alive after ZtControl_closePort; a device pointer is valid until
 * its device is closed and no reference remains. Valid C99. */
#include <stddef.h>
#include <stdint.h>

#include "zttypes/ztarray.h"
#include "zttypes/ztdataid.h"
#include "zttypes/ztdatapacket.h"
#include "zttypes/ztdeviceid.h"
#include "zttypes/ztmath.h"
#include "zttypes/ztmessage.h"
#include "zttypes/ztmisc.h"
#include "zttypes/ztresult.h"
#include "zeltodeviceapi/zdaexport.h"
#include "zeltodeviceapi/ztcallbackplainc.h"
#include "zeltodeviceapi/ztdeviceenums.h"
#include "zeltodeviceapi/ztdevicetypes.h"

ZDA_BEGIN_DECLS

/* ---- References and the device tree ---- */
/* A reference on a master is one on each of its children too. The removeRef that finds the
 * device and its children unreferenced ends it (the pointer is invalid afterwards); made from
 * inside a handler the device is raising, it ends the device once that handler's work has
 * returned. */
ZDA_API void ZtDevice_addRef(ZtDevice* device);
ZDA_API void ZtDevice_removeRef(ZtDevice* device);
ZDA_API int64_t ZtDevice_refCounter(ZtDevice* device);
ZDA_API ZtDevice* ZtDevice_master(ZtDevice* device);
/* The children in bus order, into a ZtDevicePtrArray (g_ztDevicePtrArrayDescriptor). */
ZDA_API ZtDevicePtrArray* ZtDevice_children(ZtDevice* device, ZtDevicePtrArray* out);
/* The first child with that id; null for the device's own id or when none has it. */
ZDA_API ZtDevice* ZtDevice_findDevice(ZtDevice* device, ZtDeviceId deviceId);
/* 255 for a master; a child's 1-based position behind its master. */
ZDA_API int ZtDevice_busId(ZtDevice* device);
ZDA_API ZtDeviceId* ZtDevice_deviceId(ZtDevice* device, ZtDeviceId* out);
ZDA_API ZtVersion* ZtDevice_firmwareVersion(ZtDevice* device, ZtVersion* out);
ZDA_API int ZtDevice_isMasterDevice(ZtDevice* device);
ZDA_API int ZtDevice_isInitialized(ZtDevice* device);
/* 255: the device itself when it is a master; else the busId-th child, or null. The _1 form
 * is the read-only overload. */
ZDA_API ZtDevice* ZtDevice_deviceAtBusId(ZtDevice* device, int busId);
ZDA_API const ZtDevice* ZtDevice_deviceAtBusId_1(ZtDevice* device, int busId);
ZDA_API void ZtDevice_setGotoConfigOnClose(ZtDevice* device, int gotoConfig);

/* ---- Recording, state and packets ---- */
/* 0; 288 without a live port; 269 when a file is open already (the first is kept); 268 when the
 * file cannot be made. */
ZDA_API ZtResultValue ZtDevice_createLogFile(ZtDevice* device, const ZtString* fileName);
ZDA_API int ZtDevice_closeLogFile(ZtDevice* device);
ZDA_API int ZtDevice_isMeasuring(ZtDevice* device);
ZDA_API int ZtDevice_isRecording(ZtDevice* device);
ZDA_API int ZtDevice_isReadingFromFile(ZtDevice* device);
ZDA_API void ZtDevice_restartFilter(ZtDevice* device);
ZDA_API size_t ZtDevice_queueLength(ZtDevice* device);
ZDA_API ZtDeviceState ZtDevice_deviceState(ZtDevice* device);
/* Packets pulled from the device (queue modes 1 and 2; see ZtDevice_setQueueMode), copied into
 * the caller's constructed ZtDataPacket; the packet comes back empty when there is none. */
ZDA_API ZtDataPacket* ZtDevice_nextAvailableDataPacket(ZtDevice* device, ZtDataPacket* out);
ZDA_API ZtDataPacket* ZtDevice_dataPacketByIndex(ZtDevice* device, ZtDataPacket* out, uint32_t index);
ZDA_API ZtDataPacket* ZtDevice_dataPacketById(ZtDevice* device, ZtDataPacket* out, uint64_t packetId);

/* ---- Event handlers: a chain flag also changes the managers chained below this device. ---- */
ZDA_API void ZtDevice_clearCallbackHandlers(ZtDevice* device, int chain);
ZDA_API void ZtDevice_addCallbackHandler(ZtDevice* device, ZtCallbackPlainC* handler, int chain);
ZDA_API void ZtDevice_removeCallbackHandler(ZtDevice* device, ZtCallbackPlainC* handler, int chain);
/* The master's configuration (the Configuration message of a log file) into the caller's
 * constructed ZtDeviceConfiguration. */
ZDA_API ZtDeviceConfiguration* ZtDevice_deviceConfiguration(ZtDevice* device, ZtDeviceConfiguration* out);
ZDA_API void ZtDevice_clear(ZtDevice* device);

/* ---- Identity, rates and port ---- */
ZDA_API int ZtDevice_batteryLevel(ZtDevice* device);
ZDA_API int ZtDevice_updateRateForDataIdentifier(ZtDevice* device, ZtDataIdentifier dataIdentifier);
ZDA_API int ZtDevice_updateRateForProcessedDataIdentifier(ZtDevice* device, ZtDataIdentifier dataIdentifier);
/* Into a ZtInt32Array (g_ztInt32ArrayDescriptor). */
ZDA_API ZtInt32Array* ZtDevice_supportedUpdateRates(ZtDevice* device, ZtInt32Array* out, ZtDataIdentifier dataIdentifier);
ZDA_API int ZtDevice_maximumUpdateRate(ZtDevice* device);
ZDA_API int ZtDevice_hasDataEnabled(ZtDevice* device, ZtDataIdentifier dataIdentifier);
ZDA_API int ZtDevice_hasProcessedDataEnabled(ZtDevice* device, ZtDataIdentifier dataIdentifier);
ZDA_API ZtString* ZtDevice_productCode(ZtDevice* device, ZtString* out);
/* The port's name; empty for a device read from a log file. */
ZDA_API ZtString* ZtDevice_portName(ZtDevice* device, ZtString* out);
ZDA_API ZtBaudRate ZtDevice_baudRate(ZtDevice* device);
ZDA_API ZtBaudRate ZtDevice_serialBaudRate(ZtDevice* device);
ZDA_API ZtVersion* ZtDevice_hardwareVersion(ZtDevice* device, ZtVersion* out);

/* ---- Recording, options and messages ---- */
ZDA_API int ZtDevice_startRecording(ZtDevice* device);
ZDA_API int ZtDevice_stopRecording(ZtDevice* device);
ZDA_API int ZtDevice_setOptionEnabled(ZtDevice* device, ZtOption option, int enable);
ZDA_API int ZtDevice_isOptionEnabled(ZtDevice* device, ZtOption option);
ZDA_API int ZtDevice_initializeFilter(ZtDevice* device);
/* Sends message; with waitForResult the reply is copied into reply (constructed by the caller)
 * within timeoutMs milliseconds. */
ZDA_API int ZtDevice_sendCustomMessage(ZtDevice* device, const ZtMessage* message, int waitForResult, ZtMessage* reply, int timeoutMs);
ZDA_API int ZtDevice_sendRawMessage(ZtDevice* device, const ZtMessage* message);

/* ---- Output mode and legacy settings ---- */
ZDA_API int ZtDevice_setSerialBaudRate(ZtDevice* device, ZtBaudRate baudRate);
ZDA_API int ZtDevice_isMotionTracker(ZtDevice* device);
ZDA_API ZtOutputMode ZtDevice_outputMode(ZtDevice* device);
ZDA_API int ZtDevice_setOutputMode(ZtDevice* device, ZtOutputMode mode);
ZDA_API ZtOutputSettings ZtDevice_outputSettings(ZtDevice* device);
ZDA_API int ZtDevice_setOutputSettings(ZtDevice* device, ZtOutputSettings settings);
ZDA_API int ZtDevice_updateRate(ZtDevice* device);
ZDA_API int ZtDevice_setUpdateRate(ZtDevice* device, int rate);
/* Into a ZtOutputConfigurationArray constructed with a plain descriptor of
 * sizeof(ZtOutputConfiguration) (see zeltodeviceapi/ztdeviceenums.h). */
ZDA_API ZtOutputConfigurationArray* ZtDevice_outputConfiguration(ZtDevice* device, ZtOutputConfigurationArray* out);
ZDA_API ZtOutputConfigurationArray* ZtDevice_processedOutputConfiguration(ZtDevice* device, ZtOutputConfigurationArray* out);
/* The configuration the device accepted is written back into configuration. */
ZDA_API int ZtDevice_setOutputConfiguration(ZtDevice* device, ZtOutputConfigurationArray* configuration);
ZDA_API int ZtDevice_isInLegacyMode(ZtDevice* device);
ZDA_API int ZtDevice_isInStringOutputMode(ZtDevice* device);
ZDA_API int ZtDevice_usesLegacyDeviceMode(ZtDevice* device);
ZDA_API int ZtDevice_stringOutputType(ZtDevice* device);
ZDA_API int ZtDevice_setStringOutputType(ZtDevice* device, uint16_t type);
ZDA_API int ZtDevice_samplePeriod(ZtDevice* device);
ZDA_API int ZtDevice_setSamplePeriod(ZtDevice* device, uint16_t period);
ZDA_API int ZtDevice_outputSkipFactor(ZtDevice* device);
ZDA_API int ZtDevice_setOutputSkipFactor(ZtDevice* device, uint16_t skipFactor);
ZDA_API ZtDeviceMode ZtDevice_deviceMode(ZtDevice* device);
ZDA_API int ZtDevice_setDeviceMode(ZtDevice* device, const ZtDeviceMode* mode);
ZDA_API int ZtDevice_dataLength(ZtDevice* device);
ZDA_API void ZtDevice_clearCache(ZtDevice* device);

/* ---- Synchronisation, mode changes, playback ---- */
/* Into a ZtSyncSettingArray (g_ztSyncSettingArrayDescriptor). */
ZDA_API ZtSyncSettingArray* ZtDevice_syncSettings(ZtDevice* device, ZtSyncSettingArray* out);
ZDA_API int ZtDevice_setSyncSettings(ZtDevice* device, const ZtSyncSettingArray* settings);
ZDA_API int ZtDevice_isSyncMaster(ZtDevice* device);
ZDA_API int ZtDevice_isSyncSlave(ZtDevice* device);
ZDA_API ZtSyncSettingArray* ZtDevice_supportedSyncSettings(ZtDevice* device, ZtSyncSettingArray* out);
ZDA_API int ZtDevice_gotoMeasurement(ZtDevice* device);
ZDA_API int ZtDevice_gotoConfig(ZtDevice* device);
ZDA_API int ZtDevice_restoreFactoryDefaults(ZtDevice* device);
ZDA_API int ZtDevice_reset(ZtDevice* device);
ZDA_API void ZtDevice_writeDeviceSettingsToFile(ZtDevice* device);
ZDA_API void ZtDevice_flushInputBuffers(ZtDevice* device, int alsoWorkingCache);
ZDA_API int ZtDevice_syncRole(ZtDevice* device);
/* Plays the whole log file of a device opened with ZtControl_openLogFile. */
ZDA_API int ZtDevice_loadLogFile(ZtDevice* device);
ZDA_API int ZtDevice_abortLoadLogFile(ZtDevice* device);
ZDA_API ZtString* ZtDevice_logFileName(ZtDevice* device, ZtString* out);
/* The id of the next message of a played log file; 0 at its end or on a live device. */
ZDA_API uint8_t ZtDevice_peekMessageId(ZtDevice* device);
/* Size in bytes of the played log file; 0 on a live device. */
ZDA_API int64_t ZtDevice_logFileSize(ZtDevice* device);
/* Read position in the played log file; all bits set on a live device. */
ZDA_API uint64_t ZtDevice_logFileReadPosition(ZtDevice* device);
ZDA_API uint32_t ZtDevice_droppedPacketCount(ZtDevice* device);
ZDA_API int ZtDevice_resetOrientation(ZtDevice* device, ZtResetMethod method);
ZDA_API int ZtDevice_resetLogFileReadPosition(ZtDevice* device);
ZDA_API int ZtDevice_updateCachedDeviceInformation(ZtDevice* device);

/* ---- Protocols, queue, radio and wireless ---- */
ZDA_API int ZtDevice_enableProtocol(ZtDevice* device, ZtProtocolType type);
ZDA_API int ZtDevice_disableProtocol(ZtDevice* device, ZtProtocolType type);
ZDA_API int ZtDevice_isProtocolEnabled(ZtDevice* device, ZtProtocolType type);
ZDA_API int ZtDevice_resetDroppedPacketCount(ZtDevice* device);
ZDA_API int ZtDevice_setQueueMode(ZtDevice* device, ZtQueueMode mode);
ZDA_API ZtQueueMode ZtDevice_queueMode(ZtDevice* device);
ZDA_API ZtConnectivityState ZtDevice_connectivityState(ZtDevice* device);
ZDA_API int ZtDevice_enableRadio(ZtDevice* device, int channel);
ZDA_API int ZtDevice_disableRadio(ZtDevice* device);
ZDA_API int ZtDevice_radioChannel(ZtDevice* device);
ZDA_API int ZtDevice_isRadioEnabled(ZtDevice* device);
ZDA_API int ZtDevice_makeOperational(ZtDevice* device);
ZDA_API int ZtDevice_isOperational(ZtDevice* device);
ZDA_API int ZtDevice_isInSyncBoxMode(ZtDevice* device);
ZDA_API int ZtDevice_setSyncBoxMode(ZtDevice* device, int enable);
ZDA_API int ZtDevice_abortFlushing(ZtDevice* device);
ZDA_API int ZtDevice_setDeviceAccepted(ZtDevice* device, ZtDeviceId deviceId);
ZDA_API int ZtDevice_setDeviceRejected(ZtDevice* device, ZtDeviceId deviceId);
ZDA_API int ZtDevice_acceptConnection(ZtDevice* device);
ZDA_API int ZtDevice_rejectConnection(ZtDevice* device);
ZDA_API int ZtDevice_wirelessPriority(ZtDevice* device);
ZDA_API int ZtDevice_setWirelessPriority(ZtDevice* device, int priority);
ZDA_API ZtRejectReason ZtDevice_rejectReason(ZtDevice* device);
ZDA_API int ZtDevice_requestBatteryLevel(ZtDevice* device);
ZDA_API int ZtDevice_setTransportMode(ZtDevice* device, int enable);
ZDA_API int ZtDevice_transportMode(ZtDevice* device);
ZDA_API int ZtDevice_lastKnownRssi(ZtDevice* device);
ZDA_API int ZtDevice_isBlueToothEnabled(ZtDevice* device);
ZDA_API int ZtDevice_setBlueToothEnabled(ZtDevice* device, int enable);
ZDA_API int ZtDevice_isDualOutputEnabled(ZtDevice* device);
ZDA_API int ZtDevice_setDualOutputEnabled(ZtDevice* device, int enable);
ZDA_API int ZtDevice_isBusPowerEnabled(ZtDevice* device);
ZDA_API int ZtDevice_setBusPowerEnabled(ZtDevice* device, int enable);
ZDA_API int ZtDevice_powerDown(ZtDevice* device);

/* ---- Power, error mode, orientation and filter profiles ---- */
ZDA_API ZtErrorMode ZtDevice_errorMode(ZtDevice* device);
ZDA_API int ZtDevice_setErrorMode(ZtDevice* device, ZtErrorMode mode);
ZDA_API int ZtDevice_setHeadingOffset(ZtDevice* device, double offset);
ZDA_API double ZtDevice_headingOffset(ZtDevice* device);
ZDA_API int ZtDevice_setLocationId(ZtDevice* device, int id);
ZDA_API int ZtDevice_locationId(ZtDevice* device);
ZDA_API ZtMatrix* ZtDevice_objectAlignment(ZtDevice* device, ZtMatrix* out);
ZDA_API int ZtDevice_setObjectAlignment(ZtDevice* device, const ZtMatrix* alignment);
ZDA_API ZtVector* ZtDevice_labMagneticField(ZtDevice* device, ZtVector* out);
ZDA_API int ZtDevice_setLabMagneticField(ZtDevice* device, const ZtVector* field);
ZDA_API double ZtDevice_gravityMagnitude(ZtDevice* device);
ZDA_API int ZtDevice_setGravityMagnitude(ZtDevice* device, double magnitude);
ZDA_API ZtVector* ZtDevice_latLonAlt(ZtDevice* device, ZtVector* out);
ZDA_API int ZtDevice_setLatLonAlt(ZtDevice* device, const ZtVector* latLonAlt);
ZDA_API int ZtDevice_reinitialize(ZtDevice* device);
ZDA_API ZtFilterProfile ZtDevice_zdaFilterProfile(ZtDevice* device);
ZDA_API int ZtDevice_setZdaFilterProfile(ZtDevice* device, int profileType);
ZDA_API ZtFilterProfile ZtDevice_onboardFilterProfile(ZtDevice* device);
ZDA_API int ZtDevice_setOnboardFilterProfile(ZtDevice* device, int profileType);
ZDA_API int ZtDevice_replaceFilterProfile(ZtDevice* device, const ZtFilterProfile* oldProfile, const ZtFilterProfile* newProfile);
/* Into a ZtFilterProfileArray (g_ztFilterProfileArrayDescriptor). */
ZDA_API ZtFilterProfileArray* ZtDevice_availableOnboardFilterProfiles(ZtDevice* device, ZtFilterProfileArray* out);
ZDA_API ZtFilterProfileArray* ZtDevice_availableZdaFilterProfiles(ZtDevice* device, ZtFilterProfileArray* out);
ZDA_API double ZtDevice_accelerometerRange(ZtDevice* device);
ZDA_API double ZtDevice_gyroscopeRange(ZtDevice* device);
ZDA_API int ZtDevice_setNoRotation(ZtDevice* device, uint16_t duration);
ZDA_API uint16_t ZtDevice_rs485TransmissionDelay(ZtDevice* device);
ZDA_API int ZtDevice_setRs485TransmissionDelay(ZtDevice* device, uint16_t delay);
ZDA_API uint16_t ZtDevice_runSelfTest(ZtDevice* device);
ZDA_API int ZtDevice_requestData(ZtDevice* device);
ZDA_API int ZtDevice_storeFilterState(ZtDevice* device);
ZDA_API int ZtDevice_isInitialBiasUpdateEnabled(ZtDevice* device);
ZDA_API int ZtDevice_setInitialBiasUpdateEnabled(ZtDevice* device, int enable);
ZDA_API int ZtDevice_isFixedGravityEnabled(ZtDevice* device);
ZDA_API int ZtDevice_setFixedGravityEnabled(ZtDevice* device, int enable);

/* ---- Configuration files and alignment ---- */
/* ZRV_OK (0) or the result code of the failure. */
ZDA_API ZtResultValue ZtDevice_createConfigFile(ZtDevice* device, const ZtString* fileName);
ZDA_API ZtResultValue ZtDevice_applyConfigFile(ZtDevice* device, const ZtString* fileName);
ZDA_API int ZtDevice_setAlignmentRotationMatrix(ZtDevice* device, ZtAlignmentFrame frame, const ZtMatrix* matrix);
ZDA_API ZtMatrix* ZtDevice_alignmentRotationMatrix(ZtDevice* device, ZtMatrix* out, ZtAlignmentFrame frame);
ZDA_API int ZtDevice_setAlignmentRotationQuaternion(ZtDevice* device, ZtAlignmentFrame frame, const ZtQuaternion* quaternion);
ZDA_API ZtQuaternion* ZtDevice_alignmentRotationQuaternion(ZtDevice* device, ZtQuaternion* out, ZtAlignmentFrame frame);

ZDA_END_DECLS

#endif
