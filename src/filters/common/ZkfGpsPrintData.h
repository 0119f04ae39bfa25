#pragma once
// One GNSS and barometer aiding sample of the navigation filters. The filters see new GNSS or
// pressure data as a change of the matching age counter; 255 means no data yet.
#include <cstdint>

#include "filters/common/ZeltoParams.h"
#include "math/Vector3.h"

class ZkfGpsPrintData : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  ZkfGpsPrintData() = default;  // zero values, both ages 0
  ZkfGpsPrintData(const ZkfGpsPrintData&) = default;
  ZkfGpsPrintData& operator=(const ZkfGpsPrintData&) = default;
  ~ZkfGpsPrintData() override;

  // Keys "posLatLongAlt", "velNorthEastDown", "hAcc", "vAcc", "sAcc", "pressure", "gpsAge",
  // "pressureAge" (ages as unsigned integers, kept in 8 bits).
  void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) override;
  void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const override;

  // Position, velocity, the three accuracies and the GNSS age.
  void copyGpsPartFrom(const ZkfGpsPrintData& other);
  // Pressure and its age.
  void copyBaroPartFrom(const ZkfGpsPrintData& other);
  // (north, -east, -down) of velNorthEastDown into the first three items of out.
  void getVelNorthWestUp(ZtVector& out) const;
  // Zero values, both ages 255 (so the next sample with a real age counts as new).
  void clear();

  zelto::Vector3 posLatLongAlt;     // degrees, degrees, m
  zelto::Vector3 velNorthEastDown;  // m/s
  double hAcc = 0.0;
  double vAcc = 0.0;
  double sAcc = 0.0;
  double pressure = 0.0;
  uint8_t gpsAge = 0;
  uint8_t pressureAge = 0;
};
