#pragma once
// Named set messages of a device configuration, ordered by name (byte order, case-sensitive),
// and their form in a settings file: one binary value per message, labelled "Config." + name.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "device/config/SetMessage.h"

class ZtDevice;
namespace zelto {
class SettingsFile;
}

namespace Internal {

class SetMessageCollection {
 public:
  // The label prefix of the configuration settings in a file.
  static constexpr const char* m_messagePrefix = "Config.";

  SetMessageCollection() = default;
  virtual ~SetMessageCollection();

  // Sends every message in name order; stops with false at the first one the device does not
  // acknowledge (the later ones are not sent). True for no messages.
  virtual bool apply(ZtDevice& device, int timeoutMs) const;
  // Adds every setting of file whose label begins with "Config." (ignoring case) under its whole
  // label; other settings are skipped. Fails, before the caller sends anything, when a setting
  // is missing, a label occurs twice, or a value is not exactly one complete Zbus message with
  // a correct checksum (garbage, a cut frame, bytes after the frame, another kind of value).
  virtual bool read(const zelto::SettingsFile& file);
  // Adds "Config." + name with the raw message as a binary object for every entry. False when a
  // setting could not be added as a setting of its own (a label too long, or two names that the
  // file's case-blind labels would merge), or a message is empty, so no configuration value is
  // silently dropped from a file.
  virtual bool write(zelto::SettingsFile& file) const;

  // Insert a copy under name; false (the held entry stays) when the name is present already.
  bool add(const std::string& name, const SetMessage& message);
  bool add(const std::string& name, const uint8_t* bytes, size_t count);
  size_t size() const { return m_messages.size(); }

 protected:
  std::map<std::string, SetMessage> m_messages;
};

}  // namespace Internal
