// Runs the orientation filters over a recording of a real 9-axis IMU and writes, per filter, the
// orientation it reported after each sample, for scripts/score-recordings to score against the
// recording's optical truth.
//
//   recording_orientation RECORDING.csv OUTDIR [FILTER...]
//
// RECORDING.csv (uncompressed; "-" reads standard input) has the columns t_s, acc_x..z (m/s^2),
// gyr_x..z (rad/s) and mag_x..z (uT), one line per sample at a constant rate. For each FILTER
// (default: all) OUTDIR/FILTER.csv gets one "w,x,y,z" line per sample, sensor to earth, or
// "nan,nan,nan,nan" where the filter gave nothing; the earth frame is named on standard output
// ("FILTER FRAME", FRAME nwu or enu), one line per filter.
//
// Filters, each with the library's built-in profile (data/scenarios/scenarios.zsa), the field
// divided by 44 uT, the sensor's ranges (+-2000 degrees/s, +-16 g) and the recording's sample
// interval:
//   zkf3         Zkf3 with the "ZKF-3" scenario and the built-in hardware entry, both updates
//   zkf3_nomag   the same without the magnetometer update
//   zkf3w        Zkf3w with the "ZKF-3W" scenario, increments formed from each sample
//   zkf3i        Zkf3i with the "ZKF-3I" scenario (general), increments formed from each sample;
//                its output turned from true to magnetic north (the recordings' north)
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "filters/common/KtHardwareParams.h"
#include "filters/common/KtMk4HardwareParams.h"
#include "filters/common/ZkfTime.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf3/Zkf3Filter.h"
#include "filters/zkf3/Zkf3FilterSteps.h"
#include "filters/zkf3/Zkf3ScenarioParams.h"
#include "filters/zkf3i/Zkf3iFilter.h"
#include "filters/zkf3i/Zkf3iFilterSteps.h"
#include "filters/zkf3i/Zkf3iScenarioParams.h"
#include "filters/zkf3w/Zkf3wFilter.h"
#include "filters/zkf3w/Zkf3wFilterSteps.h"
#include "filters/zkf3w/Zkf3wScenarioParams.h"
#include "foundation/SettingsFile.h"
#include "math/strapdown/Strapdown.h"

namespace {

// The recorded sensor's ranges and site, and the field's normalisation.
constexpr double kAccRange = 16.0 * 9.80665;  // m/s^2
constexpr double kGyrRange = 2000.0;          // degrees/s
constexpr double kFieldScale = 1.0 / 44.0;    // per uT
const zelto::Vector3 kSite(52.512, 13.327, 40.0);  // degrees, degrees, m

// The built-in hardware entry of the host-filtered tracker and its sensor variants.
constexpr const char* kHardwareEntry = "ZKF.KT9_C.hw1_2.";
constexpr const char* kHardwareType = "A3G2";

struct Sample {
  double acc[3], gyr[3], mag[3];
};

struct Recording {
  std::vector<Sample> samples;
  double interval = 0.0;  // s
};

using Quat = zelto::Quaternion;

bool readRecording(std::istream& in, Recording& r, std::string& error) {
  std::string line;
  if (!std::getline(in, line)) {
    error = "empty recording";
    return false;
  }
  std::vector<std::string> names;
  {
    std::stringstream header(line);
    for (std::string name; std::getline(header, name, ',');) names.push_back(name);
  }
  static const char* const kColumns[] = {"t_s",   "acc_x", "acc_y", "acc_z", "gyr_x",
                                         "gyr_y", "gyr_z", "mag_x", "mag_y", "mag_z"};
  int column[10];
  for (int i = 0; i < 10; ++i) {
    column[i] = -1;
    for (size_t c = 0; c < names.size(); ++c)
      if (names[c] == kColumns[i]) column[i] = static_cast<int>(c);
    if (column[i] < 0) {
      error = std::string("no column ") + kColumns[i];
      return false;
    }
  }
  std::vector<double> values, times;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    values.clear();
    const char* p = line.c_str();
    for (;;) {
      char* end = nullptr;
      values.push_back(std::strtod(p, &end));
      p = std::strchr(end, ',');
      if (p == nullptr) break;
      ++p;
    }
    Sample s;
    double v[10];
    for (int i = 0; i < 10; ++i) {
      if (static_cast<size_t>(column[i]) >= values.size() || !std::isfinite(values[column[i]])) {
        error = "line " + std::to_string(r.samples.size() + 2) + ": " + kColumns[i] + " missing or not a number";
        return false;
      }
      v[i] = values[column[i]];
    }
    times.push_back(v[0]);
    for (int k = 0; k < 3; ++k) {
      s.acc[k] = v[1 + k];
      s.gyr[k] = v[4 + k];
      s.mag[k] = v[7 + k] * kFieldScale;
    }
    r.samples.push_back(s);
  }
  if (r.samples.size() < 2) {
    error = "fewer than two samples";
    return false;
  }
  r.interval = (times.back() - times.front()) / static_cast<double>(times.size() - 1);
  if (!(r.interval > 0.0)) {
    error = "time does not advance";
    return false;
  }
  return true;
}

ZkfUserParams userParams(double interval) {
  ZkfUserParams u;
  u.sampleRate = 1.0 / interval;
  u.storedLatLongAlt = kSite;
  u.declination_angle_deg = 0.0;
  return u;
}

// Each runner steps its filter over one sample and gives the orientation (w = nan: none yet).
class Runner {
 public:
  virtual ~Runner() = default;
  virtual Quat step(const Sample& s) = 0;
};

class Zkf3Runner : public Runner {
 public:
  Zkf3Runner(const zelto::SettingsFile& profiles, double interval, bool magnetometer) {
    zelto::Zkf3ScenarioParams s;
    s.readFromFile(profiles, "ZKF.zkf3.");
    if (!magnetometer) s.updateFlags &= static_cast<uint16_t>(~zelto::Zkf3ScenarioParams::kMagUpdateFlag);
    KtHardwareParams h;
    h.setHardwareType(kHardwareType);
    h.readFromFile(profiles, kHardwareEntry);
    h.acc_range = kAccRange;
    h.gyr_range = kGyrRange;
    auto* p = new zelto::Zkf3Params;
    p->initialize(s, h, userParams(interval), zelto::Zkf3FilterSteps());
    m_filter = std::make_unique<zelto::Zkf3Filter>(p);
  }
  Quat step(const Sample& s) override {
    zelto::Zkf3SensorData sd;
    zelto::Zkf3Aiding ad;
    for (int k = 0; k < 3; ++k) {
      sd.inertial.acc[k] = s.acc[k];
      sd.inertial.gyr[k] = s.gyr[k];
      ad.mag[k] = s.mag[k];
    }
    zelto::Zkf3RealTimeParameters rt;
    zelto::Zkf3FilterOutput out;
    if (!m_filter->doOneKalmanStep(sd, ad, rt, out)) return Quat(NAN, NAN, NAN, NAN);
    return out.q_gs;
  }

 private:
  std::unique_ptr<zelto::Zkf3Filter> m_filter;
};

// The increments a tracker forms from one sample of rate and force over the sample interval.
void increments(const Sample& s, double interval, Quat& dq, zelto::Vector3& dv) {
  const zelto::Vector3 acc(s.acc[0], s.acc[1], s.acc[2]), gyr(s.gyr[0], s.gyr[1], s.gyr[2]);
  ZtQuaternion q;
  zelto::sdiDelta(acc, gyr, q, dv, interval);
  dq = Quat(q.w, q.x, q.y, q.z);
}

class Zkf3wRunner : public Runner {
 public:
  Zkf3wRunner(const zelto::SettingsFile& profiles, double interval) : m_interval(interval) {
    zelto::Zkf3wScenarioParams s;
    s.readFromFile(profiles, "ZKF.zkf3w.");
    KtHardwareParams h;
    h.acc_range = kAccRange;
    h.gyr_range = kGyrRange;
    zelto::Zkf3wParams p;
    p.initialize(s, h, userParams(interval), zelto::Zkf3wFilterSteps());
    m_filter = std::make_unique<zelto::Zkf3wFilter>(&p);
  }
  Quat step(const Sample& s) override {
    zelto::Zkf3wSensorData sd;
    increments(s, m_interval, sd.dq, sd.dv);
    zelto::Zkf3wAiding ad;
    for (int k = 0; k < 3; ++k) ad.mag[k] = s.mag[k];
    zelto::Zkf3wRealTimeParameters rt;
    zelto::Zkf3wFilterOutput out;
    ZkfTime time;
    time.T_int = m_interval;
    if (!m_filter->doOneKalmanStep(sd, ad, rt, out, &time)) return Quat(NAN, NAN, NAN, NAN);
    return out.orientation;
  }

 private:
  double m_interval;
  std::unique_ptr<zelto::Zkf3wFilter> m_filter;
};

class Zkf3iRunner : public Runner {
 public:
  Zkf3iRunner(const zelto::SettingsFile& profiles, double interval) : m_interval(interval) {
    zelto::Zkf3iScenarioParams s;
    s.readFromFile(profiles, "ZKF.zkf3i.");
    KtMk4HardwareParams h;
    h.acc_range = kAccRange;
    h.gyr_range = kGyrRange;
    zelto::Zkf3iParams p;
    if (!p.initialize(s, h, userParams(interval), zelto::Zkf3iFilterSteps()))
      throw std::runtime_error("Zkf3i parameters refused: " + p.error());
    m_filter = std::make_unique<zelto::Zkf3iFilter>(&p);
    // Zkf3i points its north to true north by the geomagnetic model's declination at the site;
    // the recordings' north is magnetic north: its output is turned back about the vertical.
    const double half = p.declination_angle_rad / 2.0;
    m_toMagneticNorth = Quat(std::cos(half), 0.0, 0.0, std::sin(half));
  }
  Quat step(const Sample& s) override {
    zelto::Zkf3iSensorData sd;
    increments(s, m_interval, sd.dq, sd.dv);
    zelto::Zkf3iAiding ad;
    for (int k = 0; k < 3; ++k) ad.mag[k] = s.mag[k];
    zelto::Zkf3iRealTimeParameters rt;
    zelto::Zkf3iFilterOutput out;
    if (!m_filter->doOneKalmanStep(sd, ad, rt, out) || !m_filter->isInitialized()) return Quat(NAN, NAN, NAN, NAN);
    Quat q;
    q.isQuatMulQuat(m_toMagneticNorth, out.q_ls);
    return q;
  }

 private:
  Quat m_toMagneticNorth;
  double m_interval;
  std::unique_ptr<zelto::Zkf3iFilter> m_filter;
};

struct FilterKind {
  const char* name;
  const char* frame;
};
constexpr FilterKind kFilters[] = {{"zkf3", "nwu"}, {"zkf3_nomag", "nwu"}, {"zkf3w", "nwu"}, {"zkf3i", "enu"}};

std::unique_ptr<Runner> makeRunner(const std::string& name, const zelto::SettingsFile& profiles, double interval) {
  if (name == "zkf3") return std::make_unique<Zkf3Runner>(profiles, interval, true);
  if (name == "zkf3_nomag") return std::make_unique<Zkf3Runner>(profiles, interval, false);
  if (name == "zkf3w") return std::make_unique<Zkf3wRunner>(profiles, interval);
  return std::make_unique<Zkf3iRunner>(profiles, interval);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s RECORDING.csv|- OUTDIR [zkf3|zkf3_nomag|zkf3w|zkf3i]...\n", argv[0]);
    return 2;
  }
  std::vector<const FilterKind*> chosen;
  for (int i = 3; i < argc; ++i) {
    const FilterKind* found = nullptr;
    for (const FilterKind& f : kFilters)
      if (std::strcmp(argv[i], f.name) == 0) found = &f;
    if (found == nullptr) {
      std::fprintf(stderr, "unknown filter %s\n", argv[i]);
      return 2;
    }
    chosen.push_back(found);
  }
  if (chosen.empty())
    for (const FilterKind& f : kFilters) chosen.push_back(&f);

  Recording recording;
  std::string error;
  bool read;
  if (std::strcmp(argv[1], "-") == 0) {
    read = readRecording(std::cin, recording, error);
  } else {
    std::ifstream in(argv[1]);
    if (!in) {
      std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(errno));
      return 1;
    }
    read = readRecording(in, recording, error);
  }
  if (!read) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 1;
  }

  zelto::SettingsFile profiles;
  if (profiles.readZsa(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa") != 0) {
    std::fprintf(stderr, "the built-in profiles (%s) did not read\n", ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa");
    return 1;
  }
  for (const FilterKind* f : chosen) {
    std::unique_ptr<Runner> runner;
    try {
      runner = makeRunner(f->name, profiles, recording.interval);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", f->name, e.what());
      return 1;
    }
    const std::string path = std::string(argv[2]) + "/" + f->name + ".csv";
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(errno));
      return 1;
    }
    for (const Sample& s : recording.samples) {
      const Quat q = runner->step(s);
      if (std::isfinite(q.w) && std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z))
        std::fprintf(out, "%.9g,%.9g,%.9g,%.9g\n", q.w, q.x, q.y, q.z);
      else
        std::fputs("nan,nan,nan,nan\n", out);
    }
    if (std::fclose(out) != 0) {
      std::fprintf(stderr, "%s: write failed\n", path.c_str());
      return 1;
    }
    std::printf("%s %s\n", f->name, f->frame);
  }
  return 0;
}
