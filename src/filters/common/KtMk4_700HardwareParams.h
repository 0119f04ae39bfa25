#pragma once
// Sensor characteristics of the GNSS/INS tracker: the fourth-generation values plus the
// barometer, the accelerometer bias time constants and the GNSS deviations.
#include "filters/common/KtMk4HardwareParams.h"

class KtMk4_700HardwareParams : public KtMk4HardwareParams {
 public:
  using ZeltoParams::readFromFile;
  KtMk4_700HardwareParams() = default;
  KtMk4_700HardwareParams(const KtMk4_700HardwareParams&) = default;
  KtMk4_700HardwareParams& operator=(const KtMk4_700HardwareParams&) = default;
  ~KtMk4_700HardwareParams() override;

  // The KtMk4HardwareParams keys, then "sdBarometer", "biasTauAcc" (accelerometer sub-prefix),
  // "sdPosGps", "sdVelGps". Entries are written with the spellings "sd_barometer",
  // "sd_pos_gps", "sd_vel_gps", so each of the three is read under either spelling (the
  // camel-case one first).
  void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) override;
  // The KtMk4HardwareParams entry, then "sd_barometer", "biasTauAcc" (accelerometer
  // sub-prefix), "sd_pos_gps", "sd_vel_gps" in the same entry.
  void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const override;
  void readFromDecryptedEktsPages(const zelto::Ekts* record) override;

  double sdBarometer = 0.0;
  zelto::Vector3 biasTauAcc;
  double sdPosGps[2] = {0.0, 0.0};
  double sdVelGps[2] = {0.0, 0.0};

 private:
  // The setting under key, or under altKey when key is absent; throws for key when neither is.
  zelto::Variant readEither(const zelto::SettingsFile& file, const std::string& prefix, const char* key,
                            const char* altKey) const;
};
