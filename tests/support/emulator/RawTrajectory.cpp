#include "support/emulator/RawTrajectory.h"

#include <algorithm>
#include <cmath>

#include "support/LogFileBuilder.h"

namespace zelto::test {

namespace {

constexpr uint16_t kPacketCounter = 0x1020;
constexpr uint16_t kRawSensorData = 0xA010;
constexpr uint16_t kStatusWord = 0xE020;
constexpr double kSampleClock = 115200.0;

void putItemHeader(std::vector<uint8_t>& out, uint16_t id, uint8_t size) {
  putU16(out, id);
  out.push_back(size);
}

// counts = G x + o, G[i][j] = gain[i] r[i][j] with the diagonal scaled.
void forward(const double gain[3], const double r[9], const double scale[3], const double offset[3], const double x[3],
             uint16_t out[3]) {
  for (int i = 0; i < 3; ++i) {
    double v = offset[i];
    for (int j = 0; j < 3; ++j) v += gain[i] * r[3 * i + j] * (i == j ? scale[i] : 1.0) * x[j];
    out[i] = static_cast<uint16_t>(std::clamp<long>(std::lround(v), 0, 65535));
  }
}

}  // namespace

RawTrajectory::RawTrajectory(const TrackerSensorModel& sensor, const filtersim::SimulatorConfig& config,
                             std::vector<filtersim::Segment> segments, bool repeat, RawStreamOptions options)
    : m_sensor(sensor),
      m_config(config),
      m_segments(std::move(segments)),
      m_repeat(repeat),
      m_options(options),
      m_truth(65536),
      m_hasTruth(65536, false) {
  m_lastAttitude = m_config.initialAttitude;
  restartSimulator();
}

void RawTrajectory::restartSimulator() {
  filtersim::SimulatorConfig c = m_config;
  c.initialAttitude = m_lastAttitude;
  c.seed = m_config.seed + m_restarts;
  std::vector<filtersim::Segment> segments = m_segments;
  if (m_restarts > 0 && !m_repeat) segments = {filtersim::Segment::still(1e6)};
  ++m_restarts;
  m_simulator = std::make_unique<filtersim::MotionSimulator>(c, std::move(segments));
}

void RawTrajectory::rawCounts(const TrackerSensorModel& s, double T, const double acc[3], const double gyr[3],
                              const double mag[3], uint16_t counts[10]) {
  double oAcc[3], oGyr[3], oMag[3], kAcc[3], kGyr[3], kMag[3], gyrSeen[3];
  for (int i = 0; i < 3; ++i) {
    oAcc[i] = s.offsetAcc[i] + s.tempLinOffsetAcc[i] * T;
    oGyr[i] = s.offsetGyr[i] + s.tempLinOffsetGyr[i] * T + s.tempQuadOffsetGyr[i] * T * T;
    oMag[i] = s.offsetMag[i] + s.tempLinOffsetMag[i] * T;
    kAcc[i] = 1 + s.tempLinGainAcc[i] * T;
    kGyr[i] = 1 + s.tempLinGainGyr[i] * T + s.tempQuadGainGyr[i] * T * T;
    kMag[i] = 1 + s.tempLinGainMag[i] * T;
    gyrSeen[i] = gyr[i];
    for (int j = 0; j < 3; ++j) gyrSeen[i] += s.gyrOffsetAccDependency[3 * i + j] * acc[j];
  }
  forward(s.gainAcc, s.rAcc, kAcc, oAcc, acc, counts);
  forward(s.gainGyr, s.rGyr, kGyr, oGyr, gyrSeen, counts + 3);
  forward(s.gainMag, s.rMag, kMag, oMag, mag, counts + 6);
  counts[9] = static_cast<uint16_t>(static_cast<int16_t>(std::lround((T + 35.0) * 256.0)));
}

std::vector<uint8_t> RawTrajectory::next(uint16_t counter) {
  filtersim::Sample s;
  while (!m_simulator->next(s)) restartSimulator();
  m_lastAttitude = s.q;
  // The tracker reports the mean rate over the sample interval (its increment over the interval's
  // length), as the filters expect of it.
  double acc[3], gyr[3], mag[3];
  const Eigen::AngleAxisd increment(s.dq);
  const filtersim::Vec3 rate = s.T > 0.0 ? filtersim::Vec3(increment.axis() * increment.angle() / s.T) : s.gyr;
  for (int i = 0; i < 3; ++i) {
    acc[i] = s.acc[i];
    gyr[i] = rate[i];
    mag[i] = s.mag[i];
  }
  uint16_t counts[10];
  rawCounts(m_sensor, m_options.temperature, acc, gyr, mag, counts);

  std::vector<uint8_t> payload;
  payload.reserve(3 + 2 + 3 + 20 + 3 + 4);
  putItemHeader(payload, kPacketCounter, 2);
  putU16(payload, counter);
  putItemHeader(payload, kRawSensorData, 20);
  for (uint16_t c : counts) putU16(payload, c);
  const unsigned every = m_options.statusOmittedEvery;
  if (every == 0 || counter % every != every - 1) {
    putItemHeader(payload, kStatusWord, 4);
    putU32(payload, m_options.status);
  }
  std::lock_guard<std::mutex> lock(m_truthMutex);
  m_truth[counter] = s;
  m_hasTruth[counter] = true;
  ++m_made;
  return payload;
}

bool RawTrajectory::truth(uint16_t counter, filtersim::Sample& out) const {
  std::lock_guard<std::mutex> lock(m_truthMutex);
  if (!m_hasTruth[counter]) return false;
  out = m_truth[counter];
  return true;
}

uint64_t RawTrajectory::samplesMade() const {
  std::lock_guard<std::mutex> lock(m_truthMutex);
  return m_made;
}

void RawTrajectory::attachTo(DeviceEmulator& emulator) {
  emulator.setDataPayload([this](uint16_t counter) { return next(counter); });
  if (m_config.outputRate > 0.0) emulator.setDataRate(m_config.outputRate);
}

void RawTrajectory::useRawOutput(TrackerModel& model, uint16_t period, uint16_t skipFactor) {
  std::vector<uint8_t> v;
  putU16(v, 0x4800);
  model.setRow(TrackerModel::OutputMode, v);
  v.clear();
  putU16(v, period);
  model.setRow(TrackerModel::Period, v);
  v.clear();
  putU16(v, skipFactor);
  model.setRow(TrackerModel::OutputSkipFactor, v);
  model.dataLength = 3 + 2 + 3 + 20 + 3 + 4;
}

double RawTrajectory::rateOf(uint16_t period, uint16_t skipFactor) {
  if (period == 0) return 0.0;
  const double p = (period == 57 || period == 58) ? 57.6 : period;
  return kSampleClock / (p * (skipFactor + 1.0));
}

std::vector<filtersim::Segment> defaultDemoTrajectory() {
  using filtersim::Segment;
  using filtersim::Vec3;
  const double deg = M_PI / 180.0;
  return {Segment::still(3.0),
          Segment::rotate(4.0, Vec3::UnitZ(), 45.0 * deg),
          Segment::still(1.0),
          Segment::rotate(2.0, Vec3(1.0, 0.0, 1.0), 60.0 * deg),
          Segment::still(1.0),
          Segment::rotate(2.0, Vec3(1.0, 0.0, 1.0), -60.0 * deg),
          Segment::still(1.0),
          Segment::rotate(4.0, Vec3::UnitZ(), -45.0 * deg),
          Segment::still(2.0)};
}

}  // namespace zelto::test
