#pragma once
// The parts of the Zkf3w noise model and decay factors that depend on the step interval dt,
// cached for the last dt: recomputed only when dt changes (exact comparison), so steady packet
// rates cost nothing and a lost packet costs one recomputation.
#include <cstdint>

#include "math/Matrix3x3.h"

namespace zelto {

class Zkf3wParams;

class Zkf3wTimeDependentParams {
 public:
  // The cap of the magnetic-variance noise term.
  static constexpr double kMagVarCap = 0.0392;

  Zkf3wTimeDependentParams();

  // Forgets the cached interval (dt = -1), so the next update recomputes.
  void reset();
  // Recomputes the table for dt unless dt is the cached one; then caches dt.
  void update(const Zkf3wParams* params, double dt);

  double dt() const { return m_dt; }
  // How often the table was recomputed since construction (diagnostics and tests).
  uint64_t recomputations() const { return m_recomputations; }

  Matrix3x3 Mq_acc;   // I ndAcc / sqrt(dt)
  Matrix3x3 Mq_gyr;   // I ndGyr / sqrt(dt)
  Matrix3x3 Mq_bias;  // I sdWGyrBias sqrt(dt)
  Matrix3x3 Mr_acc;   // I sqrt((1 - e_acc^2) sd_v_accLowpass^2) / dt
  Matrix3x3 Mr_mag;   // I sdvMag / dt
  double e_acc = 0.0, e_vel = 0.0, e_magavg = 0.0, e_magvar = 0.0;
  double k_gyr = 0.0;  // f_dynamic_gyro / dt
  double k_acc = 0.0;  // f_dynamic_acc / dt
  double magVarCap = kMagVarCap;

 private:
  double m_dt = -1.0;
  uint64_t m_recomputations = 0;
};

}  // namespace zelto
