#include "trackers/KtMk4_700Device.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "device/DeviceFactory.h"
#include "device/ZtSyncLines.h"
#include "ekts/EktsManager.h"
#include "errors/ZtException.h"
#include "filters/common/KtMk4_700HardwareParams.h"
#include "filters/common/ZtZkfFilter.h"
#include "filters/zkf700/Zkf700Filter.h"
#include "filters/zkf700/Zkf700FilterSteps.h"
#include "filters/zkf700/Zkf700Params.h"
#include "filters/zkf700/Zkf700RealTimeParameters.h"
#include "filters/zkf700/Zkf700ScenarioParams.h"
#include "filters/zkf700/Zkf700SensorData.h"
#include "filters/zkf700/Zkf700State.h"
#include "foundation/JournalMacros.h"
#include "foundation/Setting.h"
#include "math/geodetic/GeodeticConversions.h"
#include "trackers/ExtendedScenario.h"
#include "trackers/Mk4FilterSupport.h"

namespace {

constexpr double kRadToDeg = 57.29577951308232;
constexpr double kDegToRad = 0.017453292519943295;
constexpr uint32_t kNavigationStateMask = 0x3800000;  // bits 23-25
constexpr int kNavigationStateShift = 23;
constexpr uint8_t kFix3d = 3;
constexpr uint32_t kGnssStatusBit = 0x4;

using Entries = KtMk4Device::Entries;

void append(Entries& entries, uint16_t id, int frequency) {
  entries.push_back({id, static_cast<uint16_t>(frequency)});
}

}  // namespace

KtMk4_700Device::KtMk4_700Device(DeviceFactory& factory, Communicator* communicator, KtMk4_700HardwareParams* hardware)
    : KtMk4Device(factory, communicator, hardware ? hardware : new KtMk4_700HardwareParams()) {
  setScenariosPrefix("ZEE.ZKF700");
}

KtMk4_700Device::KtMk4_700Device(ZtDevice* master, const ZtDeviceId& deviceId, KtMk4_700HardwareParams* hardware)
    : KtMk4Device(master, deviceId, hardware ? hardware : new KtMk4_700HardwareParams()) {
  setScenariosPrefix("ZEE.ZKF700");
}

KtMk4_700Device::~KtMk4_700Device() = default;

ZtDevice* KtMk4_700Device::constructAsMaster(DeviceFactory& factory, Communicator* communicator) {
  return constructAsMasterDevice<KtMk4_700Device>(factory, communicator);
}

ZkfState* KtMk4_700Device::createFilterState() const { return new zelto::Zkf700State(); }

int KtMk4_700Device::getBaseFrequency(ZtDataIdentifier dataIdentifier) const {
  switch (dataIdentifier & 0xFE00) {
    case 0x0000:
    case 0xA000:
    case 0xB000:
    case 0xE000:
      return 2000;
    case 0x0800:
    case 0x2000:
    case 0x4000:
    case 0x5000:
    case 0x8000:
    case 0xD000:
      return 400;
    case 0x3000:
      return 50;
    case 0x8800:
      return 4;
    case 0xC000:
      return 100;
    default:
      return 0;
  }
}

// ---- Configuration ------------------------------------------------------------------------------------

ZtOutputConfigurationArray KtMk4_700Device::processedOutputConfiguration() const {
  Entries entries = configurationList();
  int orientation = -1, dv = -1, dq = -1, gnss = -1, raw = -1, mag = -1, status = -1;
  for (const ZtOutputConfiguration& e : entries) {
    const int f = e.frequency;
    if ((e.dataIdentifier & 0xFE00) == 0x2000) orientation = f;
    if ((e.dataIdentifier & 0xFE00) == 0xE000) status = f;
    switch (e.dataIdentifier & 0xFFF0) {
      case 0x4010: dv = f; break;
      case 0x8030: dq = f; break;
      case 0x8840: gnss = f; break;
      case 0xA010: raw = f; break;
      case 0xC020: mag = f; break;
      default: break;
    }
  }
  const int decimation = rawWindowDecimation();
  bool rawDerived = false;
  if (raw > 0) {
    append(entries, 0x8020, raw);
    append(entries, 0x4020, raw);
    if (raw % 400 == 0) {
      if (dq == -1) append(entries, 0x8030, dq = raw / decimation);
      if (dv == -1) append(entries, 0x4010, dv = raw / decimation);
    }
    if (mag == -1) append(entries, 0xC020, raw);
    rawDerived = true;
  }
  if (orientation == -1 && hasZkfFilter()) {
    if (raw > 99 && dq == -1) dq = raw / decimation;
    if (dq > 99) {
      append(entries, 0x2010, dq);
      if (status == -1) append(entries, 0xE020, dq);
      if (gnss != -1) {
        append(entries, 0x5040, dq);
        append(entries, 0x5020, dq);
        append(entries, 0xD010, dq);
      }
    }
  }
  if (!rawDerived) {
    if (dq != -1) append(entries, 0x8020, dq);
    if (dv != -1) append(entries, 0x4020, dv);
  }
  ZtOutputConfigurationArray out;
  ZtOutputConfigurationArray_construct(&out, entries.size(), entries.empty() ? nullptr : entries.data());
  return out;
}

std::vector<ZtSyncSetting> KtMk4_700Device::supportedSyncSettings() const {
  std::vector<ZtSyncSetting> list = KtMk4Device::supportedSyncSettings();
  const auto clock = std::find_if(list.begin(), list.end(), [](const ZtSyncSetting& s) { return s.function == 9; });
  if (clock == list.end()) return list;
  ZtSyncSetting added = *clock;
  added.line = ztl4ToZtl(1);
  added.offset = 0;
  added.clockPeriod = 1;
  list.insert(clock, added);
  return list;
}

// ---- Scenarios, hardware and the filter ----------------------------------------------------------------

bool KtMk4_700Device::readHardwareParamsFromFile(const zelto::SettingsFile& settings) {
  return readMk4HardwareParams(settings, "ZEE.ZKF700.hardwares");
}

void KtMk4_700Device::loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings,
                                   const std::string& prefix, const std::string& filterName) {
  if (!scenario) throw ZtException(ZRV_INVALIDPARAM, "no scenario");
  if (zelto::settingsStringCompare(filterName.c_str(), "ZKF700") != 0)
    throw ZtException(ZRV_INVALIDPARAM, "not a ZKF700 scenario: " + filterName);
  auto* parameters = installScenarioParameters<zelto::Zkf700Filter, zelto::Zkf700ScenarioParams>(scenario, prefix);
  if (!parameters->readFromFileNoThrow(settings, prefix))
    throw ZtException(ZRV_INVALIDPARAM, prefix + ": the scenario does not read");
}

bool KtMk4_700Device::initializeFilter() {
  using FilterHandle = zelto::NonIntrusiveSharedPointer<ZtZkfFilter>;
  auto params = std::make_unique<zelto::Zkf700Params>();
  clearHostState();
  if (m_currentHostProfile.type == 0 || !initializeSdiWindows()) {
    setZkfFilter(FilterHandle());
    return false;
  }
  const ExtendedScenario* scenario = findScenario(m_hostScenarios, m_currentHostProfile.type);
  if (scenario && scenario->profile().filterType == zelto::Zkf700Filter::kType) {
    gatherFilterInputs(100.0);
    const auto* scenarioParams = dynamic_cast<const zelto::Zkf700ScenarioParams*>(scenario->parameters());
    const auto* hardware = dynamic_cast<const KtMk4_700HardwareParams*>(&hardwareParameters());
    if (!scenarioParams || !hardware) return false;
    const zelto::Zkf700FilterSteps steps;
    try {
      params->initialize(*scenarioParams, *hardware, m_userParams, steps);
    } catch (const ZtException& e) {
      JLOG_ALERT("device " << std::hex << deviceId() << std::dec << ": Zkf700 parameters refused: " << e.what());
      return false;
    }
    if (!setZdaFilterProfile(*scenario)) {
      JLOG_ALERT("setZdaFilterProfile failed");
      return false;
    }
  } else {
    setZkfFilter(FilterHandle());
  }
  auto* typed = new zelto::Zkf700Filter(params.get());
  FilterHandle filter(typed);
  setZkfFilter(filter);
  if (const zelto::SettingsFile* state = initialState()) {
    zelto::Zkf700State initial;
    if (initial.readFromFileNoThrow(*state, "")) {
      filter->setFullState(&initial);
      resumeHostState(*state, *typed);
    }
  }
  return true;
}

void KtMk4_700Device::clearHostState() {
  m_aiding = zelto::Zkf700Aiding();
  m_output = zelto::Zkf700FilterOutput();
  m_mixer = zelto::Mk4_700SampleMixer();
  m_mixerInput = zelto::Mk4_700SampleMixerInput();
  m_mixerOutput = zelto::Mk4_700SampleMixerOutput();
  m_stepTimeMs = 0;
}

void KtMk4_700Device::resetSoftwareFilter(zelto::SettingsFile* settings) {
  // One hold of the lock: no step falls between the restart and the restored state.
  std::lock_guard<std::recursive_mutex> lock(m_filterLock);
  KtMk4Device::resetSoftwareFilter(settings);
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> handle = zkfFilter();
  auto* filter = dynamic_cast<zelto::Zkf700Filter*>(handle.get());
  if (!filter) return;
  clearHostState();
  zelto::Zkf700State state;
  if (!settings || !state.readFromFileNoThrow(*settings, "")) return;
  filter->setFullState(&state);
  resumeHostState(*settings, *filter);
}

// A replay that starts where a recording started mid-stream: the last estimate (for the status
// bits until the next step), the step clock, the aiding latched since the last step, the mixer
// and a partly filled window as they were live. Each part missing from the record stays fresh.
void KtMk4_700Device::resumeHostState(const zelto::SettingsFile& state, zelto::Zkf700Filter& filter) {
  if (filter.isInitialized()) filter.getLastOutput(m_output);
  double clock = 0.0;
  if (zelto::mk4::getValues(state, "host.stepTime", &clock, 1)) m_stepTimeMs = static_cast<int64_t>(clock);
  double a[kAidingValues];
  if (zelto::mk4::getValues(state, "host.aiding", a, kAidingValues)) {
    m_aiding.magValid = a[0] != 0.0;
    m_aiding.mag = zelto::Vector3(a[1], a[2], a[3]);
    m_aiding.gpsValid = a[4] != 0.0;
    m_aiding.gpsPos = zelto::Vector3(a[5], a[6], a[7]);
    m_aiding.gpsVel = zelto::Vector3(a[8], a[9], a[10]);
    m_aiding.gpsPAcc = a[11];
    m_aiding.gpsSAcc = a[12];
    m_aiding.baroValid = a[13] != 0.0;
    m_aiding.baro = a[14];
  }
  m_mixer.readState(state, "host.mixer", m_mixerInput, m_mixerOutput);
  resumeOutputWindow(state);
}

void KtMk4_700Device::writeHostState(zelto::SettingsFile& file) const {
  writeOutputWindow(file);
  const double clock = static_cast<double>(m_stepTimeMs);
  zelto::mk4::putValues(file, "host.stepTime", &clock, 1);
  const zelto::Zkf700Aiding& g = m_aiding;
  const double a[kAidingValues] = {double(g.magValid), g.mag[0],    g.mag[1],    g.mag[2],    double(g.gpsValid),
                                   g.gpsPos[0],        g.gpsPos[1], g.gpsPos[2], g.gpsVel[0], g.gpsVel[1],
                                   g.gpsVel[2],        g.gpsPAcc,   g.gpsSAcc,   double(g.baroValid), g.baro};
  zelto::mk4::putValues(file, "host.aiding", a, kAidingValues);
  m_mixer.writeState(file, "host.mixer", m_mixerInput, m_mixerOutput);
}

bool KtMk4_700Device::storeFilterState() {
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter || !filter->isInitialized()) return KtDevice::storeFilterState();
  // getFullState copies only into a state of the filter's own kind.
  if (filter->type() != zelto::Zkf700Filter::kType) return false;
  zelto::Zkf700State state;
  filter->getFullState(&state);
  m_ekts->setGyroBiasEstimation(state.m_xGyrBias);
  return true;
}

// ---- Per packet ----------------------------------------------------------------------------------------

void KtMk4_700Device::gatherGpsAidingData(ZtDataPacket& packet, zelto::Zkf700Aiding& aiding, uint32_t status) const {
  if (!ZtDataPacket_containsRawGpsSol(&packet)) return;
  ZtRawGpsSol sol{};
  if (!ZtDataPacket_rawGpsSol(&packet, &sol) || sol.fixType != kFix3d) return;
  if (status != 0 && (status & kGnssStatusBit) == 0) return;
  const double ecef[3] = {sol.ecefX * 0.01, sol.ecefY * 0.01, sol.ecefZ * 0.01};
  double lla[3];
  zelto::convert_ecef2llaRadians(ecef, lla, true);
  const double position[3] = {lla[0] * kRadToDeg, lla[1] * kRadToDeg, lla[2]};
  // ECEF to the local east-north-up frame at the fix.
  const double radians[3] = {position[0] * kDegToRad, position[1] * kDegToRad, position[2]};
  zelto::Quaternion toLocal;
  zelto::quat_ecef2enuFromLlaPositionRadiansInverse(radians, toLocal);
  zelto::Vector3 velocity(sol.ecefVX * 0.01, sol.ecefVY * 0.01, sol.ecefVZ * 0.01);
  zelto::mk4::rotateVector(toLocal, velocity);
  for (int i = 0; i < 3; ++i) aiding.gpsPos[i] = position[i];
  aiding.gpsVel = velocity;
  aiding.gpsPAcc = sol.pAcc * 0.01;
  aiding.gpsSAcc = sol.sAcc * 0.01;
  aiding.gpsValid = true;
}

void KtMk4_700Device::performFiltering(ZtDataPacket& packet) {
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter) return;
  const uint32_t status = ZtDataPacket_status(&packet);
  // A recording holds the status as this class wrote it: its own bits are not the device's.
  const uint32_t deviceStatus =
      isReadingFromFile() ? status & ~(kNavigationStateMask | zelto::mk4::kFilterValidBit | zelto::mk4::kNoRotationMask)
                          : status;
  gatherGpsAidingData(packet, m_aiding, deviceStatus);

  const bool hasRaw = ZtDataPacket_containsRawData(&packet) != 0;
  const zelto::Quaternion sensorRotation = alignmentRotationQuaternion(ZAF_Sensor);
  if (ZtDataPacket_containsCalibratedMagneticField(&packet)) {
    zelto::Vector3 mag;
    ZtDataPacket_calibratedMagneticField(&packet, &mag);
    if (!hasRaw) zelto::mk4::rotateVector(sensorRotation, mag);
    if (zelto::mk4::isFinite(mag)) {
      m_aiding.mag = mag;
      m_aiding.magValid = true;
    }
  }
  if (ZtDataPacket_containsPressure(&packet)) {
    ZtPressure pressure{};
    if (ZtDataPacket_pressure(&packet, &pressure) && std::isfinite(pressure.pressure)) {
      m_aiding.baro = pressure.pressure;
      m_aiding.baroValid = true;
    }
  }

  if (!ZtDataPacket_containsSdiData(&packet)) {
    setStatusInPacket(packet, status);
    return;
  }
  ZtSdiData sdi;
  ZtDataPacket_sdiData(&packet, &sdi);
  zelto::SdiData increment;
  increment.m_dq = sdi.orientationIncrement;
  for (int i = 0; i < 3; ++i) increment.m_dv[i] = sdi.velocityIncrement[i];
  if (!hasRaw) zelto::mk4::objectToSensorIncrement(sensorRotation, increment.m_dq, increment.m_dv);

  zelto::Zkf700SensorData sensorData;
  bool complete;
  int decimation;
  {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    complete = m_outputSdiWindow.add(increment);
    decimation = m_outputSdiWindow.getDecimationRate();
    if (complete) {
      sensorData.dq = m_outputSdiWindow.m_dq;
      sensorData.dv = m_outputSdiWindow.m_dv;
    }
  }
  bool stepped = false;
  if (complete) {
    sensorData.clipAcc = static_cast<uint16_t>((status >> 8) & 0x7);
    sensorData.clipGyr = static_cast<uint16_t>((status >> 11) & 0x7);
    // The filter's clock counts its own steps (10 ms each): a live stream and its replay see
    // the same times whatever sample times the packets carry.
    m_stepTimeMs += 10;
    sensorData.time = m_stepTimeMs;
    zelto::Zkf700RealTimeParameters realTime;
    realTime.m_noRotationDuration = m_pendingNoRotation.exchange(0);
    ZtZkfFilter& step = *filter;
    stepped = step.doOneKalmanStep(sensorData, m_aiding, realTime, m_output, nullptr);
  }
  // An estimate that is not finite is no estimate: the mixer keeps the last one.
  const bool usable = stepped && zelto::mk4::isFinite(m_output.m_orientation) &&
                      zelto::mk4::isFinite(m_output.m_velocity) && zelto::mk4::isFinite(m_output.m_latLongAlt) &&
                      zelto::mk4::isFinite(m_output.m_gravity) && zelto::mk4::isFinite(m_output.m_accBias) &&
                      zelto::mk4::isFinite(m_output.m_gyrBias);
  if (stepped) m_aiding = zelto::Zkf700Aiding();
  if (usable) {
    zelto::Mk4_700SampleMixerInput& in = m_mixerInput;
    for (int i = 0; i < 3; ++i) {
      in.velocity[i] = m_output.m_velocity[i];
      in.accBias[i] = m_output.m_accBias[i];
      in.gyrBias[i] = m_output.m_gyrBias[i];
      in.gravity[i] = m_output.m_gravity[i];
      in.position[i] = m_output.m_latLongAlt[i];
    }
    in.orientation = m_output.m_orientation;
    in.navigationState = static_cast<uint8_t>(m_output.m_filterMode);
    in.filterData = 1;
    in.aiding = m_output.m_filterMode == 3 ? 1 : 0;
    in.biasRemoved = 0;  // the packets' increments are the sensor's
    in.status = 0;
    in.status2 = 0;
    // Ready once the filter has an orientation: a fresh one is all zero.
    const zelto::Quaternion& q = m_output.m_orientation;
    if (q.w != 0.0 || q.x != 0.0 || q.y != 0.0 || q.z != 0.0) in.ready = 1;
  }
  // The mixer takes each increment packet once, at the increment rate: a filter sample (whose
  // estimate already holds this increment) or the increment integrated from the last estimate.
  m_mixerInput.sampleFrequency = 100.0 * decimation;
  m_mixerInput.dq = increment.m_dq;
  for (int i = 0; i < 3; ++i) m_mixerInput.dv[i] = increment.m_dv[i];
  bool mixed = false;
  if (filter->isInitialized()) mixed = m_mixer.processSample(m_mixerInput, m_mixerOutput, usable);
  const zelto::Mk4_700SampleMixerOutput& out = m_mixerOutput;
  zelto::Vector3 position(out.position[0], out.position[1], out.position[2]);
  zelto::Vector3 velocity(out.velocity[0], out.velocity[1], out.velocity[2]);
  zelto::Vector3 acceleration(out.acceleration[0], out.acceleration[1], out.acceleration[2]);
  if (mixed && out.valid && zelto::mk4::isFinite(out.orientation) && zelto::mk4::isFinite(position) &&
      zelto::mk4::isFinite(velocity) && zelto::mk4::isFinite(acceleration)) {
    if (out.navigationState != 0) {
      ZtDataPacket_setPositionLLA(&packet, &position);
      ZtDataPacket_setVelocity(&packet, &velocity, ZDI_FrameNone);
    }
    const ZtQuaternion orientation = doOrientationResets(out.orientation);
    ZtDataPacket_setOrientationQuaternion(&packet, &orientation, ZDI_FrameNone);
    zelto::mk4::rotateVector(alignmentRotationQuaternion(ZAF_Local), acceleration);
    ZtDataPacket_setFreeAcceleration(&packet, &acceleration);
  }
  setStatusInPacket(packet, status);
}

void KtMk4_700Device::setStatusInPacket(ZtDataPacket& packet, uint32_t status) {
  if (!hasZkfFilter()) {
    KtDevice::setStatusInPacket(packet, status);
    return;
  }
  status = (status & ~kNavigationStateMask) |
           ((static_cast<uint32_t>(m_mixerOutput.navigationState) & 0x7) << kNavigationStateShift);
  KtDevice::setStatusInPacket(packet, zelto::mk4::filterStatus(status, m_output.m_valid, m_output.m_zruRunning,
                                                               m_output.m_zruAborted, m_output.m_zruSamplesRejected));
}
