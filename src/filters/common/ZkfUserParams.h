#pragma once
// The per-device user values every filter needs: declination, gravity, stored gyroscope bias,
// position and date, sample rate, options, GNSS lever arm, alignment and holonomic axis. Filled
// from the device record or from a settings file.
#include <cstdint>

#include "filters/common/ZeltoParams.h"
#include "math/Quaternion.h"
#include "math/Vector3.h"

namespace zelto {
class Ekts;
class Ekts5;
}

class ZkfUserParams : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  // clear(), stored date 1 January 2013.
  ZkfUserParams();
  ZkfUserParams(const ZkfUserParams&) = default;
  ZkfUserParams& operator=(const ZkfUserParams&) = default;
  ~ZkfUserParams() override;

  // "declination_angle_deg", "gravityMagnitude", "storedGyrBias", "storedLatLongAlt",
  // "sampleRate", "enabledFixedGravity", "enabledInitialGyroBiasUpdate" must be present;
  // "storedYear"/"storedMonth"/"storedDay" default to 2013-1-1, "r_gps_s" and "n_s_m" to zero,
  // "x_alignment" to the identity.
  void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) override;
  // All thirteen keys in field order (the date as unsigned integers).
  void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const override;
  // Everything but the stored date back to its neutral value.
  virtual void clear();

  // From any record version; a null record changes nothing.
  void readFromDecryptedEktsPages(const zelto::Ekts* record);
  // The reduced reading of a format-5 record (fewer fields): declination 0, gravity from the
  // stored position, both options off, alignment from the frame bit only.
  void readFromDecryptedEktsPages(const zelto::Ekts5* record);

  // Normal gravity magnitude at the stored position (the 1980 formula of gravityIgf1980).
  double gravityAtStoredPosition() const;

  double declination_angle_deg;
  double gravityMagnitude;
  zelto::Vector3 storedGyrBias;
  zelto::Vector3 storedLatLongAlt;  // degrees, degrees, m
  uint16_t storedYear;
  uint8_t storedMonth;
  uint8_t storedDay;
  double sampleRate;  // Hz
  bool enabledFixedGravity;
  bool enabledInitialGyroBiasUpdate;
  zelto::Vector3 r_gps_s;
  zelto::Quaternion x_alignment;
  zelto::Vector3 n_s_m;

  static constexpr double kDefaultSampleRate = 100.0;
  // Device ticks per second of the record's sample period.
  static constexpr double kSamplePeriodClock = 115200.0;

 private:
  void setDate(uint16_t serialDay);
  // 115200 / period, or the default rate when the record has no period or a period of 0.
  static double rateOfPeriod(bool has, uint16_t period);
};
