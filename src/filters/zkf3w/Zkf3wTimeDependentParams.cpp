#include "filters/zkf3w/Zkf3wTimeDependentParams.h"

#include <cmath>

#include "filters/zkf3w/Zkf3wParams.h"

namespace zelto {

Zkf3wTimeDependentParams::Zkf3wTimeDependentParams() { reset(); }

void Zkf3wTimeDependentParams::reset() { m_dt = -1.0; }

void Zkf3wTimeDependentParams::update(const Zkf3wParams* params, double dt) {
  if (params == nullptr || dt == m_dt) return;
  const Zkf3wParams& p = *params;
  const double rootDt = std::sqrt(dt);
  e_acc = std::exp(-dt / p.tau_acc);
  e_vel = std::exp(-dt / p.tau_vel);
  e_magavg = std::exp(-dt / p.tau_magavg);
  e_magvar = std::exp(-dt / p.tau_magvar);
  Mq_acc.isIdentity(p.ndAcc / rootDt);
  Mq_gyr.isIdentity(p.ndGyr / rootDt);
  Mq_bias.isIdentity(p.sdWGyrBias * rootDt);
  Mr_acc.isIdentity(std::sqrt((1.0 - e_acc * e_acc) * p.sd_v_accLowpass * p.sd_v_accLowpass) / dt);
  Mr_mag.isIdentity(p.sdvMag / dt);
  k_gyr = p.f_dynamic_gyro / dt;
  k_acc = p.f_dynamic_acc / dt;
  magVarCap = kMagVarCap;
  m_dt = dt;
  ++m_recomputations;
}

}  // namespace zelto
