#pragma once
// The integration interval of one filter step, handed to filters that integrate over an interval.
#include "filters/common/ZeltoParams.h"

class ZkfTime : public ZeltoParams {
 public:
  using ZeltoParams::readFromFile;
  ZkfTime() = default;
  ZkfTime(const ZkfTime&) = default;
  ZkfTime& operator=(const ZkfTime&) = default;
  ~ZkfTime() override;

  void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) override;
  void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const override;

  double T_int = 0.0;  // s
};
