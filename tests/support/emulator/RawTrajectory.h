#pragma once
// Raw streaming of the emulated tracker: the motion simulator's truth turned into the sensor
// counts the tracker would send, through the inverse of the calibration in the device record
// (TrackerSensorModel), written here apart from the library:
//   counts = G_T x + o_T  (the gyroscope also sees G_T dep acc), rounded to u16,
// where G_T is the gain matrix with its diagonal scaled for the temperature T and o_T the offset
// at T. Each 0x36 message carries the packet counter, the raw block (nine counts and the
// temperature) and, unless left out for that counter, the status word. The truth of every
// sample is kept by its counter, so a test compares what the library delivers with it.
//
//   TrackerModel model;
//   RawTrajectory::useRawOutput(model, 1152, 0);            // raw 0x4000, no orientation 0x0004
//   RawTrajectory stream(model.sensor, config, segments);    // config.outputRate = 100 Hz
//   stream.attachTo(emulator);   // streams while measuring at the rate; sendDataBurst(n) for bursts
//
// Threads: next() runs on the emulator's serving thread (or the caller of sendDataBurst); truth()
// may be called from any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "filtersim/Barometer.h"
#include "filtersim/GnssReceiver.h"
#include "filtersim/MotionSimulator.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/TrackerModel.h"

namespace zelto::test {

// Navigation mode of the fourth-generation output: a GNSS receiver and a barometer ride on the
// trajectory (the simulator's geodetic truth); the configuration's 0x8840 entry sends the
// receiver's last fix as a raw solution (fix type, ECEF position and velocity in cm and cm/s,
// accuracies in cm and cm/s; nothing before the first fix), its 0x3010 entry the barometer's
// pressure (whole pascal) with its age.
struct NavigationStream {
  filtersim::GnssConfig gnss;
  filtersim::BarometerConfig barometer;
  uint8_t fixType = 3;
};

struct RawStreamOptions {
  double temperature = 25.0;  // degrees C, sent as (T + 35) * 256
  uint32_t status = 0;        // the status word sent
  // Every n-th counter (counter % n == n - 1) goes without status; 0: every packet has one.
  unsigned statusOmittedEvery = 0;
  // Fourth-generation streams: one temperature per gyroscope axis (sent in item 0xA020).
  double gyroTemperatures[3] = {25.0, 25.0, 25.0};
  std::optional<NavigationStream> navigation;
};

class RawTrajectory {
 public:
  // The trajectory at config.outputRate. Once it ends it starts over from where it stopped
  // (repeat) or the tracker stays still there.
  RawTrajectory(const TrackerSensorModel& sensor, const filtersim::SimulatorConfig& config,
                std::vector<filtersim::Segment> segments, bool repeat = false, RawStreamOptions options = {});

  // The next sample's 0x36 payload, sent with this counter. With keepWindow (output configuration
  // only) the increment windows stay open: the next payload's increments also cover this sample,
  // as a wireless tracker's do when the radio lost the packet (or delivers it late).
  std::vector<uint8_t> next(uint16_t counter, bool keepWindow = false);
  // The truth of the latest sample sent with the counter; false when none was.
  bool truth(uint16_t counter, filtersim::Sample& out) const;
  uint64_t samplesMade() const;
  const filtersim::SimulatorConfig& config() const { return m_config; }

  // More items for every raw sample, appended after the raw block (before the status) from the
  // sample's truth: e.g. GNSS PVT items at the receiver's rate (GnssPvtItems). Set before the
  // stream runs; called on the thread that runs next().
  void setExtraItems(std::function<void(const filtersim::Sample&, std::vector<uint8_t>&)> appender);

  // The emulator sends this stream's samples (and streams at config.outputRate while measuring).
  // The stream must outlive the emulator's use of it.
  void attachTo(DeviceEmulator& emulator);

  // Fourth-generation output: from now on every sample carries the items of the model's output
  // configuration at that moment (read per sample, so a configuration set on the wire takes
  // effect at once). The simulator's rate (config.outputRate) is the base tick; an entry at
  // frequency f is sent on every (rate / f)-th sample, at the end of its window:
  //   0xA010 raw counts through the inverse fourth-generation calibration, with 0xA020 (three
  //   gyroscope temperatures); 0x8030 / 0x4010 the truth's increments composed over the window
  //   (frame at the window's start); 0x2010 the true attitude; 0x4020, 0x8020, 0xC020 the
  //   calibrated values; group 0xE000 the status word. Floats throughout. The model must outlive
  //   the stream.
  void useOutputConfiguration(const TrackerModel& model);
  // Navigation mode (RawStreamOptions::navigation; before the first sample).
  void useNavigation(const NavigationStream& navigation);
  // The fourth-generation counts: nine sensor counts, the sensor temperature word, then the three
  // gyroscope temperature words. counts = diag(gain(t)) r x + offset(t) per axis, with gain and
  // offset quadratic in the temperature (the gyroscope's per axis) and the gyroscope seeing
  // G acc on top.
  static void rawCountsMk4(const TrackerSensorModel& sensor, const double temperatures[4], const double acc[3],
                           const double gyr[3], const double mag[3], uint16_t counts[13]);

  // The model reports raw data with status and no orientation (output mode 0x4800) at the
  // sample period and skip factor given.
  static void useRawOutput(TrackerModel& model, uint16_t period, uint16_t skipFactor);
  // The rate a sample period and skip factor give: 115200 / (period (skip + 1)); 57 and 58 stand
  // for 57.6 (2000 Hz); 0 for period 0.
  static double rateOf(uint16_t period, uint16_t skipFactor);
  // The counts of one sample (raw sensor block: nine counts, then the temperature word).
  static void rawCounts(const TrackerSensorModel& sensor, double temperature, const double acc[3],
                        const double gyr[3], const double mag[3], uint16_t counts[10]);

 private:
  void restartSimulator();

  std::function<void(const filtersim::Sample&, std::vector<uint8_t>&)> m_extraItems;
  TrackerSensorModel m_sensor;
  filtersim::SimulatorConfig m_config;
  std::vector<filtersim::Segment> m_segments;
  bool m_repeat;
  RawStreamOptions m_options;
  std::unique_ptr<filtersim::MotionSimulator> m_simulator;  // used by next() only
  filtersim::Quat m_lastAttitude = filtersim::Quat::Identity();
  uint64_t m_restarts = 0;
  // Fourth-generation mode (used by next() only).
  const TrackerModel* m_configuredBy = nullptr;
  std::vector<uint8_t> configuredPayload(uint16_t counter, const filtersim::Sample& s, const double rate[3],
                                         bool keepWindow);
  filtersim::Quat m_windowDq[2] = {filtersim::Quat::Identity(), filtersim::Quat::Identity()};
  filtersim::Vec3 m_windowDv[2] = {filtersim::Vec3::Zero(), filtersim::Vec3::Zero()};
  uint64_t m_configuredSamples = 0;
  // Navigation mode (used by next() only).
  std::unique_ptr<NavigationStream> m_navigation;
  std::unique_ptr<filtersim::GnssReceiver> m_gnss;
  std::unique_ptr<filtersim::Barometer> m_barometer;

  // Stores the truth of the sample sent with the counter.
  void keepTruth(uint16_t counter, const filtersim::Sample& s);
  mutable std::mutex m_truthMutex;  // guards the two below
  // By counter, made on first use (a stream sends a few of the 65536 counters).
  std::vector<std::unique_ptr<filtersim::Sample>> m_truth;
  uint64_t m_made = 0;
};

// The default trajectory of the emulator program: still for three seconds, then turns about
// the vertical and a tilted axis with still pauses (about 20 s per round).
std::vector<filtersim::Segment> defaultDemoTrajectory();

}  // namespace zelto::test
