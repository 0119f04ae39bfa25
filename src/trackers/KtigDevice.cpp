#include "trackers/KtigDevice.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>

#include "device/DeviceFactory.h"
#include "ekts/EktsManager.h"
#include "errors/ZtException.h"
#include "filters/common/KtigHardwareParams.h"
#include "filters/zkf6/Zkf6Aiding.h"
#include "filters/zkf6/Zkf6Filter.h"
#include "filters/zkf6/Zkf6FilterOutput.h"
#include "filters/zkf6/Zkf6FilterSteps.h"
#include "filters/zkf6/Zkf6Params.h"
#include "filters/zkf6/Zkf6RealTimeParameters.h"
#include "filters/zkf6/Zkf6ScenarioParams.h"
#include "filters/zkf6/Zkf6SensorData.h"
#include "filters/zkf6/Zkf6State.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"
#include "transport/link/Communicator.h"
#include "trackers/ExtendedScenario.h"
#include "trackers/PacketItems.h"
#include "zttypes/ztmessage.h"

namespace {

constexpr uint8_t kSetLeverArm = 0x68;
constexpr uint8_t kRequestGpsStatus = 0xA6;
constexpr uint8_t kGpsStatus = 0xA7;
constexpr uint8_t kRequestUtcTime = 0x60;
constexpr unsigned kAckTimeoutMs = 200;

// Frames of the orientation and velocity written into the packet.
constexpr int kNwuFrame = 0x0008;
constexpr int kNedFrame = 0x0004;
// Bit 31 of the output settings: output in north-east-down.
constexpr uint32_t kNedBit = 0x80000000u;
// The only status bit this class writes: the filter has settled.
constexpr uint32_t kSettledBit = 0x02;
// The rotation by 180 degrees about x: north-west-up to north-east-down.
constexpr ZtQuaternion kQx180{0.0, 1.0, 0.0, 0.0};

constexpr const char* kHardwareList = "ZKF.hardwares";
constexpr const char* kGnssAssemblyPrefix = "GPS";

ZtQuaternion quatMul(const ZtQuaternion& a, const ZtQuaternion& b) {
  zelto::Quaternion r;
  r.isQuatMulQuat(a, b);
  return r;
}

bool startsWithIgnoringCase(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

bool equalsIgnoringCase(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && startsWithIgnoringCase(a, b);
}

void putFloat(std::vector<uint8_t>& out, double value) {
  const float f = static_cast<float>(value);
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(bits >> shift));
}

// The PVT item's integers in the filter's units (degrees, metres, m/s).
void fillGpsSample(const ZtGpsPvtData& pvt, ZkfGpsPrintData& gps) {
  gps.pressure = static_cast<double>(pvt.pressure);  // kept in the device's 2 Pa units
  gps.pressureAge = pvt.pressureAge;
  gps.posLatLongAlt[0] = static_cast<double>(pvt.latitude) * 1e-7;
  gps.posLatLongAlt[1] = static_cast<double>(pvt.longitude) * 1e-7;
  gps.posLatLongAlt[2] = static_cast<double>(pvt.height) * 0.001;
  gps.velNorthEastDown[0] = static_cast<double>(pvt.velN) * 0.01;
  gps.velNorthEastDown[1] = static_cast<double>(pvt.velE) * 0.01;
  gps.velNorthEastDown[2] = static_cast<double>(pvt.velD) * 0.01;
  gps.hAcc = static_cast<double>(pvt.hAcc) * 0.001;
  gps.vAcc = static_cast<double>(pvt.vAcc) * 0.001;
  gps.sAcc = static_cast<double>(pvt.sAcc) * 0.01;
  gps.gpsAge = pvt.gpsAge;
}

}  // namespace

// ---- Construction ----------------------------------------------------------------------------------

KtigDevice::KtigDevice(DeviceFactory& factory, Communicator* communicator)
    : KtixDevice(factory, communicator), m_ktigHardwareParams(new KtigHardwareParams()) {
  setHardwareParams(m_ktigHardwareParams);
}

KtigDevice::KtigDevice(ZtDevice* master, const ZtDeviceId& deviceId)
    : KtixDevice(master, deviceId), m_ktigHardwareParams(new KtigHardwareParams()) {
  setHardwareParams(m_ktigHardwareParams);
}

KtigDevice::~KtigDevice() = default;

ZtDevice* KtigDevice::constructAsMaster(DeviceFactory& factory, Communicator* communicator) {
  return constructAsMasterDevice<KtigDevice>(factory, communicator);
}

ZtDevice* KtigDevice::constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId) {
  return constructAsChildDevice<KtigDevice>(master, deviceId);
}

std::vector<int> KtigDevice::supportedUpdateRates(ZtDataIdentifier) const {
  return {512, 480, 400, 384, 360, 320, 300, 288, 256, 240, 200, 192, 180, 160, 144, 128,
          120, 100, 96,  80,  72,  64,  60,  48,  40,  36,  32,  30,  24,  20,  16,  12};
}

// ---- Scenarios and the filter ------------------------------------------------------------------------

void KtigDevice::loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings,
                              const std::string& prefix, const std::string& filterName) {
  if (!scenario) throw ZtException(ZRV_INVALIDPARAM, "no scenario");
  if (!equalsIgnoringCase(filterName, "ZKF-6G"))
    throw ZtException(ZRV_INVALIDPARAM, "not a ZKF-6G scenario: " + filterName);
  auto* parameters = installScenarioParameters<zelto::Zkf6Filter, zelto::Zkf6ScenarioParams>(scenario, prefix);
  // Throws for a missing or mistyped key.
  parameters->readFromFile(settings, prefix);
}

ZkfState* KtigDevice::createFilterState() const { return new zelto::Zkf6State(); }

bool KtigDevice::initializeFilter() {
  const int rate = updateRate();
  auto params = std::make_unique<zelto::Zkf6Params>();
  const ExtendedScenario* scenario =
      m_currentHostProfile.type != 0 ? findScenario(m_hostScenarios, m_currentHostProfile.type) : nullptr;
  if (!scenario || scenario->profile().filterType != zelto::Zkf6Filter::kType) {
    setZkfFilter(zelto::NonIntrusiveSharedPointer<ZtZkfFilter>());
    return false;
  }
  gatherFilterInputs(rate);

  const auto* scenarioParams = dynamic_cast<const zelto::Zkf6ScenarioParams*>(scenario->parameters());
  if (!scenarioParams) return false;
  const zelto::Zkf6FilterSteps steps;
  params->initialize(*scenarioParams, *m_ktigHardwareParams, m_userParams, steps);
  if (!setZdaFilterProfile(*scenario)) return false;
  zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter(new zelto::Zkf6Filter(params.get()));
  setZkfFilter(filter);
  if (const zelto::SettingsFile* state = initialState()) {
    zelto::Zkf6State initial;
    if (initial.readFromFileNoThrow(*state, "")) filter->setFullState(&initial);
  }
  return true;
}

void KtigDevice::performFiltering(ZtDataPacket& packet) {
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter) return;
  const PacketItems items(packet);
  if (!items.has(PacketItems::kAcceleration) || !items.has(PacketItems::kRateOfTurn) ||
      !items.has(PacketItems::kMagneticField) || !items.has(PacketItems::kRaw))
    return;
  zelto::Zkf6SensorData sensorData;
  zelto::Zkf6Aiding aiding;
  zelto::Vector3& acc = sensorData.inertial.acc;
  zelto::Vector3& gyr = sensorData.inertial.gyr;
  if (!objectFrameInertial(items, acc, gyr, aiding.mag)) return;
  zelto::Zkf6FilterOutput output;
  output.orientation = zelto::Quaternion(0.0, 0.0, 0.0, 0.0);
  const bool hasStatus = items.hasStatus();
  uint32_t status = hasStatus ? items.status() : 0;

  if (ZtDataPacket_containsGpsPvtData(&packet)) {
    ZtGpsPvtData pvt;
    ZtDataPacket_gpsPvtData(&packet, &pvt);
    fillGpsSample(pvt, aiding.gps);
  } else {
    // No new GNSS or pressure sample for the filter: its ages go to 255.
    aiding.gps.clear();
  }
  const zelto::Zkf6RealTimeParameters realTime;
  if (!filter->doOneKalmanStep(sensorData, aiding, realTime, output, nullptr)) return;

  const bool ned = (m_ekts->outputSettings() & kNedBit) != 0;
  ZtQuaternion q;
  {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    // Object reset: the sensor frame is levelled from this step's orientation, once. The reset
    // stays pending until a step gives an orientation whose vertical is usable; a reset
    // scheduled meanwhile is kept for the next packet (compare and exchange).
    if (m_resetMethod.load() == ZRM_Object) {
      ZtQuaternion n;
      if (recalcObject(n, output.orientation)) {
        const ZtQuaternion aligned = ned ? quatMul(kQx180, n) : n;
        m_internalObjectAlignment = zelto::Quaternion(aligned);
        auto* params = dynamic_cast<zelto::Zkf6Params*>(filter->getFilterParameters());
        if (params) {
          const zelto::Vector3 arm = m_ekts->gpsLeverArm();
          params->leverArm.isRotateVecByQuat(arm, aligned);
          params->alignment = zelto::Quaternion(aligned);
        }
        ZtResetMethod expected = ZRM_Object;
        m_resetMethod.compare_exchange_strong(expected, ZRM_None);
      }
    }
    q = quatMul(output.orientation, m_internalObjectAlignment);
    if (ned) q = quatMul(kQx180, q);
    q = quatMul(m_internalHeading, q);
  }
  ZtDataPacket_setOrientationQuaternion(&packet, &q, ned ? kNedFrame : kNwuFrame);
  ZtDataPacket_setPositionLLA(&packet, &output.position);
  zelto::Vector3 velocity = output.velocity;
  if (ned) {
    velocity[1] = -velocity[1];
    velocity[2] = -velocity[2];
  }
  ZtDataPacket_setVelocity(&packet, &velocity, ned ? kNedFrame : kNwuFrame);
  if (output.valid)
    status |= kSettledBit;
  else
    status &= ~kSettledBit;
  if (hasStatus) setStatusInPacket(packet, status);
}

void KtigDevice::resetSoftwareFilter(zelto::SettingsFile* settings) {
  if (!isSoftwareFilteringEnabled()) return;
  std::lock_guard<std::recursive_mutex> lock(m_filterLock);
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter) return;
  restartFilter(nullptr);
  if (!settings) return;
  zelto::Zkf6State state;
  if (state.readFromFileNoThrow(*settings, "")) filter->setFullState(&state);
}

bool KtigDevice::storeFilterState() {
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter || !filter->isInitialized()) return KtDevice::storeFilterState();
  // getFullState copies only into a state of the filter's own kind.
  if (filter->type() != zelto::Zkf6Filter::kType) return false;
  zelto::Zkf6State state;
  {
    std::lock_guard<std::recursive_mutex> lock(m_filterLock);
    filter->getFullState(&state);
  }
  m_ekts->setGyroBiasEstimation(state.gyrBias);
  return true;
}

// ---- Messages and requests -----------------------------------------------------------------------------

void KtigDevice::handleNonDataMessage(const ZtMessage& message) {
  if (ZtMessage_getMessageId(&message) == kGpsStatus) handleGpsStatus(message);
  ZtDevice::handleNonDataMessage(message);
}

void KtigDevice::handleGpsStatus(const ZtMessage&) {}

bool KtigDevice::setHeadingOffset(double) { return false; }

bool KtigDevice::writeWithoutReply(uint8_t messageId) {
  Communicator* link = communicator();
  if (!link) return false;
  ZtMessage request;
  ZtMessage_construct(&request);
  ZtMessage_constructSized(&request, 0);
  ZtMessage_setMessageId(&request, messageId);
  ZtMessage_setBusId(&request, static_cast<uint8_t>(busId()));
  const bool written = link->writeMessage(request);
  ZtMessage_destruct(&request);
  return written;
}

bool KtigDevice::requestGpsStatus() { return writeWithoutReply(kRequestGpsStatus); }

bool KtigDevice::requestUtcTime() { return writeWithoutReply(kRequestUtcTime); }

ZtUtcTime KtigDevice::utcTime() const { return ZtUtcTime{}; }

bool KtigDevice::setLeverArm(const ZtVector& leverArm) {
  if (!leverArm.data || leverArm.size != 3) return false;
  std::vector<uint8_t> payload;
  for (size_t i = 0; i < 3; ++i) putFloat(payload, leverArm.data[i]);
  if (!exchangeRequest(kSetLeverArm, payload, kAckTimeoutMs)) return false;
  m_ekts->setGpsLeverArm(zelto::Vector3(leverArm));
  return true;
}

ZtVector KtigDevice::leverArm() const {
  const zelto::Vector3 arm = m_ekts->gpsLeverArm();
  ZtVector out;
  ZtVector_construct(&out, 3, arm.data);
  return out;
}

// ---- Hardware parameters --------------------------------------------------------------------------------

bool KtigDevice::readHardwareParamsFromFile(const zelto::SettingsFile& settings) {
  const int major = m_ekts->gpsPrintHardwareVersionMajor();
  const int minor = m_ekts->gpsPrintHardwareVersionMinor();
  zelto::Variant list;
  if (settings.getSetting("", kHardwareList, list) != ZRV_OK) return false;
  zelto::LabelList labels;
  try {
    labels = list.toLabelList();
  } catch (const ZtException&) {
    return false;
  }
  std::string matched;
  for (uint32_t i = 0; i < labels.count() && matched.empty(); ++i) {
    const std::string prefix = std::string(labels[i].c_str()) + ".";
    std::string revision;
    if (settings.getSetting(prefix.c_str(), "gp.hw_revision", revision) != ZRV_OK) continue;
    int entryMajor = 0, entryMinor = 0;
    if (!parseHardwareRevision(revision.c_str(), entryMajor, entryMinor)) continue;
    std::string assembly;
    if (settings.getSetting(prefix.c_str(), "gp.assembly", assembly) != ZRV_OK) continue;
    if (startsWithIgnoringCase(assembly, kGnssAssemblyPrefix) && entryMajor == major && entryMinor == minor)
      matched = prefix;
  }
  m_ktigHardwareParams->setGpsPrefix(matched);
  return KtixDevice::readHardwareParamsFromFile(settings);
}
