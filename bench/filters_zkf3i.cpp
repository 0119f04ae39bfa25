// Zkf3i filter step on simulated increments beside the same model's step in covariance form
// (Eigen fixed-size matrices), on the same samples in the same run. Five streams of 10 000
// samples: still, turning (90 degrees/s), magnetic rejection (hard-iron steps the gate refuses),
// a zero-rotation window, and clipping. A first, untimed pass records the filter's state before
// each step and the linear model each step applied (transition, process noise, measurement
// updates, rollbacks, correction transform). The timed pass restores that state (untimed), times
// the filter's step, then the dense step of the recorded model from the recorded covariance:
// median and 99th percentile of both, ratio = filter median / dense median, allocs = heap
// allocations per iteration (filter and dense step together).
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <algorithm>
#include <chrono>
#include <vector>

#include "filters/common/KtMk4HardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf3i/Zkf3iFilter.h"
#include "filters/zkf3i/Zkf3iScenarioParams.h"
#include "filtersim/MotionSimulator.h"
#include "support/AllocationCounter.h"

namespace {

constexpr double kT = 0.01;
constexpr int kSamples = 10000;
using M12 = Eigen::Matrix<double, 12, 12>;
using M3 = Eigen::Matrix3d;
using V12 = Eigen::Matrix<double, 12, 1>;

zelto::Zkf3iParams makeParams() {
  zelto::Zkf3iScenarioParams s;
  s.initHardCoded();
  KtMk4HardwareParams h;
  for (ZtSize i = 0; i < 3; ++i) {
    h.ndAcc[i] = 0.002;
    h.ndGyr[i] = 0.03;
    h.sdMag[i] = 0.005;
  }
  ZkfUserParams u;
  u.sampleRate = 100.0;
  u.enabledFixedGravity = true;
  u.gravityMagnitude = 9.81;
  u.storedLatLongAlt = zelto::Vector3(48.0, 11.0, 500.0);
  u.storedYear = 2024;
  u.storedMonth = 6;
  u.storedDay = 1;
  zelto::Zkf3iParams p;
  p.initialize(s, h, u, zelto::Zkf3iFilterSteps());
  return p;
}

enum Stream { kStill, kTurning, kRejection, kWindow, kClipping };

struct Input {
  zelto::Zkf3iSensorData sd;
  zelto::Zkf3iAiding ad;
};

std::vector<Input> samples(Stream kind, const zelto::Zkf3iParams& p) {
  using filtersim::Segment;
  using filtersim::Vec3;
  filtersim::SimulatorConfig c;
  c.truthRate = 500.0;
  c.outputRate = 100.0;
  c.latitude = 48.0 * M_PI / 180.0;
  c.acc.noiseDensity = 0.002;
  c.gyr.noiseDensity = 0.0003;
  c.mag.noiseDensity = 0.0005;
  c.mag.declination = p.declination_angle_rad;
  c.mag.inclination = 1.1;
  c.gyr.bias = Vec3(0.002, -0.001, 0.003);
  std::vector<Segment> segments;
  const double seconds = kSamples * kT + 1.0;
  switch (kind) {
    case kTurning:
      segments = {Segment::rotate(seconds / 2, Vec3(0, 0, 1), M_PI / 2),
                  Segment::rotate(seconds / 2, Vec3(1, 0, 1).normalized(), M_PI / 2)};
      break;
    case kRejection:
      for (int k = 0; k < 50; ++k) c.mag.hardIron.push_back({{2.0 * k + 1.0, 2.0 * k + 1.5}, Vec3(0.3, -0.3, 0.1)});
      segments = {Segment::still(seconds)};
      break;
    case kClipping:
      c.gyr.range = 1.0;
      segments = {Segment::sinusoid(seconds, Vec3(1, 1, 0).normalized(), 1.2, 0.5)};
      break;
    default:
      segments = {Segment::still(seconds)};
  }
  filtersim::MotionSimulator sim(c, segments);
  std::vector<Input> out;
  filtersim::Sample s;
  while (sim.next(s) && out.size() < kSamples + 1) {
    Input in;
    in.sd.dq = zelto::Quaternion(s.dq.w(), s.dq.x(), s.dq.y(), s.dq.z());
    for (int i = 0; i < 3; ++i) {
      in.sd.dv[i] = s.dv[i];
      in.ad.mag[i] = s.mag[i];
      if (s.gyrClip[i]) in.sd.clipGyr = static_cast<uint16_t>(in.sd.clipGyr | (1u << i));
    }
    out.push_back(in);
  }
  return out;
}

// The linear model of one step as the filter applied it.
struct StepModel {
  M12 Phi = M12::Identity(), Q = M12::Zero(), T = M12::Identity();
  struct Update {
    Eigen::Matrix<double, 3, 12> H = Eigen::Matrix<double, 3, 12>::Zero();
    M3 R = M3::Identity();
    Eigen::Vector3d y = Eigen::Vector3d::Zero();
    bool rolledBack = false;
  } updates[3];
  int count = 0;
  bool dropped = false;
};

struct Recorder : FilterStepObserver {
  StepModel m;
  void predicted(const zelto::Matrix& phi, const zelto::Matrix& g, const zelto::Vector&) override {
    M12 G = M12::Zero();
    for (int r = 0; r < 12; ++r)
      for (int c = 0; c < 12; ++c) {
        m.Phi(r, c) = phi(r, c);
        G(r, c) = g(r, c);
      }
    m.Q = G * G.transpose();
  }
  void measurementUpdate(const zelto::Vector& v, const zelto::Matrix& h, const zelto::Matrix& sR) override {
    StepModel::Update& u = m.updates[m.count++];
    for (int r = 0; r < 3; ++r) {
      u.y[r] = v[r];
      for (int c = 0; c < 12; ++c) u.H(r, c) = h(r, c);
      for (int c = 0; c < 3; ++c) u.R(r, c) = sR(r, c) * sR(c, r);
    }
  }
  void rolledBack() override { m.updates[m.count - 1].rolledBack = true; }
  void corrected(const zelto::Matrix& t, ZtSize, bool dropped) override {
    for (int r = 0; r < 12; ++r)
      for (int c = 0; c < 12; ++c) m.T(r, c) = t(r, c);
    m.dropped = dropped;
  }
};

// One covariance-form step: P = Phi P Phi^T + Q, each update by its gain and the Joseph form
// (undone when the filter rolled it back), then the correction transform.
void denseStep(const StepModel& m, M12& P, V12& x) {
  P = m.Phi * P * m.Phi.transpose() + m.Q;
  for (int k = 0; k < m.count; ++k) {
    const StepModel::Update& u = m.updates[k];
    const M3 S = u.H * P * u.H.transpose() + u.R;
    const Eigen::Matrix<double, 12, 3> K = P * u.H.transpose() * S.inverse();
    const V12 xn = x + K * (u.y - u.H * x);
    const M12 IKH = M12::Identity() - K * u.H;
    const M12 Pn = IKH * P * IKH.transpose() + K * u.R * K.transpose();
    if (!u.rolledBack) {
      x = xn;
      P = Pn;
    }
  }
  if (m.dropped) x.segment<3>(9).setZero();
  x = m.T * x;
  x.segment<3>(9).setZero();
  P = m.T * P * m.T.transpose();
}

void BM_Zkf3iStepVersusDense(benchmark::State& state) {
  const auto kind = static_cast<Stream>(state.range(0));
  const zelto::Zkf3iParams p = makeParams();
  const std::vector<Input> in = samples(kind, p);
  zelto::Zkf3iFilter f(&p);
  zelto::Zkf3iRealTimeParameters rt;
  zelto::Zkf3iFilterOutput out;
  f.doOneKalmanStep(in[0].sd, in[0].ad, rt, out);  // initialisation, not recorded
  // Untimed first pass: the state before each step and the model of each step.
  std::vector<zelto::Zkf3iState> before(kSamples);
  std::vector<StepModel> models(kSamples);
  Recorder recorder;
  f.setStepObserver(&recorder);
  for (int i = 0; i < kSamples; ++i) {
    before[i] = f.state();
    recorder.m.count = 0;
    recorder.m.dropped = false;
    for (StepModel::Update& u : recorder.m.updates) u.rolledBack = false;
    rt.noRotationDuration = kind == kWindow && i == 0 ? 200 : 0;
    f.doOneKalmanStep(in[i + 1].sd, in[i + 1].ad, rt, out);
    models[i] = recorder.m;
  }
  f.setStepObserver(nullptr);
  rt.noRotationDuration = 0;
  std::vector<double> filterNs, denseNs;
  filterNs.reserve(kSamples);
  denseNs.reserve(kSamples);
  M12 P = M12::Zero();
  V12 x = V12::Zero();
  int i = 0;
  AllocationCounter counter;
  for (auto _ : state) {
    f.setFullState(&before[i]);
    const auto t0 = std::chrono::steady_clock::now();
    f.doOneKalmanStep(in[i + 1].sd, in[i + 1].ad, rt, out);
    const auto t1 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(out.q_ls.w);
    for (int r = 0; r < 12; ++r) {
      x[r] = before[i].x[r];
      for (int c = 0; c < 12; ++c) P(r, c) = before[i].sQx(r, c);
    }
    P = (P * P.transpose()).eval();
    const auto t2 = std::chrono::steady_clock::now();
    denseStep(models[i], P, x);
    const auto t3 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(P.data());
    benchmark::DoNotOptimize(x.data());
    filterNs.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    denseNs.push_back(std::chrono::duration<double, std::nano>(t3 - t2).count());
    if (++i == kSamples) i = 0;
  }
  state.counters["allocs"] = static_cast<double>(counter.count()) / static_cast<double>(state.iterations());
  std::sort(filterNs.begin(), filterNs.end());
  std::sort(denseNs.begin(), denseNs.end());
  const size_t mid = filterNs.size() / 2, p99 = std::min(filterNs.size() - 1, filterNs.size() * 99 / 100);
  state.counters["filter_median_ns"] = filterNs[mid];
  state.counters["filter_p99_ns"] = filterNs[p99];
  state.counters["dense_median_ns"] = denseNs[mid];
  state.counters["dense_p99_ns"] = denseNs[p99];
  state.counters["ratio"] = filterNs[mid] / denseNs[mid];
  static const char* const names[] = {"still", "turning", "magnetic rejection", "zero-rotation window", "clipping"};
  state.SetLabel(names[kind]);
}
BENCHMARK(BM_Zkf3iStepVersusDense)->DenseRange(0, 4)->Iterations(kSamples)->Repetitions(3);

}  // namespace
