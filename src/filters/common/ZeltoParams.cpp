#include "filters/common/ZeltoParams.h"

#include "errors/ZtException.h"

namespace {

[[noreturn]] void throwBadValue(const std::string& prefix, const std::string& key) {
  throw ZtException(ZRV_UNSUPPORTED, prefix + key);
}

}  // namespace

ZeltoParams::~ZeltoParams() = default;

void ZeltoParams::writeToDecryptedScenarioPage(void*) {}

zelto::Variant ZeltoParams::readSetting(const zelto::SettingsFile& file, const std::string& prefix,
                                        const std::string& key) const {
  zelto::Variant value;
  const ZtResultValue rv = file.getSetting(prefix, key, value);
  if (rv != ZRV_OK) throw ZtException(rv, prefix + key);
  return value;
}

void ZeltoParams::writeSetting(zelto::SettingsFile& file, const std::string& prefix, const std::string& key,
                               const zelto::Variant& value) const {
  file.setSetting(prefix, key, value);
}

bool ZeltoParams::readFromFileNoThrow(const zelto::SettingsFile& file, const std::string& prefix) {
  try {
    readFromFile(file, prefix);
  } catch (const ZtException&) {
    return false;
  }
  return true;
}

bool ZeltoParams::readFromFile(const std::string& fileName) {
  if (fileName.empty()) return false;
  zelto::SettingsFile file;
  if (file.import(fileName, "") != ZRV_OK) return false;
  return readFromFileNoThrow(file, std::string());
}

double ZeltoParams::readDouble(const zelto::SettingsFile& file, const std::string& prefix,
                               const std::string& key) const {
  return readSetting(file, prefix, key).toMathValue();
}

void ZeltoParams::vectorFrom(const zelto::Variant& value, const std::string& prefix, const std::string& key,
                             double* out, size_t count) {
  if (value.kind() != zelto::Variant::KindVector) throwBadValue(prefix, key);
  const zelto::Vector& v = value.toConstVector();
  if (v.size < count) throwBadValue(prefix, key);
  for (size_t i = 0; i < count; ++i) out[i] = v.data[i];
}

void ZeltoParams::quaternionFrom(const zelto::Variant& value, const std::string& prefix, const std::string& key,
                                 zelto::Quaternion& out) {
  if (value.kind() == zelto::Variant::KindQuaternion) {
    out = value.toConstQuaternion();
    return;
  }
  double q[4];
  vectorFrom(value, prefix, key, q, 4);
  out = zelto::Quaternion(q[0], q[1], q[2], q[3]);
}

void ZeltoParams::readVector(const zelto::SettingsFile& file, const std::string& prefix, const std::string& key,
                             double* out, size_t count) const {
  vectorFrom(readSetting(file, prefix, key), prefix, key, out, count);
}

void ZeltoParams::readVector(const zelto::SettingsFile& file, const std::string& prefix, const std::string& key,
                             zelto::Vector& out) const {
  readVector(file, prefix, key, out.data, out.size);
}

void ZeltoParams::readQuaternion(const zelto::SettingsFile& file, const std::string& prefix,
                                 const std::string& key, zelto::Quaternion& out) const {
  quaternionFrom(readSetting(file, prefix, key), prefix, key, out);
}

void ZeltoParams::readMatrix(const zelto::SettingsFile& file, const std::string& prefix, const std::string& key,
                             zelto::Matrix& out) const {
  const zelto::Variant value = readSetting(file, prefix, key);
  if (value.kind() != zelto::Variant::KindMatrix) throwBadValue(prefix, key);
  const zelto::Matrix& m = value.toConstMatrix();
  if (m.rows < out.rows || m.cols < out.cols) throwBadValue(prefix, key);
  for (size_t r = 0; r < out.rows; ++r)
    for (size_t c = 0; c < out.cols; ++c) out(r, c) = m(r, c);
}

void ZeltoParams::writeVector(zelto::SettingsFile& file, const std::string& prefix, const std::string& key,
                              const double* values, size_t count) const {
  writeSetting(file, prefix, key, zelto::Variant(values, count));
}
