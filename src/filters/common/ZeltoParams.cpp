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

void ZeltoParams::readFields(const zelto::SettingsFile& file, const std::string& prefix, const SettingField* fields,
                             size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const SettingField& f = fields[i];
    switch (f.kind) {
      case SettingField::Real:
        *static_cast<double*>(f.target) = readDouble(file, prefix, f.key);
        break;
      case SettingField::Flag:
        *static_cast<bool*>(f.target) = readSetting(file, prefix, f.key).toBool();
        break;
      case SettingField::Int32:
        *static_cast<int32_t*>(f.target) = readSetting(file, prefix, f.key).toInt32();
        break;
      case SettingField::Int32ReadUnsigned:
        *static_cast<int32_t*>(f.target) = static_cast<int32_t>(readSetting(file, prefix, f.key).toUint32());
        break;
      case SettingField::Uint16:
        *static_cast<uint16_t*>(f.target) = static_cast<uint16_t>(readSetting(file, prefix, f.key).toUint32());
        break;
      case SettingField::Uint16Word:
        *static_cast<uint16_t*>(f.target) = static_cast<uint16_t>(readSetting(file, prefix, f.key).toInt32());
        break;
      case SettingField::Uint64Low32:
        *static_cast<uint64_t*>(f.target) = readSetting(file, prefix, f.key).toUint32();
        break;
      case SettingField::Uint32:
        *static_cast<uint32_t*>(f.target) = readSetting(file, prefix, f.key).toUint32();
        break;
      case SettingField::RealCount:
        *static_cast<double*>(f.target) = readSetting(file, prefix, f.key).toUint32();
        break;
      case SettingField::VectorAll:
        readVector(file, prefix, f.key, *static_cast<zelto::Vector*>(f.target));
        break;
      case SettingField::LeadingValues: {
        auto* out = static_cast<double*>(f.target);
        const zelto::Vector stored = readSetting(file, prefix, f.key).toVector();
        for (ZtSize k = 0; k < f.count && k < stored.size; ++k) out[k] = stored.data[k];
        break;
      }
      case SettingField::ValuesAll:
        readVector(file, prefix, f.key, static_cast<double*>(f.target), f.count);
        break;
      case SettingField::MatrixAll:
        readMatrix(file, prefix, f.key, *static_cast<zelto::Matrix*>(f.target));
        break;
      case SettingField::QuaternionValue:
        readQuaternion(file, prefix, f.key, *static_cast<zelto::Quaternion*>(f.target));
        break;
    }
  }
}

void ZeltoParams::writeFields(zelto::SettingsFile& file, const std::string& prefix, const SettingField* fields,
                              size_t count) const {
  for (size_t i = 0; i < count; ++i) {
    const SettingField& f = fields[i];
    switch (f.kind) {
      case SettingField::Real:
      case SettingField::RealCount:
        writeSetting(file, prefix, f.key, zelto::Variant(*static_cast<const double*>(f.target)));
        break;
      case SettingField::Flag:
        writeSetting(file, prefix, f.key, zelto::Variant(*static_cast<const bool*>(f.target)));
        break;
      case SettingField::Int32:
      case SettingField::Int32ReadUnsigned:
        writeSetting(file, prefix, f.key, zelto::Variant(static_cast<int>(*static_cast<const int32_t*>(f.target))));
        break;
      case SettingField::Uint16:
        writeSetting(file, prefix, f.key,
                     zelto::Variant(static_cast<unsigned int>(*static_cast<const uint16_t*>(f.target))));
        break;
      case SettingField::Uint16Word:
        writeSetting(file, prefix, f.key, zelto::Variant(static_cast<long>(*static_cast<const uint16_t*>(f.target))));
        break;
      case SettingField::Uint64Low32:
        writeSetting(file, prefix, f.key,
                     zelto::Variant(static_cast<unsigned int>(*static_cast<const uint64_t*>(f.target) & 0xFFFFFFFFu)));
        break;
      case SettingField::Uint32:
        writeSetting(file, prefix, f.key,
                     zelto::Variant(static_cast<unsigned int>(*static_cast<const uint32_t*>(f.target))));
        break;
      case SettingField::LeadingValues:
      case SettingField::ValuesAll:
        writeVector(file, prefix, f.key, static_cast<const double*>(f.target), f.count);
        break;
      case SettingField::VectorAll:
        writeSetting(file, prefix, f.key, zelto::Variant(*static_cast<const zelto::Vector*>(f.target)));
        break;
      case SettingField::MatrixAll:
        writeSetting(file, prefix, f.key, zelto::Variant(*static_cast<const zelto::Matrix*>(f.target)));
        break;
      case SettingField::QuaternionValue:
        writeSetting(file, prefix, f.key, zelto::Variant(*static_cast<const zelto::Quaternion*>(f.target)));
        break;
    }
  }
}
