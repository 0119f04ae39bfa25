#include "support/TestDevice.h"

#include "device/DeviceFactory.h"

#include <algorithm>
#include <cstdlib>

namespace zelto::test {

void CallLog::add(std::string line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.push_back(std::move(line));
}

std::vector<std::string> CallLog::lines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lines;
}

size_t CallLog::count(const std::string& line) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<size_t>(std::count(m_lines.begin(), m_lines.end(), line));
}

void CallLog::clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.clear();
}

DeviceFactory& TestDevice::noFactory() {
  // A factory that knows no device: test devices are made directly, never through it.
  struct NoDevices : DeviceFactory {
    void removeExistingDevice(const ZtDeviceId&) override {}
    bool initializeDevice(ZtDevice*) const override { return false; }
  };
  static NoDevices factory;
  return factory;
}

TestDevice::TestDevice(Communicator* communicator, std::shared_ptr<CallLog> log)
    : ZtDevice(noFactory(), communicator), m_log(std::move(log)) {}

TestDevice::TestDevice(TestDevice* master, ZtDeviceId id, std::shared_ptr<CallLog> log)
    : ZtDevice(master, id), m_log(log ? std::move(log) : master->sharedLog()) {}

TestDevice::TestDevice(ZtDeviceId id, std::shared_ptr<CallLog> log) : ZtDevice(id), m_log(std::move(log)) {}

TestDevice::~TestDevice() { m_log->add("~device " + std::to_string(deviceId())); }

void TestDevice::record(const std::string& call) const { m_log->add(call + " " + std::to_string(deviceId())); }

bool TestDevice::scripted(const std::string& setter) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_scripted.find(setter);
  return it == m_scripted.end() ? true : it->second;
}

void TestDevice::setSupportedRates(std::vector<int> rates) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rates = std::move(rates);
}

void TestDevice::scriptResult(const std::string& setter, bool result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_scripted[setter] = result;
}

void TestDevice::setConfiguredDevices(const std::vector<ZtDeviceId>& ids) {
  ZtDeviceConfiguration_assign(&m_configuration, static_cast<uint16_t>(ids.size()), nullptr);
  for (size_t i = 0; i < ids.size(); ++i) m_configuration.deviceInfo[i].deviceId = ids[i];
}

void TestDevice::setConfiguredFormat(size_t index, uint16_t outputMode, uint32_t outputSettings) {
  if (index >= m_configuration.numberOfDevices || !m_configuration.deviceInfo) return;
  m_configuration.deviceInfo[index].outputMode = outputMode;
  m_configuration.deviceInfo[index].outputSettings = outputSettings;
}

std::vector<int> TestDevice::supportedUpdateRates(ZtDataIdentifier) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_rates;
}

bool TestDevice::setOutputMode(ZtOutputMode mode) {
  m_log->add("setOutputMode " + std::to_string(mode));
  return scripted("setOutputMode");
}

bool TestDevice::setOutputSettings(ZtOutputSettings settings) {
  m_log->add("setOutputSettings " + std::to_string(settings));
  return scripted("setOutputSettings");
}

bool TestDevice::setSamplePeriod(uint16_t period) {
  m_log->add("setSamplePeriod " + std::to_string(period));
  return scripted("setSamplePeriod");
}

bool TestDevice::setOutputSkipFactor(uint16_t skipFactor) {
  m_log->add("setOutputSkipFactor " + std::to_string(skipFactor));
  return scripted("setOutputSkipFactor");
}

bool TestDevice::setSoftwareCalibrationEnabled(bool enable) {
  record(std::string("setSoftwareCalibrationEnabled ") + (enable ? "on" : "off"));
  if (!scripted("setSoftwareCalibrationEnabled")) return false;
  m_calibration = enable;
  return true;
}

bool TestDevice::isSoftwareCalibrationEnabled() const { return m_calibration; }

bool TestDevice::setSoftwareFilteringEnabled(bool enable) {
  record(std::string("setSoftwareFilteringEnabled ") + (enable ? "on" : "off"));
  ZtDevice::setSoftwareFilteringEnabled(enable);
  if (!scripted("setSoftwareFilteringEnabled")) return false;
  m_filtering = enable;
  return true;
}

bool TestDevice::isSoftwareFilteringEnabled() const { return m_filtering; }

bool TestDevice::initializeFilter() {
  record("initializeFilter");
  return true;
}

bool TestDevice::initializeSoftwareCalibration() {
  record("initializeSoftwareCalibration");
  return scripted("initializeSoftwareCalibration") && ZtDevice::initializeSoftwareCalibration();
}

void TestDevice::deinitializeSoftwareCalibration() {
  record("deinitializeSoftwareCalibration");
  ZtDevice::deinitializeSoftwareCalibration();
}

void TestDevice::clearCache() {
  record("clearCache");
  ZtDevice::clearCache();
}

void TestDevice::writeDeviceSettingsToFile() {
  record("writeDeviceSettingsToFile");
  ZtDevice::writeDeviceSettingsToFile();
}

void TestDevice::writeFilterStateToFile() {
  record("writeFilterStateToFile");
  ZtDevice::writeFilterStateToFile();
}

bool TestDevice::scheduleOrientationReset(ZtResetMethod method) {
  record("scheduleOrientationReset " + std::to_string(method));
  return true;
}

void TestDevice::doProcessing(ZtDataPacket& packet) {
  if (packet.deviceId != deviceId()) {
    ZtDevice::doProcessing(packet);
    return;
  }
  insertPacketInCaches(packet);
}

void TestDevice::insertPacketInCaches(ZtDataPacket& packet) {
  m_processed.fetch_add(1);
  ZtDevice::insertPacketInCaches(packet);
}

void TestDevice::prepareForTermination() {
  record("prepareForTermination");
  ZtDevice::prepareForTermination();
}

}  // namespace zelto::test
