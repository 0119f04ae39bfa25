#pragma once
// Sensor characteristics of the fourth-generation trackers: per-axis noise densities, bias
// coefficients and time constants, clipping levels and self-test limits. Constructed with the
// defaults that also stand in for fields the device record lacks. Settings entry
// "ZKF.KTmk4.hw<major>_<minor>.", every key under its sensor's sub-prefix.
#include <cstdint>

#include "filters/common/KtHardwareParams.h"
#include "math/Vector3.h"

class KtMk4HardwareParams : public KtHardwareParams {
 public:
  using ZeltoParams::readFromFile;
  KtMk4HardwareParams();
  KtMk4HardwareParams(const KtMk4HardwareParams&) = default;
  KtMk4HardwareParams& operator=(const KtMk4HardwareParams&) = default;
  ~KtMk4HardwareParams() override;

  // Only the fields below (not the KtHardwareParams keys): under the accelerometer sub-prefix
  // "biasCoeffAcc", "clipAcc", "ndAcc", "rawClipAcc", "stMaxAcc", "stMinAcc"; under the
  // gyroscope sub-prefix "biasCoeffGyr", "biasTauGyr", "clipGyr", "ndGyr", "rawClipGyr",
  // "stMaxGyr", "stMinGyr"; under the magnetometer sub-prefix "rawClipMag", "sdMag",
  // "stMaxMag", "stMinMag".
  void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) override;
  void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const override;
  // Each field from its getter when the record has it, else its default.
  void readFromDecryptedEktsPages(const zelto::Ekts* record) override;

  zelto::Vector3 biasCoeffAcc;
  double clipAcc;
  zelto::Vector3 ndAcc;
  uint16_t rawClipAcc;
  uint16_t stMaxAcc;
  uint16_t stMinAcc;
  zelto::Vector3 biasCoeffGyr;
  zelto::Vector3 biasTauGyr;
  double clipGyr;
  zelto::Vector3 ndGyr;
  uint16_t rawClipGyr;
  uint16_t stMaxGyr;
  uint16_t stMinGyr;
  uint16_t rawClipMag;
  zelto::Vector3 sdMag;
  uint16_t stMaxMag;
  uint16_t stMinMag;

 protected:
  void writeMk4Keys(zelto::SettingsFile& file, const std::string& entry) const;
  static constexpr const char* kMk4EntryFormat = "ZKF.KTmk4.hw%d_%d.";
};
