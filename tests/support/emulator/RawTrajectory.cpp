#include "support/emulator/RawTrajectory.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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
      m_truth(65536) {
  m_lastAttitude = m_config.initialAttitude;
  restartSimulator();
  if (m_options.navigation) useNavigation(*m_options.navigation);
}

void RawTrajectory::restartSimulator() {
  filtersim::SimulatorConfig c = m_config;
  c.initialAttitude = m_lastAttitude;
  c.seed = m_config.seed + m_restarts;
  std::vector<filtersim::Segment> segments = m_segments;
  if (m_restarts > 0 && !m_repeat) segments = {filtersim::Segment::still(1e6)};
  ++m_restarts;
  m_simulator = std::make_unique<filtersim::MotionSimulator>(c, std::move(segments));
  if (m_navigation) {
    m_gnss = std::make_unique<filtersim::GnssReceiver>(m_navigation->gnss, m_simulator->frame());
    m_barometer = std::make_unique<filtersim::Barometer>(m_navigation->barometer);
  }
}

void RawTrajectory::useNavigation(const NavigationStream& navigation) {
  m_navigation = std::make_unique<NavigationStream>(navigation);
  m_gnss = std::make_unique<filtersim::GnssReceiver>(m_navigation->gnss, m_simulator->frame());
  m_barometer = std::make_unique<filtersim::Barometer>(m_navigation->barometer);
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

void RawTrajectory::rawCountsMk4(const TrackerSensorModel& s, const double temperatures[4], const double acc[3],
                                 const double gyr[3], const double mag[3], uint16_t counts[13]) {
  const double* x[3] = {acc, gyr, mag};
  const double* r[3] = {s.rAcc, s.rGyr, s.rMag};
  const double* o[3][3] = {{s.offsetAcc, s.tempLinOffsetAcc, s.tempQuadOffsetAcc},
                           {s.offsetGyr, s.tempLinOffsetGyr, s.tempQuadOffsetGyr},
                           {s.offsetMag, s.tempLinOffsetMag, s.tempQuadOffsetMag}};
  const double* g[3][3] = {{s.gainAcc, s.tempLinGainAcc, s.tempQuadGainAcc},
                           {s.gainGyr, s.tempLinGainGyr, s.tempQuadGainGyr},
                           {s.gainMag, s.tempLinGainMag, s.tempQuadGainMag}};
  double gyrSeen[3];
  for (int i = 0; i < 3; ++i) {
    gyrSeen[i] = gyr[i];
    for (int j = 0; j < 3; ++j) gyrSeen[i] += s.gyrOffsetAccDependency[3 * i + j] * acc[j];
  }
  x[1] = gyrSeen;
  for (int sensor = 0; sensor < 3; ++sensor) {
    for (int k = 0; k < 3; ++k) {
      const double t = sensor == 1 ? temperatures[1 + k] : temperatures[0];
      const double offset = o[sensor][0][k] + o[sensor][1][k] * t + o[sensor][2][k] * t * t;
      const double gain = g[sensor][0][k] + g[sensor][1][k] * t + g[sensor][2][k] * t * t;
      double v = 0.0;
      for (int j = 0; j < 3; ++j) v += r[sensor][3 * k + j] * x[sensor][j];
      counts[3 * sensor + k] = static_cast<uint16_t>(std::clamp<long>(std::lround(offset + gain * v), 0, 65535));
    }
  }
  for (int i = 0; i < 4; ++i)
    counts[9 + i] = static_cast<uint16_t>(static_cast<int16_t>(std::lround((temperatures[i] + 35.0) * 256.0)));
}

void RawTrajectory::setExtraItems(std::function<void(const filtersim::Sample&, std::vector<uint8_t>&)> appender) {
  m_extraItems = std::move(appender);
}

void RawTrajectory::useOutputConfiguration(const TrackerModel& model) { m_configuredBy = &model; }

std::vector<uint8_t> RawTrajectory::configuredPayload(uint16_t counter, const filtersim::Sample& s,
                                                      const double rate[3], bool keepWindow) {
  const std::vector<std::pair<uint16_t, uint16_t>> configuration = m_configuredBy->outputConfiguration();
  const double base = m_config.outputRate;
  // Increments compose every sample (0: orientation, 1: velocity), whether sent or not.
  const size_t n = m_configuredSamples++;
  for (int w = 0; w < 2; ++w) {
    m_windowDv[w] += m_windowDq[w] * s.dv;
    m_windowDq[w] = (m_windowDq[w] * s.dq).normalized();
  }
  auto putFloats = [](std::vector<uint8_t>& out, std::initializer_list<double> values) {
    for (double v : values) {
      const float f = static_cast<float>(v);
      uint32_t bits;
      std::memcpy(&bits, &f, sizeof bits);
      putU32(out, bits);
    }
  };
  std::vector<uint8_t> payload;
  putItemHeader(payload, kPacketCounter, 2);
  putU16(payload, counter);
  bool windowEnded[2] = {false, false};
  for (const auto& [identifier, frequency] : configuration) {
    if (frequency == 0) continue;
    const uint64_t every = std::max<uint64_t>(1, static_cast<uint64_t>(std::lround(base / frequency)));
    if ((n + 1) % every != 0) continue;
    switch (identifier & 0xFFF0) {
      case kRawSensorData: {
        const double temperatures[4] = {m_options.temperature, m_options.gyroTemperatures[0],
                                        m_options.gyroTemperatures[1], m_options.gyroTemperatures[2]};
        const double acc[3] = {s.acc[0], s.acc[1], s.acc[2]}, mag[3] = {s.mag[0], s.mag[1], s.mag[2]};
        uint16_t counts[13];
        rawCountsMk4(m_sensor, temperatures, acc, rate, mag, counts);
        putItemHeader(payload, kRawSensorData, 20);
        for (int i = 0; i < 10; ++i) putU16(payload, counts[i]);
        putItemHeader(payload, 0xA020, 6);
        for (int i = 10; i < 13; ++i) putU16(payload, counts[i]);
        break;
      }
      case 0x8030: {
        const filtersim::Quat& q = m_windowDq[0];
        putItemHeader(payload, 0x8030, 16);
        putFloats(payload, {q.w(), q.x(), q.y(), q.z()});
        windowEnded[0] = true;
        break;
      }
      case 0x4010:
        putItemHeader(payload, 0x4010, 12);
        putFloats(payload, {m_windowDv[1][0], m_windowDv[1][1], m_windowDv[1][2]});
        windowEnded[1] = true;
        break;
      case 0x2010:
        putItemHeader(payload, 0x2010, 16);
        putFloats(payload, {s.q.w(), s.q.x(), s.q.y(), s.q.z()});
        break;
      case 0x4020:
        putItemHeader(payload, 0x4020, 12);
        putFloats(payload, {s.acc[0], s.acc[1], s.acc[2]});
        break;
      case 0x8020:
        putItemHeader(payload, 0x8020, 12);
        putFloats(payload, {rate[0], rate[1], rate[2]});
        break;
      case 0xC020:
        putItemHeader(payload, 0xC020, 12);
        putFloats(payload, {s.mag[0], s.mag[1], s.mag[2]});
        break;
      case 0x8840:
        if (m_gnss && m_gnss->hasFix()) {
          const filtersim::GnssFix& fix = m_gnss->last();
          const Eigen::Vector3d p = m_gnss->ecefCentimetres();
          const filtersim::Vec3 geodetic = filtersim::GeodeticFrame::fromDegrees(fix.latLongAltDeg);
          const filtersim::Vec3 v = filtersim::GeodeticFrame::nwuToEcef(geodetic.x(), geodetic.y()) *
                                    filtersim::GeodeticFrame::nwuFromNed(fix.velNorthEastDown) * 100.0;
          auto i32 = [](double x) { return static_cast<uint32_t>(static_cast<int32_t>(std::lround(x))); };
          auto u32 = [](double x) { return static_cast<uint32_t>(std::lround(std::clamp(x, 0.0, 4e9))); };
          putItemHeader(payload, 0x8840, 41);
          putU32(payload, static_cast<uint32_t>(std::lround(fix.t * 1000.0)));  // time of week, ms
          payload.push_back(m_navigation->fixType);
          payload.push_back(0x0D);  // flags: fix valid, week and time valid
          for (int k = 0; k < 3; ++k) putU32(payload, i32(p[k]));
          putU32(payload, u32(fix.hAcc * 100.0));
          for (int k = 0; k < 3; ++k) putU32(payload, i32(v[k]));
          putU32(payload, u32(fix.sAcc * 100.0));
          putU16(payload, 120);  // position dilution 1.2
          payload.push_back(9);  // satellites
        }
        break;
      case 0x3010:
        if (m_barometer && m_barometer->pressure() > 0.0) {
          putItemHeader(payload, 0x3010, 5);
          putU32(payload, static_cast<uint32_t>(std::lround(m_barometer->pressure())));
          payload.push_back(m_barometer->age());
        }
        break;
      default:
        if ((identifier & 0xFE00) == 0xE000) {
          putItemHeader(payload, kStatusWord, 4);
          putU32(payload, m_options.status);
        }
        break;
    }
  }
  // A window that ended starts over; the orientation and velocity windows end together when
  // both are configured at one frequency, else each at its own.
  if (keepWindow) return payload;
  if (windowEnded[0]) m_windowDq[0] = filtersim::Quat::Identity(), m_windowDv[0].setZero();
  if (windowEnded[1]) m_windowDq[1] = filtersim::Quat::Identity(), m_windowDv[1].setZero();
  return payload;
}

std::vector<uint8_t> RawTrajectory::next(uint16_t counter, bool keepWindow) {
  filtersim::Sample s;
  while (!m_simulator->next(s)) restartSimulator();
  m_lastAttitude = s.q;
  if (m_gnss) m_gnss->update(s);
  if (m_barometer) m_barometer->update(s);
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
  std::vector<uint8_t> payload;
  if (m_configuredBy) {
    payload = configuredPayload(counter, s, gyr, keepWindow);
    keepTruth(counter, s);
    return payload;
  }
  uint16_t counts[10];
  rawCounts(m_sensor, m_options.temperature, acc, gyr, mag, counts);

  payload.reserve(3 + 2 + 3 + 20 + 3 + 4);
  putItemHeader(payload, kPacketCounter, 2);
  putU16(payload, counter);
  putItemHeader(payload, kRawSensorData, 20);
  for (uint16_t c : counts) putU16(payload, c);
  if (m_extraItems) m_extraItems(s, payload);
  const unsigned every = m_options.statusOmittedEvery;
  if (every == 0 || counter % every != every - 1) {
    putItemHeader(payload, kStatusWord, 4);
    putU32(payload, m_options.status);
  }
  keepTruth(counter, s);
  return payload;
}

void RawTrajectory::keepTruth(uint16_t counter, const filtersim::Sample& s) {
  std::lock_guard<std::mutex> lock(m_truthMutex);
  if (m_truth[counter])
    *m_truth[counter] = s;
  else
    m_truth[counter] = std::make_unique<filtersim::Sample>(s);
  ++m_made;
}

bool RawTrajectory::truth(uint16_t counter, filtersim::Sample& out) const {
  std::lock_guard<std::mutex> lock(m_truthMutex);
  if (!m_truth[counter]) return false;
  out = *m_truth[counter];
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
