#include "filters/common/KtMk4HardwareParams.h"

#include <cmath>

#include "ekts/Ekts.h"
#include "foundation/JournalMacros.h"

namespace {

constexpr double kBiasCoeffAcc = 0.0006;
constexpr double kClipAcc = 250.0;
constexpr double kNdAcc = 0.002;
constexpr uint16_t kRawClipAcc = 19923;
constexpr uint16_t kStMaxAcc = 1310;
constexpr uint16_t kStMinAcc = 786;
constexpr double kBiasCoeffGyr = 0.0056;
constexpr double kBiasTauGyr = 200.0;
constexpr double kClipGyr = 1590.0;
constexpr double kNdGyr = 0.0347;
constexpr uint16_t kRawClipGyr = 23593;
constexpr uint16_t kStMaxGyr = 2129;
constexpr uint16_t kStMinGyr = 819;
constexpr uint16_t kRawClipMag = 2048;
constexpr double kSdMag = 0.001;
constexpr uint16_t kStMaxMag = 3276;
constexpr uint16_t kStMinMag = 1966;

uint16_t readU16(const zelto::Variant& v) { return static_cast<uint16_t>(v.toUint32()); }

void noiseDensity(zelto::Vector3& out, bool has, const zelto::Vector3& value, double fallback, const char* sensor) {
  out = zelto::Vector3(fallback, fallback, fallback);
  if (!has) return;
  bool substituted = false;
  for (ZtSize i = 0; i < 3; ++i) {
    if (std::isfinite(value[i]) && value[i] > 0.0)
      out[i] = value[i];
    else
      substituted = true;
  }
  if (substituted)
    JLOG_ALERT("device record: " << sensor << " noise density (" << value[0] << ", " << value[1] << ", "
                                   << value[2] << ") not positive; " << fallback << " used for those axes");
}

}  // namespace

KtMk4HardwareParams::KtMk4HardwareParams()
    : biasCoeffAcc(kBiasCoeffAcc, kBiasCoeffAcc, kBiasCoeffAcc),
      clipAcc(kClipAcc),
      ndAcc(kNdAcc, kNdAcc, kNdAcc),
      rawClipAcc(kRawClipAcc),
      stMaxAcc(kStMaxAcc),
      stMinAcc(kStMinAcc),
      biasCoeffGyr(kBiasCoeffGyr, kBiasCoeffGyr, kBiasCoeffGyr),
      biasTauGyr(kBiasTauGyr, kBiasTauGyr, kBiasTauGyr),
      clipGyr(kClipGyr),
      ndGyr(kNdGyr, kNdGyr, kNdGyr),
      rawClipGyr(kRawClipGyr),
      stMaxGyr(kStMaxGyr),
      stMinGyr(kStMinGyr),
      rawClipMag(kRawClipMag),
      sdMag(kSdMag, kSdMag, kSdMag),
      stMaxMag(kStMaxMag),
      stMinMag(kStMinMag) {}

KtMk4HardwareParams::~KtMk4HardwareParams() = default;

void KtMk4HardwareParams::readFromFile(const zelto::SettingsFile& file, const std::string& prefix) {
  const std::string a = accPrefix(prefix);
  readVector(file, a, "biasCoeffAcc", biasCoeffAcc);
  clipAcc = readDouble(file, a, "clipAcc");
  readVector(file, a, "ndAcc", ndAcc);
  rawClipAcc = readU16(readSetting(file, a, "rawClipAcc"));
  stMaxAcc = readU16(readSetting(file, a, "stMaxAcc"));
  stMinAcc = readU16(readSetting(file, a, "stMinAcc"));
  const std::string g = gyrPrefix(prefix);
  readVector(file, g, "biasCoeffGyr", biasCoeffGyr);
  readVector(file, g, "biasTauGyr", biasTauGyr);
  clipGyr = readDouble(file, g, "clipGyr");
  readVector(file, g, "ndGyr", ndGyr);
  rawClipGyr = readU16(readSetting(file, g, "rawClipGyr"));
  stMaxGyr = readU16(readSetting(file, g, "stMaxGyr"));
  stMinGyr = readU16(readSetting(file, g, "stMinGyr"));
  const std::string m = magPrefix(prefix);
  rawClipMag = readU16(readSetting(file, m, "rawClipMag"));
  readVector(file, m, "sdMag", sdMag);
  stMaxMag = readU16(readSetting(file, m, "stMaxMag"));
  stMinMag = readU16(readSetting(file, m, "stMinMag"));
}

void KtMk4HardwareParams::writeMk4Keys(zelto::SettingsFile& file, const std::string& entry) const {
  auto u = [](uint16_t v) { return zelto::Variant(static_cast<unsigned>(v)); };
  const std::string a = accPrefix(entry);
  writeSetting(file, a, "biasCoeffAcc", zelto::Variant(biasCoeffAcc));
  writeSetting(file, a, "clipAcc", zelto::Variant(clipAcc));
  writeSetting(file, a, "ndAcc", zelto::Variant(ndAcc));
  writeSetting(file, a, "rawClipAcc", u(rawClipAcc));
  writeSetting(file, a, "stMaxAcc", u(stMaxAcc));
  writeSetting(file, a, "stMinAcc", u(stMinAcc));
  const std::string g = gyrPrefix(entry);
  writeSetting(file, g, "biasCoeffGyr", zelto::Variant(biasCoeffGyr));
  writeSetting(file, g, "biasTauGyr", zelto::Variant(biasTauGyr));
  writeSetting(file, g, "clipGyr", zelto::Variant(clipGyr));
  writeSetting(file, g, "ndGyr", zelto::Variant(ndGyr));
  writeSetting(file, g, "rawClipGyr", u(rawClipGyr));
  writeSetting(file, g, "stMaxGyr", u(stMaxGyr));
  writeSetting(file, g, "stMinGyr", u(stMinGyr));
  const std::string m = magPrefix(entry);
  writeSetting(file, m, "rawClipMag", u(rawClipMag));
  writeSetting(file, m, "sdMag", zelto::Variant(sdMag));
  writeSetting(file, m, "stMaxMag", u(stMaxMag));
  writeSetting(file, m, "stMinMag", u(stMinMag));
}

void KtMk4HardwareParams::writeToFile(zelto::SettingsFile& file, const std::string& prefix) const {
  const std::string entry = entryPrefix(kMk4EntryFormat, prefix);
  writeSetting(file, entry, "gp.hw_revision", zelto::Variant(prefix));
  writeMk4Keys(file, entry);
}

void KtMk4HardwareParams::readFromDecryptedEktsPages(const zelto::Ekts* record) {
  if (!record) return;
  auto vec = [](zelto::Vector3& out, bool has, const zelto::Vector3& value, double fallback) {
    if (has)
      out = value;
    else
      out = zelto::Vector3(fallback, fallback, fallback);
  };
  const zelto::Ekts& r = *record;
  vec(biasCoeffAcc, r.hasBiasCoeffAcc(), r.biasCoeffAcc(), kBiasCoeffAcc);
  clipAcc = r.hasAccRange() ? r.accRange() : kClipAcc;
  // A record whose noise densities were never programmed holds zeros: such an axis takes the
  // default as a record without the field does (the filters refuse a density that is not
  // positive), and the substitution is journalled.
  noiseDensity(ndAcc, r.hasNdAcc(), r.ndAcc(), kNdAcc, "accelerometer");
  rawClipAcc = r.hasRawAccClip() ? r.rawAccClip() : kRawClipAcc;
  stMaxAcc = r.hasStMaxAcc() ? r.stMaxAcc() : kStMaxAcc;
  stMinAcc = r.hasStMinAcc() ? r.stMinAcc() : kStMinAcc;
  vec(biasCoeffGyr, r.hasBiasCoeffGyr(), r.biasCoeffGyr(), kBiasCoeffGyr);
  vec(biasTauGyr, r.hasSdBiasTauGyr(), r.sdBiasTauGyr(), kBiasTauGyr);
  clipGyr = r.hasGyrRange() ? r.gyrRange() : kClipGyr;
  noiseDensity(ndGyr, r.hasNdGyr(), r.ndGyr(), kNdGyr, "gyroscope");
  rawClipGyr = r.hasRawGyrClip() ? r.rawGyrClip() : kRawClipGyr;
  stMaxGyr = r.hasStMaxGyr() ? r.stMaxGyr() : kStMaxGyr;
  stMinGyr = r.hasStMinGyr() ? r.stMinGyr() : kStMinGyr;
  rawClipMag = r.hasRawMagClip() ? r.rawMagClip() : kRawClipMag;
  vec(sdMag, r.hasSdMag(), r.sdMag(), kSdMag);
  stMaxMag = r.hasStMaxMag() ? r.stMaxMag() : kStMaxMag;
  stMinMag = r.hasStMinMag() ? r.stMinMag() : kStMinMag;
}
