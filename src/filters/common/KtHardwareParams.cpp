#include "filters/common/KtHardwareParams.h"

#include <cstring>

#include "ekts/Ekts.h"
#include "math/fastfloat/FastFloat.h"

void putPage5Real(void* block, size_t offset, double value) {
  FastFloat f;
  f = value;
  std::memcpy(static_cast<unsigned char*>(block) + offset, static_cast<const void*>(&f), sizeof(FastFloat));
}

void putPage5U16(void* block, size_t offset, unsigned short value) {
  unsigned char* p = static_cast<unsigned char*>(block) + offset;
  p[0] = static_cast<unsigned char>(value & 0xFF);
  p[1] = static_cast<unsigned char>(value >> 8);
}

KtHardwareParams::~KtHardwareParams() = default;

void KtHardwareParams::readFromFile(const zelto::SettingsFile& file, const std::string& prefix) {
  sd_v_mag = readDouble(file, prefix, "sd_v_mag");
  const std::string a = accPrefix(prefix);
  acc_range = readDouble(file, a, "acc_range");
  deltaAccBias = readDouble(file, a, "deltaAccBias");
  sd_init_accBias = readDouble(file, a, "sd_init_accBias");
  sd_v_acc = readDouble(file, a, file.hasSetting(a.c_str(), "ndAcc") ? "ndAcc" : "sd_v_acc");
  const std::string g = gyrPrefix(prefix);
  deltaGyrBias = readDouble(file, g, "deltaGyrBias");
  f_dynamic_gyro = readDouble(file, g, "f_dynamic_gyro");
  gyr_range = readDouble(file, g, "gyr_range");
  sd_init_gyrBias = readDouble(file, g, "sd_init_gyrBias");
  sd_v_gyr = readDouble(file, g, file.hasSetting(g.c_str(), "ndGyr") ? "ndGyr" : "sd_v_gyr");
}

void KtHardwareParams::writeKtKeys(zelto::SettingsFile& file, const std::string& entry) const {
  writeSetting(file, entry, "sd_v_mag", zelto::Variant(sd_v_mag));
  const std::string a = accPrefix(entry);
  writeSetting(file, a, "acc_range", zelto::Variant(acc_range));
  writeSetting(file, a, "deltaAccBias", zelto::Variant(deltaAccBias));
  writeSetting(file, a, "sd_init_accBias", zelto::Variant(sd_init_accBias));
  writeSetting(file, a, "sd_v_acc", zelto::Variant(sd_v_acc));
  const std::string g = gyrPrefix(entry);
  writeSetting(file, g, "deltaGyrBias", zelto::Variant(deltaGyrBias));
  writeSetting(file, g, "f_dynamic_gyro", zelto::Variant(f_dynamic_gyro));
  writeSetting(file, g, "gyr_range", zelto::Variant(gyr_range));
  writeSetting(file, g, "sd_init_gyrBias", zelto::Variant(sd_init_gyrBias));
  writeSetting(file, g, "sd_v_gyr", zelto::Variant(sd_v_gyr));
}

void KtHardwareParams::writeToFile(zelto::SettingsFile& file, const std::string& prefix) const {
  const std::string entry = entryPrefix(kEntryFormat, prefix);
  writeSetting(file, entry, "gp.hw_revision", zelto::Variant(prefix));
  writeKtKeys(file, entry);
}

void KtHardwareParams::writeToDecryptedEktsPage5(void* block) const {
  const double values[10] = {acc_range,    gyr_range,       sd_v_acc,        sd_v_gyr,        sd_v_mag,
                             deltaAccBias, deltaGyrBias,    sd_init_accBias, sd_init_gyrBias, f_dynamic_gyro};
  for (size_t i = 0; i < 10; ++i) putPage5Real(block, 6 * i, values[i]);
}

void KtHardwareParams::readFromDecryptedEktsPages(const zelto::Ekts* record) {
  if (!record) return;
  acc_range = record->accRange();
  gyr_range = record->gyrRange();
  sd_v_acc = record->sdVAcc();
  sd_v_gyr = record->sdVGyr();
  sd_v_mag = record->sdVMag();
  deltaAccBias = record->deltaAccBias();
  deltaGyrBias = record->deltaGyrBias();
  sd_init_accBias = record->sdInitAccBias();
  sd_init_gyrBias = record->sdInitGyrBias();
  f_dynamic_gyro = record->fDynamicGyro();
}
