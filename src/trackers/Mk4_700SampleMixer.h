#pragma once
// Mixes the navigation tracker's two kinds of samples into one output stream. A filter sample
// resets the state to the navigation filter's estimate; a strapdown sample integrates its
// increments forward from there with the filter's biases and gravity:
//   a = Q (dv - dt ba),  P += R (dt V + dt/2 a + dt^2/2 g),  V += a + dt g,
//   Q = Q (dq - dt/2 (0, bg)) normalised,  F = g + Q A / dt,
// with P in earth-centred earth-fixed metres and R the rotation from the navigation frame
// (east-north-up at the last filter position) to ECEF. Plain numerics: no allocation, no lock;
// one thread at a time.
#include <string>

#include "foundation/SettingsFile.h"
#include "math/Quaternion.h"
#include "trackers/Mk4_700SampleMixerInput.h"
#include "trackers/Mk4_700SampleMixerOutput.h"

namespace zelto {

class Mk4_700SampleMixer {
 public:
  Mk4_700SampleMixer() = default;

  // False, with the output invalid and the state untouched, for an input without the ready or
  // filter-data flag or without a positive finite sample frequency. Else one step (a filter
  // sample or a strapdown sample), the output filled and valid; true.
  bool processSample(const Mk4_700SampleMixerInput& input, Mk4_700SampleMixerOutput& output, bool filterSample);

  void handleZkfSample(const Mk4_700SampleMixerInput& input);
  void handleSdiSample(const Mk4_700SampleMixerInput& input);
  void generateOutput(const Mk4_700SampleMixerInput& input, Mk4_700SampleMixerOutput& output) const;

  double period() const { return m_dt; }

  // The state with the input and output of the last sample, every value exact, under
  // "<key>.state", "<key>.input" and "<key>.output": what a replay needs to continue where a
  // recording started. readState changes nothing (false) unless all three read whole.
  void writeState(SettingsFile& file, const std::string& key, const Mk4_700SampleMixerInput& input,
                  const Mk4_700SampleMixerOutput& output) const;
  bool readState(const SettingsFile& file, const std::string& key, Mk4_700SampleMixerInput& input,
                 Mk4_700SampleMixerOutput& output);

 private:
  // A = dv, less dt times the accelerometer bias unless it was removed already.
  void correctedVelocityIncrement(const Mk4_700SampleMixerInput& input);
  // F = g + Q A / dt.
  void updateAcceleration(const Mk4_700SampleMixerInput& input);

  double m_dt = 0.0025;
  double m_a[3] = {0.0, 0.0, 0.0};
  Quaternion m_qd{0.0, 0.0, 0.0, 0.0};
  double m_p[3] = {0.0, 0.0, 0.0};
  double m_v[3] = {0.0, 0.0, 0.0};
  Quaternion m_q{0.0, 0.0, 0.0, 0.0};
  Quaternion m_r{0.0, 0.0, 0.0, 0.0};
  double m_f[3] = {0.0, 0.0, 0.0};
};

}  // namespace zelto
