#include "support/StationStreamRig.h"

#include <termios.h>
#include <unistd.h>

#include <cmath>

#include "support/emulator/EmuFrame.h"
#include "support/emulator/SdiPayload.h"

namespace zelto::test {

namespace {
constexpr uint32_t kFloatForm = 0x000;
constexpr int kRate = 100;
}  // namespace

StationStreamRig::StationStreamRig(int trackers) : emu(std::make_unique<FdEmulatorLink>(dup(pty.masterFd()))) {
  for (int t = 0; t < trackers; ++t) ids.push_back(kFirstTracker + static_cast<uint32_t>(t));
  model.setChildren(ids);
  model.setChannel(11);
  model.attachTo(emu);
  std::vector<DeviceEmulator::LegacyDevice> devices;
  for (uint32_t id : ids) devices.push_back({id, SdiPayload::kOutputMode, kFloatForm});
  std::vector<uint8_t> configuration = DeviceEmulator::legacyConfigurationPayload(StationModel::kStationId, devices);
  configuration[4] = 0x04;  // sample period 1152: 100 Hz
  configuration[5] = 0x80;
  emu.script(DeviceEmulator::ReqConfiguration, EmuAction::reply(configuration));
  emu.setStreamOnMeasurement(false);  // the stream is the test's
  control = std::make_unique<TestControl>();
  control->setKind(StationModel::kStationId, TestControl::WirelessStation);
  for (uint32_t id : ids) control->setKind(id, TestControl::Wireless);
}

StationStreamRig::~StationStreamRig() {
  if (m_handler)
    for (KtwDevice* k : trackers) k->removeCallbackHandler(m_handler, false);
  control.reset();
  emu.stop();
}

bool StationStreamRig::open(ZtCallbackPlainC* handler) {
  ZtString name;
  ZtString_construct(&name, pty.slavePath().c_str());
  const bool opened = control->openPort(name, B115200);
  ZtString_destruct(&name);
  station = opened ? dynamic_cast<TovanaStationDevice*>(control->device(StationModel::kStationId)) : nullptr;
  if (!station) return false;
  m_handler = handler;
  for (uint32_t id : ids) {
    auto* k = dynamic_cast<KtwDevice*>(station->findDevice(id));
    if (!k || !k->isInitialized()) return false;
    // A scripted tracker's initialisation leaves the caches to the tracker's own.
    k->createDataCache();
    if (handler) k->addCallbackHandler(handler, false);
    trackers.push_back(k);
  }
  return station->gotoMeasurement();
}

std::vector<uint8_t> StationStreamRig::tick(int trackers, int k) {
  std::vector<uint8_t> out;
  const double dt = 1.0 / kRate;
  for (int t = 0; t < trackers; ++t) {
    SdiPayload::Interval i;
    i.deviceId = kFirstTracker + static_cast<uint32_t>(t);
    i.first = static_cast<uint16_t>(kStartFrame + k);
    i.last = static_cast<uint16_t>(kStartFrame + k + 1);
    const double half = 0.5 * 0.2 * dt * (1.0 + 0.01 * static_cast<double>(t));
    i.dq[0] = std::cos(half);
    i.dq[3] = std::sin(half);
    i.dv[2] = 9.81 * dt;
    i.mag[0] = 0.4;
    i.mag[2] = -0.3;
    i.rssi = static_cast<int8_t>(-40 - t);
    const std::vector<uint8_t> frame = EmuFrame{0xFF, 0x32, SdiPayload::encode(i, kFloatForm)}.encode();
    out.insert(out.end(), frame.begin(), frame.end());
  }
  return out;
}

std::vector<std::vector<uint8_t>> StationStreamRig::ticks(int trackers, int first, int count) {
  std::vector<std::vector<uint8_t>> out;
  for (int k = first; k < first + count; ++k) out.push_back(tick(trackers, k));
  return out;
}

}  // namespace zelto::test
