#pragma once
// Sensor characteristics of the wireless trackers: the motion-tracker values plus the barometer
// and the raw clipping levels. Settings entry "ZKF.KTW.hw<major>_<minor>.".
#include <cstdint>

#include "filters/common/KtHardwareParams.h"

class KtxwHardwareParams : public KtHardwareParams {
 public:
  using ZeltoParams::readFromFile;
  KtxwHardwareParams() = default;
  KtxwHardwareParams(const KtxwHardwareParams&) = default;
  KtxwHardwareParams& operator=(const KtxwHardwareParams&) = default;
  ~KtxwHardwareParams() override;

  // The KtHardwareParams keys, then "sd_barometer", "clipping_offset_mag",
  // "clipping_offset_acc", "clipping_offset_gyr" under prefix.
  void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) override;
  void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const override;
  // Adds the raw clips at 60, 62, 64 (u16) and the barometer at 120.
  void writeToDecryptedEktsPage5(void* block) const override;
  void readFromDecryptedEktsPages(const zelto::Ekts* record) override;

  double sd_barometer = 0.0;
  uint16_t clipping_offset_acc = 0;
  uint16_t clipping_offset_gyr = 0;
  uint16_t clipping_offset_mag = 0;
};
