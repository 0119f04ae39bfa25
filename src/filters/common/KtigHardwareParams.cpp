#include "filters/common/KtigHardwareParams.h"

#include "ekts/Ekts.h"

KtigHardwareParams::~KtigHardwareParams() = default;

void KtigHardwareParams::readFromFile(const zelto::SettingsFile& file, const std::string& prefix) {
  KtHardwareParams::readFromFile(file, prefix);
  sd_barometer = readDouble(file, prefix, "sd_barometer");
  readVector(file, prefix, "sd_pos_gps", sd_pos_gps, 2);
  readVector(file, prefix, "sd_vel_gps", sd_vel_gps, 2);
}

void KtigHardwareParams::writeGnssKeys(zelto::SettingsFile& file, const std::string& entry) const {
  writeSetting(file, entry, "sd_barometer", zelto::Variant(sd_barometer));
  writeVector(file, entry, "sd_pos_gps", sd_pos_gps, 2);
  writeVector(file, entry, "sd_vel_gps", sd_vel_gps, 2);
}

void KtigHardwareParams::writeToFile(zelto::SettingsFile& file, const std::string& prefix) const {
  KtHardwareParams::writeToFile(file, prefix);
  writeGnssKeys(file, entryPrefix(kEntryFormat, prefix));
  const std::string gnss = entryPrefix("ZKF.GPS_A.hw%d_%d.", m_gpsPrefix);
  writeSetting(file, gnss, "gp.assembly", zelto::Variant("GPS-A"));
  writeSetting(file, gnss, "gp.hw_revision", zelto::Variant(m_gpsPrefix));
  writeGnssKeys(file, gnss);
}

void KtigHardwareParams::writeToDecryptedEktsPage5(void* block) const {
  KtHardwareParams::writeToDecryptedEktsPage5(block);
  putPage5Real(block, 120, sd_barometer);
  putPage5Real(block, 126, sd_pos_gps[0]);
  putPage5Real(block, 132, sd_pos_gps[1]);
  putPage5Real(block, 138, sd_vel_gps[0]);
  putPage5Real(block, 144, sd_vel_gps[1]);
}

void KtigHardwareParams::readFromDecryptedEktsPages(const zelto::Ekts* record) {
  if (!record) return;
  KtHardwareParams::readFromDecryptedEktsPages(record);
  sd_barometer = record->sdBarometer();
  const zelto::Vector pos = record->sdPosGps();
  if (pos.size >= 2) {
    sd_pos_gps[0] = pos[0];
    sd_pos_gps[1] = pos[1];
  }
  const zelto::Vector vel = record->sdVelGps();
  if (vel.size >= 2) {
    sd_vel_gps[0] = vel[0];
    sd_vel_gps[1] = vel[1];
  }
}
