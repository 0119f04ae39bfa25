#include "filters/common/KtxwHardwareParams.h"

#include "ekts/Ekts.h"

KtxwHardwareParams::~KtxwHardwareParams() = default;

void KtxwHardwareParams::readFromFile(const zelto::SettingsFile& file, const std::string& prefix) {
  KtHardwareParams::readFromFile(file, prefix);
  sd_barometer = readDouble(file, prefix, "sd_barometer");
  clipping_offset_mag = static_cast<uint16_t>(readSetting(file, prefix, "clipping_offset_mag").toUint32());
  clipping_offset_acc = static_cast<uint16_t>(readSetting(file, prefix, "clipping_offset_acc").toUint32());
  clipping_offset_gyr = static_cast<uint16_t>(readSetting(file, prefix, "clipping_offset_gyr").toUint32());
}

void KtxwHardwareParams::writeToFile(zelto::SettingsFile& file, const std::string& prefix) const {
  const std::string entry = entryPrefix("ZKF.KTW.hw%d_%d.", prefix);
  writeSetting(file, entry, "gp.hw_revision", zelto::Variant(prefix));
  writeKtKeys(file, entry);
  writeSetting(file, entry, "sd_barometer", zelto::Variant(sd_barometer));
  writeSetting(file, entry, "clipping_offset_mag", zelto::Variant(static_cast<unsigned>(clipping_offset_mag)));
  writeSetting(file, entry, "clipping_offset_acc", zelto::Variant(static_cast<unsigned>(clipping_offset_acc)));
  writeSetting(file, entry, "clipping_offset_gyr", zelto::Variant(static_cast<unsigned>(clipping_offset_gyr)));
}

void KtxwHardwareParams::writeToDecryptedEktsPage5(void* block) const {
  KtHardwareParams::writeToDecryptedEktsPage5(block);
  putPage5U16(block, 60, clipping_offset_acc);
  putPage5U16(block, 62, clipping_offset_gyr);
  putPage5U16(block, 64, clipping_offset_mag);
  putPage5Real(block, 120, sd_barometer);
}

void KtxwHardwareParams::readFromDecryptedEktsPages(const zelto::Ekts* record) {
  if (!record) return;
  KtHardwareParams::readFromDecryptedEktsPages(record);
  sd_barometer = record->sdBarometer();
  clipping_offset_acc = record->rawAccClip();
  clipping_offset_gyr = record->rawGyrClip();
  clipping_offset_mag = record->rawMagClip();
}
