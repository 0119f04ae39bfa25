#pragma once
// Labelled values persisted as ZSA text or zsb binary files: every stored parameter, device
// configuration file and filter profile.
//
// The settings are kept in ascending label order ignoring ASCII case (settingsStringCompare), so
// labels differing only in case name one setting, and the settings beginning with a prefix form
// one run. Lookups scan linearly up to 9 settings and search binarily above.
//
// ZSA text: "; ZSA file created by <creator>", a second comment line, then "label=K:contents"
// per setting. Lines starting with ';' are comments; lines without '=' are ignored; CRLF line
// ends are accepted; lines may be of any length.
//
// zsb binary: marker ('#' scrambled, '*' plain), u32 count (at most 300000), then per setting
// 'W', the label and its NUL, the value's binary form. A scrambled image has every byte from
// offset 1 XORed with a 101-byte table.
//
// Saving writes a temporary file in the target's directory and renames it over the target, so a
// failed save leaves the previous file intact; every write, flush and close is checked.
//
// Not thread-safe: the owner (a device, the control object, a filter record) serialises access.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/List.h"
#include "foundation/Setting.h"
#include "foundation/Variant.h"
#include "zttypes/ztresult.h"

namespace zelto {

class SettingsFile : public List<Setting*> {
 public:
  static constexpr uint32_t kMaxSettings = 300000;
  static constexpr char kScrambledMarker = '#';
  static constexpr char kPlainMarker = '*';
  static constexpr size_t kMaxFileNameLength = 255;
  static constexpr const char* kDefaultCreator = "Zelto (tm)";

  explicit SettingsFile(bool saveOnClose = false);
  // Saves when a file is attached and saveOnClose is set (failures are swallowed), closes the
  // file and deletes the settings.
  ~SettingsFile() override;
  SettingsFile(const SettingsFile&) = delete;
  SettingsFile& operator=(const SettingsFile&) = delete;

  // ---- binary file ----
  // Attaches a new binary file (".zsb" appended unless the name ends in ".zsb" or "dorn"):
  // 269 when one is attached, 271 when it cannot be created; sets modified.
  ZtResultValue create(const char* name);
  ZtResultValue create(const wchar_t* name);
  // Attaches an existing binary file and adds its settings: 269 when one is attached, 271 when
  // it cannot be opened or read. A malformed image adds nothing and still gives 0.
  ZtResultValue open(const char* name);
  ZtResultValue open(const wchar_t* name);
  // Saves first when saveOnClose; detaches the file; clears modified.
  void close();
  // A name ending in "sa": writes the ZSA text (always). Otherwise writes the binary image when
  // modified: 287 without a name or attached file, 273 when it cannot be written (the old file
  // is then intact and modified stays set).
  ZtResultValue save();
  // 274 when out is null. The narrow form holds at most 256 bytes, the wide one 256 characters.
  ZtResultValue getFilename(char* out) const;
  ZtResultValue getFilename(wchar_t* out) const;
  bool isModified() const { return m_modified; }
  bool isEncrypted() const { return m_encrypted; }

  // The zsb image (scrambled when encrypted) into out (null: only the size); returns the size.
  size_t serialize(char* out) const;
  // Adds the settings of a zsb image of length bytes; returns the bytes used, 0 (nothing added)
  // when the image is shorter than its header, its count exceeds 300000 or what the image could
  // hold, or a record is malformed or runs past the end. Clears modified on success.
  size_t deserialize(const char* image, size_t length);

  // ---- ZSA text ----
  // Reads a ZSA file (".zsa" appended unless present): 271 when it cannot be opened, 266 when a
  // label (with labelPrefix in front) would exceed 255 characters (earlier lines stay read).
  // filterPrefix keeps only the labels beginning with it.
  ZtResultValue readZsa(const char* name, const char* filterPrefix = nullptr, const char* labelPrefix = nullptr);
  ZtResultValue readZsa(const wchar_t* name, const char* filterPrefix = nullptr, const char* labelPrefix = nullptr);
  ZtResultValue readZsa(const std::string& name, const char* filterPrefix = nullptr,
                        const char* labelPrefix = nullptr);
  // Writes the settings beginning with prefix (null or empty: all) as a ZSA file, creating its
  // directory: 271 when it cannot be written. ".zsa" is appended unless present; a name so
  // completed becomes the file's name when no binary file is attached.
  ZtResultValue writeZsa(const char* name, const char* prefix = nullptr, const char* creator = nullptr);
  ZtResultValue writeZsa(const wchar_t* name, const char* prefix = nullptr, const char* creator = nullptr);
  ZtResultValue writeZsa(const std::string& name, const char* prefix = nullptr, const char* creator = nullptr);
  // The same line rules over text in memory (a line whose label is over-long is skipped); always 0.
  ZtResultValue readZsaString(const char* text, const char* filterPrefix = nullptr);
  // The ZSA text into buffer: 261 when it does not fit (usedOut then gives the size needed),
  // else 0 with usedOut the length + 1.
  ZtResultValue writeZsaString(const char* prefix, size_t bufferSize, char* buffer, size_t* usedOut,
                               const char* creator = nullptr) const;
  ZtResultValue writeZsaString(const char* prefix, std::string& out, const char* creator = nullptr) const;

  // Reads another file (ZSA when named ".zsa", else binary) and copies its settings beginning
  // with prefix into this one; returns the read's result.
  ZtResultValue import(const char* name, const char* prefix = nullptr);
  ZtResultValue import(const wchar_t* name, const char* prefix = nullptr);
  ZtResultValue import(const std::string& name, const char* prefix = nullptr);

  // ---- prefix operations ----
  // Copies the run of prefix (invert: everything else; null or empty prefix: all) into target
  // as newPrefix + label. Returns how many were copied.
  int copyTo(SettingsFile& target, const char* prefix, bool invert = false, const char* newPrefix = nullptr) const;
  int copyTo(SettingsFile& target, const std::string& prefix, bool invert = false,
             const std::string& newPrefix = std::string()) const;
  // Relabels the run of oldPrefix as newPrefix + rest. Returns how many were relabelled
  // (settings whose new label would exceed 255 characters keep theirs).
  int replacePrefix(const char* oldPrefix, const char* newPrefix);
  // Deletes / sets the value of the selected settings; returns how many. Selection: null or
  // empty prefix all (invert: none); "#suffix" the labels ending in suffix; otherwise the run of
  // the prefix; exact: only the label equal to prefix. invert selects the others.
  int clear(const char* prefix = nullptr, bool invert = false, bool exact = false);
  int updateValues(const char* prefix, const Variant& value, bool invert = false, bool exact = false);

  // ---- lookups (label = prefix + label; prefix may be null or empty) ----
  uint32_t findSetting(const char* label) const;  // kNotFound when absent
  bool hasSetting(const char* label) const;
  bool hasSetting(const char* prefix, const char* label) const;
  ZtResultValue getSetting(const char* prefix, const char* label, Variant& out) const;
  ZtResultValue getSetting(const std::string& prefix, const std::string& label, Variant& out) const;
  ZtResultValue getSetting(const char* prefix, const char* label, Setting& out) const;
  // The value's text for a text kind, else the empty text.
  ZtResultValue getSetting(const char* prefix, const char* label, std::string& out) const;
  ZtResultValue getSettingRef(const char* prefix, const char* label, Variant** out);
  Variant setting(const char* label) const;
  Variant setting(const char* prefix, const char* label, const Variant& defaultValue) const;
  // By place in label order; null past the end.
  Setting* getSetting(uint32_t index) const;
  const char* getLabel(uint32_t index) const;

  // ---- changes (each sets modified) ----
  // Replaces the value of the setting of that label or inserts a new one at its place; 266
  // when prefix + label exceeds 255 characters.
  ZtResultValue setSetting(const char* prefix, const char* label, const Variant& value);
  ZtResultValue setSetting(const std::string& prefix, const std::string& label, const Variant& value);
  ZtResultValue setSetting(const char* label, const Variant& value);
  // A replaced setting also takes the new label's spelling and flag.
  ZtResultValue setSetting(const Setting& setting);
  // Index -1: at its place in label order (an equal label is replaced); another index: inserted
  // there as given.
  ZtResultValue addSetting(const char* prefix, const char* label, const Variant& value);
  ZtResultValue addSetting(const Setting& setting, int index = -1);
  // Accepted and ignored.
  ZtResultValue setReadOnly(const char* prefix, const char* label, bool readOnly);

 private:
  // Index of prefix + label, kNotFound when absent or too long.
  uint32_t find(const char* prefix, const char* label) const;
  ZtResultValue openBinary(const std::string& name);
  ZtResultValue createBinary(const std::string& name);
  ZtResultValue readZsaFile(const std::string& name, const char* filterPrefix, const char* labelPrefix);
  ZtResultValue writeZsaFile(const std::string& name, const char* prefix, const char* creator);
  ZtResultValue importFile(const std::string& name, const char* prefix);
  // One ZSA line (without its line feed); 266 for an over-long label, else 0.
  ZtResultValue readZsaLine(const char* line, const char* filterPrefix, const char* labelPrefix);
  void appendZsaText(std::string& out, const char* prefix, const char* creator) const;
  bool selected(const Setting& setting, const char* prefix, bool invert, bool exact) const;
  // The run [begin, end) of settings beginning with prefix.
  void prefixRun(const char* prefix, uint32_t& begin, uint32_t& end) const;

  FILE* m_file = nullptr;  // the attached binary file, or none
  std::string m_fileName;  // multibyte; at most 255 bytes
  bool m_saveOnClose;
  bool m_modified = false;
  bool m_encrypted = true;
};

}  // namespace zelto
