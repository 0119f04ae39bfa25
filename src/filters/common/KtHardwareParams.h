#pragma once
// Sensor characteristics of the motion trackers, from the device record or a settings
// entry ("ZKF.KT9_C.hw<major>_<minor>.").
#include "filters/common/HardwareParams.h"

namespace zelto {
class Ekts;
}

class KtHardwareParams : public HardwareParams {
 public:
  using ZeltoParams::readFromFile;
  KtHardwareParams() = default;
  KtHardwareParams(const KtHardwareParams&) = default;
  KtHardwareParams& operator=(const KtHardwareParams&) = default;
  ~KtHardwareParams() override;

  // "sd_v_mag" under prefix; under the accelerometer sub-prefix "acc_range", "deltaAccBias",
  // "sd_init_accBias", then "ndAcc" when present, else "sd_v_acc"; under the gyroscope
  // sub-prefix "deltaGyrBias", "f_dynamic_gyro", "gyr_range", "sd_init_gyrBias", then "ndGyr"
  // when present, else "sd_v_gyr".
  void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) override;
  // prefix is the hardware revision text ("1.2"); the entry goes under "ZKF.KT9_C.hw1_2.":
  // "gp.hw_revision", "sd_v_mag", and the sensor blocks under the entry prefix followed by the
  // sub-prefixes, so readFromFile with the entry prefix reads it back.
  void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const override;
  // The hardware block of record page 5: the ten values as 6-byte FastFloats from offset 0.
  virtual void writeToDecryptedEktsPage5(void* block) const;
  // Copies the record's getters (absent fields give what the getters return); null: nothing.
  virtual void readFromDecryptedEktsPages(const zelto::Ekts* record);

  double acc_range = 0.0;
  double gyr_range = 0.0;
  double sd_v_acc = 0.0;  // accelerometer noise
  double sd_v_gyr = 0.0;  // gyroscope noise
  double sd_v_mag = 0.0;
  double deltaAccBias = 0.0;
  double deltaGyrBias = 0.0;
  double sd_init_accBias = 0.0;
  double sd_init_gyrBias = 0.0;
  double f_dynamic_gyro = 0.0;

 protected:
  // The KtHardwareParams keys under entry (sensor blocks under entry + sub-prefix).
  void writeKtKeys(zelto::SettingsFile& file, const std::string& entry) const;
  static constexpr const char* kEntryFormat = "ZKF.KT9_C.hw%d_%d.";
};

// Page-5 helpers shared by the hardware classes: a 6-byte FastFloat or a little-endian u16 at
// a byte offset of the block.
void putPage5Real(void* block, size_t offset, double value);
void putPage5U16(void* block, size_t offset, unsigned short value);
