#pragma once
// The emulator as a tracker: one settings table (per request id, the value bytes as the device
// sends them) drives the answers to the setting requests, the 0x0D configuration and the 0x91
// device record, which is built with the library's record classes (versions 3, 4 and 5,
// with or without page 5) for the simulated sensor below. A value set on the wire changes the
// table, so a later 0x0C or 0x90 reports it.
//
//   DeviceEmulator emu(...);
//   TrackerModel model;            // defaults: a host-filtered tracker, record version 3
//   model.attachTo(emu);           // the emulator answers from the model from now on
//
// A script on the emulator for an id takes precedence over the model (silence, other replies).
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/emulator/DeviceEmulator.h"

namespace zelto {
class Ekts;
}

namespace zelto::test {

// The simulated sensor: calibration and hardware characteristics that go into the record. Kept
// in one place: raw samples are made through its inverse.
struct TrackerSensorModel {
  double offsetAcc[3] = {32768.5, 32770.0, 32767.25};
  double offsetGyr[3] = {32760.0, 32775.5, 32768.0};
  double offsetMag[3] = {32768.0, 32769.0, 32766.0};
  double gainAcc[3] = {410.0, 412.5, 409.0};
  double gainGyr[3] = {2200.0, 2210.0, 2195.0};
  double gainMag[3] = {15000.0, 15100.0, 14900.0};
  // Misalignment matrices (row by row) and the gyroscope's acceleration dependency.
  double rAcc[9] = {1.0, 0.002, -0.001, 0.0015, 1.0, 0.003, -0.002, 0.001, 1.0};
  double rGyr[9] = {1.0, -0.004, 0.002, 0.001, 1.0, -0.001, 0.003, 0.002, 1.0};
  double rMag[9] = {1.0, 0.01, 0.0, -0.01, 1.0, 0.005, 0.0, -0.005, 1.0};
  double gyrOffsetAccDependency[9] = {0.01, 0.0, 0.0, 0.0, 0.012, 0.0, 0.0, 0.0, 0.011};
  // Temperature terms.
  double tempLinOffsetAcc[3] = {0.5, -0.25, 0.125};
  double tempLinOffsetGyr[3] = {1.5, -2.0, 0.75};
  double tempLinOffsetMag[3] = {0.0, 0.0, 0.0};
  double tempLinGainAcc[3] = {0.0001, 0.0002, -0.0001};
  double tempLinGainGyr[3] = {0.0003, -0.0002, 0.0001};
  double tempLinGainMag[3] = {0.0, 0.0, 0.0};
  double tempQuadOffsetAcc[3] = {0.001, 0.002, 0.003};
  double tempQuadOffsetGyr[3] = {0.004, 0.005, 0.006};
  double tempQuadGainAcc[3] = {1e-6, 2e-6, 3e-6};
  double tempQuadGainGyr[3] = {4e-6, 5e-6, 6e-6};
  // Only the fourth-generation record (version 5) holds these.
  double tempQuadOffsetMag[3] = {0.002, -0.001, 0.0015};
  double tempQuadGainMag[3] = {2e-6, 1e-6, -1e-6};
  // The page-5 hardware block.
  double accRange = 17.0;
  double gyrRange = 1200.0;
  double sdVAcc = 0.002;
  double sdVGyr = 0.0008;
  double sdVMag = 0.001;
  double deltaAccBias = 0.0001;
  double deltaGyrBias = 0.00005;
  double sdInitAccBias = 0.05;
  double sdInitGyrBias = 0.01;
  double fDynamicGyro = 0.5;
  // The noise densities of the version-5 record (m/s^2/sqrt(Hz), deg/s/sqrt(Hz)), from which
  // the host filters take their process noise; 0 (a record without noise) unless a test sets
  // them.
  double ndAcc = 0.0;
  double ndGyr = 0.0;

  // Writes the calibration into a record (fields the record's version lacks are skipped).
  void writeCalibration(Ekts& record) const;
  // Writes the ten hardware values into the 264-byte page-5 block.
  void writeHardwareBlock(uint8_t* block) const;
};

class TrackerModel {
 public:
  // Request ids of the table. Each row holds the value bytes the device reports for a request
  // without payload; a request with payload stores its payload there. The processing flags
  // (0x20, 2 bytes), heading offset (0x82, a float) and object alignment (0xE0, nine floats) are
  // set only by a payload of exactly their size; another non-empty payload is refused (0x42).
  enum : uint8_t {
    Period = 0x04, ProcessingFlags = 0x20, NoRotation = 0x22, SelfTest = 0x24, RequestData = 0x34, CurrentScenario = 0x64,
    GravityMagnitude = 0x66, LabMagneticField = 0x6A, LatLonAlt = 0x6E, HeadingOffset = 0x82,
    LocationId = 0x84, ExtOutputMode = 0x86, StoreFilterState = 0x8A, StringOutputType = 0x8E,
    RequestRecord = 0x90, Record = 0x91, OutputConfiguration = 0xC0, OutputMode = 0xD0,
    OutputSettings = 0xD2, OutputSkipFactor = 0xD4, SyncIn = 0xD6, SyncOut = 0xD8, ErrorMode = 0xDA,
    Rs485Delay = 0xDC, ObjectAlignment = 0xE0, RequestProfiles = 0x62, WritePage = 0x96,
    SyncSettings = 0x2C, AlignmentRotation = 0xEC, UtcTime = 0x60, LeverArm = 0x68, GpsStatus = 0xA6
  };
  // How late the self-test result comes (within the self-test's own time-out).
  static constexpr int kSelfTestDelayMs = 400;

  TrackerModel();

  // Fixed identity and record shape (set before use).
  uint32_t deviceId = 0x00071234;  // host-filtered family
  std::string productCode = "KT-A3G2-MTX";
  uint16_t hardwareVersion = 0x0102;
  int recordVersion = 3;  // 3, 4 or 5
  bool page5 = true;
  uint16_t dataLength = 42;
  std::string date = "20261209";  // configuration date text, YYYYMMDD
  uint16_t serialDay = 46000;     // the record's calibration / last known date
  char filterType = '3';
  uint8_t filterMajor = 1;
  uint8_t filterMinor = 2;
  TrackerSensorModel sensor;

  // Fourth-generation mode: a version-5 record that also holds the output configuration (row
  // 0xC0), the synchronisation rows (row 0x2C, 12 bytes per setting) and both alignment
  // rotations (0xEC [frame, w, x, y, z as floats], 17 bytes, acknowledged and kept per frame);
  // the processing flags (0x20) stay in the table only, as the record has no field for them.
  // The configuration starts empty (legacy output) unless given.
  void useFourthGeneration(uint32_t id, std::vector<std::pair<uint16_t, uint16_t>> configuration = {});
  bool fourthGeneration() const;
  // The output configuration the device holds now (row 0xC0 as pairs, up to an identifier 0).
  std::vector<std::pair<uint16_t, uint16_t>> outputConfiguration() const;
  // The alignment rotation of frame 0 (sensor) or 1 (local), w x y z.
  std::vector<float> alignmentRotation(int frame) const;

  // GNSS-aided mode: the id (family 0x06) and three more rows: the lever arm (0x68, three floats,
  // acknowledged by 0x69 and kept in the record's lever arm), the GNSS status (0xA6 answered by
  // 0xA7 with the row's bytes) and the UTC time (0x60 answered by 0x61, 12 bytes). The record
  // also carries the GNSS receiver's hardware version.
  void useGnss(uint32_t id, const double leverArm[3]);
  uint16_t gpsHardwareVersion = 0x0100;

  // Answers from the model on the emulator's serving thread (see DeviceEmulator::setModel).
  void attachTo(DeviceEmulator& emulator);
  // The answer to one request; false when the model does not know the id.
  bool answer(const EmuFrame& request, EmuAction& action);

  // The settings table (a copy), one row, and one row set (as the wire would).
  std::map<uint8_t, std::vector<uint8_t>> table() const;
  std::vector<uint8_t> row(uint8_t requestId) const;
  void setRow(uint8_t requestId, std::vector<uint8_t> value);
  // The synchronisation values by parameter index (in: 0 mode, 1 skip factor, 2 offset; out: 0
  // mode, 1 skip factor, 2 offset, 3 pulse width).
  uint32_t syncIn(int parameter) const;
  uint32_t syncOut(int parameter) const;
  // The sync request (SyncIn or SyncOut) for one parameter goes unanswered and changes nothing.
  void silenceSync(uint8_t requestId, int parameter);

  // Onboard profiles: the 0x63 answer to 0x62 lists them in 22-byte entries (type, version,
  // label blank-padded to 20), in the order given, followed by the first tailBytes bytes of one
  // more entry (a cut-short reply). Default: none (an empty 0x63).
  struct OnboardProfile {
    uint8_t type;
    uint8_t version;
    std::string label;
  };
  void setOnboardProfiles(std::vector<OnboardProfile> profiles, size_t tailBytes = 0);
  // Page writes: 0x96 [0, index, 264 bytes] stores the page under its index, 0x96 [255] ends the
  // writing; each is acknowledged by 0x97 (a script on the emulator silences them). The pages
  // written (stored form) and the number of end markers seen.
  std::map<uint8_t, std::vector<uint8_t>> writtenPages() const;
  size_t pageWritesEnded() const;

  // The 0x0D payload and the record's stored (scrambled) form, both from the table now.
  std::vector<uint8_t> configurationPayload() const;
  std::vector<uint8_t> recordImage() const;

 private:
  std::vector<uint8_t> configurationPayloadLocked() const;
  // Answers of the profile list and the page writes (m_mutex held).
  void answerProfilesLocked(EmuAction& action) const;
  void answerPageWriteLocked(const std::vector<uint8_t>& payload, EmuAction& action);
  std::vector<uint8_t> recordImageLocked() const;
  uint16_t u16(uint8_t requestId) const;
  uint32_t u32(uint8_t requestId) const;
  double real(uint8_t requestId, size_t index) const;

  mutable std::mutex m_mutex;  // guards the table and the sync values
  std::map<uint8_t, std::vector<uint8_t>> m_table;
  uint32_t m_syncIn[3] = {0, 0, 0};
  uint32_t m_syncOut[4] = {0, 0, 0, 0};
  int m_silentSync = -1;  // requestId << 8 | parameter, -1: none
  std::vector<OnboardProfile> m_profiles;
  size_t m_profileTail = 0;
  std::map<uint8_t, std::vector<uint8_t>> m_writtenPages;
  size_t m_pageWritesEnded = 0;
  bool m_fourthGeneration = false;
  float m_rotation[2][4] = {{1, 0, 0, 0}, {1, 0, 0, 0}};
};

}  // namespace zelto::test
