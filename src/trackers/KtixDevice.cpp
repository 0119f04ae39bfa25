#include "trackers/KtixDevice.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>

#include "device/DeviceFactory.h"
#include "device/ScratchPacket.h"
#include "device/cache/IPacketDataCache.h"
#include "device/config/DeviceConfigurationMessages.h"
#include "ekts/EktsManager.h"
#include "errors/ZtException.h"
#include "filters/common/KtHardwareParams.h"
#include "filters/zkf3/Zkf3Aiding.h"
#include "filters/zkf3/Zkf3Filter.h"
#include "filters/zkf3/Zkf3FilterOutput.h"
#include "filters/zkf3/Zkf3FilterSteps.h"
#include "filters/zkf3/Zkf3Params.h"
#include "filters/zkf3/Zkf3RealTimeParameters.h"
#include "filters/zkf3/Zkf3ScenarioParams.h"
#include "filters/zkf3/Zkf3SensorData.h"
#include "filters/zkf3/Zkf3State.h"
#include "foundation/JournalMacros.h"
#include "math/Matrix3x3.h"
#include "math/Vector3.h"
#include "trackers/ExtendedScenario.h"
#include "trackers/PacketItems.h"
#include "zttypes/ztmessage.h"

namespace {

constexpr uint8_t kSetProcessingFlags = 0x20;
constexpr uint8_t kSetHeadingOffset = 0x82;
constexpr uint8_t kSetObjectAlignment = 0xE0;
constexpr uint8_t kLegacyData = 0x32;
constexpr unsigned kAckTimeoutMs = 200;

// Orientation written by the host filter: the local north-west-up frame.
constexpr int kNwuFrame = 0x0008;

// Status bits the filter writes: 0x02 settled, 0x18 the state of the bias estimation at rest.
constexpr uint32_t kSettledBit = 0x02;
constexpr uint32_t kNoRotationMask = 0x18;
constexpr uint32_t kNoRotationRunning = 0x18;
constexpr uint32_t kNoRotationAborted = 0x10;
constexpr uint32_t kNoRotationRejected = 0x08;

constexpr ZtOutputSettings kNeverSentSettingsBit = 0x80;

constexpr const char* kHardwareList = "ZKF.hardwares";
constexpr const char* kAssemblyPrefix = "KT9";

void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void putFloat(std::vector<uint8_t>& out, double value) {
  const float f = static_cast<float>(value);
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(bits >> shift));
}

// One "%d" conversion: blanks, an optional sign, at least one digit; saturates at the int range.
const char* parseInt(const char* p, int& out) {
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*p))) return nullptr;
  long long value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  out = static_cast<int>(value);
  return p;
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

}  // namespace

// ---- Construction ----------------------------------------------------------------------------------

KtixDevice::KtixDevice(DeviceFactory& factory, Communicator* communicator)
    : KtDevice(factory, communicator), m_hardwareParams(new KtHardwareParams()) {}

KtixDevice::KtixDevice(ZtDevice* master, const ZtDeviceId& deviceId)
    : KtDevice(master, deviceId), m_hardwareParams(new KtHardwareParams()) {}

KtixDevice::~KtixDevice() {
  delete m_hardwareParams;
  m_hardwareParams = nullptr;
}

ZtDevice* KtixDevice::constructAsMaster(DeviceFactory& factory, Communicator* communicator) {
  return constructAsMasterDevice<KtixDevice>(factory, communicator);
}

ZtDevice* KtixDevice::constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId) {
  return constructAsChildDevice<KtixDevice>(master, deviceId);
}

void KtixDevice::setHardwareParams(KtHardwareParams* parameters) {
  if (!parameters || parameters == m_hardwareParams) return;
  delete m_hardwareParams;
  m_hardwareParams = parameters;
}

KtHardwareParams& KtixDevice::hardwareParameters() { return *m_hardwareParams; }

// ---- Rates and configuration requests ---------------------------------------------------------------

std::vector<int> KtixDevice::supportedUpdateRates(ZtDataIdentifier) const {
  return {512, 480, 450, 400, 384, 360, 320, 300, 288, 256, 240, 225, 200, 192, 180, 160, 150, 144, 128, 120, 100, 96,
          90,  80,  75,  72,  64,  60,  50,  48,  45,  40,  36,  32,  30,  25,  24,  20,  18,  16,  15,  12,  10};
}

DeviceConfigurationMessages* KtixDevice::determineConfigurationMessages() const {
  DeviceConfigurationMessages* messages = KtDevice::determineConfigurationMessages();
  static const struct {
    const char* name;
    uint8_t requestId;
  } kRequests[] = {{"ExtOutputMode", 0x86}, {"CurrentScenario", 0x64}};
  for (const auto& r : kRequests) {
    const uint8_t bytes[5] = {0xFA, 0xFF, r.requestId, 0x00, static_cast<uint8_t>(-(0xFF + r.requestId))};
    messages->add(r.name, bytes, sizeof bytes);
  }
  return messages;
}

// ---- Scenarios and the filter ------------------------------------------------------------------------

void KtixDevice::loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings,
                              const std::string& prefix, const std::string& filterName) {
  if (!scenario) throw ZtException(ZRV_INVALIDPARAM, "no scenario");
  if (!equalsIgnoringCase(filterName, "ZKF-3")) throw ZtException(ZRV_INVALIDPARAM, "not a ZKF-3 scenario: " + filterName);
  auto* parameters = installScenarioParameters<zelto::Zkf3Filter, zelto::Zkf3ScenarioParams>(scenario, prefix);
  // Throws for a missing or mistyped key.
  parameters->readFromFile(settings, prefix);
}

ZkfState* KtixDevice::createFilterState() const { return new zelto::Zkf3State(); }

bool KtixDevice::initializeFilter() {
  const int rate = updateRate();
  auto params = std::make_unique<zelto::Zkf3Params>();
  const ExtendedScenario* scenario =
      m_currentHostProfile.type != 0 ? findScenario(m_hostScenarios, m_currentHostProfile.type) : nullptr;
  if (!scenario || scenario->profile().filterType != zelto::Zkf3Filter::kType) {
    setZkfFilter(zelto::NonIntrusiveSharedPointer<ZtZkfFilter>());
    return false;
  }
  gatherFilterInputs(rate);

  const auto* scenarioParams = dynamic_cast<const zelto::Zkf3ScenarioParams*>(scenario->parameters());
  if (!scenarioParams) return false;
  const zelto::Zkf3FilterSteps steps;
  params->initialize(*scenarioParams, hardwareParameters(), m_userParams, steps);
  if (!setZdaFilterProfile(*scenario)) {
    JLOG_ALERT("setZdaFilterProfile failed");
    return false;
  }
  zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter(new zelto::Zkf3Filter(params.release()));
  setZkfFilter(filter);
  if (const zelto::SettingsFile* state = initialState()) {
    zelto::Zkf3State initial;
    if (initial.readFromFileNoThrow(*state, "")) filter->setFullState(&initial);
  }
  return true;
}

void KtixDevice::performFiltering(ZtDataPacket& packet) {
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter) return;
  const PacketItems items(packet);
  if (!items.has(PacketItems::kAcceleration) || !items.has(PacketItems::kRateOfTurn) ||
      !items.has(PacketItems::kMagneticField) || !items.has(PacketItems::kRaw))
    return;
  zelto::Zkf3SensorData sensorData;
  zelto::Zkf3Aiding aiding;
  zelto::Vector3& acc = sensorData.inertial.acc;
  zelto::Vector3& gyr = sensorData.inertial.gyr;
  if (!objectFrameInertial(items, acc, gyr, aiding.mag)) return;
  zelto::Zkf3RealTimeParameters realTime;
  realTime.noRotationDuration = m_pendingNoRotationCount;
  m_pendingNoRotationCount = 0;
  zelto::Zkf3FilterOutput output;
  output.q_gs = zelto::Quaternion(0.0, 0.0, 0.0, 0.0);

  const bool hasStatus = items.hasStatus();
  uint32_t status = hasStatus ? items.status() : 0;
  if (!filter->doOneKalmanStep(sensorData, aiding, realTime, output, nullptr)) return;

  const ZtQuaternion orientation = doOrientationResets(output.q_gs);
  ZtDataPacket_setOrientationQuaternion(&packet, &orientation, kNwuFrame);
  ZtDataPacket_setFreeAcceleration(&packet, &output.freeAcceleration);

  if (output.valid)
    status |= kSettledBit;
  else
    status &= ~kSettledBit;
  status &= ~kNoRotationMask;
  if (output.running)
    status |= kNoRotationRunning;
  else if (output.aborted)
    status |= kNoRotationAborted;
  else if (output.rejected)
    status |= kNoRotationRejected;
  if (hasStatus) setStatusInPacket(packet, status);
}

void KtixDevice::resetSoftwareFilter(zelto::SettingsFile* settings) {
  if (!isSoftwareFilteringEnabled()) return;
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter) return;
  restartFilter(nullptr);
  if (!settings) return;
  zelto::Zkf3State state;
  if (state.readFromFileNoThrow(*settings, "")) filter->setFullState(&state);
}

bool KtixDevice::storeFilterState() {
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter || !filter->isInitialized()) return KtDevice::storeFilterState();
  zelto::Zkf3State state;
  filter->getFullState(&state);
  // getFullState copies only into a state of the filter's own kind.
  if (filter->type() != zelto::Zkf3Filter::kType) return false;
  m_ekts->setGyroBiasEstimation(state.gyrBias);
  return true;
}

// ---- Settings on the device ----------------------------------------------------------------------------

bool KtixDevice::setOutputSettings(ZtOutputSettings settings) {
  const ZtOutputSettings cleared = settings & ~kNeverSentSettingsBit;
  if (cleared == m_ekts->outputSettings()) return true;
  return KtDevice::setOutputSettings(cleared);
}

bool KtixDevice::setHeadingOffset(double offset) {
  std::vector<uint8_t> payload;
  putFloat(payload, offset);
  if (!exchangeRequest(kSetHeadingOffset, payload, kAckTimeoutMs)) return false;
  return KtDevice::setHeadingOffset(offset);
}

bool KtixDevice::setObjectAlignment(const ZtMatrix& alignment) {
  if (!alignment.data || alignment.rows < 3 || alignment.cols < 3) return false;
  std::vector<uint8_t> payload;
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) putFloat(payload, alignment.data[r * alignment.stride + c]);
  if (!exchangeRequest(kSetObjectAlignment, payload, kAckTimeoutMs)) return false;
  return KtDevice::setObjectAlignment(alignment);
}

bool KtixDevice::isInitialBiasUpdateEnabled() const {
  return (m_ekts->processingFlags() & kInitialBiasUpdateFlag) != 0;
}

bool KtixDevice::setInitialBiasUpdateEnabled(bool enable) { return setProcessingFlag(kInitialBiasUpdateFlag, enable); }

bool KtixDevice::isFixedGravityEnabled() const { return (m_ekts->processingFlags() & kFixedGravityFlag) != 0; }

bool KtixDevice::setFixedGravityEnabled(bool enable) { return setProcessingFlag(kFixedGravityFlag, enable); }

bool KtixDevice::setProcessingFlag(uint16_t bit, bool enable) {
  const uint16_t flags = m_ekts->processingFlags();
  if (((flags & bit) != 0) == enable) return true;
  const uint16_t value = enable ? static_cast<uint16_t>(flags | bit) : static_cast<uint16_t>(flags & ~bit);
  std::vector<uint8_t> payload;
  putU16(payload, value);
  if (!exchangeRequest(kSetProcessingFlags, payload, kAckTimeoutMs)) return false;
  m_ekts->setProcessingFlags(value);
  return true;
}

// ---- Log writing -------------------------------------------------------------------------------------

void KtixDevice::flushCache() {
  zelto::IPacketDataCache* working = workingCache();
  if (!working) return;
  // Taken into this thread's scratch packet: a master's processing also flushes its children, so
  // the same working cache can be flushed from two threads at once.
  zelto::ScratchPacket packet;
  for (;;) {
    try {
      if (!working->takeLowest(*packet)) return;
    } catch (const ZtException&) {
      return;  // a cache that does not remove single entries
    }
    if (!onWriteDataToLogFile(this, packet.get()) || !isRecording()) continue;
    // The message as received (the original of a converted packet).
    const ZtMessage& original = ZtMessage_empty(&packet->original) ? packet->message : packet->original;
    if (ZtMessage_getMessageId(&original) == kLegacyData && !isMasterDevice() && busId() != 1) {
      JLOG_ALERT("Skip write to log for device " << std::hex << deviceId() << std::dec);
      continue;
    }
    writeMessageToLogFile(original);
  }
}

// ---- Hardware parameters --------------------------------------------------------------------------------

bool KtixDevice::parseHardwareRevision(const char* text, int& major, int& minor) {
  if (!text) return false;
  const char* p = parseInt(text, major);
  if (!p || *p != '.') return false;
  return parseInt(p + 1, minor) != nullptr;
}

bool KtixDevice::readHardwareParamsFromFile(const zelto::SettingsFile& settings) {
  const int major = m_ekts->hardwareVersionMajor();
  int minor = m_ekts->hardwareVersionMinor();
  // Revision 1.8 shares the characteristics of 1.0.
  if (major == 1 && minor == 8) minor = 0;

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
    if (startsWithIgnoringCase(assembly, kAssemblyPrefix) && entryMajor == major && entryMinor == minor)
      matched = prefix;
  }

  const std::string hardwareType = findHardwareType(productCodeText());
  if (hardwareType.empty()) return false;
  m_hardwareParams->setHardwareType(hardwareType);
  if (!m_hardwareParams->readFromFileNoThrow(settings, matched)) return false;
  uint8_t* page5 = m_ekts->getPagePtr(5);
  // Null only while no record is held.
  if (page5) m_hardwareParams->writeToDecryptedEktsPage5(page5);
  return true;
}
