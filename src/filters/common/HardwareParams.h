#pragma once
// Base of the per-hardware sensor characteristics. The hardware type is the compound sensor
// text in which the letters A, G and M, each followed by digits, name the accelerometer,
// gyroscope and magnetometer variants (e.g. "A10G25M3"); settings entries keep each sensor's
// values under a sub-prefix built from it ("A10.", "G25.", "M3.").
#include <string>

#include "filters/common/ZeltoParams.h"

// letter + the digits after the letter's first occurrence in hardwareType, or letter + "0" when
// the letter is absent or no digit follows it; then ".". ('G', "A10G25M3") gives "G25.".
std::string parseCompoundHwPrefix(char letter, const std::string& hardwareType);

class HardwareParams : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  ~HardwareParams() override;

  void setHardwareType(const std::string& type) { m_hardwareType = type; }
  const std::string& hardwareType() const { return m_hardwareType; }

  // prefix followed by the sensor's sub-prefix for this hardware type.
  std::string accPrefix(const std::string& prefix) const;
  std::string gyrPrefix(const std::string& prefix) const;
  std::string magPrefix(const std::string& prefix) const;

 protected:
  HardwareParams() = default;
  HardwareParams(const HardwareParams&) = default;
  HardwareParams& operator=(const HardwareParams&) = default;

  // Entry prefix of a hardware writer: format (two "%d") filled with the first two numbers of
  // the revision text ("1.2" with "ZKF.KTW.hw%d_%d." gives "ZKF.KTW.hw1_2.").
  static std::string entryPrefix(const char* format, const std::string& revisionText);

 private:
  std::string m_hardwareType;
};
