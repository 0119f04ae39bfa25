#include "control/BroadcastDevice.h"

#include "control/ZtControl.h"
#include "control/BroadcastForwardFunc.h"

bool BroadcastForwardFunc::operator()() {
  ZtControl& control = m_broadcast.control();
  const ZtControl::WalkScope walking;
  const ZtControl::HeldMasters masters = control.heldMasters();
  bool result = true;
  for (const auto& hold : masters)
    if (!call(hold->device())) result = false;
  control.setLastResult(ZRV_OK);
  return result;
}

namespace {

ZtVersion zeroVersion() {
  ZtVersion v = {};
  return v;
}

}  // namespace

BroadcastDevice::BroadcastDevice(ZtControl& control) : ZtDevice(ZtDeviceId_broadcast()), m_control(control) {}

BroadcastDevice::~BroadcastDevice() = default;

bool BroadcastDevice::initialize(const zelto::SettingsFile&) { return false; }

void BroadcastDevice::clear() {}

std::vector<int> BroadcastDevice::supportedUpdateRates(ZtDataIdentifier) const { return {}; }

std::vector<ZtDevice*> BroadcastDevice::children() const {
  std::vector<ZtDevice*> devices;
  for (const auto& hold : m_control.heldMasters()) devices.push_back(hold->device());
  return devices;
}

ZtString BroadcastDevice::productCode() const {
  ZtString code;
  ZtString_construct(&code, "Broadcaster");
  return code;
}

ZtVersion BroadcastDevice::hardwareVersion() const { return zeroVersion(); }

// The const operations walk the same way: the functor only reads the device list.
#define ZDA_FORWARD(Functor, ...) Functor(const_cast<BroadcastDevice&>(*this), __VA_ARGS__)()

void BroadcastDevice::clearCache() { ZDA_FORWARD(BroadcastForwardFunc0ArgVoid, &ZtDevice::clearCache); }

void BroadcastDevice::flushInputBuffers(bool alsoWorkingCache) {
  ZDA_FORWARD(BroadcastForwardFunc1ArgVoid<bool>, &ZtDevice::flushInputBuffers, alsoWorkingCache);
}

bool BroadcastDevice::setQueueMode(ZtQueueMode mode) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<ZtQueueMode>, &ZtDevice::setQueueMode, mode);
}

bool BroadcastDevice::isOptionEnabled(ZtOption option) const {
  return ZDA_FORWARD(ForwardConstFunc1Arg<ZtOption>, &ZtDevice::isOptionEnabled, option);
}

bool BroadcastDevice::setOptionEnabled(ZtOption option, bool enable) {
  using Functor = BroadcastForwardFunc2Arg<ZtOption, bool>;
  return ZDA_FORWARD(Functor, &ZtDevice::setOptionEnabled, option, enable);
}

bool BroadcastDevice::resetDroppedPacketCount() {
  return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::resetDroppedPacketCount);
}

bool BroadcastDevice::setLatLonAlt(const ZtVector& latLonAlt) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<const ZtVector&>, &ZtDevice::setLatLonAlt, latLonAlt);
}

bool BroadcastDevice::storeFilterState() { return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::storeFilterState); }

bool BroadcastDevice::setSoftwareFilteringEnabled(bool enable) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<bool>, &ZtDevice::setSoftwareFilteringEnabled, enable);
}

bool BroadcastDevice::setSoftwareCalibrationEnabled(bool enable) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<bool>, &ZtDevice::setSoftwareCalibrationEnabled, enable);
}

bool BroadcastDevice::setGravityMagnitude(double magnitude) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<double>, &ZtDevice::setGravityMagnitude, magnitude);
}

bool BroadcastDevice::setOnboardFilterProfile(int profileType) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<int>, &ZtDevice::setOnboardFilterProfile, profileType);
}

bool BroadcastDevice::setZdaFilterProfile(int profileType) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<int>, &ZtDevice::setZdaFilterProfile, profileType);
}

bool BroadcastDevice::updateCachedDeviceInformation() {
  return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::updateCachedDeviceInformation);
}

bool BroadcastDevice::setTransportMode(bool enable) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<bool>, &ZtDevice::setTransportMode, enable);
}

bool BroadcastDevice::reset() { return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::reset); }

bool BroadcastDevice::resetLogFileReadPosition() {
  return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::resetLogFileReadPosition);
}

bool BroadcastDevice::initializeFilter() { return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::initializeFilter); }

bool BroadcastDevice::restoreFactoryDefaults() {
  return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::restoreFactoryDefaults);
}

bool BroadcastDevice::resetOrientation(ZtResetMethod method) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<ZtResetMethod>, &ZtDevice::resetOrientation, method);
}

bool BroadcastDevice::setLocationId(int id) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<int>, &ZtDevice::setLocationId, id);
}

bool BroadcastDevice::setLabMagneticField(const ZtVector& field) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<const ZtVector&>, &ZtDevice::setLabMagneticField, field);
}

bool BroadcastDevice::setHeadingOffset(double offset) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<double>, &ZtDevice::setHeadingOffset, offset);
}

bool BroadcastDevice::setSyncSettings(const std::vector<ZtSyncSetting>& settings) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<const std::vector<ZtSyncSetting>&>, &ZtDevice::setSyncSettings,
                     settings);
}

bool BroadcastDevice::setDeviceMode(const ZtDeviceMode& mode) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<const ZtDeviceMode&>, &ZtDevice::setDeviceMode, mode);
}

bool BroadcastDevice::isReadingFromFile() const {
  return ZDA_FORWARD(ForwardConstFunc, &ZtDevice::isReadingFromFile);
}

bool BroadcastDevice::isRecording() const { return ZDA_FORWARD(ForwardConstFunc, &ZtDevice::isRecording); }

bool BroadcastDevice::isMeasuring() const { return ZDA_FORWARD(ForwardConstFunc, &ZtDevice::isMeasuring); }

bool BroadcastDevice::abortFlushing() { return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::abortFlushing); }

bool BroadcastDevice::requestGpsStatus() { return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::requestGpsStatus); }

bool BroadcastDevice::requestBatteryLevel() {
  return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::requestBatteryLevel);
}

bool BroadcastDevice::setNoRotation(uint16_t duration) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<uint16_t>, &ZtDevice::setNoRotation, duration);
}

bool BroadcastDevice::closeLogFile() { return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::closeLogFile); }

bool BroadcastDevice::loadLogFile() { return ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::loadLogFile); }

bool BroadcastDevice::setSerialBaudRate(ZtBaudRate baudRate) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<ZtBaudRate>, &ZtDevice::setSerialBaudRate, baudRate);
}

bool BroadcastDevice::setObjectAlignment(const ZtMatrix& alignment) {
  return ZDA_FORWARD(BroadcastForwardFunc1Arg<const ZtMatrix&>, &ZtDevice::setObjectAlignment, alignment);
}

bool BroadcastDevice::startRecording() {
  const bool result = ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::startRecording);
  m_control.updateRecordingState();
  return result;
}

bool BroadcastDevice::stopRecording() {
  const bool result = ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::stopRecording);
  m_control.updateRecordingState();
  return result;
}

bool BroadcastDevice::gotoMeasurement() {
  if (ZDA_FORWARD(BroadcastForwardFunc0Arg, &ZtDevice::gotoMeasurement)) return true;
  gotoConfig();
  return false;
}

bool BroadcastDevice::gotoConfig() {
  const ZtControl::WalkScope walking;
  const ZtControl::HeldMasters masters = m_control.heldMasters();
  bool result = true;
  for (auto it = masters.rbegin(); it != masters.rend(); ++it)
    if (!(*it)->device()->gotoConfig()) result = false;
  m_control.setLastResult(ZRV_OK);
  return result;
}

#undef ZDA_FORWARD
