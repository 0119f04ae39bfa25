#pragma once
// The fourth-generation orientation tracker of the 100- and 200-series (the 200-series filtered
// on the host by Zkf3i): the 10/20-series tracker (KtMk4_X0Device) with its own base frequencies (pressure at 50 Hz; position, GNSS and
// velocity groups on GNSS-aided variants) and series tests. It derives from that class because
// the two differ in nothing else.
#include "trackers/KtMk4_X0Device.h"

class KtMk4_X00Device : public KtMk4_X0Device {
 public:
  KtMk4_X00Device(DeviceFactory& factory, Communicator* communicator);
  KtMk4_X00Device(ZtDevice* master, const ZtDeviceId& deviceId);
  ~KtMk4_X00Device() override;

  static ZtDevice* constructAsMaster(DeviceFactory& factory, Communicator* communicator);

  // As KtMk4_X0Device, with 0x3000: 50 and, for a GNSS-aided id, 0x5000: 400, 0x8800: 4,
  // 0xD000: 400.
  int getBaseFrequency(ZtDataIdentifier dataIdentifier) const override;
  // The series tests of the class (100 and 200).
  bool isNoFilterSeries() const override;
  bool isRestrictedSeries() const override;
};
