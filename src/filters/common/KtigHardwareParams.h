#pragma once
// Sensor characteristics of the GNSS-aided trackers: the motion-tracker values plus the
// barometer and the GNSS position and velocity deviations (horizontal, vertical).
#include "filters/common/KtHardwareParams.h"

class KtigHardwareParams : public KtHardwareParams {
 public:
  using ZeltoParams::readFromFile;
  KtigHardwareParams() = default;
  KtigHardwareParams(const KtigHardwareParams&) = default;
  KtigHardwareParams& operator=(const KtigHardwareParams&) = default;
  ~KtigHardwareParams() override;

  // The KtHardwareParams keys, then "sd_barometer", "sd_pos_gps", "sd_vel_gps" (vectors of at
  // least two items) under prefix.
  void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) override;
  // The motion-tracker entry "ZKF.KT9_C.hw<major>_<minor>." (which also holds the three GNSS
  // keys, so readFromFile with that entry reads everything back) and the GNSS entry
  // "ZKF.GPS_A.hw<major>_<minor>." numbered from the GNSS prefix text: "gp.assembly" = "GPS-A",
  // "gp.hw_revision", "sd_barometer", "sd_pos_gps", "sd_vel_gps".
  void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const override;
  // Adds the barometer at 120 and the GNSS deviations at 126, 132, 138, 144.
  void writeToDecryptedEktsPage5(void* block) const override;
  void readFromDecryptedEktsPages(const zelto::Ekts* record) override;

  // The GNSS receiver's hardware revision text ("1.0").
  void setGpsPrefix(const std::string& prefix) { m_gpsPrefix = prefix; }
  const std::string& gpsPrefix() const { return m_gpsPrefix; }

  double sd_barometer = 0.0;
  double sd_pos_gps[2] = {0.0, 0.0};
  double sd_vel_gps[2] = {0.0, 0.0};

 private:
  void writeGnssKeys(zelto::SettingsFile& file, const std::string& entry) const;
  std::string m_gpsPrefix;
};
