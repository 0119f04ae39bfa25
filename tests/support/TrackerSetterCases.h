#pragma once
// The table of the tracker's request/acknowledgement setters for the setter tests: for each, the
// request it must send (id and exact payload), the call, how to see that its value was cached,
// and how the emulator's table must look afterwards. A case runs on its own EmulatedTracker
// (prepare adjusts the model before the record is read, afterFetch after it, so a requested
// value differs from the cached one). A counting filter shows which setters restart it.
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ekts/EktsManager.h"
#include "math/Matrix3x3.h"
#include "support/EmulatedTracker.h"
#include "support/NullZkfFilter.h"

namespace zelto::test {

// Counts its restarts.
class CountingFilter : public NullZkfFilter {
 public:
  explicit CountingFilter(std::shared_ptr<std::atomic<int>> restarts) : m_restarts(std::move(restarts)) {}
  void restart(ZkfParams*) override { ++*m_restarts; }

 private:
  std::shared_ptr<std::atomic<int>> m_restarts;
};

inline std::vector<uint8_t> floatBytes(std::initializer_list<float> values) {
  std::vector<uint8_t> out;
  for (float v : values) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    putU32(out, bits);
  }
  return out;
}

struct SetterCase {
  std::string name;
  uint8_t requestId;
  std::vector<uint8_t> payload;  // exact request payload
  int timeoutMs;
  std::function<void(TrackerModel&)> prepare;     // before the record is read (may be empty)
  std::function<void(TrackerModel&)> afterFetch;  // after the record is read (may be empty)
  std::function<bool(TestTracker&)> call;         // the setter's result
  std::function<bool(TestTracker&)> cached;       // the new value is held (empty: nothing kept)
  int restarts;                                   // filter restarts after success
  bool rowIsPayload;                              // the emulator's row becomes the payload
};

inline bool near(double a, double b, double tolerance = 1e-5) { return std::fabs(a - b) <= tolerance; }

inline std::vector<SetterCase> setterCases() {
  std::vector<SetterCase> cases;
  auto add = [&](SetterCase c) { cases.push_back(std::move(c)); };

  add({"setNoRotation", 0x22, {0x00, 0x05}, 200, {}, {},
       [](TestTracker& t) { return t.setNoRotation(5); }, {}, 0, true});
  add({"runSelfTest", 0x24, {}, 3000, {}, {},
       [](TestTracker& t) { return t.runSelfTest() == 0x01F3; }, {}, 0, false});
  add({"setGravityMagnitude", 0x66, floatBytes({9.75f}), 200, {}, {},
       [](TestTracker& t) { return t.setGravityMagnitude(9.75); },
       [](TestTracker& t) { return near(t.gravityMagnitude(), 9.75); }, 1, true});
  // The magnetic field is a record field of version 4.
  add({"setLabMagneticField", 0x6A, floatBytes({0.5f, -0.25f, 0.125f}), 200,
       [](TrackerModel& m) { m.recordVersion = 4; }, {},
       [](TestTracker& t) {
         double v[3] = {0.5, -0.25, 0.125};
         return t.setLabMagneticField(ZtVector{v, 3, 0});
       },
       [](TestTracker& t) {
         ZtVector v = t.labMagneticField();
         const bool ok = v.size == 3 && near(v.data[0], 0.5) && near(v.data[1], -0.25) && near(v.data[2], 0.125);
         ZtVector_destruct(&v);
         return ok;
       },
       1, true});
  add({"setLatLonAlt", 0x6E,
       [] {
         std::vector<uint8_t> p = floatBytes({51.5f, 7.25f, 100.0f});
         p.resize(18, 0);
         return p;
       }(),
       200, {}, {},
       [](TestTracker& t) {
         double v[3] = {51.5, 7.25, 100.0};
         return t.setLatLonAlt(ZtVector{v, 3, 0});
       },
       [](TestTracker& t) {
         ZtVector v = t.latLonAlt();
         const bool ok = v.size == 3 && near(v.data[0], 51.5) && near(v.data[1], 7.25) && near(v.data[2], 100.0);
         ZtVector_destruct(&v);
         return ok;
       },
       0, true});
  add({"updateHeadingOffset", 0x82, {}, 200, {},
       [](TrackerModel& m) { m.setRow(TrackerModel::HeadingOffset, floatBytes({0.5f})); },
       [](TestTracker& t) {
         t.updateHeadingOffset();
         return near(t.headingOffset(), 0.5);
       },
       [](TestTracker& t) {
         const zelto::Quaternion& q = t.internalHeading();
         return near(t.headingOffset(), 0.5) && near(q.w, std::cos(0.25), 1e-9) && near(q.z, std::sin(0.25), 1e-9) &&
                q.x == 0.0 && q.y == 0.0;
       },
       0, false});
  add({"setLocationId", 0x84, {0x00, 0x15}, 200, {}, {},
       [](TestTracker& t) { return t.setLocationId(21); },
       [](TestTracker& t) { return t.locationId() == 21; }, 0, true});
  add({"storeFilterState", 0x8A, {}, 200, {}, {},
       [](TestTracker& t) { return t.storeFilterState(); }, {}, 0, false});
  add({"setOutputConfiguration", 0xC0, {0x20, 0x10, 0x00, 0xC8, 0x40, 0x20, 0x00, 0x64}, 200, {}, {},
       [](TestTracker& t) {
         ZtOutputConfiguration items[2] = {{0x2010, 200}, {0x4020, 100}};
         ZtOutputConfigurationArray a;
         ZtOutputConfigurationArray_construct(&a, 2, items);
         // The emulator echoes the request: on success the array holds the same pairs again.
         const bool ok = t.setOutputConfiguration(a);
         const bool same = a.size == 2 && a.data[0].dataIdentifier == 0x2010 && a.data[0].frequency == 200 &&
                           a.data[1].dataIdentifier == 0x4020 && a.data[1].frequency == 100;
         ZtArray_destruct(ZTARRAY(&a));
         return ok && same;
       },
       {}, 0, true});
  add({"setErrorMode", 0xDA, {0x00, 0x03}, 200, {}, {},
       [](TestTracker& t) { return t.setErrorMode(3); },
       [](TestTracker& t) { return t.errorMode() == 3; }, 0, true});
  add({"setRs485TransmissionDelay", 0xDC, {0x00, 0xFA}, 200, {}, {},
       [](TestTracker& t) { return t.setRs485TransmissionDelay(250); },
       [](TestTracker& t) { return t.rs485TransmissionDelay() == 250; }, 0, true});
  add({"updateObjectAlignmentMatrix", 0xE0, {}, 200, {},
       [](TrackerModel& m) {
         // A quarter turn about the vertical axis.
         m.setRow(TrackerModel::ObjectAlignment, floatBytes({0, -1, 0, 1, 0, 0, 0, 0, 1}));
       },
       [](TestTracker& t) {
         t.updateObjectAlignmentMatrix();
         ZtMatrix m = t.objectAlignment();
         const bool taken = m.data[1] == -1.0;
         ZtMatrix_destruct(&m);
         return taken;
       },
       [](TestTracker& t) {
         ZtMatrix m = t.objectAlignment();
         const bool matrix = m.data[1] == -1.0 && m.data[3] == 1.0 && m.data[0] == 0.0 && m.data[8] == 1.0;
         ZtMatrix_destruct(&m);
         const zelto::Quaternion& q = t.internalObjectAlignment();
         const double h = std::sqrt(0.5);
         return matrix && near(std::fabs(q.w), h, 1e-9) && near(std::fabs(q.z), h, 1e-9) && q.w * q.z > 0;
       },
       0, false});
  add({"setOutputMode", 0xD0, {0x00, 0x04}, 200, {}, {},
       [](TestTracker& t) { return t.setOutputMode(0x0004); },
       [](TestTracker& t) { return t.outputMode() == 0x0004 && t.deviceConfiguration().deviceInfo[0].outputMode == 4; },
       0, true});
  add({"setOutputSettings", 0xD2, {0x80, 0x00, 0x00, 0x81}, 200, {}, {},
       [](TestTracker& t) { return t.setOutputSettings(0x80000081u); },
       [](TestTracker& t) {
         return t.outputSettings() == 0x80000081u && t.deviceConfiguration().deviceInfo[0].outputSettings == 0x80000081u;
       },
       0, true});
  add({"setSamplePeriod", 0x04, {0x02, 0x40}, 200, {}, {},
       [](TestTracker& t) { return t.setSamplePeriod(576); },
       [](TestTracker& t) { return t.samplePeriod() == 576 && t.deviceConfiguration().samplingPeriod == 576; }, 0,
       true});
  add({"setOutputSkipFactor", 0xD4, {0x00, 0x03}, 200, {}, {},
       [](TestTracker& t) { return t.setOutputSkipFactor(3); },
       [](TestTracker& t) { return t.outputSkipFactor() == 3 && t.deviceConfiguration().outputSkipFactor == 3; }, 0,
       true});
  add({"setStringOutputType", 0x8E, {0x00, 0x02}, 200, {}, {},
       [](TestTracker& t) { return t.setStringOutputType(2); },
       [](TestTracker& t) { return t.stringOutputType() == 2; }, 0, true});
  return cases;
}

// A tracker for one case, with a counting filter installed.
struct SetterFixture {
  explicit SetterFixture(const SetterCase& c)
      : restarts(std::make_shared<std::atomic<int>>(0)),
        t([&c](TrackerModel& m) {
          if (c.prepare) c.prepare(m);
        }) {
    if (c.afterFetch) c.afterFetch(t.model);
    t.tracker->setZkfFilter(zelto::NonIntrusiveSharedPointer<ZtZkfFilter>(new CountingFilter(restarts)));
    t.mark();
  }
  std::vector<EmuFrame> requests(uint8_t id) const {
    std::vector<EmuFrame> out;
    for (const EmuFrame& f : t.framesSinceMark())
      if (f.messageId == id) out.push_back(f);
    return out;
  }
  std::shared_ptr<std::atomic<int>> restarts;
  EmulatedTracker t;
};

}  // namespace zelto::test
