#include "filters/common/KtMk4_700HardwareParams.h"

#include "ekts/Ekts.h"

KtMk4_700HardwareParams::~KtMk4_700HardwareParams() = default;

zelto::Variant KtMk4_700HardwareParams::readEither(const zelto::SettingsFile& file, const std::string& prefix,
                                                   const char* key, const char* altKey) const {
  if (!file.hasSetting(prefix.c_str(), key) && file.hasSetting(prefix.c_str(), altKey))
    return readSetting(file, prefix, altKey);
  return readSetting(file, prefix, key);
}

void KtMk4_700HardwareParams::readFromFile(const zelto::SettingsFile& file, const std::string& prefix) {
  KtMk4HardwareParams::readFromFile(file, prefix);
  sdBarometer = readEither(file, prefix, "sdBarometer", "sd_barometer").toMathValue();
  readVector(file, accPrefix(prefix), "biasTauAcc", biasTauAcc);
  const bool camelPos = file.hasSetting(prefix.c_str(), "sdPosGps");
  vectorFrom(readEither(file, prefix, "sdPosGps", "sd_pos_gps"), prefix, camelPos ? "sdPosGps" : "sd_pos_gps",
             sdPosGps, 2);
  const bool camelVel = file.hasSetting(prefix.c_str(), "sdVelGps");
  vectorFrom(readEither(file, prefix, "sdVelGps", "sd_vel_gps"), prefix, camelVel ? "sdVelGps" : "sd_vel_gps",
             sdVelGps, 2);
}

void KtMk4_700HardwareParams::writeToFile(zelto::SettingsFile& file, const std::string& prefix) const {
  KtMk4HardwareParams::writeToFile(file, prefix);
  const std::string entry = entryPrefix(kMk4EntryFormat, prefix);
  writeSetting(file, entry, "sd_barometer", zelto::Variant(sdBarometer));
  writeSetting(file, accPrefix(entry), "biasTauAcc", zelto::Variant(biasTauAcc));
  writeVector(file, entry, "sd_pos_gps", sdPosGps, 2);
  writeVector(file, entry, "sd_vel_gps", sdVelGps, 2);
}

void KtMk4_700HardwareParams::readFromDecryptedEktsPages(const zelto::Ekts* record) {
  if (!record) return;
  KtMk4HardwareParams::readFromDecryptedEktsPages(record);
  sdBarometer = record->sdBarometer();
  const zelto::Vector pos = record->sdPosGps();
  if (pos.size >= 2) {
    sdPosGps[0] = pos[0];
    sdPosGps[1] = pos[1];
  }
  const zelto::Vector vel = record->sdVelGps();
  if (vel.size >= 2) {
    sdVelGps[0] = vel[0];
    sdVelGps[1] = vel[1];
  }
}
