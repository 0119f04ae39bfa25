#pragma once
// KtigDevice fixtures for the tracker tests: the device with its protected state reachable
// (TestKtig), one without link over the GNSS-aided record (OfflineKtig), one on a pseudo-terminal
// served by the emulator in its GNSS-aided mode (EmulatedKtig), and a scripted Zkf6 step that
// keeps the aiding it was given and answers with a scripted output.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "ekts/EktsManager.h"
#include "filters/common/KtigHardwareParams.h"
#include "filters/zkf6/Zkf6Aiding.h"
#include "filters/zkf6/Zkf6Filter.h"
#include "filters/zkf6/Zkf6FilterOutput.h"
#include "filters/zkf6/Zkf6Params.h"
#include "support/EmulatedTracker.h"
#include "support/NullZkfFilter.h"
#include "support/TestDevice.h"
#include "trackers/KtigDevice.h"
#include "transport/link/Communicator.h"

namespace zelto::test {

// The emulated GNSS-aided tracker: family 0x06, lever arm (1.5, 0.25, -0.5) m in the record.
constexpr uint32_t kKtigId = 0x00061234;
inline const double kKtigLeverArm[3] = {1.5, 0.25, -0.5};

inline void useKtig(TrackerModel& m) { m.useGnss(kKtigId, kKtigLeverArm); }

class TestKtig : public KtigDevice {
 public:
  explicit TestKtig(Communicator* link) : KtigDevice(TestDevice::noFactory(), link) {}

  bool loadRecord(const std::vector<uint8_t>& image) {
    return m_ekts->initializeFromBuffer(image.data(), static_cast<int>(image.size()), true);
  }
  bool fetchRecord() { return fetchRecordOf(*this, *m_ekts); }
  bool fetchConfiguration() { return fetchConfigurationOf(*this, m_configuration); }
  void setState(ZtDeviceState state) { m_deviceState = state; }
  void setPendingReset(ZtResetMethod method) { m_resetMethod = method; }
  zelto::Quaternion internalObjectAlignment() const {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    return m_internalObjectAlignment;
  }
  EktsManager& record() { return *m_ekts; }
  KtigHardwareParams& ktigHardware() { return static_cast<KtigHardwareParams&>(hardwareParameters()); }

  // Counts the GNSS status answers (on the link's parsing thread).
  void handleGpsStatus(const ZtMessage& message) override {
    KtigDevice::handleGpsStatus(message);
    std::lock_guard<std::mutex> lock(m_seenMutex);
    ++m_gpsStatusSeen;
    m_seen.notify_all();
  }
  bool waitForGpsStatus(int count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_seenMutex);
    return m_seen.wait_for(lock, limit, [&] { return m_gpsStatusSeen >= count; });
  }
  int gpsStatusSeen() {
    std::lock_guard<std::mutex> lock(m_seenMutex);
    return m_gpsStatusSeen;
  }

 private:
  std::mutex m_seenMutex;
  std::condition_variable m_seen;
  int m_gpsStatusSeen = 0;
};

struct OfflineKtig {
  OfflineKtig() : device(new TestKtig(nullptr)) {
    TrackerModel model;
    useKtig(model);
    EXPECT_TRUE(device->loadRecord(model.recordImage()));
  }
  ~OfflineKtig() { delete device; }
  OfflineKtig(const OfflineKtig&) = delete;
  OfflineKtig& operator=(const OfflineKtig&) = delete;
  TestKtig* device;
};

class EmulatedKtig : public EmulatedDevice<TestKtig> {
 public:
  EmulatedKtig()
      : EmulatedDevice<TestKtig>([](TrackerModel& m) { useKtig(m); }, [](Communicator* l) { return new TestKtig(l); }) {}
};

// A Zkf6 step that keeps the aiding it was given and writes the scripted output; its parameter
// record is a real Zkf6Params (the object reset writes into it).
class ScriptedZkf6 : public NullZkfFilter {
 public:
  bool doOneKalmanStep(const ZkfSensorData&, const ZkfAiding& aiding, const ZkfRealTimeParameters&,
                       ZkfFilterOutput& output, const ZkfTime*) override {
    ++steps;
    if (const auto* a = dynamic_cast<const zelto::Zkf6Aiding*>(&aiding)) lastGps = a->gps;
    auto* out = dynamic_cast<zelto::Zkf6FilterOutput*>(&output);
    if (!succeed || !out) return false;
    out->orientation = orientation;
    out->position = position;
    out->velocity = velocity;
    out->valid = valid;
    return true;
  }
  ZkfParams* getFilterParameters() override { return &params; }
  char type() const override { return zelto::Zkf6Filter::kType; }

  bool succeed = true;
  zelto::Quaternion orientation;
  zelto::Vector3 position{52.5, 6.25, 30.0};
  zelto::Vector3 velocity{1.0, 2.0, 3.0};
  bool valid = true;
  zelto::Zkf6Params params;
  ZkfGpsPrintData lastGps;
  int steps = 0;
};

}  // namespace zelto::test
