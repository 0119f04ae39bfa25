#include "otherdevices/wireless/Ktx2Device.h"

#include "device/DeviceFactory.h"
#include "filters/common/ZtZkfFilter.h"
#include "filters/zkf3w/Zkf3wSensorData.h"
#include "math/Vector3.h"
#include "math/strapdown/Strapdown.h"

Ktx2Device::Ktx2Device(DeviceFactory& factory, Communicator* communicator) : KtwDevice(factory, communicator) {}

Ktx2Device::Ktx2Device(ZtDevice* master, const ZtDeviceId& deviceId) : KtwDevice(master, deviceId) {}

Ktx2Device::~Ktx2Device() = default;

ZtDevice* Ktx2Device::constructAsMaster(DeviceFactory& factory, Communicator* communicator) {
  return constructAsMasterDevice<Ktx2Device>(factory, communicator);
}

ZtDevice* Ktx2Device::constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId) {
  return constructAsChildDevice<Ktx2Device>(master, deviceId);
}

void Ktx2Device::performFiltering(ZtDataPacket& packet) {
  if (!zkfFilter()) return;
  const int rate = updateRate();
  if (rate <= 0) return;
  const double interval = 1.0 / rate;
  if (!ZtDataPacket_containsSdiData(&packet)) {
    if (!ZtDataPacket_containsCalibratedData(&packet)) return;
    zelto::Vector3 acc, gyr, dv;
    ZtDataPacket_calibratedAcceleration(&packet, &acc);
    ZtDataPacket_calibratedRateOfTurn(&packet, &gyr);
    ZtSdiData sdi;
    zelto::sdiDelta(acc, gyr, sdi.orientationIncrement, dv, interval);
    for (int k = 0; k < 3; ++k) sdi.velocityIncrement[k] = dv[k];
    ZtDataPacket_setSdiData(&packet, &sdi);
  }
  ZtSdiData sdi;
  ZtDataPacket_sdiData(&packet, &sdi);
  zelto::Zkf3wSensorData sensorData;
  const ZtQuaternion& dq = sdi.orientationIncrement;
  sensorData.dq = zelto::Quaternion(dq.w, dq.x, dq.y, dq.z);
  for (int k = 0; k < 3; ++k) sensorData.dv[k] = sdi.velocityIncrement[k];
  runFilterStep(packet, sensorData, 0, interval);
}
