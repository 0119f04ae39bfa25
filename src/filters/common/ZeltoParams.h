#pragma once
// Base of every persisted filter record (parameters, state, sensor data, aiding, scenarios,
// hardware and user parameters). A record stores each value as one zelto::Variant setting under
// the caller's prefix followed by the value's key; nested records use the same or a longer prefix.
//
// Readers take their input from files users edit: a missing key, and a stored vector, quaternion
// or matrix of the wrong kind or too few elements, throw ZtException with the description
// prefix + key, so a reader stops at the first bad key and keeps the values read before it.
//
// A subclass that overrides readFromFile hides the file-name form; each record class therefore
// declares `using ZeltoParams::readFromFile;` to keep it callable.
//
// No locking and no global state: a record is used by one thread at a time.
#include <string>

#include "filters/common/RealSettingKey.h"
#include "filters/common/SettingField.h"
#include "foundation/SettingsFile.h"
#include "foundation/Variant.h"
#include "math/Matrix.h"
#include "math/Quaternion.h"
#include "math/Vector.h"

class ZeltoParams {
 public:
  virtual ~ZeltoParams();

  virtual void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) = 0;
  virtual void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const = 0;
  // Records with a scenario-page form fill the 264-byte page; the others write nothing.
  virtual void writeToDecryptedScenarioPage(void* page);

  // The value under prefix + key; throws ZtException (the settings file's code, description
  // prefix + key) when the file has no such setting.
  zelto::Variant readSetting(const zelto::SettingsFile& file, const std::string& prefix,
                             const std::string& key) const;
  void writeSetting(zelto::SettingsFile& file, const std::string& prefix, const std::string& key,
                    const zelto::Variant& value) const;

  // readFromFile turned into a result: false when it threw a ZtException (values read before
  // the failing key stay set); any other exception passes through.
  bool readFromFileNoThrow(const zelto::SettingsFile& file, const std::string& prefix);
  // Imports a ZSA (".zsa") or zsb settings file and reads the record with an empty prefix.
  // False for an empty name (the file system is not touched), a failed import or a bad key.
  bool readFromFile(const std::string& fileName);

 protected:
  ZeltoParams() = default;
  ZeltoParams(const ZeltoParams&) = default;
  ZeltoParams& operator=(const ZeltoParams&) = default;

  // Typed readers over readSetting. Each throws like a missing key when the stored value is not
  // of the expected kind or holds fewer elements than the field: a vector ('V') of at least
  // count items; a quaternion ('Q', or a vector of at least four items); a matrix ('M') of at
  // least rows x cols.
  double readDouble(const zelto::SettingsFile& file, const std::string& prefix, const std::string& key) const;
  void readVector(const zelto::SettingsFile& file, const std::string& prefix, const std::string& key,
                  double* out, size_t count) const;
  void readVector(const zelto::SettingsFile& file, const std::string& prefix, const std::string& key,
                  zelto::Vector& out) const;
  void readQuaternion(const zelto::SettingsFile& file, const std::string& prefix, const std::string& key,
                      zelto::Quaternion& out) const;
  void readMatrix(const zelto::SettingsFile& file, const std::string& prefix, const std::string& key,
                  zelto::Matrix& out) const;
  // Writes count doubles as a vector setting.
  void writeVector(zelto::SettingsFile& file, const std::string& prefix, const std::string& key,
                   const double* values, size_t count) const;

  // A key table (see SettingField) read in table order, stopping at the first bad key like the
  // typed readers, or written in table order.
  void readFields(const zelto::SettingsFile& file, const std::string& prefix, const SettingField* fields,
                  size_t count);
  void writeFields(zelto::SettingsFile& file, const std::string& prefix, const SettingField* fields,
                   size_t count) const;
  template <size_t N>
  void readFields(const zelto::SettingsFile& file, const std::string& prefix, const SettingField (&fields)[N]) {
    readFields(file, prefix, fields, N);
  }
  template <size_t N>
  void writeFields(zelto::SettingsFile& file, const std::string& prefix, const SettingField (&fields)[N]) const {
    writeFields(file, prefix, fields, N);
  }

  // A constant table of the record's double members (Record is the class derived from this one),
  // read with readDouble or written in table order; the reader stops at the first bad key.
  template <class Record, size_t N>
  void readReals(const zelto::SettingsFile& file, const std::string& prefix, const RealSettingKey<Record> (&keys)[N]) {
    for (const RealSettingKey<Record>& k : keys) static_cast<Record*>(this)->*k.field = readDouble(file, prefix, k.key);
  }
  template <class Record, size_t N>
  void writeReals(zelto::SettingsFile& file, const std::string& prefix,
                  const RealSettingKey<Record> (&keys)[N]) const {
    for (const RealSettingKey<Record>& k : keys)
      writeSetting(file, prefix, k.key, zelto::Variant(static_cast<const Record*>(this)->*k.field));
  }

  // The same checks on a value already read (for keys that have a fallback when absent).
  static void vectorFrom(const zelto::Variant& value, const std::string& prefix, const std::string& key,
                         double* out, size_t count);
  static void quaternionFrom(const zelto::Variant& value, const std::string& prefix, const std::string& key,
                             zelto::Quaternion& out);
};
