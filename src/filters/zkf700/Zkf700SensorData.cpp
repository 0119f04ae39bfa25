#include "filters/zkf700/Zkf700SensorData.h"

#include <cmath>

#include "math/strapdown/Strapdown.h"

namespace zelto {

Zkf700SensorData::~Zkf700SensorData() = default;

void Zkf700SensorData::readFromFile(const SettingsFile& file, const std::string& prefix) {
  clipAcc = static_cast<uint16_t>(readSetting(file, prefix, "eventData.clip.acc").toInt32());
  clipGyr = static_cast<uint16_t>(readSetting(file, prefix, "eventData.clip.gyr").toInt32());
  readQuaternion(file, prefix, "internal.imu.dq", dq);
  readVector(file, prefix, "internal.imu.dv", dv);
  time = static_cast<int64_t>(std::trunc(readSetting(file, prefix, "time").toMathValue() * 1000.0));
}

void Zkf700SensorData::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "eventData.clip.acc", Variant(static_cast<int32_t>(clipAcc)));
  writeSetting(file, prefix, "eventData.clip.gyr", Variant(static_cast<int32_t>(clipGyr)));
  writeSetting(file, prefix, "internal.imu.dq", Variant(dq));
  writeSetting(file, prefix, "internal.imu.dv", Variant(dv));
  writeSetting(file, prefix, "time", Variant(static_cast<double>(time) / 1000.0));
}

void Zkf700SensorData::computeGyrAcc(double T) { getAverageAccGyrLocalFrame(m_acc, m_gyr, dq, dv, T); }

}  // namespace zelto
