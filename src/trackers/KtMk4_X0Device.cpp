#include "trackers/KtMk4_X0Device.h"

#include <cmath>
#include <memory>

#include "device/DeviceFactory.h"
#include "ekts/EktsManager.h"
#include "errors/ZtException.h"
#include "filters/common/KtMk4HardwareParams.h"
#include "filters/common/ZtZkfFilter.h"
#include "filters/zkf3i/Zkf3iAiding.h"
#include "filters/zkf3i/Zkf3iFilter.h"
#include "filters/zkf3i/Zkf3iFilterSteps.h"
#include "filters/zkf3i/Zkf3iParams.h"
#include "filters/zkf3i/Zkf3iRealTimeParameters.h"
#include "filters/zkf3i/Zkf3iScenarioParams.h"
#include "filters/zkf3i/Zkf3iSensorData.h"
#include "filters/zkf3i/Zkf3iState.h"
#include "foundation/JournalMacros.h"
#include "foundation/Setting.h"
#include "trackers/ExtendedScenario.h"
#include "trackers/Mk4FilterSupport.h"

namespace {

// The scenario flag that the restricted series refuses (bit 2 of the flag word).
constexpr uint16_t kRestrictedScenarioFlag = 0x0004;

}  // namespace

KtMk4_X0Device::KtMk4_X0Device(DeviceFactory& factory, Communicator* communicator)
    : KtMk4Device(factory, communicator) {}

KtMk4_X0Device::KtMk4_X0Device(ZtDevice* master, const ZtDeviceId& deviceId) : KtMk4Device(master, deviceId) {}

KtMk4_X0Device::~KtMk4_X0Device() = default;

ZtDevice* KtMk4_X0Device::constructAsMaster(DeviceFactory& factory, Communicator* communicator) {
  return constructAsMasterDevice<KtMk4_X0Device>(factory, communicator);
}

bool KtMk4_X0Device::isNoFilterSeries() const { return ZtDeviceId_isKtMk4_10(deviceId()) != 0; }
bool KtMk4_X0Device::isRestrictedSeries() const { return ZtDeviceId_isKtMk4_20(deviceId()) != 0; }

ZkfState* KtMk4_X0Device::createFilterState() const { return new zelto::Zkf3iState(); }

// ---- Scenarios and the filter ------------------------------------------------------------------------

void KtMk4_X0Device::loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings,
                                  const std::string& prefix, const std::string& filterName) {
  if (isNoFilterSeries()) throw ZtException(ZRV_INVALIDPARAM, prefix + ": this tracker runs no host filter");
  if (!scenario) throw ZtException(ZRV_INVALIDPARAM, "no scenario");
  if (zelto::settingsStringCompare(filterName.c_str(), "ZKF-3I") != 0)
    throw ZtException(ZRV_INVALIDPARAM, "not a ZKF-3I scenario: " + filterName);
  auto* parameters = installScenarioParameters<zelto::Zkf3iFilter, zelto::Zkf3iScenarioParams>(scenario, prefix);
  if (!parameters->readFromFileNoThrow(settings, prefix))
    throw ZtException(ZRV_INVALIDPARAM, prefix + ": the scenario does not read");
  if (isRestrictedSeries() && (parameters->flags & kRestrictedScenarioFlag) != 0)
    throw ZtException(ZRV_INVALIDPARAM, prefix + ": scenario not available on this tracker");
}

bool KtMk4_X0Device::initializeFilter() {
  using FilterHandle = zelto::NonIntrusiveSharedPointer<ZtZkfFilter>;
  if (isNoFilterSeries()) {
    setZkfFilter(FilterHandle());
    return false;
  }
  auto params = std::make_unique<zelto::Zkf3iParams>();
  m_latchedMag = zelto::Vector3();
  m_output = zelto::Zkf3iFilterOutput();
  if (m_currentHostProfile.type == 0 || !initializeSdiWindows()) {
    setZkfFilter(FilterHandle());
    return false;
  }
  const ExtendedScenario* scenario = findScenario(m_hostScenarios, m_currentHostProfile.type);
  if (scenario && scenario->profile().filterType == static_cast<char>(zelto::kZkf3iFilterIdentity.type)) {
    gatherFilterInputs(100.0);
    const auto* scenarioParams = dynamic_cast<const zelto::Zkf3iScenarioParams*>(scenario->parameters());
    const auto* hardware = dynamic_cast<const KtMk4HardwareParams*>(&hardwareParameters());
    if (!scenarioParams || !hardware) return false;
    const zelto::Zkf3iFilterSteps steps;
    // A refused derivation is journalled by the parameters; the installed filter stays.
    if (!params->initialize(*scenarioParams, *hardware, m_userParams, steps)) return false;
    if (!setZdaFilterProfile(*scenario)) {
      JLOG_ALERT("setZdaFilterProfile failed");
      return false;
    }
  } else {
    setZkfFilter(FilterHandle());
  }
  FilterHandle filter(new zelto::Zkf3iFilter(params.get()));
  setZkfFilter(filter);
  if (const zelto::SettingsFile* state = initialState()) resumeHostState(*state, *filter);
  return true;
}

bool KtMk4_X0Device::resumeHostState(const zelto::SettingsFile& state, ZtZkfFilter& filter) {
  zelto::Zkf3iState initial;
  if (!initial.readFromFileNoThrow(state, "")) return false;
  filter.setFullState(&initial);
  resumeOutputWindow(state);
  double mag[3];
  if (zelto::mk4::getValues(state, "host.mag", mag, 3)) m_latchedMag = zelto::Vector3(mag[0], mag[1], mag[2]);
  return true;
}

void KtMk4_X0Device::writeHostState(zelto::SettingsFile& file) const {
  writeOutputWindow(file);
  const double mag[3] = {m_latchedMag[0], m_latchedMag[1], m_latchedMag[2]};
  zelto::mk4::putValues(file, "host.mag", mag, 3);
}

bool KtMk4_X0Device::storeFilterState() {
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter || !filter->isInitialized()) return KtDevice::storeFilterState();
  // getFullState copies only into a state of the filter's own kind.
  if (filter->type() != static_cast<char>(zelto::kZkf3iFilterIdentity.type)) return false;
  zelto::Zkf3iState state;
  filter->getFullState(&state);
  m_ekts->setGyroBiasEstimation(state.gyrBias);
  return true;
}

void KtMk4_X0Device::resetSoftwareFilter(zelto::SettingsFile* settings) {
  // One hold of the lock: no step falls between the restart and the restored state.
  std::lock_guard<std::recursive_mutex> lock(m_filterLock);
  KtMk4Device::resetSoftwareFilter(settings);
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter) return;
  m_latchedMag = zelto::Vector3();
  m_output = zelto::Zkf3iFilterOutput();
  if (settings) resumeHostState(*settings, *filter);
}

void KtMk4_X0Device::fetchAvailableHardwareScenarios() {
  if (isNoFilterSeries()) {
    m_onboardProfiles.clear();
    return;
  }
  KtDevice::fetchAvailableHardwareScenarios();
}

// ---- Per packet ----------------------------------------------------------------------------------------

void KtMk4_X0Device::performFiltering(ZtDataPacket& packet) {
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> handle = zkfFilter();
  if (!handle) return;
  auto* filter = dynamic_cast<zelto::Zkf3iFilter*>(handle.get());
  const uint32_t status = ZtDataPacket_status(&packet);
  if (!filter) {
    setStatusInPacket(packet, status);
    return;
  }
  const bool hasMag = ZtDataPacket_containsCalibratedMagneticField(&packet) != 0;
  zelto::Vector3 mag;
  if (hasMag) ZtDataPacket_calibratedMagneticField(&packet, &mag);
  const bool hasRaw = ZtDataPacket_containsRawData(&packet) != 0;
  const zelto::Quaternion sensorRotation = alignmentRotationQuaternion(ZAF_Sensor);

  if (!ZtDataPacket_containsSdiData(&packet)) {
    if (hasMag) m_latchedMag = mag;
    if (filter->isInitialized())
      filter->getLastOutput(m_output);
    else
      m_output.valid = false;
    setStatusInPacket(packet, status);
    return;
  }

  ZtSdiData sdi;
  ZtDataPacket_sdiData(&packet, &sdi);
  zelto::SdiData increment;
  increment.m_dq = sdi.orientationIncrement;
  for (int i = 0; i < 3; ++i) increment.m_dv[i] = sdi.velocityIncrement[i];
  // Without raw data the device's increments are of the aligned (object) frame.
  if (!hasRaw) zelto::mk4::objectToSensorIncrement(sensorRotation, increment.m_dq, increment.m_dv);

  zelto::Quaternion orientation(0.0, 0.0, 0.0, 0.0);
  zelto::Zkf3iSensorData sensorData;
  bool complete;
  zelto::Quaternion accumulated;
  {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    complete = m_outputSdiWindow.add(increment);
    accumulated = m_outputSdiWindow.m_dq;
    if (complete) {
      sensorData.dq = m_outputSdiWindow.m_dq;
      sensorData.dv = m_outputSdiWindow.m_dv;
    }
  }
  if (!complete) {
    if (hasMag) m_latchedMag = mag;
    if (filter->isInitialized()) {
      filter->getLastOutput(m_output);
      orientation.isQuatMulQuat(m_output.q_ls, accumulated);
    } else {
      m_output.valid = false;
    }
  } else {
    sensorData.clipAcc = static_cast<uint16_t>((status >> 8) & 0x7);
    sensorData.clipGyr = static_cast<uint16_t>((status >> 11) & 0x7);
    zelto::Zkf3iAiding aiding;
    if (hasMag) {
      aiding.mag = mag;
    } else {
      aiding.mag = m_latchedMag;
      if (!hasRaw) zelto::mk4::rotateVector(sensorRotation, aiding.mag);
    }
    m_latchedMag = zelto::Vector3();
    zelto::Zkf3iRealTimeParameters realTime;
    realTime.noRotationDuration = m_pendingNoRotation.exchange(0);
    // Through the filter's interface, so that a filter standing in for it is the one stepped.
    ZtZkfFilter& step = *filter;
    if (step.doOneKalmanStep(sensorData, aiding, realTime, m_output, nullptr)) orientation = m_output.q_ls;
  }
  // An estimate that is not finite is no estimate: the packet goes on without orientation.
  if (!zelto::mk4::isFinite(orientation) || !zelto::mk4::isFinite(m_output.a_l)) {
    m_output.valid = false;
    setStatusInPacket(packet, status);
    return;
  }
  const ZtQuaternion result = doOrientationResets(orientation);
  ZtDataPacket_setOrientationQuaternion(&packet, &result, ZDI_FrameNone);
  zelto::Vector3 freeAcceleration = m_output.a_l;
  zelto::mk4::rotateVector(alignmentRotationQuaternion(ZAF_Local), freeAcceleration);
  ZtDataPacket_setFreeAcceleration(&packet, &freeAcceleration);
  setStatusInPacket(packet, status);
}

void KtMk4_X0Device::setStatusInPacket(ZtDataPacket& packet, uint32_t status) {
  // Without a host filter the device's own bits stand.
  if (!hasZkfFilter()) {
    KtDevice::setStatusInPacket(packet, status);
    return;
  }
  KtDevice::setStatusInPacket(packet, zelto::mk4::filterStatus(status, m_output.valid, m_output.zruRunning,
                                                               m_output.zruAborted, m_output.zruSamplesRejected));
}

int KtMk4_X0Device::getBaseFrequency(ZtDataIdentifier dataIdentifier) const {
  switch (dataIdentifier & 0xFE00) {
    case 0x0000:
    case 0xA000:
    case 0xB000:
    case 0xE000:
      return 2000;
    case 0x0800:
    case 0x2000:
    case 0x4000:
    case 0x8000:
      return 400;
    case 0xC000:
      return 100;
    default:
      return 0;
  }
}
